#pragma once
// Shortening a long conversation: its older turns are replaced by one user
// message carrying a model-written summary, the recent turns stay verbatim.
//
// The model call itself is the caller's (a Summariser), so this module stays
// below the model client in the module graph.

#include "conversation/chat_message.hpp"
#include "conversation/conversation_manager.hpp"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace vexa {

// One user turn of a message list: a run of consecutive user messages and
// whatever follows up to the next such run.
struct UserTurn {
    std::size_t start = 0;   // index of the turn's first user message
    bool completed = false;  // an assistant message followed within the turn
};

std::vector<UserTurn> user_turns(const std::vector<ChatMessage>& messages);
// Number of turns that an assistant message answered.
int count_completed_turns(const std::vector<ChatMessage>& messages);
// More than `threshold` completed turns.
bool needs_compression(const std::vector<ChatMessage>& messages, int threshold);

// The most bytes of a summary that are kept: it replaces the older turns in
// every later request, so a runaway answer must not make each of them huge.
inline constexpr std::size_t kMaxSummaryBytes = 32 * 1024;

// The two messages that ask the model for a summary of `older`.
std::vector<ChatMessage> build_summary_request(const std::vector<ChatMessage>& older);
// The user message that stands in for the summarised turns.
ChatMessage summary_message(const std::string& summary);

// Sends a summary request to the model; the answer's text, empty on any failure.
using Summariser = std::function<std::string(const std::vector<ChatMessage>& request)>;

// Replaces everything before the `keep_recent`-th last completed turn by a
// summary (cut to kMaxSummaryBytes at a UTF-8 boundary, with a log line,
// when it is longer). The cut always falls on the first user message of a turn, so an
// assistant's tool calls are never separated from their results. False (and
// the conversation untouched) when there is nothing to summarise or the
// summariser answered with nothing.
bool compress_conversation(ConversationManager& conversation, int keep_recent, const Summariser& summarise);

}  // namespace vexa
