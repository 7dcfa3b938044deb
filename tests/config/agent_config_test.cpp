#include "config/agent_config.hpp"

#include "support/test_dir.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#endif

namespace vexa {
namespace {

namespace fs = std::filesystem;
using test::read_text;
using test::TestDir;
using test::write_text;

// ---------------------------------------------------------------- load ----

struct LoadCase {
    const char* what;
    std::string file;
    bool ok;
    std::function<void(const AgentConfig&)> check;
};

void expect_defaults(const AgentConfig& c) {
    const AgentConfig d;
    EXPECT_EQ(c.llm.backend, d.llm.backend);
    EXPECT_EQ(c.llm.model, d.llm.model);
    EXPECT_EQ(c.llm.temperature, d.llm.temperature);
    EXPECT_EQ(c.llm.max_tokens, d.llm.max_tokens);
    EXPECT_EQ(c.llm.llama_cpp.model_path, d.llm.llama_cpp.model_path);
    EXPECT_EQ(c.llm.llama_cpp.threads, d.llm.llama_cpp.threads);
    EXPECT_EQ(c.agent.name, d.agent.name);
    EXPECT_EQ(c.agent.max_tool_rounds, d.agent.max_tool_rounds);
    EXPECT_EQ(c.paths.skills_dir, d.paths.skills_dir);
    EXPECT_EQ(c.perf_enabled, d.perf_enabled);
}

TEST(AgentConfigLoad, EdgeCases) {
    const std::vector<LoadCase> cases = {
        {"type error keeps what came before it",
         R"({"llm":{"backend":"openai","base_url":"http://h","api_key":"k","model":"m","temperature":0.5,
             "max_tokens":"many","timeout_seconds":7},"agent":{"name":"Late"}})",
         false,
         [](const AgentConfig& c) {
             EXPECT_EQ(c.llm.backend, "openai");
             EXPECT_EQ(c.llm.base_url, "http://h");
             EXPECT_EQ(c.llm.api_key, "k");
             EXPECT_EQ(c.llm.model, "m");
             EXPECT_EQ(c.llm.temperature, 0.5);
             EXPECT_EQ(c.llm.max_tokens, 4096);
             EXPECT_EQ(c.llm.timeout_seconds, 120);
             EXPECT_EQ(c.agent.name, "Vexa");
         }},
        // Not an object: nothing is read, and the load reports it (the host's
        // initialisation then carries the configuration warning).
        {"array root changes nothing and is reported", R"([{"agent":{"name":"X"}}])", false, expect_defaults},
        {"number root changes nothing and is reported", "42", false, expect_defaults},
        {"text after an object is ignored", R"({"agent":{"name":"A"}} trailing {garbage)", true,
         [](const AgentConfig& c) { EXPECT_EQ(c.agent.name, "A"); }},
        {"text after an array is ignored", R"([] {"agent":{"name":"A"}})", false, expect_defaults},
        {"llama_cpp as a number is ignored", R"({"llm":{"model":"m","llama_cpp":5},"agent":{"name":"A"}})", true,
         [](const AgentConfig& c) {
             EXPECT_EQ(c.llm.model, "m");
             EXPECT_EQ(c.llm.llama_cpp.context_size, 8192);
             EXPECT_EQ(c.agent.name, "A");
         }},
        {"perf.enabled as a number is ignored", R"({"perf":{"enabled":0}})", true,
         [](const AgentConfig& c) { EXPECT_TRUE(c.perf_enabled); }},
        {"perf as a boolean is ignored", R"({"perf":false})", true,
         [](const AgentConfig& c) { EXPECT_TRUE(c.perf_enabled); }},
        {"perf.enabled false", R"({"perf":{"enabled":false}})", true,
         [](const AgentConfig& c) { EXPECT_FALSE(c.perf_enabled); }},
        // Below the range: the nearest bound, which means the same (16 rounds).
        {"negative round limit becomes 0", R"({"agent":{"max_tool_rounds":-3}})", true,
         [](const AgentConfig& c) { EXPECT_EQ(c.agent.max_tool_rounds, 0); }},
        {"floating values truncate toward zero", R"({"llm":{"max_tokens":1000.9,"timeout_seconds":2.7}})", true,
         [](const AgentConfig& c) {
             EXPECT_EQ(c.llm.max_tokens, 1000);
             EXPECT_EQ(c.llm.timeout_seconds, 2);
         }},
        {"an integer temperature", R"({"llm":{"temperature":1}})", true,
         [](const AgentConfig& c) { EXPECT_EQ(c.llm.temperature, 1.0); }},
        {"a section that is not an object fails before later sections",
         R"({"llm":"x","agent":{"name":"A"}})", false, expect_defaults},
        {"a later section that is not an object keeps earlier sections",
         R"({"agent":{"name":"A"},"paths":[1],"llm":{"model":"m"}})", false,
         [](const AgentConfig& c) {
             EXPECT_EQ(c.llm.model, "m");  // llm is read before agent and paths
             EXPECT_EQ(c.agent.name, "A");
             EXPECT_EQ(c.paths.skills_dir, "./skills");
         }},
        {"null section is a type error", R"({"agent":null})", false, expect_defaults},
        {"string where a boolean is expected",
         R"({"agent":{"name":"A","orchestration_enabled":"true","max_parallel_tasks":9}})", false,
         [](const AgentConfig& c) {
             EXPECT_EQ(c.agent.name, "A");
             EXPECT_FALSE(c.agent.orchestration_enabled);
             EXPECT_EQ(c.agent.max_parallel_tasks, 4);
         }},
        {"number where a string is expected", R"({"paths":{"skills_dir":"s","data_dir":5}})", false,
         [](const AgentConfig& c) {
             EXPECT_EQ(c.paths.skills_dir, "s");
             EXPECT_EQ(c.paths.data_dir, "./data");
         }},
        // Out of range, however far: the nearest bound, and the rest still loads.
        {"integer too large for 32 bits takes the upper bound",
         R"({"llm":{"model":"m","max_tokens":5000000000},"agent":{"name":"A"}})", true,
         [](const AgentConfig& c) {
             EXPECT_EQ(c.llm.model, "m");
             EXPECT_EQ(c.llm.max_tokens, 1000000);
             EXPECT_EQ(c.agent.name, "A");
         }},
        {"floating value too large takes the upper bound", R"({"llm":{"max_tokens":1e300}})", true,
         [](const AgentConfig& c) { EXPECT_EQ(c.llm.max_tokens, 1000000); }},
        {"the 32-bit extremes take the bounds", R"({"llm":{"max_tokens":2147483647,"timeout_seconds":-2147483648}})",
         true,
         [](const AgentConfig& c) {
             EXPECT_EQ(c.llm.max_tokens, 1000000);
             EXPECT_EQ(c.llm.timeout_seconds, 1);
         }},
        {"llama_cpp type error keeps earlier local keys",
         R"({"llm":{"llama_cpp":{"model_path":"m.gguf","context_size":4096,"threads":"x","use_mlock":true}}})",
         false,
         [](const AgentConfig& c) {
             EXPECT_EQ(c.llm.llama_cpp.model_path, "m.gguf");
             EXPECT_EQ(c.llm.llama_cpp.context_size, 4096);
             EXPECT_EQ(c.llm.llama_cpp.threads, 8);
             EXPECT_FALSE(c.llm.llama_cpp.use_mlock);
         }},
        {"syntax error", R"({"llm":{"model":"m",}})", false, expect_defaults},
        {"empty file", "", false, expect_defaults},
        {"a UTF-8 byte order mark is skipped", "\xEF\xBB\xBF{\"agent\":{\"name\":\"A\"}}", true,
         [](const AgentConfig& c) { EXPECT_EQ(c.agent.name, "A"); }},
        {"unknown keys are ignored", R"({"extra":1,"agent":{"name":"A","colour":"red"}})", true,
         [](const AgentConfig& c) { EXPECT_EQ(c.agent.name, "A"); }},
    };
    TestDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path file = dir / "agent_config.json";
        write_text(file, c.file);
        AgentConfig config;
        EXPECT_EQ(config.load(file.string()), c.ok);
        EXPECT_EQ(config.config_path, file.string());
        c.check(config);
    }
}

TEST(AgentConfigLoad, ReadsEveryKey) {
    TestDir dir;
    const fs::path file = dir / "agent_config.json";
    write_text(file, R"({
      "llm": {"backend":"local","base_url":"u","api_key":"k","model":"m","temperature":0.25,"max_tokens":10,
              "timeout_seconds":11,
              "llama_cpp":{"model_path":"p","context_size":1,"gpu_layers":2,"main_gpu":3,"batch_size":4,
                           "ubatch_size":5,"threads":6,"flash_attention":false,"use_mmap":false,"use_mlock":true,
                           "warmup":false,"allow_cpu_fallback":true,"tool_call_mode":"native"}},
      "agent": {"name":"N","max_conversation_turns":1,"compression_threshold":2,"compression_keep_recent":3,
                "max_tool_rounds":4,"orchestration_enabled":true,"max_parallel_tasks":5,"task_timeout_seconds":6,
                "planner_max_tasks":7,"parallel_model_calls":false,"compact_interaction_records":true},
      "paths": {"skills_dir":"a","data_dir":"b","memory_file":"c","conversations_dir":"d",
                "conversations_full_dir":"e","config_dir":"f","model_dir":"g"},
      "perf": {"enabled": false}
    })");
    AgentConfig c;
    ASSERT_TRUE(c.load(file.string()));
    const auto& l = c.llm.llama_cpp;
    EXPECT_EQ(c.llm.backend + c.llm.base_url + c.llm.api_key + c.llm.model, "localukm");
    EXPECT_EQ(c.llm.temperature, 0.25);
    EXPECT_EQ(c.llm.max_tokens, 10);
    EXPECT_EQ(c.llm.timeout_seconds, 11);
    EXPECT_EQ(l.model_path, "p");
    EXPECT_EQ(std::vector<int>({l.context_size, l.gpu_layers, l.main_gpu, l.batch_size, l.ubatch_size, l.threads}),
              std::vector<int>({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(std::vector<bool>({l.flash_attention, l.use_mmap, l.use_mlock, l.warmup, l.allow_cpu_fallback}),
              std::vector<bool>({false, false, true, false, true}));
    EXPECT_EQ(l.tool_call_mode, "native");
    const auto& a = c.agent;
    EXPECT_EQ(a.name, "N");
    EXPECT_EQ(std::vector<int>({a.max_conversation_turns, a.compression_threshold, a.compression_keep_recent,
                                a.max_tool_rounds, a.max_parallel_tasks, a.task_timeout_seconds,
                                a.planner_max_tasks}),
              std::vector<int>({1, 2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(a.orchestration_enabled);
    EXPECT_FALSE(a.parallel_model_calls);
    EXPECT_TRUE(AgentConfig().agent.parallel_model_calls);
    EXPECT_TRUE(a.compact_interaction_records);
    EXPECT_FALSE(AgentConfig().agent.compact_interaction_records);
    const auto& p = c.paths;
    EXPECT_EQ(p.skills_dir + p.data_dir + p.memory_file + p.conversations_dir + p.conversations_full_dir +
                  p.config_dir + p.model_dir,
              "abcdefg");
    EXPECT_FALSE(c.perf_enabled);
}

// Every numeric key at load: a value outside its range becomes the nearest
// bound, a warning names key, value and range, and the keys after it load.
TEST(AgentConfigLoad, OutOfRangeValuesTakeTheNearestBoundWithAWarning) {
    struct RangeCase {
        const char* file;
        std::function<int(const AgentConfig&)> field;  // or the temperature × 100
        int expected;
        const char* warning;  // "" when the value is in range
    };
    const auto temperature = [](const AgentConfig& c) { return static_cast<int>(c.llm.temperature * 100 + 0.5); };
    const std::vector<RangeCase> cases = {
        {R"({"llm":{"timeout_seconds":-5}})", [](const AgentConfig& c) { return c.llm.timeout_seconds; }, 1,
         "Configuration value out of range: llm.timeout_seconds = -5 (expected an integer from 1 to 86400); using 1"},
        {R"({"llm":{"timeout_seconds":0}})", [](const AgentConfig& c) { return c.llm.timeout_seconds; }, 1,
         "llm.timeout_seconds = 0 "},
        {R"({"llm":{"timeout_seconds":86400}})", [](const AgentConfig& c) { return c.llm.timeout_seconds; }, 86400, ""},
        {R"({"llm":{"timeout_seconds":90000}})", [](const AgentConfig& c) { return c.llm.timeout_seconds; }, 86400,
         "llm.timeout_seconds = 90000 "},
        {R"({"llm":{"temperature":-0.5}})", temperature, 0,
         "llm.temperature = -0.5 (expected a number from 0 to 2); using 0"},
        {R"({"llm":{"temperature":7.5}})", temperature, 200, "llm.temperature = 7.5 "},
        {R"({"llm":{"temperature":1.25}})", temperature, 125, ""},
        {R"({"llm":{"max_tokens":0}})", [](const AgentConfig& c) { return c.llm.max_tokens; }, 1, "llm.max_tokens"},
        {R"({"llm":{"max_retries":1000}})", [](const AgentConfig& c) { return c.llm.max_retries; }, 100,
         "llm.max_retries"},
        {R"({"llm":{"retry_max_delay_ms":-1}})", [](const AgentConfig& c) { return c.llm.retry_max_delay_ms; }, 0,
         "llm.retry_max_delay_ms"},
        {R"({"llm":{"llama_cpp":{"threads":-4}}})", [](const AgentConfig& c) { return c.llm.llama_cpp.threads; }, 0,
         "llm.llama_cpp.threads = -4 (expected an integer from 0 to 1024)"},
        {R"({"llm":{"llama_cpp":{"gpu_layers":-9}}})",
         [](const AgentConfig& c) { return c.llm.llama_cpp.gpu_layers; }, -1, "llm.llama_cpp.gpu_layers"},
        {R"({"llm":{"llama_cpp":{"context_size":0}}})",
         [](const AgentConfig& c) { return c.llm.llama_cpp.context_size; }, 0, ""},
        {R"({"agent":{"task_timeout_seconds":0}})", [](const AgentConfig& c) { return c.agent.task_timeout_seconds; },
         0, ""},
        {R"({"agent":{"task_timeout_seconds":-1}})",
         [](const AgentConfig& c) { return c.agent.task_timeout_seconds; }, 0, "agent.task_timeout_seconds"},
        {R"({"agent":{"compression_keep_recent":-1}})",
         [](const AgentConfig& c) { return c.agent.compression_keep_recent; }, 0, "agent.compression_keep_recent"},
        // The caps of the orchestration.
        {R"({"agent":{"max_parallel_tasks":100000}})",
         [](const AgentConfig& c) { return c.agent.max_parallel_tasks; }, 64,
         "agent.max_parallel_tasks = 100000 (expected an integer from 1 to 64); using 64"},
        {R"({"agent":{"max_parallel_tasks":0}})", [](const AgentConfig& c) { return c.agent.max_parallel_tasks; }, 1,
         "agent.max_parallel_tasks = 0 "},
        {R"({"agent":{"max_parallel_tasks":64}})", [](const AgentConfig& c) { return c.agent.max_parallel_tasks; }, 64,
         ""},
        {R"({"agent":{"planner_max_tasks":100000}})",
         [](const AgentConfig& c) { return c.agent.planner_max_tasks; }, 64,
         "agent.planner_max_tasks = 100000 (expected an integer from 2 to 64); using 64"},
        {R"({"agent":{"planner_max_tasks":1}})", [](const AgentConfig& c) { return c.agent.planner_max_tasks; }, 2,
         "agent.planner_max_tasks = 1 "},
    };
    TestDir dir;
    const fs::path file = dir / "agent_config.json";
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.file);
        // A later key in the same file still loads.
        nlohmann::json root = nlohmann::json::parse(c.file);
        root["paths"] = {{"skills_dir", "after"}};
        write_text(file, root.dump());
        AgentConfig config;
        testing::internal::CaptureStderr();
        EXPECT_TRUE(config.load(file.string()));
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.field(config), c.expected);
        EXPECT_EQ(config.paths.skills_dir, "after");
        if (*c.warning == '\0') {
            EXPECT_EQ(log.find("out of range"), std::string::npos) << log;
        } else {
            EXPECT_NE(log.find(c.warning), std::string::npos) << log;
            EXPECT_NE(log.find("WARNING"), std::string::npos) << log;
        }
    }
}

TEST(AgentConfigLoad, RetryKeysAreReadAndSaved) {
    TestDir dir;
    AgentConfig c;
    EXPECT_EQ(c.llm.max_retries, 0);  // one attempt unless asked for
    EXPECT_EQ(c.llm.retry_base_delay_ms, 500);
    EXPECT_EQ(c.llm.retry_max_delay_ms, 30000);
    const fs::path file = dir / "agent_config.json";
    write_text(file, R"({"llm":{"max_retries":3,"retry_base_delay_ms":-20,"retry_max_delay_ms":9000}})");
    ASSERT_TRUE(c.load(file.string()));
    EXPECT_EQ(c.llm.max_retries, 3);
    EXPECT_EQ(c.llm.retry_base_delay_ms, 0);  // below the range; 0 is what the retry policy made of it
    EXPECT_EQ(c.llm.retry_max_delay_ms, 9000);

    ASSERT_TRUE(c.save(file.string()));
    const nlohmann::json saved = nlohmann::json::parse(read_text(file));
    EXPECT_EQ(saved["llm"]["max_retries"], 3);
    EXPECT_EQ(saved["llm"]["retry_base_delay_ms"], 0);
    EXPECT_EQ(saved["llm"]["retry_max_delay_ms"], 9000);
}

TEST(AgentConfigLoad, MissingFileChangesNothingAndLaterLoadsLayerOverEarlierOnes) {
    TestDir dir;
    AgentConfig c;
    c.config_path = "before";
    EXPECT_FALSE(c.load((dir / "absent.json").string()));
    EXPECT_EQ(c.config_path, "before");
    expect_defaults(c);

    write_text(dir / "first.json", R"({"agent":{"name":"First","max_tool_rounds":5}})");
    write_text(dir / "second.json", R"({"agent":{"max_tool_rounds":6}})");
    ASSERT_TRUE(c.load((dir / "first.json").string()));
    ASSERT_TRUE(c.load((dir / "second.json").string()));
    EXPECT_EQ(c.agent.name, "First");  // absent key keeps the earlier value, not the default
    EXPECT_EQ(c.agent.max_tool_rounds, 6);
}

// ---------------------------------------------------------------- save ----

AgentConfig non_default_config() {
    AgentConfig c;
    c.llm = {"openai", "https://api.example.com/v1", "sk-1", "model-x", 0.7, 1000, 30, {}};
    c.llm.llama_cpp.model_path = "./model/x.gguf";
    c.llm.llama_cpp.gpu_layers = 12;
    c.llm.llama_cpp.use_mlock = true;
    c.llm.llama_cpp.tool_call_mode = "native";
    c.agent.name = "助手";
    c.agent.max_tool_rounds = 7;  // in range, so that the round trip keeps it
    c.agent.orchestration_enabled = true;
    c.paths.model_dir = "/models";
    c.perf_enabled = false;
    c.base_dir = "/base";
    c.host_policy_flags = 0x41;
    return c;
}

TEST(AgentConfigSave, WritesSortedSectionsWithIndentFourAndRoundTrips) {
    TestDir dir;
    const fs::path file = dir / "nested" / "config" / "agent_config.json";  // parents are created
    AgentConfig saved = non_default_config();
    ASSERT_TRUE(saved.save(file.string()));
    EXPECT_EQ(saved.config_path, file.string());

    const std::string text = read_text(file);
    const auto agent = text.find("\n    \"agent\": {");
    const auto llm = text.find("\n    \"llm\": {");
    const auto paths = text.find("\n    \"paths\": {");
    const auto perf = text.find("\n    \"perf\": {");
    ASSERT_NE(agent, std::string::npos);
    EXPECT_LT(agent, llm);
    EXPECT_LT(llm, paths);
    EXPECT_LT(paths, perf);
    EXPECT_NE(text.find("\n            \"allow_cpu_fallback\": false,"), std::string::npos);  // nested indent
    EXPECT_NE(text.find("\"temperature\": 0.7"), std::string::npos);
    EXPECT_NE(text.find("\"name\": \"助手\""), std::string::npos);  // raw UTF-8, no \u escapes
    for (const char* absent : {"base_dir", "config_path", "host_policy_flags", "/base"}) {
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    }
    // Keys ascending inside a section too.
    EXPECT_LT(text.find("\"api_key\""), text.find("\"backend\""));
    EXPECT_LT(text.find("\"model\""), text.find("\"temperature\""));

    AgentConfig loaded;
    ASSERT_TRUE(loaded.load(file.string()));
    EXPECT_EQ(loaded.llm.backend, saved.llm.backend);
    EXPECT_EQ(loaded.llm.base_url, saved.llm.base_url);
    EXPECT_EQ(loaded.llm.api_key, saved.llm.api_key);
    EXPECT_EQ(loaded.llm.temperature, saved.llm.temperature);
    EXPECT_EQ(loaded.llm.max_tokens, saved.llm.max_tokens);
    EXPECT_EQ(loaded.llm.llama_cpp.model_path, saved.llm.llama_cpp.model_path);
    EXPECT_EQ(loaded.llm.llama_cpp.gpu_layers, 12);
    EXPECT_TRUE(loaded.llm.llama_cpp.use_mlock);
    EXPECT_EQ(loaded.llm.llama_cpp.tool_call_mode, "native");
    EXPECT_EQ(loaded.agent.name, "助手");
    EXPECT_EQ(loaded.agent.max_tool_rounds, 7);
    EXPECT_TRUE(loaded.agent.orchestration_enabled);
    EXPECT_EQ(loaded.paths.model_dir, "/models");
    EXPECT_FALSE(loaded.perf_enabled);
    EXPECT_TRUE(loaded.base_dir.empty());
    EXPECT_EQ(loaded.host_policy_flags, 0u);

    // Saving what was loaded gives the same bytes.
    const fs::path again = dir / "again.json";
    ASSERT_TRUE(loaded.save(again.string()));
    EXPECT_EQ(read_text(again), text);
}

TEST(AgentConfigSave, TemperatureAlwaysHasAFraction) {
    TestDir dir;
    for (const auto& [value, expected] : std::vector<std::pair<double, std::string>>{
             {0.0, "\"temperature\": 0.0"}, {1.0, "\"temperature\": 1.0"}, {0.1, "\"temperature\": 0.1"}}) {
        AgentConfig c;
        c.llm.temperature = value;
        ASSERT_TRUE(c.save((dir / "t.json").string()));
        EXPECT_NE(read_text(dir / "t.json").find(expected), std::string::npos) << expected;
    }
}

TEST(AgentConfigSave, InvalidUtf8IsRepairedNotFatal) {
    TestDir dir;
    AgentConfig c;
    c.agent.name = "bad\xFF";
    ASSERT_TRUE(c.save((dir / "c.json").string()));
    AgentConfig loaded;
    ASSERT_TRUE(loaded.load((dir / "c.json").string()));
    EXPECT_EQ(loaded.agent.name, "bad\xEF\xBF\xBD");
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

#ifndef _WIN32
// Makes writes to regular files fail past `bytes` (EFBIG), the way a full disk
// would; unlike permission bits this also holds for root.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved_;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*old_handler_)(int) = nullptr;
};

TEST(AgentConfigSave, FailedWriteLeavesTheOldFileIntact) {
    TestDir dir;
    const fs::path file = dir / "agent_config.json";
    AgentConfig old_config;
    old_config.agent.name = "Old";
    ASSERT_TRUE(old_config.save(file.string()));
    const std::string before = read_text(file);

    AgentConfig changed = non_default_config();
    bool saved = true;
    {
        FileSizeLimit limit(64);  // the new text is over 1 KB
        saved = changed.save(file.string());
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(read_text(file), before);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"agent_config.json"});  // no temporary left
}
#endif

TEST(AgentConfigSave, PathsThatCannotBeWrittenFail) {
    TestDir dir;
    // The target is a directory: it stays, with its content.
    const fs::path as_dir = dir / "agent_config.json";
    fs::create_directories(as_dir);
    write_text(as_dir / "keep.txt", "x");
    AgentConfig c;
    EXPECT_FALSE(c.save(as_dir.string()));
    EXPECT_EQ(c.config_path, as_dir.string());
    EXPECT_EQ(read_text(as_dir / "keep.txt"), "x");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"agent_config.json"});

    // A parent that is a regular file cannot become a directory.
    write_text(dir / "plain", "p");
    EXPECT_FALSE(c.save((dir / "plain" / "agent_config.json").string()));
    EXPECT_EQ(read_text(dir / "plain"), "p");
}

#ifndef _WIN32
TEST(AgentConfigSave, ReadOnlyFileFailsWhenTheProcessMayNotWriteIt) {
    TestDir dir;
    const fs::path file = dir / "agent_config.json";
    AgentConfig c;
    ASSERT_TRUE(c.save(file.string()));
    const std::string before = read_text(file);
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    // "May not be written" means what it meant when the file was rewritten in
    // place: opening it for writing fails. Root may write a mode-0444 file, so
    // there the save succeeds and keeps the file's mode.
    const bool writable = ::access(file.c_str(), W_OK) == 0;
    c.agent.name = "Changed";
    EXPECT_EQ(c.save(file.string()), writable);
    if (writable) {
        EXPECT_NE(read_text(file), before);
    } else {
        EXPECT_EQ(read_text(file), before);
    }
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"agent_config.json"});
}
#endif

// -------------------------------------------------------- path handling ----

TEST(AgentConfigPaths, ResolvePath) {
    struct Case {
        std::string base;
        std::string path;
        std::string expected;
    };
#ifdef _WIN32
    const std::vector<Case> cases = {
        {"C:\\app", "./skills", "C:\\app\\skills"},
        {"C:\\app", "data/memory/../x.json", "C:\\app\\data\\x.json"},
        {"C:\\app", "D:/abs/x", "D:/abs/x"},
        {"C:\\app", "\\\\server\\share\\x", "\\\\server\\share\\x"},
        {"C:\\app", "\\\\?\\C:\\long", "\\\\?\\C:\\long"},
        {"", "./skills", "skills"},
    };
#else
    const std::vector<Case> cases = {
        {"/opt/app", "./skills", "/opt/app/skills"},
        {"/opt/app", "./data/memory/memory.json", "/opt/app/data/memory/memory.json"},
        {"/opt/app/", "config", "/opt/app/config"},
        {"/opt/app", "a/./b/../c", "/opt/app/a/c"},
        {"/opt/app", "../shared/x", "/opt/shared/x"},
        {"/opt/app", "/abs/../kept/as/is", "/abs/../kept/as/is"},  // absolute: unchanged
        {"/opt/app", "C:/not/absolute/here", "/opt/app/C:/not/absolute/here"},
        {"/opt/app", "\\not\\a\\separator", "/opt/app/\\not\\a\\separator"},
        {"relative/base", "./x", "relative/base/x"},
        {"", "./skills", "skills"},
        {"", "../up", "../up"},
        {"/opt/应用", "./技能", "/opt/应用/技能"},
    };
#endif
    for (const auto& c : cases) {
        AgentConfig config;
        config.base_dir = c.base;
        EXPECT_EQ(config.resolve_path(c.path), c.expected) << c.base << " + " << c.path;
    }
}

TEST(AgentConfigPaths, PersistPathPrefersTheLastFileUsed) {
    AgentConfig c;
    c.base_dir = "/opt/app";
#ifndef _WIN32
    EXPECT_EQ(c.persist_path(), "/opt/app/config/agent_config.json");
#endif
    c.config_path = "elsewhere/my.json";
    EXPECT_EQ(c.persist_path(), "elsewhere/my.json");
}

TEST(AgentConfigPaths, ExecutableDirectoryHoldsTheTestProgram) {
    const fs::path dir = executable_directory();
    ASSERT_TRUE(dir.is_absolute()) << dir;
    bool found = false;
    for (const auto& e : fs::directory_iterator(dir)) {
        found = found || e.path().filename().string().rfind("vexa_support_tests", 0) == 0;
    }
    EXPECT_TRUE(found) << dir;
}

TEST(AgentConfigPaths, PolicyBits) {
    AgentConfig c;
    EXPECT_FALSE(c.has_policy(policy_no_local_skills));
    c.host_policy_flags = policy_no_persistence | policy_no_model_tool | 0x10;
    EXPECT_TRUE(c.has_policy(policy_no_persistence));
    EXPECT_TRUE(c.has_policy(policy_no_model_tool));
    EXPECT_FALSE(c.has_policy(policy_no_local_memory));
}

TEST(AgentConfigInstance, IsOneRecordPerProcessEvenAcrossThreads) {
    std::vector<AgentConfig*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = &AgentConfig::instance(); });
    }
    for (auto& t : threads) t.join();
    for (AgentConfig* p : seen) EXPECT_EQ(p, &AgentConfig::instance());
}

}  // namespace
}  // namespace vexa
