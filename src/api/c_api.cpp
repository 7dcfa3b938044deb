// The flat C interface: converts C arguments into the records of CoreSession,
// calls it, and converts the results back. Nothing thrown below may cross into
// the host's C code, so every entry point catches everything and answers with
// its failure value.

#include "vexa_core/vexa_core.h"
#include "vexa_core/core_session.hpp"

#include "api/ensure_utf8.hpp"
#include "conversation/chat_message.hpp"

#include <array>
#include <cstddef>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

enum Slot : std::size_t {
    kSlotLastError,
    kSlotCurrentState,
    kSlotCurrentModel,
    kSlotModelStatusJson,
    kSlotSystemPrompt,
    kSlotOneshotCompletion,
    kSlotLastLlmRequestId,
    kSlotCurrentSessionId,
    kSlotCount
};

constexpr const char kEmptyText[] = "";

}  // namespace

// Member order matters: the slots go first on destruction, then the session
// (whose destructor shuts the agent down).
struct VexaCoreHandle {
    vexa_core::CoreSession session;
    std::mutex slot_mutex;
    std::array<std::string, kSlotCount> slots;
};

namespace {

using vexa_core::CoreSession;

std::string text_or(const char* text, const char* fallback = "") {
    return std::string(text != nullptr ? text : fallback);
}

bool has_text(const char* text) {
    return text != nullptr && text[0] != '\0';
}

// Stores a returned text, repaired into valid UTF-8, in its slot; the pointer
// lives until the same function runs again on this handle.
const char* store(VexaCoreHandle* handle, Slot slot, const std::string& text) {
    std::string repaired = vexa::ensure_utf8(text);
    std::lock_guard lock(handle->slot_mutex);
    handle->slots[slot] = std::move(repaired);
    return handle->slots[slot].c_str();
}

std::vector<std::string> string_list(const char* const* items, int count) {
    std::vector<std::string> out;
    if (items == nullptr || count <= 0) return out;
    out.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (items[i] != nullptr) out.emplace_back(items[i]);
    }
    return out;
}

vexa_core::EventCallback make_callback(VexaCoreEventCallback function, void* user_data) {
    if (function == nullptr) {
        return [](const vexa_core::AgentEvent&) {};
    }
    return [function, user_data](const vexa_core::AgentEvent& event) {
        const auto kind = static_cast<std::int32_t>(event.type);
        VexaCoreEvent record{};
        record.type = (kind >= 1 && kind <= 14) ? kind : 0;
        record.state = event.state.c_str();
        record.text = event.text.c_str();
        record.tool_name = event.tool_name.c_str();
        record.tool_arguments = event.tool_arguments.c_str();
        record.tool_result = event.tool_result.c_str();
        record.success = event.success ? 1 : 0;
        record.task_id = event.task_id.c_str();
        record.segment = event.segment.c_str();
        function(&record, user_data);
    };
}

vexa_core::ChatOptions chat_options_from(const VexaCoreChatOptions& c) {
    vexa_core::ChatOptions options;
    options.stream_content = c.stream_content != 0;
    options.stream_reasoning = c.stream_reasoning != 0;
    options.emit_tool_events = c.emit_tool_events != 0;
    options.max_tool_rounds = c.max_tool_rounds > 0 ? c.max_tool_rounds : 0;
    switch (c.orchestration) {
        case 1: options.orchestration = vexa_core::OrchestrationMode::On; break;
        case 2: options.orchestration = vexa_core::OrchestrationMode::Off; break;
        default: options.orchestration = vexa_core::OrchestrationMode::Auto; break;
    }
    options.tools = string_list(c.tools, c.tool_count);
    options.turn_system_prompt = text_or(c.turn_system_prompt);
    options.include_history_tools = c.only_listed_tools == 0;
    options.extended_tool_rounds = false;
    return options;
}

// Runs body and turns any exception into the failure value.
template <typename Result, typename Body>
Result guarded(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

template <typename Body>
void guarded_void(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

template <typename Getter>
const char* text_function(VexaCoreHandle* handle, Slot slot, Getter&& getter) noexcept {
    if (handle == nullptr) return kEmptyText;
    return guarded<const char*>(kEmptyText, [&] { return store(handle, slot, getter(handle->session)); });
}

int to_bool(bool value) {
    return value ? 1 : 0;
}

}  // namespace

extern "C" {

VexaCoreHandle* vexa_core_create(void) {
    return guarded<VexaCoreHandle*>(nullptr, [] { return new VexaCoreHandle(); });
}

void vexa_core_destroy(VexaCoreHandle* handle) {
    guarded_void([&] { delete handle; });
}

int vexa_core_initialize(VexaCoreHandle* handle, const VexaCoreInitOptions* options,
                         VexaCoreEventCallback on_event, void* user_data) {
    if (handle == nullptr) return 0;
    return guarded(0, [&] {
        vexa_core::InitializeOptions init;
        if (options != nullptr) {
            init.base_dir = text_or(options->base_dir);
            init.config_path = text_or(options->config_path);
            init.host_policy_flags = options->host_policy_flags;
        }
        return to_bool(handle->session.initialize(init, make_callback(on_event, user_data)));
    });
}

void vexa_core_shutdown(VexaCoreHandle* handle) {
    if (handle == nullptr) return;
    guarded_void([&] { handle->session.shutdown(); });
}

int vexa_core_send_text_stream(VexaCoreHandle* handle, const char* text,
                               const VexaCoreChatOptions* options, VexaCoreEventCallback on_event,
                               void* user_data) {
    if (handle == nullptr || text == nullptr) return 0;
    return guarded(0, [&] {
        vexa_core::ChatOptions chat;
        if (options != nullptr) {
            chat = chat_options_from(*options);
            // Older hosts pass a shorter record: images_json exists only from 64 bytes on.
            if (options->struct_size >= 64 && has_text(options->images_json)) {
                std::vector<vexa::ImageInput> images;
                std::string error;
                if (!vexa::parse_images_json(options->images_json, images, error)) {
                    handle->session.set_last_error_for_validation(error);
                    return 0;
                }
                chat.images.reserve(images.size());
                for (auto& image : images) {
                    chat.images.push_back({std::move(image.url), std::move(image.detail)});
                }
            }
        }
        return to_bool(handle->session.send_text_stream(text, chat, make_callback(on_event, user_data)).success);
    });
}

void vexa_core_cancel(VexaCoreHandle* handle) {
    if (handle == nullptr) return;
    guarded_void([&] { handle->session.cancel(); });
}

int vexa_core_is_cancel_requested(VexaCoreHandle* handle) {
    if (handle == nullptr) return 0;
    return guarded(0, [&] { return to_bool(handle->session.is_cancel_requested()); });
}

const char* vexa_core_last_error(VexaCoreHandle* handle) {
    return text_function(handle, kSlotLastError, [](const CoreSession& s) { return s.last_error(); });
}

const char* vexa_core_current_state(VexaCoreHandle* handle) {
    return text_function(handle, kSlotCurrentState, [](const CoreSession& s) { return s.current_state(); });
}

const char* vexa_core_current_model(VexaCoreHandle* handle) {
    return text_function(handle, kSlotCurrentModel, [](const CoreSession& s) { return s.current_model(); });
}

const char* vexa_core_current_session_id(VexaCoreHandle* handle) {
    return text_function(handle, kSlotCurrentSessionId,
                         [](const CoreSession& s) { return s.current_session_id(); });
}

const char* vexa_core_model_status_json(VexaCoreHandle* handle) {
    return text_function(handle, kSlotModelStatusJson,
                         [](const CoreSession& s) { return s.current_model_status_json(); });
}

const char* vexa_core_get_system_prompt(VexaCoreHandle* handle) {
    return text_function(handle, kSlotSystemPrompt, [](const CoreSession& s) { return s.get_system_prompt(); });
}

const char* vexa_core_last_llm_request_id(VexaCoreHandle* handle) {
    return text_function(handle, kSlotLastLlmRequestId,
                         [](const CoreSession& s) { return s.last_llm_request_id(); });
}

const char* vexa_core_oneshot_completion(VexaCoreHandle* handle, const char* messages_json,
                                         const char* options_json) {
    if (messages_json == nullptr) return kEmptyText;
    return text_function(handle, kSlotOneshotCompletion, [&](CoreSession& s) {
        return s.oneshot_completion(messages_json, text_or(options_json));
    });
}

int vexa_core_new_session(VexaCoreHandle* handle) {
    if (handle == nullptr) return 0;
    return guarded(0, [&] { return to_bool(handle->session.new_session()); });
}

int vexa_core_clear_session(VexaCoreHandle* handle) {
    if (handle == nullptr) return 0;
    return guarded(0, [&] { return to_bool(handle->session.clear_session()); });
}

int vexa_core_save_session(VexaCoreHandle* handle) {
    if (handle == nullptr) return 0;
    return guarded(0, [&] { return to_bool(handle->session.save_session()); });
}

int vexa_core_load_session(VexaCoreHandle* handle, const char* session_id) {
    if (handle == nullptr || session_id == nullptr) return 0;
    return guarded(0, [&] { return to_bool(handle->session.load_session(session_id)); });
}

int vexa_core_register_tool(VexaCoreHandle* handle, const VexaCoreToolSpec* spec,
                            VexaCoreToolExecutor executor, void* user_data) {
    if (handle == nullptr || spec == nullptr) return 0;
    return guarded(0, [&] {
        vexa_core::ToolParameterSpec tool;
        tool.name = text_or(spec->name);
        tool.description = text_or(spec->description);
        if (has_text(spec->type)) tool.type = spec->type;
        tool.properties_json = text_or(spec->properties_json);
        tool.parameters_json = text_or(spec->parameters_json);
        tool.required = string_list(spec->required, spec->required_count);
        tool.keywords = string_list(spec->keywords, spec->keyword_count);
        vexa_core::ToolExecutor run;
        if (executor != nullptr) {
            // The host's buffer is copied before control returns to it.
            run = [executor, user_data](const std::string& arguments) {
                return text_or(executor(arguments.c_str(), user_data));
            };
        }
        return to_bool(handle->session.register_tool(tool, std::move(run)));
    });
}

int vexa_core_unregister_tool(VexaCoreHandle* handle, const char* name) {
    if (handle == nullptr || name == nullptr) return 0;
    return guarded(0, [&] { return to_bool(handle->session.unregister_tool(name)); });
}

int vexa_core_request_tools(VexaCoreHandle* handle, const char* const* names, int count) {
    if (handle == nullptr || names == nullptr || count <= 0) return 0;
    return guarded(0, [&] { return to_bool(handle->session.request_tools(string_list(names, count))); });
}

void vexa_core_set_tool_confirm_callback(VexaCoreHandle* handle, VexaCoreToolConfirm confirm,
                                         void* user_data) {
    if (handle == nullptr) return;
    guarded_void([&] {
        vexa_core::ToolConfirmCallback callback;
        if (confirm != nullptr) {
            callback = [confirm, user_data](const std::string& tool_name, const std::string& arguments) {
                return confirm(tool_name.c_str(), arguments.c_str(), user_data) != 0;
            };
        }
        handle->session.set_tool_confirm_callback(std::move(callback));
    });
}

void vexa_core_set_system_prompt(VexaCoreHandle* handle, const char* text) {
    if (handle == nullptr) return;
    guarded_void([&] { handle->session.set_system_prompt(text_or(text)); });
}

void vexa_core_add_system_prompt(VexaCoreHandle* handle, const char* text) {
    if (handle == nullptr) return;
    guarded_void([&] { handle->session.add_system_prompt(text_or(text)); });
}

int vexa_core_set_host_llm_context(VexaCoreHandle* handle, const VexaCoreHostLlmContext* context) {
    if (handle == nullptr || context == nullptr) return 0;
    return guarded(0, [&] {
        vexa_core::HostLlmContext ctx;
        ctx.gateway_url = text_or(context->gateway_url);
        ctx.cookie = text_or(context->cookie);
        ctx.referer = text_or(context->referer);
        ctx.user = text_or(context->user);
        ctx.qorbin_ext = text_or(context->qorbin_ext);
        return to_bool(handle->session.set_host_llm_context(ctx));
    });
}

int vexa_core_set_llm_override(VexaCoreHandle* handle, const VexaCoreLlmOverride* llm_override) {
    if (handle == nullptr) return 0;
    return guarded(0, [&] {
        vexa_core::LlmOverride over;
        if (llm_override != nullptr) {
            if (has_text(llm_override->base_url)) over.base_url = llm_override->base_url;
            if (has_text(llm_override->api_key)) over.api_key = llm_override->api_key;
            if (has_text(llm_override->model)) over.model = llm_override->model;
            if (has_text(llm_override->backend)) over.backend = llm_override->backend;
            if (llm_override->has_temperature != 0) over.temperature = llm_override->temperature;
            if (llm_override->has_max_tokens != 0) over.max_tokens = llm_override->max_tokens;
            if (llm_override->has_timeout_seconds != 0) over.timeout_seconds = llm_override->timeout_seconds;
        }
        return to_bool(handle->session.set_llm_override(over));
    });
}

int vexa_core_add_conversation_from_memory(VexaCoreHandle* handle, const char* json) {
    if (handle == nullptr) return -1;
    return guarded(-1, [&] { return handle->session.add_conversation_from_memory(text_or(json)); });
}

int vexa_core_set_conversation_from_memory(VexaCoreHandle* handle, const char* json) {
    if (handle == nullptr) return -1;
    return guarded(-1, [&] { return handle->session.set_conversation_from_memory(text_or(json, "[]")); });
}

int vexa_core_set_skills_from_memory(VexaCoreHandle* handle, const char* json) {
    if (handle == nullptr) return -1;
    return guarded(-1, [&] { return handle->session.load_skills_from_memory(text_or(json, "[]")); });
}

int vexa_core_set_identity_from_memory(VexaCoreHandle* handle, const char* json) {
    if (handle == nullptr) return 0;
    return guarded(0, [&] { return to_bool(handle->session.set_identity_from_memory(text_or(json))); });
}

int vexa_core_set_soul_from_memory(VexaCoreHandle* handle, const char* text) {
    if (handle == nullptr) return 0;
    return guarded(0, [&] { return to_bool(handle->session.set_soul_from_memory(text_or(text))); });
}

}  // extern "C"
