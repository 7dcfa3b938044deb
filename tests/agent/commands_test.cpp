// The slash commands through the public facade: one table of command and
// argument texts with the exact answers (each row on a freshly initialised
// session over its own base directory), then the stateful sequences and the
// values /config set refuses, which are failed commands naming key, value and
// range.

#include "vexa_core/core_session.hpp"

#include "agent/agent.hpp"
#include "config/agent_config.hpp"

#include "agent_test_util.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexa {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBaseUrl = "http://127.0.0.1:9/v1";  // never contacted: commands make no model call
constexpr const char* kNameId = "11111111-aaaa-4bbb-8ccc-000000000001";
constexpr const char* kFactId = "22222222-bbbb-4ccc-8ddd-000000000002";

using test::read_file;
using test::write_file;

nlohmann::json read_json(const fs::path& path) { return nlohmann::json::parse(read_file(path)); }

std::string native(const fs::path& path) { return path.lexically_normal().make_preferred().string(); }

nlohmann::json memory_entry(const std::string& id, const std::string& category, const std::string& title,
                            const std::string& content) {
    return {{"id", id},
            {"category", category},
            {"title", title},
            {"content", content},
            {"created_at", "2026-01-02T03:04:05"},
            {"updated_at", "2026-01-02T03:04:05"},
            {"created_origin", "user_initiated"},
            {"last_modified_origin", "user_initiated"}};
}

enum Setup : unsigned {
    kPlain = 0,
    kGgufModels = 1,    // alpha.gguf and beta.gguf in the model directory
    kRemoteModels = 2,  // one usable entry in remote_models.json
    kBadRemotes = 4,    // remote_models.json that is not an array
};

// A base directory with a configuration file, one skill, two memories and the
// files `setup` asks for; the process-wide configuration is reset first so
// that nothing of an earlier test leaks in through fields a file lacks.
class Host {
public:
    explicit Host(unsigned setup = kPlain, std::uint32_t policy = 0, bool own_config_path = false) {
        auto& cfg = AgentConfig::instance();
        cfg.llm = LLMConfig{};
        cfg.agent = AgentSettings{};
        cfg.paths = PathsConfig{};
        cfg.config_path.clear();

        test::write_agent_config(dir.path(), kBaseUrl);
        if (own_config_path) {
            // The host keeps its configuration elsewhere than the default place.
            config_file = dir.path() / "host" / "custom_config.json";
            fs::create_directories(config_file.parent_path());
            fs::rename(dir.path() / "config" / "agent_config.json", config_file);
        } else {
            config_file = dir.path() / "config" / "agent_config.json";
        }
        write_file(dir.path() / "skills" / "demo" / "SKILL.md",
                   "---\nname: demo\ndescription: A demo skill\nversion: 1.0\n---\nDo the demo.\n");
        nlohmann::json memories = nlohmann::json::array({memory_entry(kNameId, "user_info", "Name", "Ada"),
                                                         memory_entry(kFactId, "learned_fact", "Editor", "uses vim")});
        write_file(memory_file(), memories.dump(4));
        if (setup & kGgufModels) {
            write_file(dir.path() / "model" / "beta.gguf", "GGUF");
            write_file(dir.path() / "model" / "alpha.gguf", "GGUF");
        }
        if (setup & kRemoteModels) {
            write_file(remotes_file(), R"([{"id":"r1","provider":"openai","model":"gpt-x",)"
                                       R"("base_url":"http://127.0.0.1:9/remote/","api_key":"sk-remote-123456"}])");
        }
        if (setup & kBadRemotes) write_file(remotes_file(), "{}");

        vexa_core::InitializeOptions init;
        init.base_dir = dir.str();
        if (own_config_path) init.config_path = config_file.string();
        init.host_policy_flags = policy;
        initialized = session.initialize(init);
    }

    fs::path memory_file() const { return dir.path() / "data" / "memory" / "memory.json"; }
    fs::path profile_file() const { return dir.path() / "data" / "memory" / "user_profile.json"; }
    fs::path remotes_file() const { return dir.path() / "config" / "remote_models.json"; }

    // {base}, {model_dir}, {config}, {remotes} and {sid} in an expected text.
    std::string expand(std::string text, const std::string& sid) const {
        const std::pair<std::string, std::string> names[] = {
            {"{model_dir}", native(dir.path() / "model")},
            {"{config}", native(config_file)},
            {"{remotes}", native(remotes_file())},
            {"{base}", native(dir.path())},
            {"{sid}", sid},
            {"{fact}", kFactId},
        };
        for (const auto& [name, value] : names) {
            for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size())) {
                text.replace(at, name.size(), value);
            }
        }
        return text;
    }

    test::TempDir dir;
    fs::path config_file;
    vexa_core::CoreSession session;
    bool initialized = false;
};

enum class Match { exact, prefix, suffix };

struct Row {
    const char* command;
    const char* args;
    bool success;
    const char* message;
    bool should_exit = false;
    std::uint32_t policy = 0;
    unsigned setup = kPlain;
    Match match = Match::exact;
    bool refused_value = false;  // a /config set value the key does not take: nothing may change
};

constexpr const char* kConfigReport =
    "Current Configuration:\n  Backend: openai\n  Model: test-model\n  Base URL: http://127.0.0.1:9/v1\n"
    "  Temperature: 0\n  Max Tokens: 256\n  Timeout: 10s\n  Llama Model Path: \n  Llama Context Size: 8192\n"
    "  Llama GPU Layers: -1\n  Model Directory: ./model\n  Agent Name: Vexa\n  Max Turns: 50\n"
    "  Max Tool Rounds: 0 (default 16)\n  Compression Threshold: 8";
constexpr const char* kModelStatus =
    "Model Runtime Status:\n  Backend: openai\n  Model: test-model\n  Base URL: http://127.0.0.1:9/v1\n"
    "  API Key: configured (...-key)\n  Local Model Path: \n  Local Model Resolved: \n"
    "  Model Directory: {model_dir}\n  Config Path: {config}\n  Remote Models Config: {remotes}";
constexpr const char* kSkillTable =
    "Name                Version   Loaded    Description\n"
    "----------------------------------------------------------------------\n"
    "demo                1.0       Yes       A demo skill\n";
constexpr const char* kAgentStatus =
    "Agent Status:\n  Session ID: {sid}\n  Messages: 0\n  Loaded Skills: 1\n  Memories: 2\n  Backend: openai\n"
    "  Model: test-model\n  State: idle\n  用户画像: 已建立";
constexpr const char* kApplied = "\nModel configuration applied successfully.";
constexpr const char* kSkillUsage = "Usage: /skill [list|load <name>|unload <name>]";
constexpr const char* kMemoryUsage =
    "Usage: /memory [list|add <category> <title> <content>|search <query>|delete <id>]";
constexpr const char* kConfigUsage = "Usage: /config [show|set <key> <value>]";
constexpr const char* kModelUsage =
    "Usage: /model [status|list|list remote|use <id|name|path>|remote [list|id|model|provider/model]]";
constexpr const char* kPersistenceOff = "Conversation persistence is disabled by host policy.";

const std::vector<Row>& command_table() {
    using vexa::policy_no_local_memory;
    using vexa::policy_no_persistence;
    static const std::vector<Row> rows = {
        // Dispatch.
        {"/exit", "", true, "Goodbye!", true},
        {"  //SAVE ", "", true, "Conversation saved. Session: {sid}"},
        {"save", "", true, "Conversation saved. Session: {sid}"},
        {"/nope", "", false, "Unknown command: /nope"},
        {"  /NoPe  ", "x", false, "Unknown command: /nope"},
        {"", "", false, "Unknown command: /"},
        {"///", "", false, "Unknown command: /"},
        {"/status", "", true, kAgentStatus},
        {"/clear", "", true, "Conversation cleared. New session started."},
        // Sessions and the persistence policy.
        {"/load", "", true, "No saved sessions found."},
        {"/load", "  no-such  ", false, "Failed to load session: no-such", false, 0, kPlain, Match::prefix},
        {"/save", "", false, kPersistenceOff, false, policy_no_persistence},
        {"/load", "", true, "No saved sessions found.", false, policy_no_persistence},
        {"/load", "some-id", false, kPersistenceOff, false, policy_no_persistence},
        // /skill.
        {"/skill", "", true, kSkillTable},
        {"/SKILL", "list extra", true, kSkillTable},
        {"/skill", "load demo", true, "Skill loaded: demo"},
        {"/skill", "LOAD demo", true, "Skill loaded: demo"},
        {"/skill", "load", false, kSkillUsage},
        {"/skill", "load nosuch", false, "Failed to load skill: nosuch"},
        {"/skill", "load  demo", false, "Failed to load skill: "},
        {"/skill", "unload demo", true, "Skill unloaded: demo"},
        {"/skill", "unload nosuch", false, "Failed to unload skill: nosuch"},
        {"/skill", "unload", false, kSkillUsage},
        {"/skill", "show demo", false, kSkillUsage},
        // /memory.
        {"/memory", "", true, "Memory Store: 2 entries (learned_fact: 1, user_info: 1)"},
        {"/memory", "  LIST  ", true, "Memory Store: 2 entries (learned_fact: 1, user_info: 1)"},
        {"/memory", "add fact title content words", true, "Memory created with ID: ", false, 0, kPlain, Match::prefix},
        {"/memory", "add fact title", false, kMemoryUsage},
        {"/memory", "search VIM", true, "Found 1 memory(ies):\n  [22222222] Editor (learned_fact)\n"},
        {"/memory", "search uses  vim", true, "No memories found matching: uses  vim"},
        {"/memory", "search uses vim", true, "Found 1 memory(ies):\n  [22222222] Editor (learned_fact)\n"},
        {"/memory", "search", false, kMemoryUsage},
        {"/memory", "delete {fact}", true, "Memory deleted: {fact}"},
        {"/memory", "delete nosuch", false, "Failed to delete memory: nosuch"},
        {"/memory", "delete", false, kMemoryUsage},
        {"/memory", "forget all", false, kMemoryUsage},
        {"/memory", "", true, "Memory Store: 0 entries", false, policy_no_local_memory},
        {"/memory", "add fact title content", false, "Memory created but failed to save: ", false,
         policy_no_local_memory, kPlain, Match::prefix},
        // /profile.
        {"/profile", "", true, "=== 用户画像 ===\nUser Profile: Ada | Interactions: 1"},
        {"/profile", " SHOW ", true, "=== 用户画像 ===\nUser Profile: Ada | Interactions: 1"},
        {"/profile", "rebuild", true, "用户画像已重建。"},
        {"/profile", "clear", true, "用户画像已清空。"},
        {"/profile", "show me", false, "用法: /profile [show|rebuild|clear]"},
        {"/profile", "", true, "用户画像尚未建立，随着对话进行将自动学习。", false, policy_no_local_memory},
        {"/profile", "rebuild", true, "用户画像已重建。", false, policy_no_local_memory},
        // /config.
        {"/config", "", true, kConfigReport},
        {"/config", "SHOW", true, kConfigReport},
        {"/config", "set", false, kConfigUsage},
        {"/config", "set model", false, kConfigUsage},
        {"/config", "unset model x", false, kConfigUsage},
        {"/config", "set temperature 0.3", true,
         "Config updated: temperature\nModel configuration applied successfully."},
        {"/config", "SET Temperature 0.5", true,
         "Config updated: temperature\nModel configuration applied successfully."},
        {"/config", "set model big model", true, "Config updated: model\nModel configuration applied successfully."},
        {"/config", "set max_tokens 512", true,
         "Config updated: max_tokens\nModel configuration applied successfully."},
        // The standard conversion reads the leading number.
        {"/config", "set max_tokens 12x", true,
         "Config updated: max_tokens\nModel configuration applied successfully."},
        {"/config", "set llama_cpp.context_size 4096", true,
         "Config updated: llama_cpp.context_size\nModel configuration applied successfully."},
        {"/config", "set threads 2", true, "Config updated: threads\nModel configuration applied successfully."},
        {"/config", "set flash_attention yes", true,
         "Config updated: flash_attention\nModel configuration applied successfully."},
        {"/config", "set tool_call_mode native", true,
         "Config updated: tool_call_mode\nModel configuration applied successfully."},
        {"/config", "set paths.model_dir ./models2", true, "Config updated: paths.model_dir"},
        {"/config", "set MODEL_DIR ./models2", true, "Config updated: model_dir"},
        {"/config", "set NoSuch 1", false, "Unknown config key: nosuch"},
        {"/config", "set llama_cpp.backend x", false, "Unknown config key: llama_cpp.backend"},
        {"/config", "set  temperature 1", false, "Unknown config key: "},
        {"/config", "set backend nonsense", false, "Config not applied: ", false, 0, kPlain, Match::prefix},
        // Values a key does not take: refused with the key's full name, the
        // value and the range, the configuration unchanged.
        {"/config", "set temperature abc", false,
         "Invalid value for llm.temperature: abc (expected a number from 0 to 2)", false, 0, kPlain, Match::exact,
         true},
        {"/config", "set temperature nan", false,
         "Invalid value for llm.temperature: nan (expected a number from 0 to 2)", false, 0, kPlain, Match::exact,
         true},
        {"/config", "set temperature 1e999", false,
         "Invalid value for llm.temperature: 1e999 (expected a number from 0 to 2)", false, 0, kPlain, Match::exact,
         true},
        {"/config", "set temperature 2.5", false,
         "Invalid value for llm.temperature: 2.5 (expected a number from 0 to 2)", false, 0, kPlain, Match::exact,
         true},
        {"/config", "set temperature -0.1", false,
         "Invalid value for llm.temperature: -0.1 (expected a number from 0 to 2)", false, 0, kPlain, Match::exact,
         true},
        {"/config", "set max_tokens many", false,
         "Invalid value for llm.max_tokens: many (expected an integer from 1 to 1000000)", false, 0, kPlain,
         Match::exact, true},
        {"/config", "set max_tokens 0", false,
         "Invalid value for llm.max_tokens: 0 (expected an integer from 1 to 1000000)", false, 0, kPlain,
         Match::exact, true},
        {"/config", "set timeout_seconds 99999999999", false,
         "Invalid value for llm.timeout_seconds: 99999999999 (expected an integer from 1 to 86400)", false, 0, kPlain,
         Match::exact, true},
        {"/config", "set timeout_seconds 99999999999999999999999", false,
         "Invalid value for llm.timeout_seconds: 99999999999999999999999 (expected an integer from 1 to 86400)", false,
         0, kPlain, Match::exact, true},
        {"/config", "set timeout_seconds -5", false,
         "Invalid value for llm.timeout_seconds: -5 (expected an integer from 1 to 86400)", false, 0, kPlain,
         Match::exact, true},
        {"/config", "set timeout_seconds 0", false,
         "Invalid value for llm.timeout_seconds: 0 (expected an integer from 1 to 86400)", false, 0, kPlain,
         Match::exact, true},
        {"/config", "set llm.timeout_seconds 30", true,
         "Config updated: llm.timeout_seconds\nModel configuration applied successfully."},
        {"/config", "set max_retries -1", false,
         "Invalid value for llm.max_retries: -1 (expected an integer from 0 to 100)", false, 0, kPlain, Match::exact,
         true},
        {"/config", "set llama_cpp.gpu_layers x", false,
         "Invalid value for llm.llama_cpp.gpu_layers: x (expected an integer from -1 to 10000)", false, 0, kPlain,
         Match::exact, true},
        {"/config", "set ubatch_size -99999999999", false,
         "Invalid value for llm.llama_cpp.ubatch_size: -99999999999 (expected an integer from 0 to 65536)", false, 0,
         kPlain, Match::exact, true},
        {"/config", "set use_mmap maybe", false,
         "Invalid value for llm.llama_cpp.use_mmap: maybe (expected true or false)", false, 0, kPlain, Match::exact,
         true},
        // The orchestration's settings; their caps clamp instead of refusing.
        {"/config", "set max_parallel_tasks 100000", true,
         "Config updated: max_parallel_tasks (clamped to 64, the most allowed)"},
        {"/config", "set agent.planner_max_tasks 100000", true,
         "Config updated: agent.planner_max_tasks (clamped to 64, the most allowed)"},
        {"/config", "set max_parallel_tasks 8", true, "Config updated: max_parallel_tasks"},
        {"/config", "set max_parallel_tasks 0", false,
         "Invalid value for agent.max_parallel_tasks: 0 (expected an integer from 1 to 64)", false, 0, kPlain,
         Match::exact, true},
        {"/config", "set planner_max_tasks 1", false,
         "Invalid value for agent.planner_max_tasks: 1 (expected an integer from 2 to 64)", false, 0, kPlain,
         Match::exact, true},
        {"/config", "set task_timeout_seconds 0", true, "Config updated: task_timeout_seconds"},
        {"/config", "set agent.task_timeout_seconds -5", false,
         "Invalid value for agent.task_timeout_seconds: -5 (expected an integer from 0 to 86400)", false, 0, kPlain,
         Match::exact, true},
        {"/config", "set agent.name X", false, "Unknown config key: agent.name"},
        // /model.
        {"/model", "", true, kModelStatus},
        {"/model", "current", true, kModelStatus},
        {"/model", "list", true, "No GGUF models found in: {model_dir}"},
        {"/model", "local", true,
         "Local GGUF models:\n  1. alpha\n     ./model/alpha.gguf\n  2. beta\n     ./model/beta.gguf\n"
         "Use /model use <id|name|path> to switch.",
         false, 0, kGgufModels},
        {"/model", "use nosuch", false, "Local GGUF model not found: nosuch", false, 0, kGgufModels},
        // No selector picks the only model; with two, the list and the reason.
        {"/model", "load  ", false, "}\nMultiple local models are available. Please choose one by id or name.", false,
         0, kGgufModels, Match::suffix},
        // Without a local runtime (or with these stand-in files) the model cannot be loaded.
        {"/model", "use 1", false, "Previous model remains active.\n", false, 0, kGgufModels, Match::prefix},
        {"/model", "remote", true, "No supported remote models are configured."},
        {"/model", "list remote", true,
         "Configured remote models:\n  r1. gpt-x (openai)\n     Base URL: http://127.0.0.1:9/remote\n"
         "     API Key: configured (...3456)\nUse /model remote <id|model|provider/model> to switch.",
         false, 0, kRemoteModels},
        {"/model", "REMOTES List", true,
         "Configured remote models:\n  r1. gpt-x (openai)\n     Base URL: http://127.0.0.1:9/remote\n"
         "     API Key: configured (...3456)\nUse /model remote <id|model|provider/model> to switch.",
         false, 0, kRemoteModels},
        {"/model", "remote", false, "Remote model config must be a JSON array: {remotes}", false, 0, kBadRemotes},
        {"/model", "remote  r1 ", true, "Switched to remote model: gpt-x via http://127.0.0.1:9/remote (openai)", false,
         0, kRemoteModels},
        // The catalog as JSON (with its key fields redacted), then the reason.
        {"/model", "remote nosuch", false, "}\nRemote model not found: nosuch", false, 0, kRemoteModels, Match::suffix},
        {"/model", "switch 1", false, kModelUsage},
    };
    return rows;
}

TEST(CommandsTableTest, EveryCommandAnswersExactly) {
    for (const Row& row : command_table()) {
        SCOPED_TRACE(std::string(row.command) + " | " + row.args);
        Host host(row.setup, row.policy);
        ASSERT_TRUE(host.initialized) << host.session.last_error();
        const std::string before = host.session.config_text();
        const std::string sid = host.session.current_session_id();
        const std::string expected = host.expand(row.message, sid);
        const std::string args = host.expand(row.args, sid);

        if (row.refused_value) {
            const vexa_core::CommandResult failed = host.session.execute_command(row.command, args);
            EXPECT_FALSE(failed.success);
            EXPECT_FALSE(failed.should_exit);
            EXPECT_EQ(failed.message, expected);
            EXPECT_EQ(host.session.last_error(), expected);
            // Nothing changed, and the session lock was released.
            EXPECT_EQ(host.session.config_text(), before);
            EXPECT_TRUE(host.session.execute_command("/config", "").success);
            continue;
        }

        const vexa_core::CommandResult result = host.session.execute_command(row.command, args);
        EXPECT_EQ(result.success, row.success) << result.message;
        EXPECT_EQ(result.should_exit, row.should_exit);
        if (row.match == Match::exact) {
            EXPECT_EQ(result.message, expected);
        } else if (row.match == Match::prefix) {
            EXPECT_EQ(result.message.rfind(expected, 0), 0u) << result.message;
        } else {
            EXPECT_TRUE(result.message.size() >= expected.size() &&
                        result.message.compare(result.message.size() - expected.size(), expected.size(), expected) == 0)
                << result.message;
        }
        // A failed command leaves its message as the session's last error.
        if (!result.success) {
            EXPECT_EQ(host.session.last_error(), result.message);
        }
    }
}

// ---- stateful sequences ------------------------------------------------------

std::string created_id(const vexa_core::CommandResult& result) {
    const std::string prefix = "Memory created with ID: ";
    EXPECT_TRUE(result.success) << result.message;
    EXPECT_EQ(result.message.rfind(prefix, 0), 0u) << result.message;
    return result.message.substr(prefix.size());
}

TEST(CommandsSequenceTest, MemoryAddListSearchDeleteKeepsFilesAndProfile) {
    Host host;
    ASSERT_TRUE(host.initialized);
    auto& s = host.session;

    // Two spaces before the title: the title is empty and "Pets" opens the content.
    const std::string pets = created_id(s.execute_command("/memory", "add learned_fact  Pets has a cat"));
    const std::string editor = created_id(s.execute_command("/memory", "ADD user_preference Editor vim  please"));
    EXPECT_EQ(s.execute_command("/memory", "list").message,
              "Memory Store: 4 entries (learned_fact: 2, user_info: 1, user_preference: 1)");

    nlohmann::json stored = read_json(host.memory_file());
    ASSERT_EQ(stored.size(), 4u);
    for (const auto& entry : stored) {
        if (entry["id"] == pets) {
            EXPECT_EQ(entry["title"], "");
            EXPECT_EQ(entry["content"], "Pets has a cat");
            EXPECT_EQ(entry["category"], "learned_fact");
        }
        if (entry["id"] == editor) {
            EXPECT_EQ(entry["content"], "vim  please");
        }
    }
    // The profile was rebuilt and saved after the add.
    EXPECT_EQ(read_json(host.profile_file())["preferences"], nlohmann::json::array({"Editor: vim  please"}));

    const std::string search = s.execute_command("/memory", "search CAT").message;
    EXPECT_EQ(search, "Found 1 memory(ies):\n  [" + pets.substr(0, 8) + "]  (learned_fact)\n");

    const auto deleted = s.execute_command("/memory", "delete " + editor);
    EXPECT_TRUE(deleted.success);
    EXPECT_EQ(deleted.message, "Memory deleted: " + editor);
    EXPECT_EQ(read_json(host.memory_file()).size(), 3u);
    EXPECT_EQ(read_json(host.profile_file())["preferences"], nlohmann::json::array());

    const auto again = s.execute_command("/memory", "delete " + editor);
    EXPECT_FALSE(again.success);
    EXPECT_EQ(again.message, "Failed to delete memory: " + editor);
    EXPECT_EQ(s.last_error(), again.message);

    // /profile clear writes the default profile; rebuild derives the name again.
    EXPECT_EQ(s.execute_command("/profile", "clear").message, "用户画像已清空。");
    EXPECT_EQ(read_json(host.profile_file())["interaction_count"], 0);
    EXPECT_EQ(s.execute_command("/profile", "").message, "用户画像尚未建立，随着对话进行将自动学习。");
    EXPECT_EQ(s.execute_command("/profile", "rebuild").message, "用户画像已重建。");
    EXPECT_EQ(read_json(host.profile_file())["display_name"], "Ada");
    EXPECT_EQ(s.execute_command("/profile", "").message, "=== 用户画像 ===\nUser Profile: Ada | Interactions: 0");
}

TEST(CommandsSequenceTest, MemoryWithoutLocalMemoryWritesNothing) {
    Host host(kPlain, vexa_core::policy_no_local_memory);
    ASSERT_TRUE(host.initialized);
    const std::string memories_before = read_file(host.memory_file());
    const auto added = host.session.execute_command("/memory", "add fact title content");
    EXPECT_FALSE(added.success);
    EXPECT_EQ(host.session.execute_command("/profile", "clear").message, "用户画像已清空。");
    EXPECT_EQ(read_file(host.memory_file()), memories_before);
    EXPECT_FALSE(fs::exists(host.profile_file()));
}

TEST(CommandsSequenceTest, SkillLoadAndUnload) {
    Host host;
    ASSERT_TRUE(host.initialized);
    auto& s = host.session;
    EXPECT_EQ(s.execute_command("/skill", "unload demo").message, "Skill unloaded: demo");
    EXPECT_NE(s.execute_command("/skill", "").message.find("demo                1.0       No        A demo skill\n"),
              std::string::npos);
    const auto twice = s.execute_command("/skill", "unload demo");
    EXPECT_FALSE(twice.success);
    EXPECT_EQ(twice.message, "Failed to unload skill: demo");
    EXPECT_EQ(s.execute_command("/skill", "load demo").message, "Skill loaded: demo");
    EXPECT_EQ(s.execute_command("/skill", "list").message, kSkillTable);

    // An empty library.
    EXPECT_EQ(s.load_skills_from_memory("[]"), 0);
    const auto empty = s.execute_command("/skill", "");
    EXPECT_TRUE(empty.success);
    EXPECT_EQ(empty.message, "No skills available.");
}

TEST(CommandsSequenceTest, ConfigSetSavesToTheHostsConfigPath) {
    Host host(kPlain, 0, /*own_config_path=*/true);
    ASSERT_TRUE(host.initialized) << host.session.last_error();
    auto& s = host.session;
    const fs::path default_file = host.dir.path() / "config" / "agent_config.json";

    EXPECT_EQ(s.execute_command("/config", "set paths.model_dir ./models two").message,
              "Config updated: paths.model_dir");
    nlohmann::json file = read_json(host.config_file);
    EXPECT_EQ(file["paths"]["model_dir"], "./models two");
    EXPECT_FALSE(fs::exists(default_file));

    EXPECT_EQ(s.execute_command("/config", "set base_url http://127.0.0.1:9/v2 ").message,
              std::string("Config updated: base_url") + kApplied);
    EXPECT_EQ(s.execute_command("/config", "set model big  model").message,
              std::string("Config updated: model") + kApplied);
    EXPECT_EQ(s.execute_command("/config", "set temperature 0.25").message,
              std::string("Config updated: temperature") + kApplied);
    EXPECT_EQ(s.execute_command("/config", "set flash_attention no").message,
              std::string("Config updated: flash_attention") + kApplied);
    file = read_json(host.config_file);
    EXPECT_EQ(file["llm"]["base_url"], "http://127.0.0.1:9/v2");
    EXPECT_EQ(file["llm"]["model"], "big  model");
    EXPECT_EQ(file["llm"]["temperature"], 0.25);
    EXPECT_EQ(file["llm"]["llama_cpp"]["flash_attention"], false);
    EXPECT_EQ(file["paths"]["model_dir"], "./models two");
    EXPECT_FALSE(fs::exists(default_file));
    EXPECT_EQ(s.current_model(), "big  model");

    EXPECT_EQ(s.execute_command("/config", "set llama_cpp.flash_attention YES").message,
              std::string("Config updated: llama_cpp.flash_attention") + kApplied);
    EXPECT_TRUE(AgentConfig::instance().llm.llama_cpp.flash_attention);

    const std::string report = s.config_text();
    EXPECT_NE(report.find("  Model: big  model\n"), std::string::npos) << report;
    EXPECT_NE(report.find("  Temperature: 0.25\n"), std::string::npos) << report;
    EXPECT_NE(report.find("  Model Directory: ./models two\n"), std::string::npos) << report;
    EXPECT_EQ(s.execute_command("/model", "list").message,
              "No GGUF models found in: " + native(host.dir.path() / "models two"));
}

TEST(CommandsSequenceTest, ConversionErrorsLeaveConfigurationAndFileAlone) {
    Host host(kPlain, 0, /*own_config_path=*/true);
    ASSERT_TRUE(host.initialized);
    auto& s = host.session;
    ASSERT_TRUE(s.execute_command("/config", "set max_tokens 300").success);
    const std::string file_before = read_file(host.config_file);
    const LLMConfig llm_before = AgentConfig::instance().llm;

    EXPECT_FALSE(s.execute_command("/config", "set max_tokens x12").success);
    EXPECT_FALSE(s.execute_command("/config", "set ubatch_size -99999999999").success);
    EXPECT_FALSE(s.execute_command("/config", "set warmup 2").success);
    EXPECT_EQ(read_file(host.config_file), file_before);
    EXPECT_EQ(AgentConfig::instance().llm.max_tokens, llm_before.max_tokens);
    EXPECT_EQ(AgentConfig::instance().llm.llama_cpp.ubatch_size, llm_before.llama_cpp.ubatch_size);
    // The facade released its lock on the way out.
    EXPECT_EQ(s.execute_command("/exit", "").message, "Goodbye!");
}

// The agent itself refuses a value with a failed result; nothing is thrown.
TEST(CommandsSequenceTest, RefusedValuesLeaveTheAgentAsFailedResults) {
    test::TempDir dir;
    test::write_agent_config(dir.path(), kBaseUrl);
    auto& cfg = AgentConfig::instance();
    cfg.llm = LLMConfig{};
    cfg.paths = PathsConfig{};
    cfg.base_dir = dir.str();
    cfg.host_policy_flags = policy_no_local_memory | policy_no_persistence;
    ASSERT_TRUE(cfg.load((dir.path() / "config" / "agent_config.json").string()));
    Agent agent;
    ASSERT_TRUE(agent.start({}));
    CommandResult warm;
    ASSERT_NO_THROW(warm = agent.execute_command("/config", "set temperature warm"));
    EXPECT_FALSE(warm.success);
    EXPECT_EQ(warm.message, "Invalid value for llm.temperature: warm (expected a number from 0 to 2)");
    CommandResult huge;
    ASSERT_NO_THROW(huge = agent.execute_command("/config", "set context_size 99999999999x"));
    EXPECT_FALSE(huge.success);
    EXPECT_EQ(huge.message,
              "Invalid value for llm.llama_cpp.context_size: 99999999999x (expected an integer from 0 to 1048576)");
    const auto ok = agent.execute_command("/config", "set context_size 1e3");  // reads the leading 1
    EXPECT_TRUE(ok.success) << ok.message;
    EXPECT_EQ(cfg.llm.llama_cpp.context_size, 1);
    agent.shutdown();
}

// The caps of the orchestration clamp a larger value, in the running
// configuration and in the file the next start reads.
TEST(CommandsSequenceTest, OrchestrationCapsClampAndPersist) {
    Host host(kPlain, 0, /*own_config_path=*/true);
    ASSERT_TRUE(host.initialized) << host.session.last_error();
    auto& s = host.session;
    const auto parallel = s.execute_command("/config", "set max_parallel_tasks 100000");
    EXPECT_TRUE(parallel.success);
    EXPECT_EQ(parallel.message, "Config updated: max_parallel_tasks (clamped to 64, the most allowed)");
    const auto planned = s.execute_command("/config", "set agent.planner_max_tasks 3000");
    EXPECT_TRUE(planned.success);
    EXPECT_EQ(planned.message, "Config updated: agent.planner_max_tasks (clamped to 64, the most allowed)");
    EXPECT_EQ(AgentConfig::instance().agent.max_parallel_tasks, 64);
    EXPECT_EQ(AgentConfig::instance().agent.planner_max_tasks, 64);
    nlohmann::json file = read_json(host.config_file);
    EXPECT_EQ(file["agent"]["max_parallel_tasks"], 64);
    EXPECT_EQ(file["agent"]["planner_max_tasks"], 64);

    EXPECT_EQ(s.execute_command("/config", "set task_timeout_seconds 30").message,
              "Config updated: task_timeout_seconds");
    EXPECT_EQ(read_json(host.config_file)["agent"]["task_timeout_seconds"], 30);
    // A refused value writes nothing.
    const std::string before = read_file(host.config_file);
    EXPECT_FALSE(s.execute_command("/config", "set max_parallel_tasks -1").success);
    EXPECT_EQ(read_file(host.config_file), before);
    EXPECT_EQ(AgentConfig::instance().agent.max_parallel_tasks, 64);
}

TEST(CommandsSequenceTest, SaveListClearAndLoadSessions) {
    test::ScriptedServer server;
    Host host;
    ASSERT_TRUE(host.initialized);
    auto& s = host.session;
    ASSERT_TRUE(s.execute_command("/config", std::string("set base_url ") + server.base_url() + "/v1").success);
    server.enqueue(test::answer_response({"hello back"}));
    ASSERT_TRUE(s.send_text_stream("hello").success);
    const std::string first = s.current_session_id();
    EXPECT_EQ(s.execute_command("/save", "").message, "Conversation saved. Session: " + first);

    const auto cleared = s.execute_command("/CLEAR", "");
    EXPECT_TRUE(cleared.success);
    EXPECT_EQ(cleared.message, "Conversation cleared. New session started.");
    EXPECT_NE(s.current_session_id(), first);
    EXPECT_EQ(s.execute_command("/status", "").message.find("  Messages: 0\n") != std::string::npos, true);

    EXPECT_EQ(s.execute_command("/load", "").message,
              "Available sessions:\n  1. " + first + "\nUse /load <session_id> to load a specific session.");
    EXPECT_EQ(s.execute_command("/load", " " + first + " ").message, "Loaded session: " + first);
    EXPECT_EQ(s.current_session_id(), first);
}

}  // namespace
}  // namespace vexa
