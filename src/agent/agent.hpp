#pragma once
// The engine behind one CoreSession: owns the model client, the current
// conversation, the tools and the host's prompt texts, and runs turns.

#include "agent/agent_event.hpp"
#include "agent/conversation_view.hpp"
#include "agent/react_context.hpp"
#include "agent/system_prompt.hpp"
#include "conversation/chat_message.hpp"
#include "conversation/conversation_manager.hpp"
#include "conversation/interaction_recorder.hpp"
#include "knowledge/background_runner.hpp"
#include "knowledge/identity.hpp"
#include "knowledge/memory_extractor.hpp"
#include "knowledge/memory_store.hpp"
#include "knowledge/user_profile.hpp"
#include "llm/llm_backend.hpp"
#include "llm/llm_client.hpp"
#include "llm/llm_state.hpp"
#include "models/model_manager.hpp"
#include "orchestration/task_planner.hpp"
#include "orchestration/task_scheduler.hpp"
#include "skills/skill_manager.hpp"
#include "tools/dynamic_tool.hpp"
#include "tools/tool_registry.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vexa {

inline constexpr const char* kOneshotInCallbackError =
    "oneshot_completion cannot use the local model from inside this session's callbacks while it runs a "
    "model call; call it from another thread.";

struct CommandResult {
    bool success = false;
    bool should_exit = false;
    std::string message;
};

class Agent {
public:
    Agent();
    // For tests and benchmarks: backends come from `factory`.
    explicit Agent(BackendFactory factory);
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // ---- lifecycle ----------------------------------------------------------
    // Configures the model client, hands the registry to the host tool manager
    // and opens a new session. A client that cannot be configured is reported
    // (last_error, Error event) but does not fail start-up.
    bool start(EventCallback default_callback);
    // Cancels, saves the session and returns to idle. Nothing when not started.
    void shutdown();
    bool started() const { return started_.load(); }

    // ---- turns --------------------------------------------------------------
    // One user turn. An empty callback routes the turn's events to the default
    // callback. Runs on the calling thread; one turn at a time (the caller
    // serialises turns).
    AgentResponse chat(const std::string& text, const AgentChatOptions& options, const EventCallback& on_event);
    // Any thread: stops the running turn as soon as possible.
    void cancel();
    bool cancel_requested() const { return cancel_.load(); }
    // Any thread, also during a turn: adds registered tools to the current
    // turn's offer from its next model call on. Always true.
    bool request_tools(const std::vector<std::string>& names);

    // ---- events and state ---------------------------------------------------
    void set_state(LLMState state, const EventCallback& callback);
    LLMState state() const { return state_.load(); }
    // Delivers one event (to `callback`, else to the default callback) under
    // the event lock, so the host never sees two at once.
    void emit(const AgentEvent& event, const EventCallback& callback);
    void emit_notice(const std::string& text, const EventCallback& callback);
    void emit_error(const std::string& text, const EventCallback& callback);

    std::string last_error() const;
    void set_last_error(std::string text);
    std::string last_llm_request_id() const;

    // ---- tools --------------------------------------------------------------
    // A tool of the library itself: not a host tool, may run in parallel.
    void register_builtin_tool(std::shared_ptr<ITool> tool);
    bool register_host_tool(const ToolSpec& spec);
    bool unregister_host_tool(const std::string& name);
    std::vector<std::string> host_tool_names() const;
    // Empty removes the hook. Affects calls that start afterwards.
    void set_tool_confirm_callback(ToolConfirmCallback callback);
    // The tools offered to the model in the current (or last) turn.
    std::vector<std::string> active_tool_names() const;

    // ---- prompts ------------------------------------------------------------
    void set_system_prompt(std::string text);
    void add_system_prompt(std::string text);
    // The system prompt the next model call sends. Any thread.
    std::string build_system_prompt() const;

    // ---- skills -------------------------------------------------------------
    // The skill library (locks itself; any thread).
    SkillManager& skills() { return skills_; }
    const SkillManager& skills() const { return skills_; }
    // Replaces the library by the host's skills; the library's size, or -1
    // with last_error set (the library is then unchanged).
    int load_skills_from_memory(const std::string& skills_json);

    // ---- sessions -----------------------------------------------------------
    std::string session_id() const { return conversation_.session_id(); }
    bool save_session();
    bool load_session(const std::string& id);
    std::vector<std::string> list_sessions() const;
    // Both save the current session first; when that save fails they change
    // nothing and answer false with "Failed to save conversation.".
    bool new_session();
    bool clear_session();
    // Host conversation injection; the count of messages taken, or -1.
    int append_conversation(const std::string& json);
    int replace_conversation(const std::string& json);
    // Copies, for reports and tests; never during a turn.
    std::vector<ChatMessage> messages() const { return conversation_.messages(); }
    std::size_t message_count() const { return conversation_.message_count(); }
    TokenUsage session_usage() const { return conversation_.session_usage(); }
    int user_turn_count() const { return user_turns_; }

    // ---- model --------------------------------------------------------------
    bool set_llm_override(const LlmOverride& llm_override);
    bool set_host_llm_context(const HostLlmContext& context);
    std::string current_model() const;
    std::string agent_name() const;
    std::string status_text() const;
    // One model call outside the conversation; the result JSON text.
    std::string oneshot(const std::string& messages_json, const std::string& options_json);

    // ---- commands and reports ----------------------------------------------
    // Slash commands: /exit, /save, /load, /clear, /skill, /memory, /config,
    // /model, /status and /profile; any other command answers
    // "Unknown command: /<word>". Never during a turn (the caller serialises).
    // `/config set` refuses a value its key does not take with a failed
    // result naming key, value and the expected range, with nothing changed.
    CommandResult execute_command(const std::string& command, const std::string& args);
    std::string config_text() const;

    // ---- knowledge ----------------------------------------------------------
    // The host's persona texts replace whatever was loaded from config_dir.
    bool set_identity_from_memory(const std::string& identity_json);
    bool set_soul_from_memory(const std::string& soul_text);
    // Runs `fn(store, profile, profile_path)` under the memory lock (for
    // commands and reports). `fn` must not call back into the agent.
    template <typename Fn>
    auto with_memory(Fn&& fn) {
        std::lock_guard<std::mutex> lock(memory_mutex_);
        return fn(memory_, profile_, profile_path_);
    }
    template <typename Fn>
    auto with_memory(Fn&& fn) const {
        std::lock_guard<std::mutex> lock(memory_mutex_);
        return fn(memory_, profile_, profile_path_);
    }
    // Waits for a running memory extraction, if any.
    void wait_for_memory_extraction();
    bool memory_extraction_running() const { return extraction_.running(); }

    // ---- model management ---------------------------------------------------
    // JSON texts indented by 2 for the host.
    std::string model_status_json() const;
    std::string local_models_json() const;
    std::string remote_models_json() const;
    // Catalog and switching (locks itself; never while a model call of this
    // agent runs on the calling thread).
    ModelManager& models() { return models_; }

    // ---- interaction records ----------------------------------------------
    // Every model call made for a turn leaves one record. Code outside the
    // ReAct loop (planning, aggregation) builds its record with a RoundBuilder,
    // fills the model and backend with set_record_model_info and appends it.
    // Any thread.
    void append_record(InteractionRecord record);
    // set_model_info with the model and backend in force (the client's
    // effective configuration when it has a backend, else the configured one).
    void set_record_model_info(RoundBuilder& round, std::string request_id, std::string finish_reason) const;
    // The records of the latest turn, in order (request messages left out:
    // the record file has them).
    std::vector<InteractionRecord> last_turn_records() const { return recorder_.turn_records(); }
    // <conversations_full_dir>/<session id>.json; empty while no records are kept.
    std::filesystem::path record_file_path() const { return recorder_.file_path(); }

    // ---- ReAct loop and tool execution (also used by orchestrated tasks) ---
    void run_react_loop(ReactContext& ctx);
    bool execute_llm_call(ReactContext& ctx, RoundBuilder& round, bool& wants_tools);
    // The callbacks of a streamed model call: first-token times into `round`;
    // with `report`, text and reasoning as the options ask and every state
    // change go to `on_event`. Retry notices always do. The arguments must
    // outlive the call.
    StreamCallbacks stream_callbacks(RoundBuilder& round, const AgentChatOptions& options,
                                     const EventCallback& on_event, bool report);
    void append_assistant(ReactContext& ctx, const ChatMessage& message);
    void handle_tool_calls(ReactContext& ctx, RoundBuilder& round, const std::vector<ToolCall>& calls);

    // ---- orchestration (a planned turn) --------------------------------------
    // Asks the model for a task graph; an unusable answer gives an invalid one.
    TaskGraph plan_tasks(const std::string& text, const EventCallback& on_event);
    // Runs a valid graph's tasks on the scheduler and aggregates their
    // results into the turn's answer (or ends the turn as cancelled).
    AgentResponse run_orchestrated(const std::string& text, const AgentChatOptions& options, const TaskGraph& graph,
                                   std::int32_t round_limit, const EventCallback& on_event);
    // One task: its own ReAct loop over a private message list.
    TaskResult execute_task(const TaskNode& node, const std::string& upstream_context,
                            const AgentChatOptions& options, std::int32_t round_limit, const EventCallback& on_event);
    // The final answer from the task results, or the aggregation failure text.
    std::string aggregate_results(const std::string& text, const std::vector<TaskResult>& results,
                                  const AgentChatOptions& options, const EventCallback& on_event);

private:
    void deliver_locked(const AgentEvent& event, const EventCallback& callback);
    void add_prompt_sources();
    void init_llm();
    void register_builtin_tools();
    void load_local_skills();
    void load_knowledge();
    void save_knowledge();
    void maybe_start_memory_extraction(const EventCallback& on_event);
    void compress_if_needed();
    void choose_turn_tools(const std::string& text, const AgentChatOptions& options);
    void rollback_turn(bool mark);
    void finish_turn(std::size_t records_at_start);
    // Points the recorder at the current session (or, with persistence off,
    // only tells it the id).
    void point_recorder_at_session();
    void autosave();
    bool save_before_replacing();
    int after_injection(int count, bool replace);
    std::string run_one_tool_call(const ToolCall& call, const std::string& display_arguments,
                                  std::int32_t& duration_ms, std::int64_t& started_at_ms);

    LLMClient llm_;

    // What the model manager may do to this agent's model client: switches
    // wait for a running model call (LLM lock); the status never waits.
    class ModelRuntime final : public IModelRuntime {
    public:
        explicit ModelRuntime(Agent& agent) : agent_(agent) {}
        bool reconfigure(const LLMConfig& config, std::string& error) override;
        ModelRuntimeStatus status() const override;

    private:
        Agent& agent_;
    };
    ModelRuntime model_runtime_{*this};
    ModelManager models_;

    ConversationManager conversation_;
    ToolRegistry registry_;
    DynamicToolManager host_tools_;

    mutable std::mutex tool_list_mutex_;
    std::vector<std::string> active_tools_;

    mutable std::mutex event_mutex_;
    EventCallback default_callback_;

    std::mutex confirm_mutex_;
    ToolConfirmCallback confirm_callback_;

    std::atomic<bool> cancel_{false};
    std::atomic<bool> started_{false};
    std::atomic<LLMState> state_{LLMState::idle};

    // Every model call of the agent runs under this lock, so calls never overlap.
    // Taken only through LlmLock, which remembers the holding thread so a
    // one-shot call from inside that thread's callbacks can refuse at once
    // instead of deadlocking.
    mutable std::mutex llm_mutex_;
    class LlmLock {
    public:
        explicit LlmLock(const Agent& agent);
        ~LlmLock();
        LlmLock(const LlmLock&) = delete;
        LlmLock& operator=(const LlmLock&) = delete;

    private:
        std::lock_guard<std::mutex> lock_;
    };
    // True when the calling thread holds llm_mutex_ or is delivering an event.
    bool in_model_call_or_event_on_this_thread() const;

    // Leaf locks for texts written by a turn and read by the host.
    mutable std::mutex error_mutex_;
    std::string last_error_;
    mutable std::mutex request_id_mutex_;
    std::string last_llm_request_id_;
    // Guards the session store's latest system prompt, which the model calls
    // of concurrently running tasks write.
    std::mutex stored_prompt_mutex_;

    // Holds the prompt lock and the host's prompt texts.
    SystemPromptAssembler prompt_;
    SkillManager skills_;

    Identity identity_;
    Soul soul_;
    // Guards the memory store and the user profile.
    mutable std::mutex memory_mutex_;
    MemoryStore memory_;
    UserProfile profile_;
    std::string profile_path_;
    MemoryExtractor extractor_;

    // Locks itself; appended to from task worker threads too.
    InteractionRecorder recorder_;

    int user_turns_ = 0;
    std::size_t turn_start_ = 0;
    // Reset by the extraction thread when its job ends.
    std::atomic<int> completed_turns_{0};

    // Last: destroyed first, so a running extraction is joined while
    // everything it uses still exists.
    BackgroundRunner extraction_;
};

}  // namespace vexa
