#include "llm/llm_client.hpp"

#include "config/text_util.hpp"
#include "llm/host_backend.hpp"
#include "llm/local/local_backend_factory.hpp"
#include "llm/openai_backend.hpp"

#include <algorithm>
#include <utility>

namespace vexa {

namespace {

bool is_openai_name(const std::string& lowered) {
    return lowered.empty() || lowered == "openai" || lowered == "openai_compatible" || lowered == "http";
}

const char* const kNotConfigured = "LLM backend is not configured.";

// Takes a backend out of one of the client's lists when its call ends.
struct Unlist {
    std::mutex& mutex;
    std::vector<std::shared_ptr<ILLMBackend>>& list;
    const std::shared_ptr<ILLMBackend>& backend;
    ~Unlist() {
        std::lock_guard lock(mutex);
        auto it = std::find(list.begin(), list.end(), backend);
        if (it != list.end()) list.erase(it);
    }
};

}  // namespace

std::unique_ptr<ILLMBackend> create_backend(const std::string& name, std::string& error) {
    const std::string lowered = ascii_lower(name);
    if (is_openai_name(lowered)) {
        return std::make_unique<OpenAICompatibleBackend>();
    }
    if (is_local_backend_name(lowered)) {
        return create_local_backend();
    }
    if (lowered == "host") {
        return std::make_unique<HostBackend>();
    }
    error = "Unsupported llm.backend: " + name;
    return nullptr;
}

bool is_local_backend_name(const std::string& name) {
    const std::string lowered = ascii_lower(name);
    return lowered == "llama_cpp" || lowered == "local";
}

LLMConfig apply_override(const LLMConfig& config, const LlmOverride& o) {
    const bool gives_nothing = o.backend.empty() && o.base_url.empty() && o.api_key.empty() && o.model.empty() &&
                               !o.temperature && !o.max_tokens && !o.timeout_seconds;
    if (gives_nothing) {
        return config;
    }
    LLMConfig result = config;
    if (!o.backend.empty()) {
        result.backend = o.backend;
    }
    const std::string lowered = ascii_lower(result.backend);
    const bool openai = is_openai_name(lowered);
    if (!openai && lowered != "host") {
        return result;  // the local backend takes nothing from an override
    }
    if (openai) {
        if (!o.base_url.empty()) result.base_url = o.base_url;
        if (!o.api_key.empty()) result.api_key = o.api_key;
    }
    if (!o.model.empty()) result.model = o.model;
    if (o.temperature) result.temperature = *o.temperature;
    if (o.max_tokens) result.max_tokens = *o.max_tokens;
    if (o.timeout_seconds) result.timeout_seconds = *o.timeout_seconds;
    return result;
}

// Pins the active backend for the length of one model call, so that a
// concurrent configure cannot destroy it under the call and a cancel still
// reaches it after it has been replaced.
class LLMClient::CallScope {
public:
    explicit CallScope(LLMClient& client) : client_(client) {
        std::lock_guard lock(client_.mutex_);
        backend_ = client_.backend_;
        session_id_ = client_.session_id_;
        if (backend_) {
            client_.in_flight_.push_back(backend_);
        }
    }
    ~CallScope() {
        if (!backend_) {
            return;
        }
        std::lock_guard lock(client_.mutex_);
        auto& in_flight = client_.in_flight_;
        auto it = std::find(in_flight.begin(), in_flight.end(), backend_);
        if (it != in_flight.end()) {
            in_flight.erase(it);
        }
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    ILLMBackend* backend() const { return backend_.get(); }
    const std::string& session_id() const { return session_id_; }

private:
    LLMClient& client_;
    std::shared_ptr<ILLMBackend> backend_;
    std::string session_id_;
};

LLMClient::LLMClient() : LLMClient(BackendFactory(create_backend)) {}

LLMClient::LLMClient(BackendFactory factory) : factory_(std::move(factory)) {
    if (!factory_) {
        factory_ = create_backend;
    }
}

LLMClient::~LLMClient() = default;

void LLMClient::set_progress_callback(ProgressCallback callback) {
    std::lock_guard lock(mutex_);
    progress_ = std::move(callback);
}

bool LLMClient::has_progress_callback() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(progress_);
}

void LLMClient::report_progress(const std::string& text, int percent, bool ok) const {
    ProgressCallback callback;
    {
        std::lock_guard lock(mutex_);
        callback = progress_;
    }
    if (callback) {
        callback(text, percent, ok);
    }
}

void LLMClient::set_notice_callback(NoticeCallback callback) {
    std::lock_guard lock(mutex_);
    notice_ = std::move(callback);
}

void LLMClient::report_notice(const std::string& text) const {
    NoticeCallback callback;
    {
        std::lock_guard lock(mutex_);
        callback = notice_;
    }
    if (callback) callback(text);
}

void LLMClient::set_last_error(std::string error) {
    std::lock_guard lock(mutex_);
    last_error_ = std::move(error);
}

std::unique_ptr<ILLMBackend> LLMClient::make_backend(const LLMConfig& config, std::string& error) {
    error.clear();
    std::unique_ptr<ILLMBackend> fresh = factory_(config.backend, error);
    if (!fresh) {
        if (error.empty()) error = "Unsupported llm.backend: " + config.backend;
        return nullptr;
    }
    error.clear();
    if (!fresh->configure(config, error, this)) {
        if (error.empty()) error = "Failed to configure LLM backend.";
        return nullptr;
    }
    return fresh;
}

bool LLMClient::configure(const LLMConfig& config) {
    std::lock_guard serial(configure_mutex_);
    return configure_locked(config);
}

bool LLMClient::configure_locked(const LLMConfig& config) {
    LlmOverride override_copy;
    {
        std::lock_guard lock(mutex_);
        last_error_.clear();
        override_copy = override_;
    }
    const LLMConfig effective = apply_override(config, override_copy);

    // The new backend is built and configured (possibly loading a model for a
    // long time) without any lock that a model call or cancel would need.
    std::string error;
    std::unique_ptr<ILLMBackend> fresh = make_backend(effective, error);
    if (!fresh) {
        set_last_error(error);
        return false;  // the previous backend stays in use
    }

    std::shared_ptr<ILLMBackend> installed(std::move(fresh));
    std::shared_ptr<ILLMBackend> previous;  // released after the lock, or by its last running call
    std::string session_id;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(backend_, installed);
        base_ = config;
        effective_ = effective;
        is_local_ = is_local_backend_name(effective.backend);
        configured_ = true;
        session_id = session_id_;
    }
    installed->set_session_id(session_id);
    return true;
}

bool LLMClient::set_override(const LlmOverride& override_settings) {
    std::lock_guard serial(configure_mutex_);
    LLMConfig base;
    {
        std::lock_guard lock(mutex_);
        override_ = override_settings;
        if (!configured_) {
            last_error_.clear();
            return true;
        }
        base = base_;
    }
    return configure_locked(base);
}

bool LLMClient::set_host_llm_context(const HostLlmContext& context) {
    std::lock_guard serial(configure_mutex_);
    std::shared_ptr<ILLMBackend> backend;
    {
        std::lock_guard lock(mutex_);
        backend = backend_;
    }
    auto* receiver = dynamic_cast<IHostContextReceiver*>(backend.get());
    if (receiver == nullptr) {
        set_last_error("Current LLM backend is not host.");
        return false;
    }
    receiver->set_host_llm_context(context);
    set_last_error({});
    return true;
}

void LLMClient::set_session_id(const std::string& session_id) {
    std::shared_ptr<ILLMBackend> backend;
    {
        std::lock_guard lock(mutex_);
        session_id_ = session_id;
        backend = backend_;
    }
    if (backend) {
        backend->set_session_id(session_id);
    }
}

void LLMClient::cancel() {
    std::vector<std::shared_ptr<ILLMBackend>> targets;
    {
        std::lock_guard lock(mutex_);
        if (backend_) {
            targets.push_back(backend_);
        }
        for (const auto& running : in_flight_) {
            if (std::find(targets.begin(), targets.end(), running) == targets.end()) {
                targets.push_back(running);
            }
        }
    }
    // Our references keep each backend alive until its cancel has returned.
    for (const auto& backend : targets) {
        backend->cancel();
    }
}

StreamResult LLMClient::chat_completion_stream(const std::vector<ChatMessage>& messages,
                                               const std::vector<ToolDefinition>& tools,
                                               const StreamCallbacks& callbacks) {
    CallScope scope(*this);
    if (scope.backend() == nullptr) {
        StreamResult result;
        result.ok = false;
        {
            std::lock_guard lock(mutex_);
            result.error = last_error_.empty() ? std::string(kNotConfigured) : last_error_;
        }
        if (callbacks.on_state) {
            callbacks.on_state(LLMState::error);
        }
        return result;
    }
    scope.backend()->set_session_id(scope.session_id());
    return scope.backend()->chat_completion_stream(messages, tools, callbacks);
}

CompletionResult LLMClient::chat_completion_result(const std::vector<ChatMessage>& messages,
                                                   const CompletionOptions& options) {
    CallScope scope(*this);
    if (scope.backend() == nullptr) {
        CompletionResult result;
        std::lock_guard lock(mutex_);
        if (last_error_.empty()) {
            last_error_ = kNotConfigured;
        }
        result.error = last_error_;
        return result;
    }
    scope.backend()->set_session_id(scope.session_id());
    CompletionResult result = scope.backend()->chat_completion_result(messages, options);
    if (result.ok) {
        set_last_error({});
    } else {
        // A failure is never reported without a text.
        if (result.error.empty()) {
            result.error = "sync completion failed";
        }
        set_last_error(result.error);
    }
    return result;
}

std::shared_ptr<ILLMBackend> LLMClient::make_detached_backend(std::string& error, bool& local) {
    local = false;
    LLMConfig effective;
    std::string session_id;
    std::shared_ptr<ILLMBackend> active;
    {
        std::lock_guard lock(mutex_);
        if (!configured_ || !backend_) {
            error = last_error_.empty() ? std::string(kNotConfigured) : last_error_;
            return nullptr;
        }
        if (is_local_) {
            local = true;
            return nullptr;
        }
        effective = effective_;
        session_id = session_id_;
        active = backend_;
    }
    std::shared_ptr<ILLMBackend> backend = make_backend(effective, error);
    if (!backend) return nullptr;
    // The gateway context is the host's, not part of the configuration: the
    // new backend takes the one the active backend holds now.
    if (const auto* active_host = dynamic_cast<const HostBackend*>(active.get())) {
        if (auto* own_host = dynamic_cast<HostBackend*>(backend.get())) {
            own_host->set_host_llm_context(active_host->host_llm_context());
        }
    }
    backend->set_session_id(session_id);
    return backend;
}

CompletionResult LLMClient::side_completion(const std::vector<ChatMessage>& messages,
                                           const CompletionOptions& options) {
    CompletionResult result;
    bool local = false;
    std::shared_ptr<ILLMBackend> backend = make_detached_backend(result.error, local);
    if (local) result.error = "A side completion needs a remote backend.";
    if (!backend) return result;
    {
        std::lock_guard lock(mutex_);
        if (side_closed_) {
            result.error = "Request cancelled";
            return result;
        }
        side_calls_.push_back(backend);
    }
    const Unlist unlist{mutex_, side_calls_, backend};
    result = backend->chat_completion_result(messages, options);
    if (!result.ok && result.error.empty()) result.error = "sync completion failed";
    return result;
}

bool LLMClient::parallel_chat_completion_stream(const std::vector<ChatMessage>& messages,
                                                const std::vector<ToolDefinition>& tools,
                                                const StreamCallbacks& callbacks, const std::atomic<bool>& abort,
                                                StreamResult& result, bool& not_sent) {
    result = StreamResult{};
    not_sent = false;
    if (abort.load()) {
        not_sent = true;
        return true;
    }
    bool local = false;
    std::shared_ptr<ILLMBackend> backend = make_detached_backend(result.error, local);
    if (local) return false;
    if (!backend) {
        result.ok = false;
        if (callbacks.on_state) callbacks.on_state(LLMState::error);
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        in_flight_.push_back(backend);
    }
    const Unlist unlist{mutex_, in_flight_, backend};
    // From here on cancel() reaches this backend; a cancel that came before
    // is seen here.
    if (abort.load()) {
        not_sent = true;
        return true;
    }
    result = backend->chat_completion_stream(messages, tools, callbacks);
    return true;
}

void LLMClient::close_side_calls() {
    std::vector<std::shared_ptr<ILLMBackend>> targets;
    {
        std::lock_guard lock(mutex_);
        side_closed_ = true;
        targets = side_calls_;
    }
    for (const auto& backend : targets) backend->cancel();
}

std::string LLMClient::chat_completion(const std::vector<ChatMessage>& messages) {
    return chat_completion(messages, CompletionOptions{});
}

std::string LLMClient::chat_completion(const std::vector<ChatMessage>& messages, const CompletionOptions& options) {
    CompletionResult result = chat_completion_result(messages, options);
    return result.ok ? std::move(result.content) : std::string();
}

std::string LLMClient::last_error() const {
    std::lock_guard lock(mutex_);
    return last_error_;
}

bool LLMClient::is_local() const {
    std::lock_guard lock(mutex_);
    return is_local_;
}

bool LLMClient::is_configured() const {
    std::lock_guard lock(mutex_);
    return configured_;
}

bool LLMClient::has_backend() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(backend_);
}

LLMConfig LLMClient::effective_config() const {
    std::lock_guard lock(mutex_);
    return effective_;
}

LLMConfig LLMClient::base_config() const {
    std::lock_guard lock(mutex_);
    return base_;
}

LlmOverride LLMClient::override_settings() const {
    std::lock_guard lock(mutex_);
    return override_;
}

}  // namespace vexa
