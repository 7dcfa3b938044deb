// Local output parsing: think tags, tool-call recovery in every written form,
// visible-text clean-up, streaming deltas, and behaviour on hostile inputs
// (unterminated blocks, brackets in strings, multi-byte text, huge inputs).

#include "llm/local/output_parser.hpp"

#include "llm/local/channel_markup_oracle.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <random>

namespace vexa {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kFence = "```";
const std::vector<std::string> kStops = {"<|im_end|>", "<|end|>", "<|return|>"};

struct CallView {
    std::string id;
    std::string name;
    std::string arguments;
    bool operator==(const CallView&) const = default;
};

void PrintTo(const CallView& c, std::ostream* os) { *os << "{" << c.id << ", " << c.name << ", " << c.arguments << "}"; }

std::vector<CallView> view(const std::vector<ToolCall>& calls) {
    std::vector<CallView> out;
    for (const ToolCall& c : calls) out.push_back({c.id, c.name, c.arguments});
    return out;
}

std::string fenced(const std::string& language, const std::string& body) {
    return kFence + language + "\n" + body + "\n" + kFence;
}

// ---- think tags -----------------------------------------------------------

TEST(OutputParserSplitTagged, SplitsVisibleTextAndReasoning) {
    struct Case {
        std::string text, visible, reasoning;
    };
    const std::vector<Case> cases = {
        {"A<think>X</think>B", "AB", "X"},
        {"A<think>X</think>B<think>Y</think>C", "ABC", "X\n\nY"},
        {"A<think>X", "A", ""},
        {"A<think>X</think>B<think>Y", "AB", "X"},
        {"<think>  \n </think>  hi  ", "hi", ""},
        {"<think>\n reason \n</think>\n\nAnswer", "Answer", "reason"},
        {"  plain text \n", "plain text", ""},
        {"</think>A<think>B</think>", "</think>A", "B"},
        {"<think>a<think>b</think>c</think>", "c</think>", "a<think>b"},
        {"你好<think>思考一下</think>世界", "你好世界", "思考一下"},
        {"<think></think>", "", ""},
        {"<thinking>x</thinking>", "<thinking>x</thinking>", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string reasoning;
        EXPECT_EQ(split_tagged(c.text, "think", &reasoning), c.visible);
        EXPECT_EQ(reasoning, c.reasoning);
        EXPECT_EQ(split_tagged(c.text, "think", nullptr), c.visible);
    }
}

TEST(OutputParserSplitTagged, AppendsToExistingReasoningWithBlankLine) {
    std::string reasoning = "earlier";
    EXPECT_EQ(split_tagged("<r>later</r>ok", "r", &reasoning), "ok");
    EXPECT_EQ(reasoning, "earlier\n\nlater");
}

// ---- JSON objects to calls ------------------------------------------------

TEST(OutputParserJsonToToolCall, ReadsEveryCallShape) {
    struct Case {
        std::string json;
        std::size_t position;
        CallView expected;
    };
    const std::vector<Case> cases = {
        {R"({"name":"t","arguments":{"a":1}})", 0, {"local_tool_call_1", "t", R"({"a":1})"}},
        {R"({"name":"t","arguments":{"b":1,"a":[2,{"d":1,"c":0}]}})", 4,
         {"local_tool_call_5", "t", R"({"a":[2,{"c":0,"d":1}],"b":1})"}},
        {R"({"id":"call_9","name":"t"})", 0, {"call_9", "t", "{}"}},
        {R"({"id":"","name":"t"})", 0, {"", "t", "{}"}},
        {R"({"name":"t","arguments":"{\"q\": 2}"})", 0, {"local_tool_call_1", "t", R"({"q": 2})"}},
        {R"({"name":"t","arguments":"not json"})", 0, {"local_tool_call_1", "t", "not json"}},
        {R"({"name":"t","arguments":""})", 0, {"local_tool_call_1", "t", "{}"}},
        {R"({"name":"t","arguments":[1,2]})", 0, {"local_tool_call_1", "t", "[1,2]"}},
        {R"({"name":"t","arguments":null})", 0, {"local_tool_call_1", "t", "null"}},
        {R"({"name":"t","parameters":{"p":true}})", 0, {"local_tool_call_1", "t", R"({"p":true})"}},
        {R"({"name":"t","arguments":{"a":1},"parameters":{"p":1}})", 0, {"local_tool_call_1", "t", R"({"a":1})"}},
        {R"({"type":"function","function":{"name":"f","arguments":"{\"x\":1}"}})", 1,
         {"local_tool_call_2", "f", R"({"x":1})"}},
        {R"({"function":{"name":"f","arguments":{"x":1}},"name":"ignored"})", 0, {"local_tool_call_1", "f", R"({"x":1})"}},
        {R"({"function":{"arguments":{"name":"inner","x":1}}})", 0, {"local_tool_call_1", "inner", R"({"x":1})"}},
        {R"({"function":"f","name":"g"})", 0, {"local_tool_call_1", "g", "{}"}},
        {R"({"arguments":{"name":"search","q":"天气"}})", 0, {"local_tool_call_1", "search", R"({"q":"天气"})"}},
        {R"({"name":"t","arguments":{"name":"kept","q":1}})", 0, {"local_tool_call_1", "t", R"({"name":"kept","q":1})"}},
        {R"({"arguments":{"name":7,"q":1}})", 0, {"local_tool_call_1", "", R"({"name":7,"q":1})"}},
        {R"({"parameters":{"name":"p"}})", 0, {"local_tool_call_1", "p", "{}"}},
        {R"({})", 0, {"local_tool_call_1", "", "{}"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        const ToolCall call = json_to_tool_call(nlohmann::json::parse(c.json), c.position);
        EXPECT_EQ((CallView{call.id, call.name, call.arguments}), c.expected);
    }
}

TEST(OutputParserJsonToToolCall, WrongTypesThrowTypeErrors) {
    for (const char* text : {R"(5)", R"("s")", R"([{"name":"t"}])", R"({"id":1,"name":"t"})", R"({"name":1})",
                             R"({"name":null})", R"({"function":{"name":[1]}})"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(json_to_tool_call(nlohmann::json::parse(text), 0), nlohmann::json::type_error);
    }
}

// ---- JSON texts to calls ---------------------------------------------------

TEST(OutputParserParseJsonToolCalls, AcceptedShapesAndNumbering) {
    struct Case {
        std::string text;
        std::size_t already;  // calls in the list before
        bool ok;
        std::vector<CallView> added;
    };
    const std::vector<Case> cases = {
        {"not json", 0, false, {}},
        {R"({"name":"a")", 0, false, {}},
        {"42", 0, false, {}},
        {R"("text")", 0, false, {}},
        {"null", 0, false, {}},
        {"[]", 0, true, {}},
        {R"([{"name":"a"},{"name":"b","arguments":{"x":1}}])", 0, true,
         {{"local_tool_call_1", "a", "{}"}, {"local_tool_call_2", "b", R"({"x":1})"}}},
        {R"([{"arguments":{}},{"name":"b"}])", 0, true, {{"local_tool_call_2", "b", "{}"}}},
        {R"([{"name":"a"},{"name":"b"}])", 2, true, {{"local_tool_call_3", "a", "{}"}, {"local_tool_call_4", "b", "{}"}}},
        {R"({"tool_calls":[{"function":{"name":"f","arguments":"{}"}}]})", 0, true, {{"local_tool_call_1", "f", "{}"}}},
        {R"({"tool_calls":[]})", 0, true, {}},
        {R"({"tool_calls":"x","name":"n"})", 0, true, {{"local_tool_call_1", "n", "{}"}}},
        {R"({"name":"solo"})", 1, true, {{"local_tool_call_2", "solo", "{}"}}},
        {R"({"data":[1,2,3]})", 0, false, {}},
        {R"([{"name":"a"},5,{"name":"c"}])", 0, false, {{"local_tool_call_1", "a", "{}"}}},
        {R"([{"name":"a"},{"id":3,"name":"b"}])", 0, false, {{"local_tool_call_1", "a", "{}"}}},
        {R"({"name":"a"} trailing)", 0, false, {}},
        {"  {\"name\":\"a\"}\n", 0, true, {{"local_tool_call_1", "a", "{}"}}},
        {"{\"name\":\"a\xff\"}", 0, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<ToolCall> calls(c.already, ToolCall{"old", "old", "{}"});
        EXPECT_EQ(parse_json_tool_calls(c.text, calls), c.ok);
        ASSERT_GE(calls.size(), c.already);
        EXPECT_EQ(view(std::vector<ToolCall>(calls.begin() + static_cast<std::ptrdiff_t>(c.already), calls.end())),
                  c.added);
    }
}

TEST(OutputParserParseJsonToolCalls, TooDeeplyNestedJsonIsNotACall) {
    const int depth = kMaxToolJsonDepth + 10;
    const std::string deep = R"({"name":"t","arguments":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
    std::vector<ToolCall> calls;
    EXPECT_FALSE(parse_json_tool_calls(deep, calls));
    EXPECT_THAT(calls, IsEmpty());

    const std::string shallow = R"({"name":"t","arguments":)" + std::string(50, '[') + std::string(50, ']') + "}";
    EXPECT_TRUE(parse_json_tool_calls(shallow, calls));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].arguments, std::string(50, '[') + std::string(50, ']'));
}

// ---- balanced JSON ----------------------------------------------------------

TEST(OutputParserFindBalancedJson, FindsTheMatchingCloser) {
    struct Case {
        std::string text;
        std::size_t from;
        std::optional<std::pair<std::size_t, std::size_t>> span;
    };
    using Span = std::pair<std::size_t, std::size_t>;
    const std::vector<Case> cases = {
        {R"(x {"a":1} y)", 0, Span{2, 9}},
        {R"({"a":"}"})", 0, Span{0, 9}},
        {R"({"a":"]"})", 0, Span{0, 9}},
        {R"({"a":"\"}"})", 0, Span{0, 11}},
        {R"({"a":"\\"} z)", 0, Span{0, 10}},
        {R"({"a":"\\"}"})", 0, Span{0, 10}},
        {R"([{"a":[1,{"b":2}]}, 3] tail)", 0, Span{0, 22}},
        {R"({1} [2])", 1, Span{4, 7}},
        {R"(call: f{})", 5, Span{7, 9}},
        {"{]", 0, std::nullopt},
        {"[}", 0, std::nullopt},
        {R"({"a":1)", 0, std::nullopt},
        {R"({"a":"})", 0, std::nullopt},
        {"} {}", 0, Span{2, 4}},
        {"abc", 0, std::nullopt},
        {"", 0, std::nullopt},
        {"{}", 2, std::nullopt},
        {"{}", 100, std::nullopt},
        {"中文{\"键\":\"值}\"}尾", 0, Span{6, 20}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text + " from " + std::to_string(c.from));
        const std::optional<JsonSpan> found = find_balanced_json(c.text, c.from);
        ASSERT_EQ(found.has_value(), c.span.has_value());
        if (found) {
            EXPECT_EQ(found->begin, c.span->first);
            EXPECT_EQ(found->end, c.span->second);
        }
    }
}

// ---- one markup block ---------------------------------------------------------

TEST(OutputParserParseToolBlock, JsonAndCallForms) {
    struct Case {
        std::string block;
        std::size_t already;
        bool ok;
        std::vector<CallView> added;
    };
    const std::vector<Case> cases = {
        {R"(call:search({"q":"x"}))", 0, true, {{"local_tool_call_1", "search", R"({"q":"x"})"}}},
        {R"(  CALL: search ( {"q" : "x", "n": 2} ) )", 0, true, {{"local_tool_call_1", "search", R"({"n":2,"q":"x"})"}}},
        {R"(Call:search={"q":1})", 3, true, {{"local_tool_call_4", "search", R"({"q":1})"}}},
        {R"(call:search:( = {"q":1})", 0, true, {{"local_tool_call_1", "search", R"({"q":1})"}}},
        {R"(call:list[1,2])", 0, true, {{"local_tool_call_1", "list", "[1,2]"}}},
        {R"(call:搜索({"词":"天气"}))", 0, true, {{"local_tool_call_1", "搜索", R"({"词":"天气"})"}}},
        {R"(call:({"q":1}))", 0, false, {}},
        {R"(call:search)", 0, false, {}},
        {R"(call:search({"q":1)", 0, false, {}},
        {R"(call:search({bad json}))", 0, false, {}},
        {R"(call:search({"q":"}"}))", 0, true, {{"local_tool_call_1", "search", R"({"q":"}"})"}}},
        {R"({"name":"t","arguments":{"a":1}})", 0, true, {{"local_tool_call_1", "t", R"({"a":1})"}}},
        {R"({"data":1})", 0, false, {}},
        {R"([{"arguments":{}}])", 0, false, {}},
        {"  \n ", 0, false, {}},
        {"hello", 0, false, {}},
        {"cal", 0, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.block);
        std::vector<ToolCall> calls(c.already, ToolCall{"old", "old", "{}"});
        EXPECT_EQ(parse_tool_block(c.block, calls), c.ok);
        EXPECT_EQ(view(std::vector<ToolCall>(calls.begin() + static_cast<std::ptrdiff_t>(c.already), calls.end())),
                  c.added);
    }
}

// ---- extraction -------------------------------------------------------------

TEST(OutputParserExtractToolCalls, EveryConventionInOrder) {
    struct Case {
        std::string label;
        std::string text;
        std::vector<CallView> calls;
    };
    const std::vector<Case> cases = {
        {"tool_call fence", "Let me look.\n" + fenced("tool_call", R"({"name":"t","arguments":{"k":"v"}})"),
         {{"local_tool_call_1", "t", R"({"k":"v"})"}}},
        {"json fence with data", fenced("json", R"({"temperature": 21})"), {}},
        {"json fence with call", fenced("json", R"({"name":"t"})"), {{"local_tool_call_1", "t", "{}"}}},
        {"language case and spaces", kFence + " JSON \r\n" + R"({"name":"t"})" + "\n" + kFence,
         {{"local_tool_call_1", "t", "{}"}}},
        {"other language", fenced("python", R"({"name":"t"})"), {}},
        {"no language", fenced("", R"({"name":"t"})"), {}},
        {"call form in a fence is not read", fenced("tool_call", R"(call:search({"q":1}))"), {}},
        {"array then markup",
         fenced("tool_call", R"([{"name":"a"},{"name":"b"}])") + "\n<tool_call>{\"name\":\"c\"}</tool_call>",
         {{"local_tool_call_1", "a", "{}"}, {"local_tool_call_2", "b", "{}"}, {"local_tool_call_3", "c", "{}"}}},
        {"call form in markup", R"(<tool_call>call:search({"q":"x"})</tool_call>)",
         {{"local_tool_call_1", "search", R"({"q":"x"})"}}},
        {"bar markup", R"(<|tool_call>{"name":"a","arguments":{"x":1}}<tool_call|>)",
         {{"local_tool_call_1", "a", R"({"x":1})"}}},
        {"bar markup before plain markup regardless of position",
         R"(<tool_call>{"name":"second"}</tool_call> <|tool_call>{"name":"first"}<tool_call|>)",
         {{"local_tool_call_1", "first", "{}"}, {"local_tool_call_2", "second", "{}"}}},
        {"two fences", fenced("tool_call", R"({"name":"a"})") + "\n" + fenced("json", R"({"name":"b"})"),
         {{"local_tool_call_1", "a", "{}"}, {"local_tool_call_2", "b", "{}"}}},
        {"data fence then call fence", fenced("json", R"({"x":1})") + fenced("tool_call", R"({"name":"a"})"),
         {{"local_tool_call_1", "a", "{}"}}},
        {"unterminated fence with whole JSON", "x\n" + kFence + "tool_call\n" + R"({"name":"a"})" + "\n",
         {{"local_tool_call_1", "a", "{}"}}},
        {"unterminated fence with partial JSON", kFence + "tool_call\n" + R"({"name":"a","argu)", {}},
        {"fence without LF", kFence + "tool_call " + R"({"name":"a"})", {}},
        {"unclosed markup runs to the end", R"(text <tool_call>{"name":"a"})", {{"local_tool_call_1", "a", "{}"}}},
        {"bare object", R"(  {"name":"a","arguments":{"q":1}} )", {{"local_tool_call_1", "a", R"({"q":1})"}}},
        {"bare array", R"([{"name":"a"},{"name":"b"}])", {{"local_tool_call_1", "a", "{}"}, {"local_tool_call_2", "b", "{}"}}},
        {"bare object with prose after", R"({"name":"a"} done)", {}},
        {"prose before bare object", R"(ok {"name":"a"})", {}},
        {"tool_calls wrapper", R"({"tool_calls":[{"id":"c1","function":{"name":"f","arguments":"{}"}}]})",
         {{"c1", "f", "{}"}}},
        {"braces and escaped quotes in strings",
         fenced("tool_call", R"({"name":"run","arguments":{"code":"if (x) { y(\"}\"); } else [ ]"}})"),
         {{"local_tool_call_1", "run", R"({"code":"if (x) { y(\"}\"); } else [ ]"})"}}},
        {"multi-byte text around markers",
         "我来查一下。" + fenced("tool_call", R"({"name":"搜索","arguments":{"词":"天气"}})") + "好的😀",
         {{"local_tool_call_1", "搜索", R"({"词":"天气"})"}}},
        {"invalid UTF-8 in the body", fenced("tool_call", "{\"name\":\"\xc3\x28\"}"), {}},
        {"name only inside arguments", fenced("tool_call", R"({"arguments":{"name":"t","q":1}})"),
         {{"local_tool_call_1", "t", R"({"q":1})"}}},
        {"plain text", "Hello, how can I help?", {}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(view(extract_tool_calls(c.text)), c.calls);
    }
}

// ---- stripping ----------------------------------------------------------------

TEST(OutputParserStripToolCallBlocks, RemovesOnlyToolCallBlocks) {
    struct Case {
        std::string label;
        std::string text;
        std::string expected;
    };
    const std::string call = R"({"name":"t","arguments":{"a":1}})";
    const std::vector<Case> cases = {
        {"tool_call fence", "Before\n" + fenced("tool_call", call) + "\nAfter", "Before\n\nAfter"},
        {"tool_call fence with garbage", "A " + fenced("tool_call", "garbage") + " B", "A  B"},
        {"json fence with data stays", "Data:\n" + fenced("json", R"({"x":1})"), "Data:\n" + fenced("json", R"({"x":1})")},
        {"json fence with call goes", "Calling\n" + fenced("json", call), "Calling"},
        {"other fence stays", fenced("python", "print(1)"), fenced("python", "print(1)")},
        {"fence being opened", "Text " + kFence, "Text"},
        {"language being written", "Text " + kFence + "tool", "Text"},
        {"json being written", "Text " + kFence + "JS", "Text"},
        {"other language without LF stays", "Text " + kFence + "py", "Text " + kFence + "py"},
        {"unterminated tool fence", "Text " + kFence + "json\n{\"na", "Text"},
        {"unterminated other fence stays", "Text " + kFence + "python\nprint(1)", "Text " + kFence + "python\nprint(1)"},
        {"markup with call", "a<tool_call>" + call + "</tool_call>b", "ab"},
        {"bar markup with call form", R"(a<|tool_call>call:f({})<tool_call|>b)", "ab"},
        {"markup without a call stays", "a<tool_call>not a call</tool_call>b", "a<tool_call>not a call</tool_call>b"},
        {"unclosed markup hides the rest", "a <tool_call>{\"name\":", "a"},
        {"unclosed markup without a call also hides", "a <|tool_call>hello", "a"},
        {"two blocks", "x" + fenced("tool_call", call) + "y<tool_call>" + call + "</tool_call>z", "xyz"},
        {"multi-byte around", "前" + fenced("tool_call", call) + "后", "前后"},
        {"plain", "  just text  ", "just text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(strip_tool_call_blocks(c.text), c.expected);
    }
}

// ---- clean-up steps -----------------------------------------------------------------

TEST(OutputParserPartialMarkerSuffix, RemovesTheLongestStartedMarker) {
    struct Case {
        std::string text;
        std::vector<std::string> markers;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"abc``", {kFence + "tool_call"}, "abc"},
        {"abc`", {kFence + "json"}, "abc"},
        {"abc" + kFence + "tool_c", {kFence + "json", kFence + "tool_call"}, "abc"},
        {"abc" + kFence + "tool_call", {kFence + "tool_call"}, "abc"},
        {"abc" + kFence + "tool_calls", {kFence + "tool_call"}, "abc" + kFence + "tool_calls"},
        {"abc<|im_", {"<|im_end|>"}, "abc"},
        {"abc<|im_end|>", {"<|im_end|>"}, "abc"},
        {"abc<", {"<|im_end|>", "<|end|>"}, "abc"},
        {"abc<|e", {"<|im_end|>", "<|end|>"}, "abc"},
        {"abc", {}, "abc"},
        {"abc", {""}, "abc"},
        {"", {"x"}, ""},
        {"ab", {"abab"}, ""},
        {"xaba", {"abab"}, "x"},
        {"aaab", {"aab"}, "a"},
        {"xaab", {"aaab"}, "xaab"},
        {"xaaa", {"aaab"}, "x"},
        {"好\xe3\x80", {"。"}, "好"},
        {"a<|im_end|>b", {"<|im_end|>"}, "a<|im_end|>b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(remove_partial_marker_suffix(c.text, c.markers), c.expected);
    }
}

// The straightforward quadratic reading: longest i whose tail equals a marker's
// head.
std::string naive_partial_suffix(const std::string& text, const std::vector<std::string>& markers) {
    std::size_t best = 0;
    for (const std::string& m : markers) {
        for (std::size_t i = 1; i <= std::min(text.size(), m.size()); ++i) {
            if (text.compare(text.size() - i, i, m, 0, i) == 0) best = std::max(best, i);
        }
    }
    return text.substr(0, text.size() - best);
}

TEST(OutputParserPartialMarkerSuffix, AgreesWithTheDirectDefinitionOnRandomTexts) {
    std::mt19937 rng(7);
    auto random_text = [&](std::size_t max_len) {
        std::string s(rng() % (max_len + 1), 'a');
        for (char& c : s) c = "ab<|"[rng() % 4];
        return s;
    };
    for (int i = 0; i < 5000; ++i) {
        const std::string text = random_text(12);
        const std::vector<std::string> markers = {random_text(6), random_text(6)};
        ASSERT_EQ(remove_partial_marker_suffix(text, markers), naive_partial_suffix(text, markers))
            << text << " / " << markers[0] << " / " << markers[1];
    }
}

TEST(OutputParserCleanupSteps, EchoAssistantSegmentAndLines) {
    struct Case {
        std::string (*step)(const std::string&);
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {cut_echoed_tool_result, "Done.<|im_start|>tool\n{\"ok\":true}", "Done."},
        {cut_echoed_tool_result, "Done.\nTool call id: local_tool_call_1\n{}", "Done.\n"},
        {cut_echoed_tool_result, "A Tool call id: x <|im_start|>tool y", "A Tool call id: x "},
        {cut_echoed_tool_result, "Nothing echoed", "Nothing echoed"},
        {take_assistant_segment, "junk<|im_start|>assistant\nHi there<|im_end|>more", "Hi there"},
        {take_assistant_segment, "<|im_start|>assistant\nA<|im_end|><|im_start|>assistant\nB", "B"},
        {take_assistant_segment, "<|im_start|>assistant", ""},
        {take_assistant_segment, "<|im_start|>assistant name=x\nBody", "Body"},
        {take_assistant_segment, "Answer<|im_start|>user\nnext", "Answer"},
        {take_assistant_segment, "<|im_end|>plain", "<|im_end|>plain"},
        {remove_channel_markup, "<|channel>final<channel|>Hello", "Hello"},
        {remove_channel_markup, "<|channel>final\nHello<|end|>", "Hello"},
        {remove_channel_markup, "<|channel>analysis<|message|>thinking", ""},
        {remove_channel_markup, "Hi <|channel>fin", "Hi"},
        {remove_channel_markup, "A<|message|>B<|return|>C<|end|>D<|im_end|>E<channel|>F", "ABCDEF"},
        {remove_channel_markup, "<|channel>a<channel|>b\n<|channel>c\nd", "b\nd"},
        {remove_channel_markup, "<|channel>x\nA\n<|channel>y<channel|>B", "A\nB"},
        {remove_channel_markup, "<|chan<|channel>\nnel>tail", ""},
        {remove_channel_markup, "<chan<|end|>nel|>x", "x"},
        {remove_channel_markup, "  中文<|end|>  ", "中文"},
        {drop_echo_lines, "Answer\nTool call id: x\n  IMPORTANT: The following is the actual tool result JSON. etc\nmore",
         "Answer\nmore"},
        {drop_echo_lines, "\n\nA\n <|im_end|> \n<|im_start|>user\n\nB\n", "A\n\nB"},
        {drop_echo_lines, "x <|im_end|>\n<|im_end|>y", "x <|im_end|>\n<|im_end|>y"},
        {drop_echo_lines, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.step(c.text), c.expected);
    }
}

TEST(OutputParserCleanupSteps, ChannelMarkupAgreesWithTheLiteralReadingOnRandomTexts) {
    const std::vector<std::string> pieces = {"<|channel>", "<channel|>", "<|chan", "nel>", "<chan", "nel|>", "\n",
                                             "a",          " ",          "<|end|>", "<|e",  "nd|>", "<|message|>", "<"};
    std::mt19937 rng(11);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const int n = static_cast<int>(rng() % 10);
        for (int k = 0; k < n; ++k) text += pieces[rng() % pieces.size()];
        ASSERT_EQ(remove_channel_markup(text), test::naive_channel_markup(text)) << text;
    }
}

// ---- full clean-up --------------------------------------------------------------

TEST(OutputParserCleanLocalOutput, VisibleAnswerAndCalls) {
    struct Case {
        std::string label;
        std::string text;
        std::vector<std::string> stops;
        bool streaming;
        std::string visible;
        std::size_t calls;
    };
    const std::string call = R"({"name":"t","arguments":{"a":1}})";
    const std::vector<Case> cases = {
        {"plain", "  Hello there  ", kStops, false, "Hello there", 0},
        {"lone backquote pair while streaming", "Hello``", kStops, true, "Hello", 0},
        {"backquote pair kept at the end", "Hello``", kStops, false, "Hello``", 0},
        {"half-written stop string", "Hello <|im_", kStops, true, "Hello", 0},
        {"half-written stop string at the end too", "Hello <|im_", kStops, false, "Hello", 0},
        {"fence language being written", "Let me check.\n" + kFence + "tool_c", kStops, true, "Let me check.", 0},
        {"tool call body being written", "Let me check.\n" + kFence + "tool_call\n{\"name\":", kStops, true,
         "Let me check.", 0},
        {"markup opener being written", "Sure <tool_ca", kStops, true, "Sure", 0},
        {"only a tool call", fenced("tool_call", call), kStops, false, "", 1},
        {"echoed tool result after a call", "Checking.\n" + fenced("tool_call", call) + "\n<|im_start|>tool\n{}",
         kStops, false, "Checking.", 1},
        {"echoed id line after a call", fenced("tool_call", call) + "\nTool call id: local_tool_call_1\nfake",
         kStops, false, "", 1},
        {"echo lines without a call", "Answer\nTool call id: x\nmore", kStops, false, "Answer\nmore", 0},
        {"assistant segment", "<|im_start|>assistant\nHi<|im_end|>\n<|im_start|>user\nq", kStops, false, "Hi", 0},
        {"end marker", "text<|im_end|>", kStops, false, "text", 0},
        {"channel header", "<|channel>final<channel|>Result<|return|>", kStops, false, "Result", 0},
        {"data fence stays", "Here:\n" + fenced("json", R"({"x":1})"), kStops, false,
         "Here:\n" + fenced("json", R"({"x":1})"), 0},
        {"multi-byte", "温度是 21°C。" + fenced("tool_call", call), kStops, false, "温度是 21°C。", 1},
        {"gemma stop", "Bye<start_of", {"<end_of_turn>", "<start_of_turn>"}, false, "Bye", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<ToolCall> calls = {ToolCall{"stale", "stale", "{}"}};
        EXPECT_EQ(clean_local_output(c.text, c.stops, c.streaming, &calls), c.visible);
        EXPECT_EQ(calls.size(), c.calls);
        EXPECT_EQ(clean_local_output(c.text, c.stops, c.streaming, nullptr), c.visible);
    }
}

// ---- deltas ----------------------------------------------------------------------

TEST(OutputParserEmitSuffix, SendsOnlyGrowth) {
    std::vector<std::string> sent;
    const std::function<void(const std::string&)> cb = [&](const std::string& d) { sent.push_back(d); };
    std::string emitted;
    emit_suffix("", emitted, cb);
    emit_suffix("He", emitted, cb);
    emit_suffix("He", emitted, cb);
    emit_suffix("Hello", emitted, cb);
    emit_suffix("Hel", emitted, cb);          // shrank: nothing
    emit_suffix("Jello world", emitted, cb);  // earlier part changed: nothing, ever after
    emit_suffix("Jello world!", emitted, cb);
    EXPECT_THAT(sent, ElementsAre("He", "llo"));
    EXPECT_EQ(emitted, "Hello");

    std::string untouched;
    emit_suffix("text", untouched, nullptr);
    EXPECT_EQ(untouched, "");
}

// Feeds the pieces the way the local backend does (re-cleaning the whole text
// for every piece) and collects what the callbacks received.
struct Streamed {
    std::string content;
    std::string reasoning;
    std::vector<ToolCall> calls;
    std::string final_content;
    bool content_had_backquote = false;
};

Streamed stream(const std::vector<std::string>& pieces) {
    Streamed out;
    std::string emitted_content;
    std::string emitted_reasoning;
    const std::function<void(const std::string&)> on_content = [&](const std::string& d) {
        out.content += d;
        if (d.find('`') != std::string::npos) out.content_had_backquote = true;
    };
    const std::function<void(const std::string&)> on_reasoning = [&](const std::string& d) { out.reasoning += d; };
    std::string raw;
    for (const std::string& piece : pieces) {
        raw += piece;
        std::string reasoning;
        const std::string visible = split_tagged(raw, "think", &reasoning);
        emit_suffix(reasoning, emitted_reasoning, on_reasoning);
        emit_suffix(clean_local_output(visible, kStops, true, nullptr), emitted_content, on_content);
    }
    std::string reasoning;
    const std::string visible = split_tagged(raw, "think", &reasoning);
    out.final_content = clean_local_output(visible, kStops, false, &out.calls);
    emit_suffix(reasoning, emitted_reasoning, on_reasoning);
    emit_suffix(out.final_content, emitted_content, on_content);
    return out;
}

// `text` cut into pieces of `size` bytes (also through multi-byte characters),
// after the given leading pieces (a think opener arrives as one token).
std::vector<std::string> pieces_of(const std::string& text, std::size_t size, std::vector<std::string> leading = {}) {
    for (std::size_t at = 0; at < text.size(); at += size) leading.push_back(text.substr(at, size));
    return leading;
}

TEST(OutputParserStreaming, ToolCallOnlyTextStreamsNoContent) {
    const std::string raw = fenced("tool_call", R"({"name":"search","arguments":{"q":"天气"}})") + "<|im_end|>";
    for (std::size_t piece : {1u, 2u, 3u, 7u}) {
        SCOPED_TRACE(piece);
        const Streamed s = stream(pieces_of(raw, piece));
        EXPECT_EQ(s.content, "");
        ASSERT_EQ(s.calls.size(), 1u);
        EXPECT_EQ(s.calls[0].name, "search");
    }
}

TEST(OutputParserStreaming, ProseThinkingAndCallStreamCleanly) {
    const std::string rest = "先想一想</think>我来查一下天气。\n" +
                             fenced("tool_call", R"({"name":"weather","arguments":{"city":"北京"}})");
    for (std::size_t piece : {1u, 2u, 5u}) {
        SCOPED_TRACE(piece);
        const Streamed s = stream(pieces_of(rest, piece, {"<think>"}));
        EXPECT_EQ(s.reasoning, "先想一想");
        EXPECT_EQ(s.content, "我来查一下天气。");
        EXPECT_EQ(s.final_content, "我来查一下天气。");
        EXPECT_FALSE(s.content_had_backquote);
        ASSERT_EQ(s.calls.size(), 1u);
        EXPECT_EQ(s.calls[0].arguments, R"({"city":"北京"})");
    }
}

TEST(OutputParserStreaming, PlainAnswerArrivesWholeDespiteStopMarkers) {
    const std::string raw = "Hello <b>world</b>, 2 < 3.<|im_end|>";
    const Streamed s = stream(pieces_of(raw, 1));
    EXPECT_EQ(s.content, "Hello <b>world</b>, 2 < 3.");
    EXPECT_EQ(s.final_content, s.content);
}

// ---- hostile inputs -----------------------------------------------------------------

// Every entry point on one text; returns how long it took.
double run_all(const std::string& text) {
    const auto start = std::chrono::steady_clock::now();
    std::string reasoning;
    (void)split_tagged(text, "think", &reasoning);
    std::vector<ToolCall> calls;
    (void)clean_local_output(text, kStops, true, nullptr);
    (void)clean_local_output(text, kStops, false, &calls);
    (void)find_balanced_json(text, 0);
    (void)parse_tool_block(text, calls);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string repeat(const std::string& unit, std::size_t bytes) {
    std::string out;
    out.reserve(bytes + unit.size());
    while (out.size() < bytes) out += unit;
    return out;
}

TEST(OutputParserRobustness, LongPathologicalInputsStayFast) {
    // Each text would take minutes with a scan that restarts per marker.
    const std::size_t size = std::size_t{1} << 20;
    const std::vector<std::string> units = {
        "<|channel><channel|>", "<|channel>\n",   "<|channel>",          "<think>",        "<think></think>",
        kFence + "\n",          kFence + "json\n", "<tool_call>",         "<tool_call></tool_call>",
        "{",                    "[",              "{\"a\":\"",           "\\\"",           "<|im_start|>assistant",
        "<|tool_call>call:f(",  "<|chan<|end|>nel>", "<|im_end|>\n",      "call:((((",      "\n",
    };
    for (const std::string& unit : units) {
        SCOPED_TRACE(unit);
        EXPECT_LT(run_all(repeat(unit, size)), 10.0);
        EXPECT_LT(run_all("call:" + repeat(unit, size)), 10.0);
    }
    // A long run of name punctuation before the JSON of a "call:" block.
    const std::vector<ToolCall> calls = extract_tool_calls("<tool_call>call:f" + repeat("( ", size) + "{}</tool_call>");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].name, "f");

    // Deep nesting inside a real block: read as not-a-call rather than recursing.
    const std::string deep = "<tool_call>call:f(" + std::string(1 << 20, '[') + std::string(1 << 20, ']') +
                             ")</tool_call>";
    EXPECT_THAT(extract_tool_calls(deep), IsEmpty());
    EXPECT_LT(run_all(deep), 10.0);
}

TEST(OutputParserRobustness, ArbitraryBytesNeverBreakAnything) {
    std::mt19937 rng(3);
    const std::vector<std::string> pieces = {
        "<think>", "</think>", kFence, "tool_call", "json", "\n", "{", "}", "[", "]", "\"", "\\", "name", ":",
        "<tool_call>", "</tool_call>", "<|tool_call>", "<tool_call|>", "call:", "(", "<|im_start|>", "assistant",
        "<|im_end|>", "<|channel>", "<channel|>", "Tool call id:", "\xe4\xbd\xa0", "\xff", std::string(1, '\0'), " "};
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        const int n = static_cast<int>(rng() % 24);
        for (int k = 0; k < n; ++k) text += pieces[rng() % pieces.size()];
        std::vector<ToolCall> calls;
        const std::string visible = clean_local_output(text, kStops, rng() % 2 == 0, &calls);
        for (const char* marker : {"<|im_end|>", "<channel|>", "<|end|>"}) {
            ASSERT_EQ(visible.find(marker), std::string::npos) << text;
        }
        for (const ToolCall& call : calls) ASSERT_FALSE(call.name.empty()) << text;
        if (const auto span = find_balanced_json(text, rng() % (text.size() + 2))) {
            ASSERT_LT(span->begin, span->end);
            ASSERT_LE(span->end, text.size());
        }
    }
}

}  // namespace
}  // namespace vexa
