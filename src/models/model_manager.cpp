#include "models/model_manager.hpp"

#include "config/json_util.hpp"
#include "config/text_util.hpp"
#include "llm/llm_client.hpp"
#include "support/platform.hpp"

#include <utility>

namespace vexa {

using nlohmann::json;

namespace {

const char* const kSwitchRefused = "Model switch refused: ";

const char* const kKeptStoredKeyNotice =
    " for this session only. It was not saved: saving it would replace the API key stored in agent_config.json, and "
    "remote_models.json does not hold that key. List the stored endpoint with its key in remote_models.json to make "
    "such switches permanent.";

const char* const kUnlistedSessionNotice =
    " for this session only. It was not saved, because the endpoint is neither the configured one nor listed in "
    "remote_models.json.";

}  // namespace

const char* const kApiKeyNotCarriedNotice =
    "The configured API key was not sent to the new base URL because it is not a configured endpoint; set the key "
    "for it in the configuration if it needs one.";

namespace {

bool override_sets_anything(const LlmOverride& o) {
    return !o.backend.empty() || !o.base_url.empty() || !o.api_key.empty() || !o.model.empty() ||
           o.temperature.has_value() || o.max_tokens.has_value() || o.timeout_seconds.has_value();
}

const char* source_of(bool set) { return set ? "override" : "config"; }

// A configured path as the status shows it resolved; nothing set stays empty
// rather than showing the base directory.
std::string resolved_or_empty(const AgentConfig& config, const std::string& path) {
    return path.empty() ? std::string() : config.resolve_path(path);
}

}  // namespace

// ---- the runtime adapter --------------------------------------------------------

ModelRuntimeStatus runtime_status_of(const LLMClient& client) {
    ModelRuntimeStatus status;
    status.has_backend = client.has_backend();
    status.effective = client.effective_config();
    status.override_settings = client.override_settings();
    status.last_error = client.last_error();
    return status;
}

bool LlmClientRuntime::reconfigure(const LLMConfig& config, std::string& error) {
    if (client_.configure(config)) {
        error.clear();
        return true;
    }
    error = client_.last_error();
    return false;
}

ModelRuntimeStatus LlmClientRuntime::status() const { return runtime_status_of(client_); }

// ---- the manager -------------------------------------------------------------------

ModelManager::ModelManager(AgentConfig& config) : config_(config) {}

void ModelManager::bind(IModelRuntime* runtime) {
    std::lock_guard lock(mutex_);
    runtime_ = runtime;
}

bool ModelManager::is_bound() const {
    std::lock_guard lock(mutex_);
    return runtime_ != nullptr;
}

std::vector<LocalModelInfo> ModelManager::scan_local_models() const { return vexa::scan_local_models(config_); }

std::optional<LocalModelInfo> ModelManager::find_local_model(const std::string& selector) const {
    return vexa::find_local_model(config_, selector);
}

std::optional<LocalModelInfo> ModelManager::local_model_from_path(const std::string& selector) const {
    return vexa::local_model_from_path(config_, selector);
}

bool ModelManager::is_safetensors_model(const std::string& path) { return is_safetensors_model_path(path); }

json ModelManager::local_models_json() const { return vexa::local_models_json(config_); }

std::string ModelManager::remote_models_path() const { return vexa::remote_models_path(config_); }

std::vector<RemoteModelInfo> ModelManager::load_remote_models(const std::string& path, std::string& error) {
    return vexa::load_remote_models(path, error);
}

std::optional<RemoteModelInfo> ModelManager::resolve_remote_model(const std::string& selector,
                                                                  std::string& error) const {
    return vexa::resolve_remote_model(config_, selector, error);
}

json ModelManager::remote_models_json() const { return vexa::remote_models_json(config_); }

std::string ModelManager::api_key_display(const std::string& key) { return vexa::api_key_display(key); }

ModelSwitchResult ModelManager::fresh_result() const {
    ModelSwitchResult result;
    result.active_config = config_.llm;
    return result;
}

std::string ModelManager::config_persist_path() const { return config_.persist_path(); }

ModelSwitchResult ModelManager::apply_llm_config(const LLMConfig& config) {
    std::lock_guard lock(mutex_);
    return apply_locked(config);
}

ModelSwitchResult ModelManager::apply_locked(const LLMConfig& config, bool persist) {
    ModelSwitchResult result = fresh_result();
    if (runtime_ == nullptr) {
        result.error = "ModelManager is not initialized with an LLMClient.";
        return result;
    }
    if (!config.base_url.empty() && config.base_url != config_.llm.base_url) {
        // Every switch, the host's too: a URL that is not plainly an http(s)
        // server's would be read differently by the transport, or points at
        // the machine's own metadata service.
        const std::string problem = base_url_problem(config.base_url);
        if (!problem.empty()) {
            result.error = kSwitchRefused + problem + ".";
            result.message = "Previous model remains active.";
            return result;
        }
    }
    std::string error;
    if (!runtime_->reconfigure(config, error)) {
        result.error = error.empty() ? "Failed to configure LLM backend. Previous model remains active." : error;
        result.message = "Previous model remains active.";
        return result;
    }
    result.success = true;
    result.switched = true;
    result.active_config = config;
    if (!persist) {
        session_only_ = config;
        result.message = "Model configuration applied for this session only.";
        return result;
    }
    session_only_.reset();
    config_.llm = config;
    std::string persist_error;
    result.persisted = persist_locked(persist_error);
    if (!result.persisted) {
        result.message = "Model switched for this session, but failed to persist config: " + persist_error;
    }
    if (result.message.empty()) result.message = "Model configuration applied successfully.";
    return result;
}

bool ModelManager::persist_config(std::string& error) {
    std::lock_guard lock(mutex_);
    return persist_locked(error);
}

bool ModelManager::persist_locked(std::string& error) {
    error.clear();
    // The file the host initialised with (or the default beneath the base
    // directory); save replaces it atomically.
    const std::string path = config_.persist_path();
    if (!config_.save(path)) {
        error = "Failed to save " + path;
        return false;
    }
    return true;
}

ModelSwitchResult ModelManager::switch_local_model(const std::string& selector_text) {
    std::lock_guard lock(mutex_);
    ModelSwitchResult result = fresh_result();
    std::string selector = trim_space(selector_text);
    if (selector.empty()) {
        const std::vector<LocalModelInfo> models = scan_local_models();
        if (models.size() != 1) {
            result.error = models.empty() ? "No local GGUF models found."
                                          : "Multiple local models are available. Please choose one by id or name.";
            result.message = dump_json(local_models_json(), 2);
            return result;
        }
        selector = models.front().id;
    }

    std::optional<LocalModelInfo> model = find_local_model(selector);
    if (!model) model = local_model_from_path(selector);
    if (!model) {
        const std::string resolved =
            platform::is_absolute_path(selector) ? selector : config_.resolve_path(selector);
        if (is_safetensors_model(resolved) || is_safetensors_model(selector)) {
            result.error = "检测到 safetensors 模型，请先用 scripts/convert_safetensors_to_gguf.ps1 转换为 GGUF";
        } else {
            result.error = "Local GGUF model not found: " + selector;
        }
        return result;
    }

    LLMConfig next = config_.llm;
    next.backend = "llama_cpp";
    next.model = model->name;
    next.llama_cpp.model_path = model->config_path;
    result = apply_locked(next);
    if (result.success && result.persisted) {
        result.message = "Switched to local GGUF model: " + model->name + " (" + model->config_path + ")";
    }
    return result;
}

ModelSwitchResult ModelManager::switch_remote_model_by_config(const std::string& selector,
                                                              SwitchRequester requester) {
    std::lock_guard lock(mutex_);
    return switch_by_config_locked(selector, requester);
}

ModelSwitchResult ModelManager::switch_by_config_locked(const std::string& selector, SwitchRequester requester) {
    ModelSwitchResult result = fresh_result();
    std::string error;
    const std::optional<RemoteModelInfo> entry = resolve_remote_model(selector, error);
    if (!entry) {
        result.error = error.empty() ? "Remote model not found." : error;
        result.message = dump_json(remote_models_json(), 2);
        return result;
    }
    LLMConfig next = config_.llm;
    next.backend = entry->backend;
    next.model = entry->model;
    next.base_url = entry->base_url;
    next.api_key = entry->api_key;  // the entry's own key, also when it has none
    const bool would_lose_key = requester == SwitchRequester::model && !saving_keeps_stored_key(next.api_key);
    result = apply_locked(next, !would_lose_key);
    const std::string switched =
        "Switched to remote model: " + entry->model + " via " + entry->base_url + " (" + entry->provider + ")";
    if (result.success && would_lose_key) {
        result.message = switched + kKeptStoredKeyNotice;
    } else if (result.success && result.persisted) {
        result.message = switched;
    }
    return result;
}

std::string ModelManager::key_for_endpoint(const std::string& base_url, const std::string& model,
                                           bool& dropped) const {
    dropped = false;
    const LLMConfig& current = config_.llm;
    if (base_url == current.base_url) return current.api_key;
    const std::optional<std::string> origin = url_origin(base_url);
    if (origin && origin == url_origin(current.base_url)) return current.api_key;
    if (origin) {
        std::string error;
        const std::vector<RemoteModelInfo> entries = vexa::load_remote_models(remote_models_path(), error);
        const RemoteModelInfo* chosen = nullptr;
        for (const RemoteModelInfo& entry : entries) {
            if (url_origin(entry.base_url) != origin) continue;
            // An entry for this very model wins over other entries of the origin.
            if (ascii_lower(entry.model) == ascii_lower(model)) {
                chosen = &entry;
                break;
            }
            if (chosen == nullptr) chosen = &entry;
        }
        if (chosen != nullptr) return chosen->api_key;
    }
    dropped = !current.api_key.empty();
    return {};
}

bool ModelManager::is_listed_origin(const std::string& base_url) const {
    const std::optional<std::string> origin = url_origin(base_url);
    if (!origin) return false;
    if (origin == url_origin(config_.llm.base_url)) return true;
    std::string error;
    for (const RemoteModelInfo& entry : vexa::load_remote_models(remote_models_path(), error)) {
        if (url_origin(entry.base_url) == origin) return true;
    }
    return false;
}

bool ModelManager::saving_keeps_stored_key(const std::string& next_key) const {
    const std::string& stored = config_.llm.api_key;
    if (stored.empty() || stored == next_key) return true;
    std::string error;
    for (const RemoteModelInfo& entry : vexa::load_remote_models(remote_models_path(), error)) {
        if (entry.api_key == stored) return true;
    }
    return false;
}

ModelSwitchResult ModelManager::switch_remote_model(const std::string& model_text, const std::string& base_url_text,
                                                    const std::string& api_key, const std::string& backend_text,
                                                    SwitchRequester requester) {
    std::lock_guard lock(mutex_);
    const std::string model = trim_space(model_text);
    const std::string base_url = trim_space(base_url_text);
    const std::string backend = trim_space(backend_text);
    if (!model.empty() && base_url.empty() && api_key.empty()) {
        return switch_by_config_locked(model, requester);  // a bare name is a catalog selector
    }

    ModelSwitchResult result = fresh_result();
    if (model.empty()) {
        result.error = "Remote model name is required.";
        return result;
    }
    bool session_only = false;
    if (!base_url.empty()) {
        const std::string problem = base_url_problem(base_url);
        if (!problem.empty()) {
            result.error = kSwitchRefused + problem + ".";
            result.message = "Previous model remains active.";
            return result;
        }
        if (requester == SwitchRequester::model && !is_listed_origin(base_url)) {
            // The conversation and the system prompt go wherever the model
            // points: only the host may let it choose a server of its own.
            if (!config_.agent.allow_unlisted_model_endpoints) {
                result.error = kSwitchRefused + url_origin(base_url).value_or(base_url) +
                               " is neither the configured endpoint nor listed in remote_models.json, and switches "
                               "to other endpoints are not allowed (agent.allow_unlisted_model_endpoints).";
                result.message = "Previous model remains active.";
                return result;
            }
            session_only = true;
        }
    }
    LLMConfig next = config_.llm;
    next.backend = backend.empty() ? "openai_compatible" : backend;
    next.model = model;
    bool key_dropped = false;
    if (!api_key.empty()) {
        next.api_key = api_key;  // given for this endpoint by the caller
    } else if (!base_url.empty()) {
        // The base URL may come from the model, which must never be able to
        // send the user's key to a server of its choosing.
        next.api_key = key_for_endpoint(base_url, model, key_dropped);
    }
    if (!base_url.empty()) next.base_url = base_url;
    const bool would_lose_key =
        requester == SwitchRequester::model && !session_only && !saving_keeps_stored_key(next.api_key);

    result = apply_locked(next, !session_only && !would_lose_key);
    if (result.success) {
        const std::string switched = "Switched to remote model: " + model + " via " + next.base_url;
        if (session_only) {
            result.message = switched + kUnlistedSessionNotice;
        } else if (would_lose_key) {
            result.message = switched + kKeptStoredKeyNotice;
        } else if (result.persisted) {
            result.message = switched;
        }
        if (key_dropped) result.message += std::string(" ") + kApiKeyNotCarriedNotice;
    }
    return result;
}

// ---- reports -------------------------------------------------------------------------

json ModelManager::switch_result_json(const ModelSwitchResult& result) {
    const LLMConfig& c = result.active_config;
    const LlamaCppConfig& l = c.llama_cpp;
    json llama = json::object();
    llama["model_path"] = l.model_path;
    llama["context_size"] = l.context_size;
    llama["gpu_layers"] = l.gpu_layers;
    llama["main_gpu"] = l.main_gpu;
    llama["batch_size"] = l.batch_size;
    llama["ubatch_size"] = l.ubatch_size;
    llama["threads"] = l.threads;
    llama["flash_attention"] = l.flash_attention;
    llama["use_mmap"] = l.use_mmap;
    llama["allow_cpu_fallback"] = l.allow_cpu_fallback;
    json active = json::object();
    active["backend"] = c.backend;
    active["model"] = c.model;
    active["base_url"] = c.base_url;
    active["api_key_configured"] = !c.api_key.empty();
    active["llama_cpp"] = std::move(llama);

    json out = json::object();
    out["success"] = result.success;
    out["switched"] = result.switched;
    out["persisted"] = result.persisted;
    out["message"] = result.message;
    if (!result.error.empty()) out["error"] = result.error;
    out["active_config"] = std::move(active);
    return out;
}

LLMConfig ModelManager::shown_config(const std::optional<ModelRuntimeStatus>& status) const {
    if (status && status->has_backend) return status->effective;
    return config_.llm;
}

json ModelManager::status_json() const {
    std::lock_guard lock(mutex_);
    std::optional<ModelRuntimeStatus> status;
    if (runtime_ != nullptr) status = runtime_->status();
    const LLMConfig shown = shown_config(status);
    const LlmOverride o = status ? status->override_settings : LlmOverride{};

    json source = json::object();
    source["backend"] = source_of(!o.backend.empty());
    source["base_url"] = source_of(!o.base_url.empty());
    source["api_key"] = source_of(!o.api_key.empty());
    source["model"] = source_of(!o.model.empty());
    source["temperature"] = source_of(o.temperature.has_value());
    source["max_tokens"] = source_of(o.max_tokens.has_value());
    source["timeout_seconds"] = source_of(o.timeout_seconds.has_value());

    json out = json::object();
    out["success"] = true;
    out["backend"] = shown.backend;
    out["model"] = shown.model;
    out["base_url"] = shown.base_url;
    out["api_key_configured"] = !shown.api_key.empty();
    out["api_key_display"] = api_key_display(shown.api_key);
    out["override_active"] = override_sets_anything(o);
    out["source"] = std::move(source);
    out["config_path"] = config_.persist_path();
    out["remote_models_config_path"] = remote_models_path();
    out["local_model_path"] = shown.llama_cpp.model_path;
    out["local_model_resolved_path"] = resolved_or_empty(config_, shown.llama_cpp.model_path);
    out["context_size"] = shown.llama_cpp.context_size;
    out["gpu_layers"] = shown.llama_cpp.gpu_layers;
    out["model_dir"] = config_.paths.model_dir;
    out["model_dir_resolved"] = config_.resolve_path(config_.paths.model_dir);
    if (status && !status->last_error.empty()) out["last_error"] = status->last_error;
    return out;
}

std::string ModelManager::status_text() const {
    std::lock_guard lock(mutex_);
    const LLMConfig& llm = session_only_ ? *session_only_ : config_.llm;
    std::string text = "Model Runtime Status:\n";
    text += "  Backend: " + llm.backend + "\n";
    text += "  Model: " + llm.model + "\n";
    text += "  Base URL: " + llm.base_url + "\n";
    text += "  API Key: " + api_key_display(llm.api_key) + "\n";
    text += "  Local Model Path: " + llm.llama_cpp.model_path + "\n";
    text += "  Local Model Resolved: " + resolved_or_empty(config_, llm.llama_cpp.model_path) + "\n";
    text += "  Model Directory: " + config_.resolve_path(config_.paths.model_dir) + "\n";
    text += "  Config Path: " + config_.persist_path() + "\n";
    text += "  Remote Models Config: " + remote_models_path();
    if (session_only_) text += "\n  Saved: no (this model holds for this session only)";
    if (runtime_ != nullptr) {
        const std::string error = runtime_->status().last_error;
        if (!error.empty()) text += "\n  Last Error: " + error;
    }
    return text;
}

}  // namespace vexa
