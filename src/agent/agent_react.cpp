// The ReAct loop: model call, tool calls, model call, ... until the model
// answers without tools, the round limit or a deadline is hit, or the turn is
// cancelled.

#include "agent/agent.hpp"

#include "agent/tool_judgement.hpp"
#include "config/agent_config.hpp"
#include "support/timing.hpp"

#include <chrono>
#include <utility>

namespace vexa {

namespace {

std::int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void Agent::run_react_loop(ReactContext& ctx) {
    int i = 0;
    while (!cancel_.load()) {
        if (ctx.has_deadline && steady_now_ns() >= ctx.deadline) {
            if (ctx.response->error.empty()) ctx.response->error = "任务执行超时";
            return;
        }
        ++i;
        if (i > ctx.max_rounds) {
            const std::string text = "Tool call loop exceeded max_tool_rounds=" + std::to_string(ctx.max_rounds);
            ctx.response->error = text;
            RoundBuilder round;
            round.start(i, ctx.phase, ctx.task_id);
            ChatMessage empty;
            empty.role = MessageRole::assistant;
            round.set_result(std::move(empty), false, text);
            set_record_model_info(round, {}, {});
            round.set_finish_reason("max_tool_rounds");
            append_record(round.finish());
            if (ctx.report_state) {
                set_last_error(text);
                set_state(LLMState::error, ctx.on_event);
                emit_error(text, ctx.on_event);
            }
            return;
        }
        RoundBuilder round;
        round.start(i, ctx.phase, ctx.task_id);
        bool wants_tools = false;
        if (!execute_llm_call(ctx, round, wants_tools)) {
            if (cancel_.load()) round.set_finish_reason("cancelled");
            append_record(round.finish());
            return;
        }
        if (wants_tools) {
            // Copied: executing the calls appends to the list they live in.
            std::vector<ToolCall> calls = ctx.view->messages().back().tool_calls;
            if (calls.empty()) {
                wants_tools = false;
            } else {
                handle_tool_calls(ctx, round, calls);
            }
        }
        append_record(round.finish());
        if (!wants_tools) return;
    }
}

StreamCallbacks Agent::stream_callbacks(RoundBuilder& round, const AgentChatOptions& options,
                                        const EventCallback& on_event, bool report) {
    StreamCallbacks callbacks;
    callbacks.on_content = [this, &round, &options, &on_event, report](const std::string& text) {
        round.mark_first_token();
        if (!report || !options.stream_content) return;
        AgentEvent event;
        event.type = AgentEventType::ContentDelta;
        event.text = text;
        emit(event, on_event);
    };
    callbacks.on_segment = [this, &round, &options, &on_event, report](SegmentAction action, const std::string& text,
                                                                       const std::string& instruction) {
        if (action == SegmentAction::Append) round.mark_first_token();
        if (!report || !options.stream_content) return;
        AgentEvent event;
        event.type = action == SegmentAction::Append ? AgentEventType::ContentDelta : AgentEventType::SegmentUpdate;
        event.text = text;
        event.segment = instruction;
        emit(event, on_event);
    };
    callbacks.on_reasoning = [this, &round, &options, &on_event, report](const std::string& text) {
        round.mark_first_token();
        if (!report || !options.stream_reasoning) return;
        AgentEvent event;
        event.type = AgentEventType::ReasoningDelta;
        event.text = text;
        emit(event, on_event);
    };
    // Retries of the request are announced to whoever follows this turn.
    callbacks.on_notice = [this, &on_event](const std::string& text) { emit_notice(text, on_event); };
    callbacks.on_state = [this, &round, &on_event, report](LLMState state) {
        if (state == LLMState::thinking || state == LLMState::generating || state == LLMState::tool_calling) {
            round.mark_first_token();
        }
        if (report) set_state(state, on_event);
    };
    return callbacks;
}

bool Agent::execute_llm_call(ReactContext& ctx, RoundBuilder& round, bool& wants_tools) {
    ScopedTimer timer("llm.total_latency");
    wants_tools = false;

    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(tool_list_mutex_);
        names = *ctx.tool_names;
    }
    const nlohmann::json definitions = registry_.tool_definitions(names);
    std::vector<ToolDefinition> tools;
    tools.reserve(definitions.size());
    for (const auto& element : definitions) {
        const auto& function = element.at("function");
        ToolDefinition definition;
        definition.type = "function";
        definition.name = function.at("name").get<std::string>();
        definition.description = function.at("description").get<std::string>();
        definition.parameters = function.at("parameters");
        tools.push_back(std::move(definition));
    }

    const std::string system_prompt = build_system_prompt();
    const auto& history = ctx.view->messages();
    std::vector<ChatMessage>& request = ctx.request;
    if (request.empty() || ctx.request_synced > history.size()) {
        request.clear();
        request.reserve(history.size() + 16);
        ChatMessage system;
        system.role = MessageRole::system;
        request.push_back(std::move(system));
        ctx.request_synced = 0;
    }
    request.insert(request.end(), history.begin() + static_cast<std::ptrdiff_t>(ctx.request_synced), history.end());
    ctx.request_synced = history.size();
    request.front().content = system_prompt;
    round.set_request(system_prompt, request, definitions);

    const bool report = ctx.report_state;
    const StreamCallbacks callbacks = stream_callbacks(round, *ctx.options, ctx.on_event, report);

    if (report) set_state(LLMState::waiting, ctx.on_event);

    StreamResult result;
    // Set when the turn was cancelled before the request went out: there is
    // no answer, not even an empty one, to keep.
    bool not_sent = false;
    bool done = false;
    if (ctx.parallel_model_call) {
        {
            std::lock_guard<std::mutex> prompt_lock(stored_prompt_mutex_);
            conversation_.set_system_prompt(system_prompt);
        }
        done = llm_.parallel_chat_completion_stream(request, tools, callbacks, cancel_, result, not_sent);
    }
    if (!done) {
        LlmLock lock(*this);
        {
            // Tasks of one turn may run at once and must not write the
            // store's latest prompt at the same time.
            std::lock_guard<std::mutex> prompt_lock(stored_prompt_mutex_);
            conversation_.set_system_prompt(system_prompt);
        }
        // The turn may have been cancelled while this call waited for the
        // lock (another task's call held it): a request started now would
        // not see that cancel.
        if (cancel_.load()) {
            not_sent = true;
        } else {
            result = llm_.chat_completion_stream(request, tools, callbacks);
        }
    }
    if (not_sent) {
        result.ok = false;
        result.error = "Request cancelled";
    } else {
        std::lock_guard<std::mutex> id_lock(request_id_mutex_);
        last_llm_request_id_ = result.response_id;
    }

    round.set_result(result.message, result.ok, result.error);
    round.set_round_usage(finalize_usage(result.usage, request, result.message));
    set_record_model_info(round, result.response_id, result.finish_reason);

    if (result.ok) {
        wants_tools = !result.message.tool_calls.empty();
        append_assistant(ctx, result.message);
        return true;
    }

    ctx.response->error = "LLM call failed: " + result.error;
    // A cancelled answer is kept so the turn can be rolled back with its
    // partial text marked as interrupted.
    if (cancel_.load() && !not_sent) append_assistant(ctx, result.message);
    if (report) {
        set_last_error(ctx.response->error);
        set_state(LLMState::error, ctx.on_event);
        emit_error(ctx.response->error, ctx.on_event);
    }
    return false;
}

void Agent::append_assistant(ReactContext& ctx, const ChatMessage& message) {
    AgentResponse& response = *ctx.response;
    response.content += message.content;
    if (message.reasoning_content) response.reasoning += *message.reasoning_content;
    for (const auto& call : message.tool_calls) {
        ToolCall shown = call;
        shown.arguments = redact_arguments(call.arguments);
        response.tool_calls.push_back(std::move(shown));
    }
    ctx.view->append(message);
}

}  // namespace vexa
