#pragma once
// The single entry point through which the agent reaches a language model:
// picks the backend by name, applies the session's override on top of the
// configuration, and reports uniform errors when no backend is usable.

#include "config/agent_config.hpp"
#include "conversation/chat_message.hpp"
#include "llm/llm_backend.hpp"
#include "llm/retry_policy.hpp"
#include "llm/stream_types.hpp"
#include "tools/tool.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vexa {

// Implemented by the backend that talks to the host application's own LLM
// gateway; the client hands it the gateway context.
class IHostContextReceiver {
public:
    virtual ~IHostContextReceiver() = default;
    virtual void set_host_llm_context(const HostLlmContext& context) = 0;
};

// Builds the backend for a backend name (ASCII case-insensitive, not
// trimmed). Null with `error` = "Unsupported llm.backend: <name as given>"
// for a name no backend answers to.
std::unique_ptr<ILLMBackend> create_backend(const std::string& name, std::string& error);

using BackendFactory = std::function<std::unique_ptr<ILLMBackend>(const std::string& name, std::string& error)>;

// The configuration with the override's given fields laid over it; which
// fields apply depends on the resulting backend.
LLMConfig apply_override(const LLMConfig& config, const LlmOverride& override_settings);

// True for the names of the in-process backend ("llama_cpp", "local").
bool is_local_backend_name(const std::string& name);

class LLMClient {
public:
    LLMClient();
    // Backends come from `factory` instead of create_backend.
    explicit LLMClient(BackendFactory factory);
    ~LLMClient();
    LLMClient(const LLMClient&) = delete;
    LLMClient& operator=(const LLMClient&) = delete;

    void set_progress_callback(ProgressCallback callback);
    bool has_progress_callback() const;
    // Used by a backend while it loads; does nothing without a callback. A
    // failed load ends with a report at 100 with `ok` false.
    void report_progress(const std::string& text, int percent, bool ok = true) const;

    // Receives the notices of calls that bring no notice callback of their
    // own (buffered calls; streams without StreamCallbacks::on_notice).
    void set_notice_callback(NoticeCallback callback);
    // Used by a backend; does nothing without a callback.
    void report_notice(const std::string& text) const;

    // Builds and configures a new backend for `config` with the override
    // applied. On failure the previous backend and configs stay in use.
    bool configure(const LLMConfig& config);
    // Stores the override; once configured, reconfigures with it at once.
    bool set_override(const LlmOverride& override_settings);
    // False with "Current LLM backend is not host." unless the host gateway
    // backend is active.
    bool set_host_llm_context(const HostLlmContext& context);
    void set_session_id(const std::string& session_id);

    // Stops the running request. Safe from any thread at any time, also
    // while configure replaces the backend.
    void cancel();

    StreamResult chat_completion_stream(const std::vector<ChatMessage>& messages,
                                        const std::vector<ToolDefinition>& tools,
                                        const StreamCallbacks& callbacks);
    CompletionResult chat_completion_result(const std::vector<ChatMessage>& messages,
                                            const CompletionOptions& options);
    // A buffered call on a backend of its own, built from the current
    // configuration (a gateway backend also gets the active one's host
    // context): it has its own connection and runs beside any call of
    // this client without waiting for it (hosts ask for a title while the
    // answer streams). Not for the in-process backend (one model, one
    // context): that is answered with an error. Does not touch last_error;
    // cancel() leaves it alone.
    CompletionResult side_completion(const std::vector<ChatMessage>& messages, const CompletionOptions& options);
    // A streamed call on a backend of its own, built like a side completion's,
    // so that several calls (the tasks of a planned turn) run at the same
    // time, each on its own connection and stream parser. cancel() reaches
    // it; `abort` (the caller's cancel flag) is checked once the call is
    // where cancel() finds it, so a cancel between the caller's last check
    // and that point is not lost (`not_sent` is then set and no request is
    // made). False, with nothing done, when the active backend is the
    // in-process one: its single context takes calls one at a time, so the
    // caller must serialise and use chat_completion_stream.
    bool parallel_chat_completion_stream(const std::vector<ChatMessage>& messages,
                                         const std::vector<ToolDefinition>& tools, const StreamCallbacks& callbacks,
                                         const std::atomic<bool>& abort, StreamResult& result, bool& not_sent);
    // For shutdown: stops the side completions running now and refuses new ones.
    void close_side_calls();
    std::string chat_completion(const std::vector<ChatMessage>& messages);
    std::string chat_completion(const std::vector<ChatMessage>& messages, const CompletionOptions& options);

    std::string last_error() const;
    bool is_local() const;
    bool is_configured() const;
    bool has_backend() const;
    // The configuration the backend runs with (override applied).
    LLMConfig effective_config() const;
    // The configuration given to the last successful configure.
    LLMConfig base_config() const;
    LlmOverride override_settings() const;

private:
    class CallScope;

    bool configure_locked(const LLMConfig& config);
    // A backend built by the factory and configured for `config`; null with `error`.
    std::unique_ptr<ILLMBackend> make_backend(const LLMConfig& config, std::string& error);
    void set_last_error(std::string error);
    // A fresh backend for the current configuration (with the gateway
    // context of the active one) for a call beside the active backend's.
    // Null with `error` when unconfigured; `local` is set (and null
    // returned) when the active backend is the in-process one.
    std::shared_ptr<ILLMBackend> make_detached_backend(std::string& error, bool& local);

    BackendFactory factory_;

    // Serialises configure, set_override and set_host_llm_context; never
    // taken by model calls or cancel.
    std::mutex configure_mutex_;

    // Guards every field below. Held only for short reads and writes, never
    // across a backend operation.
    mutable std::mutex mutex_;
    ProgressCallback progress_;
    NoticeCallback notice_;
    // Shared so that a model call (and a cancel aimed at it) keeps its backend
    // alive while configure swaps in a new one.
    std::shared_ptr<ILLMBackend> backend_;
    // Backends with a call running now; cancel reaches them too.
    std::vector<std::shared_ptr<ILLMBackend>> in_flight_;
    // Backends of side completions running now.
    std::vector<std::shared_ptr<ILLMBackend>> side_calls_;
    bool side_closed_ = false;
    LLMConfig effective_;
    LLMConfig base_;
    LlmOverride override_;
    bool configured_ = false;
    bool is_local_ = false;
    std::string session_id_;
    std::string last_error_;
};

}  // namespace vexa
