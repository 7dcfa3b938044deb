#include "llm/llm_state.hpp"

namespace vexa {

std::string state_name(LLMState state) {
    switch (state) {
        case LLMState::idle: return "idle";
        case LLMState::waiting: return "waiting";
        case LLMState::thinking: return "thinking";
        case LLMState::generating: return "generating";
        case LLMState::tool_calling: return "tool_calling";
        case LLMState::error: return "error";
        case LLMState::done: return "done";
    }
    return "unknown";
}

}  // namespace vexa
