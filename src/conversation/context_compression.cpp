#include "conversation/context_compression.hpp"

#include "support/log.hpp"
#include "support/utf8.hpp"

#include <utility>

namespace vexa {

namespace {

constexpr const char* kSummaryHeader =
    "[Conversation Summary]\n[这是一段较早对话的压缩摘要，仅作为背景参考；它不是用户提问，不要直接回应或复述]\n";

constexpr const char* kSummaryInstruction =
    "Please summarize the following conversation concisely, preserving key information, decisions, and context "
    "that would be needed to continue the conversation. A message starting with [Conversation Summary] is an "
    "earlier summary kept for background, not a user question: merge its content into your summary instead of "
    "restating it verbatim. A line of the form [tool_calls: name(args)] records a tool call the assistant "
    "actually issued: describe it as what was executed, including its arguments. Do not address the user or add "
    "any greeting. Do not answer or continue the conversation. Do not add explanations, preamble, or commentary. "
    "Output only the summary itself.";

std::string transcript(const std::vector<ChatMessage>& messages) {
    std::string text;
    for (const auto& message : messages) {
        text += role_name(message.role);
        text += ": ";
        text += message.content;
        if (!message.tool_calls.empty()) {
            if (!message.content.empty()) text += "\n";
            text += "[tool_calls: ";
            bool first = true;
            for (const auto& call : message.tool_calls) {
                if (!first) text += ", ";
                first = false;
                text += call.name.empty() ? "<unknown>" : call.name;
                text += "(";
                text += call.arguments.empty() ? "{}" : call.arguments;
                text += ")";
            }
            text += "]";
        }
        text += "\n\n";
    }
    return text;
}

}  // namespace

std::vector<UserTurn> user_turns(const std::vector<ChatMessage>& messages) {
    std::vector<UserTurn> turns;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const MessageRole role = messages[i].role;
        if (role == MessageRole::user) {
            if (i == 0 || messages[i - 1].role != MessageRole::user) turns.push_back({i, false});
        } else if (role == MessageRole::assistant && !turns.empty()) {
            turns.back().completed = true;
        }
    }
    return turns;
}

int count_completed_turns(const std::vector<ChatMessage>& messages) {
    int completed = 0;
    for (const auto& turn : user_turns(messages)) {
        if (turn.completed) ++completed;
    }
    return completed;
}

bool needs_compression(const std::vector<ChatMessage>& messages, int threshold) {
    return count_completed_turns(messages) > threshold;
}

std::vector<ChatMessage> build_summary_request(const std::vector<ChatMessage>& older) {
    std::vector<ChatMessage> request(2);
    request[0].role = MessageRole::system;
    request[0].content = kSummaryInstruction;
    request[1].role = MessageRole::user;
    request[1].content = "以下是用户的对话历史，需要对其进行压缩。\n<>\n" + transcript(older) + "<>\n输出最终摘要。";
    return request;
}

ChatMessage summary_message(const std::string& summary) {
    ChatMessage message;
    message.role = MessageRole::user;
    message.content = kSummaryHeader + summary;
    return message;
}

bool compress_conversation(ConversationManager& conversation, int keep_recent, const Summariser& summarise) {
    if (keep_recent < 1 || !summarise) return false;
    const auto& messages = conversation.messages();
    std::vector<UserTurn> completed;
    for (const auto& turn : user_turns(messages)) {
        if (turn.completed) completed.push_back(turn);
    }
    if (completed.size() < static_cast<std::size_t>(keep_recent)) return false;
    const std::size_t cut = completed[completed.size() - static_cast<std::size_t>(keep_recent)].start;
    if (cut == 0) return false;

    const std::vector<ChatMessage> older(messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(cut));
    std::string summary = summarise(build_summary_request(older));
    if (summary.empty()) return false;
    if (summary.size() > kMaxSummaryBytes) {
        log_line(LogLevel::WARNING, "Context compression: the summary of " + std::to_string(summary.size()) +
                                        " bytes was cut to " + std::to_string(kMaxSummaryBytes) + " bytes");
        summary = shorten_utf8(summary, kMaxSummaryBytes);
    }

    std::vector<ChatMessage> replaced;
    replaced.reserve(messages.size() - cut + 1);
    replaced.push_back(summary_message(summary));
    replaced.insert(replaced.end(), messages.begin() + static_cast<std::ptrdiff_t>(cut), messages.end());
    conversation.set_messages(std::move(replaced));
    return true;
}

}  // namespace vexa
