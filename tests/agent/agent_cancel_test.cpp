// Cancelling a turn from another thread, and the agent under concurrent use.

#include "agent/agent.hpp"

#include "agent/tool_judgement.hpp"
#include "agent_test_util.hpp"
#include "config/agent_config.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

namespace vexa {
namespace {

using test::answer_response;
using test::ScriptedResponse;
using test::tool_response;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class AgentCancelTest : public ::testing::Test {
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
        cfg.host_policy_flags = 0;
        ASSERT_TRUE(agent.start({}));
    }
    void TearDown() override { agent.shutdown(); }

    EventCallback recorder() {
        return [this](const AgentEvent& e) { events.add(e); };
    }

    test::ScriptedServer server;
    test::TempDir dir;
    test::EventLog<AgentEvent> events;
    Agent agent;
};

TEST_F(AgentCancelTest, CancelMidStreamKeepsThePartialAnswerMarked) {
    server.enqueue(test::stalled_response("Hel"));
    Clock::time_point cancelled_at;
    std::thread canceller([&] {
        ASSERT_TRUE(events.wait_for([](const AgentEvent& e) { return e.type == AgentEventType::ContentDelta; }));
        std::this_thread::sleep_for(20ms);
        cancelled_at = Clock::now();
        agent.cancel();
    });
    AgentResponse r = agent.chat("hi", {}, recorder());
    const auto returned_at = Clock::now();
    canceller.join();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(returned_at - cancelled_at).count();
    std::printf("[ measured ] turn returned %lld ms after cancel (mid-stream)\n", static_cast<long long>(ms));
    EXPECT_LT(ms, 1000);

    EXPECT_FALSE(r.success);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.error, "Generation cancelled.");
    EXPECT_EQ(r.content, "Hel");
    EXPECT_EQ(agent.last_error(), "Generation cancelled.");
    EXPECT_EQ(agent.state(), LLMState::idle);
    auto stored = agent.messages();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1].content, "Hel\n[已被用户中断]");
    auto all = events.events();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2].type, AgentEventType::StateChanged);
    EXPECT_EQ(all[all.size() - 2].state, LLMState::idle);
    EXPECT_EQ(all.back().type, AgentEventType::Error);
    EXPECT_EQ(all.back().text, "Generation cancelled.");
    auto rounds = agent.last_turn_records();
    ASSERT_EQ(rounds.size(), 1u);
    EXPECT_EQ(rounds[0].finish_reason, "cancelled");

    // The flag is cleared by the next turn, which sees the marked answer.
    server.enqueue(answer_response({"again"}));
    ASSERT_TRUE(agent.chat("more", {}, {}).success);
    EXPECT_FALSE(agent.cancel_requested());
    auto body = nlohmann::json::parse(server.requests().at(1).body);
    EXPECT_EQ(body["messages"][2]["content"], "Hel\n[已被用户中断]");
}

TEST_F(AgentCancelTest, CancelBeforeAnyOutputRemovesTheTurn) {
    server.enqueue(ScriptedResponse::hang());
    std::thread canceller([&] {
        server.wait_for_requests(1);
        std::this_thread::sleep_for(30ms);
        agent.cancel();
    });
    const auto started = Clock::now();
    AgentResponse r = agent.chat("hi", {}, recorder());
    canceller.join();
    EXPECT_LT(Clock::now() - started, 2s);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(agent.message_count(), 0u);
    EXPECT_EQ(agent.user_turn_count(), 0);
}

TEST_F(AgentCancelTest, CancelWhileAToolRunsSkipsTheRemainingCalls) {
    std::promise<void> tool_started;
    std::atomic<int> executions{0};
    ToolSpec spec;
    spec.name = "slow";
    spec.executor = [&](const nlohmann::json&) -> nlohmann::json {
        if (executions++ == 0) tool_started.set_value();
        const auto deadline = Clock::now() + 5s;
        while (!agent.cancel_requested() && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
        return {{"success", true}, {"finished", true}};
    };
    ASSERT_TRUE(agent.register_host_tool(spec));
    server.enqueue(tool_response({{"s1", "slow", "{}"}, {"s2", "slow", "{}"}, {"s3", "slow", "{}"}}));

    std::thread canceller([&] {
        tool_started.get_future().wait();
        agent.cancel();
    });
    AgentResponse r = agent.chat("run", {}, recorder());
    canceller.join();

    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(executions.load(), 1);
    ASSERT_EQ(r.tool_results.size(), 3u);
    EXPECT_EQ(r.tool_results[0], R"({"finished":true,"success":true})");
    EXPECT_EQ(r.tool_results[1], kToolCancelledResult);
    EXPECT_EQ(r.tool_results[2], kToolCancelledResult);
    EXPECT_EQ(server.request_count(), 1u);  // no further model call

    auto stored = agent.messages();
    ASSERT_EQ(stored.size(), 5u);
    EXPECT_EQ(stored[1].content, "[已被用户中断]");
    EXPECT_EQ(stored[3].content.rfind("⚠️ TOOL_FAILED: slow — cancelled\n", 0), 0u);
    auto rounds = agent.last_turn_records();
    ASSERT_EQ(rounds.size(), 1u);
    EXPECT_EQ(rounds[0].finish_reason, "cancelled");
}

TEST_F(AgentCancelTest, CancelFromTheConfirmationHookCancelsTheCall) {
    ToolSpec spec;
    spec.name = "t";
    std::atomic<int> executions{0};
    spec.executor = [&](const nlohmann::json&) -> nlohmann::json {
        ++executions;
        return {{"success", true}};
    };
    ASSERT_TRUE(agent.register_host_tool(spec));
    agent.set_tool_confirm_callback([&](const std::string&, const std::string&) {
        agent.cancel();
        return true;
    });
    server.enqueue(tool_response({{"c", "t", "{}"}}, "Let me check."));
    AgentResponse r = agent.chat("go", {}, recorder());
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(executions.load(), 0);
    ASSERT_EQ(r.tool_results.size(), 1u);
    EXPECT_EQ(r.tool_results[0], kToolCancelledResult);
    auto stored = agent.messages();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[1].content, "Let me check.\n[已被用户中断]");
}

// A library tool that sleeps, so calls of one round overlap.
class NapTool : public ITool {
public:
    std::string name() const override { return "nap"; }
    std::string description() const override { return "sleeps"; }
    nlohmann::json parameters() const override { return {{"type", "object"}}; }
    nlohmann::json execute(const nlohmann::json&) override {
        std::this_thread::sleep_for(15ms);
        return {{"success", true}};
    }
};

TEST_F(AgentCancelTest, ConcurrentCancelDuringParallelToolsKeepsHistoryBalanced) {
    agent.register_builtin_tool(std::make_shared<NapTool>());
    std::vector<test::ScriptedCall> calls;
    for (int i = 0; i < 4; ++i) calls.push_back({"n" + std::to_string(i), "nap", "{}"});
    server.set_fallback(tool_response(calls, "working"));

    for (int iteration = 0; iteration < 6; ++iteration) {
        std::atomic<bool> stop{false};
        // Host-side threads that poke the agent while the turn runs.
        std::thread poker([&] {
            while (!stop.load()) {
                agent.request_tools({"nap"});
                (void)agent.cancel_requested();
                (void)agent.state();
                std::this_thread::sleep_for(1ms);
            }
        });
        const std::size_t seen = server.request_count();
        std::thread canceller([&, iteration, seen] {
            server.wait_for_requests(seen + 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2 + 12 * iteration));
            agent.cancel();
        });
        std::atomic<int> delivered{0};
        std::atomic<int> concurrent{0};
        std::atomic<bool> overlap{false};
        AgentChatOptions options;
        options.max_tool_rounds = 50;
        AgentResponse r = agent.chat("go", options, [&](const AgentEvent&) {
            if (++concurrent > 1) overlap = true;
            ++delivered;
            --concurrent;
        });
        canceller.join();
        stop = true;
        poker.join();

        EXPECT_TRUE(r.cancelled) << iteration;
        EXPECT_FALSE(overlap.load());
        EXPECT_GT(delivered.load(), 0);
        EXPECT_EQ(agent.state(), LLMState::idle);
        // Every assistant tool call is answered right after its message.
        const auto stored = agent.messages();
        for (std::size_t i = 0; i < stored.size(); ++i) {
            if (stored[i].role != MessageRole::assistant || stored[i].tool_calls.empty()) continue;
            for (std::size_t j = 0; j < stored[i].tool_calls.size(); ++j) {
                ASSERT_LT(i + 1 + j, stored.size());
                EXPECT_EQ(stored[i + 1 + j].role, MessageRole::tool);
                EXPECT_EQ(stored[i + 1 + j].tool_call_id, stored[i].tool_calls[j].id);
            }
        }
    }
}

}  // namespace
}  // namespace vexa
