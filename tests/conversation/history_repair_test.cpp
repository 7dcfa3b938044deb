#include "conversation/history_repair.hpp"

#include "conversation/conversation_manager.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexa {
namespace {

ChatMessage U(const std::string& text) {
    ChatMessage m;
    m.role = MessageRole::user;
    m.content = text;
    return m;
}

ChatMessage S(const std::string& text) {
    ChatMessage m;
    m.role = MessageRole::system;
    m.content = text;
    return m;
}

// Calls written as "id:name"; an empty side makes an incomplete call.
ChatMessage A(const std::string& text, const std::vector<std::string>& calls = {}) {
    ChatMessage m;
    m.role = MessageRole::assistant;
    m.content = text;
    for (const auto& c : calls) {
        const auto colon = c.find(':');
        m.tool_calls.push_back(ToolCall{c.substr(0, colon), c.substr(colon + 1), "{}"});
    }
    return m;
}

ChatMessage T(const std::string& id, const std::string& content = "ok") {
    ChatMessage m;
    m.role = MessageRole::tool;
    m.content = content;
    m.tool_call_id = id;
    m.name = "t";
    return m;
}

ChatMessage T_no_id(const std::string& content = "ok") {
    ChatMessage m;
    m.role = MessageRole::tool;
    m.content = content;
    return m;
}

// A compact picture of a list: U:text A:text[id,id] T:id:content S:text.
std::string describe(const std::vector<ChatMessage>& list) {
    std::string out;
    for (const auto& m : list) {
        if (!out.empty()) out += " | ";
        switch (m.role) {
            case MessageRole::user: out += "U:" + m.content; break;
            case MessageRole::system: out += "S:" + m.content; break;
            case MessageRole::assistant: {
                out += "A:" + m.content + "[";
                for (std::size_t i = 0; i < m.tool_calls.size(); ++i)
                    out += (i ? "," : "") + m.tool_calls[i].id;
                out += "]";
                break;
            }
            case MessageRole::tool:
                out += "T:" + m.tool_call_id.value_or("-") + ":" + m.content;
                break;
        }
    }
    return out;
}

const std::string kPh = kCancelledToolResult;

TEST(HistoryRepair, Table) {
    struct Case {
        const char* label;
        std::vector<ChatMessage> in;
        std::string out;
        HistoryRepairStats want;  // incomplete, added, orphan, empty assistant, leading, adjacent users
    };
    const Case cases[] = {
        {"empty list", {}, "", {0, 0, 0, 0, 0, 0}},
        {"balanced list untouched",
         {S("s"), U("q"), A("", {"a:f", "b:g"}), T("a"), T("b"), A("done"), U("q2")},
         "S:s | U:q | A:[a,b] | T:a:ok | T:b:ok | A:done[] | U:q2",
         {0, 0, 0, 0, 0, 0}},
        {"missing result gets a placeholder after the kept ones",
         {U("q"), A("", {"A:f", "B:g"}), T("B")},
         "U:q | A:[A,B] | T:B:ok | T:A:" + kPh,
         {0, 1, 0, 0, 0, 0}},
        {"leading tool", {T("X"), U("q")}, "U:q", {0, 0, 0, 0, 1, 0}},
        {"tool separated from its call",
         {U("q"), A("", {"A:f"}), U("again"), T("A")},
         "U:q | A:[A] | T:A:" + kPh + " | U:again",
         {0, 1, 1, 0, 0, 0}},
        {"assistant with only a nameless call",
         {U("q"), A("", {"A:"})},
         "U:q",
         {1, 0, 0, 1, 0, 0}},
        {"adjacent users only counted", {U("a"), U("b")}, "U:a | U:b", {0, 0, 0, 0, 0, 1}},
        {"removed empty assistant joins two users",
         {U("a"), A(""), U("b")},
         "U:a | U:b",
         {0, 0, 0, 1, 0, 1}},
        {"trailing call cut off",
         {U("q"), A("", {"A:f", "B:g"})},
         "U:q | A:[A,B] | T:A:" + kPh + " | T:B:" + kPh,
         {0, 2, 0, 0, 0, 0}},
        {"results keep input order",
         {U("q"), A("", {"A:f", "B:g"}), T("B", "b"), T("A", "a")},
         "U:q | A:[A,B] | T:B:b | T:A:a",
         {0, 0, 0, 0, 0, 0}},
        {"duplicate ids first to first, third is an orphan",
         {U("q"), A("", {"D:f", "D:g"}), T("D", "1"), T("D", "2"), T("D", "3")},
         "U:q | A:[D,D] | T:D:1 | T:D:2",
         {0, 0, 1, 0, 0, 0}},
        {"tool without id or with empty id is an orphan",
         {U("q"), A("", {"A:f"}), T_no_id(), T(""), T("A")},
         "U:q | A:[A] | T:A:ok",
         {0, 0, 2, 0, 0, 0}},
        {"unknown id is an orphan and the call gets a placeholder",
         {U("q"), A("", {"A:f"}), T("Z")},
         "U:q | A:[A] | T:A:" + kPh,
         {0, 1, 1, 0, 0, 0}},
        {"text assistant with only incomplete calls keeps its text",
         {U("q"), A("hi", {":f", "B:"}), T("B")},
         "U:q | A:hi[]",
         {2, 0, 1, 0, 0, 0}},
        {"incomplete calls dropped, complete kept in order",
         {U("q"), A("", {"A:f", ":x", "C:h"}), T("C"), T("A")},
         "U:q | A:[A,C] | T:C:ok | T:A:ok",
         {1, 0, 0, 0, 0, 0}},
        {"tool after a text-only assistant is an orphan",
         {U("q"), A("plain"), T("A")},
         "U:q | A:plain[]",
         {0, 0, 1, 0, 0, 0}},
        {"tool after a system message at the start is an orphan, not leading",
         {S("s"), T("A"), U("q")},
         "S:s | U:q",
         {0, 0, 1, 0, 0, 0}},
        {"leading tools before a removed assistant stay leading",
         {T("A"), A(""), T("B"), U("q")},
         "U:q",
         {0, 0, 0, 1, 2, 0}},
        {"placeholder separates users",
         {U("a"), A("", {"A:f"}), U("b")},
         "U:a | A:[A] | T:A:" + kPh + " | U:b",
         {0, 1, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<ChatMessage> list = c.in;
        const HistoryRepairStats counted = inspect_history(list);
        const HistoryRepairStats s = repair_history(list);
        EXPECT_EQ(describe(list), c.out);
        EXPECT_EQ(s.removed_incomplete_calls, c.want.removed_incomplete_calls);
        EXPECT_EQ(s.added_results, c.want.added_results);
        EXPECT_EQ(s.removed_orphan_tools, c.want.removed_orphan_tools);
        EXPECT_EQ(s.removed_empty_assistants, c.want.removed_empty_assistants);
        EXPECT_EQ(s.removed_leading_tools, c.want.removed_leading_tools);
        EXPECT_EQ(s.adjacent_user_pairs, c.want.adjacent_user_pairs);
        EXPECT_EQ(s.changed(), c.want.changed());
        // The counting pass agrees with the rebuilding pass.
        EXPECT_EQ(counted.added_results, s.added_results);
        EXPECT_EQ(counted.removed_orphan_tools, s.removed_orphan_tools);
        EXPECT_EQ(counted.adjacent_user_pairs, s.adjacent_user_pairs);
        // A repaired list is stable.
        const HistoryRepairStats again = repair_history(list);
        EXPECT_FALSE(again.changed());
        EXPECT_EQ(describe(list), c.out);
    }
}

TEST(HistoryRepair, PlaceholderShape) {
    std::vector<ChatMessage> list = {U("q"), A("", {"call_1:search"})};
    repair_history(list);
    ASSERT_EQ(list.size(), 3u);
    const ChatMessage& p = list[2];
    EXPECT_EQ(p.role, MessageRole::tool);
    EXPECT_EQ(p.content, "{\"success\":false,\"error\":\"cancelled\"}");
    EXPECT_EQ(p.tool_call_id, "call_1");
    EXPECT_EQ(p.name, "search");
    EXPECT_FALSE(p.reasoning_content.has_value());
    EXPECT_TRUE(p.tool_calls.empty());
    EXPECT_TRUE(p.images.empty());
}

TEST(HistoryRepair, KeptMessagesKeepTheirFields) {
    ChatMessage a = A("", {"A:f", ":bad"});
    a.reasoning_content = "thinking";
    a.tool_calls[0].arguments = "{\"x\":1}";
    ChatMessage t = T("A", "result");
    std::vector<ChatMessage> list = {U("q"), a, t, U("next")};
    repair_history(list);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[1].reasoning_content, "thinking");
    ASSERT_EQ(list[1].tool_calls.size(), 1u);
    EXPECT_EQ(list[1].tool_calls[0].arguments, "{\"x\":1}");
    EXPECT_EQ(list[2].name, "t");
    EXPECT_EQ(list[3].content, "next");
}

TEST(HistoryRepair, LogLines) {
    struct Case {
        HistoryRepairStats stats;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{0, 0, 0, 0, 0, 0}, {}},
        {{0, 0, 0, 0, 0, 1}, {"会话历史存在 1 处相邻 user 消息，未做改动。"}},
        {{1, 2, 3, 4, 5, 0},
         {"会话历史已修复：补 tool 结果 2，删半截 tool_call 1，删孤儿 tool 3，删开头 tool 5，删空 assistant 4"}},
        {{0, 1, 0, 0, 0, 12},
         {"会话历史存在 12 处相邻 user 消息，未做改动。",
          "会话历史已修复：补 tool 结果 1，删半截 tool_call 0，删孤儿 tool 0，删开头 tool 0，删空 assistant 0"}},
    };
    for (const auto& c : cases) EXPECT_EQ(history_repair_log_messages(c.stats), c.lines);
}

TEST(HistoryRepair, ConversationRewrittenOnlyWhenChanged) {
    ConversationManager conversation;
    conversation.set_messages({U("a"), U("b")});
    const ChatMessage* before = conversation.messages().data();
    HistoryRepairStats s = repair_conversation(conversation);
    EXPECT_EQ(s.adjacent_user_pairs, 1u);
    EXPECT_FALSE(s.changed());
    EXPECT_EQ(conversation.messages().data(), before);  // the same storage: no rewrite

    conversation.set_messages({T("x"), U("q"), A("", {"A:f"})});
    s = repair_conversation(conversation);
    EXPECT_TRUE(s.changed());
    EXPECT_EQ(describe(conversation.messages()), "U:q | A:[A] | T:A:" + kPh);
}

TEST(HistoryRepair, LongHealthyHistoryIsNotCopied) {
    std::vector<ChatMessage> list;
    for (int i = 0; i < 10000; ++i) {
        list.push_back(U("q" + std::to_string(i)));
        list.push_back(A("", {"c" + std::to_string(i) + ":f"}));
        list.push_back(T("c" + std::to_string(i)));
        list.push_back(A("answer"));
    }
    const ChatMessage* before = list.data();
    EXPECT_FALSE(repair_history(list).changed());
    EXPECT_EQ(list.data(), before);
    EXPECT_EQ(list.size(), 40000u);
}

}  // namespace
}  // namespace vexa
