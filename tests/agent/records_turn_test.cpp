// The record file a session leaves, driven through both public interfaces
// against a scripted chat-completions server.

#include "vexa_core/core_session.hpp"
#include "vexa_core/vexa_core.h"

#include "agent/agent.hpp"
#include "agent_test_util.hpp"
#include "config/agent_config.hpp"
#include "public_driver.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vexa {
namespace {

using nlohmann::json;
using test::answer_response;
using test::CDriver;
using test::CppDriver;
using test::Driver;
using test::Outcome;
using test::ScriptedCall;
using test::ScriptedResponse;
using test::tool_response;
using namespace std::chrono_literals;

std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A stream whose last chunk reports the server's usage.
ScriptedResponse with_usage(ScriptedResponse response, int prompt, int completion) {
    std::string body = response.body();
    const std::string done = "data: [DONE]";
    const json chunk = {{"id", "resp-test"},
                        {"object", "chat.completion.chunk"},
                        {"choices", json::array()},
                        {"usage",
                         {{"prompt_tokens", prompt},
                          {"completion_tokens", completion},
                          {"total_tokens", prompt + completion}}}};
    body.insert(body.find(done), "data: " + chunk.dump() + "\n\n");
    return ScriptedResponse::sse(body);
}

bool load_session(Driver& driver, const std::string& id) {
    if (auto* cpp = dynamic_cast<CppDriver*>(&driver)) return cpp->session().load_session(id);
    return vexa_core_load_session(static_cast<CDriver&>(driver).handle(), id.c_str()) == 1;
}

class RecordsTurnTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { test::write_agent_config(dir.path(), server.base_url() + "/v1"); }

    std::unique_ptr<Driver> start(std::uint32_t policy = 0) {
        auto driver = test::make_driver(GetParam());
        driver->policy = policy;
        EXPECT_TRUE(driver->initialize(dir.str()));
        return driver;
    }
    std::filesystem::path records_dir() const { return dir.path() / "data" / "conversations_full"; }
    json records_of(const std::string& session_id) const {
        return json::parse(test::read_file(records_dir() / (session_id + ".json")));
    }

    test::ScriptedServer server;
    test::TempDir dir;
};

TEST_P(RecordsTurnTest, AToolTurnLeavesOneRecordPerRound) {
    auto driver = start();
    ASSERT_TRUE(driver->register_tool("lookup", [](const std::string&) {
        std::this_thread::sleep_for(20ms);
        return std::string(R"({"success":true,"value":7})");
    }));
    server.enqueue(tool_response({{"c1", "lookup", R"({"x":1})"}, {"c2", "lookup", "not json"}}, "checking"));
    server.enqueue(answer_response({"found ", "it"}));
    const std::int64_t before = wall_ms();
    Outcome r = driver->send("find it");
    const std::int64_t after = wall_ms();
    ASSERT_TRUE(r.success) << r.error;

    const std::string id = driver->session_id();
    const json root = records_of(id);
    EXPECT_EQ(root["session_id"], id);
    ASSERT_EQ(root["record_count"], 2);
    const json& first = root["records"][0];
    const json& second = root["records"][1];

    for (const json* rec : {&first, &second}) {
        EXPECT_EQ((*rec)["phase"], "react");
        EXPECT_FALSE(rec->contains("task_id"));
        EXPECT_EQ((*rec)["user_turn_index"], 1);
        EXPECT_EQ((*rec)["session_id"], id);
        EXPECT_EQ((*rec)["model"], "test-model");
        EXPECT_EQ((*rec)["backend"], "openai");
        EXPECT_EQ((*rec)["request_id"], "resp-test");
        EXPECT_TRUE((*rec)["response"]["success"].get<bool>());
        EXPECT_TRUE((*rec)["round_usage"]["estimated"].get<bool>());  // the server reported none
        const json& timing = (*rec)["timing"];
        ASSERT_TRUE(timing["first_token_ms"].is_number());
        EXPECT_GE(timing["total_ms"].get<std::int64_t>(), timing["first_token_ms"].get<std::int64_t>());
        EXPECT_GE(timing["started_at_ms"].get<std::int64_t>(), before);
        EXPECT_LE(timing["started_at_ms"].get<std::int64_t>(), after);
        const json& messages = (*rec)["request"]["messages"];
        EXPECT_EQ(messages[0]["role"], "system");
        EXPECT_EQ(messages[0]["content"], (*rec)["request"]["system_prompt"]);
        EXPECT_EQ(messages[1]["content"], "find it");
        bool offers_lookup = false;
        for (const auto& tool : (*rec)["request"]["tools"]) {
            if (tool["function"]["name"] == "lookup") offers_lookup = true;
        }
        EXPECT_TRUE(offers_lookup);
    }

    EXPECT_EQ(first["round"], 1);
    EXPECT_EQ(first["user_input"], "find it");
    EXPECT_EQ(first["finish_reason"], "tool_calls");
    EXPECT_EQ(first["response"]["message"]["content"], "checking");
    EXPECT_EQ(first["request"]["messages"].size(), 2u);
    const json& executions = first["tool_executions"];
    ASSERT_EQ(executions.size(), 2u);
    EXPECT_EQ(executions[0]["id"], "c1");
    EXPECT_EQ(executions[0]["name"], "lookup");
    EXPECT_EQ(executions[0]["arguments"], (json{{"x", 1}}));
    EXPECT_EQ(executions[0]["result"], R"({"success":true,"value":7})");
    EXPECT_TRUE(executions[0]["success"].get<bool>());
    EXPECT_GE(executions[0]["duration_ms"].get<int>(), 15);
    EXPECT_GE(executions[0]["started_at_ms"].get<std::int64_t>(), before);
    EXPECT_EQ(executions[1]["arguments"], "not json");
    EXPECT_FALSE(executions[0].contains("model_result"));

    EXPECT_EQ(second["round"], 2);
    EXPECT_FALSE(second.contains("user_input"));
    EXPECT_FALSE(second.contains("tool_executions"));
    EXPECT_EQ(second["finish_reason"], "stop");
    EXPECT_EQ(second["response"]["message"]["content"], "found it");
    // system, user, the assistant's call and one tool message per call
    EXPECT_EQ(second["request"]["messages"].size(), 5u);
    EXPECT_EQ(second["request"]["messages"][3]["role"], "tool");

    ASSERT_EQ(root["turn_timings"].size(), 1u);
    EXPECT_EQ(root["turn_timings"][0]["user_turn_index"], 1);
    EXPECT_EQ(root["turn_timings"][0]["started_at_ms"], first["timing"]["started_at_ms"]);
    EXPECT_EQ(root["turn_timings"][0]["first_token_ms"], first["timing"]["first_token_ms"]);
    ASSERT_EQ(root["turn_usages"].size(), 1u);
    EXPECT_TRUE(root["turn_usages"][0]["estimated"].get<bool>());
    EXPECT_EQ(root["started_at"], first["timestamp"]);
    EXPECT_EQ(root["last_event_at"], second["timestamp"]);
}

TEST_P(RecordsTurnTest, AFailedCallIsRecordedWithoutAFirstToken) {
    auto driver = start();
    server.enqueue(ScriptedResponse::json(R"({"error":{"message":"overloaded"}})", 503));
    Outcome r = driver->send("hello");
    EXPECT_FALSE(r.success);
    const json rec = records_of(driver->session_id())["records"].at(0);
    EXPECT_FALSE(rec["response"]["success"].get<bool>());
    EXPECT_FALSE(rec["response"]["error"].get<std::string>().empty());
    EXPECT_TRUE(rec["timing"]["first_token_ms"].is_null());
    EXPECT_EQ(rec["request_id"].get<std::string>().size(), 32u);  // none from the server
}

TEST_P(RecordsTurnTest, TurnUsagesMarkTurnsWithAnEstimatedRound) {
    auto driver = start();
    ASSERT_TRUE(driver->register_tool("t", [](const std::string&) { return std::string(R"({"success":true})"); }));
    // Turn 1: both rounds reported by the server.
    server.enqueue(with_usage(tool_response({{"c", "t", "{}"}}), 10, 5));
    server.enqueue(with_usage(answer_response({"one"}), 20, 2));
    ASSERT_TRUE(driver->send("first").success);
    // Turn 2: the tool round reported, the answer estimated.
    server.enqueue(with_usage(tool_response({{"c", "t", "{}"}}), 30, 3));
    server.enqueue(answer_response({"two"}));
    ASSERT_TRUE(driver->send("second").success);

    const json root = records_of(driver->session_id());
    ASSERT_EQ(root["turn_usages"].size(), 2u);
    const json& one = root["turn_usages"][0];
    EXPECT_EQ(one["user_turn_index"], 1);
    EXPECT_EQ(one["prompt_tokens"], 30);
    EXPECT_EQ(one["completion_tokens"], 7);
    EXPECT_EQ(one["total_tokens"], 37);
    EXPECT_FALSE(one["estimated"].get<bool>());
    const json& two = root["turn_usages"][1];
    EXPECT_EQ(two["user_turn_index"], 2);
    EXPECT_TRUE(two["estimated"].get<bool>());
    EXPECT_GT(two["prompt_tokens"].get<int>(), 30);
    EXPECT_TRUE(root["session_usage"]["estimated"].get<bool>());
    EXPECT_EQ(root["session_usage"]["total_tokens"],
              one["total_tokens"].get<int>() + two["total_tokens"].get<int>());
    ASSERT_EQ(root["turn_timings"].size(), 2u);
}

// A second session object on the same directory (a later run of the host)
// loads the session: the turn counter continues from the records, also past a
// turn that left no messages.
TEST_P(RecordsTurnTest, LoadingASessionReopensItsRecords) {
    std::string id;
    {
        auto first = start();
        server.enqueue(answer_response({"hello"}));
        ASSERT_TRUE(first->send("one").success);
        server.enqueue(ScriptedResponse::json(R"({"error":{"message":"down"}})", 500));
        EXPECT_FALSE(first->send("two").success);  // rolled back whole, but recorded
        id = first->session_id();
        ASSERT_TRUE(first->save_session());
    }
    ASSERT_EQ(records_of(id)["record_count"], 2);

    auto second = start();
    ASSERT_NE(second->session_id(), id);
    ASSERT_TRUE(load_session(*second, id));
    EXPECT_EQ(second->session_id(), id);
    server.enqueue(answer_response({"again"}));
    ASSERT_TRUE(second->send("three").success);

    const json root = records_of(id);
    ASSERT_EQ(root["record_count"], 3);
    EXPECT_EQ(root["records"][0]["user_input"], "one");
    EXPECT_EQ(root["records"][1]["user_turn_index"], 2);
    EXPECT_EQ(root["records"][2]["user_turn_index"], 3);
    EXPECT_EQ(root["records"][2]["user_input"], "three");
    // The request of the reloaded session carries the earlier turn.
    const json messages = root["records"][2]["request"]["messages"];
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[1]["content"], "one");
}

// A record file that cannot be read (wrong-typed, truncated, not JSON) is
// kept whole aside when the next turn writes the session's new records.
TEST_P(RecordsTurnTest, AnUnreadableRecordFileIsMovedAsideBeforeTheNextTurnWrites) {
    struct Case {
        const char* name;
        std::string (*damage)(const std::string& file);
    };
    const std::vector<Case> cases = {
        {"wrong-typed", [](const std::string&) { return std::string(R"({"records":[{"round":"one"}]})"); }},
        {"truncated", [](const std::string& file) { return file.substr(0, file.size() / 2); }},
        {"not JSON", [](const std::string&) { return std::string("records, but not JSON\n"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string id;
        {
            auto first = start();
            server.enqueue(answer_response({"hello"}));
            ASSERT_TRUE(first->send("one").success);
            id = first->session_id();
            ASSERT_TRUE(first->save_session());
        }
        const std::filesystem::path file = records_dir() / (id + ".json");
        const std::string damaged = c.damage(test::read_file(file));
        test::write_file(file, damaged);

        auto second = start();
        ASSERT_TRUE(load_session(*second, id));
        EXPECT_EQ(test::read_file(file), damaged);  // untouched by the load
        server.enqueue(answer_response({"again"}));
        ASSERT_TRUE(second->send("two").success);

        std::vector<std::filesystem::path> aside;
        for (const auto& entry : std::filesystem::directory_iterator(records_dir())) {
            if (entry.path().filename().string().rfind(id + ".json.unreadable-", 0) == 0) aside.push_back(entry.path());
        }
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(test::read_file(aside[0]), damaged);
        const json root = records_of(id);
        ASSERT_EQ(root["record_count"], 1);
        EXPECT_EQ(root["records"][0]["user_input"], "two");
        EXPECT_EQ(root["records"][0]["response"]["message"]["content"], "again");
    }
}

// With the compact form on, the second round's record holds only what the
// first round's request did not: the model's call and the tool results.
TEST_P(RecordsTurnTest, CompactRecordsHoldOnlyTheNewMessagesOfEachRound) {
    test::write_agent_config(dir.path(), server.base_url() + "/v1", {{"compact_interaction_records", true}});
    auto driver = start();
    ASSERT_TRUE(driver->register_tool("lookup", [](const std::string&) {
        return std::string(R"({"success":true,"value":7})");
    }));
    server.enqueue(tool_response({{"c1", "lookup", R"({"x":1})"}, {"c2", "lookup", "{}"}}, "checking"));
    server.enqueue(answer_response({"found"}));
    ASSERT_TRUE(driver->send("find it").success);
    server.enqueue(answer_response({"bye"}));
    ASSERT_TRUE(driver->send("thanks").success);

    const json records = records_of(driver->session_id())["records"];
    ASSERT_EQ(records.size(), 3u);
    EXPECT_FALSE(records[0]["request"].contains("omitted_messages"));
    EXPECT_EQ(records[0]["request"]["messages"].size(), 2u);
    const json& second = records[1]["request"];
    EXPECT_EQ(second["omitted_messages"], 2);
    ASSERT_EQ(second["messages"].size(), 3u);
    EXPECT_EQ(second["messages"][0]["role"], "assistant");
    EXPECT_EQ(second["messages"][0]["tool_calls"].size(), 2u);
    EXPECT_EQ(second["messages"][1]["role"], "tool");
    EXPECT_EQ(second["messages"][2]["role"], "tool");
    // A new turn starts whole.
    EXPECT_FALSE(records[2]["request"].contains("omitted_messages"));
    EXPECT_EQ(records[2]["request"]["messages"].size(), 7u);
    EXPECT_EQ(records[2]["request"]["messages"][6]["content"], "thanks");
}

TEST_P(RecordsTurnTest, NoRecordsWithoutPersistence) {
    auto driver = start(vexa_core::policy_no_persistence);
    server.enqueue(answer_response({"hi"}));
    ASSERT_TRUE(driver->send("hello").success);
    std::error_code ec;
    EXPECT_TRUE(!std::filesystem::exists(records_dir(), ec) || std::filesystem::is_empty(records_dir(), ec));
}

// The session usage grows by what the turn's records used; without records
// (persistence off) the turn's usage is unknown and the session's stays so.
TEST(RecordsSessionUsage, TurnUsageComesFromTheRecords) {
    struct Case {
        std::uint32_t policy;
        bool usage_known;
    };
    for (const Case c : {Case{0, true}, Case{policy_no_persistence, false}}) {
        SCOPED_TRACE(c.policy);
        test::ScriptedServer server;
        test::TempDir dir;
        auto& cfg = AgentConfig::instance();
        cfg.llm = LLMConfig{};
        cfg.llm.backend = "openai";
        cfg.llm.base_url = server.base_url() + "/v1";
        cfg.llm.model = "test-model";
        cfg.llm.timeout_seconds = 10;
        cfg.agent = AgentSettings{};
        cfg.paths = PathsConfig{};
        cfg.base_dir = dir.str();
        cfg.host_policy_flags = policy_no_local_memory | c.policy;
        Agent agent;
        ASSERT_TRUE(agent.start({}));
        server.enqueue(with_usage(answer_response({"a"}), 12, 3));
        ASSERT_TRUE(agent.chat("q", {}, {}).success);
        const TokenUsage session = agent.session_usage();
        EXPECT_EQ(has_usage(session), c.usage_known);
        if (c.usage_known) {
            EXPECT_EQ(session.total_tokens, 15);
            ASSERT_EQ(agent.last_turn_records().size(), 1u);
            EXPECT_EQ(agent.last_turn_records()[0].round_usage.total_tokens, 15);
            EXPECT_FALSE(agent.record_file_path().empty());
        } else {
            EXPECT_TRUE(agent.last_turn_records().empty());
            EXPECT_TRUE(agent.record_file_path().empty());
        }
        agent.shutdown();
        cfg.host_policy_flags = 0;
    }
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, RecordsTurnTest, ::testing::Values("cpp", "c"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vexa
