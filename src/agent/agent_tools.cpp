// Tool call execution: host confirmation, bounded parallel execution,
// judgement of results and the tool messages the model receives.

#include "agent/agent.hpp"

#include "agent/counting_gate.hpp"
#include "agent/tool_judgement.hpp"
#include "config/agent_config.hpp"

#include <chrono>
#include <future>
#include <utility>

namespace vexa {

namespace {

std::int64_t wall_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

constexpr const char* kModelManagementTool = "model_management";

}  // namespace

std::string Agent::run_one_tool_call(const ToolCall& call, const std::string& display_arguments,
                                     std::int32_t& duration_ms, std::int64_t& started_at_ms) {
    duration_ms = 0;
    if (cancel_.load()) {
        started_at_ms = wall_now_ms();
        return kToolCancelledResult;
    }
    ToolConfirmCallback hook;
    {
        std::lock_guard<std::mutex> lock(confirm_mutex_);
        hook = confirm_callback_;
    }
    if (hook) {
        std::string refused;
        if (cancel_.load()) {
            refused = kToolCancelledResult;
        } else {
            const bool allowed = hook(call.name, display_arguments);
            if (cancel_.load()) {
                refused = kToolCancelledResult;
            } else if (!allowed) {
                refused = kToolRejectedResult;
            }
        }
        if (!refused.empty()) {
            started_at_ms = wall_now_ms();
            return refused;
        }
    }
    if (cancel_.load()) {
        started_at_ms = wall_now_ms();
        return kToolCancelledResult;
    }
    started_at_ms = wall_now_ms();
    const auto begin = std::chrono::steady_clock::now();
    std::string result = registry_.execute_tool_call(call);
    duration_ms = static_cast<std::int32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count());
    return result;
}

void Agent::handle_tool_calls(ReactContext& ctx, RoundBuilder& round, const std::vector<ToolCall>& calls) {
    const AgentChatOptions& options = *ctx.options;
    if (ctx.report_state) set_state(LLMState::tool_calling, ctx.on_event);

    const std::size_t n = calls.size();
    std::vector<std::string> shown(n);
    for (std::size_t j = 0; j < n; ++j) {
        shown[j] = redact_arguments(calls[j].arguments);
        if (options.emit_tool_events) {
            AgentEvent event;
            event.type = AgentEventType::ToolCallStarted;
            event.tool_name = calls[j].name;
            event.tool_arguments = shown[j];
            event.task_id = ctx.task_id;
            emit(event, ctx.on_event);
        }
    }

    const int configured = AgentConfig::instance().agent.max_parallel_tasks;
    const int permits = configured >= 2 ? configured : 1;
    bool parallel = n >= 2 && permits > 1;
    for (std::size_t j = 0; parallel && j < n; ++j) {
        // Host tools may not be thread-safe, and a model switch changes what
        // every other call runs against: both run alone.
        if (calls[j].name == kModelManagementTool || host_tools_.is_host_tool(calls[j].name)) parallel = false;
    }

    std::vector<std::string> results(n);
    std::vector<std::int32_t> durations(n, 0);
    std::vector<std::int64_t> starts(n, 0);
    if (parallel) {
        CountingGate gate(permits);
        std::vector<std::future<void>> tasks;
        tasks.reserve(n);
        for (std::size_t j = 0; j < n; ++j) {
            tasks.push_back(std::async(std::launch::async, [&, j] {
                CountingGate::Permit permit(gate);
                results[j] = run_one_tool_call(calls[j], shown[j], durations[j], starts[j]);
            }));
        }
        for (auto& task : tasks) task.get();
    } else {
        for (std::size_t j = 0; j < n; ++j) {
            results[j] = run_one_tool_call(calls[j], shown[j], durations[j], starts[j]);
        }
    }

    bool rejected = false;
    for (std::size_t j = 0; j < n; ++j) {
        const ToolCall& call = calls[j];
        const std::string& result = results[j];
        const bool ok = is_tool_success(result);
        if (result == kToolRejectedResult) rejected = true;
        ctx.response->tool_results.push_back(result);
        std::string content = tool_message_content(call.name, result, ok);

        round.add_tool_execution(call.id, call.name, call.arguments, result, ok, durations[j], starts[j]);

        if (options.emit_tool_events) {
            AgentEvent event;
            event.type = AgentEventType::ToolCallFinished;
            event.tool_name = call.name;
            event.tool_result = result;
            event.success = ok;
            event.task_id = ctx.task_id;
            emit(event, ctx.on_event);
        }
        ctx.view->append_tool_result(call.id, call.name, content);
    }

    if (cancel_.load()) {
        round.set_finish_reason("cancelled");
    } else if (rejected) {
        round.set_finish_reason("user_rejected");
    }
}

}  // namespace vexa
