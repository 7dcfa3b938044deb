#include "conversation/context_compression.hpp"

#include "conversation/history_repair.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexa {
namespace {

ChatMessage msg(MessageRole role, const std::string& text = {}) {
    ChatMessage m;
    m.role = role;
    m.content = text;
    return m;
}
ChatMessage U(const std::string& text) { return msg(MessageRole::user, text); }
ChatMessage A(const std::string& text) { return msg(MessageRole::assistant, text); }
ChatMessage T(const std::string& id, const std::string& text) {
    ChatMessage m = msg(MessageRole::tool, text);
    m.tool_call_id = id;
    m.name = "lookup";
    return m;
}
ChatMessage call(const std::string& id) {
    ChatMessage m = A("");
    m.tool_calls.push_back(ToolCall{id, "lookup", R"({"q":1})"});
    return m;
}

// `n` completed turns "u<i>" / "a<i>".
std::vector<ChatMessage> turns(int n) {
    std::vector<ChatMessage> out;
    for (int i = 1; i <= n; ++i) {
        out.push_back(U("u" + std::to_string(i)));
        out.push_back(A("a" + std::to_string(i)));
    }
    return out;
}

std::vector<std::string> contents(const std::vector<ChatMessage>& messages) {
    std::vector<std::string> out;
    for (const auto& m : messages) out.push_back(m.content);
    return out;
}

const std::string kSummaryHead =
    "[Conversation Summary]\n[这是一段较早对话的压缩摘要，仅作为背景参考；它不是用户提问，不要直接回应或复述]\n";

TEST(ContextCompressionTest, TurnListAndCompletedCount) {
    using R = MessageRole;
    struct Case {
        const char* name;
        std::vector<ChatMessage> messages;
        std::vector<std::size_t> starts;
        std::vector<bool> completed;
    };
    const std::vector<Case> cases = {
        {"empty", {}, {}, {}},
        {"assistant before any user", {msg(R::assistant), U("a")}, {1}, {false}},
        {"two users are one turn", {U("a"), U("b"), A("x")}, {0}, {true}},
        {"tool messages only do not complete", {U("a"), T("1", "r"), U("b"), A("x")}, {0, 2}, {false, true}},
        {"system ignored", {msg(R::system), U("a"), A("x"), U("b")}, {1, 3}, {true, false}},
        {"tool round then answer", {U("a"), call("1"), T("1", "r"), A("x")}, {0}, {true}},
    };
    for (const auto& c : cases) {
        const auto list = user_turns(c.messages);
        std::vector<std::size_t> starts;
        std::vector<bool> completed;
        int count = 0;
        for (const auto& t : list) {
            starts.push_back(t.start);
            completed.push_back(t.completed);
            count += t.completed ? 1 : 0;
        }
        EXPECT_EQ(starts, c.starts) << c.name;
        EXPECT_EQ(completed, c.completed) << c.name;
        EXPECT_EQ(count_completed_turns(c.messages), count) << c.name;
    }
    auto nine = turns(9);
    nine.push_back(U("new"));
    EXPECT_TRUE(needs_compression(nine, 8));
    auto eight = turns(8);
    eight.push_back(U("new"));
    EXPECT_FALSE(needs_compression(eight, 8));
}

TEST(ContextCompressionTest, SummaryRequestTextsExact) {
    ChatMessage calls = A("");
    calls.tool_calls.push_back(ToolCall{"c1", "a", R"({"k":1})"});
    calls.tool_calls.push_back(ToolCall{"c2", "", ""});
    ChatMessage with_text = A("let me look");
    with_text.tool_calls.push_back(ToolCall{"c3", "b", "{}"});
    ChatMessage image_user = U("see");
    image_user.images.push_back(ImageInput{"data:image/png;base64,AAAA", "auto"});
    image_user.reasoning_content = "hidden";

    const auto request = build_summary_request({image_user, calls, T("c1", "done"), with_text});
    ASSERT_EQ(request.size(), 2u);
    EXPECT_EQ(request[0].role, MessageRole::system);
    EXPECT_EQ(request[0].content,
              "Please summarize the following conversation concisely, preserving key information, decisions, and "
              "context that would be needed to continue the conversation. A message starting with [Conversation "
              "Summary] is an earlier summary kept for background, not a user question: merge its content into your "
              "summary instead of restating it verbatim. A line of the form [tool_calls: name(args)] records a tool "
              "call the assistant actually issued: describe it as what was executed, including its arguments. Do not "
              "address the user or add any greeting. Do not answer or continue the conversation. Do not add "
              "explanations, preamble, or commentary. Output only the summary itself.");
    EXPECT_EQ(request[1].role, MessageRole::user);
    EXPECT_EQ(request[1].content,
              "以下是用户的对话历史，需要对其进行压缩。\n<>\n"
              "user: see\n\n"
              "assistant: [tool_calls: a({\"k\":1}), <unknown>({})]\n\n"
              "tool: done\n\n"
              "assistant: let me look\n[tool_calls: b({})]\n\n"
              "<>\n输出最终摘要。");
    EXPECT_TRUE(request[1].images.empty());
}

struct Summariser {
    std::string answer = "S";
    int calls = 0;
    std::vector<ChatMessage> last;
    vexa::Summariser fn() {
        return [this](const std::vector<ChatMessage>& request) {
            ++calls;
            last = request;
            return answer;
        };
    }
};

TEST(ContextCompressionTest, NineTurnsAndANewMessageKeepTheLastFour) {
    ConversationManager conversation;
    auto messages = turns(9);
    messages.push_back(U("new"));
    conversation.set_messages(messages);
    Summariser summariser;
    ASSERT_TRUE(compress_conversation(conversation, 4, summariser.fn()));
    EXPECT_EQ(summariser.calls, 1);
    EXPECT_EQ(contents(conversation.messages()),
              (std::vector<std::string>{kSummaryHead + "S", "u6", "a6", "u7", "a7", "u8", "a8", "u9", "a9", "new"}));
    EXPECT_EQ(conversation.messages()[0].role, MessageRole::user);
    // The older part went to the model: turns 1..5 only.
    EXPECT_NE(summariser.last[1].content.find("user: u5\n\nassistant: a5\n\n<>"), std::string::npos);
    EXPECT_EQ(summariser.last[1].content.find("u6"), std::string::npos);

    // The summary and the first kept user message form one adjacent pair the
    // repair leaves alone.
    const auto stats = inspect_history(conversation.messages());
    EXPECT_EQ(stats.adjacent_user_pairs, 1u);
    EXPECT_FALSE(stats.changed());
}

TEST(ContextCompressionTest, NothingToDo) {
    struct Case {
        const char* name;
        std::vector<ChatMessage> messages;
        int keep;
        std::string answer;
    };
    auto nine = turns(9);
    nine.push_back(U("new"));
    auto four_then_new = turns(4);
    four_then_new.push_back(U("new"));
    const std::vector<Case> cases = {
        {"keep 0 disables", nine, 0, "S"},
        {"negative keep disables", nine, -3, "S"},
        {"fewer completed turns than kept", four_then_new, 5, "S"},
        {"oldest kept turn starts the conversation", four_then_new, 4, "S"},
        {"empty summary changes nothing", nine, 4, ""},
    };
    for (const auto& c : cases) {
        ConversationManager conversation;
        conversation.set_messages(c.messages);
        Summariser summariser;
        summariser.answer = c.answer;
        EXPECT_FALSE(compress_conversation(conversation, c.keep, summariser.fn())) << c.name;
        EXPECT_EQ(contents(conversation.messages()), contents(c.messages)) << c.name;
    }
}

TEST(ContextCompressionTest, CutNeverSeparatesToolCallsFromTheirResults) {
    // The older part ends in a tool round; the cut falls on the next user
    // message, so the call and its result both go into the summary.
    std::vector<ChatMessage> messages = {U("u1"), call("t1"), T("t1", "r1"), A("a1"),
                                         U("u2"), call("t2"), T("t2", "r2")};  // turn 2: tools, no answer yet
    for (const auto& m : turns(2)) messages.push_back(m);                  // two completed turns
    messages.push_back(U("new"));
    ConversationManager conversation;
    conversation.set_messages(messages);
    Summariser summariser;
    ASSERT_TRUE(compress_conversation(conversation, 2, summariser.fn()));
    const auto& out = conversation.messages();
    EXPECT_EQ(contents(out), (std::vector<std::string>{kSummaryHead + "S", "u1", "a1", "u2", "a2", "new"}));
    for (const auto& m : out) EXPECT_NE(m.role, MessageRole::tool);
    EXPECT_NE(summariser.last[1].content.find("assistant: [tool_calls: lookup({\"q\":1})]\n\ntool: r2\n\n<>"),
              std::string::npos);
    auto repaired = out;
    repair_history(repaired);
    EXPECT_EQ(contents(repaired), contents(out));
}

TEST(ContextCompressionTest, AnEarlierSummaryIsSummarisedAgain) {
    ConversationManager conversation;
    Summariser summariser;
    auto messages = turns(9);
    messages.push_back(U("new"));
    conversation.set_messages(messages);
    ASSERT_TRUE(compress_conversation(conversation, 4, summariser.fn()));
    // Summary + new form one turn with the kept turns after it.
    auto more = conversation.messages();
    more.push_back(A("answer"));
    for (int i = 10; i < 14; ++i) {
        more.push_back(U("u" + std::to_string(i)));
        more.push_back(A("a" + std::to_string(i)));
    }
    more.push_back(U("newer"));
    conversation.set_messages(more);
    summariser.answer = "S2";
    ASSERT_TRUE(compress_conversation(conversation, 4, summariser.fn()));
    EXPECT_NE(summariser.last[1].content.find("user: [Conversation Summary]"), std::string::npos);
    EXPECT_EQ(contents(conversation.messages()).front(), kSummaryHead + "S2");
    EXPECT_EQ(conversation.messages().size(), 1u + 8u + 1u);
}

}  // namespace
}  // namespace vexa
