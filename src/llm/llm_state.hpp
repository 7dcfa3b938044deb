#pragma once
// Agent states and host segment actions, shared by the stream parser, the
// backends and the agent.

#include <string>

namespace vexa {

enum class LLMState : int {
    idle = 0,
    waiting = 1,
    thinking = 2,
    generating = 3,
    tool_calling = 4,
    error = 5,
    done = 6,
};

enum class SegmentAction : int { Append = 0, Revoke = 1, Reset = 2 };

// "idle", "waiting", ... ; "unknown" for a value outside the enumeration.
std::string state_name(LLMState state);

}  // namespace vexa
