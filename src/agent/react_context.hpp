#pragma once
// What one ReAct loop works with.

#include "agent/agent_event.hpp"
#include "agent/conversation_view.hpp"
#include "conversation/chat_message.hpp"
#include "conversation/interaction_record.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace vexa {

struct ReactContext {
    IConversationView* view = nullptr;
    std::vector<std::string>* tool_names = nullptr;  // guarded by the agent's tool-list lock
    std::string phase = "react";
    std::string task_id;
    const AgentChatOptions* options = nullptr;
    AgentResponse* response = nullptr;
    EventCallback on_event;
    bool report_state = true;
    std::int32_t max_rounds = 16;
    // The model call runs beside the calls of other loops (a planned turn's
    // tasks on a remote backend) instead of waiting for the model lock.
    bool parallel_model_call = false;
    bool has_deadline = false;
    std::int64_t deadline = 0;  // steady clock, ns

    // The previous round's request (system message first), extended each
    // round by what the view gained since: during a loop the view only grows,
    // so a long history is copied once per loop, not once per round.
    std::vector<ChatMessage> request;
    std::size_t request_synced = 0;
};

}  // namespace vexa
