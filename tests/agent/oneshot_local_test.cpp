// One-shot completion on the in-process model: it must wait for the model, so
// a call from inside a callback of the running model call fails at once
// instead of deadlocking, while a call from another thread waits its turn.

#include "agent/agent.hpp"
#include "config/agent_config.hpp"

#include "agent_test_util.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace vexa {
namespace {

using namespace std::chrono_literals;

// Streams one delta, then waits until released, like a model still generating.
class SlowLocalBackend : public ILLMBackend {
public:
    bool configure(const LLMConfig&, std::string&, LLMClient*) override { return true; }
    StreamResult chat_completion_stream(const std::vector<ChatMessage>&, const std::vector<ToolDefinition>&,
                                        const StreamCallbacks& callbacks) override {
        if (callbacks.on_state) callbacks.on_state(LLMState::generating);
        if (callbacks.on_content) callbacks.on_content("partial");
        streaming = true;
        for (int i = 0; i < 500 && !release.load(); ++i) std::this_thread::sleep_for(2ms);
        StreamResult result;
        result.ok = true;
        result.message.content = "partial";
        return result;
    }
    CompletionResult chat_completion_result(const std::vector<ChatMessage>&, const CompletionOptions&) override {
        return {true, {}, "side", {}};
    }
    void cancel() override { release = true; }

    static inline std::atomic<bool> streaming{false};
    static inline std::atomic<bool> release{false};
};

class OneshotLocalTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& cfg = AgentConfig::instance();
        cfg.llm = LLMConfig{};
        cfg.llm.backend = "local";
        cfg.agent = AgentSettings{};
        cfg.host_policy_flags = policy_no_persistence;
        SlowLocalBackend::streaming = false;
        SlowLocalBackend::release = false;
        ASSERT_TRUE(agent.start({}));
    }
    void TearDown() override { agent.shutdown(); }

    Agent agent{[](const std::string&, std::string&) -> std::unique_ptr<ILLMBackend> {
        return std::make_unique<SlowLocalBackend>();
    }};
};

TEST_F(OneshotLocalTest, FromInsideAnEventCallbackItFailsAtOnce) {
    std::string answer;
    std::string error;
    const auto r = agent.chat("hi", {}, [&](const AgentEvent& e) {
        if (e.type == AgentEventType::ContentDelta && answer.empty()) {
            answer = agent.oneshot(R"([{"role":"user","content":"x"}])", "");
            error = agent.last_error();
            SlowLocalBackend::release = true;
        }
    });
    ASSERT_TRUE(r.success) << r.error;
    ASSERT_FALSE(answer.empty());
    const auto result = nlohmann::json::parse(answer);
    EXPECT_FALSE(result["success"].get<bool>());
    EXPECT_EQ(result["error"], kOneshotInCallbackError);
    EXPECT_EQ(error, kOneshotInCallbackError);
}

TEST_F(OneshotLocalTest, FromAnotherThreadItWaitsForTheModelCall) {
    auto turn = std::async(std::launch::async, [&] { return agent.chat("hi", {}, {}); });
    for (int i = 0; i < 500 && !SlowLocalBackend::streaming.load(); ++i) std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(SlowLocalBackend::streaming.load());
    auto side = std::async(std::launch::async, [&] { return agent.oneshot(R"([{"role":"user","content":"x"}])", ""); });
    EXPECT_EQ(side.wait_for(100ms), std::future_status::timeout) << "the model is busy with the turn";
    SlowLocalBackend::release = true;
    ASSERT_EQ(side.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(nlohmann::json::parse(side.get())["content"], "side");
    EXPECT_TRUE(turn.get().success);
}

}  // namespace
}  // namespace vexa
