// The agent's knowledge: persona from config_dir or the host, the memory
// store and user profile loaded at start-up and saved at shutdown, and the
// background memory extraction every few completed turns.

#include "agent/agent.hpp"

#include "config/agent_config.hpp"
#include "support/log.hpp"

#include <exception>
#include <string>
#include <system_error>
#include <vector>

namespace vexa {

namespace {

AgentConfig& config() { return AgentConfig::instance(); }

bool memory_disabled() { return config().has_policy(policy_no_local_memory); }

}  // namespace

void Agent::load_knowledge() {
    // A file that did not load completely is moved aside (or, when that is not
    // possible, never written): saving what could be read over it would lose
    // the rest. Each such file is reported in the log, as a notice and as the
    // last error, and start-up goes on.
    std::vector<std::string> warnings;
    const auto settle = [&warnings](const std::string& path, const knowledge_io::LoadOutcome& outcome) {
        bool may_write = true;
        std::string warning = knowledge_io::settle_load(path, outcome, may_write);
        if (!warning.empty()) warnings.push_back(std::move(warning));
        return may_write;
    };
    const std::string config_dir = config().resolve_path(config().paths.config_dir);
    knowledge_io::LoadOutcome outcome;
    if (!config().has_policy(policy_no_local_identity)) {
        const std::string path = config_dir + "/" + kIdentityFileName;
        identity_.load(path, &outcome);
        settle(path, outcome);
    }
    if (!config().has_policy(policy_no_local_soul)) {
        const std::string path = config_dir + "/" + kSoulFileName;
        soul_.load(path, &outcome);
        settle(path, outcome);
    }
    if (!memory_disabled()) {
        std::lock_guard<std::mutex> lock(memory_mutex_);
        const std::string memory_path = config().resolve_path(config().paths.memory_file);
        memory_.load(memory_path);
        memory_.set_persistent(settle(memory_path, memory_.load_outcome()));
        profile_path_ = config().resolve_path(kUserProfileFile);
        profile_.load(profile_path_, &outcome);
        if (!settle(profile_path_, outcome)) profile_path_.clear();
        profile_.record_interaction();
        profile_.rebuild_from_memory(memory_);
        if (!profile_path_.empty()) profile_.save(profile_path_);
    }
    if (warnings.empty()) return;
    std::string joined;
    for (const std::string& warning : warnings) {
        if (!joined.empty()) joined += "\n";
        joined += warning;
        emit_notice(warning, {});
    }
    const std::string earlier = last_error();  // a model client that could not be configured
    set_last_error(earlier.empty() ? joined : earlier + "\n" + joined);
}

void Agent::save_knowledge() {
    std::lock_guard<std::mutex> lock(memory_mutex_);
    memory_.save();
    if (!memory_disabled() && !profile_path_.empty()) profile_.save(profile_path_);
}

bool Agent::set_identity_from_memory(const std::string& identity_json) {
    if (identity_.set_from_json(identity_json)) return true;
    set_last_error(kHostIdentityParseError);
    return false;
}

bool Agent::set_soul_from_memory(const std::string& soul_text) {
    soul_.set_text(soul_text);  // an empty text clears the soul, which is no failure
    return true;
}

void Agent::wait_for_memory_extraction() {
    try {
        extraction_.join();
    } catch (const std::system_error& e) {
        // Only from the extraction thread itself (a host callback of its
        // notice): waiting there would never end.
        log_line(LogLevel::WARNING, std::string("Memory extraction not awaited: ") + e.what());
    }
}

void Agent::maybe_start_memory_extraction(const EventCallback& on_event) {
    if (memory_disabled() || !extractor_.is_due(completed_turns_.load(), extraction_.running())) return;
    emit_notice(kMemoryExtractionStartNotice, on_event);
    auto recent = recent_messages_for_extraction(conversation_.messages());
    if (recent.empty()) {
        completed_turns_.store(0);
        return;
    }
    MemoryExtractionSteps steps;
    // The overview is copied under the memory lock and the lock released
    // before the model call: the two locks are never held together, and
    // /memory or the host may change the store meanwhile.
    steps.read_overview = [this] {
        std::lock_guard<std::mutex> lock(memory_mutex_);
        return memory_.overview_block();
    };
    steps.ask_model = [this](const std::vector<ChatMessage>& request) {
        LlmLock lock(*this);
        return llm_.chat_completion(request);
    };
    steps.apply = [this](const std::vector<MemoryCandidate>& candidates) {
        std::lock_guard<std::mutex> lock(memory_mutex_);
        return apply_extraction(memory_, profile_, profile_path_, candidates);
    };
    steps.notify = [this](const std::string& text) { emit_notice(text, {}); };
    extraction_.start(
        [recent = std::move(recent), steps = std::move(steps)] { run_memory_extraction(recent, steps); },
        [this] { completed_turns_.store(0); });
}

}  // namespace vexa
