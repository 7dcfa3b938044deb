// libFuzzer target for agent_config.json: AgentConfig::load on arbitrary file
// contents, path resolution of what was read, and the save/load round trip of
// an accepted file (what the library writes it must read back the same).

#include "config/agent_config.hpp"

#include "fuzz_check.hpp"
#include "temp_dir.hpp"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

namespace {

const std::string& directory() {
    static const fuzz::TempDir dir("vexa_config_fuzz");
    return dir.path();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void resolve_all(const vexa::AgentConfig& config) {
    const vexa::PathsConfig& p = config.paths;
    for (const std::string* path : {&p.skills_dir, &p.data_dir, &p.memory_file, &p.conversations_dir,
                                    &p.conversations_full_dir, &p.config_dir, &p.model_dir,
                                    &config.llm.llama_cpp.model_path}) {
        (void)config.resolve_path(*path);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& dir = directory();
    const std::string input = dir + "/agent_config.json";
    {
        std::ofstream out(input, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(out.good());
    }

    vexa::AgentConfig config;
    config.base_dir = "/base/dir";
    const bool loaded = config.load(input);
    resolve_all(config);
    (void)config.persist_path();
    if (!loaded) return 0;
    FUZZ_CHECK(config.config_path == input);

    const std::string first = dir + "/saved_1.json";
    const std::string second = dir + "/saved_2.json";
    FUZZ_CHECK(config.save(first));
    vexa::AgentConfig again;
    FUZZ_CHECK(again.load(first));
    FUZZ_CHECK(again.save(second));
    FUZZ_CHECK(read_file(first) == read_file(second));
    return 0;
}
