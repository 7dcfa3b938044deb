// vexa_core::CoreSession: a thin guard around the agent. Every method takes
// the session lock (except the four lock-free ones), answers for a session
// without an agent, and otherwise hands the call to the agent and maps its
// outcome onto the result and last_error.

#include "api/core_session_impl.hpp"
#include "api/ensure_utf8.hpp"
#include "api/facade_convert.hpp"

#include "config/agent_config.hpp"
#include "llm/llm_state.hpp"
#include "tools/dynamic_tool.hpp"
#include "support/log.hpp"

#include <chrono>
#include <exception>
#include <string>
#include <thread>
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

// Counts: a negative result copies the agent's last error, else clears it.
// (Templates: the Impl type is private to CoreSession and cannot be named here.)
template <typename SessionImpl>
int count_result(SessionImpl& impl, int count) {
    if (count < 0) {
        impl.set_error(impl.agent->last_error());
    } else {
        impl.clear_error();
    }
    return count;
}

// Setters with an error path: true clears last_error, false copies the agent's.
template <typename SessionImpl>
bool bool_result(SessionImpl& impl, bool ok) {
    if (ok) {
        impl.clear_error();
    } else {
        impl.set_error(impl.agent->last_error());
    }
    return ok;
}
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

bool CoreSession::initialize(const InitializeOptions& options, EventCallback on_event) {
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

    // Replace any earlier agent. Once agent_access is held exclusively no
    // lock-free call is inside it; it is destroyed after the lock is released
    // (its background work is waited for by its destructor).
    std::unique_ptr<vexa::Agent> previous;
    auto fresh = std::make_unique<vexa::Agent>();
    vexa::Agent* agent = fresh.get();
    {
        std::unique_lock access(impl_->agent_access);
        previous = std::move(impl_->agent);
        impl_->agent = std::move(fresh);
    }
    previous.reset();

    if (!agent->start(detail::wrap_event_callback(std::move(on_event)))) {
        impl_->set_error(agent->last_error());
        return false;
    }
    // Start-up warnings of the agent (a model client that could not be
    // configured, knowledge files set aside) join the configuration's.
    const std::string config_warning = impl_->error();
    const std::string agent_warning = agent->last_error();
    if (!config_warning.empty() && !agent_warning.empty()) impl_->set_error(config_warning + "\n" + agent_warning);
    return true;
}

void CoreSession::shutdown() {
    if (!impl_) return;
    // A turn holds the session lock until it ends, and it may be waiting on a
    // silent server: stop it first (cancel needs no lock), then wait. The
    // cancel is repeated while waiting, in case a turn that had not yet
    // cleared its cancel flag started in between. (Polled with try_lock: a
    // timed lock would hide the hand-over from the thread sanitizer.)
    std::unique_lock<std::mutex> lock(impl_->mutex, std::try_to_lock);
    while (!lock.owns_lock()) {
        cancel();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        (void)lock.try_lock();
    }
    if (!impl_->agent) return;
    impl_->agent->shutdown();
    std::unique_ptr<vexa::Agent> gone;
    {
        std::unique_lock access(impl_->agent_access);
        gone = std::move(impl_->agent);
    }
}

// ---- turns -------------------------------------------------------------------

ChatResult CoreSession::send_text_stream(const std::string& text, const ChatOptions& options,
                                         EventCallback on_event) {
    ChatResult result;
    if (!impl_) {
        result.error = detail::kNotInitialized;
        return result;
    }
    SessionLock lock(impl_->mutex);
    impl_->clear_error();
    if (!impl_->agent) {
        result.error = detail::kNotInitialized;
        impl_->set_error(result.error);
        return result;
    }
    vexa::AgentChatOptions agent_options;
    std::string error;
    if (!detail::to_agent_options(options, agent_options, error)) {
        result.error = error;
        impl_->set_error(result.error);
        return result;
    }
    try {
        result = detail::to_chat_result(
            impl_->agent->chat(text, agent_options, detail::wrap_event_callback(std::move(on_event))));
    } catch (const std::exception& e) {
        result = ChatResult{};
        result.error = std::string("Agent request failed: ") + e.what();
    } catch (...) {
        result = ChatResult{};
        result.error = "Agent request failed: unknown exception.";
    }
    if (!result.success) impl_->set_error(result.error);
    return result;
}

void CoreSession::cancel() {
    if (!impl_) return;
    AgentReadLock agent(impl_->agent_access);
    if (impl_->agent) impl_->agent->cancel();
}

bool CoreSession::is_cancel_requested() const {
    if (!impl_) return false;
    AgentReadLock agent(impl_->agent_access);
    return impl_->agent && impl_->agent->cancel_requested();
}

std::string CoreSession::oneshot_completion(const std::string& messages_json, const std::string& options_json) {
    if (!impl_) return {};
    AgentReadLock agent(impl_->agent_access);
    if (!impl_->agent) return impl_->not_initialized(std::string());
    std::string text = impl_->agent->oneshot(messages_json, options_json);
    std::string error = impl_->agent->last_error();
    if (!error.empty()) impl_->set_error(std::move(error));
    return text;
}

bool CoreSession::request_tools(const std::vector<std::string>& tool_names) {
    if (!impl_) return false;
    AgentReadLock agent(impl_->agent_access);
    if (!impl_->agent) return impl_->not_initialized(false);
    return impl_->agent->request_tools(tool_names);
}

CommandResult CoreSession::execute_command(const std::string& command, const std::string& args) {
    CommandResult result;
    result.message = detail::kNotInitialized;
    if (!impl_) return result;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return result;
    vexa::CommandResult answer;
    try {
        answer = impl_->agent->execute_command(command, args);
    } catch (const std::exception& e) {
        // A value /config set cannot convert: a failed command, never an
        // exception in the host's face.
        answer = vexa::CommandResult{};
        answer.message = vexa::ensure_utf8(e.what());
    } catch (...) {
        answer = vexa::CommandResult{};
        answer.message = "Command failed.";
    }
    result.success = answer.success;
    result.should_exit = answer.should_exit;
    result.message = answer.message;
    if (!result.success) impl_->set_error(result.message);
    return result;
}

// ---- errors ------------------------------------------------------------------

std::string CoreSession::last_error() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    std::string error = impl_->error();
    if (error.empty() && impl_->agent) error = impl_->agent->last_error();
    return error;
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
    if (!impl_->agent) return {};
    return impl_->agent->agent_name();
}

std::string CoreSession::current_state() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return vexa::state_name(impl_->agent->state());
}

std::string CoreSession::current_model() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return impl_->agent->current_model();
}

std::string CoreSession::current_model_status_json() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return impl_->agent->model_status_json();
}

std::string CoreSession::current_session_id() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return impl_->agent->session_id();
}

std::string CoreSession::last_llm_request_id() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return impl_->agent->last_llm_request_id();
}

std::string CoreSession::get_system_prompt() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return impl_->agent->build_system_prompt();
}

std::string CoreSession::status_text() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return impl_->agent->status_text();
}

std::string CoreSession::config_text() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return impl_->agent->config_text();
}

std::string CoreSession::local_models_json() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return impl_->agent->local_models_json();
}

std::string CoreSession::remote_models_json() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return impl_->agent->remote_models_json();
}

// ---- sessions ----------------------------------------------------------------

bool CoreSession::new_session() {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return false;
    return bool_result(*impl_, impl_->agent->new_session());
}

bool CoreSession::clear_session() {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return false;
    return bool_result(*impl_, impl_->agent->clear_session());
}

bool CoreSession::save_session() {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized(false);
    // False copies the agent's last error; true leaves last_error.
    if (impl_->agent->save_session()) return true;
    impl_->set_error(impl_->agent->last_error());
    return false;
}

bool CoreSession::load_session(const std::string& session_id) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized(false);
    if (impl_->agent->load_session(session_id)) return true;
    impl_->set_error(impl_->agent->last_error());
    return false;
}

std::vector<std::string> CoreSession::list_sessions() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return impl_->agent->list_sessions();
}

int CoreSession::add_conversation_from_memory(const std::string& conversation_json) {
    if (!impl_) return -1;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized(-1);
    return count_result(*impl_, impl_->agent->append_conversation(conversation_json));
}

int CoreSession::set_conversation_from_memory(const std::string& conversation_json) {
    if (!impl_) return -1;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized(-1);
    return count_result(*impl_, impl_->agent->replace_conversation(conversation_json));
}

// ---- tools -------------------------------------------------------------------

bool CoreSession::register_tool(const ToolParameterSpec& spec, ToolExecutor executor) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized(false);
    std::string reason;
    if (!vexa::check_tool_spec(spec, reason)) {
        impl_->set_error("Failed to register tool: " + spec.name + " (" + reason + ")");
        return false;
    }
    if (impl_->agent->register_host_tool(vexa::map_tool_spec(spec, std::move(executor)))) return true;
    impl_->set_error("Failed to register tool: " + spec.name + " (a built-in tool has that name)");
    return false;
}

bool CoreSession::unregister_tool(const std::string& name) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized(false);
    // last_error stays as it is, whatever the outcome.
    return impl_->agent->unregister_host_tool(name);
}

std::vector<std::string> CoreSession::list_registered_tools() const {
    if (!impl_) return {};
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return {};
    return impl_->agent->host_tool_names();
}

void CoreSession::set_tool_confirm_callback(ToolConfirmCallback callback) {
    if (!impl_) return;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized();
    impl_->agent->set_tool_confirm_callback(std::move(callback));
    impl_->clear_error();
}

// ---- prompts, model and knowledge --------------------------------------------

void CoreSession::set_system_prompt(const std::string& text) {
    if (!impl_) return;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized();
    impl_->agent->set_system_prompt(text);
    impl_->clear_error();
}

void CoreSession::add_system_prompt(const std::string& text) {
    if (!impl_) return;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized();
    impl_->agent->add_system_prompt(text);
    impl_->clear_error();
}

bool CoreSession::set_host_llm_context(const HostLlmContext& context) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized(false);
    return bool_result(*impl_, impl_->agent->set_host_llm_context(detail::to_engine(context)));
}

bool CoreSession::set_llm_override(const LlmOverride& llm_override) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized(false);
    return bool_result(*impl_, impl_->agent->set_llm_override(detail::to_engine(llm_override)));
}

int CoreSession::load_skills_from_memory(const std::string& skills_json) {
    if (!impl_) return -1;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized(-1);
    return count_result(*impl_, impl_->agent->load_skills_from_memory(skills_json));
}

bool CoreSession::set_identity_from_memory(const std::string& identity_json) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized(false);
    return bool_result(*impl_, impl_->agent->set_identity_from_memory(identity_json));
}

bool CoreSession::set_soul_from_memory(const std::string& soul_text) {
    if (!impl_) return false;
    SessionLock lock(impl_->mutex);
    if (!impl_->agent) return impl_->not_initialized(false);
    return bool_result(*impl_, impl_->agent->set_soul_from_memory(soul_text));
}

}  // namespace vexa_core
