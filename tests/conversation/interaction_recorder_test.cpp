// The interaction recorder and its record file: real files in a temporary
// directory, compared byte for byte with serialising the whole file object.

#include "conversation/interaction_recorder.hpp"

#include "agent/agent_test_util.hpp"
#include "config/json_util.hpp"
#include "support/fs_util.hpp"

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

// What the recorder moved aside for `name`: "<name>.unreadable-<time>[-n]".
std::vector<std::filesystem::path> moved_aside(const std::filesystem::path& dir, const std::string& name) {
    std::vector<std::filesystem::path> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind(name + ".unreadable-", 0) == 0) out.push_back(entry.path());
    }
    return out;
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
    recorder.flush();

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
    recorder.flush();

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
    recorder.flush();
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
    reopened.flush();
    EXPECT_FALSE(file_json()["records"][4].contains("user_input"));

    reopened.begin_turn(5, "fifth");
    plain.record_id = "r6";
    reopened.append(plain);
    plain.record_id = "r7";
    reopened.append(plain);
    reopened.flush();
    const json records = file_json()["records"];
    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(records[0]["user_input"], "turn 1");
    EXPECT_EQ(records[5]["user_input"], "fifth");
    EXPECT_EQ(records[5]["user_turn_index"], 5);
    EXPECT_FALSE(records[6].contains("user_input"));
    EXPECT_EQ(reopened.usage_since(5).prompt_tokens, 2);
}

// Untouched at open and while nothing new is recorded; moved aside, whole,
// before the first write of new records.
TEST_F(InteractionRecorderTest, AFileThatCannotBeReadAsRecordsIsMovedAsideBeforeTheFirstWrite) {
    const std::vector<std::string> contents = {
        "{ not json",
        "",
        R"({"records":[{"round":"one"}]})",
        R"({"records":[{"request":{"messages":{"role":"user"}}}]})",
        R"({"records":[{"response":{"success":"yes"}}]})",
        R"({"records":[{"tool_executions":[{"duration_ms":[1]}]}]})",
        R"({"records":[{"round_usage":{"estimated":"no"}}]})",
        R"({"records":[{"request":{"omitted_messages":"2"}}]})",
        R"({"records":"none"})",
        R"([{"records":[]}])",
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
        EXPECT_TRUE(damaged.flush());  // nothing new to write: still untouched
        EXPECT_EQ(read_file(file()), content);
        damaged.append(record(1, 1, usage(1, 1), "new"));
        EXPECT_TRUE(damaged.flush());
        const json root = file_json();
        EXPECT_EQ(root["record_count"], 1);
        EXPECT_EQ(root["records"][0]["record_id"], "new");
        const auto aside = moved_aside(dir.path(), "s1.json");
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(read_file(aside[0]), content);
        std::filesystem::remove(aside[0]);
    }
}

// Larger than what is read at start: not loaded, and kept whole aside.
TEST_F(InteractionRecorderTest, AFileTooLargeToLoadIsMovedAsideBeforeTheFirstWrite) {
    std::vector<InteractionRecord> old = {record(1, 1, usage(1, 1), "old")};
    old[0].message.content = std::string(kMaxStartupFileBytes, 'x');
    const std::string content = whole_file("s1", old);
    ASSERT_GT(content.size(), kMaxStartupFileBytes);
    write_file(file(), content);
    recorder.open("s1", dir.str());
    EXPECT_EQ(recorder.record_count(), 0u);
    EXPECT_EQ(read_file(file()).size(), content.size());
    recorder.begin_turn(2, "next");
    recorder.append(record(2, 1, usage(1, 1), "new"));
    EXPECT_TRUE(recorder.flush());
    EXPECT_EQ(file_json()["record_count"], 1);
    const auto aside = moved_aside(dir.path(), "s1.json");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(read_file(aside[0]) == content);
}

// A clock the test moves: appends write only once kWriteInterval has passed
// since the last write; flush, close and destruction write what is left, and
// write nothing when nothing is new.
TEST_F(InteractionRecorderTest, AppendsWriteAtMostEveryIntervalAndFlushWritesTheRest) {
    using namespace std::chrono_literals;
    auto now = std::chrono::steady_clock::time_point{} + 1h;
    std::uint64_t sizes = 0;
    auto on_disk = [&] { return file_json()["record_count"].get<int>(); };
    {
        InteractionRecorder timed([&] { return now; });
        timed.open("s1", dir.str());  // a new file is written at once
        EXPECT_EQ(timed.write_count(), 1u);
        sizes += read_file(file()).size();
        timed.begin_turn(1, "q");
        struct Step {
            std::chrono::milliseconds advance;
            std::size_t writes_after;
            int records_on_disk;
        };
        const std::vector<Step> steps = {
            {0ms, 1, 0},     // right after the open's write
            {1000ms, 1, 0},  // 1 s
            {999ms, 1, 0},   // 1.999 s
            {1ms, 2, 4},     // 2 s: written, all four
            {500ms, 2, 4},   // 0.5 s after that write
            {3000ms, 3, 6},  // long round
        };
        int appended = 0;
        for (const Step& step : steps) {
            SCOPED_TRACE(appended + 1);
            now += step.advance;
            const std::size_t before = timed.write_count();
            ++appended;
            timed.append(record(1, appended, usage(1, 1), "r" + std::to_string(appended)));
            EXPECT_EQ(timed.write_count(), step.writes_after);
            EXPECT_EQ(on_disk(), step.records_on_disk);
            if (timed.write_count() > before) sizes += read_file(file()).size();
        }
        timed.append(record(1, ++appended, usage(1, 1), "r7"));
        EXPECT_EQ(on_disk(), 6);
        EXPECT_TRUE(timed.flush());  // the end of the turn
        EXPECT_EQ(timed.write_count(), 4u);
        EXPECT_EQ(on_disk(), 7);
        sizes += read_file(file()).size();
        EXPECT_TRUE(timed.flush());  // nothing new: no write
        EXPECT_EQ(timed.write_count(), 4u);
        EXPECT_EQ(timed.bytes_written(), sizes);

        timed.append(record(1, ++appended, usage(1, 1), "r8"));
        timed.close();
        EXPECT_EQ(timed.write_count(), 5u);
        EXPECT_EQ(on_disk(), 8);

        timed.open("s1", dir.str());
        timed.begin_turn(2, "q2");
        now += 10s;  // the first record after a pause is written at once
        timed.append(record(2, 1, usage(1, 1), "r9"));
        EXPECT_EQ(on_disk(), 9);
        timed.append(record(2, 2, usage(1, 1), "r10"));
        EXPECT_EQ(on_disk(), 9);
    }
    EXPECT_EQ(on_disk(), 10);  // written when the recorder goes
}

// The compact form: a record leaves out the leading request messages the
// previous record of its turn and task holds; the first record of a turn or
// task, and one whose request starts differently, is whole.
TEST_F(InteractionRecorderTest, CompactRecordsLeaveOutWhatThePreviousRecordOfTheTaskHolds) {
    const ChatMessage sys = message(MessageRole::system, "sys");
    const ChatMessage question = message(MessageRole::user, "hi");
    ChatMessage call = message(MessageRole::assistant, "");
    call.tool_calls = {{"c1", "read", R"({"path":"a"})"}};
    ChatMessage result = message(MessageRole::tool, R"({"success":true})");
    result.tool_call_id = "c1";
    auto with = [](InteractionRecord r, std::vector<ChatMessage> messages, std::string task = "") {
        r.messages = std::move(messages);
        r.task_id = std::move(task);
        return r;
    };
    std::vector<InteractionRecord> whole = {
        with(record(1, 1, usage(1, 1), "a"), {sys, question}),
        with(record(1, 1, usage(1, 1), "t"), {sys, question}, "task_1"),  // another task: whole
        with(record(1, 2, usage(1, 1), "b"), {sys, question, call, result}),
        with(record(1, 3, usage(1, 1), "c"), {message(MessageRole::system, "other"), question}),
        with(record(2, 1, usage(1, 1), "d"), {sys, question, call, result, question}),  // a new turn: whole
        with(record(2, 2, usage(1, 1), "e"), {sys, question, call, result, question, call}),
    };
    whole[0].user_input = "first";
    whole[4].user_input = "second";
    recorder.set_compact(true);
    recorder.open("s1", dir.str());
    recorder.begin_turn(1, "first");
    for (std::size_t i = 0; i < 4; ++i) recorder.append(whole[i]);
    recorder.begin_turn(2, "second");
    for (std::size_t i = 4; i < whole.size(); ++i) recorder.append(whole[i]);
    recorder.close();

    const json records = file_json()["records"];
    ASSERT_EQ(records.size(), whole.size());
    EXPECT_EQ(records[2]["request"],
              (json{{"messages", json::array({message_to_json(call, false), message_to_json(result, false)})},
                    {"omitted_messages", 2},
                    {"system_prompt", "sys"},
                    {"tools", json::array()}}));
    const std::vector<std::size_t> stored = {2, 2, 2, 2, 5, 1};
    const std::vector<int> omitted = {0, 0, 2, 0, 0, 5};
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i]["request"]["messages"].size(), stored[i]);
        EXPECT_EQ(records[i]["request"].value("omitted_messages", 0), omitted[i]);
    }

    // Read back: the records re-serialise to the same bytes, and expanding
    // them gives every whole request again.
    std::vector<InteractionRecord> read;
    for (const auto& element : records) read.push_back(record_from_json(element));
    EXPECT_EQ(read_file(file()), whole_file("s1", read));
    ASSERT_TRUE(expand_compact_requests(read));
    for (std::size_t i = 0; i < read.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(read[i].omitted_messages, 0);
        ASSERT_EQ(read[i].messages.size(), whole[i].messages.size());
        for (std::size_t m = 0; m < read[i].messages.size(); ++m) {
            EXPECT_EQ(message_to_json(read[i].messages[m], false), message_to_json(whole[i].messages[m], false));
        }
    }

    // Loading the compact file: the turn and usage come back, later records
    // extend it byte for byte, in either form.
    InteractionRecorder reopened;
    reopened.open("s1", dir.str());
    EXPECT_EQ(reopened.record_count(), whole.size());
    EXPECT_EQ(reopened.last_user_turn_index(), 2);
    EXPECT_EQ(reopened.session_usage().total_tokens, 2 * static_cast<int>(whole.size()));
    std::vector<InteractionRecord> expected;
    for (const auto& element : records) expected.push_back(record_from_json(element));
    reopened.begin_turn(3, "third");
    InteractionRecord next = with(record(3, 1, usage(1, 1), "f"), {sys, question});
    next.user_input = "third";
    reopened.append(next);
    expected.push_back(next);
    reopened.flush();
    EXPECT_EQ(read_file(file()), whole_file("s1", expected));
}

TEST(InteractionRecordExpansion, ARecordLeavingOutMoreThanItsPredecessorHeldIsReported) {
    InteractionRecord first = record(1, 1, usage(1, 1), "a");
    InteractionRecord second = record(1, 2, usage(1, 1), "b");
    second.omitted_messages = 3;  // the first has two
    InteractionRecord other = record(1, 1, usage(1, 1), "c");
    other.task_id = "task_1";
    other.omitted_messages = 1;  // no predecessor at all
    for (auto records : {std::vector<InteractionRecord>{first, second}, std::vector<InteractionRecord>{other}}) {
        const auto before = records;
        EXPECT_FALSE(expand_compact_requests(records));
        EXPECT_EQ(records.back().messages.size(), before.back().messages.size());  // left as read
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
        recorder.flush();
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
    reopened.flush();
    loaded.push_back(next);
    EXPECT_EQ(read_file(file()), whole_file("s1", loaded));
}

TEST_F(InteractionRecorderTest, ARecordTooDeepForTheFileStopsTheWritesButNotTheCounts) {
    recorder.open("s1", dir.str());
    recorder.begin_turn(1, "x");
    recorder.append(record(1, 1, usage(1, 1), "a"));
    recorder.flush();
    const std::string before = read_file(file());

    InteractionRecord deep = record(1, 2, usage(1, 1), "deep");
    json nested = json::array();
    for (int i = 0; i < 260; ++i) nested = json::array({nested});
    deep.tools = nested;
    recorder.append(deep);
    EXPECT_FALSE(recorder.flush());
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
    recorder.flush();

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
