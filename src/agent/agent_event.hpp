#pragma once
// The engine's event record, per-turn options and turn result.

#include "conversation/chat_message.hpp"
#include "llm/llm_state.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vexa {

enum class AgentEventType : std::int32_t {
    Notice = 0,
    ModelLoading = 1,
    StateChanged = 2,
    ContentDelta = 3,
    ReasoningDelta = 4,
    ToolCallStarted = 5,
    ToolCallFinished = 6,
    Done = 7,
    Error = 8,
    PlanReady = 9,
    TaskStarted = 10,
    TaskProgress = 11,
    TaskSucceeded = 12,
    TaskFailed = 13,
    SegmentUpdate = 14,
};

struct AgentEvent {
    AgentEventType type = AgentEventType::Notice;
    LLMState state = LLMState::idle;
    std::string text;
    std::string tool_name;
    std::string tool_arguments;  // redacted
    std::string tool_result;     // raw
    std::string task_id;
    std::string segment;
    bool success = true;
};

using EventCallback = std::function<void(const AgentEvent&)>;
// (tool name, redacted arguments) -> true runs the call.
using ToolConfirmCallback = std::function<bool(const std::string&, const std::string&)>;

enum class OrchestrationMode : std::int32_t { Auto = 0, On = 1, Off = 2 };

struct AgentChatOptions {
    bool stream_content = true;
    bool stream_reasoning = true;
    bool emit_tool_events = true;
    std::int32_t max_tool_rounds = 0;
    bool extended_tool_rounds = false;
    OrchestrationMode orchestration = OrchestrationMode::Auto;
    std::vector<std::string> tools;
    std::string turn_system_prompt;
    bool include_history_tools = true;
    std::vector<ImageInput> images;
};

struct AgentResponse {
    bool success = false;
    bool cancelled = false;
    std::string error;
    std::string content;
    std::string reasoning;
    std::vector<ToolCall> tool_calls;  // arguments redacted
    std::vector<std::string> tool_results;
};

}  // namespace vexa
