// The agent's turn driver, ReAct loop and tool execution against a scripted
// chat-completions server over loopback HTTP.

#include "agent/agent.hpp"
#include "conversation/context_compression.hpp"

#include "agent/tool_judgement.hpp"
#include "agent_test_util.hpp"
#include "config/agent_config.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vexa {
namespace {

using test::answer_response;
using test::ScriptedCall;
using test::ScriptedResponse;
using test::tool_response;
using namespace std::chrono_literals;

// A library tool (not a host tool): eligible for parallel execution.
class EchoTool : public ITool {
public:
    explicit EchoTool(std::string name, std::chrono::milliseconds delay = 0ms) : name_(std::move(name)), delay_(delay) {}
    std::string name() const override { return name_; }
    std::string description() const override { return "echoes its arguments"; }
    nlohmann::json parameters() const override { return {{"type", "object"}}; }
    nlohmann::json execute(const nlohmann::json& arguments) override {
        const int now = ++running_;
        int seen = peak_.load();
        while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(delay_);
        --running_;
        ++calls_;
        return {{"success", true}, {"echo", arguments}};
    }
    int peak() const { return peak_.load(); }
    int calls() const { return calls_.load(); }

private:
    std::string name_;
    std::chrono::milliseconds delay_;
    std::atomic<int> running_{0};
    std::atomic<int> peak_{0};
    std::atomic<int> calls_{0};
};

std::string kind(const AgentEvent& e) {
    switch (e.type) {
        case AgentEventType::StateChanged: return "state:" + e.text;
        case AgentEventType::ContentDelta: return "content:" + e.text;
        case AgentEventType::ReasoningDelta: return "reasoning:" + e.text;
        case AgentEventType::ToolCallStarted: return "started:" + e.tool_name;
        case AgentEventType::ToolCallFinished: return "finished:" + e.tool_name;
        case AgentEventType::Done: return "done:" + e.text;
        case AgentEventType::Error: return "error:" + e.text;
        case AgentEventType::Notice: return "notice:" + e.text;
        default: return "other:" + std::to_string(static_cast<int>(e.type));
    }
}

class AgentTurnTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& cfg = AgentConfig::instance();
        cfg.llm = LLMConfig{};
        cfg.llm.backend = "openai";
        cfg.llm.base_url = server.base_url() + "/v1";
        cfg.llm.model = "test-model";
        cfg.llm.timeout_seconds = 10;
        cfg.agent = AgentSettings{};
        cfg.paths = PathsConfig{};
        cfg.base_dir = dir.str();
        // Memory blocks and background extractions are tested on their own.
        cfg.host_policy_flags = policy_no_local_memory;
        ASSERT_TRUE(agent.start([this](const AgentEvent& e) { background.add(e); }));
    }
    void TearDown() override { agent.shutdown(); }

    AgentResponse turn(const std::string& text, AgentChatOptions options = {}) {
        return agent.chat(text, options, [this](const AgentEvent& e) { events.add(e); });
    }
    std::vector<std::string> kinds() const {
        std::vector<std::string> out;
        for (const auto& e : events.events()) out.push_back(kind(e));
        return out;
    }
    nlohmann::json request(std::size_t i) const {
        return nlohmann::json::parse(server.requests().at(i).body);
    }

    test::ScriptedServer server;
    test::TempDir dir;
    test::EventLog<AgentEvent> events;
    test::EventLog<AgentEvent> background;
    Agent agent;
};

TEST_F(AgentTurnTest, PlainAnswerStreamsInOrderAndIsKept) {
    server.enqueue(answer_response({"Hel", "lo"}, {"think"}));
    AgentResponse r = turn("hi");
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_FALSE(r.cancelled);
    EXPECT_EQ(r.content, "Hello");
    EXPECT_EQ(r.reasoning, "think");
    EXPECT_EQ(kinds(), (std::vector<std::string>{"state:waiting", "state:thinking", "reasoning:think",
                                                 "state:generating", "content:Hel", "content:lo", "state:done",
                                                 "done:Hello", "state:idle"}));
    EXPECT_EQ(agent.state(), LLMState::idle);
    EXPECT_EQ(agent.last_llm_request_id(), "resp-test");

    // The request starts with a system message even when the prompt is empty.
    auto messages = request(0).at("messages");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["role"], "system");
    EXPECT_EQ(messages[0]["content"], "");
    EXPECT_EQ(messages[1]["content"], "hi");

    auto stored = agent.messages();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1].role, MessageRole::assistant);
    EXPECT_EQ(stored[1].content, "Hello");
    EXPECT_EQ(agent.user_turn_count(), 1);
    EXPECT_TRUE(has_usage(agent.session_usage()));
}

TEST_F(AgentTurnTest, StreamOptionsSilenceDeltasButNotStates) {
    server.enqueue(answer_response({"a"}, {"r"}));
    AgentChatOptions options;
    options.stream_content = false;
    options.stream_reasoning = false;
    ASSERT_TRUE(turn("x", options).success);
    EXPECT_EQ(kinds(), (std::vector<std::string>{"state:waiting", "state:thinking", "state:generating",
                                                 "state:done", "done:a", "state:idle"}));
}

TEST_F(AgentTurnTest, ParallelLibraryToolsRunConcurrentlyAndAnswerInCallOrder) {
    auto tool = std::make_shared<EchoTool>("echo", 150ms);
    agent.register_builtin_tool(tool);
    server.enqueue(tool_response({{"c1", "echo", R"({"n":1})"}, {"c2", "echo", R"({"n":2,"token":"s3cr3t"})"},
                                  {"c3", "echo", R"({"n":3})"}}));
    server.enqueue(answer_response({"done"}));

    const auto started = std::chrono::steady_clock::now();
    AgentResponse r = turn("go");
    const auto elapsed = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(tool->calls(), 3);
    EXPECT_GE(tool->peak(), 2);
    EXPECT_LT(elapsed, 420ms);  // three 150 ms calls did not run one after another

    // All starts precede all finishes; the finishes come in call order.
    EXPECT_EQ(kinds(), (std::vector<std::string>{"state:waiting", "state:tool_calling", "state:done",
                                                 "state:tool_calling", "started:echo",
                                                 "started:echo", "started:echo", "finished:echo", "finished:echo",
                                                 "finished:echo", "state:waiting", "state:generating",
                                                 "content:done", "state:done", "done:done", "state:idle"}));
    const auto all = events.events();
    EXPECT_EQ(all[5].tool_arguments, R"({"n":2,"token":"[redacted]"})");

    // The response shows redacted arguments; the conversation keeps them.
    ASSERT_EQ(r.tool_calls.size(), 3u);
    EXPECT_EQ(r.tool_calls[1].arguments, R"({"n":2,"token":"[redacted]"})");
    ASSERT_EQ(r.tool_results.size(), 3u);
    EXPECT_EQ(r.tool_results[2], R"({"echo":{"n":3},"success":true})");

    auto second = request(1).at("messages");
    ASSERT_EQ(second.size(), 6u);  // system, user, assistant, 3 tools
    EXPECT_EQ(second[2]["tool_calls"][1]["function"]["arguments"], R"({"n":2,"token":"s3cr3t"})");
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(second[3 + j]["role"], "tool");
        EXPECT_EQ(second[3 + j]["tool_call_id"], "c" + std::to_string(j + 1));
    }
    // The tool definitions were offered, after the built-in ones.
    EXPECT_EQ(request(0)["tools"][0]["function"]["name"], "model_management");
    EXPECT_EQ(request(0)["tools"][1]["function"]["name"], "skill_inspect_tool");
    EXPECT_EQ(request(0)["tools"][2]["function"]["name"], "echo");
}

TEST_F(AgentTurnTest, ParallelismIsBoundedByTheConfiguredLimit) {
    AgentConfig::instance().agent.max_parallel_tasks = 2;
    auto tool = std::make_shared<EchoTool>("echo", 60ms);
    agent.register_builtin_tool(tool);
    std::vector<ScriptedCall> calls;
    for (int i = 0; i < 6; ++i) calls.push_back({"c" + std::to_string(i), "echo", "{}"});
    server.enqueue(tool_response(calls));
    server.enqueue(answer_response({"ok"}));
    ASSERT_TRUE(turn("go").success);
    EXPECT_EQ(tool->calls(), 6);
    EXPECT_EQ(tool->peak(), 2);

    // A limit below 2 runs the calls one after the other.
    AgentConfig::instance().agent.max_parallel_tasks = 1;
    auto solo = std::make_shared<EchoTool>("solo", 20ms);
    agent.register_builtin_tool(solo);
    server.enqueue(tool_response({{"s1", "solo", "{}"}, {"s2", "solo", "{}"}, {"s3", "solo", "{}"}}));
    server.enqueue(answer_response({"ok"}));
    ASSERT_TRUE(turn("again").success);
    EXPECT_EQ(solo->peak(), 1);
}

TEST_F(AgentTurnTest, HostToolsRunSequentiallyAndTheHookCanReject) {
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
    std::vector<std::string> executed;
    std::mutex executed_mutex;
    auto make = [&](const std::string& name) {
        ToolSpec spec;
        spec.name = name;
        spec.description = "host tool " + name;
        spec.executor = [&, name](const nlohmann::json& args) -> nlohmann::json {
            const int now = ++running;
            peak = std::max(peak.load(), now);
            std::this_thread::sleep_for(30ms);
            {
                std::lock_guard<std::mutex> lock(executed_mutex);
                executed.push_back(name + ":" + args.dump());
            }
            --running;
            return {{"success", true}, {"value", 42}};
        };
        return spec;
    };
    ASSERT_TRUE(agent.register_host_tool(make("alpha")));
    ASSERT_TRUE(agent.register_host_tool(make("beta")));
    std::vector<std::string> asked;
    agent.set_tool_confirm_callback([&](const std::string& name, const std::string& args) {
        asked.push_back(name + ":" + args);
        return name != "beta";
    });
    server.enqueue(tool_response({{"a1", "alpha", R"({"password":"pw","x":1})"}, {"b1", "beta", "{}"}}));
    server.enqueue(answer_response({"sorry"}));

    AgentResponse r = turn("use both");
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(peak.load(), 1);
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0], R"(alpha:{"password":"pw","x":1})");  // the tool gets the real arguments
    EXPECT_EQ(asked, (std::vector<std::string>{R"(alpha:{"password":"[redacted]","x":1})", "beta:{}"}));
    ASSERT_EQ(r.tool_results.size(), 2u);
    EXPECT_EQ(r.tool_results[1], kToolRejectedResult);

    auto second = request(1).at("messages");
    EXPECT_EQ(second[4]["content"], std::string("⚠️ TOOL_FAILED: beta — user rejected this toolcall\n"
                                                 "你必须如实告诉用户本次操作失败，不得声称成功。\n") +
                                        kToolRejectedResult);
    auto rounds = agent.last_turn_records();
    ASSERT_EQ(rounds.size(), 2u);
    EXPECT_EQ(rounds[0].finish_reason, "user_rejected");
    ASSERT_EQ(rounds[0].tool_executions.size(), 2u);
    EXPECT_TRUE(rounds[0].tool_executions[0].success);
    EXPECT_FALSE(rounds[0].tool_executions[1].success);
    EXPECT_EQ(rounds[0].tool_executions[1].duration_ms, 0);

    auto finished = events.events();
    int failures = 0;
    for (const auto& e : finished) {
        if (e.type == AgentEventType::ToolCallFinished && !e.success) ++failures;
    }
    EXPECT_EQ(failures, 1);
}

TEST_F(AgentTurnTest, RoundLimitStopsTheLoop) {
    agent.register_builtin_tool(std::make_shared<EchoTool>("echo"));
    server.set_fallback(tool_response({{"c", "echo", "{}"}}));
    AgentChatOptions options;
    options.max_tool_rounds = 2;
    AgentResponse r = turn("loop", options);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error, "Tool call loop exceeded max_tool_rounds=2");
    EXPECT_EQ(server.request_count(), 2u);
    EXPECT_EQ(agent.state(), LLMState::error);
    EXPECT_EQ(agent.last_error(), r.error);
    auto k = kinds();
    ASSERT_GE(k.size(), 2u);
    EXPECT_EQ(k[k.size() - 2], "state:error");
    EXPECT_EQ(k.back(), "error:Tool call loop exceeded max_tool_rounds=2");
    auto rounds = agent.last_turn_records();
    ASSERT_EQ(rounds.size(), 3u);
    EXPECT_EQ(rounds[2].finish_reason, "max_tool_rounds");
    // A failed turn with output keeps its repaired messages, unmarked.
    auto stored = agent.messages();
    ASSERT_EQ(stored.size(), 5u);
    EXPECT_EQ(stored[3].content, "");
}

TEST_F(AgentTurnTest, RoundLimitSourcesAndExtendedRounds) {
    agent.register_builtin_tool(std::make_shared<EchoTool>("echo"));
    server.set_fallback(tool_response({{"c", "echo", "{}"}}));
    AgentConfig::instance().agent.max_tool_rounds = 3;
    EXPECT_EQ(turn("a").error, "Tool call loop exceeded max_tool_rounds=3");
    AgentChatOptions extended;
    extended.extended_tool_rounds = true;
    extended.max_tool_rounds = 1;
    server.enqueue(tool_response({{"c", "echo", "{}"}}));
    server.enqueue(tool_response({{"c", "echo", "{}"}}));
    server.enqueue(answer_response({"fine"}));
    EXPECT_TRUE(turn("b", extended).success);
}

TEST_F(AgentTurnTest, ModelFailureBeforeOutputRollsTheWholeTurnBack) {
    server.enqueue(answer_response({"first"}));
    ASSERT_TRUE(turn("one").success);
    server.enqueue(ScriptedResponse::json(R"({"error":{"message":"boom"}})", 500));
    testing::internal::CaptureStderr();
    AgentResponse r = turn("two");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("[VexaCore][INFO] 本轮无产出，已整段回滚（含入口 user 消息）。\n"), std::string::npos) << log;
    EXPECT_FALSE(r.success);
    EXPECT_FALSE(r.cancelled);
    EXPECT_EQ(r.error.rfind("LLM call failed: ", 0), 0u) << r.error;
    EXPECT_EQ(agent.state(), LLMState::error);
    EXPECT_EQ(agent.messages().size(), 2u);  // only the first turn remains
    EXPECT_EQ(agent.user_turn_count(), 1);
    auto k = kinds();
    EXPECT_EQ(k.back().rfind("error:LLM call failed: ", 0), 0u);

    // The next turn starts from a clean history.
    server.enqueue(answer_response({"third"}));
    ASSERT_TRUE(turn("three").success);
    auto messages = request(2).at("messages");
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[3]["content"], "three");
}

TEST_F(AgentTurnTest, RequestedToolsJoinAtTheNextRound) {
    ToolSpec first;
    first.name = "first";
    first.executor = [this](const nlohmann::json&) -> nlohmann::json {
        agent.request_tools({"second", "missing", ""});
        return {{"success", true}};
    };
    ToolSpec second;
    second.name = "second";
    second.executor = [](const nlohmann::json&) -> nlohmann::json { return {{"success", true}}; };
    ASSERT_TRUE(agent.register_host_tool(first));
    ASSERT_TRUE(agent.register_host_tool(second));
    server.enqueue(tool_response({{"f", "first", "{}"}}));
    server.enqueue(answer_response({"ok"}));
    AgentChatOptions options;
    options.tools = {"first"};
    options.include_history_tools = false;
    ASSERT_TRUE(turn("x", options).success);
    auto names = [](const nlohmann::json& body) {
        std::vector<std::string> out;
        if (body.contains("tools")) {
            for (const auto& t : body["tools"]) out.push_back(t["function"]["name"]);
        }
        return out;
    };
    EXPECT_EQ(names(request(0)), (std::vector<std::string>{"first"}));
    EXPECT_EQ(names(request(1)), (std::vector<std::string>{"first", "second"}));
    // The next turn rebuilds the list.
    server.enqueue(answer_response({"ok"}));
    ASSERT_TRUE(turn("y", options).success);
    EXPECT_EQ(names(request(2)), (std::vector<std::string>{"first"}));
}

TEST_F(AgentTurnTest, TurnToolChoice) {
    auto host = [](const std::string& name, std::vector<std::string> keywords = {}) {
        ToolSpec spec;
        spec.name = name;
        spec.keywords = std::move(keywords);
        spec.executor = [](const nlohmann::json&) -> nlohmann::json { return {{"success", true}}; };
        return spec;
    };
    agent.register_builtin_tool(std::make_shared<EchoTool>("lib"));
    ASSERT_TRUE(agent.register_host_tool(host("a")));
    ASSERT_TRUE(agent.register_host_tool(host("weather", {"Forecast"})));
    ASSERT_TRUE(agent.register_host_tool(host("b")));

    // Default: library tools (the built-in ones first), then host tools
    // without keywords, then matches.
    server.enqueue(answer_response({"x"}));
    ASSERT_TRUE(turn("what is the FORECAST").success);
    EXPECT_EQ(agent.active_tool_names(), (std::vector<std::string>{"model_management", "skill_inspect_tool", "lib", "a", "b", "weather"}));
    server.enqueue(answer_response({"x"}));
    ASSERT_TRUE(turn("hello").success);
    EXPECT_EQ(agent.active_tool_names(), (std::vector<std::string>{"model_management", "skill_inspect_tool", "lib", "a", "b"}));

    // An explicit list: registered names once, in order; history tools appended.
    server.enqueue(tool_response({{"h", "b", "{}"}}));
    server.enqueue(answer_response({"x"}));
    ASSERT_TRUE(turn("call b").success);
    AgentChatOptions options;
    options.tools = {"a", "missing", "a"};
    options.include_history_tools = false;
    server.enqueue(answer_response({"x"}));
    ASSERT_TRUE(turn("q", options).success);
    EXPECT_EQ(agent.active_tool_names(), (std::vector<std::string>{"a"}));
    options.include_history_tools = true;
    server.enqueue(answer_response({"x"}));
    ASSERT_TRUE(turn("q", options).success);
    EXPECT_EQ(agent.active_tool_names(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(AgentTurnTest, ImagesAreSentOnceThenStripped) {
    AgentChatOptions options;
    options.images = {{"https://example.com/cat.png", "low"}};
    server.enqueue(answer_response({"a cat"}));
    ASSERT_TRUE(turn("what is it", options).success);
    auto content = request(0)["messages"][1]["content"];
    ASSERT_TRUE(content.is_array());
    EXPECT_EQ(content[1]["image_url"]["url"], "https://example.com/cat.png");
    EXPECT_EQ(content[1]["image_url"]["detail"], "low");
    for (const auto& m : agent.messages()) EXPECT_TRUE(m.images.empty());

    server.enqueue(answer_response({"ok"}));
    ASSERT_TRUE(turn("and now").success);
    EXPECT_EQ(request(1)["messages"][1]["content"], "what is it");
}

TEST_F(AgentTurnTest, SystemPromptOrderAndTurnPromptLifetime) {
    agent.add_system_prompt("added-1");
    agent.add_system_prompt("added");
    AgentChatOptions options;
    options.turn_system_prompt = "turn";
    agent.register_builtin_tool(std::make_shared<EchoTool>("echo"));
    server.enqueue(tool_response({{"c", "echo", "{}"}}));
    server.enqueue(answer_response({"x"}));
    ASSERT_TRUE(turn("a", options).success);
    EXPECT_EQ(request(0)["messages"][0]["content"], "added\n\nturn\n\n");
    EXPECT_EQ(request(1)["messages"][0]["content"], "added\n\nturn\n\n");
    EXPECT_EQ(agent.build_system_prompt(), "added\n\n");

    agent.set_system_prompt("host");
    EXPECT_EQ(agent.build_system_prompt(), "host\n\n");
    server.enqueue(answer_response({"x"}));
    ASSERT_TRUE(turn("b", options).success);
    EXPECT_EQ(request(2)["messages"][0]["content"], "host\n\nturn\n\n");
}

TEST_F(AgentTurnTest, LargeNonAsciiResultsAreBoundedAtCharacterBoundaries) {
    ToolSpec spec;
    spec.name = "big";
    spec.executor = [](const nlohmann::json&) -> nlohmann::json {
        std::string text;
        while (text.size() < 40000) text += "数据";
        return {{"success", true}, {"text", text}};
    };
    ASSERT_TRUE(agent.register_host_tool(spec));
    server.enqueue(tool_response({{"c", "big", "{}"}}));
    server.enqueue(answer_response({"x"}));
    AgentResponse r = turn("go");
    ASSERT_TRUE(r.success) << r.error;
    // The second request parsed as JSON, so the tool message is valid UTF-8.
    const std::string content = request(1)["messages"][3]["content"];
    EXPECT_LE(content.size(), 16384u + 40);
    EXPECT_NE(content.find("\n...(truncated "), std::string::npos);
    EXPECT_GT(r.tool_results[0].size(), 40000u);
}

TEST_F(AgentTurnTest, ConversationInjection) {
    EXPECT_EQ(agent.append_conversation(R"([{"role":"user","content":"u1"},{"role":"assistant","content":"a1"}])"),
              2);
    EXPECT_EQ(agent.user_turn_count(), 1);
    EXPECT_EQ(agent.replace_conversation(R"({"messages":[{"role":"system","content":"s"},)"
                                         R"({"role":"user","content":"u"},{"role":"assistant","content":"a"},)"
                                         R"({"role":"user","content":"u2"},{"role":"assistant","content":"a2"}]})"),
              4);
    EXPECT_EQ(agent.user_turn_count(), 2);
    EXPECT_EQ(agent.append_conversation("{not json"), -1);
    EXPECT_EQ(agent.last_error(),
              "Failed to parse conversation JSON from host: expected a messages array or an object with a "
              "\"messages\" array.");
    EXPECT_EQ(agent.message_count(), 4u);
    auto notices = background.events();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].text, "Appended 2 conversation message(s) from host memory.");
    EXPECT_EQ(notices[1].text, "Injected 4 conversation message(s) from host memory.");

    // The injected history goes to the model before the new message.
    server.enqueue(answer_response({"x"}));
    ASSERT_TRUE(turn("next").success);
    EXPECT_EQ(request(0)["messages"].size(), 6u);
}

TEST_F(AgentTurnTest, TurnOnAStoppedAgentFails) {
    agent.shutdown();
    AgentResponse r = turn("hi");
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error, "Agent is not initialized.");
    EXPECT_EQ(kinds(), (std::vector<std::string>{"error:Agent is not initialized."}));
    EXPECT_EQ(server.request_count(), 0u);
}

TEST_F(AgentTurnTest, SetStateEmitsOnlyChanges) {
    test::EventLog<AgentEvent> log;
    auto cb = [&](const AgentEvent& e) { log.add(e); };
    agent.set_state(LLMState::idle, cb);
    agent.set_state(LLMState::waiting, cb);
    agent.set_state(LLMState::waiting, cb);
    auto all = log.events();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].state, LLMState::waiting);
    EXPECT_EQ(all[0].text, "waiting");
}

// A backend that only reports load progress while it is configured, the way
// the local backend does.
class ProgressBackend : public ILLMBackend {
public:
    bool configure(const LLMConfig&, std::string&, LLMClient* client) override {
        client->report_progress("model.gguf", 0);
        client->report_progress("reading", 50);
        client->report_progress("本地模型加载完成", 100);
        client->report_progress("加载失败：文件损坏", 100, false);
        // The flag decides, not the words.
        client->report_progress("model file unreadable", 100, false);
        return true;
    }
    StreamResult chat_completion_stream(const std::vector<ChatMessage>&, const std::vector<ToolDefinition>&,
                                        const StreamCallbacks&) override {
        return {};
    }
    CompletionResult chat_completion_result(const std::vector<ChatMessage>&, const CompletionOptions&) override {
        return {};
    }
    void cancel() override {}
};

TEST(AgentStartTest, LoadProgressBecomesModelLoadingEvents) {
    test::EventLog<AgentEvent> log;
    Agent agent([](const std::string&, std::string&) -> std::unique_ptr<ILLMBackend> {
        return std::make_unique<ProgressBackend>();
    });
    ASSERT_TRUE(agent.start([&](const AgentEvent& e) { log.add(e); }));
    auto all = log.events();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0].text, "开始加载本地模型：model.gguf");
    EXPECT_EQ(all[1].text, "本地模型加载中 50%：reading");
    EXPECT_EQ(all[2].text, "本地模型加载完成");
    EXPECT_EQ(all[3].text, "加载失败：文件损坏");
    EXPECT_EQ(all[4].text, "model file unreadable");
    EXPECT_TRUE(all[0].success && all[1].success && all[2].success);
    EXPECT_FALSE(all[3].success);
    EXPECT_FALSE(all[4].success);
    for (const auto& e : all) EXPECT_EQ(e.type, AgentEventType::ModelLoading);
    agent.shutdown();
}

TEST(AgentStartTest, UnusableBackendIsReportedButStartSucceeds) {
    auto& cfg = AgentConfig::instance();
    cfg.llm = LLMConfig{};
    cfg.llm.backend = "no-such-backend";
    test::EventLog<AgentEvent> log;
    Agent agent;
    ASSERT_TRUE(agent.start([&](const AgentEvent& e) { log.add(e); }));
    EXPECT_EQ(agent.last_error(), "Unsupported llm.backend: no-such-backend");
    auto all = log.events();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].type, AgentEventType::Error);
    EXPECT_FALSE(all[0].success);
    // Turns then fail at the model call and leave nothing behind.
    AgentResponse r = agent.chat("hi", {}, {});
    EXPECT_FALSE(r.success);
    EXPECT_EQ(agent.message_count(), 0u);
    agent.shutdown();
}

// Answers every call with "ok" at once; registered under a local backend name.
class LocalLikeBackend : public ILLMBackend {
public:
    bool configure(const LLMConfig&, std::string&, LLMClient*) override { return true; }
    StreamResult chat_completion_stream(const std::vector<ChatMessage>& messages, const std::vector<ToolDefinition>&,
                                        const StreamCallbacks& callbacks) override {
        last_images = messages.back().images.size();
        if (callbacks.on_state) callbacks.on_state(LLMState::generating);
        if (callbacks.on_content) callbacks.on_content("ok");
        StreamResult result;
        result.ok = true;
        result.message.content = "ok";
        return result;
    }
    CompletionResult chat_completion_result(const std::vector<ChatMessage>&, const CompletionOptions&) override {
        return {true, {}, "ok", {}};
    }
    void cancel() override {}
    static inline std::size_t last_images = 0;
};

TEST(AgentImagePolicyTest, LocalBackendIgnoresImagesWithANoticeAndOrchestrationFallsBack) {
    auto& cfg = AgentConfig::instance();
    cfg.llm = LLMConfig{};
    cfg.llm.backend = "local";
    cfg.agent = AgentSettings{};
    cfg.host_policy_flags = policy_no_persistence;
    Agent agent([](const std::string&, std::string&) -> std::unique_ptr<ILLMBackend> {
        return std::make_unique<LocalLikeBackend>();
    });
    ASSERT_TRUE(agent.start({}));
    test::EventLog<AgentEvent> log;
    AgentChatOptions options;
    options.images = {{"https://example.com/a.png", "high"}, {"https://example.com/b.png", "low"}};
    options.orchestration = OrchestrationMode::On;
    testing::internal::CaptureStderr();
    AgentResponse r = agent.chat("describe", options, [&](const AgentEvent& e) { log.add(e); });
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_NE(err.find("[VexaCore][WARNING] 本地 backend 无视觉能力，已丢弃本轮 2 张图片，仅按文本继续。"), std::string::npos);
    EXPECT_NE(err.find("[VexaCore][INFO] 图片输入禁用编排，回落传统 ReAct。"), std::string::npos);
    auto all = log.events();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0].type, AgentEventType::Notice);
    EXPECT_EQ(all[0].text, "本地模型不支持图片输入，已忽略本轮 2 张图片，仅按文本继续。");
    // The turn goes on with the images on the stored message; the backend decides.
    EXPECT_EQ(LocalLikeBackend::last_images, 2u);
    for (const auto& m : agent.messages()) EXPECT_TRUE(m.images.empty());
    agent.shutdown();
}

TEST(CompletedTurns, CountsRunsOfUserMessagesAnsweredByTheAssistant) {
    auto msg = [](MessageRole role) {
        ChatMessage m;
        m.role = role;
        return m;
    };
    using R = MessageRole;
    EXPECT_EQ(count_completed_turns({}), 0);
    EXPECT_EQ(count_completed_turns({msg(R::user), msg(R::user), msg(R::assistant)}), 1);
    EXPECT_EQ(count_completed_turns({msg(R::assistant), msg(R::user)}), 0);
    EXPECT_EQ(count_completed_turns({msg(R::user), msg(R::assistant), msg(R::tool), msg(R::user), msg(R::tool),
                                     msg(R::assistant), msg(R::user)}),
              2);
}

}  // namespace
}  // namespace vexa
