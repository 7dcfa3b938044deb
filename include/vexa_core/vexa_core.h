/*
 * vexa_core.h - flat C interface of the vexa_core agent runtime.
 *
 * A host that cannot use the C++ class (vexa_core/core_session.hpp) drives the
 * library through these 32 functions over an opaque handle. Every text that
 * goes in or comes out is NUL-terminated UTF-8.
 *
 * General rules
 * - Every function accepts a NULL handle: text functions then return a pointer
 *   to a static empty string, count functions return -1, the others return 0
 *   or nothing. Nothing is recorded in last_error for a NULL handle or a NULL
 *   required pointer.
 * - "Bool" results are the int values 1 (true) and 0 (false).
 * - No C++ exception ever leaves these functions; an internal failure (for
 *   example memory exhaustion) becomes the function's failure value.
 * - Returned texts (const char*) point into buffers owned by the handle, one
 *   buffer per text function. A pointer stays valid and unchanged until the
 *   SAME function is called again on the same handle, or the handle is
 *   destroyed. Never free it; copy it to keep it longer. Returned texts are
 *   always valid UTF-8 (legacy-encoded or damaged texts are repaired).
 *
 * Threads
 * - Every function may be called from any thread. A running turn
 *   (vexa_core_send_text_stream) holds the session lock for its whole
 *   duration, so other calls wait for it, except vexa_core_cancel,
 *   vexa_core_is_cancel_requested, vexa_core_request_tools and
 *   vexa_core_oneshot_completion, which never wait for a turn.
 * - Callbacks (events, tool executors, tool confirmation) run while a turn
 *   holds the session lock. From inside a callback only those four functions
 *   may be called on the same handle; any other call deadlocks.
 * - Two threads calling the SAME text function on one handle share its
 *   buffer: the second call may overwrite the text the first thread still
 *   reads. Copy texts that several threads read.
 * - vexa_core_shutdown and vexa_core_destroy may be called from another
 *   thread while a turn runs: they cancel the turn first and then wait for it
 *   (promptly, also when the server is silent). Once vexa_core_destroy has
 *   begun, no other call on that handle may start.
 * - vexa_core_oneshot_completion with a remote model runs on a connection of
 *   its own and never waits for a turn; it may be called from any callback.
 *   With the local (in-process) model it must wait for the model: from another
 *   thread it waits for the turn's current model call; from inside a callback
 *   of a running turn it fails at once (reason in vexa_core_last_error).
 * - Several handles may run turns at the same time in one process. The
 *   configuration (agent_config.json, policy bits, base directory) is
 *   process-wide: the last vexa_core_initialize sets it for every handle, and
 *   a handle's model connection is made from it when that handle initialises.
 *
 * Texts delivered to callbacks (event fields, tool arguments) are valid UTF-8
 * as well; bytes a model or server sent that are not UTF-8 arrive repaired.
 */
#ifndef VEXA_CORE_VEXA_CORE_H
#define VEXA_CORE_VEXA_CORE_H

#include <stddef.h>
#include <stdint.h>

/* Version of this interface. The build reads these lines, so the library,
 * its CMake package version and vexa_core.pc always carry the same numbers.
 * The 32 functions and six records below stay as they are within a major
 * version. */
#define VEXA_CORE_VERSION_MAJOR 0
#define VEXA_CORE_VERSION_MINOR 1
#define VEXA_CORE_VERSION_PATCH 0
#define VEXA_CORE_VERSION_STRING "0.1.0"

/* Export macro. The library is built with VEXA_CORE_BUILDING defined; hosts
 * leave it undefined. VEXA_CORE_STATIC disables the decorations. */
#if defined(VEXA_CORE_STATIC)
#  define VEXA_CORE_API
#elif defined(_WIN32) || defined(__CYGWIN__)
#  if defined(VEXA_CORE_BUILDING)
#    define VEXA_CORE_API __declspec(dllexport)
#  else
#    define VEXA_CORE_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define VEXA_CORE_API __attribute__((visibility("default")))
#else
#  define VEXA_CORE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque session handle: owns one session and the buffers of the returned texts. */
typedef struct VexaCoreHandle VexaCoreHandle;

/* Host policy bits for VexaCoreInitOptions.host_policy_flags. Each set bit
 * switches one local resource off. */
#define VEXA_CORE_POLICY_NO_LOCAL_SKILLS   0x01u /* no skills from skills_dir */
#define VEXA_CORE_POLICY_NO_LOCAL_SOUL     0x02u /* no soul.md from config_dir */
#define VEXA_CORE_POLICY_NO_LOCAL_IDENTITY 0x04u /* no identity.json from config_dir */
#define VEXA_CORE_POLICY_NO_LOCAL_MEMORY   0x08u /* no memory/profile files, no extraction */
#define VEXA_CORE_POLICY_NO_PERSISTENCE    0x20u /* no session files, no interaction records */
#define VEXA_CORE_POLICY_NO_MODEL_TOOL     0x40u /* no built-in model_management tool */

/* Initialisation options (24 bytes on 64-bit). NULL strings read as empty. */
typedef struct VexaCoreInitOptions {
    /* Directory relative paths resolve against; empty = the directory of the
     * host's executable. */
    const char* base_dir;
    /* Path of agent_config.json; empty = <base_dir>/config/agent_config.json. */
    const char* config_path;
    /* VEXA_CORE_POLICY_* bits. */
    uint32_t host_policy_flags;
} VexaCoreInitOptions;

/* Per-turn options (64 bytes on 64-bit). A zeroed record turns every event
 * stream off; pass NULL instead of a record for the defaults (all streams on). */
typedef struct VexaCoreChatOptions {
    int32_t stream_content;        /* non-zero: emit content deltas */
    int32_t stream_reasoning;      /* non-zero: emit reasoning deltas */
    int32_t emit_tool_events;      /* non-zero: emit tool call started/finished */
    int32_t max_tool_rounds;       /* > 0: round limit of this turn; else the configured one */
    int32_t orchestration;         /* 1 = planner on, 2 = off, anything else = configured */
    const char* const* tools;      /* tool names offered this turn; NULL entries skipped */
    int32_t tool_count;            /* entries of tools; read only when tools != NULL and > 0 */
    const char* turn_system_prompt;/* appended to the system prompt for this turn only */
    int32_t only_listed_tools;     /* non-zero: offer only the listed tools, not those the
                                      conversation already called */
    uint32_t struct_size;          /* sizeof(VexaCoreChatOptions) as the caller knows it;
                                      images_json is read only when this is >= 64 */
    const char* images_json;       /* JSON array of images (at most 9), or NULL/empty */
} VexaCoreChatOptions;

/* A host tool (72 bytes on 64-bit). NULL strings read as empty. */
typedef struct VexaCoreToolSpec {
    const char* name;
    const char* description;
    const char* type;              /* schema type; NULL or empty = "object" */
    const char* properties_json;   /* JSON of the schema's "properties" */
    const char* parameters_json;   /* complete argument schema; takes precedence when set */
    const char* const* required;   /* required argument names; NULL entries skipped */
    int32_t required_count;
    const char* const* keywords;   /* keywords that gate the tool; none = always offered */
    int32_t keyword_count;
} VexaCoreToolSpec;

/* Per-session model override (64 bytes on 64-bit). A text is taken only when
 * non-NULL and non-empty; a number only when its has_ flag is non-zero. */
typedef struct VexaCoreLlmOverride {
    const char* base_url;
    const char* api_key;
    const char* model;
    int32_t has_temperature;
    double temperature;
    int32_t has_max_tokens;
    int32_t max_tokens;
    int32_t has_timeout_seconds;
    int32_t timeout_seconds;
    const char* backend;
} VexaCoreLlmOverride;

/* Context of the host's own LLM gateway (40 bytes on 64-bit). NULL = empty. */
typedef struct VexaCoreHostLlmContext {
    const char* gateway_url;
    const char* cookie;
    const char* referer;
    const char* user;
    const char* qorbin_ext;        /* JSON object text, or empty */
} VexaCoreHostLlmContext;

/* Event kinds (VexaCoreEvent.type). */
enum {
    VEXA_CORE_EVENT_NOTICE = 0,
    VEXA_CORE_EVENT_MODEL_LOADING = 1,
    VEXA_CORE_EVENT_STATE_CHANGED = 2,
    VEXA_CORE_EVENT_CONTENT_DELTA = 3,
    VEXA_CORE_EVENT_REASONING_DELTA = 4,
    VEXA_CORE_EVENT_TOOL_CALL_STARTED = 5,
    VEXA_CORE_EVENT_TOOL_CALL_FINISHED = 6,
    VEXA_CORE_EVENT_DONE = 7,
    VEXA_CORE_EVENT_ERROR = 8,
    VEXA_CORE_EVENT_PLAN_READY = 9,
    VEXA_CORE_EVENT_TASK_STARTED = 10,
    VEXA_CORE_EVENT_TASK_PROGRESS = 11,
    VEXA_CORE_EVENT_TASK_SUCCEEDED = 12,
    VEXA_CORE_EVENT_TASK_FAILED = 13,
    VEXA_CORE_EVENT_SEGMENT_UPDATE = 14
};

/* An event (72 bytes on 64-bit). Every pointer is non-NULL (an empty field is
 * ""). The record and its strings are valid only during the callback; every
 * text is valid UTF-8 (bytes that were not arrive repaired, as above). */
typedef struct VexaCoreEvent {
    int32_t type;                  /* VEXA_CORE_EVENT_*, 0..14 */
    const char* state;             /* "idle", "waiting", "thinking", "generating",
                                      "tool_calling", "error", "done" */
    const char* text;              /* message, delta, notice or result text */
    const char* tool_name;
    const char* tool_arguments;    /* redacted argument text of a tool call */
    const char* tool_result;       /* raw result text of a tool call */
    int32_t success;               /* 0 for errors and failures, else 1 */
    const char* task_id;           /* orchestration task id */
    const char* segment;           /* compact JSON of a host segment instruction */
} VexaCoreEvent;

/* Receives events. Deliveries are serialised: never two at once. Runs on the
 * thread of vexa_core_send_text_stream, on worker threads of orchestrated turns,
 * or (late notices, to the callback given to vexa_core_initialize) on the
 * background memory-extraction thread. */
typedef void (*VexaCoreEventCallback)(const VexaCoreEvent* event, void* user_data);

/* Runs a host tool. Returns the result text (JSON or plain text; NULL = ""),
 * which the library copies as soon as the executor returns and never frees:
 * keep it valid until then (a thread-local buffer serves). */
typedef const char* (*VexaCoreToolExecutor)(const char* arguments_json, void* user_data);

/* Confirms a tool call before it runs: non-zero runs it, 0 rejects it. */
typedef int (*VexaCoreToolConfirm)(const char* tool_name, const char* arguments_json,
                                   void* user_data);

/* ---- lifecycle ------------------------------------------------------------ */

/* New uninitialised session; NULL only when memory runs out. Release it with
 * vexa_core_destroy. */
VEXA_CORE_API VexaCoreHandle* vexa_core_create(void);

/* Shuts the session down (as vexa_core_shutdown) and frees the handle and all
 * texts it returned. A turn running on another thread is cancelled and waited
 * for. Using the handle afterwards is an error. NULL is ignored. */
VEXA_CORE_API void vexa_core_destroy(VexaCoreHandle* handle);

/* Loads the configuration and starts the agent. options NULL = defaults.
 * on_event (may be NULL) receives the events that no turn callback takes
 * (start-up and background notices), with user_data. Returns 1 on success;
 * a missing or invalid configuration file still succeeds, leaving a warning in
 * vexa_core_last_error, and so does a knowledge file (memory.json,
 * user_profile.json, identity.json, soul.md) that could not be loaded
 * completely: the warning names it and says where it was moved aside (one line
 * per problem). May be called again: the agent is replaced. */
VEXA_CORE_API int vexa_core_initialize(VexaCoreHandle* handle, const VexaCoreInitOptions* options,
                                       VexaCoreEventCallback on_event, void* user_data);

/* Stops the agent: cancels (also a turn running on another thread, which it
 * then waits for), waits for background work, saves. The session is
 * uninitialised afterwards and may be initialised again. Repeating it is harmless. */
VEXA_CORE_API void vexa_core_shutdown(VexaCoreHandle* handle);

/* ---- turns ---------------------------------------------------------------- */

/* Runs one conversation turn on the calling thread; events of the turn go to
 * on_event (NULL silences them). options NULL = defaults. Returns 1 when the
 * turn produced an answer (its text arrived as events); 0 otherwise, with the
 * reason in vexa_core_last_error. text NULL returns 0 at once. An invalid
 * images_json returns 0 with the parse error and starts no turn. */
VEXA_CORE_API int vexa_core_send_text_stream(VexaCoreHandle* handle, const char* text,
                                             const VexaCoreChatOptions* options,
                                             VexaCoreEventCallback on_event, void* user_data);

/* Asks the running turn to stop. Never waits; callable from any thread and
 * from callbacks. */
VEXA_CORE_API void vexa_core_cancel(VexaCoreHandle* handle);

/* 1 while the cancel flag of the current turn is set. Never waits. */
VEXA_CORE_API int vexa_core_is_cancel_requested(VexaCoreHandle* handle);

/* One model call outside the conversation. messages_json is a JSON array of
 * messages (NULL returns "" at once); options_json NULL = none. Returns the
 * result JSON text, or "" with the reason in vexa_core_last_error. With a
 * remote model it runs on its own connection and does not wait for a running
 * turn (also from callbacks); with the local model see "Threads" above. */
VEXA_CORE_API const char* vexa_core_oneshot_completion(VexaCoreHandle* handle,
                                                       const char* messages_json,
                                                       const char* options_json);

/* ---- texts (see "Returned texts" above for the pointer's lifetime) -------- */

/* The session's last error; if none, the agent's; "" when there is neither. */
VEXA_CORE_API const char* vexa_core_last_error(VexaCoreHandle* handle);
/* The agent state name ("idle", "generating", ...); "" when not initialised. */
VEXA_CORE_API const char* vexa_core_current_state(VexaCoreHandle* handle);
/* The model in use; "" when not initialised. */
VEXA_CORE_API const char* vexa_core_current_model(VexaCoreHandle* handle);
/* The id of the current conversation session; "" when not initialised. */
VEXA_CORE_API const char* vexa_core_current_session_id(VexaCoreHandle* handle);
/* Model status as JSON (indent 2); "" when not initialised. */
VEXA_CORE_API const char* vexa_core_model_status_json(VexaCoreHandle* handle);
/* The system prompt the next model call would send; "" when not initialised. */
VEXA_CORE_API const char* vexa_core_get_system_prompt(VexaCoreHandle* handle);
/* Request id of the latest model call of a turn; "" when none. */
VEXA_CORE_API const char* vexa_core_last_llm_request_id(VexaCoreHandle* handle);

/* ---- sessions ------------------------------------------------------------- */

/* Saves the current conversation and starts a new session. Bool. */
VEXA_CORE_API int vexa_core_new_session(VexaCoreHandle* handle);
/* Saves, empties the conversation and starts a new session id. Bool. */
VEXA_CORE_API int vexa_core_clear_session(VexaCoreHandle* handle);
/* Writes the current session file. Bool; reason in vexa_core_last_error. */
VEXA_CORE_API int vexa_core_save_session(VexaCoreHandle* handle);
/* Loads a saved session by id (NULL returns 0 at once). Bool. */
VEXA_CORE_API int vexa_core_load_session(VexaCoreHandle* handle, const char* session_id);

/* Appends host-supplied messages (JSON; NULL = ""). Count of messages added,
 * or -1 with the reason in vexa_core_last_error. */
VEXA_CORE_API int vexa_core_add_conversation_from_memory(VexaCoreHandle* handle, const char* json);
/* Replaces the conversation with host-supplied messages (NULL = "[]"). Count or -1. */
VEXA_CORE_API int vexa_core_set_conversation_from_memory(VexaCoreHandle* handle, const char* json);

/* ---- tools ---------------------------------------------------------------- */

/* Registers (or replaces) a host tool. spec NULL returns 0 at once; executor
 * NULL registers a tool whose calls fail. The executor and user_data must stay
 * usable until the tool is unregistered or the session shut down. Bool. */
VEXA_CORE_API int vexa_core_register_tool(VexaCoreHandle* handle, const VexaCoreToolSpec* spec,
                                          VexaCoreToolExecutor executor, void* user_data);
/* Removes a host tool (built-in tools cannot be removed; NULL returns 0). Bool. */
VEXA_CORE_API int vexa_core_unregister_tool(VexaCoreHandle* handle, const char* name);
/* Adds registered tools to the running turn's offer, from its next model call
 * on. Does not wait for the turn; callable from a tool executor. NULL list or
 * count <= 0 returns 0; NULL entries are skipped. Bool. */
VEXA_CORE_API int vexa_core_request_tools(VexaCoreHandle* handle, const char* const* names,
                                          int count);
/* Installs the confirmation hook for tool calls; NULL removes it. */
VEXA_CORE_API void vexa_core_set_tool_confirm_callback(VexaCoreHandle* handle,
                                                       VexaCoreToolConfirm confirm,
                                                       void* user_data);

/* ---- prompts, model, knowledge -------------------------------------------- */

/* Sets the host system prompt (NULL = ""), replacing the earlier one. */
VEXA_CORE_API void vexa_core_set_system_prompt(VexaCoreHandle* handle, const char* text);
/* Sets the host's additional prompt block (NULL = ""), replacing the earlier one. */
VEXA_CORE_API void vexa_core_add_system_prompt(VexaCoreHandle* handle, const char* text);
/* Hands the host gateway context to the model client (NULL returns 0). Bool. */
VEXA_CORE_API int vexa_core_set_host_llm_context(VexaCoreHandle* handle,
                                                 const VexaCoreHostLlmContext* context);
/* Applies a per-session model override (NULL = nothing overridden). Bool. */
VEXA_CORE_API int vexa_core_set_llm_override(VexaCoreHandle* handle,
                                             const VexaCoreLlmOverride* llm_override);
/* Replaces the skill library with host-supplied skills (JSON; NULL = "[]").
 * Count of skills or -1. */
VEXA_CORE_API int vexa_core_set_skills_from_memory(VexaCoreHandle* handle, const char* json);
/* Replaces the identity with host-supplied JSON (NULL = ""). Bool. */
VEXA_CORE_API int vexa_core_set_identity_from_memory(VexaCoreHandle* handle, const char* json);
/* Replaces the soul text (NULL = ""). Bool. */
VEXA_CORE_API int vexa_core_set_soul_from_memory(VexaCoreHandle* handle, const char* text);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- record layout checks (64-bit targets) ---------------------------------
 * The records are shared with hosts written in other languages; their layout
 * must not drift. */
#if defined(__cplusplus)
#  define VEXA_CORE_LAYOUT_CHECK(name, cond) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define VEXA_CORE_LAYOUT_CHECK(name, cond) _Static_assert(cond, #name)
#else
#  define VEXA_CORE_LAYOUT_CHECK(name, cond) \
      typedef char vexa_core_layout_check_##name[(cond) ? 1 : -1]
#endif
#define VEXA_CORE_LAYOUT_64(name, cond) VEXA_CORE_LAYOUT_CHECK(name, sizeof(void*) != 8 || (cond))

VEXA_CORE_LAYOUT_64(init_size, sizeof(VexaCoreInitOptions) == 24);
VEXA_CORE_LAYOUT_64(init_flags, offsetof(VexaCoreInitOptions, host_policy_flags) == 16);

VEXA_CORE_LAYOUT_64(chat_size, sizeof(VexaCoreChatOptions) == 64);
VEXA_CORE_LAYOUT_64(chat_orchestration, offsetof(VexaCoreChatOptions, orchestration) == 16);
VEXA_CORE_LAYOUT_64(chat_tools, offsetof(VexaCoreChatOptions, tools) == 24);
VEXA_CORE_LAYOUT_64(chat_tool_count, offsetof(VexaCoreChatOptions, tool_count) == 32);
VEXA_CORE_LAYOUT_64(chat_prompt, offsetof(VexaCoreChatOptions, turn_system_prompt) == 40);
VEXA_CORE_LAYOUT_64(chat_only_listed, offsetof(VexaCoreChatOptions, only_listed_tools) == 48);
VEXA_CORE_LAYOUT_64(chat_struct_size, offsetof(VexaCoreChatOptions, struct_size) == 52);
VEXA_CORE_LAYOUT_64(chat_images, offsetof(VexaCoreChatOptions, images_json) == 56);

VEXA_CORE_LAYOUT_64(tool_size, sizeof(VexaCoreToolSpec) == 72);
VEXA_CORE_LAYOUT_64(tool_parameters, offsetof(VexaCoreToolSpec, parameters_json) == 32);
VEXA_CORE_LAYOUT_64(tool_required, offsetof(VexaCoreToolSpec, required) == 40);
VEXA_CORE_LAYOUT_64(tool_required_count, offsetof(VexaCoreToolSpec, required_count) == 48);
VEXA_CORE_LAYOUT_64(tool_keywords, offsetof(VexaCoreToolSpec, keywords) == 56);
VEXA_CORE_LAYOUT_64(tool_keyword_count, offsetof(VexaCoreToolSpec, keyword_count) == 64);

VEXA_CORE_LAYOUT_64(override_size, sizeof(VexaCoreLlmOverride) == 64);
VEXA_CORE_LAYOUT_64(override_has_temperature, offsetof(VexaCoreLlmOverride, has_temperature) == 24);
VEXA_CORE_LAYOUT_64(override_temperature, offsetof(VexaCoreLlmOverride, temperature) == 32);
VEXA_CORE_LAYOUT_64(override_has_max_tokens, offsetof(VexaCoreLlmOverride, has_max_tokens) == 40);
VEXA_CORE_LAYOUT_64(override_max_tokens, offsetof(VexaCoreLlmOverride, max_tokens) == 44);
VEXA_CORE_LAYOUT_64(override_has_timeout, offsetof(VexaCoreLlmOverride, has_timeout_seconds) == 48);
VEXA_CORE_LAYOUT_64(override_timeout, offsetof(VexaCoreLlmOverride, timeout_seconds) == 52);
VEXA_CORE_LAYOUT_64(override_backend, offsetof(VexaCoreLlmOverride, backend) == 56);

VEXA_CORE_LAYOUT_64(context_size, sizeof(VexaCoreHostLlmContext) == 40);
VEXA_CORE_LAYOUT_64(context_ext, offsetof(VexaCoreHostLlmContext, qorbin_ext) == 32);

VEXA_CORE_LAYOUT_64(event_size, sizeof(VexaCoreEvent) == 72);
VEXA_CORE_LAYOUT_64(event_state, offsetof(VexaCoreEvent, state) == 8);
VEXA_CORE_LAYOUT_64(event_tool_result, offsetof(VexaCoreEvent, tool_result) == 40);
VEXA_CORE_LAYOUT_64(event_success, offsetof(VexaCoreEvent, success) == 48);
VEXA_CORE_LAYOUT_64(event_task_id, offsetof(VexaCoreEvent, task_id) == 56);
VEXA_CORE_LAYOUT_64(event_segment, offsetof(VexaCoreEvent, segment) == 64);

#undef VEXA_CORE_LAYOUT_64
#undef VEXA_CORE_LAYOUT_CHECK

#endif /* VEXA_CORE_VEXA_CORE_H */
