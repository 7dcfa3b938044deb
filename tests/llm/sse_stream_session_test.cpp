// The stream session fed directly through a performer: line parsing, chunk
// decoding, delta merging, segments, states, and the deviations of real servers.

#include "llm/sse_stream_session.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexa {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Every callback, in order, as one line each.
struct Recorder {
    std::vector<std::string> log;

    StreamCallbacks callbacks(bool with_segments = true) {
        StreamCallbacks cb;
        cb.on_content = [this](const std::string& t) { log.push_back("content:" + t); };
        cb.on_reasoning = [this](const std::string& t) { log.push_back("reasoning:" + t); };
        cb.on_state = [this](LLMState s) { log.push_back("state:" + state_name(s)); };
        cb.on_tool_call = [this](const ToolCall& c) {
            log.push_back("tool:" + c.id + "|" + c.name + "|" + c.arguments);
        };
        if (with_segments) {
            cb.on_segment = [this](SegmentAction a, const std::string& text, const std::string& raw) {
                log.push_back("segment:" + std::to_string(static_cast<int>(a)) + "|" + text + "|" + raw);
            };
        }
        return cb;
    }

    std::vector<std::string> states() const {
        std::vector<std::string> out;
        for (const auto& line : log) {
            if (line.rfind("state:", 0) == 0) out.push_back(line.substr(6));
        }
        return out;
    }
};

HttpResponse ok_response() {
    HttpResponse r;
    r.status_code = 200;
    return r;
}

HttpPerformer feeder(std::vector<std::string> pieces, HttpResponse response = ok_response()) {
    return [pieces = std::move(pieces), response](const HttpDataSink& sink) {
        for (const auto& piece : pieces) sink(piece);
        return response;
    };
}

// The end of a complete stream; a body without it (and without a finish
// reason) is an answer cut short.
const std::string kDone = "data: [DONE]\n\n";

// "data: <json>\n\n" per chunk, then the end of the stream.
std::string sse(const std::vector<std::string>& chunks) {
    std::string out;
    for (const auto& c : chunks) out += "data: " + c + "\n\n";
    return out + kDone;
}

std::string delta(const json& d, const char* finish = nullptr) {
    json choice = {{"index", 0}, {"delta", d}};
    if (finish) choice["finish_reason"] = finish;
    return json{{"choices", json::array({choice})}}.dump();
}

std::string content_delta(const std::string& text) { return delta(json{{"content", text}}); }

std::string tool_delta(const json& element) { return delta(json{{"tool_calls", json::array({element})}}); }

// A comparable picture of a result; generated call ids show as <generated>.
std::string describe(const StreamResult& r) {
    static const std::regex generated("call_[0-9a-f]{24}");
    json calls = json::array();
    for (const auto& c : r.message.tool_calls) {
        calls.push_back(json::array({std::regex_match(c.id, generated) ? "<generated>" : c.id, c.name, c.arguments}));
    }
    json j = {{"ok", r.ok},
              {"error", r.error},
              {"role", role_name(r.message.role)},
              {"content", r.message.content},
              {"reasoning", r.message.reasoning_content ? json(*r.message.reasoning_content) : json(nullptr)},
              {"tool_calls", calls},
              {"usage", usage_to_json(r.usage)},
              {"response_id", r.response_id},
              {"finish_reason", r.finish_reason}};
    return j.dump();
}

std::string tool_summary(const StreamResult& r) {
    static const std::regex generated("call_[0-9a-f]{24}");
    std::string out;
    for (const auto& c : r.message.tool_calls) {
        if (!out.empty()) out += ";";
        out += (std::regex_match(c.id, generated) ? std::string("<generated>") : c.id) + "|" + c.name + "|" +
               c.arguments;
    }
    return out;
}

StreamResult run_body(const std::string& body, Recorder* recorder = nullptr, bool with_segments = true) {
    OpenAISseStreamSession session;
    Recorder local;
    Recorder& rec = recorder ? *recorder : local;
    return session.run(rec.callbacks(with_segments), feeder({body}));
}

// ------------------------------------------------------------ line parsing

TEST(SseStreamSessionTest, LineFormsAndEventFraming) {
    const std::string a = content_delta("a");
    const std::string b = content_delta("b");
    struct Case {
        const char* name;
        std::string body;
        std::string content;
        bool complete = true;  // the stream's end follows the body
    };
    const std::vector<Case> cases = {
        {"LF", "data: " + a + "\n\ndata: " + b + "\n\n", "ab"},
        {"CR LF", "data: " + a + "\r\n\r\ndata: " + b + "\r\n\r\n", "ab"},
        {"CR", "data: " + a + "\r\rdata: " + b + "\r\r", "ab"},
        {"mixed", "data: " + a + "\r\n\rdata: " + b + "\n\r\n", "ab"},
        {"no space after colon", "data:" + a + "\n\n", "a"},
        {"comments and id fields ignored", ": ping\nid: 7\nretry: 10\ndata: " + a + "\n\n: bye\n\n", "a"},
        {"event named message", "event: message\ndata: " + a + "\n\n", "a"},
        {"other event names ignored", "event: ping\ndata: " + a + "\n\ndata: " + b + "\n\n", "b"},
        {"event name does not outlive its event", "event: ping\n\ndata: " + a + "\n\n", "a"},
        {"two data lines joined with LF", "data: {\"choices\":\ndata: [{\"delta\":{\"content\":\"x\"}}]}\n\n", "x"},
        {"DONE ends nothing but the stream", "data: " + a + "\n\ndata: [DONE]\n\ndata: " + b + "\n\n", "ab"},
        // Without its blank line the last event never completes: the answer
        // is cut short, which fails the stream.
        {"final event without blank line dropped", "data: " + a + "\n\ndata: " + b + "\n", "a", false},
        {"final line without terminator dropped", "data: " + a + "\n\ndata: " + b, "a", false},
        {"field without colon", "data\ndata: " + a + "\n\n", "a"},
        {"non-object JSON ignored", "data: 42\n\ndata: [1,2]\n\ndata: " + a + "\n\n", "a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const StreamResult r = run_body(c.complete ? c.body + kDone : c.body);
        EXPECT_EQ(r.ok, c.complete) << r.error;
        if (!c.complete) {
            EXPECT_THAT(r.error, HasSubstr("ended before the answer was complete"));
        }
        EXPECT_EQ(r.message.content, c.content);
    }
}

// --------------------------------------------------- chunk-split invariance

// Text, reasoning (under both field names), segments, a tool call spread over
// many deltas, usage in a final chunk with no choices, LF / CR LF / CR line
// ends (one CR LF pair lands on every possible split), comments, a two-line
// data event and multi-byte characters.
std::string representative_stream() {
    std::string s;
    s += ": keep-alive\n";
    s += "data: {\"id\":\"\",\"object\":\"chat.completion.chunk\",\"choices\":[{\"index\":0,\"delta\":"
         "{\"role\":\"assistant\",\"content\":\"\"},\"finish_reason\":null}]}\n\n";
    s += "data: {\"id\":\"chatcmpl-1\",\"choices\":[{\"index\":0,\"delta\":{\"reasoning_content\":\"Let me "
         "think\"}}]}\r\n\r\n";
    s += "data: {\"id\":\"chatcmpl-2\",\"choices\":[{\"index\":0,\"delta\":{\"reasoning\":\" über\"}}]}\r\r";
    s += "event: message\r\ndata: {\"choices\":[{\"index\":0,\r\ndata: \"delta\":{\"content\":\"Hello, "
         "世界\"}}]}\r\n\n";
    s += "data: " + delta(json{{"x_qorbin_seg_id", "s1"}, {"content", " draft"}}) + "\n\n";
    s += "data: " + delta(json{{"x_qorbin_revoke", {{"seg_id", "s1"}, {"mode", "replace"}}}, {"content", " final"}}) +
         "\n\n";
    s += "data: " + content_delta("! 😀") + "\r\n\r\n";
    s += "data: " + tool_delta(json{{"index", 0}, {"id", "call_abc"}, {"type", "function"},
                                    {"function", {{"name", "get_"}, {"arguments", ""}}}}) + "\n\n";
    s += "data: " + tool_delta(json{{"index", 0}, {"function", {{"name", "weather"}}}}) + "\n\n";
    for (const char* piece : {"{\"ci", "ty\":", "\"Pa", "ris\"", "}"}) {
        s += "data: " + tool_delta(json{{"index", 0}, {"function", {{"arguments", piece}}}}) + "\r";
        s += "\r";
    }
    s += "data: " + delta(json::object(), "tool_calls") + "\n\n";
    s += "data: {\"id\":\"chatcmpl-1\",\"choices\":[],\"usage\":{\"prompt_tokens\":12,\"completion_tokens\":34,"
         "\"total_tokens\":46}}\n\n";
    s += "data: [DONE]\n\n";
    return s;
}

TEST(SseStreamSessionTest, RepresentativeStreamResult) {
    Recorder rec;
    const StreamResult r = run_body(representative_stream(), &rec);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.message.role, MessageRole::assistant);
    EXPECT_EQ(r.message.content, "Hello, 世界 final! 😀");
    EXPECT_EQ(r.message.reasoning_content, std::optional<std::string>("Let me think über"));
    ASSERT_EQ(r.message.tool_calls.size(), 1u);
    EXPECT_EQ(r.message.tool_calls[0].id, "call_abc");
    EXPECT_EQ(r.message.tool_calls[0].name, "get_weather");
    EXPECT_EQ(r.message.tool_calls[0].arguments, "{\"city\":\"Paris\"}");
    EXPECT_EQ(r.usage.prompt_tokens, 12);
    EXPECT_EQ(r.usage.completion_tokens, 34);
    EXPECT_EQ(r.usage.total_tokens, 46);
    EXPECT_EQ(r.response_id, "chatcmpl-1");
    EXPECT_EQ(r.finish_reason, "tool_calls");
    EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:thinking", "reasoning:Let me think", "reasoning: über",
                                     "state:generating", "content:Hello, 世界",
                                     "segment:0| draft|{\"x_qorbin_seg_id\":\"s1\"}",
                                     "segment:1| final|{\"x_qorbin_revoke\":{\"mode\":\"replace\",\"seg_id\":\"s1\"}}",
                                     "content:! 😀", "state:tool_calling",
                                     "tool:call_abc|get_weather|{\"city\":\"Paris\"}", "state:done"));
}

TEST(SseStreamSessionTest, ChunkSplitInvariance) {
    const std::string body = representative_stream();
    Recorder whole_rec;
    const std::string whole = describe(run_body(body, &whole_rec));

    OpenAISseStreamSession session;  // one session for all runs: every run starts clean
    for (std::size_t cut = 0; cut <= body.size(); ++cut) {
        Recorder rec;
        const StreamResult r = session.run(rec.callbacks(), feeder({body.substr(0, cut), body.substr(cut)}));
        ASSERT_EQ(describe(r), whole) << "split at " << cut;
        ASSERT_EQ(rec.log, whole_rec.log) << "split at " << cut;
    }
    // One byte at a time, and three pieces around every CR.
    std::vector<std::string> bytes;
    for (char ch : body) bytes.emplace_back(1, ch);
    Recorder rec;
    EXPECT_EQ(describe(session.run(rec.callbacks(), feeder(bytes))), whole);
    EXPECT_EQ(rec.log, whole_rec.log);
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\r') continue;
        Recorder r3;
        const StreamResult r = session.run(
            r3.callbacks(), feeder({body.substr(0, i), body.substr(i, 1), "", body.substr(i + 1)}));
        ASSERT_EQ(describe(r), whole) << "CR at " << i;
        ASSERT_EQ(r3.log, whole_rec.log) << "CR at " << i;
    }
}

TEST(SseStreamSessionTest, CrLfSplitAcrossChunksIsOneTerminator) {
    // Were the CR and the LF taken as two terminators, the blank line between
    // them would end the event after its first data line.
    Recorder rec;
    OpenAISseStreamSession session;
    const StreamResult r = session.run(
        rec.callbacks(),
        feeder({"data: {\"choices\":[{\"delta\":\r", "\ndata: {\"content\":\"x\"}}]}\r", "\n\r", "\n", kDone}));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.message.content, "x");
}

// ------------------------------------------------------------------ segments

TEST(SseStreamSessionTest, SegmentEvents) {
    const std::string A = content_delta("A");
    auto seg = [](const char* id, const char* text) {
        json d = {{"x_qorbin_seg_id", id}};
        if (text) d["content"] = text;
        return delta(d);
    };
    auto revoke = [](const char* id, const char* mode, const char* text) {
        json d = {{"x_qorbin_revoke", {{"seg_id", id}, {"mode", mode}}}};
        if (text) d["content"] = text;
        return delta(d);
    };
    const std::string reset = delta(json{{"x_qorbin_reset", true}});
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::string content;
        std::string last_segment_event;
    };
    const std::vector<Case> cases = {
        {"replace", {A, seg("s", "B"), revoke("s", "replace", "C")}, "AC",
         "segment:1|C|{\"x_qorbin_revoke\":{\"mode\":\"replace\",\"seg_id\":\"s\"}}"},
        {"delete", {A, seg("s", "B"), revoke("s", "delete", "C")}, "A",
         "segment:1||{\"x_qorbin_revoke\":{\"mode\":\"delete\",\"seg_id\":\"s\"}}"},
        {"replace without content deletes", {A, seg("s", "B"), revoke("s", "replace", nullptr)}, "A",
         "segment:1||{\"x_qorbin_revoke\":{\"mode\":\"delete\",\"seg_id\":\"s\"}}"},
        {"unknown mode deletes", {A, seg("s", "B"), revoke("s", "shrink", "C")}, "A",
         "segment:1||{\"x_qorbin_revoke\":{\"mode\":\"delete\",\"seg_id\":\"s\"}}"},
        {"revoke of an unknown id changes nothing but is reported", {A, revoke("zz", "replace", "C")}, "A",
         "segment:1|C|{\"x_qorbin_revoke\":{\"mode\":\"replace\",\"seg_id\":\"zz\"}}"},
        {"reset then text", {A, seg("s", "B"), reset, content_delta("D")}, "D",
         "segment:2||{\"x_qorbin_reset\":true}"},
        {"segment id sent twice replaces", {A, seg("s", "B"), seg("s", "C")}, "AC",
         "segment:0|C|{\"x_qorbin_seg_id\":\"s\"}"},
        {"later segments shift after a revoke", {seg("s1", "one"), seg("s2", "two"), revoke("s1", "replace", "1"),
                                                 revoke("s2", "replace", "2")},
         "12", "segment:1|2|{\"x_qorbin_revoke\":{\"mode\":\"replace\",\"seg_id\":\"s2\"}}"},
        {"successive deletes shift later segments", {seg("s1", "one"), seg("s2", "two"), revoke("s1", "delete", nullptr),
                                         seg("s3", "3"), revoke("s2", "delete", nullptr)},
         "3", "segment:1||{\"x_qorbin_revoke\":{\"mode\":\"delete\",\"seg_id\":\"s2\"}}"},
        {"empty segment id is plain text", {delta(json{{"x_qorbin_seg_id", ""}, {"content", "P"}})}, "P", ""},
        {"revoke without seg_id is plain text",
         {delta(json{{"x_qorbin_revoke", {{"mode", "delete"}}}, {"content", "Q"}})}, "Q", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder rec;
        const StreamResult r = run_body(sse(c.chunks), &rec);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.message.content, c.content);
        std::string last;
        for (const auto& line : rec.log) {
            if (line.rfind("segment:", 0) == 0) last = line;
        }
        EXPECT_EQ(last, c.last_segment_event);
    }
}

TEST(SseStreamSessionTest, SegmentsWithoutSegmentCallbackGoToContent) {
    Recorder rec;
    const StreamResult r = run_body(sse({delta(json{{"x_qorbin_seg_id", "s"}, {"content", "B"}}),
                                         delta(json{{"x_qorbin_seg_id", "t"}}),
                                         delta(json{{"x_qorbin_revoke", {{"seg_id", "s"}, {"mode", "delete"}}}}),
                                         delta(json{{"x_qorbin_reset", true}})}),
                                    &rec, /*with_segments=*/false);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.message.content, "");
    EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:generating", "content:B", "state:done"));
}

// ---------------------------------------------------------------- tool calls

TEST(SseStreamSessionTest, ToolCallMerging) {
    auto call = [](json index, const char* id, const char* name, const char* args) {
        json e = json::object();
        if (!index.is_null()) e["index"] = index;
        if (id) e["id"] = id;
        json f = json::object();
        if (name) f["name"] = name;
        if (args) f["arguments"] = args;
        if (!f.empty()) e["function"] = f;
        return tool_delta(e);
    };
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::string calls;
    };
    const std::vector<Case> cases = {
        {"pieces join", {call(0, "c1", "get", "{\"a\""), call(0, nullptr, "_x", ":1"), call(0, nullptr, nullptr, "}")},
         "c1|get_x|{\"a\":1}"},
        {"id from whichever chunk carries it", {call(0, nullptr, "f", "{"), call(0, "late", nullptr, "}")},
         "late|f|{}"},
        {"index 1 before index 0 keeps index order",
         {call(1, "c2", "second", "{}"), call(0, "c1", "first", "{}")}, "c1|first|{};c2|second|{}"},
        {"placeholder below the first index dropped", {call(2, "c3", "only", "{}")}, "c3|only|{}"},
        {"missing index is 0", {call(nullptr, "c1", "f", "{}")}, "c1|f|{}"},
        {"boolean and floating indices", {call(true, "c2", "t", "{}"), call(0.9, "c1", "z", "{}")},
         "c1|z|{};c2|t|{}"},
        {"reused index with a new id is a new call",
         {call(0, "a", "one", "{}"), call(0, "b", "two", "{\"x\""), call(0, nullptr, nullptr, ":2}")},
         "a|one|{};b|two|{\"x\":2}"},
        {"whole calls without index kept apart by id",
         {call(nullptr, "a", "one", "{}"), call(nullptr, "b", "two", "{}"), call(nullptr, "c", "three", "{}")},
         "a|one|{};b|two|{};c|three|{}"},
        {"repeated id and name not appended",
         {call(0, "a", "lookup", "{\"q\""), call(0, "a", "lookup", ":1}")}, "a|lookup|{\"q\":1}"},
        {"nameful call without id gets one", {call(0, nullptr, "f", "{}")}, "<generated>|f|{}"},
        {"arguments without id or name are kept as they are", {call(0, nullptr, nullptr, "{}")}, "|" "|{}"},
        {"index 127 accepted", {call(127, "top", "f", "{}")}, "top|f|{}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const StreamResult r = run_body(sse(c.chunks));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(tool_summary(r), c.calls);
    }
    // An index outside 0..127 would be a call beyond the limit: the answer is
    // refused rather than losing that call without a word.
    for (const json& index : {json(-1), json(128), json(1000000000), json(1e300), json(18446744073709551615ull),
                              json(-1e300)}) {
        SCOPED_TRACE(index.dump());
        const StreamResult r = run_body(sse({call(0, "c1", "f", "{}"), call(index, "x", "g", "{}")}));
        EXPECT_FALSE(r.ok);
        EXPECT_THAT(r.error, HasSubstr("a tool-call index lies outside 0..127"));
    }
    {
        SCOPED_TRACE("more distinct calls than the limit under one index");
        std::vector<std::string> chunks;
        for (int i = 0; i <= 128; ++i) chunks.push_back(call(0, ("id" + std::to_string(i)).c_str(), "f", "{}"));
        const StreamResult r = run_body(sse(chunks));
        EXPECT_FALSE(r.ok);
        EXPECT_THAT(r.error, HasSubstr("more than 128 tool calls"));
    }
}

TEST(SseStreamSessionTest, ToolCallsReportedAtFinish) {
    const std::string c1 = tool_delta(json{{"index", 0}, {"id", "c1"}, {"function", {{"name", "f"}, {"arguments", "{}"}}}});
    const std::string placeholder_maker =
        tool_delta(json{{"index", 2}, {"function", {{"name", "g"}, {"arguments", "{\"k\":1}"}}}});
    {
        SCOPED_TRACE("placeholders skipped, generated id reported and kept");
        Recorder rec;
        const StreamResult r = run_body(sse({c1, placeholder_maker, delta(json::object(), "tool_calls")}), &rec);
        ASSERT_TRUE(r.ok);
        ASSERT_EQ(r.message.tool_calls.size(), 2u);
        const std::string generated = r.message.tool_calls[1].id;
        EXPECT_TRUE(std::regex_match(generated, std::regex("call_[0-9a-f]{24}"))) << generated;
        EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:tool_calling", "tool:c1|f|{}",
                                         "tool:" + generated + "|g|{\"k\":1}", "state:done"));
    }
    {
        SCOPED_TRACE("finish twice reports twice");
        Recorder rec;
        run_body(sse({c1, delta(json::object(), "tool_calls"), delta(json::object(), "tool_calls")}), &rec);
        EXPECT_EQ(std::count(rec.log.begin(), rec.log.end(), "tool:c1|f|{}"), 2);
    }
    {
        SCOPED_TRACE("other finish reasons report none");
        Recorder rec;
        const StreamResult r = run_body(sse({c1, delta(json::object(), "stop")}), &rec);
        EXPECT_EQ(std::count(rec.log.begin(), rec.log.end(), "tool:c1|f|{}"), 0);
        EXPECT_EQ(r.finish_reason, "stop");
        EXPECT_EQ(r.message.tool_calls.size(), 1u);
    }
}

// --------------------------------------------------------------- real servers

TEST(SseStreamSessionTest, ErrorsInsideASuccessfulStream) {
    const std::string before = "data: " + content_delta("partial") + "\n\n";
    const std::string after = "data: " + content_delta(" more") + "\n\n";
    struct Case {
        const char* name;
        std::string failing_part;
        std::string error;  // exact, or a prefix when ending in "*"
    };
    const std::vector<Case> cases = {
        {"top-level error member", "data: {\"error\":{\"message\":\"overloaded\",\"type\":\"server_error\"}}\n\n",
         "Stream error: overloaded"},
        {"error member without message", "data: {\"error\":{\"code\":500}}\n\n",
         "Stream error: {\"error\":{\"code\":500}}"},
        {"error member as text", "data: {\"error\":\"quota\"}\n\n", "Stream error: {\"error\":\"quota\"}"},
        {"event named error", "event: error\ndata: {\"error\":{\"message\":\"rate limited\"}}\n\n",
         "Stream error: rate limited"},
        {"event named error with text", "event: error\ndata: upstream gone\n\n", "Stream error: upstream gone"},
        {"error field line", "error: {\"message\":\"context too long\"}\n\n", "Stream error: context too long"},
        {"error field line with wrapped error", "error: {\"error\":{\"message\":\"bad\"}}\n",
         "Stream error: bad"},
        {"finish reason error",
         "data: {\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"error\"}]}\n\n",
         "Stream error: {\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"error\"}]}"},
        {"finish reason error with message",
         "data: {\"choices\":[{\"delta\":{},\"finish_reason\":\"error\",\"error\":{\"message\":\"cut\"}}]}\n\n",
         "Stream error: cut"},
        {"invalid JSON", "data: {\"choices\": [\n\n", "Stream error: [json.exception.parse_error.101]*"},
        {"content of the wrong type", "data: {\"choices\":[{\"delta\":{\"content\":5}}]}\n\n",
         "Stream error: [json.exception.type_error.302] type must be string, but is number"},
        {"finish reason of the wrong type", "data: {\"choices\":[{\"delta\":{},\"finish_reason\":7}]}\n\n",
         "Stream error: [json.exception.type_error.302] type must be string, but is number"},
        {"choice index of the wrong type", "data: {\"choices\":[{\"index\":\"0\",\"delta\":{}}]}\n\n",
         "Stream error: [json.exception.type_error.302] type must be number, but is string"},
        {"tool-call index of the wrong type",
         "data: {\"choices\":[{\"delta\":{\"tool_calls\":[{\"index\":[0],\"id\":\"a\"}]}}]}\n\n",
         "Stream error: [json.exception.type_error.302] type must be number, but is array"},
        {"usage estimated of the wrong type", "data: {\"choices\":[],\"usage\":{\"estimated\":1}}\n\n",
         "Stream error: [json.exception.type_error.302]*"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder rec;
        StreamResult r;
        ASSERT_NO_THROW(r = run_body(before + c.failing_part + after, &rec));
        EXPECT_FALSE(r.ok);
        if (c.error.back() == '*') {
            EXPECT_THAT(r.error, StartsWith(c.error.substr(0, c.error.size() - 1)));
        } else {
            EXPECT_EQ(r.error, c.error);
        }
        // What came before stays delivered; nothing after the error is taken.
        EXPECT_EQ(r.message.content, "partial");
        EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:generating", "content:partial", "state:error"));
        EXPECT_TRUE(r.finish_reason.empty());
        EXPECT_EQ(r.usage.prompt_tokens, -1);
    }
}

TEST(SseStreamSessionTest, StopsReadingOnceFailed) {
    OpenAISseStreamSession session;
    Recorder rec;
    bool stopped_after_error = false;
    const StreamResult r = session.run(rec.callbacks(), [&](const HttpDataSink& sink) {
        sink("data: {\"error\":{\"message\":\"x\"}}\n\n");
        stopped_after_error = session.stopped();
        sink("data: " + content_delta("ignored") + "\n\n");
        return ok_response();
    });
    EXPECT_TRUE(stopped_after_error);
    EXPECT_EQ(r.error, "Stream error: x");
    EXPECT_EQ(r.message.content, "");
}

TEST(SseStreamSessionTest, ServerVariantsAccepted) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::string content;
        std::optional<std::string> reasoning;
        int prompt_tokens;
        std::string response_id;
    };
    const std::vector<Case> cases = {
        {"reasoning field name",
         {R"({"choices":[{"delta":{"reasoning":"why"}}]})", R"({"choices":[{"delta":{"content":"ok"}}]})"}, "ok",
         "why", -1, ""},
        {"reasoning_content wins over reasoning",
         {R"({"choices":[{"delta":{"reasoning_content":"rc","reasoning":"r"}}]})"}, "", "rc", -1, ""},
        {"non-string reasoning ignored", {R"({"choices":[{"delta":{"reasoning":{"summary":"s"},"content":"c"}}]})"},
         "c", std::nullopt, -1, ""},
        {"usage inside the first choice",
         {R"({"choices":[{"delta":{"content":"x"},"usage":{"prompt_tokens":3,"completion_tokens":4}}]})"}, "x",
         std::nullopt, 3, ""},
        {"top-level usage preferred",
         {R"({"choices":[{"delta":{},"usage":{"prompt_tokens":3}}],"usage":{"prompt_tokens":9}})"}, "",
         std::nullopt, 9, ""},
        {"null usage in every chunk", {R"({"choices":[{"delta":{"content":"x"}}],"usage":null})"}, "x",
         std::nullopt, -1, ""},
        {"unknown members ignored",
         {R"({"id":"r1","created":1,"model":"m","system_fingerprint":"fp","obfuscation":"zz","timings":{"a":1},)"
          R"("prompt_filter_results":[{"x":1}],"choices":[{"index":0,"logprobs":null,"content_filter_results":{},)"
          R"("delta":{"content":"x","refusal":null,"annotations":[]},"finish_reason":null}],"error":null})"},
         "x", std::nullopt, -1, "r1"},
        {"choices without delta", {R"({"choices":[{"index":0,"finish_reason":null}]})", R"({"choices":[{}]})",
                                   R"({"choices":[7]})", R"({"choices":[{"delta":{"content":"y"}}]})"},
         "y", std::nullopt, -1, ""},
        {"empty id not taken", {R"({"id":"","choices":[]})", R"({"id":"r2","choices":[]})"}, "", std::nullopt, -1,
         "r2"},
        {"null content and reasoning", {R"({"choices":[{"delta":{"content":null,"reasoning_content":null}}]})"}, "",
         std::nullopt, -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const StreamResult r = run_body(sse(c.chunks));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.message.content, c.content);
        EXPECT_EQ(r.message.reasoning_content, c.reasoning);
        EXPECT_EQ(r.usage.prompt_tokens, c.prompt_tokens);
        EXPECT_EQ(r.response_id, c.response_id);
    }
}

// -------------------------------------------------------------- states, HTTP

TEST(SseStreamSessionTest, StatesAlternateAndRepeatOnlyOnChange) {
    Recorder rec;
    run_body(sse({delta(json{{"reasoning_content", "r1"}}), delta(json{{"reasoning_content", "r2"}}),
                  content_delta("c1"), delta(json{{"reasoning_content", "r3"}, {"content", "c2"}})}),
             &rec);
    EXPECT_THAT(rec.states(), ElementsAre("waiting", "thinking", "generating", "thinking", "generating", "done"));
}

TEST(SseStreamSessionTest, HttpFailures) {
    {
        SCOPED_TRACE("401 from the transport: no content callback");
        HttpResponse unauthorized;
        unauthorized.status_code = 401;
        unauthorized.error = "HTTP 401: {\"error\":\"bad key\"}";
        Recorder rec;
        OpenAISseStreamSession session;
        const StreamResult r = session.run(rec.callbacks(), feeder({}, unauthorized));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "HTTP 401: {\"error\":\"bad key\"}");
        EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:error"));
    }
    {
        SCOPED_TRACE("non-2xx without transport error");
        HttpResponse failed;
        failed.status_code = 503;
        failed.body = "busy";
        OpenAISseStreamSession session;
        Recorder rec;
        EXPECT_EQ(session.run(rec.callbacks(), feeder({}, failed)).error, "HTTP error: 503 - busy");
        failed.body.clear();
        EXPECT_EQ(session.run(rec.callbacks(), feeder({}, failed)).error, "HTTP error: 503");
    }
    {
        SCOPED_TRACE("transport failure mid-body keeps what was streamed");
        HttpResponse broken = ok_response();
        broken.error = "Request cancelled";
        Recorder rec;
        OpenAISseStreamSession session;
        const StreamResult r = session.run(
            rec.callbacks(),
            feeder({sse({content_delta("part"), R"({"id":"r","choices":[],"usage":{"prompt_tokens":1}})"})}, broken));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "Request cancelled");
        EXPECT_EQ(r.message.content, "part");
        EXPECT_EQ(r.usage.prompt_tokens, -1);
        EXPECT_TRUE(r.response_id.empty());
        EXPECT_THAT(rec.states(), ElementsAre("waiting", "generating", "error"));
    }
}

TEST(SseStreamSessionTest, CallbackExceptionLeavesRunNotTheTransport) {
    OpenAISseStreamSession session;
    StreamCallbacks cb;
    int contents = 0;
    cb.on_content = [&](const std::string&) {
        ++contents;
        throw std::runtime_error("host failed");
    };
    bool sink_threw = false;
    EXPECT_THROW(
        {
            try {
                session.run(cb, [&](const HttpDataSink& sink) {
                    try {
                        sink(sse({content_delta("a"), content_delta("b")}));
                        sink(sse({content_delta("c")}));
                    } catch (...) {
                        sink_threw = true;
                    }
                    return ok_response();
                });
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "host failed");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_FALSE(sink_threw);
    EXPECT_EQ(contents, 1);

    // The session is usable afterwards.
    Recorder rec;
    const StreamResult r = session.run(rec.callbacks(), feeder({sse({content_delta("ok")})}));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.message.content, "ok");
}

TEST(SseStreamSessionTest, EachRunStartsClean) {
    OpenAISseStreamSession session;
    Recorder rec;
    // Leaves a partial line, an open event, a segment and a tool call behind.
    session.run(rec.callbacks(), feeder({sse({delta(json{{"x_qorbin_seg_id", "s"}, {"content", "old"}}),
                                              tool_delta(json{{"index", 0}, {"id", "a"}})}) +
                                         "data: {\"choices\":[]}\ndata: {\"cho"}));
    const StreamResult r = session.run(
        rec.callbacks(), feeder({sse({delta(json{{"x_qorbin_revoke", {{"seg_id", "s"}, {"mode", "delete"}}}}),
                                      tool_delta(json{{"index", 0}, {"id", "b"}, {"function", {{"name", "f"}}}})})}));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.message.content, "");
    EXPECT_EQ(tool_summary(r), "b|f|");
}

TEST(SseStreamSessionTest, ParseStreamChunkDecodesMembers) {
    const json chunk = json::parse(R"({
        "id": "c1", "object": "chat.completion.chunk",
        "choices": [
            {"index": 2, "finish_reason": "stop", "delta": {
                "role": "assistant", "content": "hi", "reasoning_content": "r",
                "x_qorbin_seg_id": "s", "x_qorbin_revoke": {"seg_id": "s0", "mode": "replace"},
                "x_qorbin_reset": true,
                "tool_calls": [{"index": 1, "id": "t", "function": {"name": "n", "arguments": "{}"}}, {"index": -4}]}},
            "not an object"
        ],
        "usage": {"input_tokens": 5, "output_tokens": 6}})");
    const ChatCompletionChunk c = parse_stream_chunk(chunk);
    EXPECT_EQ(c.id, "c1");
    EXPECT_EQ(c.object, "chat.completion.chunk");
    ASSERT_EQ(c.choices.size(), 2u);
    const ChunkChoice& first = c.choices[0];
    EXPECT_EQ(first.index, 2);
    EXPECT_EQ(first.finish_reason, std::optional<std::string>("stop"));
    EXPECT_EQ(first.delta.role, std::optional<std::string>("assistant"));
    EXPECT_EQ(first.delta.content, std::optional<std::string>("hi"));
    EXPECT_EQ(first.delta.reasoning_content, std::optional<std::string>("r"));
    EXPECT_EQ(first.delta.x_qorbin_seg_id, std::optional<std::string>("s"));
    ASSERT_TRUE(first.delta.x_qorbin_revoke);
    EXPECT_EQ(first.delta.x_qorbin_revoke->seg_id, "s0");
    EXPECT_EQ(first.delta.x_qorbin_revoke->mode, "replace");
    EXPECT_TRUE(first.delta.x_qorbin_reset);
    ASSERT_EQ(first.delta.tool_calls.size(), 2u);
    EXPECT_EQ(first.delta.tool_calls[0].id, "t");
    EXPECT_EQ(first.delta.tool_calls[0].name, "n");
    EXPECT_EQ(first.delta.tool_calls[0].arguments, "{}");
    EXPECT_THAT(first.delta.tool_call_indices, ElementsAre(1, -1));
    EXPECT_EQ(c.choices[1].index, 0);
    EXPECT_FALSE(c.choices[1].delta.content);
    EXPECT_EQ(c.usage.prompt_tokens, 5);
    EXPECT_EQ(c.usage.completion_tokens, 6);
    EXPECT_EQ(c.usage.total_tokens, 11);
    // The source document is left intact.
    EXPECT_EQ(chunk["choices"][0]["delta"]["content"], "hi");
}

// The session decodes each event from its text; parse_stream_chunk decodes a
// document. Both must read every chunk alike.
TEST(SseStreamSessionTest, TextAndDocumentDecodingAgree) {
    auto picture = [](const ChatCompletionChunk& c) {
        json choices = json::array();
        for (const auto& ch : c.choices) {
            const auto& d = ch.delta;
            auto opt = [](const std::optional<std::string>& v) { return v ? json(*v) : json(nullptr); };
            json calls = json::array();
            for (std::size_t i = 0; i < d.tool_calls.size(); ++i) {
                calls.push_back({d.tool_calls[i].id, d.tool_calls[i].name, d.tool_calls[i].arguments,
                                 d.tool_call_indices[i]});
            }
            choices.push_back({ch.index, opt(ch.finish_reason), opt(d.role), opt(d.content), opt(d.reasoning_content),
                               opt(d.x_qorbin_seg_id),
                               d.x_qorbin_revoke ? json({d.x_qorbin_revoke->seg_id, d.x_qorbin_revoke->mode})
                                                 : json(nullptr),
                               d.x_qorbin_reset, calls});
        }
        return json({c.id, c.object, choices, usage_to_json(c.usage)}).dump();
    };
    auto outcome = [&](auto&& decode) {
        try {
            return picture(decode());
        } catch (const json::exception& e) {
            return std::string("throws: ") + e.what();
        }
    };
    const std::vector<std::string> corpus = {
        R"({"id":"a","object":"o","created":1,"choices":[{"index":3,"delta":{"role":"assistant","content":"x"},"finish_reason":null}]})",
        R"({"choices":[{"delta":{"reasoning":"r"}},{"delta":{"reasoning_content":"","reasoning":"r2"}}]})",
        R"({"choices":[{"delta":{"x_qorbin_seg_id":"s","content":"t","x_qorbin_reset":false}}]})",
        R"({"choices":[{"delta":{"x_qorbin_revoke":{"seg_id":"s","mode":"replace","extra":[1]},"content":"c"}}]})",
        R"({"choices":[{"delta":{"x_qorbin_revoke":{"mode":"delete"},"x_qorbin_seg_id":"","x_qorbin_reset":"yes"}}]})",
        R"({"choices":[{"delta":{"tool_calls":[{"index":1,"id":"t","function":{"name":"n","arguments":"{}"}},{"index":-3},7,[1],{"index":2.9,"function":"bad"}]}}]})",
        R"({"choices":[{"delta":{"tool_calls":{"index":0}}}],"usage":{"prompt_tokens":2,"completion_tokens":3,"prompt_tokens_details":{"cached_tokens":1}}})",
        R"({"choices":[{"delta":{},"usage":{"input_tokens":4,"output_tokens":1}}]})",
        R"({"choices":[],"usage":null})",
        R"({"choices":"none","id":5,"object":null})",
        R"({"choices":[{"index":true,"delta":[1,2]},{"index":1e300},{"index":-1e300},{"index":18446744073709551615}]})",
        R"({"choices":[{"delta":{"content":{"text":"x"}}}]})",
        R"({"choices":[{"finish_reason":["stop"]}]})",
        R"({"choices":[{"index":null}]})",
        R"({"choices":[{"delta":{"tool_calls":[{"index":"1"}]}}]})",
        R"({"choices":[],"usage":{"estimated":"no"}})",
        R"([{"choices":[{"delta":{"content":"x"}}]}])",
        R"("text")",
        R"({"deep":[[[[{"choices":[]}]]]],"choices":[{"delta":{"content":"ok","unknown":{"a":{"b":[1,{"c":null}]}}}}]})",
    };
    for (const std::string& text : corpus) {
        SCOPED_TRACE(text);
        EXPECT_EQ(outcome([&] { return parse_stream_chunk_text(text); }),
                  outcome([&] { return parse_stream_chunk(json::parse(text)); }));
    }
    EXPECT_THROW(parse_stream_chunk_text("{\"choices\":"), json::parse_error);
}

TEST(SseStreamSessionTest, DeeplyNestedValuesCostNoStack) {
    const std::size_t depth = 200000;
    const std::string deep = std::string(depth, '[') + std::string(depth, ']');
    const std::string body = "data: {\"unknown\":" + deep + ",\"choices\":[{\"delta\":{\"content\":\"a\"}}]}\n\n" +
                             "data: {\"choices\":[],\"usage\":{\"prompt_tokens\":1,\"nested\":" + deep + "}}\n\n" +
                             "data: {\"choices\":[{\"delta\":{\"tool_calls\":[{\"index\":0,\"function\":{\"name\":" +
                             deep + "}}]}}]}\n\n" + kDone;
    const StreamResult r = run_body(body);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.message.content, "a");
    EXPECT_EQ(r.usage.prompt_tokens, 1);
    const ChatCompletionChunk c = parse_stream_chunk(json::parse("{\"choices\":[],\"x\":" + deep + ",\"usage\":{\"a\":" + deep + "}}"));
    EXPECT_TRUE(c.choices.empty());
    const StreamResult error = run_body("data: {\"error\":{\"message\":\"deep\",\"detail\":" + deep + "}}\n\n");
    EXPECT_EQ(error.error, "Stream error: deep");
}

}  // namespace
}  // namespace vexa
