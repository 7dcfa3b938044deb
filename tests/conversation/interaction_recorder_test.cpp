// The interaction recorder and its record file: real files in a temporary
// directory, compared byte for byte with serialising the whole file object.

#include "conversation/interaction_recorder.hpp"

#include "agent/agent_test_util.hpp"
#include "config/json_util.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace vexa {
namespace {

using nlohmann::json;
using test::read_file;
using test::TempDir;
using test::write_file;

TokenUsage usage(int prompt, int completion, int cached = -1) {
    TokenUsage u;
    u.prompt_tokens = prompt;
    u.completion_tokens = completion;
    u.total_tokens = prompt + completion;
    u.cached_tokens = cached;
    return u;
}

ChatMessage message(MessageRole role, const std::string& content) {
    ChatMessage m;
    m.role = role;
    m.content = content;
    return m;
}

// A finished record with everything the recorder would otherwise fill set.
InteractionRecord record(std::int32_t turn, std::int32_t round, const TokenUsage& round_usage,
                         const std::string& id) {
    InteractionRecord r;
    r.record_id = id;
    r.session_id = "s1";
    r.timestamp = "2024-05-01T10:00:0" + std::to_string(round % 10);
    r.user_turn_index = turn;
    r.round = round;
    r.model = "m";
    r.backend = "openai";
    r.request_id = "req-" + id;
    r.finish_reason = "stop";
    r.system_prompt = "sys";
    r.messages = {message(MessageRole::system, "sys"), message(MessageRole::user, "hi")};
    r.message = message(MessageRole::assistant, "answer " + id);
    r.success = true;
    r.started_at_ms = 1700000000000 + 1000 * turn + 10 * round;
    r.total_ms = 40 + round;
    r.first_token_ms = 5;
    r.round_usage = round_usage;
    return r;
}

std::string whole_file(const std::string& session_id, const std::vector<InteractionRecord>& records) {
    auto text = try_dump_json(record_file_json(session_id, records), 2);
    EXPECT_TRUE(text.has_value());
    return text.value_or("");
}

class InteractionRecorderTest : public ::testing::Test {
protected:
    std::filesystem::path file(const std::string& id = "s1") const { return dir.path() / (id + ".json"); }
    json file_json(const std::string& id = "s1") const { return json::parse(read_file(file(id))); }

    TempDir dir;
    InteractionRecorder recorder;
};

TEST_F(InteractionRecorderTest, OpeningANewSessionWritesAnEmptyFile) {
    recorder.open("s1", dir.str());
    EXPECT_EQ(read_file(file()), "{\n  \"record_count\": 0,\n  \"records\": [],\n  \"session_id\": \"s1\"\n}");
    EXPECT_TRUE(recorder.enabled());
    EXPECT_EQ(recorder.record_count(), 0u);
    EXPECT_FALSE(has_usage(recorder.session_usage()));
}

TEST_F(InteractionRecorderTest, TurnUsageSumsKnownRoundsAndIsEstimatedWhenOneIsUnknown) {
    recorder.open("s1", dir.str());
    recorder.begin_turn(3, "question");
    recorder.append(record(0, 1, usage(10, 5), "a"));
    recorder.append(record(0, 2, TokenUsage{}, "b"));

    const json root = file_json();
    ASSERT_EQ(root["turn_usages"].size(), 1u);
    EXPECT_EQ(root["turn_usages"][0],
              (json{{"prompt_tokens", 10}, {"completion_tokens", 5}, {"total_tokens", 15}, {"estimated", true},
                    {"user_turn_index", 3}}));
    EXPECT_EQ(root["session_usage"]["total_tokens"], 15);
    EXPECT_TRUE(root["session_usage"]["estimated"].get<bool>());
    EXPECT_EQ(root["record_count"], 2);
    EXPECT_EQ(root["records"][0]["user_turn_index"], 3);
    EXPECT_EQ(root["records"][0]["user_input"], "question");
    EXPECT_FALSE(root["records"][1].contains("user_input"));
    EXPECT_FALSE(root["records"][1].contains("round_usage"));

    const TokenUsage turn = recorder.usage_since(0);
    EXPECT_EQ(turn.total_tokens, 15);
    EXPECT_TRUE(turn.estimated);
    EXPECT_FALSE(has_usage(recorder.usage_since(2)));
    const TokenUsage second_only = recorder.usage_since(1);
    EXPECT_FALSE(has_usage(second_only));
}

TEST_F(InteractionRecorderTest, BuilderTimesTheCallAndLeavesFirstTokenNullWhenNothingStreamed) {
    recorder.open("s1", dir.str());
    recorder.begin_turn(1, "x");
    RoundBuilder silent;
    silent.start(1, "", "");
    silent.set_model_info("m", "openai", "", "");
    silent.set_finish_reason("");
    silent.set_finish_reason("cancelled");
    silent.set_finish_reason("");
    recorder.append(silent.finish());

    RoundBuilder streamed;
    streamed.start(2, "execution", "t1");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    streamed.mark_first_token();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    streamed.mark_first_token();  // later marks do not count
    streamed.set_model_info("m", "openai", "resp-1", "stop");
    recorder.append(streamed.finish());

    const json records = file_json()["records"];
    EXPECT_TRUE(records[0]["timing"]["first_token_ms"].is_null());
    EXPECT_EQ(records[0]["phase"], "react");
    EXPECT_FALSE(records[0].contains("task_id"));
    EXPECT_EQ(records[0]["finish_reason"], "cancelled");
    const std::string generated = records[0]["request_id"];
    EXPECT_EQ(generated.size(), 32u);
    EXPECT_EQ(generated.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(records[0]["response"]["message"]["role"], "assistant");
    EXPECT_EQ(records[0]["request"]["tools"], json::array());

    EXPECT_EQ(records[1]["phase"], "execution");
    EXPECT_EQ(records[1]["task_id"], "t1");
    EXPECT_EQ(records[1]["request_id"], "resp-1");
    const std::int64_t first = records[1]["timing"]["first_token_ms"];
    const std::int64_t total = records[1]["timing"]["total_ms"];
    EXPECT_GE(first, 5);
    EXPECT_GE(total, first + 5);
    EXPECT_GT(records[1]["timing"]["started_at_ms"].get<std::int64_t>(), 0);

    const json timings = file_json()["turn_timings"];
    ASSERT_EQ(timings.size(), 1u);
    EXPECT_EQ(timings[0]["first_token_ms"], first);  // the first record that has one
}

TEST_F(InteractionRecorderTest, ToolArgumentsAppearParsedWhenTheyAreJson) {
    struct Case {
        std::string arguments;
        json expected;
    };
    const std::vector<Case> cases = {
        {R"({"path":"a.txt","n":2})", json{{"path", "a.txt"}, {"n", 2}}},
        {"[1, 2]", json{1, 2}},
        {"not json {", json("not json {")},
        {"", json("")},
        {R"({"unterminated": )", json(R"({"unterminated": )")},
    };
    recorder.open("s1", dir.str());
    recorder.begin_turn(1, "x");
    RoundBuilder round;
    round.start(1, "react", "");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        round.add_tool_execution("c" + std::to_string(i), "tool", cases[i].arguments, R"({"success":true})", true,
                                 3, 1700000000000);
    }
    recorder.append(round.finish());
    const json executions = file_json()["records"][0]["tool_executions"];
    ASSERT_EQ(executions.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].arguments);
        EXPECT_EQ(executions[i]["arguments"], cases[i].expected);
        EXPECT_FALSE(executions[i].contains("model_result"));
    }

    // Reloaded, arguments come back as text that parses to the same value.
    recorder.close();
    InteractionRecorder reopened;
    reopened.open("s1", dir.str());
    EXPECT_EQ(file_json()["records"][0]["tool_executions"], executions);
}

TEST_F(InteractionRecorderTest, ReopeningRestoresTheTurnAndTheNextTurnCarriesItsInput) {
    recorder.open("s1", dir.str());
    for (int turn = 1; turn <= 4; ++turn) {
        recorder.begin_turn(turn, "turn " + std::to_string(turn));
        recorder.append(record(0, 1, usage(turn, 1), "r" + std::to_string(turn)));
    }
    recorder.close();
    EXPECT_FALSE(recorder.enabled());

    InteractionRecorder reopened;
    reopened.open("s1", dir.str());
    EXPECT_EQ(reopened.record_count(), 4u);
    EXPECT_EQ(reopened.last_user_turn_index(), 4);
    const TokenUsage total = reopened.session_usage();
    EXPECT_EQ(total.prompt_tokens, 10);
    EXPECT_EQ(total.completion_tokens, 4);
    EXPECT_FALSE(total.estimated);
    // The loaded records are not the current turn's.
    InteractionRecord plain = record(0, 1, usage(1, 1), "r5");
    reopened.append(plain);
    EXPECT_FALSE(file_json()["records"][4].contains("user_input"));

    reopened.begin_turn(5, "fifth");
    plain.record_id = "r6";
    reopened.append(plain);
    plain.record_id = "r7";
    reopened.append(plain);
    const json records = file_json()["records"];
    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(records[0]["user_input"], "turn 1");
    EXPECT_EQ(records[5]["user_input"], "fifth");
    EXPECT_EQ(records[5]["user_turn_index"], 5);
    EXPECT_FALSE(records[6].contains("user_input"));
    EXPECT_EQ(reopened.usage_since(5).prompt_tokens, 2);
}

TEST_F(InteractionRecorderTest, AFileThatCannotBeReadAsRecordsIsLeftAloneUntilTheNextAppend) {
    const std::vector<std::string> contents = {
        "{ not json",
        "",
        R"({"records":[{"round":"one"}]})",
        R"({"records":[{"request":{"messages":{"role":"user"}}}]})",
        R"({"records":[{"response":{"success":"yes"}}]})",
        R"({"records":[{"tool_executions":[{"duration_ms":[1]}]}]})",
        R"({"records":[{"round_usage":{"estimated":"no"}}]})",
        std::string(300, '[') + std::string(300, ']'),
    };
    for (const auto& content : contents) {
        SCOPED_TRACE(content.substr(0, 60));
        write_file(file(), content);
        InteractionRecorder damaged;
        damaged.open("s1", dir.str());
        EXPECT_EQ(read_file(file()), content);
        EXPECT_EQ(damaged.record_count(), 0u);
        EXPECT_EQ(damaged.last_user_turn_index(), 0);
        damaged.flush();  // an explicit flush writes what it has
        damaged.append(record(1, 1, usage(1, 1), "new"));
        const json root = file_json();
        EXPECT_EQ(root["record_count"], 1);
        EXPECT_EQ(root["records"][0]["record_id"], "new");
    }
}

TEST_F(InteractionRecorderTest, ADisabledRecorderKeepsNothing) {
    recorder.close();
    recorder.set_session_only("s1");
    EXPECT_EQ(recorder.session_id(), "s1");
    recorder.begin_turn(1, "x");
    recorder.append(record(1, 1, usage(3, 4), "a"));
    EXPECT_FALSE(recorder.flush());
    EXPECT_EQ(recorder.record_count(), 0u);
    EXPECT_FALSE(has_usage(recorder.usage_since(0)));
    EXPECT_TRUE(recorder.file_path().empty());
    EXPECT_FALSE(std::filesystem::exists(file()));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(InteractionRecorderTest, SwitchingSessionsWritesTheOldFileFirst) {
    recorder.open("s1", dir.str());
    recorder.begin_turn(1, "x");
    recorder.append(record(1, 1, usage(1, 1), "a"));
    std::filesystem::remove(file());
    recorder.open("s2", dir.str());
    EXPECT_EQ(file_json("s1")["record_count"], 1);
    EXPECT_EQ(file_json("s2")["record_count"], 0);
    EXPECT_EQ(recorder.last_user_turn_index(), 0);
}

// The file assembled from cached pieces is exactly the whole object serialised
// at once, after every append of a varied session and after reopening it.
TEST_F(InteractionRecorderTest, FileIsByteIdenticalToSerialisingTheWholeObject) {
    std::vector<InteractionRecord> expected;
    recorder.open("s1", dir.str());
    EXPECT_EQ(read_file(file()), whole_file("s1", expected));
    auto add = [&](InteractionRecord r) {
        recorder.append(r);
        r.messages.front().images.clear();
        expected.push_back(std::move(r));
        ASSERT_EQ(read_file(file()), whole_file("s1", expected)) << "after record " << expected.size();
    };

    recorder.begin_turn(1, "第一轮 🚀");
    InteractionRecord first = record(1, 1, usage(100, 20, 64), "a");
    first.user_input = "第一轮 🚀";
    first.messages.front().images = {{"https://example.com/a.png", "low"}};  // stripped when appended
    first.message.reasoning_content = "想一想 \"quoted\" \\ back\nslash";
    first.message.tool_calls = {{"c1", "read", R"({"path":"ü.txt"})"}};
    first.tool_executions = {{"c1", "read", R"({"path":"ü.txt"})", "{\"success\":true,\"text\":\"\\u0000\"}", "",
                              true, 12, 1700000001000},
                             {"c2", "bad", "not json", "plain text result", "kept from an old file", false, 0,
                              1700000001001}};
    first.tools = json::array({{{"type", "function"},
                                {"function",
                                 {{"name", "read"},
                                  {"description", "reads"},
                                  {"parameters", {{"type", "object"}, {"properties", json::object()}}}}}}});
    add(first);

    InteractionRecord second = record(1, 2, TokenUsage{}, "b");
    second.first_token_ms = -1;
    second.error = "LLM call failed: boom";
    second.success = false;
    second.finish_reason = "";
    second.message.images = {{"https://example.com/b.png", "high"}};  // the response keeps its images
    add(second);

    // A turn whose records have no start and no usage: no summaries for it.
    InteractionRecord unstarted = record(2, 1, TokenUsage{}, "c");
    unstarted.started_at_ms = 0;
    unstarted.user_input = "second";
    add(unstarted);

    // Orchestrated turn: planning, parallel task rounds, aggregation.
    InteractionRecord planning = record(3, 0, usage(7, 3), "d");
    planning.phase = "planning";
    planning.user_input = "plan this";
    planning.request_id = "";
    planning.backend = "";
    add(planning);
    for (int i = 0; i < 3; ++i) {
        InteractionRecord task = record(3, 1, i == 1 ? TokenUsage{} : usage(5, 5), "t" + std::to_string(i));
        task.phase = "execution";
        task.task_id = "task_" + std::to_string(i);
        task.total_ms = -5;  // a negative total never makes the turn's total negative
        add(task);
    }
    // A late record of an earlier turn updates that turn's summaries.
    add(record(1, 3, usage(1, 1), "late"));
    // Invalid UTF-8 is repaired the same way piecewise as in one piece.
    InteractionRecord broken = record(3, 2, usage(1, 2), "e");
    broken.message.content = "bad \xff\xfe bytes";
    add(broken);

    recorder.close();
    EXPECT_EQ(read_file(file()), whole_file("s1", expected));

    // Reopened and extended: the loaded records are re-serialised from what
    // was read, and the file still matches.
    InteractionRecorder reopened;
    reopened.open("s1", dir.str());
    ASSERT_EQ(reopened.record_count(), expected.size());
    std::vector<InteractionRecord> loaded;
    const json on_disk = file_json();
    for (const auto& element : on_disk["records"]) loaded.push_back(record_from_json(element));
    reopened.begin_turn(4, "after reload");
    InteractionRecord next = record(4, 1, usage(2, 2), "f");
    next.user_input = "after reload";
    reopened.append(next);
    loaded.push_back(next);
    EXPECT_EQ(read_file(file()), whole_file("s1", loaded));
}

TEST_F(InteractionRecorderTest, ARecordTooDeepForTheFileStopsTheWritesButNotTheCounts) {
    recorder.open("s1", dir.str());
    recorder.begin_turn(1, "x");
    recorder.append(record(1, 1, usage(1, 1), "a"));
    const std::string before = read_file(file());

    InteractionRecord deep = record(1, 2, usage(1, 1), "deep");
    json nested = json::array();
    for (int i = 0; i < 260; ++i) nested = json::array({nested});
    deep.tools = nested;
    recorder.append(deep);
    EXPECT_EQ(read_file(file()), before);
    EXPECT_EQ(recorder.record_count(), 2u);
    EXPECT_EQ(recorder.usage_since(0).prompt_tokens, 2);
    // As serialising the whole object would: nothing can be produced.
    EXPECT_FALSE(try_dump_json(record_file_json("s1", {record(1, 1, usage(1, 1), "a"), deep}), 2).has_value());

    // Arguments nested too deep for the file are kept as their text.
    RoundBuilder round;
    round.start(1, "react", "");
    const std::string deep_args = std::string(254, '[') + std::string(254, ']');
    round.add_tool_execution("c", "t", deep_args, "{}", true, 0, 1);
    const json element = record_to_json(round.finish());
    EXPECT_EQ(element["tool_executions"][0]["arguments"], deep_args);
}

TEST(InteractionRecorderConcurrency, AppendsFromSeveralThreadsAllReachTheFile) {
    TempDir dir;
    InteractionRecorder recorder;
    recorder.open("s1", dir.str());
    recorder.begin_turn(1, "parallel");
    constexpr int kThreads = 4;
    constexpr int kEach = 25;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            (void)recorder.record_count();
            (void)recorder.usage_since(0);
            (void)recorder.turn_records();
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                RoundBuilder round;
                round.start(i + 1, "execution", "task_" + std::to_string(t));
                round.set_round_usage(usage(1, 2));
                recorder.append(round.finish());
            }
        });
    }
    for (auto& w : workers) w.join();
    stop.store(true);
    reader.join();

    EXPECT_EQ(recorder.record_count(), static_cast<std::size_t>(kThreads * kEach));
    const json root = json::parse(read_file(dir.path() / "s1.json"));
    ASSERT_EQ(root["records"].size(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_EQ(root["record_count"], kThreads * kEach);
    std::set<std::string> ids;
    int with_input = 0;
    for (const auto& r : root["records"]) {
        ids.insert(r["record_id"].get<std::string>());
        if (r.contains("user_input")) ++with_input;
        EXPECT_EQ(r["session_id"], "s1");
        EXPECT_EQ(r["user_turn_index"], 1);
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_EQ(with_input, 1);
    EXPECT_EQ(root["session_usage"]["total_tokens"], 3 * kThreads * kEach);
    EXPECT_EQ(recorder.turn_records().size(), static_cast<std::size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace vexa
