#pragma once
// Conversions between the public records of vexa_core and the engine's records,
// and the small pieces of initialisation that do not need an agent.

#include "vexa_core/core_session.hpp"

#include "agent/agent_event.hpp"
#include "conversation/chat_message.hpp"
#include "llm/llm_backend.hpp"

#include <string>
#include <vector>

namespace vexa_core::detail {

inline constexpr const char* kNotInitialized = "CoreSession is not initialized.";
inline constexpr const char* kTooManyImages = "chat images count exceeds limit.";

// Copies the host's images and validates each one (detail normalised, URL
// trimmed). More than 9 images or an invalid one: false and the message.
bool convert_images(const std::vector<ImageInput>& images, std::vector<vexa::ImageInput>& out,
                    std::string& error);

// The per-turn options as the agent takes them; false (with the image
// validation message) when an image is refused.
bool to_agent_options(const ChatOptions& options, vexa::AgentChatOptions& out, std::string& error);

// The event as the host sees it: kinds outside 1..14 become Notice, the state
// becomes its name ("unknown" for a value outside the enumeration).
AgentEvent to_public_event(const vexa::AgentEvent& event);

// The engine callback that converts and forwards to the host's callback. It is
// never empty, so an empty host callback silences events instead of letting
// the agent fall back to its default callback.
vexa::EventCallback wrap_event_callback(EventCallback callback);

// {"arguments":..,"id":..,"name":..}, compact; arguments parsed as JSON, or the
// raw text as a JSON string when it is not one JSON value.
std::string tool_call_json(const vexa::ToolCall& call);

ChatResult to_chat_result(const vexa::AgentResponse& response);

vexa::LlmOverride to_engine(const LlmOverride& llm_override);
vexa::HostLlmContext to_engine(const HostLlmContext& context);

// Where initialisation looks for its configuration.
struct ConfigLocation {
    std::string base_dir;     // as given, or the executable's directory
    std::string config_path;  // as given, or <base_dir>/config/agent_config.json, normalised
};
ConfigLocation locate_config(const InitializeOptions& options);

// The warning left in last_error when the configuration file cannot be used.
std::string config_warning(const std::string& path);

// Sets the C runtime locale (all categories) to UTF-8: ".UTF-8", else
// "C.UTF-8". Returns the name that was accepted, "" when both were refused.
std::string set_utf8_locale();

}  // namespace vexa_core::detail
