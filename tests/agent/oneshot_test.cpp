// One-shot completions through the facade against the scripted server: every
// refusal with its text, the options that are taken or ignored, the result
// JSON, and a call made while a turn streams.

#include "vexa_core/core_session.hpp"

#include "agent_test_util.hpp"

#include <gtest/gtest.h>

#include <future>
#include <string>

namespace vexa {
namespace {

using test::ScriptedResponse;
using namespace std::chrono_literals;

ScriptedResponse buffered(const std::string& text) {
    nlohmann::json body = {{"id", "one-1"},
                           {"choices", {{{"index", 0},
                                         {"message", {{"role", "assistant"}, {"content", text}}},
                                         {"finish_reason", "stop"}}}},
                           {"usage", {{"prompt_tokens", 3}, {"completion_tokens", 2}, {"total_tokens", 5}}}};
    return ScriptedResponse::json(body.dump());
}

class OneshotTest : public ::testing::Test {
protected:
    void start() {
        test::write_agent_config(dir.path(), server.base_url() + "/v1");
        vexa_core::InitializeOptions options;
        options.base_dir = dir.str();
        options.host_policy_flags = 0x08;
        ASSERT_TRUE(session.initialize(options));
    }
    test::ScriptedServer server;
    test::TempDir dir;
    vexa_core::CoreSession session;
};

TEST_F(OneshotTest, RefusalsCarryTheirTexts) {
    start();
    const struct {
        const char* messages;
        const char* error;
    } cases[] = {
        {"not json", "oneshot messages_json is not valid JSON"},
        {"[]", "oneshot messages is empty"},
        {"{}", "oneshot messages is empty"},
        {R"({"messages": 3})", "oneshot messages_json must be an array"},
        {"42", "oneshot messages_json must be an array"},
        {R"("text")", "oneshot messages_json must be an array"},
        {R"([1, "x", null])", "oneshot messages is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.messages);
        const auto result = nlohmann::json::parse(session.oneshot_completion(c.messages, ""));
        EXPECT_EQ(result.at("success"), false);
        EXPECT_EQ(result.at("error"), c.error);
        EXPECT_EQ(result.at("content"), "");
        EXPECT_EQ(result.at("timing").at("total_ms"), 0);
        EXPECT_EQ(session.last_error(), c.error);
    }
    EXPECT_EQ(server.request_count(), 0u);
}

TEST_F(OneshotTest, BeforeStartUp) {
    vexa_core::CoreSession idle;
    EXPECT_EQ(idle.oneshot_completion(R"([{"role":"user","content":"hi"}])", ""), "");
    EXPECT_EQ(idle.last_error(), "CoreSession is not initialized.");
}

TEST_F(OneshotTest, OptionsTakenOrIgnored) {
    start();
    const struct {
        const char* options;
        nlohmann::json expected;  // the request's model, temperature and max_tokens
    } cases[] = {
        {"", {"test-model", 0.0, 256}},
        {"not json", {"test-model", 0.0, 256}},
        {R"({"max_tokens": 100.5})", {"test-model", 0.0, 256}},
        {R"({"model": "other", "temperature": 1, "max_tokens": 9})", {"other", 1.0, 9}},
        {R"({"model": 5, "temperature": "hot"})", {"test-model", 0.0, 256}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        server.enqueue(buffered("fine"));
        const auto result =
            nlohmann::json::parse(session.oneshot_completion(R"({"messages":[{"role":"user","content":"hi"}]})", c.options));
        ASSERT_EQ(result.at("success"), true) << result.dump();
        EXPECT_EQ(result.at("content"), "fine");
        EXPECT_EQ(result.at("error"), "");
        EXPECT_GE(result.at("timing").at("total_ms").get<long>(), 0);
        EXPECT_EQ(result.at("usage").at("total_tokens"), 5);
        const auto body = nlohmann::json::parse(server.requests().back().body);
        EXPECT_EQ(nlohmann::json::array({body.at("model"), body.at("temperature"), body.at("max_tokens")}),
                  c.expected);
    }
}

TEST_F(OneshotTest, ServerFailureIsTheError) {
    start();
    server.enqueue(ScriptedResponse::json(R"({"error":"busy"})", 503));
    const auto result = nlohmann::json::parse(session.oneshot_completion(R"([{"role":"user","content":"hi"}])", ""));
    EXPECT_EQ(result.at("success"), false);
    const std::string error = result.at("error");
    EXPECT_EQ(error, "openai sync HTTP 503");
    EXPECT_EQ(session.last_error(), error);
}

TEST_F(OneshotTest, BesideAStreamingTurnWithoutDisturbingIt) {
    start();
    // The turn's answer trickles in; the one-shot answer is queued behind it.
    ScriptedResponse slow = test::answer_response({"part one ", "part two"});
    slow.chunks = test::split_chunks(slow.body(), 40, 60ms);
    server.enqueue(slow);
    server.enqueue(buffered("side answer"));
    test::EventLog<vexa_core::AgentEvent> log;
    auto turn = std::async(std::launch::async, [&] {
        return session.send_text_stream("hello", {}, [&](const vexa_core::AgentEvent& e) { log.add(e); });
    });
    ASSERT_TRUE(log.wait_for([](const vexa_core::AgentEvent& e) {
        return e.type == vexa_core::AgentEventType::ContentDelta;
    }));
    const auto result = nlohmann::json::parse(session.oneshot_completion(R"([{"role":"user","content":"title?"}])", ""));
    EXPECT_EQ(result.at("content"), "side answer");
    EXPECT_EQ(turn.wait_for(10s), std::future_status::ready);
    const auto answer = turn.get();
    ASSERT_TRUE(answer.success) << answer.error;
    EXPECT_EQ(answer.content, "part one part two");
    // The conversation holds the turn only.
    const auto body = nlohmann::json::parse(server.requests().at(1).body);
    EXPECT_EQ(body.at("messages").size(), 1u);
    EXPECT_EQ(session.last_error(), "");
}

}  // namespace
}  // namespace vexa
