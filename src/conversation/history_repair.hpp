#pragma once
// Rebalancing of a message list so that every assistant tool call is answered
// exactly once, right after the assistant message that made it.

#include "conversation/chat_message.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace vexa {

class ConversationManager;

struct HistoryRepairStats {
    std::uint64_t removed_incomplete_calls = 0;  // calls with an empty id or name
    std::uint64_t added_results = 0;             // placeholders for unanswered calls
    std::uint64_t removed_orphan_tools = 0;      // tool messages answering nothing
    std::uint64_t removed_empty_assistants = 0;  // assistants left with nothing
    std::uint64_t removed_leading_tools = 0;     // tool messages before any kept message
    std::uint64_t adjacent_user_pairs = 0;       // reported only, never changed

    // adjacent_user_pairs is informational and does not count as a change.
    bool changed() const {
        return removed_incomplete_calls != 0 || added_results != 0 || removed_orphan_tools != 0 ||
               removed_empty_assistants != 0 || removed_leading_tools != 0;
    }
};

// Content of the tool message inserted for a call that never got a result.
inline constexpr const char* kCancelledToolResult = "{\"success\":false,\"error\":\"cancelled\"}";

// Counts what repair_history would do, without touching the list.
HistoryRepairStats inspect_history(const std::vector<ChatMessage>& messages);

// Replaces the list in place by its repaired form. A list that needs no
// change is left untouched (no copy is made).
HistoryRepairStats repair_history(std::vector<ChatMessage>& messages);

// The warning lines that report a repair, in order (empty when there is
// nothing to report).
std::vector<std::string> history_repair_log_messages(const HistoryRepairStats& stats);

// Repairs the conversation of the store: logs the warnings above and writes
// the repaired list back only when something changed.
HistoryRepairStats repair_conversation(ConversationManager& conversation);

}  // namespace vexa
