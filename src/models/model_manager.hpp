#pragma once
// Switches the language model at run time, to a local GGUF file or to a
// remote OpenAI-compatible endpoint, persists the new llm section in
// agent_config.json, and reports the model runtime status. It reaches the
// agent's model client only through IModelRuntime, so it knows nothing of the
// agent.

#include "config/agent_config.hpp"
#include "llm/llm_backend.hpp"
#include "models/model_catalog.hpp"
#include "support/url.hpp"

#include <nlohmann/json.hpp>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

class LLMClient;

// What the manager reads of the model client for its status reports.
struct ModelRuntimeStatus {
    bool has_backend = false;  // a configuration has succeeded; `effective` is meaningful
    LLMConfig effective;       // the configuration the backend runs with (override applied)
    LlmOverride override_settings;
    std::string last_error;
};

// The manager's only view of the model client; the agent implements it.
//
// Thread rules: both operations may be called from the host's thread (facade,
// commands) or from a tool thread of a running turn (the model management
// tool), never two at once from one manager (it serialises its own calls). An
// implementation may block `reconfigure` until a model call in flight has
// finished (the agent takes its LLM lock there), so it must not be called
// while that lock is held, and `status` must not wait for it.
class IModelRuntime {
public:
    virtual ~IModelRuntime() = default;
    // Builds and installs a backend for `config`; the client lays the session
    // override over it. False keeps the previous backend, with `error` the
    // client's last error (possibly empty).
    virtual bool reconfigure(const LLMConfig& config, std::string& error) = 0;
    virtual ModelRuntimeStatus status() const = 0;
};

// The status of a client, as the runtime adapters report it.
ModelRuntimeStatus runtime_status_of(const LLMClient& client);

// An IModelRuntime straight onto an LLMClient, without a lock of its own:
// for owners that serialise model calls and switches otherwise (and tests).
class LlmClientRuntime final : public IModelRuntime {
public:
    explicit LlmClientRuntime(LLMClient& client) : client_(client) {}
    bool reconfigure(const LLMConfig& config, std::string& error) override;
    ModelRuntimeStatus status() const override;

private:
    LLMClient& client_;
};

struct ModelSwitchResult {
    bool success = false;
    bool switched = false;   // the client now runs the new configuration
    bool persisted = false;  // the configuration file was written
    std::string message;
    std::string error;
    LLMConfig active_config;  // the configuration in force after the attempt
};

// The sentence added to a switch's message when the configured API key was
// not carried to a base URL of an unknown origin.
extern const char* const kApiKeyNotCarriedNotice;

// Who asked for a switch. The model's choices are held to the endpoints the
// user configured or listed; the host's are its user's own.
enum class SwitchRequester { host, model };

class ModelManager {
public:
    // Reads and changes `config` (the process-wide record unless a test gives
    // its own); it must outlive the manager.
    explicit ModelManager(AgentConfig& config = AgentConfig::instance());
    ModelManager(const ModelManager&) = delete;
    ModelManager& operator=(const ModelManager&) = delete;

    // Not owned; null unbinds. The runtime must stay valid until it is
    // unbound or the manager is destroyed. Waits for a switch in progress.
    void bind(IModelRuntime* runtime);
    bool is_bound() const;

    // ---- catalog (see model_catalog.hpp) ------------------------------------
    std::vector<LocalModelInfo> scan_local_models() const;
    std::optional<LocalModelInfo> find_local_model(const std::string& selector) const;
    std::optional<LocalModelInfo> local_model_from_path(const std::string& selector) const;
    static bool is_safetensors_model(const std::string& path);
    nlohmann::json local_models_json() const;
    std::string remote_models_path() const;
    static std::vector<RemoteModelInfo> load_remote_models(const std::string& path, std::string& error);
    std::optional<RemoteModelInfo> resolve_remote_model(const std::string& selector, std::string& error) const;
    nlohmann::json remote_models_json() const;
    static std::string api_key_display(const std::string& key);

    // ---- switching ----------------------------------------------------------
    // Each switch reconfigures the client and, when that succeeds, stores the
    // configuration in AgentConfig.llm and persists it. Switches are
    // serialised; a failed one leaves model, record and file as they were.
    // A base URL that differs from the record's must pass base_url_problem
    // (support/url.hpp), whoever asks.
    //
    // Some switches the model makes hold for the running session only: the
    // client runs the new configuration while AgentConfig.llm and the file
    // keep the stored one, so the next change that is saved starts from what
    // the user stored. They are a remote switch whose saving would replace
    // the stored API key by another (or by none) while no remote_models.json
    // entry holds the stored one, so that the model can never cost the user
    // a key, and a switch to an endpoint the user neither configured nor
    // listed. The host's switches are saved as before.
    ModelSwitchResult apply_llm_config(const LLMConfig& config);
    bool persist_config(std::string& error);
    // Where persist_config writes: the configuration file the host started with.
    std::string config_persist_path() const;
    ModelSwitchResult switch_local_model(const std::string& selector);
    ModelSwitchResult switch_remote_model_by_config(const std::string& selector,
                                                    SwitchRequester requester = SwitchRequester::host);
    // `api_key` empty: the configured key goes along only to the configured
    // endpoint's origin; to the origin of a remote_models.json entry that
    // entry's key goes instead, and to any other origin no key at all.
    // Asked by the model, a base URL of any other origin is refused unless
    // agent.allow_unlisted_model_endpoints is set, and then holds for the
    // session only.
    ModelSwitchResult switch_remote_model(const std::string& model, const std::string& base_url,
                                          const std::string& api_key, const std::string& backend,
                                          SwitchRequester requester = SwitchRequester::host);

    // ---- reports ------------------------------------------------------------
    static nlohmann::json switch_result_json(const ModelSwitchResult& result);
    nlohmann::json status_json() const;  // facade current_model_status_json, tool action "status"
    std::string status_text() const;     // /model status

private:
    // `persist` false: the client only, see apply_llm_config.
    ModelSwitchResult apply_locked(const LLMConfig& config, bool persist = true);
    bool persist_locked(std::string& error);
    ModelSwitchResult fresh_result() const;
    ModelSwitchResult switch_by_config_locked(const std::string& selector, SwitchRequester requester);
    // The key to send to `base_url` when no key was given for it; sets
    // `dropped` when a configured key stays behind.
    std::string key_for_endpoint(const std::string& base_url, const std::string& model, bool& dropped) const;
    // The origin of `base_url` is the configured endpoint's or a remote_models.json entry's.
    bool is_listed_origin(const std::string& base_url) const;
    // Saving `next_key` keeps the stored key: it is the same, there is none,
    // or a remote_models.json entry holds it.
    bool saving_keeps_stored_key(const std::string& next_key) const;
    // The configuration the status reports show: the client's effective one
    // when it has a backend, else the record's.
    LLMConfig shown_config(const std::optional<ModelRuntimeStatus>& status) const;

    AgentConfig& config_;
    mutable std::mutex mutex_;  // serialises switches and guards runtime_
    IModelRuntime* runtime_ = nullptr;
    // The configuration of a switch that holds for this session only, while
    // it is in force.
    std::optional<LLMConfig> session_only_;
};

}  // namespace vexa
