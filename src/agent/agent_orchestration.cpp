// A planned turn: the planner's call, the tasks on the scheduler (each its own
// ReAct loop over a private message list) and the aggregation of their results
// into the turn's answer.

#include "agent/agent.hpp"

#include "config/agent_config.hpp"
#include "orchestration/result_aggregation.hpp"

#include <chrono>
#include <utility>

namespace vexa {

namespace {

std::int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

AgentEventType task_event_type(TaskEvent kind) {
    switch (kind) {
        case TaskEvent::Started: return AgentEventType::TaskStarted;
        case TaskEvent::Progress: return AgentEventType::TaskProgress;
        case TaskEvent::Succeeded: return AgentEventType::TaskSucceeded;
        case TaskEvent::Failed: break;
    }
    return AgentEventType::TaskFailed;
}

ChatMessage make_message(MessageRole role, std::string content) {
    ChatMessage message;
    message.role = role;
    message.content = std::move(content);
    return message;
}

}  // namespace

TaskGraph Agent::plan_tasks(const std::string& text, const EventCallback& on_event) {
    const int max_tasks = planner_max_tasks(AgentConfig::instance().agent.planner_max_tasks);
    emit_notice(kPlanningNotice, on_event);

    std::vector<ChatMessage> messages;
    messages.push_back(make_message(MessageRole::system, build_planner_prompt(max_tasks)));
    messages.push_back(make_message(MessageRole::user, text));

    RoundBuilder round;
    round.start(0, "planning", "");
    round.set_request(messages.front().content, messages, nlohmann::json::array());
    std::string answer;
    {
        LlmLock lock(*this);
        // Cancelled while waiting for the lock: the turn ends without a plan.
        if (!cancel_.load()) answer = llm_.chat_completion(messages);
    }
    ChatMessage reply = make_message(MessageRole::assistant, answer);
    round.set_round_usage(estimate_usage(messages, reply));
    round.set_result(std::move(reply), !answer.empty(), answer.empty() ? kPlannerEmptyOutputError : "");
    set_record_model_info(round, {}, {});
    append_record(round.finish());

    if (answer.empty()) return TaskGraph{};
    return parse_plan(answer, max_tasks);
}

AgentResponse Agent::run_orchestrated(const std::string& text, const AgentChatOptions& options,
                                      const TaskGraph& graph, std::int32_t round_limit,
                                      const EventCallback& on_event) {
    AgentResponse response;
    AgentEvent plan;
    plan.type = AgentEventType::PlanReady;
    plan.text = graph.summary;
    emit(plan, on_event);

    const AgentChatOptions task_options = options;
    TaskScheduler scheduler(AgentConfig::instance().agent.max_parallel_tasks);
    const std::vector<TaskResult> results = scheduler.run(
        graph,
        [&](const TaskNode& node, const std::string& context) {
            return execute_task(node, context, task_options, round_limit, on_event);
        },
        [&](TaskEvent kind, const std::string& task_id, const std::string& event_text) {
            AgentEvent event;
            event.type = task_event_type(kind);
            event.task_id = task_id;
            event.text = event_text;
            event.success = kind != TaskEvent::Failed;
            emit(event, on_event);
        },
        cancel_);

    auto end_cancelled = [&] {
        rollback_turn(true);
        response.cancelled = true;
        response.error = "Generation cancelled.";
        set_last_error(response.error);
        set_state(LLMState::idle, on_event);
        emit_error(response.error, on_event);
        return response;
    };
    if (cancel_.load()) return end_cancelled();

    emit_notice(kAggregationNotice, on_event);
    const std::string final_text = aggregate_results(text, results, options, on_event);
    // A stop during the aggregation is the user's, not a failed summary: the
    // turn ends as cancelled instead of storing "（结果汇总失败：Request cancelled）".
    if (cancel_.load()) return end_cancelled();
    response.success = true;
    response.content = final_text;
    conversation_.append(make_message(MessageRole::assistant, final_text));
    ++completed_turns_;
    maybe_start_memory_extraction(on_event);
    set_state(LLMState::done, on_event);
    AgentEvent done;
    done.type = AgentEventType::Done;
    done.text = final_text;
    done.success = true;
    emit(done, on_event);
    set_state(LLMState::idle, on_event);
    return response;
}

TaskResult Agent::execute_task(const TaskNode& node, const std::string& upstream_context,
                               const AgentChatOptions& options, std::int32_t round_limit,
                               const EventCallback& on_event) {
    TaskResult result;
    result.task_id = node.id;

    LocalConversationView view;
    view.append(make_message(MessageRole::user, task_instruction(node.description, upstream_context)));

    const auto& agent = AgentConfig::instance().agent;
    AgentResponse task_response;
    ReactContext ctx;
    ctx.view = &view;
    ctx.tool_names = &active_tools_;
    ctx.phase = "execution";
    ctx.task_id = node.id;
    ctx.options = &options;
    ctx.response = &task_response;
    ctx.on_event = on_event;
    ctx.report_state = false;
    ctx.max_rounds = round_limit;
    ctx.parallel_model_call = agent.parallel_model_calls;
    if (agent.task_timeout_seconds > 0) {
        ctx.has_deadline = true;
        ctx.deadline = steady_now_ns() + static_cast<std::int64_t>(agent.task_timeout_seconds) * 1000000000LL;
    }
    run_react_loop(ctx);

    result.output = task_response.content;
    result.error = task_response.error;
    result.success = result.error.empty() && !cancel_.load();
    return result;
}

std::string Agent::aggregate_results(const std::string& text, const std::vector<TaskResult>& results,
                                     const AgentChatOptions& options, const EventCallback& on_event) {
    std::vector<ChatMessage> messages;
    messages.push_back(make_message(MessageRole::system, build_system_prompt()));
    messages.push_back(make_message(MessageRole::user, build_aggregation_prompt(text, results)));

    RoundBuilder round;
    round.start(0, "aggregation", "");
    round.set_request(messages.front().content, messages, nlohmann::json::array());
    set_state(LLMState::waiting, on_event);

    const StreamCallbacks callbacks = stream_callbacks(round, options, on_event, true);

    StreamResult result;
    {
        LlmLock lock(*this);
        if (cancel_.load()) {
            // Cancelled while waiting for the lock: no request.
            result.error = "Request cancelled";
        } else {
            result = llm_.chat_completion_stream(messages, {}, callbacks);
            std::lock_guard<std::mutex> id_lock(request_id_mutex_);
            last_llm_request_id_ = result.response_id;
        }
    }

    round.set_result(result.message, result.ok, result.error);
    round.set_round_usage(finalize_usage(result.usage, messages, result.message));
    set_record_model_info(round, result.response_id, result.finish_reason);
    append_record(round.finish());

    if (result.ok) return result.message.content;
    return aggregation_failure_text(result.error);
}

}  // namespace vexa
