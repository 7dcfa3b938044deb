#include "agent/agent.hpp"

#include "api/ensure_utf8.hpp"
#include "config/agent_config.hpp"
#include "config/json_util.hpp"
#include "conversation/context_compression.hpp"
#include "models/model_management_tool.hpp"
#include "skills/skill_inspect_tool.hpp"
#include "support/fs_util.hpp"
#include "support/timing.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <vector>
#include <utility>

namespace vexa {

namespace {

AgentConfig& config() { return AgentConfig::instance(); }

// Temporary files that killed writers left behind, in every folder the
// library writes: sessions and records, memory and profile, the skills'
// activity file. (The configuration file's folder is cleaned when it loads.)
void remove_stale_temporary_files() {
    remove_stale_session_files();
    std::vector<std::filesystem::path> folders = {
        path_from_utf8(config().resolve_path(config().paths.memory_file)).parent_path(),
        path_from_utf8(config().resolve_path(kUserProfileFile)).parent_path(),
    };
    if (!config().paths.skills_dir.empty()) folders.push_back(path_from_utf8(config().resolve_path(config().paths.skills_dir)));
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    for (const auto& folder : folders) remove_stale_temp_files(folder);
}

// What the current thread is inside of, per agent: a model call (the LLM
// lock) or an event delivery (the event lock). A thread is inside at most a
// few of these at once, so a small list is enough.
thread_local std::vector<const Agent*> t_llm_lock_held;
thread_local std::vector<const Agent*> t_delivering;

struct ThreadMark {
    std::vector<const Agent*>& list;
    explicit ThreadMark(std::vector<const Agent*>& l, const Agent* agent) : list(l) { list.push_back(agent); }
    ~ThreadMark() { list.pop_back(); }
    ThreadMark(const ThreadMark&) = delete;
    ThreadMark& operator=(const ThreadMark&) = delete;
};

bool contains(const std::vector<const Agent*>& list, const Agent* agent) {
    return std::find(list.begin(), list.end(), agent) != list.end();
}

}  // namespace

Agent::LlmLock::LlmLock(const Agent& agent) : lock_(agent.llm_mutex_) { t_llm_lock_held.push_back(&agent); }

Agent::LlmLock::~LlmLock() { t_llm_lock_held.pop_back(); }

bool Agent::in_model_call_or_event_on_this_thread() const {
    return contains(t_llm_lock_held, this) || contains(t_delivering, this);
}

Agent::Agent() { add_prompt_sources(); }

Agent::Agent(BackendFactory factory) : llm_(std::move(factory)) { add_prompt_sources(); }

void Agent::add_prompt_sources() {
    // Identity and soul change only under the session lock, never during a
    // turn, so reading them here needs no lock of the agent's.
    prompt_.add_source(PromptSlot::identity,
                       [this](std::vector<std::string>& blocks) { blocks.push_back(identity_.prompt_block()); });
    prompt_.add_source(PromptSlot::soul,
                       [this](std::vector<std::string>& blocks) { blocks.push_back(soul_.prompt_block()); });
    prompt_.add_source(PromptSlot::skills,
                       [this](std::vector<std::string>& blocks) { blocks.push_back(skills_.catalog_prompt()); });
    prompt_.add_source(PromptSlot::memory, [this](std::vector<std::string>& blocks) {
        if (config().has_policy(policy_no_local_memory)) return;
        std::lock_guard<std::mutex> lock(memory_mutex_);
        blocks.push_back(memory_.overview_block());
        blocks.push_back(profile_.prompt_block());
    });
}

Agent::~Agent() { wait_for_memory_extraction(); }

// ---- lifecycle ----------------------------------------------------------------

bool Agent::start(EventCallback default_callback) {
    {
        std::lock_guard<std::mutex> lock(event_mutex_);
        default_callback_ = std::move(default_callback);
    }
    try {
        init_llm();
        models_.bind(&model_runtime_);
        register_builtin_tools();
        // The manager accepts host tools only from here on, after the built-in
        // ones, so a host tool can never shadow one.
        host_tools_.set_registry(&registry_);
        load_local_skills();
        load_knowledge();
        TimingRegistry::instance().set_enabled(config().perf_enabled);
        remove_stale_temporary_files();
        conversation_.new_session();
        point_recorder_at_session();
        user_turns_ = 0;
        turn_start_ = 0;
        completed_turns_.store(0);
        extractor_.set_interval(kMemoryExtractionInterval);
        started_.store(true);
        set_state(LLMState::idle, {});
        return true;
    } catch (const std::exception& e) {
        const std::string text = ensure_utf8(std::string("Initialization failed: ") + e.what());
        set_last_error(text);
        emit_error(text, {});
        started_.store(false);
        return false;
    }
}

void Agent::init_llm() {
    llm_.set_progress_callback([this](const std::string& text, int percent, bool ok) {
        AgentEvent event;
        event.type = AgentEventType::ModelLoading;
        if (percent <= 0) {
            event.text = "开始加载本地模型：" + text;
        } else if (percent < 100) {
            event.text = "本地模型加载中 " + std::to_string(percent) + "%：" + text;
        } else {
            event.text = text;
        }
        event.success = ok;
        emit(event, {});
    });
    // Notices of model calls that do not bring their own (a remote one-shot
    // call) go to the session's callback. Those of calls made under the model
    // lock (compression, planning, memory extraction) stay in the log: a
    // delivery from there would make the background extraction wait for the
    // host's callback while holding the lock every turn needs. A one-shot call
    // made from inside an event callback would wait for its own delivery.
    llm_.set_notice_callback([this](const std::string& text) {
        if (!in_model_call_or_event_on_this_thread()) emit_notice(text, {});
    });
    if (!llm_.configure(config().llm)) {
        const std::string text = llm_.last_error();
        set_last_error(text);
        emit_error(text, {});
    }
}

void Agent::register_builtin_tools() {
    // Fixed order: the model management tool (when the host allows it), then
    // the skill tool, whatever the policy, so host skills can be read even
    // when local ones are not loaded.
    if (!config().has_policy(policy_no_model_tool)) {
        register_builtin_tool(std::make_shared<ModelManagementTool>(&models_));
    }
    register_builtin_tool(std::make_shared<SkillInspectTool>(&skills_));
}

bool Agent::ModelRuntime::reconfigure(const LLMConfig& config, std::string& error) {
    if (agent_.in_model_call_or_event_on_this_thread()) {
        // A switch from inside this agent's own model call would wait for itself.
        error = "A model switch cannot run inside this session's callbacks while it runs a model call.";
        return false;
    }
    bool ok = false;
    {
        LlmLock lock(agent_);
        ok = agent_.llm_.configure(config);
    }
    error = ok ? std::string() : agent_.llm_.last_error();
    return ok;
}

ModelRuntimeStatus Agent::ModelRuntime::status() const { return runtime_status_of(agent_.llm_); }

std::string Agent::model_status_json() const { return dump_json(models_.status_json(), 2); }

std::string Agent::local_models_json() const { return dump_json(models_.local_models_json(), 2); }

std::string Agent::remote_models_json() const { return dump_json(models_.remote_models_json(), 2); }

void Agent::load_local_skills() {
    if (config().has_policy(policy_no_local_skills)) return;
    skills_.set_skills_dir(config().resolve_path(config().paths.skills_dir));
    const int count = skills_.load_all();
    if (count > 0) emit_notice("Loaded " + std::to_string(count) + " skill(s).", {});
}

int Agent::load_skills_from_memory(const std::string& skills_json) {
    std::string error;
    auto skills = parse_host_skills(skills_json, error);
    if (!skills) {
        set_last_error(error);
        return -1;
    }
    const int count = skills_.replace_with_host_skills(std::move(*skills));
    emit_notice("Injected " + std::to_string(count) + " skill(s) from host memory.", {});
    return count;
}

void Agent::shutdown() {
    if (!started_.load()) return;
    cancel();
    llm_.close_side_calls();
    wait_for_memory_extraction();
    autosave();
    recorder_.close();
    save_knowledge();
    models_.bind(nullptr);
    started_.store(false);
    set_state(LLMState::idle, {});
}

void Agent::cancel() {
    cancel_.exchange(true);
    llm_.cancel();
}

// ---- events and state ---------------------------------------------------------

void Agent::deliver_locked(const AgentEvent& event, const EventCallback& callback) {
    ThreadMark mark(t_delivering, this);
    if (callback) {
        callback(event);
    } else if (default_callback_) {
        default_callback_(event);
    }
}

void Agent::emit(const AgentEvent& event, const EventCallback& callback) {
    std::lock_guard<std::mutex> lock(event_mutex_);
    deliver_locked(event, callback);
}

void Agent::set_state(LLMState state, const EventCallback& callback) {
    // Changing and announcing the state under one lock keeps the host's view
    // of the state sequence in the order the changes happened.
    std::lock_guard<std::mutex> lock(event_mutex_);
    if (state_.load() == state) return;
    state_.store(state);
    AgentEvent event;
    event.type = AgentEventType::StateChanged;
    event.state = state;
    event.text = state_name(state);
    deliver_locked(event, callback);
}

void Agent::emit_notice(const std::string& text, const EventCallback& callback) {
    AgentEvent event;
    event.type = AgentEventType::Notice;
    event.text = text;
    emit(event, callback);
}

void Agent::emit_error(const std::string& text, const EventCallback& callback) {
    AgentEvent event;
    event.type = AgentEventType::Error;
    event.text = text;
    event.success = false;
    emit(event, callback);
}

std::string Agent::last_error() const {
    std::lock_guard<std::mutex> lock(error_mutex_);
    return last_error_;
}

void Agent::set_last_error(std::string text) {
    std::lock_guard<std::mutex> lock(error_mutex_);
    last_error_ = std::move(text);
}

std::string Agent::last_llm_request_id() const {
    std::lock_guard<std::mutex> lock(request_id_mutex_);
    return last_llm_request_id_;
}

// ---- tools --------------------------------------------------------------------

void Agent::register_builtin_tool(std::shared_ptr<ITool> tool) { registry_.register_tool(std::move(tool)); }

bool Agent::register_host_tool(const ToolSpec& spec) { return host_tools_.register_host_tool(spec); }

bool Agent::unregister_host_tool(const std::string& name) { return host_tools_.unregister_host_tool(name); }

std::vector<std::string> Agent::host_tool_names() const { return host_tools_.host_tool_names(); }

void Agent::set_tool_confirm_callback(ToolConfirmCallback callback) {
    std::lock_guard<std::mutex> lock(confirm_mutex_);
    confirm_callback_ = std::move(callback);
}

std::vector<std::string> Agent::active_tool_names() const {
    std::lock_guard<std::mutex> lock(tool_list_mutex_);
    return active_tools_;
}

bool Agent::request_tools(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(tool_list_mutex_);
    for (const auto& name : names) {
        if (name.empty() || !registry_.has_tool(name)) continue;
        if (std::find(active_tools_.begin(), active_tools_.end(), name) != active_tools_.end()) continue;
        active_tools_.push_back(name);
    }
    return true;
}

// ---- prompts ------------------------------------------------------------------

void Agent::set_system_prompt(std::string text) { prompt_.set_host_prompt(std::move(text)); }

void Agent::add_system_prompt(std::string text) { prompt_.set_added_prompt(std::move(text)); }

std::string Agent::build_system_prompt() const { return prompt_.build(); }

// ---- sessions -----------------------------------------------------------------

void Agent::autosave() {
    if (autosave_session(conversation_) != AutosaveResult::skipped) recorder_.flush();
}

bool Agent::save_session() {
    std::string error;
    const bool saved = save_session_file(conversation_, error);
    // Whatever the save did, the record file is brought up to date with it
    // (nothing happens while no records are kept).
    recorder_.flush();
    if (saved) return true;
    set_last_error(error);
    return false;
}

void Agent::point_recorder_at_session() {
    if (persistence_disabled()) {
        recorder_.close();
        recorder_.set_session_only(conversation_.session_id());
        return;
    }
    recorder_.set_compact(config().agent.compact_interaction_records);
    recorder_.open(conversation_.session_id(), config().resolve_path(config().paths.conversations_full_dir));
}

void Agent::append_record(InteractionRecord record) { recorder_.append(std::move(record)); }

void Agent::set_record_model_info(RoundBuilder& round, std::string request_id, std::string finish_reason) const {
    const LLMConfig in_force = llm_.has_backend() ? llm_.effective_config() : config().llm;
    round.set_model_info(in_force.model, in_force.backend, std::move(request_id), std::move(finish_reason));
}

bool Agent::load_session(const std::string& id) {
    if (persistence_disabled()) {
        set_last_error(kPersistenceDisabledError);
        return false;
    }
    autosave();
    std::string error;
    bool ok = false;
    try {
        ok = load_session_file(conversation_, id, error);
    } catch (const std::exception&) {
        // A session file with members of the wrong type is as unusable as a
        // missing one; the store is left as it was.
        ok = false;
        error = kLoadSessionErrorPrefix + id;
    }
    if (!ok) {
        set_last_error(error);
        return false;
    }
    llm_.set_session_id(conversation_.session_id());
    point_recorder_at_session();
    user_turns_ = std::max(count_completed_turns(conversation_.messages()), recorder_.last_user_turn_index());
    turn_start_ = conversation_.message_count();
    if (const TokenUsage recorded = recorder_.session_usage(); has_usage(recorded)) conversation_.set_usage(recorded);
    return true;
}

std::vector<std::string> Agent::list_sessions() const { return list_session_files(); }

bool Agent::save_before_replacing() {
    const AutosaveResult saved = autosave_session(conversation_);
    if (saved != AutosaveResult::skipped) recorder_.flush();
    if (saved != AutosaveResult::failed) return true;
    // The conversation is about to be dropped: without its file it would be lost.
    set_last_error(kSaveConversationError);
    return false;
}

bool Agent::new_session() {
    if (!save_before_replacing()) return false;
    conversation_.new_session();
    point_recorder_at_session();
    user_turns_ = 0;
    turn_start_ = 0;
    return true;
}

bool Agent::clear_session() {
    if (!save_before_replacing()) return false;
    conversation_.clear();
    conversation_.new_session();
    point_recorder_at_session();
    user_turns_ = 0;
    turn_start_ = 0;
    return true;
}

int Agent::append_conversation(const std::string& json) {
    return after_injection(conversation_.append_from_json(json), false);
}

int Agent::replace_conversation(const std::string& json) {
    return after_injection(conversation_.replace_from_json(json), true);
}

int Agent::after_injection(int count, bool replace) {
    if (count < 0) {
        set_last_error(kHostConversationError);
        return -1;
    }
    user_turns_ = std::max({user_turns_, count_completed_turns(conversation_.messages()),
                            recorder_.last_user_turn_index()});
    turn_start_ = conversation_.message_count();
    emit_notice(std::string(replace ? "Injected " : "Appended ") + std::to_string(count) +
                    " conversation message(s) from host memory.",
                {});
    return count;
}

// ---- model --------------------------------------------------------------------

bool Agent::set_llm_override(const LlmOverride& llm_override) {
    bool ok = false;
    {
        LlmLock lock(*this);
        ok = llm_.set_override(llm_override);
    }
    if (!ok) set_last_error(llm_.last_error());
    return ok;
}

bool Agent::set_host_llm_context(const HostLlmContext& context) {
    if (llm_.set_host_llm_context(context)) return true;
    set_last_error(llm_.last_error());
    return false;
}

std::string Agent::current_model() const {
    if (llm_.has_backend()) return llm_.effective_config().model;
    return config().llm.model;
}

std::string Agent::agent_name() const { return config().agent.name; }

std::string Agent::status_text() const {
    const auto& cfg = config();
    std::string text = "Agent Status:\n";
    text += "  Session ID: " + conversation_.session_id() + "\n";
    text += "  Messages: " + std::to_string(conversation_.message_count()) + "\n";
    text += "  Loaded Skills: " + std::to_string(skills_.loaded_skill_names().size()) + "\n";
    bool established = false;
    const std::size_t memories = with_memory(
        [&](const MemoryStore& store, const UserProfile& profile, const std::string&) {
            established = profile.is_established();
            return store.size();
        });
    text += "  Memories: " + std::to_string(memories) + "\n";
    text += "  Backend: " + cfg.llm.backend + "\n";
    text += "  Model: " + cfg.llm.model + "\n";
    text += "  State: " + state_name(state_.load()) + "\n";
    text += std::string("  用户画像: ") + (established ? "已建立" : "学习中");
    return text;
}

std::string Agent::oneshot(const std::string& messages_json, const std::string& options_json) {
    TokenUsage usage;
    std::int64_t total_ms = 0;
    std::string content;
    bool success = false;

    auto result_json = [&]() {
        nlohmann::json out = nlohmann::json::object();
        out["content"] = content;
        out["error"] = last_error();
        out["success"] = success;
        out["timing"] = {{"total_ms", total_ms}};
        out["usage"] = usage_to_json(usage);
        return dump_json(out, -1);
    };

    if (!started_.load()) {
        set_last_error("Agent is not initialized.");
        return result_json();
    }
    auto parsed = parse_json_bounded(messages_json);
    if (parsed.is_discarded()) {
        set_last_error("oneshot messages_json is not valid JSON");
        return result_json();
    }
    nlohmann::json list;
    if (parsed.is_array()) {
        list = std::move(parsed);
    } else if (parsed.is_object()) {
        list = parsed.contains("messages") ? parsed["messages"] : nlohmann::json::array();
    }
    // A root that is neither an array nor an object is refused the same way.
    if (!list.is_array()) {
        set_last_error("oneshot messages_json must be an array");
        return result_json();
    }
    std::vector<ChatMessage> messages;
    try {
        for (const auto& element : list) {
            if (element.is_object()) messages.push_back(message_from_json(element));
        }
    } catch (const nlohmann::json::exception& e) {
        set_last_error(std::string("oneshot messages_json is not valid JSON: ") + e.what());
        return result_json();
    }
    if (messages.empty()) {
        set_last_error("oneshot messages is empty");
        return result_json();
    }
    CompletionOptions options;
    if (!options_json.empty()) {
        auto opts = parse_json_bounded(options_json);
        if (!opts.is_discarded() && opts.is_object()) {
            if (auto it = opts.find("model"); it != opts.end() && it->is_string()) options.model = it->get<std::string>();
            if (auto it = opts.find("temperature"); it != opts.end() && it->is_number()) {
                options.temperature = it->get<double>();
            }
            if (auto it = opts.find("max_tokens"); it != opts.end() && it->is_number_integer()) {
                options.max_tokens = it->get<int>();
            }
        }
    }
    const auto started_at = std::chrono::steady_clock::now();
    CompletionResult result;
    if (!llm_.is_local()) {
        // Its own connection: never waits for (or blocks) a running turn.
        result = llm_.side_completion(messages, options);
    } else if (in_model_call_or_event_on_this_thread()) {
        // The in-process model serves one call at a time, and this thread is
        // the one that holds it (or holds the event delivery a model call
        // waits for): waiting would never end.
        set_last_error(kOneshotInCallbackError);
        return result_json();
    } else {
        LlmLock lock(*this);
        result = llm_.chat_completion_result(messages, options);
    }
    total_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_at)
                   .count();
    ChatMessage answer;
    answer.role = MessageRole::assistant;
    answer.content = result.content;
    usage = finalize_usage(result.usage, messages, answer);
    if (result.ok) {
        content = result.content;
        success = true;
        set_last_error("");
    } else {
        std::string error = result.error;
        if (error.empty()) error = "oneshot completion failed";
        set_last_error(error);
    }
    return result_json();
}

}  // namespace vexa
