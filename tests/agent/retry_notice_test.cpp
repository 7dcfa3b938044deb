// A model request retried after a passing failure is announced to the host as
// a Notice event, through both public interfaces, for a turn and for the
// one-shot call.

#include "vexa_core/core_session.hpp"
#include "vexa_core/vexa_core.h"

#include "agent_test_util.hpp"
#include "config/agent_config.hpp"
#include "public_driver.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace vexa {
namespace {

using test::answer_response;
using test::describe;
using test::Driver;
using test::Outcome;
using test::ScriptedResponse;

// The test configuration with retries switched on.
void write_retry_config(const std::filesystem::path& base, const std::string& base_url) {
    test::write_agent_config(base, base_url);
    const std::filesystem::path file = base / "config" / "agent_config.json";
    nlohmann::json config = nlohmann::json::parse(test::read_file(file));
    config["llm"]["max_retries"] = 2;
    config["llm"]["retry_base_delay_ms"] = 10;
    config["llm"]["retry_max_delay_ms"] = 1000;
    test::write_file(file, config.dump(4));
}

ScriptedResponse busy() { return ScriptedResponse::json(R"({"error":{"message":"overloaded"}})", 503); }

constexpr const char* kNoticeStart = "Model request failed (HTTP 503); retrying in ";

class RetryNoticeTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        write_retry_config(dir.path(), server.base_url() + "/v1");
        driver = test::make_driver(GetParam());
        ASSERT_TRUE(driver->initialize(dir.str()));
    }
    void TearDown() override {
        driver.reset();
        // The configuration record is process-wide: later sessions of this
        // program must not inherit retries from a file that lacks the keys.
        LLMConfig& llm = AgentConfig::instance().llm;
        const LLMConfig defaults;
        llm.max_retries = defaults.max_retries;
        llm.retry_base_delay_ms = defaults.retry_base_delay_ms;
        llm.retry_max_delay_ms = defaults.retry_max_delay_ms;
    }

    test::ScriptedServer server;
    test::TempDir dir;
    std::unique_ptr<Driver> driver;
};

TEST_P(RetryNoticeTest, TurnAnnouncesTheRetryBeforeTheAnswer) {
    server.enqueue(busy());
    server.enqueue(answer_response({"Hi"}));
    const Outcome r = driver->send("hello");
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(server.request_count(), 2u);

    std::vector<std::string> kinds;
    for (const auto& e : driver->log.events()) kinds.push_back(describe(e));
    ASSERT_EQ(kinds.size(), 7u) << ::testing::PrintToString(kinds);
    EXPECT_EQ(kinds[0], "state:waiting");
    EXPECT_EQ(kinds[1].rfind(std::string("event0:") + kNoticeStart, 0), 0u) << kinds[1];
    EXPECT_NE(kinds[1].find("s (attempt 1 of 2)..."), std::string::npos) << kinds[1];
    EXPECT_EQ(std::vector<std::string>(kinds.begin() + 2, kinds.end()),
              (std::vector<std::string>{"state:generating", "content:Hi", "state:done", "done:Hi", "state:idle"}));
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, RetryNoticeTest, ::testing::Values("cpp", "c"),
                         [](const auto& info) { return info.param; });

TEST(RetryNoticeOneshot, OneshotRetriesAndTellsTheSessionCallback) {
    test::ScriptedServer server;
    test::TempDir dir;
    write_retry_config(dir.path(), server.base_url() + "/v1");
    test::EventLog<std::string> notices;
    {
        vexa_core::CoreSession session;
        vexa_core::InitializeOptions init;
        init.base_dir = dir.str();
        ASSERT_TRUE(session.initialize(init, [&](const vexa_core::AgentEvent& e) {
            if (e.type == vexa_core::AgentEventType::Notice) notices.add(e.text);
        }));
        server.enqueue(busy());
        server.enqueue(ScriptedResponse::json(
            R"({"id":"r1","choices":[{"index":0,"message":{"role":"assistant","content":"short"}}]})"));
        const nlohmann::json result = nlohmann::json::parse(
            session.oneshot_completion(R"([{"role":"user","content":"title?"}])", ""));
        EXPECT_EQ(result["success"], true) << result.dump();
        EXPECT_EQ(result["content"], "short");
        EXPECT_EQ(server.request_count(), 2u);
        std::vector<std::string> retry_notices;
        for (const auto& text : notices.events()) {
            if (text.rfind(kNoticeStart, 0) == 0) retry_notices.push_back(text);
        }
        ASSERT_EQ(retry_notices.size(), 1u);
        EXPECT_NE(retry_notices[0].find("(attempt 1 of 2)..."), std::string::npos);
    }
    LLMConfig& llm = AgentConfig::instance().llm;
    llm.max_retries = 0;
    llm.retry_base_delay_ms = LLMConfig{}.retry_base_delay_ms;
    llm.retry_max_delay_ms = LLMConfig{}.retry_max_delay_ms;
}

}  // namespace
}  // namespace vexa
