// vexa_core::CoreSession: a thin guard around the agent. Every method takes
// the session lock (except the four lock-free ones), answers for a session
// without an agent, and otherwise hands the call to the agent and maps its
// outcome onto the result and last_error.

#include "api/core_session_impl.hpp"
#include "api/facade_convert.hpp"

#include "config/agent_config.hpp"
#include "support/log.hpp"

#include <exception>
#include <string>
#include <utility>

namespace vexa_core {

template <typename T>
T CoreSession::Impl::not_initialized(T result) {
    set_error(detail::kNotInitialized);
    return result;
}

void CoreSession::Impl::not_initialized() {
    set_error(detail::kNotInitialized);
}

namespace {
using SessionLock = std::lock_guard<std::mutex>;
using AgentReadLock = std::shared_lock<std::shared_mutex>;
}  // namespace

// A moved-from session has no Impl; every method then answers as a session
// without an agent and records nothing.

CoreSession::CoreSession() : impl_(std::make_unique<Impl>()) {}

// Destruction must not take the host process down: a failure while shutting
// down is logged and otherwise ignored.
CoreSession::~CoreSession() {
    try {
        shutdown();
    } catch (const std::exception& e) {
        vexa::log_line(vexa::LogLevel::WARNING, std::string("CoreSession shutdown failed: ") + e.what());
    } catch (...) {
        vexa::log_line(vexa::LogLevel::WARNING, "CoreSession shutdown failed: unknown exception.");
    }
}

CoreSession::CoreSession(CoreSession&& other) noexcept : impl_(std::move(other.impl_)) {}

CoreSession& CoreSession::operator=(CoreSession&& other) noexcept {
    if (this != &other) {
        CoreSession previous(std::move(*this));  // shut down and released on scope exit
        impl_ = std::move(other.impl_);
    }
    return *this;
}

// ---- lifecycle ---------------------------------------------------------------

bool CoreSession::initialize(const InitializeOptions& options, [[maybe_unused]] EventCallback on_event) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    impl_->clear_error();
    detail::set_utf8_locale();

    vexa::AgentConfig& config = vexa::AgentConfig::instance();
    const detail::ConfigLocation location = detail::locate_config(options);
    config.base_dir = location.base_dir;
    if (!config.load(location.config_path)) {
        impl_->set_error(detail::config_warning(location.config_path));
        config.config_path = location.config_path;
    }
    config.host_policy_flags = options.host_policy_flags;

    // Agent: replace any earlier agent (wait for its extraction first), install
    // the new one under agent_access, start it with
    // detail::wrap_event_callback(std::move(on_event)); a failed start copies
    // the agent's error into last_error and returns false.
    return true;
}

void CoreSession::shutdown() {
    if (!impl_) return;
    SessionLock lock(impl_->mutex);
    // Agent: run its shutdown, then destroy it under agent_access.
}

// ---- turns -------------------------------------------------------------------

ChatResult CoreSession::send_text_stream([[maybe_unused]] const std::string& text,
                                         [[maybe_unused]] const ChatOptions& options,
                                         [[maybe_unused]] EventCallback on_event) {
    ChatResult result;
    if (!impl_) {
        result.error = detail::kNotInitialized;
        return result;
    }
    SessionLock lock(impl_->mutex);
    impl_->clear_error();
    // Agent: detail::to_agent_options (its failure text goes to error and
    // last_error), chat with detail::wrap_event_callback(on_event),
    // detail::to_chat_result; "Agent request failed: ..." for exceptions.
    result.error = detail::kNotInitialized;
    impl_->set_error(result.error);
    return result;
}

void CoreSession::cancel() {
    if (!impl_) return;
    AgentReadLock agent(impl_->agent_access);
    // Agent: set its cancel flag and cancel the running model request.
}

bool CoreSession::is_cancel_requested() const {
    if (!impl_) return false;
    AgentReadLock agent(impl_->agent_access);
    return false;
}

std::string CoreSession::oneshot_completion([[maybe_unused]] const std::string& messages_json,
                                            [[maybe_unused]] const std::string& options_json) {
    if (!impl_) return {};
    AgentReadLock agent(impl_->agent_access);
    // Agent: run it; a non-empty agent error afterwards becomes last_error.
    return impl_->not_initialized(std::string());
}

bool CoreSession::request_tools([[maybe_unused]] const std::vector<std::string>& tool_names) {
    if (!impl_) return false;
    AgentReadLock agent(impl_->agent_access);
    return impl_->not_initialized(false);
}

CommandResult CoreSession::execute_command([[maybe_unused]] const std::string& command,
                                           [[maybe_unused]] const std::string& args) {
    CommandResult result;
    result.message = detail::kNotInitialized;
    if (!impl_) return result;
    SessionLock lock(impl_->mutex);
    // Agent: a result with success false copies its message into last_error.
    return result;
}

// ---- errors ------------------------------------------------------------------

std::string CoreSession::last_error() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    // Agent: an empty session error falls back to the agent's last error.
    return impl_->error();
}

void CoreSession::set_last_error_for_validation(std::string message) {
    if (!impl_) return;
    SessionLock lock(impl_->mutex);
    impl_->set_error(std::move(message));
}

// ---- state and reports -------------------------------------------------------
// Each of these answers "" without an agent.

std::string CoreSession::agent_name() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

std::string CoreSession::current_state() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

std::string CoreSession::current_model() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

std::string CoreSession::current_model_status_json() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

std::string CoreSession::current_session_id() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

std::string CoreSession::last_llm_request_id() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

std::string CoreSession::get_system_prompt() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

std::string CoreSession::status_text() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

std::string CoreSession::config_text() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

std::string CoreSession::local_models_json() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

std::string CoreSession::remote_models_json() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

// ---- sessions ----------------------------------------------------------------

bool CoreSession::new_session() {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    return false;
}

bool CoreSession::clear_session() {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    return false;
}

bool CoreSession::save_session() {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    // Agent: false copies the agent's last error; true leaves last_error.
    return impl_->not_initialized(false);
}

bool CoreSession::load_session([[maybe_unused]] const std::string& session_id) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    // Agent: false copies the agent's last error; true leaves last_error.
    return impl_->not_initialized(false);
}

std::vector<std::string> CoreSession::list_sessions() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

int CoreSession::add_conversation_from_memory([[maybe_unused]] const std::string& conversation_json) {
    if (!impl_) return -1;
    SessionLock lock(impl_->mutex);
    // Agent: a negative count copies the agent's last error, else clears it.
    return impl_->not_initialized(-1);
}

int CoreSession::set_conversation_from_memory([[maybe_unused]] const std::string& conversation_json) {
    if (!impl_) return -1;
    SessionLock lock(impl_->mutex);
    // Agent: a negative count copies the agent's last error, else clears it.
    return impl_->not_initialized(-1);
}

// ---- tools -------------------------------------------------------------------

bool CoreSession::register_tool([[maybe_unused]] const ToolParameterSpec& spec,
                                [[maybe_unused]] ToolExecutor executor) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    // Agent: register vexa::map_tool_spec(spec, executor) as a host tool;
    // false sets last_error to "Failed to register tool: " + spec.name.
    return impl_->not_initialized(false);
}

bool CoreSession::unregister_tool([[maybe_unused]] const std::string& name) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    // Agent: last_error stays as it is, whatever the outcome.
    return impl_->not_initialized(false);
}

std::vector<std::string> CoreSession::list_registered_tools() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    return {};
}

void CoreSession::set_tool_confirm_callback([[maybe_unused]] ToolConfirmCallback callback) {
    if (!impl_) return;
    SessionLock lock(impl_->mutex);
    // Agent: install (or remove) the hook, then clear last_error.
    impl_->not_initialized();
}

// ---- prompts, model and knowledge --------------------------------------------

void CoreSession::set_system_prompt([[maybe_unused]] const std::string& text) {
    if (!impl_) return;
    SessionLock lock(impl_->mutex);
    // Agent: set it, then clear last_error.
    impl_->not_initialized();
}

void CoreSession::add_system_prompt([[maybe_unused]] const std::string& text) {
    if (!impl_) return;
    SessionLock lock(impl_->mutex);
    // Agent: set it, then clear last_error.
    impl_->not_initialized();
}

bool CoreSession::set_host_llm_context([[maybe_unused]] const HostLlmContext& context) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    // Agent: detail::to_engine(context); true clears last_error, false copies the agent's.
    return impl_->not_initialized(false);
}

bool CoreSession::set_llm_override([[maybe_unused]] const LlmOverride& llm_override) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    // Agent: detail::to_engine(llm_override); true clears last_error, false copies the agent's.
    return impl_->not_initialized(false);
}

int CoreSession::load_skills_from_memory([[maybe_unused]] const std::string& skills_json) {
    if (!impl_) return -1;
    SessionLock lock(impl_->mutex);
    // Agent: a negative count copies the agent's last error, else clears it.
    return impl_->not_initialized(-1);
}

bool CoreSession::set_identity_from_memory([[maybe_unused]] const std::string& identity_json) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    // Agent: true clears last_error, false copies the agent's.
    return impl_->not_initialized(false);
}

bool CoreSession::set_soul_from_memory([[maybe_unused]] const std::string& soul_text) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    // Agent: true clears last_error, false copies the agent's.
    return impl_->not_initialized(false);
}

}  // namespace vexa_core
