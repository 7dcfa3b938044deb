#pragma once
// What one ReAct loop works with, and the trace each of its rounds leaves.

#include "agent/agent_event.hpp"
#include "agent/conversation_view.hpp"
#include "conversation/chat_message.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace vexa {

struct ToolExecutionTrace {
    std::string id;
    std::string name;
    std::string arguments;      // as the model sent them
    std::string result;         // raw
    std::string model_result;   // what the model was given
    bool success = false;
    std::int32_t duration_ms = 0;
    std::int64_t started_at_ms = 0;  // wall clock, ms since 1970
};

// One round: a model call and the tool calls it asked for.
struct RoundTrace {
    int round = 0;
    std::string phase;
    std::string task_id;
    std::int64_t started_ns = 0;       // steady clock
    std::int64_t first_token_ns = -1;  // steady clock; -1 = no output
    std::int64_t finished_ns = 0;
    bool success = false;
    std::string error;
    TokenUsage usage;
    std::string model;
    std::string backend;
    std::string request_id;
    std::string finish_reason;
    std::vector<ToolExecutionTrace> tools;

    void start(int number, const std::string& phase_name, const std::string& task);
    void mark_first_token();
    // Keeps the previous reason when given an empty one.
    void set_finish_reason(const std::string& reason);
    void finish();
};

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
