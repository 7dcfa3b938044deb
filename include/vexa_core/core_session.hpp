// core_session.hpp - C++ interface of the vexa_core agent runtime.
//
// A host drives the library through vexa_core::CoreSession. One session owns at
// most one agent (created by initialize, destroyed by shutdown), the session's
// last error text and one lock. Failures are reported by return values plus
// last_error(); no method is designed to throw (see "Exceptions" below).
// All strings crossing this interface are UTF-8.
//
// Threads and locking
// - Every method may be called from any thread. Most methods hold the session
//   lock for their whole duration; send_text_stream holds it for the whole
//   turn, so those methods called from another thread during a turn wait
//   until the turn ends (read-only accessors included).
// - cancel, is_cancel_requested, request_tools and oneshot_completion do not
//   take the session lock and never wait for a running turn.
// - Callbacks (events, tool executors, tool confirmation) run while a turn
//   holds the session lock. The lock is not recursive: from inside a callback
//   only cancel, is_cancel_requested, request_tools and oneshot_completion may
//   be called on the same session; any other method deadlocks.
// - shutdown (and the destructor) may be called from another thread while a
//   turn runs: it cancels the turn first and then waits for it, promptly even
//   when the server is silent.
// - oneshot_completion with a remote model runs on a connection of its own
//   and never waits for a turn, from any thread or callback. With the local
//   (in-process) model it must wait for the model: from another thread it
//   waits for the turn's current model call; from inside a callback of a
//   running turn it fails at once with the reason in last_error().
// - Several sessions may run turns at the same time in one process. The
//   configuration (agent_config.json, policy bits, base directory) is
//   process-wide: the last initialize sets it for every session, and a
//   session's model connection is made from it when that session initialises.
// - Texts delivered to callbacks and results are valid UTF-8; bytes a model or
//   server sent that are not UTF-8 arrive repaired.
//
// Exceptions
// - send_text_stream catches everything a turn throws and reports it in the
//   result. Other methods let exceptions of the standard library (for example
//   std::bad_alloc) pass to the caller; the session stays usable.
#pragma once

#include "vexa_core/vexa_core.h"  // VEXA_CORE_API

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vexa_core {

// Host policy bits for InitializeOptions::host_policy_flags; each set bit
// switches one local resource off.
inline constexpr std::uint32_t policy_no_local_skills = 0x01;    // no skills from skills_dir
inline constexpr std::uint32_t policy_no_local_soul = 0x02;      // no soul.md
inline constexpr std::uint32_t policy_no_local_identity = 0x04;  // no identity.json
inline constexpr std::uint32_t policy_no_local_memory = 0x08;    // no memory/profile, no extraction
inline constexpr std::uint32_t policy_no_persistence = 0x20;     // no session files, no records
inline constexpr std::uint32_t policy_no_model_tool = 0x40;      // no model_management tool

struct InitializeOptions {
    // Directory relative paths resolve against; empty = the executable's directory.
    std::string base_dir;
    // Path of agent_config.json; empty = <base_dir>/config/agent_config.json.
    std::string config_path;
    std::uint32_t host_policy_flags = 0;
};

enum class OrchestrationMode : std::int32_t {
    Auto = 0,  // follow the configuration's orchestration_enabled
    On = 1,    // ask the planner to split the request into parallel tasks
    Off = 2,   // always the single ReAct loop
};

// An image attached to a turn: an https URL (at most 2048 bytes) and the
// detail level "high", "low" or "auto" (empty = "high").
struct ImageInput {
    std::string url;
    std::string detail;
};

struct ChatOptions {
    bool stream_content = true;       // emit ContentDelta and content SegmentUpdate events
    bool stream_reasoning = true;     // emit ReasoningDelta events
    bool emit_tool_events = true;     // emit ToolCallStarted / ToolCallFinished events
    std::int32_t max_tool_rounds = 0; // > 0: round limit of this turn; else the configured one (16 if unset)
    bool extended_tool_rounds = false;// true: round limit 1000
    OrchestrationMode orchestration = OrchestrationMode::Auto;
    std::vector<std::string> tools;   // tools offered this turn; empty = default selection
    std::string turn_system_prompt;   // appended to the system prompt for this turn only
    bool include_history_tools = true;// with a tools list, also offer tools the conversation already called
    std::vector<ImageInput> images;   // at most 9
};

struct ChatResult {
    bool success = false;    // the turn produced an answer
    bool cancelled = false;  // the turn was stopped by cancel()
    std::string error;       // why, when success is false
    std::string content;     // visible answer text of all rounds
    std::string reasoning;   // reasoning text of all rounds
    // One compact JSON object per tool call: {"arguments":..,"id":..,"name":..}.
    std::vector<std::string> tool_calls;
    // The raw result text of every tool call, in call order.
    std::vector<std::string> tool_results;
};

struct CommandResult {
    bool success = false;
    bool should_exit = false;  // true only for the exit command
    std::string message;
};

// A host tool as the model will see it.
struct ToolParameterSpec {
    std::string name;
    std::string description;
    std::string type = "object";       // schema type
    std::string properties_json;       // JSON of the schema's "properties"
    std::vector<std::string> required; // required argument names
    std::string parameters_json;       // complete argument schema; takes precedence when non-empty
    std::vector<std::string> keywords; // offered only when the user's message holds one; empty = always
};

enum class AgentEventType : std::int32_t {
    Notice = 0,
    ModelLoading = 1,
    StateChanged = 2,
    ContentDelta = 3,
    ReasoningDelta = 4,
    ToolCallStarted = 5,
    ToolCallFinished = 6,
    Done = 7,
    Error = 8,
    PlanReady = 9,
    TaskStarted = 10,
    TaskProgress = 11,
    TaskSucceeded = 12,
    TaskFailed = 13,
    SegmentUpdate = 14,
};

// What an event callback receives; valid only during the call (copy what you keep).
struct AgentEvent {
    AgentEventType type = AgentEventType::Notice;
    std::string state = "idle";  // "idle", "waiting", "thinking", "generating", "tool_calling", "error", "done"
    std::string text;            // message, delta, notice or result text
    std::string tool_name;
    std::string tool_arguments;  // redacted argument text of a tool call
    std::string tool_result;     // raw result text of a tool call
    std::string task_id;         // orchestration task id
    std::string segment;         // compact JSON of a host segment instruction
    bool success = true;         // false for errors and failures
};

// Context of the host's own LLM gateway.
struct HostLlmContext {
    std::string gateway_url;  // requests are posted to this URL as it is
    std::string cookie;       // "Cookie" header
    std::string referer;      // "Referer" header
    std::string user;         // body member "user"
    std::string qorbin_ext;   // JSON object merged into the body; empty = none
};

// Per-session replacement of connection settings; empty texts and unset
// numbers keep the configured values.
struct LlmOverride {
    std::string backend;
    std::string base_url;
    std::string api_key;
    std::string model;
    std::optional<double> temperature;
    std::optional<int> max_tokens;
    std::optional<int> timeout_seconds;
};

// Receives events. Deliveries are serialised (never two at once); they come
// from the thread of send_text_stream, from worker threads of orchestrated
// turns, and, after a turn, from the background memory-extraction thread.
using EventCallback = std::function<void(const AgentEvent&)>;
// (tool name, redacted argument text) -> true runs the call.
using ToolConfirmCallback = std::function<bool(const std::string&, const std::string&)>;
// Argument JSON text -> result text (JSON, or plain text taken as a success).
using ToolExecutor = std::function<std::string(const std::string&)>;

#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4251)  // the private pointer needs no DLL interface
#endif

class VEXA_CORE_API CoreSession {
public:
    // An uninitialised session.
    CoreSession();
    // Runs shutdown().
    ~CoreSession();
    // Moving transfers the session; a moved-from session behaves as an
    // uninitialised one that records no last error.
    CoreSession(CoreSession&& other) noexcept;
    CoreSession& operator=(CoreSession&& other) noexcept;
    CoreSession(const CoreSession&) = delete;
    CoreSession& operator=(const CoreSession&) = delete;

    // ---- lifecycle ----------------------------------------------------------
    // Sets the process locale to UTF-8, loads the configuration, stores the
    // policy bits and starts the agent. on_event receives events no turn
    // callback takes (start-up, background notices). True on success; a missing
    // or invalid configuration file still gives true and leaves the warning
    // "Warning: Could not load config from <path>. Using default configuration."
    // in last_error(). So does a knowledge file (memory.json, user_profile.json,
    // identity.json, soul.md) that could not be loaded completely: the warning
    // names it and says where it was moved aside (one line per problem).
    // Calling it again replaces the agent (the old
    // conversation is not saved).
    bool initialize(const InitializeOptions& options, EventCallback on_event = {});
    // Cancels (also a turn running on another thread, which it then waits
    // for), waits for background work, saves and discards the agent. Does
    // nothing on an uninitialised session.
    void shutdown();

    // ---- turns --------------------------------------------------------------
    // Runs one conversation turn on the calling thread, holding the session
    // lock throughout. on_event receives this turn's events (empty = none).
    ChatResult send_text_stream(const std::string& text, const ChatOptions& options = {},
                                EventCallback on_event = {});
    // Asks the running turn to stop. Never waits; callable from any thread.
    void cancel();
    // The agent's cancel flag (cleared when the next turn starts). Never waits.
    bool is_cancel_requested() const;
    // One model call outside the conversation. Returns the result JSON text or
    // "" (reason in last_error()). With a remote model it runs on its own
    // connection and never waits for a running turn; with the local model see
    // "Threads and locking" above.
    std::string oneshot_completion(const std::string& messages_json, const std::string& options_json);
    // Adds registered tools to the running turn's offer from its next model
    // call on. Does not wait for a running turn; callable from a tool executor.
    bool request_tools(const std::vector<std::string>& tool_names);
    // Runs a slash command ("/status", "/config", ...) with its argument text.
    CommandResult execute_command(const std::string& command, const std::string& args);

    // ---- errors -------------------------------------------------------------
    // The session's last error; if empty, the agent's; "" when there is neither.
    std::string last_error() const;
    // Records a validation failure of the caller's own (used by the C interface).
    void set_last_error_for_validation(std::string message);

    // ---- state and reports ("" or empty lists when not initialised) ---------
    std::string agent_name() const;
    std::string current_state() const;              // "idle", "generating", ...
    std::string current_model() const;
    std::string current_model_status_json() const;  // indent 2
    std::string current_session_id() const;
    std::string last_llm_request_id() const;
    std::string get_system_prompt() const;           // what the next model call would send
    std::string status_text() const;
    std::string config_text() const;
    std::string local_models_json() const;           // indent 2
    std::string remote_models_json() const;          // indent 2

    // ---- sessions -----------------------------------------------------------
    bool new_session();    // saves, then starts a new session id
    bool clear_session();  // saves, empties the conversation, new session id
    bool save_session();
    bool load_session(const std::string& session_id);
    std::vector<std::string> list_sessions() const;
    // Count of messages added/set, or -1 (reason in last_error()).
    int add_conversation_from_memory(const std::string& conversation_json);
    int set_conversation_from_memory(const std::string& conversation_json);

    // ---- tools --------------------------------------------------------------
    // Registers or replaces a host tool; an empty executor makes its calls fail.
    bool register_tool(const ToolParameterSpec& spec, ToolExecutor executor);
    // Built-in tools cannot be removed.
    bool unregister_tool(const std::string& name);
    std::vector<std::string> list_registered_tools() const;
    // Installs, or with an empty callback removes, the tool confirmation hook.
    void set_tool_confirm_callback(ToolConfirmCallback callback);

    // ---- prompts, model and knowledge ---------------------------------------
    void set_system_prompt(const std::string& text);  // replaces the host system prompt
    void add_system_prompt(const std::string& text);  // replaces the host's added block
    bool set_host_llm_context(const HostLlmContext& context);
    bool set_llm_override(const LlmOverride& llm_override);
    int load_skills_from_memory(const std::string& skills_json);  // count or -1
    bool set_identity_from_memory(const std::string& identity_json);
    bool set_soul_from_memory(const std::string& soul_text);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#if defined(_MSC_VER)
#pragma warning(pop)
#endif

}  // namespace vexa_core
