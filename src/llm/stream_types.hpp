#pragma once
// What a streaming model call reports while it runs and returns at its end.

#include "conversation/chat_message.hpp"
#include "llm/llm_state.hpp"

#include <functional>
#include <string>

namespace vexa {

struct StreamCallbacks {
    std::function<void(const std::string&)> on_content;
    std::function<void(const std::string&)> on_reasoning;
    std::function<void(LLMState)> on_state;
    std::function<void(const ToolCall&)> on_tool_call;
    // (action, segment text or id, raw JSON of the segment instruction)
    std::function<void(SegmentAction, const std::string&, const std::string&)> on_segment;
    // A remark for the user about the call itself, such as a retry after a
    // failed request. When empty, the client's notice callback gets it.
    std::function<void(const std::string&)> on_notice;
};

struct StreamResult {
    bool ok = false;
    std::string error;
    ChatMessage message{MessageRole::assistant, {}, {}, {}, {}, {}, {}};
    TokenUsage usage;
    std::string response_id;
    std::string finish_reason;
};

}  // namespace vexa
