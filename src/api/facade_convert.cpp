#include "api/facade_convert.hpp"

#include "api/ensure_utf8.hpp"

#include "config/agent_config.hpp"
#include "config/json_util.hpp"
#include "llm/llm_state.hpp"
#include "support/fs_util.hpp"

#include <nlohmann/json.hpp>

#include <clocale>
#include <filesystem>
#include <utility>

namespace vexa_core::detail {

namespace {

using nlohmann::json;

// Strict: the whole text must be one JSON value.
json parse_or_discarded(const std::string& text) {
    return vexa::parse_json_bounded(text);
}

}  // namespace

bool convert_images(const std::vector<ImageInput>& images, std::vector<vexa::ImageInput>& out,
                    std::string& error) {
    if (images.size() > vexa::kMaxImagesPerTurn) {
        error = kTooManyImages;
        return false;
    }
    std::vector<vexa::ImageInput> converted;
    converted.reserve(images.size());
    for (const ImageInput& image : images) {
        vexa::ImageInput engine_image{image.url, image.detail};
        if (!vexa::validate_image(engine_image, error)) {
            return false;
        }
        converted.push_back(std::move(engine_image));
    }
    out = std::move(converted);
    error.clear();
    return true;
}

bool to_agent_options(const ChatOptions& options, vexa::AgentChatOptions& out, std::string& error) {
    vexa::AgentChatOptions converted;
    converted.stream_content = options.stream_content;
    converted.stream_reasoning = options.stream_reasoning;
    converted.emit_tool_events = options.emit_tool_events;
    converted.max_tool_rounds = options.max_tool_rounds;
    converted.extended_tool_rounds = options.extended_tool_rounds;
    converted.orchestration = static_cast<vexa::OrchestrationMode>(options.orchestration);
    converted.tools = options.tools;
    converted.turn_system_prompt = options.turn_system_prompt;
    converted.include_history_tools = options.include_history_tools;
    if (!convert_images(options.images, converted.images, error)) {
        return false;
    }
    out = std::move(converted);
    return true;
}

AgentEvent to_public_event(const vexa::AgentEvent& event) {
    AgentEvent out;
    const auto kind = static_cast<std::int32_t>(event.type);
    out.type = (kind >= 1 && kind <= 14) ? static_cast<AgentEventType>(kind) : AgentEventType::Notice;
    out.state = vexa::state_name(event.state);
    // Model output, server errors and tool results may hold bytes that are
    // not UTF-8; the host is promised UTF-8 in every text.
    out.text = vexa::valid_utf8(event.text);
    out.tool_name = vexa::valid_utf8(event.tool_name);
    out.tool_arguments = vexa::valid_utf8(event.tool_arguments);
    out.tool_result = vexa::valid_utf8(event.tool_result);
    out.task_id = vexa::valid_utf8(event.task_id);
    out.segment = vexa::valid_utf8(event.segment);
    out.success = event.success;
    return out;
}

vexa::EventCallback wrap_event_callback(EventCallback callback) {
    return [callback = std::move(callback)](const vexa::AgentEvent& event) {
        if (callback) {
            callback(to_public_event(event));
        }
    };
}

std::string tool_call_json(const vexa::ToolCall& call) {
    json arguments = parse_or_discarded(call.arguments);
    if (arguments.is_discarded()) {
        arguments = call.arguments;
    }
    json object = json::object();
    object["arguments"] = std::move(arguments);
    object["id"] = call.id;
    object["name"] = call.name;
    return vexa::dump_json(object, -1);
}

ChatResult to_chat_result(const vexa::AgentResponse& response) {
    ChatResult result;
    result.success = response.success;
    result.cancelled = response.cancelled;
    result.error = vexa::valid_utf8(response.error);
    result.content = vexa::valid_utf8(response.content);
    result.reasoning = vexa::valid_utf8(response.reasoning);
    result.tool_calls.reserve(response.tool_calls.size());
    for (const vexa::ToolCall& call : response.tool_calls) {
        result.tool_calls.push_back(tool_call_json(call));
    }
    result.tool_results = response.tool_results;
    return result;
}

vexa::LlmOverride to_engine(const LlmOverride& llm_override) {
    vexa::LlmOverride out;
    out.backend = llm_override.backend;
    out.base_url = llm_override.base_url;
    out.api_key = llm_override.api_key;
    out.model = llm_override.model;
    out.temperature = llm_override.temperature;
    out.max_tokens = llm_override.max_tokens;
    out.timeout_seconds = llm_override.timeout_seconds;
    return out;
}

vexa::HostLlmContext to_engine(const HostLlmContext& context) {
    vexa::HostLlmContext out;
    out.gateway_url = context.gateway_url;
    out.cookie = context.cookie;
    out.referer = context.referer;
    out.user = context.user;
    out.qorbin_ext = context.qorbin_ext;
    return out;
}

ConfigLocation locate_config(const InitializeOptions& options) {
    ConfigLocation location;
    location.base_dir = options.base_dir.empty() ? vexa::executable_directory() : options.base_dir;
    if (!options.config_path.empty()) {
        location.config_path = options.config_path;
    } else {
        const std::filesystem::path path =
            vexa::path_from_utf8(location.base_dir) / "config" / "agent_config.json";
        location.config_path = vexa::path_to_utf8(path.lexically_normal());
    }
    return location;
}

std::string config_warning(const std::string& path) {
    return "Warning: Could not load config from " + path + ". Using default configuration.";
}

std::string set_utf8_locale() {
    for (const char* name : {".UTF-8", "C.UTF-8"}) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            return name;
        }
    }
    return {};
}

}  // namespace vexa_core::detail
