#pragma once
// The process-wide configuration record and its file agent_config.json.

#include <cstdint>
#include <string>
#include <string_view>

namespace vexa {

struct LlamaCppConfig {
    std::string model_path;
    int context_size = 8192;
    int gpu_layers = -1;
    int main_gpu = 0;
    int batch_size = 512;
    int ubatch_size = 128;
    int threads = 8;
    bool flash_attention = true;
    bool use_mmap = true;
    bool use_mlock = false;
    bool warmup = true;
    bool allow_cpu_fallback = false;
    std::string tool_call_mode = "json_block";
};

struct LLMConfig {
    std::string backend;
    std::string base_url;
    std::string api_key;
    std::string model;
    double temperature = 0.0;
    int max_tokens = 4096;
    int timeout_seconds = 120;
    LlamaCppConfig llama_cpp;
    // Retries of a request that failed for a passing reason (see
    // llm/retry_policy.hpp); 0 makes every request exactly once.
    int max_retries = 0;
    int retry_base_delay_ms = 500;
    int retry_max_delay_ms = 30000;
};

struct AgentSettings {
    std::string name = "Vexa";
    int max_conversation_turns = 50;
    int compression_threshold = 8;
    int compression_keep_recent = 4;
    int max_tool_rounds = 0;
    bool orchestration_enabled = false;
    int max_parallel_tasks = 4;
    int task_timeout_seconds = 120;
    int planner_max_tasks = 8;
    // Tasks of one orchestrated turn call a remote model at the same time,
    // each on its own connection; false serialises them like every other call.
    bool parallel_model_calls = true;
    // The model may switch to a base URL whose origin is neither the
    // configured endpoint's nor a remote_models.json entry's; such a switch
    // holds for the running session only and is never saved.
    bool allow_unlisted_model_endpoints = false;
    // Records of one turn leave out the request messages the previous record
    // of the same task already holds (the record file grows linearly).
    bool compact_interaction_records = false;
};

struct PathsConfig {
    std::string skills_dir = "./skills";
    std::string data_dir = "./data";
    std::string memory_file = "./data/memory/memory.json";
    std::string conversations_dir = "./data/conversations";
    std::string conversations_full_dir = "./data/conversations_full";
    std::string config_dir = "./config";
    std::string model_dir = "./model";
};

// Each planned task may run on a thread and a connection of its own, so
// neither count is left to the file or to the plan a model writes.
inline constexpr int kMaxParallelTasksCap = 64;
inline constexpr int kPlannerMaxTasksCap = 64;

// The values a numeric setting accepts. `key` is the setting's full name, as
// in "llm.timeout_seconds", "llm.llama_cpp.threads", "agent.max_parallel_tasks".
// Loading replaces a value outside the range by the nearest bound and logs a
// warning; /config set refuses it, except that the caps (`clamp_above`) take
// a larger value as the cap there too.
struct SettingRange {
    std::string_view key;
    double min;
    double max;
    bool integer;
    bool clamp_above;
};

// The range of a numeric setting by its full name; nullptr for any other key.
const SettingRange* find_setting_range(std::string_view key);

// "an integer from 1 to 86400", "a number from 0 to 2".
std::string expected_range_text(const SettingRange& range);

inline constexpr std::uint32_t policy_no_local_skills = 0x01;
inline constexpr std::uint32_t policy_no_local_soul = 0x02;
inline constexpr std::uint32_t policy_no_local_identity = 0x04;
inline constexpr std::uint32_t policy_no_local_memory = 0x08;
inline constexpr std::uint32_t policy_no_persistence = 0x20;
inline constexpr std::uint32_t policy_no_model_tool = 0x40;

class AgentConfig {
public:
    static AgentConfig& instance();

    bool load(const std::string& path);
    bool save(const std::string& path);
    std::string resolve_path(const std::string& path) const;
    // Where a run-time change (model switch, /config set) is persisted.
    std::string persist_path() const;
    bool has_policy(std::uint32_t bit) const { return (host_policy_flags & bit) != 0; }

    LLMConfig llm;
    AgentSettings agent;
    PathsConfig paths;
    bool perf_enabled = true;
    std::string base_dir;
    std::string config_path;
    std::uint32_t host_policy_flags = 0;
};

// Directory of the running process's executable; "." when it cannot be found.
std::string executable_directory();

}  // namespace vexa
