#include "config/agent_config.hpp"

#include "config/json_util.hpp"
#include "support/fs_util.hpp"
#include "support/log.hpp"
#include "support/platform.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace vexa {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Any failure while reading ends the load; what was assigned so far stays.
struct LoadFailure {};

constexpr SettingRange kRanges[] = {
    {"llm.temperature", 0, 2, false, false},
    {"llm.max_tokens", 1, 1000000, true, false},
    {"llm.timeout_seconds", 1, 86400, true, false},
    {"llm.max_retries", 0, 100, true, false},
    {"llm.retry_base_delay_ms", 0, 600000, true, false},
    {"llm.retry_max_delay_ms", 0, 3600000, true, false},
    {"llm.llama_cpp.context_size", 0, 1048576, true, false},  // 0: the model's own context
    {"llm.llama_cpp.gpu_layers", -1, 10000, true, false},     // -1: every layer
    {"llm.llama_cpp.main_gpu", 0, 255, true, false},
    {"llm.llama_cpp.batch_size", 0, 65536, true, false},   // 0: 512
    {"llm.llama_cpp.ubatch_size", 0, 65536, true, false},  // 0: 128
    {"llm.llama_cpp.threads", 0, 1024, true, false},       // 0: one per core
    {"agent.max_conversation_turns", 0, 1000000, true, false},
    {"agent.compression_threshold", 0, 1000000, true, false},
    {"agent.compression_keep_recent", 0, 1000000, true, false},  // 0: no compression
    {"agent.max_tool_rounds", 0, 1000, true, false},             // 0: 16
    {"agent.max_parallel_tasks", 1, kMaxParallelTasksCap, true, true},
    {"agent.task_timeout_seconds", 0, 86400, true, false},  // 0: no limit
    {"agent.planner_max_tasks", 2, kPlannerMaxTasksCap, true, true},
};

// The number of an integer setting: integers as they are, floating values
// truncated toward zero, booleans as 0 and 1 (like the JSON library's typed
// access); anything else is a type error.
double integer_value(const json& value) {
    if (value.is_number_unsigned()) return static_cast<double>(value.get<std::uint64_t>());
    if (value.is_number_integer()) return static_cast<double>(value.get<std::int64_t>());
    if (value.is_number_float()) return std::trunc(value.get<double>());
    return value.get<int>();
}

// A bound or a value as the user would write it: "2", "0.5".
std::string number_text(double number) {
    if (number == std::trunc(number) && std::fabs(number) < 1e15) return std::to_string(static_cast<long long>(number));
    return json(number).dump();
}

// `number` within `range`; a value outside it becomes the nearest bound, and
// the log says which key, what was written and what is allowed.
double within_range(const SettingRange& range, double number, const json& written) {
    const double bounded = std::clamp(number, range.min, range.max);
    if (bounded != number) {
        log_line(LogLevel::WARNING, "Configuration value out of range: " + std::string(range.key) + " = " +
                                        written.dump() + " (expected " + expected_range_text(range) +
                                        "); using " + number_text(bounded));
    }
    return bounded;
}

class SectionReader {
public:
    // `prefix` names the section in full keys: "llm.", "llm.llama_cpp.", "agent.".
    SectionReader(const json& section, std::string prefix) : section_(section), prefix_(std::move(prefix)) {}

    void read(const char* key, std::string& field) const {
        if (const json* v = find(key)) field = v->get<std::string>();
    }
    void read(const char* key, int& field) const {
        if (const json* v = find(key)) field = static_cast<int>(within_range(range(key), integer_value(*v), *v));
    }
    void read(const char* key, double& field) const {
        if (const json* v = find(key)) field = within_range(range(key), v->get<double>(), *v);
    }
    void read(const char* key, bool& field) const {
        if (const json* v = find(key)) field = v->get<bool>();
    }

private:
    const json* find(const char* key) const {
        auto it = section_.find(key);
        return it == section_.end() ? nullptr : &*it;
    }
    // Every numeric field has a range; a missing one is a bug caught at once.
    const SettingRange& range(const char* key) const {
        const SettingRange* found = find_setting_range(prefix_ + key);
        if (found == nullptr) throw std::logic_error("no range for configuration key " + prefix_ + key);
        return *found;
    }
    const json& section_;
    std::string prefix_;
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
    const SectionReader r(*it, "llm.llama_cpp.");
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
        const SectionReader r(*llm, "llm.");
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
        const SectionReader r(*agent, "agent.");
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
        r.read("allow_unlisted_model_endpoints", a.allow_unlisted_model_endpoints);
        r.read("compact_interaction_records", a.compact_interaction_records);
    }
    if (const json* paths = section(root, "paths")) {
        const SectionReader r(*paths, "paths.");
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
        {"allow_unlisted_model_endpoints", a.allow_unlisted_model_endpoints},
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

const SettingRange* find_setting_range(std::string_view key) {
    for (const SettingRange& range : kRanges) {
        if (range.key == key) return &range;
    }
    return nullptr;
}

std::string expected_range_text(const SettingRange& range) {
    return std::string(range.integer ? "an integer" : "a number") + " from " + number_text(range.min) + " to " +
           number_text(range.max);
}

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
