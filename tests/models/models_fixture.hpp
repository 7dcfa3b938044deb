#pragma once
// A base directory of its own for each model test: a configuration record
// (not the process-wide one) pointing at <base>/model and <base>/config, dummy
// model files, a remote list, and a model runtime that only records.

#include "config/agent_config.hpp"
#include "models/model_manager.hpp"
#include "support/fs_util.hpp"
#include "support/test_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace vexa::test {

// Stands in for the agent's model client.
class RecordingRuntime : public IModelRuntime {
public:
    bool succeed = true;
    std::string error;
    bool throw_on_reconfigure = false;
    std::vector<LLMConfig> configured;
    ModelRuntimeStatus state;

    bool reconfigure(const LLMConfig& config, std::string& out_error) override {
        if (throw_on_reconfigure) throw std::runtime_error("engine exploded");
        configured.push_back(config);
        if (!succeed) {
            out_error = error;
            return false;
        }
        state.has_backend = true;
        state.effective = config;
        return true;
    }
    ModelRuntimeStatus status() const override { return state; }
};

class ModelsFixture : public ::testing::Test {
protected:
    ModelsFixture() {
        config.base_dir = path_to_utf8(dir.path());
        config.paths.model_dir = "./model";
        config.paths.config_dir = "./config";
        config.config_path = path_to_utf8(dir.path() / "config" / "agent_config.json");
        config.llm.backend = "openai_compatible";
        config.llm.base_url = "https://api.example.com/v1";
        config.llm.api_key = "sk-configured-secret";
        config.llm.model = "configured-model";
        config.llm.temperature = 0.3;
        std::filesystem::create_directories(dir.path() / "model");
        std::filesystem::create_directories(dir.path() / "config");
    }

    std::filesystem::path model_dir() const { return dir.path() / "model"; }
    std::filesystem::path config_file() const { return dir.path() / "config" / "agent_config.json"; }
    std::filesystem::path remote_file() const { return dir.path() / "config" / "remote_models.json"; }

    // The catalog reads names and sizes only, so a few bytes make a model.
    std::filesystem::path add_file(const std::filesystem::path& path, std::uintmax_t size = 8) {
        std::filesystem::create_directories(path.parent_path());
        write_text(path, "GGUF");
        std::filesystem::resize_file(path, size);
        return path;
    }
    std::filesystem::path add_model(const std::string& file_name, std::uintmax_t size = 8) {
        return add_file(model_dir() / file_name, size);
    }
    void write_remote(const std::string& text) { write_text(remote_file(), text); }

    // Makes `file` impossible for this process to replace. Root ignores a
    // read-only mode, so there a directory takes the file's place.
    static void make_unwritable(const std::filesystem::path& file) {
        namespace fs = std::filesystem;
        fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
#ifndef _WIN32
        if (::access(file.c_str(), W_OK) == 0) {
            fs::permissions(file, fs::perms::owner_all, fs::perm_options::add);
            fs::remove(file);
            fs::create_directory(file);
        }
#endif
    }

    TestDir dir;
    AgentConfig config;
    RecordingRuntime runtime;
};

}  // namespace vexa::test
