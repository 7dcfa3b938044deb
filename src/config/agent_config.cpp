#include "config/agent_config.hpp"

#include "config/json_util.hpp"
#include "support/fs_util.hpp"
#include "support/log.hpp"
#include "support/platform.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <fstream>
#include <limits>

namespace vexa {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Any failure while reading ends the load; what was assigned so far stays.
struct LoadFailure {};

// Converts like the JSON library's typed access (integers and floating
// values into each other, floating values truncated toward zero), but a value
// that does not fit a signed 32-bit field is an error instead of wrapping or
// undefined behaviour.
int to_int32(const json& value) {
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(hi)) throw LoadFailure{};
        return static_cast<int>(v);
    }
    if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (v < lo || v > hi) throw LoadFailure{};
        return static_cast<int>(v);
    }
    if (value.is_number_float()) {
        const double v = value.get<double>();
        // Truncation keeps values in (lo - 1, hi + 1); NaN fails both tests.
        if (!(v > static_cast<double>(lo) - 1.0 && v < static_cast<double>(hi) + 1.0)) throw LoadFailure{};
        return static_cast<int>(v);
    }
    return value.get<int>();  // booleans convert as in the library; others throw
}

class SectionReader {
public:
    explicit SectionReader(const json& section) : section_(section) {}

    void read(const char* key, std::string& field) const {
        if (const json* v = find(key)) field = v->get<std::string>();
    }
    void read(const char* key, int& field) const {
        if (const json* v = find(key)) field = to_int32(*v);
    }
    void read(const char* key, double& field) const {
        if (const json* v = find(key)) field = v->get<double>();
    }
    void read(const char* key, bool& field) const {
        if (const json* v = find(key)) field = v->get<bool>();
    }

private:
    const json* find(const char* key) const {
        auto it = section_.find(key);
        return it == section_.end() ? nullptr : &*it;
    }
    const json& section_;
};

// A present section must be an object; nullptr when the section is absent.
const json* section(const json& root, const char* key) {
    auto it = root.find(key);
    if (it == root.end()) return nullptr;
    if (!it->is_object()) throw LoadFailure{};
    return &*it;
}

void read_llama_cpp(const json& llm, LlamaCppConfig& c) {
    auto it = llm.find("llama_cpp");
    if (it == llm.end() || !it->is_object()) return;  // other forms are ignored
    const SectionReader r(*it);
    r.read("model_path", c.model_path);
    r.read("context_size", c.context_size);
    r.read("gpu_layers", c.gpu_layers);
    r.read("main_gpu", c.main_gpu);
    r.read("batch_size", c.batch_size);
    r.read("ubatch_size", c.ubatch_size);
    r.read("threads", c.threads);
    r.read("flash_attention", c.flash_attention);
    r.read("use_mmap", c.use_mmap);
    r.read("use_mlock", c.use_mlock);
    r.read("warmup", c.warmup);
    r.read("allow_cpu_fallback", c.allow_cpu_fallback);
    r.read("tool_call_mode", c.tool_call_mode);
}

void read_sections(const json& root, AgentConfig& config) {
    if (const json* llm = section(root, "llm")) {
        const SectionReader r(*llm);
        LLMConfig& c = config.llm;
        r.read("backend", c.backend);
        r.read("base_url", c.base_url);
        r.read("api_key", c.api_key);
        r.read("model", c.model);
        r.read("temperature", c.temperature);
        r.read("max_tokens", c.max_tokens);
        r.read("timeout_seconds", c.timeout_seconds);
        r.read("max_retries", c.max_retries);
        r.read("retry_base_delay_ms", c.retry_base_delay_ms);
        r.read("retry_max_delay_ms", c.retry_max_delay_ms);
        read_llama_cpp(*llm, c.llama_cpp);
    }
    if (const json* agent = section(root, "agent")) {
        const SectionReader r(*agent);
        AgentSettings& a = config.agent;
        r.read("name", a.name);
        r.read("max_conversation_turns", a.max_conversation_turns);
        r.read("compression_threshold", a.compression_threshold);
        r.read("compression_keep_recent", a.compression_keep_recent);
        r.read("max_tool_rounds", a.max_tool_rounds);
        r.read("orchestration_enabled", a.orchestration_enabled);
        r.read("max_parallel_tasks", a.max_parallel_tasks);
        r.read("task_timeout_seconds", a.task_timeout_seconds);
        r.read("planner_max_tasks", a.planner_max_tasks);
        r.read("parallel_model_calls", a.parallel_model_calls);
        r.read("compact_interaction_records", a.compact_interaction_records);
    }
    if (const json* paths = section(root, "paths")) {
        const SectionReader r(*paths);
        PathsConfig& p = config.paths;
        r.read("skills_dir", p.skills_dir);
        r.read("data_dir", p.data_dir);
        r.read("memory_file", p.memory_file);
        r.read("conversations_dir", p.conversations_dir);
        r.read("conversations_full_dir", p.conversations_full_dir);
        r.read("config_dir", p.config_dir);
        r.read("model_dir", p.model_dir);
    }
    auto perf = root.find("perf");
    if (perf != root.end() && perf->is_object()) {
        auto enabled = perf->find("enabled");
        if (enabled != perf->end() && enabled->is_boolean()) config.perf_enabled = enabled->get<bool>();
    }
}

json to_json(const AgentConfig& config) {
    const LLMConfig& l = config.llm;
    const LlamaCppConfig& c = l.llama_cpp;
    const AgentSettings& a = config.agent;
    const PathsConfig& p = config.paths;
    // nlohmann's object keeps its keys sorted, so every level is written in
    // ascending key order.
    json root = json::object();
    root["llm"] = {
        {"backend", l.backend},
        {"base_url", l.base_url},
        {"api_key", l.api_key},
        {"model", l.model},
        {"temperature", static_cast<double>(l.temperature)},  // always written with a fraction
        {"max_tokens", l.max_tokens},
        {"timeout_seconds", l.timeout_seconds},
        {"max_retries", l.max_retries},
        {"retry_base_delay_ms", l.retry_base_delay_ms},
        {"retry_max_delay_ms", l.retry_max_delay_ms},
        {"llama_cpp",
         {
             {"model_path", c.model_path},
             {"context_size", c.context_size},
             {"gpu_layers", c.gpu_layers},
             {"main_gpu", c.main_gpu},
             {"batch_size", c.batch_size},
             {"ubatch_size", c.ubatch_size},
             {"threads", c.threads},
             {"flash_attention", c.flash_attention},
             {"use_mmap", c.use_mmap},
             {"use_mlock", c.use_mlock},
             {"warmup", c.warmup},
             {"allow_cpu_fallback", c.allow_cpu_fallback},
             {"tool_call_mode", c.tool_call_mode},
         }},
    };
    root["agent"] = {
        {"name", a.name},
        {"max_conversation_turns", a.max_conversation_turns},
        {"compression_threshold", a.compression_threshold},
        {"compression_keep_recent", a.compression_keep_recent},
        {"max_tool_rounds", a.max_tool_rounds},
        {"orchestration_enabled", a.orchestration_enabled},
        {"max_parallel_tasks", a.max_parallel_tasks},
        {"task_timeout_seconds", a.task_timeout_seconds},
        {"planner_max_tasks", a.planner_max_tasks},
        {"parallel_model_calls", a.parallel_model_calls},
        {"compact_interaction_records", a.compact_interaction_records},
    };
    root["paths"] = {
        {"skills_dir", p.skills_dir},
        {"data_dir", p.data_dir},
        {"memory_file", p.memory_file},
        {"conversations_dir", p.conversations_dir},
        {"conversations_full_dir", p.conversations_full_dir},
        {"config_dir", p.config_dir},
        {"model_dir", p.model_dir},
    };
    root["perf"] = {{"enabled", config.perf_enabled}};
    return root;
}

}  // namespace

AgentConfig& AgentConfig::instance() {
    static AgentConfig config;
    return config;
}

bool AgentConfig::load(const std::string& path) {
    try {
        // Loading is start-up: drop what saves killed mid-write left beside
        // the file, whether or not the file itself exists yet.
        const fs::path directory = path_from_utf8(path).parent_path();
        remove_stale_temp_files(directory.empty() ? fs::path(".") : directory);
        std::ifstream in(path_from_utf8(path), std::ios::in | std::ios::binary);
        if (!in.is_open()) return false;
        config_path = path;
        json root;
        // operator>> reads the first complete value and leaves whatever
        // follows it unread.
        in >> root;
        if (!root.is_object()) {
            // Nothing in it can be read; say so rather than run on defaults silently.
            log_line(LogLevel::WARNING, "Configuration file does not hold a JSON object: " + path);
            return false;
        }
        read_sections(root, *this);
        return true;
    } catch (const LoadFailure&) {
        return false;
    } catch (const std::exception&) {
        return false;  // syntax and type errors of the JSON library, unconvertible paths
    }
}

bool AgentConfig::save(const std::string& path) {
    config_path = path;
    try {
        const auto text = try_dump_json(to_json(*this), 4);
        if (!text) return false;
        // Text mode: line feeds become CR LF on Windows, as text files there.
        return write_file_atomic(path_from_utf8(path), *text, /*text_mode=*/true);
    } catch (...) {
        return false;
    }
}

std::string AgentConfig::resolve_path(const std::string& path) const {
    if (platform::is_absolute_path(path)) return path;
    fs::path joined = path_from_utf8(base_dir) / path_from_utf8(path);
    return path_to_utf8(joined.lexically_normal().make_preferred());
}

std::string AgentConfig::persist_path() const {
    if (!config_path.empty()) return config_path;
    return resolve_path("./config/agent_config.json");
}

std::string executable_directory() {
    try {
        if (auto exe = platform::executable_path()) {
            const fs::path dir = exe->parent_path();
            if (!dir.empty()) return path_to_utf8(dir);
        }
    } catch (...) {
        // An unconvertible path counts as not found.
    }
    return ".";
}

}  // namespace vexa
