#include "conversation/history_repair.hpp"

#include "conversation/conversation_manager.hpp"
#include "support/log.hpp"

#include <type_traits>
#include <utility>

namespace vexa {

namespace {

bool complete_call(const ToolCall& call) { return !call.id.empty() && !call.name.empty(); }

ChatMessage placeholder_for(const std::string& id, const std::string& name) {
    ChatMessage m;
    m.role = MessageRole::tool;
    m.content = kCancelledToolResult;
    m.tool_call_id = id;
    m.name = name;
    return m;
}

// One pass over the input. With Build false it only counts (the input is
// read, never copied); with Build true it moves the kept messages into
// `out`. Both modes take the same decisions, so a counting pass tells
// whether a rebuild is needed at all.
template <bool Build>
class Walker {
public:
    using Input = std::conditional_t<Build, std::vector<ChatMessage>, const std::vector<ChatMessage>>;

    Walker(Input& in, std::vector<ChatMessage>* out) : in_(in), out_(out) {}

    HistoryRepairStats run() {
        std::size_t i = 0;
        const std::size_t n = in_.size();
        while (i < n) {
            auto& message = in_[i];
            switch (message.role) {
                case MessageRole::tool:
                    // Only reached when no kept assistant with calls precedes it.
                    if (empty_) ++stats_.removed_leading_tools;
                    else ++stats_.removed_orphan_tools;
                    ++i;
                    break;
                case MessageRole::assistant:
                    i = assistant(i);
                    break;
                default:
                    if constexpr (Build) push(std::move(message));
                    else push(message);
                    ++i;
                    break;
            }
        }
        return stats_;
    }

private:
    struct Pending {
        std::string id;
        std::string name;
        bool matched = false;
    };

    template <class M>
    void push(M&& message) {
        const bool is_user = message.role == MessageRole::user;
        if (is_user && last_user_) ++stats_.adjacent_user_pairs;
        last_user_ = is_user;
        empty_ = false;
        if constexpr (Build) out_->push_back(std::forward<M>(message));
    }

    std::size_t assistant(std::size_t i) {
        auto& message = in_[i];
        std::size_t complete = 0;
        for (const auto& call : message.tool_calls) complete += complete_call(call) ? 1 : 0;
        const std::size_t removed = message.tool_calls.size() - complete;
        stats_.removed_incomplete_calls += removed;

        if (message.content.empty() && complete == 0) {
            ++stats_.removed_empty_assistants;
            return i + 1;
        }

        pending_.clear();
        for (const auto& call : message.tool_calls) {
            if (complete_call(call)) pending_.push_back(Pending{call.id, call.name, false});
        }
        if constexpr (Build) {
            if (removed != 0) {
                auto& calls = message.tool_calls;
                std::vector<ToolCall> kept;
                kept.reserve(complete);
                for (auto& call : calls) {
                    if (complete_call(call)) kept.push_back(std::move(call));
                }
                calls = std::move(kept);
            }
            push(std::move(message));
        } else {
            push(message);
        }
        ++i;
        if (pending_.empty()) return i;  // following tool messages fall to the orphan rule

        const std::size_t n = in_.size();
        for (; i < n && in_[i].role == MessageRole::tool; ++i) {
            auto& tool = in_[i];
            Pending* match = nullptr;
            if (tool.tool_call_id && !tool.tool_call_id->empty()) {
                for (auto& p : pending_) {
                    if (!p.matched && p.id == *tool.tool_call_id) {
                        match = &p;
                        break;
                    }
                }
            }
            if (match == nullptr) {
                ++stats_.removed_orphan_tools;
                continue;
            }
            match->matched = true;
            if constexpr (Build) push(std::move(tool));
            else push(tool);
        }
        for (const auto& p : pending_) {
            if (p.matched) continue;
            ++stats_.added_results;
            if constexpr (Build) push(placeholder_for(p.id, p.name));
            else {
                last_user_ = false;
                empty_ = false;
            }
        }
        return i;
    }

    Input& in_;
    std::vector<ChatMessage>* out_;
    HistoryRepairStats stats_;
    std::vector<Pending> pending_;
    bool empty_ = true;
    bool last_user_ = false;
};

}  // namespace

HistoryRepairStats inspect_history(const std::vector<ChatMessage>& messages) {
    return Walker<false>(messages, nullptr).run();
}

HistoryRepairStats repair_history(std::vector<ChatMessage>& messages) {
    HistoryRepairStats stats = inspect_history(messages);
    if (!stats.changed()) return stats;
    std::vector<ChatMessage> out;
    out.reserve(messages.size() + stats.added_results);
    Walker<true>(messages, &out).run();
    messages = std::move(out);
    return stats;
}

std::vector<std::string> history_repair_log_messages(const HistoryRepairStats& stats) {
    std::vector<std::string> lines;
    if (stats.adjacent_user_pairs != 0) {
        lines.push_back("会话历史存在 " + std::to_string(stats.adjacent_user_pairs) + " 处相邻 user 消息，未做改动。");
    }
    if (stats.changed()) {
        lines.push_back("会话历史已修复：补 tool 结果 " + std::to_string(stats.added_results) + "，删半截 tool_call " +
                        std::to_string(stats.removed_incomplete_calls) + "，删孤儿 tool " +
                        std::to_string(stats.removed_orphan_tools) + "，删开头 tool " +
                        std::to_string(stats.removed_leading_tools) + "，删空 assistant " +
                        std::to_string(stats.removed_empty_assistants));
    }
    return lines;
}

HistoryRepairStats repair_conversation(ConversationManager& conversation) {
    // Counting first avoids copying a long, healthy conversation every turn.
    HistoryRepairStats stats = inspect_history(conversation.messages());
    for (const auto& line : history_repair_log_messages(stats)) log_line(LogLevel::WARNING, line);
    if (stats.changed()) {
        std::vector<ChatMessage> repaired = conversation.messages();
        repair_history(repaired);
        conversation.set_messages(std::move(repaired));
    }
    return stats;
}

}  // namespace vexa
