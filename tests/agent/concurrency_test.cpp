// Threads a host really uses against the public interfaces: cancel storms,
// the calls the headers allow from inside every kind of callback, shutdown and
// destroy from another thread during a turn, and two handles at once. Run
// under ThreadSanitizer in CI.

#include "vexa_core/core_session.hpp"
#include "vexa_core/vexa_core.h"

#include "agent_test_util.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

using test::answer_response;
using test::content_chunk;
using test::delta_chunk;
using test::ScriptedResponse;
using test::tool_response;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void set_timeout(const std::filesystem::path& base, int seconds) {
    nlohmann::json config;
    std::ifstream(base / "config" / "agent_config.json") >> config;
    config["llm"]["timeout_seconds"] = seconds;
    std::ofstream(base / "config" / "agent_config.json", std::ios::binary) << config.dump(4);
}

std::string oneshot_answer(const std::string& text) {
    return R"({"id":"o1","choices":[{"index":0,"message":{"role":"assistant","content":")" + text +
           R"("},"finish_reason":"stop"}]})";
}

// A streamed answer whose pieces arrive slowly, so cancels land mid-stream.
ScriptedResponse slow_answer() {
    std::vector<std::string> chunks;
    for (int i = 0; i < 6; ++i) chunks.push_back(content_chunk("piece "));
    chunks.push_back(delta_chunk(nlohmann::json::object(), "stop"));
    ScriptedResponse r = ScriptedResponse::sse("");
    for (const auto& c : chunks) r.chunks.push_back({"data: " + c + "\n\n", 3ms});
    r.chunks.push_back({"data: [DONE]\n\n", 0ms});
    return r;
}

class ConcurrencyTest : public ::testing::Test {
protected:
    void SetUp() override { test::write_agent_config(dir.path(), server.base_url() + "/v1"); }
    void initialize(vexa_core::CoreSession& session) {
        vexa_core::InitializeOptions options;
        options.base_dir = dir.str();
        ASSERT_TRUE(session.initialize(options));
    }

    test::ScriptedServer server;
    test::TempDir dir;
};

TEST_F(ConcurrencyTest, CancelStormDuringStreamingAndTools) {
    vexa_core::CoreSession session;
    initialize(session);
    vexa_core::ToolParameterSpec spec;
    spec.name = "work";
    ASSERT_TRUE(session.register_tool(spec, [](const std::string&) {
        std::this_thread::sleep_for(2ms);
        return std::string(R"({"success":true})");
    }));
    // Every request gets something sensible whatever the interleaving.
    server.set_fallback(slow_answer());
    for (int i = 0; i < 12; ++i) {
        server.enqueue(tool_response({{"a" + std::to_string(i), "work", "{}"}, {"b" + std::to_string(i), "work", "{}"}}));
        server.enqueue(slow_answer());
    }
    std::atomic<bool> running{true};
    std::thread storm([&] {
        std::mt19937 random(7);
        while (running.load()) {
            session.cancel();
            (void)session.is_cancel_requested();
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
        }
    });
    int finished = 0;
    for (int i = 0; i < 12; ++i) {
        const vexa_core::ChatResult r = session.send_text_stream("turn " + std::to_string(i), {}, [](const auto&) {});
        EXPECT_TRUE(r.success || r.cancelled || !r.error.empty());
        ++finished;
    }
    running = false;
    storm.join();
    EXPECT_EQ(finished, 12);
    EXPECT_EQ(session.current_state(), "idle");
}

TEST_F(ConcurrencyTest, AllowedCallsFromEveryKindOfCallback) {
    vexa_core::CoreSession session;
    initialize(session);
    // Request order is fixed by the turn: its first stream, then one one-shot
    // from each callback (tool-started event, confirmation, executor), then
    // the turn's second stream.
    server.enqueue(tool_response({{"c1", "probe", "{}"}}));
    server.enqueue(ScriptedResponse::json(oneshot_answer("from event")));
    server.enqueue(ScriptedResponse::json(oneshot_answer("from confirm")));
    server.enqueue(ScriptedResponse::json(oneshot_answer("from executor")));
    server.enqueue(answer_response({"done"}));

    const char* request = R"([{"role":"user","content":"x"}])";
    std::vector<std::string> answers;
    auto side_calls = [&] {
        (void)session.is_cancel_requested();
        EXPECT_TRUE(session.request_tools({"probe"}));
        const std::string text = session.oneshot_completion(request, "");
        answers.push_back(text.empty() ? "" : nlohmann::json::parse(text)["content"].get<std::string>());
    };
    vexa_core::ToolParameterSpec spec;
    spec.name = "probe";
    ASSERT_TRUE(session.register_tool(spec, [&](const std::string&) {
        side_calls();
        return std::string(R"({"success":true})");
    }));
    session.set_tool_confirm_callback([&](const std::string&, const std::string&) {
        side_calls();
        return true;
    });
    vexa_core::ChatOptions options;
    options.emit_tool_events = true;
    const vexa_core::ChatResult r = session.send_text_stream("go", options, [&](const vexa_core::AgentEvent& e) {
        if (e.type == vexa_core::AgentEventType::ToolCallStarted) side_calls();
    });
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(answers, (std::vector<std::string>{"from event", "from confirm", "from executor"}));
}

TEST_F(ConcurrencyTest, ShutdownFromAnotherThreadDuringATurn) {
    set_timeout(dir.path(), 120);
    vexa_core::CoreSession session;
    initialize(session);
    server.enqueue(test::stalled_response("partial"));
    auto turn = std::async(std::launch::async, [&] { return session.send_text_stream("hi"); });
    ASSERT_TRUE(server.wait_for_requests(1));
    std::this_thread::sleep_for(20ms);
    const auto began = Clock::now();
    session.shutdown();
    EXPECT_LT(Clock::now() - began, 5s) << "not the server's 120 s timeout";
    ASSERT_EQ(turn.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(turn.get().success);
    EXPECT_EQ(session.current_session_id(), "");
}

TEST_F(ConcurrencyTest, DestroyFromAnotherThreadDuringATurn) {
    set_timeout(dir.path(), 120);
    VexaCoreHandle* handle = vexa_core_create();
    VexaCoreInitOptions options{};
    const std::string base = dir.str();
    options.base_dir = base.c_str();
    ASSERT_EQ(vexa_core_initialize(handle, &options, nullptr, nullptr), 1);
    server.enqueue(ScriptedResponse::hang());
    std::atomic<int> result{-1};
    std::thread turn([&] { result = vexa_core_send_text_stream(handle, "hi", nullptr, nullptr, nullptr); });
    ASSERT_TRUE(server.wait_for_requests(1));
    const auto began = Clock::now();
    vexa_core_destroy(handle);
    EXPECT_LT(Clock::now() - began, 5s) << "not the server's 120 s timeout";
    turn.join();
    EXPECT_EQ(result.load(), 0);
}

TEST_F(ConcurrencyTest, TwoHandlesRunTurnsAtOnce) {
    // The configuration is process-wide; each handle's model connection is
    // made from it when the handle initialises, so both initialise first.
    test::ScriptedServer other;
    test::TempDir other_dir;
    VexaCoreHandle* a = vexa_core_create();
    VexaCoreHandle* b = vexa_core_create();
    VexaCoreInitOptions options{};
    options.host_policy_flags = 0x08;  // no background extraction requests
    const std::string base_a = dir.str();
    options.base_dir = base_a.c_str();
    ASSERT_EQ(vexa_core_initialize(a, &options, nullptr, nullptr), 1);
    test::write_agent_config(other_dir.path(), other.base_url() + "/v1");
    const std::string base_b = other_dir.str();
    options.base_dir = base_b.c_str();
    ASSERT_EQ(vexa_core_initialize(b, &options, nullptr, nullptr), 1);

    for (int i = 0; i < 5; ++i) {
        server.enqueue(slow_answer());
        other.enqueue(slow_answer());
    }
    auto run = [](VexaCoreHandle* h) {
        int ok = 0;
        for (int i = 0; i < 5; ++i) ok += vexa_core_send_text_stream(h, "hi", nullptr, nullptr, nullptr);
        return ok;
    };
    auto first = std::async(std::launch::async, run, a);
    auto second = std::async(std::launch::async, run, b);
    EXPECT_EQ(first.get(), 5);
    EXPECT_EQ(second.get(), 5);
    EXPECT_EQ(server.request_count(), 5u);
    EXPECT_EQ(other.request_count(), 5u);
    vexa_core_destroy(a);
    vexa_core_destroy(b);
}

}  // namespace
}  // namespace vexa
