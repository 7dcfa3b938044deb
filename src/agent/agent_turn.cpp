// The turn driver: prepares the conversation, picks the turn's tools, runs
// the ReAct loop and finalises or rolls back the turn.

#include "agent/agent.hpp"

#include "config/agent_config.hpp"
#include "conversation/context_compression.hpp"
#include "conversation/history_repair.hpp"
#include "support/log.hpp"
#include "support/timing.hpp"

#include <algorithm>
#include <iterator>
#include <unordered_set>
#include <utility>

namespace vexa {

namespace {

constexpr const char* kInterruptedMark = "[已被用户中断]";

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::int32_t round_limit(const AgentChatOptions& options) {
    if (options.extended_tool_rounds) return 1000;
    if (options.max_tool_rounds > 0) return options.max_tool_rounds;
    const int configured = AgentConfig::instance().agent.max_tool_rounds;
    if (configured > 0) return configured;
    return 16;
}

bool orchestration_wanted(const AgentChatOptions& options) {
    if (options.orchestration == OrchestrationMode::On) return true;
    if (options.orchestration == OrchestrationMode::Off) return false;
    return AgentConfig::instance().agent.orchestration_enabled;
}

}  // namespace

AgentResponse Agent::chat(const std::string& text, const AgentChatOptions& options, const EventCallback& on_event) {
    AgentResponse response;
    if (!started_.load()) {
        response.error = "Agent is not initialized.";
        set_last_error(response.error);
        emit_error(response.error, on_event);
        return response;
    }
    ScopedTimer timer("agent.turn_total");
    cancel_.exchange(false);
    {
        LlmLock llm_lock(*this);
        std::lock_guard<std::mutex> id_lock(request_id_mutex_);
        last_llm_request_id_.clear();
    }
    llm_.set_session_id(conversation_.session_id());
    prompt_.set_turn_prompt(options.turn_system_prompt);

    bool turn_open = false;
    std::size_t records_at_start = recorder_.record_count();
    try {
        repair_conversation(conversation_);
        conversation_.add_user_message(text, options.images);
        turn_start_ = conversation_.message_count() - 1;
        turn_open = true;

        if (!options.images.empty() && llm_.is_local()) {
            const std::string count = std::to_string(options.images.size());
            log_line(LogLevel::WARNING, "本地 backend 无视觉能力，已丢弃本轮 " + count + " 张图片，仅按文本继续。");
            emit_notice("本地模型不支持图片输入，已忽略本轮 " + count + " 张图片，仅按文本继续。", on_event);
        }

        ++user_turns_;
        recorder_.begin_turn(user_turns_, text);
        choose_turn_tools(text, options);
        compress_if_needed();
        records_at_start = recorder_.record_count();

        const std::int32_t limit = round_limit(options);
        if (orchestration_wanted(options)) {
            if (!options.images.empty()) {
                log_line(LogLevel::INFO, "图片输入禁用编排，回落传统 ReAct。");
            } else if (!cancel_.load()) {
                // Anything but a usable graph falls back to the ReAct loop
                // without a word to the user.
                const TaskGraph graph = plan_tasks(text, on_event);
                if (graph.valid && !cancel_.load()) {
                    response = run_orchestrated(text, options, graph, limit, on_event);
                    finish_turn(records_at_start);
                    return response;
                }
            }
        }

        ManagerConversationView view(conversation_);
        ReactContext ctx;
        ctx.view = &view;
        ctx.tool_names = &active_tools_;
        ctx.phase = "react";
        ctx.options = &options;
        ctx.response = &response;
        ctx.on_event = on_event;
        ctx.report_state = true;
        ctx.max_rounds = limit;
        run_react_loop(ctx);

        if (!cancel_.load() && response.error.empty()) {
            ++completed_turns_;
            maybe_start_memory_extraction(on_event);
            response.success = true;
            set_state(LLMState::done, on_event);
            AgentEvent done;
            done.type = AgentEventType::Done;
            done.text = response.content;
            emit(done, on_event);
            set_state(LLMState::idle, on_event);
        } else if (cancel_.load()) {
            rollback_turn(true);
            response.cancelled = true;
            response.error = "Generation cancelled.";
            set_last_error(response.error);
            set_state(LLMState::idle, on_event);
            emit_error(response.error, on_event);
        } else {
            rollback_turn(false);
        }
    } catch (...) {
        // Whatever escapes (a host callback that throws, memory exhaustion)
        // must not leave a half turn, the turn prompt or images behind.
        if (turn_open) rollback_turn(false);
        finish_turn(records_at_start);
        throw;
    }
    finish_turn(records_at_start);
    return response;
}

void Agent::choose_turn_tools(const std::string& text, const AgentChatOptions& options) {
    std::lock_guard<std::mutex> lock(tool_list_mutex_);
    active_tools_.clear();
    if (options.tools.empty()) {
        for (auto& name : registry_.tool_names()) {
            if (!host_tools_.is_host_tool(name)) active_tools_.push_back(std::move(name));
        }
        for (auto& name : host_tools_.select_host_tools(text)) active_tools_.push_back(std::move(name));
        return;
    }
    std::unordered_set<std::string> present;
    auto add = [&](const std::string& name) {
        if (name.empty() || present.count(name) != 0 || !registry_.has_tool(name)) return;
        present.insert(name);
        active_tools_.push_back(name);
    };
    for (const auto& name : options.tools) add(name);
    if (options.include_history_tools) {
        for (const auto& message : conversation_.messages()) {
            for (const auto& call : message.tool_calls) add(call.name);
        }
    }
}

void Agent::rollback_turn(bool mark) {
    auto& messages = conversation_.messages();
    if (turn_start_ >= messages.size()) return;
    const auto first = messages.begin() + static_cast<std::ptrdiff_t>(turn_start_);
    std::vector<ChatMessage> tail(std::make_move_iterator(first), std::make_move_iterator(messages.end()));
    messages.erase(first, messages.end());
    repair_history(tail);
    if (tail.size() > 1) {
        if (mark) {
            for (auto it = tail.rbegin(); it != tail.rend(); ++it) {
                if (it->role != MessageRole::assistant) continue;
                if (!ends_with(it->content, kInterruptedMark)) {
                    if (!it->content.empty()) it->content += "\n";
                    it->content += kInterruptedMark;
                }
                break;
            }
        }
        messages.insert(messages.end(), std::make_move_iterator(tail.begin()), std::make_move_iterator(tail.end()));
    } else {
        if (user_turns_ > 0) --user_turns_;
        log_line(LogLevel::INFO, "本轮无产出，已整段回滚（含入口 user 消息）。");
    }
    turn_start_ = messages.size();
}

void Agent::finish_turn(std::size_t records_at_start) {
    // During the turn the records are written at most every few seconds;
    // whatever way the turn ended, its last records reach the file now.
    recorder_.flush();
    // Without records (persistence off) the turn's usage is unknown and the
    // session usage stays as it is.
    conversation_.add_usage(recorder_.usage_since(records_at_start));
    conversation_.strip_images();
    prompt_.set_turn_prompt({});
}

void Agent::compress_if_needed() {
    const auto& agent = AgentConfig::instance().agent;
    if (!needs_compression(conversation_.messages(), agent.compression_threshold)) return;
    bool compressed = false;
    {
        LlmLock lock(*this);
        compressed = compress_conversation(conversation_, agent.compression_keep_recent,
                                           [this](const std::vector<ChatMessage>& request) {
                                               CompletionOptions options;
                                               options.scene = "compress";
                                               // Its usage stays out of the session's: it is
                                               // housekeeping, not an answer.
                                               return llm_.chat_completion(request, options);
                                           });
    }
    if (!compressed) return;
    repair_conversation(conversation_);
    turn_start_ = conversation_.message_count() - 1;
}

}  // namespace vexa
