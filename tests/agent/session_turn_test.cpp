// Whole turns through both public interfaces, the C++ facade and the flat C
// functions, against a scripted chat-completions server: every scenario runs
// once per interface.

#include "vexa_core/core_session.hpp"
#include "vexa_core/vexa_core.h"

#include "agent_test_util.hpp"
#include "public_driver.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <thread>

namespace vexa {
namespace {

using test::answer_response;
using test::ScriptedResponse;
using test::tool_response;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::CDriver;
using test::CppDriver;
using test::describe;
using test::Driver;
using test::Outcome;
using test::PublicEvent;
using test::ToolFn;
using test::TurnOptions;

class SessionTurnTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        test::write_agent_config(dir.path(), server.base_url() + "/v1");
        if (GetParam() == "cpp") {
            driver = std::make_unique<CppDriver>();
        } else {
            driver = std::make_unique<CDriver>();
        }
        ASSERT_TRUE(driver->initialize(dir.str()));
        ASSERT_EQ(driver->last_error(), "");
    }

    std::vector<std::string> kinds() const {
        std::vector<std::string> out;
        for (const auto& e : driver->log.events()) out.push_back(describe(e));
        return out;
    }
    std::string streamed_content() const {
        std::string out;
        for (const auto& e : driver->log.events()) {
            if (e.type == 3) out += e.text;
        }
        return out;
    }
    nlohmann::json request(std::size_t i) const { return nlohmann::json::parse(server.requests().at(i).body); }
    CppDriver* cpp() { return GetParam() == "cpp" ? static_cast<CppDriver*>(driver.get()) : nullptr; }

    test::ScriptedServer server;
    test::TempDir dir;
    std::unique_ptr<Driver> driver;
};

TEST_P(SessionTurnTest, PlainAnswerEventsInOrder) {
    server.enqueue(answer_response({"Hi ", "there"}));
    Outcome r = driver->send("hello");
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(kinds(), (std::vector<std::string>{"state:waiting", "state:generating", "content:Hi ",
                                                 "content:there", "state:done", "done:Hi there", "state:idle"}));
    EXPECT_EQ(driver->current_state(), "idle");
    EXPECT_EQ(driver->last_error(), "");
    auto messages = request(0)["messages"];
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["role"], "system");
    EXPECT_EQ(request(0)["model"], "test-model");
    if (auto* c = cpp()) {
        EXPECT_EQ(c->last_result.content, "Hi there");
        EXPECT_EQ(c->session().last_llm_request_id(), "resp-test");
    }
}

TEST_P(SessionTurnTest, ToolRoundTripWithTwoCallsInOneAnswer) {
    std::vector<std::string> seen;
    ASSERT_TRUE(driver->register_tool("add", [&](const std::string& args) {
        seen.push_back("add " + args);
        return std::string(R"({"success":true,"sum":5})");
    }));
    ASSERT_TRUE(driver->register_tool("clock", [&](const std::string& args) {
        seen.push_back("clock " + args);
        return std::string("twelve o'clock");  // plain text counts as success
    }));
    server.enqueue(tool_response({{"c1", "add", R"({"x":2,"api_key":"k"})"}, {"c2", "clock", ""}}));
    server.enqueue(answer_response({"5 at noon"}));
    Outcome r = driver->send("sum and time");
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(seen, (std::vector<std::string>{R"(add {"api_key":"k","x":2})", "clock {}"}));
    EXPECT_EQ(kinds(), (std::vector<std::string>{"state:waiting", "state:tool_calling", "state:done",
                                                 "state:tool_calling", "started:add", "started:clock",
                                                 "finished:add", "finished:clock", "state:waiting",
                                                 "state:generating", "content:5 at noon", "state:done",
                                                 "done:5 at noon", "state:idle"}));
    auto events = driver->log.events();
    EXPECT_EQ(events[4].tool_arguments, R"({"api_key":"[redacted]","x":2})");
    EXPECT_EQ(events[7].tool_result, R"({"result":"twelve o'clock","success":true})");

    auto messages = request(1)["messages"];
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[3]["tool_call_id"], "c1");
    EXPECT_EQ(messages[3]["content"], R"({"success":true,"sum":5})");
    EXPECT_EQ(messages[4]["content"], R"({"result":"twelve o'clock","success":true})");
    if (auto* c = cpp()) {
        ASSERT_EQ(c->last_result.tool_calls.size(), 2u);
        EXPECT_EQ(c->last_result.tool_calls[0], R"({"arguments":{"api_key":"[redacted]","x":2},"id":"c1","name":"add"})");
        EXPECT_EQ(c->last_result.tool_results,
                  (std::vector<std::string>{R"({"success":true,"sum":5})", R"({"result":"twelve o'clock","success":true})"}));
    }
}

TEST_P(SessionTurnTest, HostToolsConfirmedOneRejected) {
    std::atomic<int> runs{0};
    ToolFn tool = [&](const std::string&) {
        ++runs;
        return std::string(R"({"success":true})");
    };
    ASSERT_TRUE(driver->register_tool("keep", tool));
    ASSERT_TRUE(driver->register_tool("drop", tool));
    std::vector<std::string> asked;
    driver->set_confirm([&](const std::string& name, const std::string&) {
        asked.push_back(name);
        return name == "keep";
    });
    server.enqueue(tool_response({{"k", "keep", "{}"}, {"d", "drop", "{}"}}));
    server.enqueue(answer_response({"one refused"}));
    ASSERT_TRUE(driver->send("both").success);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(asked, (std::vector<std::string>{"keep", "drop"}));
    auto k = kinds();
    EXPECT_NE(std::find(k.begin(), k.end(), "failed:drop"), k.end());
    const std::string refused = request(1)["messages"][4]["content"];
    EXPECT_EQ(refused.rfind("⚠️ TOOL_FAILED: drop — user rejected this toolcall\n", 0), 0u);

    // Removing the hook runs both.
    driver->set_confirm(nullptr);
    server.enqueue(tool_response({{"k", "keep", "{}"}, {"d", "drop", "{}"}}));
    server.enqueue(answer_response({"ok"}));
    ASSERT_TRUE(driver->send("again").success);
    EXPECT_EQ(runs.load(), 3);
}

TEST_P(SessionTurnTest, RoundLimitOfTwo) {
    ASSERT_TRUE(driver->register_tool("again", [](const std::string&) { return std::string("{}"); }));
    server.set_fallback(tool_response({{"a", "again", "{}"}}));
    TurnOptions options;
    options.max_tool_rounds = 2;
    Outcome r = driver->send("loop", options);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error, "Tool call loop exceeded max_tool_rounds=2");
    EXPECT_EQ(driver->last_error(), "Tool call loop exceeded max_tool_rounds=2");
    EXPECT_EQ(server.request_count(), 2u);
    EXPECT_EQ(driver->current_state(), "error");
    EXPECT_EQ(kinds().back(), "error:Tool call loop exceeded max_tool_rounds=2");
}

TEST_P(SessionTurnTest, ModelFailureBeforeOutputRollsTheTurnBack) {
    server.enqueue(ScriptedResponse::json(R"({"error":{"message":"overloaded"}})", 503));
    Outcome r = driver->send("first");
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error.rfind("LLM call failed: ", 0), 0u) << r.error;
    EXPECT_EQ(driver->current_state(), "error");
    server.enqueue(answer_response({"fine"}));
    ASSERT_TRUE(driver->send("second").success);
    auto messages = request(1)["messages"];
    ASSERT_EQ(messages.size(), 2u);  // the failed turn left nothing behind
    EXPECT_EQ(messages[1]["content"], "second");
}

TEST_P(SessionTurnTest, CancelMidStreamFromAnotherThread) {
    server.enqueue(test::stalled_response("Part"));
    Clock::time_point cancelled_at;
    std::thread canceller([&] {
        ASSERT_TRUE(driver->log.wait_for([](const PublicEvent& e) { return e.type == 3; }));
        cancelled_at = Clock::now();
        driver->cancel();
        EXPECT_TRUE(driver->is_cancel_requested());
    });
    Outcome r = driver->send("tell me");
    const auto returned_at = Clock::now();
    canceller.join();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(returned_at - cancelled_at).count();
    std::printf("[ measured ] %s: turn returned %lld ms after cancel\n", GetParam().c_str(),
                static_cast<long long>(ms));
    EXPECT_LT(ms, 1000);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error, "Generation cancelled.");
    EXPECT_EQ(driver->current_state(), "idle");
    EXPECT_EQ(kinds().back(), "error:Generation cancelled.");
    if (auto* c = cpp()) {
        EXPECT_TRUE(c->last_result.cancelled);
    }

    // The partial answer stays, marked as interrupted.
    ASSERT_TRUE(driver->save_session());
    std::ifstream in(dir.path() / "data" / "conversations" / (driver->session_id() + ".json"));
    auto saved = nlohmann::json::parse(in);
    const auto& messages = saved["messages"];
    EXPECT_EQ(messages.back()["role"], "assistant");
    EXPECT_EQ(messages.back()["content"], "Part\n[已被用户中断]");
}

TEST_P(SessionTurnTest, CancelWhileAToolRuns) {
    std::promise<void> started;
    std::atomic<int> runs{0};
    ASSERT_TRUE(driver->register_tool("wait", [&](const std::string&) {
        if (runs++ == 0) started.set_value();
        const auto deadline = Clock::now() + 5s;
        while (!driver->is_cancel_requested() && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
        return std::string(R"({"success":true})");
    }));
    server.enqueue(tool_response({{"w1", "wait", "{}"}, {"w2", "wait", "{}"}}));
    std::thread canceller([&] {
        started.get_future().wait();
        driver->cancel();
    });
    Outcome r = driver->send("wait twice");
    canceller.join();
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error, "Generation cancelled.");
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(server.request_count(), 1u);
    auto events = driver->log.events();
    std::vector<std::string> results;
    for (const auto& e : events) {
        if (e.type == 6) results.push_back(e.tool_result);
    }
    EXPECT_EQ(results, (std::vector<std::string>{R"({"success":true})", R"({"success":false,"error":"cancelled"})"}));
}

TEST_P(SessionTurnTest, RequestToolsFromInsideAnExecutor) {
    ASSERT_TRUE(driver->register_tool("opener", [&](const std::string&) {
        EXPECT_TRUE(driver->request_tools({"extra"}));
        return std::string(R"({"success":true})");
    }));
    ASSERT_TRUE(driver->register_tool("extra", [](const std::string&) { return std::string("{}"); }));
    server.enqueue(tool_response({{"o", "opener", "{}"}}));
    server.enqueue(answer_response({"done"}));
    TurnOptions options;
    options.tools = {"opener"};
    options.only_listed = true;
    ASSERT_TRUE(driver->send("open", options).success);
    auto names = [](const nlohmann::json& body) {
        std::vector<std::string> out;
        for (const auto& t : body.value("tools", nlohmann::json::array())) out.push_back(t["function"]["name"]);
        return out;
    };
    EXPECT_EQ(names(request(0)), (std::vector<std::string>{"opener"}));
    EXPECT_EQ(names(request(1)), (std::vector<std::string>{"opener", "extra"}));
}

TEST_P(SessionTurnTest, ImagesValidatedSentThenStripped) {
    TurnOptions bad;
    bad.images = {{"http://example.com/a.png", ""}};
    Outcome r = driver->send("look", bad);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error, "image url must be an https absolute url.");
    EXPECT_EQ(driver->log.events().size(), 0u);

    TurnOptions ten;
    for (int i = 0; i < 10; ++i) ten.images.push_back({"https://example.com/" + std::to_string(i) + ".png", ""});
    r = driver->send("look", ten);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error, GetParam() == "cpp" ? "chat images count exceeds limit." : "images_json count exceeds limit.");
    EXPECT_EQ(server.request_count(), 0u);

    TurnOptions good;
    good.images = {{"  https://example.com/cat.png ", "AUTO"}, {"https://example.com/dog.png", ""}};
    server.enqueue(answer_response({"two pets"}));
    ASSERT_TRUE(driver->send("what are these", good).success);
    auto content = request(0)["messages"][1]["content"];
    ASSERT_TRUE(content.is_array());
    ASSERT_EQ(content.size(), 3u);
    EXPECT_EQ(content[1]["image_url"]["url"], "https://example.com/cat.png");
    EXPECT_EQ(content[1]["image_url"]["detail"], "auto");
    EXPECT_EQ(content[2]["image_url"]["detail"], "high");

    server.enqueue(answer_response({"yes"}));
    ASSERT_TRUE(driver->send("sure?").success);
    EXPECT_EQ(request(1)["messages"][1]["content"], "what are these");
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, SessionTurnTest, ::testing::Values("cpp", "c"),
                         [](const auto& info) { return info.param; });

TEST(SessionStoreTest, SaveListNewLoadAndPolicy) {
    test::ScriptedServer server;
    test::TempDir dir;
    test::write_agent_config(dir.path(), server.base_url() + "/v1");
    vexa_core::CoreSession session;
    vexa_core::InitializeOptions init;
    init.base_dir = dir.str();
    ASSERT_TRUE(session.initialize(init));
    server.enqueue(answer_response({"first answer"}));
    ASSERT_TRUE(session.send_text_stream("first question").success);
    const std::string first = session.current_session_id();
    ASSERT_TRUE(session.new_session());  // autosaves the first session
    EXPECT_NE(session.current_session_id(), first);
    EXPECT_EQ(session.list_sessions(), (std::vector<std::string>{first}));
    EXPECT_TRUE(session.load_session(first));
    EXPECT_EQ(session.current_session_id(), first);
    server.enqueue(answer_response({"second answer"}));
    ASSERT_TRUE(session.send_text_stream("second question").success);
    auto messages = nlohmann::json::parse(server.requests().at(1).body)["messages"];
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[2]["content"], "first answer");
    EXPECT_FALSE(session.load_session("no-such-session"));
    EXPECT_EQ(session.last_error(), "Failed to load session: no-such-session (the file cannot be read)");
    EXPECT_EQ(session.set_conversation_from_memory("[1"), -1);
    EXPECT_EQ(session.last_error(),
              "Failed to parse conversation JSON from host: expected a messages array or an object with a "
              "\"messages\" array.");
    EXPECT_EQ(session.add_conversation_from_memory(R"([{"role":"user","content":"u"}])"), 1);

    // The same through the commands.
    EXPECT_EQ(session.execute_command("  //SAVE ", "").message, "Conversation saved. Session: " + first);
    EXPECT_EQ(session.execute_command("/nope", "").message, "Unknown command: /nope");
    EXPECT_EQ(session.last_error(), "Unknown command: /nope");
    EXPECT_TRUE(session.execute_command("/exit", "").should_exit);

    // With persistence off nothing is listed, saved or loaded.
    init.host_policy_flags = vexa_core::policy_no_persistence;
    ASSERT_TRUE(session.initialize(init));
    EXPECT_TRUE(session.list_sessions().empty());
    EXPECT_FALSE(session.save_session());
    EXPECT_EQ(session.last_error(), "Conversation persistence is disabled by host policy.");
    EXPECT_FALSE(session.load_session(first));
    EXPECT_EQ(session.execute_command("/load", "").message, "No saved sessions found.");
}

TEST(SessionReportsTest, AccessorsAndUnavailableComponents) {
    test::ScriptedServer server;
    test::TempDir dir;
    test::write_agent_config(dir.path(), server.base_url() + "/v1");
    vexa_core::CoreSession session;
    vexa_core::InitializeOptions init;
    init.base_dir = dir.str();
    init.host_policy_flags = 0x08;  // prompts without the memory blocks
    ASSERT_TRUE(session.initialize(init));
    EXPECT_EQ(session.agent_name(), "Vexa");
    EXPECT_EQ(session.current_state(), "idle");
    EXPECT_EQ(session.current_model(), "test-model");
    EXPECT_EQ(session.current_session_id().size(), 36u);
    session.add_system_prompt("extra rules");
    EXPECT_EQ(session.get_system_prompt(), "extra rules\n\n");
    session.set_system_prompt("host prompt");
    EXPECT_EQ(session.get_system_prompt(), "host prompt\n\n");
    const std::string config = session.config_text();
    EXPECT_EQ(config.rfind("Current Configuration:\n  Backend: openai\n  Model: test-model\n", 0), 0u) << config;
    EXPECT_NE(config.find("  Temperature: 0\n"), std::string::npos);
    EXPECT_NE(config.find("  Max Tool Rounds: 0 (default 16)\n"), std::string::npos);
    EXPECT_EQ(session.status_text().rfind("Agent Status:\n  Session ID: " + session.current_session_id() + "\n", 0), 0u);

    vexa_core::ToolParameterSpec spec;
    spec.name = "t";
    EXPECT_TRUE(session.register_tool(spec, [](const std::string&) { return std::string("{}"); }));
    EXPECT_EQ(session.list_registered_tools(), (std::vector<std::string>{"t"}));
    spec.name = "";
    EXPECT_FALSE(session.register_tool(spec, {}));
    EXPECT_EQ(session.last_error(), "Failed to register tool:  (the tool name is empty)");
    EXPECT_TRUE(session.unregister_tool("t"));
    EXPECT_FALSE(session.unregister_tool("model_management"));

    EXPECT_EQ(nlohmann::json::parse(session.local_models_json())["count"], 0);
    EXPECT_FALSE(session.set_host_llm_context({}));
    EXPECT_EQ(session.last_error(), "Current LLM backend is not host.");
}

// ---- threads -------------------------------------------------------------------

TEST(SessionThreadTest, StatusTextWaitsForTheRunningTurn) {
    test::ScriptedServer server;
    test::TempDir dir;
    test::write_agent_config(dir.path(), server.base_url() + "/v1");
    vexa_core::CoreSession session;
    vexa_core::InitializeOptions init;
    init.base_dir = dir.str();
    ASSERT_TRUE(session.initialize(init));

    // The answer comes 300 ms after the request.
    ScriptedResponse slow = answer_response({"late"});
    slow.delay_before_headers = 300ms;
    server.enqueue(slow);
    std::promise<void> waiting;
    std::atomic<bool> signalled{false};
    std::atomic<Clock::rep> last_event{0};
    std::thread turn([&] {
        session.send_text_stream("hi", {}, [&](const vexa_core::AgentEvent& e) {
            // Events run while the turn holds the session lock.
            last_event = Clock::now().time_since_epoch().count();
            if (e.type == vexa_core::AgentEventType::StateChanged && !signalled.exchange(true)) waiting.set_value();
        });
    });
    waiting.get_future().wait();
    const std::string status = session.status_text();
    const auto status_end = Clock::now();
    turn.join();
    EXPECT_GE(status_end.time_since_epoch().count(), last_event.load());
    EXPECT_NE(status.find("  Messages: 2\n"), std::string::npos) << status;
    EXPECT_NE(status.find("  State: idle\n"), std::string::npos) << status;
    // The lock-free calls never waited.
    EXPECT_FALSE(session.is_cancel_requested());
}

}  // namespace
}  // namespace vexa
