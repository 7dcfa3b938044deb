// Slash commands and the configuration report. Commands never involve the
// model: they act on the session store, the skill library, the memory store
// and profile (under the memory lock), the configuration and the model manager
// directly, and answer with texts meant to be shown to the user as they are.

#include "agent/agent.hpp"

#include "agent/tool_judgement.hpp"
#include "config/agent_config.hpp"
#include "config/text_util.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstddef>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexa {

namespace {

AgentConfig& config() { return AgentConfig::instance(); }

std::string format_double(double value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

CommandResult answer(bool success, std::string message) {
    CommandResult result;
    result.success = success;
    result.message = std::move(message);
    return result;
}

// The argument text (already trimmed) split at every single space, so that
// consecutive spaces give empty words. An empty text has no words.
std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    if (text.empty()) return words;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(' ', from);
        words.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) return words;
        from = at + 1;
    }
}

std::string join_words(const std::vector<std::string>& words, std::size_t first) {
    std::string out;
    for (std::size_t i = first; i < words.size(); ++i) {
        if (i > first) out += ' ';
        out += words[i];
    }
    return out;
}

// What follows the first occurrence of `word` in `text`, trimmed; empty when
// `word` does not occur. Lets selectors and values keep their inner spaces.
std::string text_after(const std::string& text, const std::string& word) {
    const std::size_t at = text.find(word);
    if (at == std::string::npos) return {};
    return trim_space(std::string_view(text).substr(at + word.size()));
}

// ---- /skill ---------------------------------------------------------------------

CommandResult skill_command(Agent& agent, const std::string& argument) {
    const std::vector<std::string> words = split_words(argument);
    const std::string sub = words.empty() ? "list" : ascii_lower(words[0]);
    SkillManager& skills = agent.skills();
    if (sub == "list") {
        if (skills.all_skill_names().empty()) return answer(true, "No skills available.");
        return answer(true, skills.list_table());
    }
    if (sub == "load" && words.size() >= 2) {
        const std::string& name = words[1];
        return skills.mark_loaded(name) ? answer(true, "Skill loaded: " + name)
                                        : answer(false, "Failed to load skill: " + name);
    }
    if (sub == "unload" && words.size() >= 2) {
        const std::string& name = words[1];
        return skills.unload(name) ? answer(true, "Skill unloaded: " + name)
                                   : answer(false, "Failed to unload skill: " + name);
    }
    return answer(false, "Usage: /skill [list|load <name>|unload <name>]");
}

// ---- /memory and /profile ---------------------------------------------------------

// The profile file is known only when local memory is allowed; without it
// nothing is written.
void save_profile(const UserProfile& profile, const std::string& path) {
    if (!path.empty()) profile.save(path);
}

CommandResult memory_command(Agent& agent, const std::string& argument) {
    const std::vector<std::string> words = split_words(argument);
    const std::string sub = words.empty() ? "list" : ascii_lower(words[0]);
    if (sub == "list") {
        return agent.with_memory([](MemoryStore& store, UserProfile&, const std::string&) {
            return answer(true, store.summary_line());
        });
    }
    if (sub == "add" && words.size() >= 4) {
        return agent.with_memory([&](MemoryStore& store, UserProfile& profile, const std::string& profile_path) {
            const std::string id = store.add(words[1], words[2], join_words(words, 3));
            if (!store.save()) return answer(false, "Memory created but failed to save: " + id);
            profile.rebuild_from_memory(store);
            save_profile(profile, profile_path);
            return answer(true, "Memory created with ID: " + id);
        });
    }
    if (sub == "search" && words.size() >= 2) {
        const std::string query = join_words(words, 1);
        return agent.with_memory([&](MemoryStore& store, UserProfile&, const std::string&) {
            const std::vector<MemoryEntry> found = store.search(query);
            if (found.empty()) return answer(true, "No memories found matching: " + query);
            std::string text = "Found " + std::to_string(found.size()) + " memory(ies):\n";
            for (const MemoryEntry& entry : found) {
                text += "  [" + entry.id.substr(0, 8) + "] " + entry.title + " (" + entry.category + ")\n";
            }
            return answer(true, std::move(text));
        });
    }
    if (sub == "delete" && words.size() >= 2) {
        const std::string& id = words[1];
        return agent.with_memory([&](MemoryStore& store, UserProfile& profile, const std::string& profile_path) {
            if (!store.remove(id)) return answer(false, "Failed to delete memory: " + id);
            const bool saved = store.save();
            // The entry is gone from the store either way, so the profile
            // must no longer reflect it.
            profile.rebuild_from_memory(store);
            save_profile(profile, profile_path);
            return saved ? answer(true, "Memory deleted: " + id)
                         : answer(false, "Memory deleted but failed to save: " + id);
        });
    }
    return answer(false, "Usage: /memory [list|add <category> <title> <content>|search <query>|delete <id>]");
}

CommandResult profile_command(Agent& agent, const std::string& argument) {
    std::string sub = ascii_lower(argument);
    if (sub.empty()) sub = "show";
    if (sub == "show") {
        return agent.with_memory([](MemoryStore&, UserProfile& profile, const std::string&) {
            if (!profile.is_established()) return answer(true, "用户画像尚未建立，随着对话进行将自动学习。");
            return answer(true, "=== 用户画像 ===\n" + profile.summary_line());
        });
    }
    if (sub == "rebuild") {
        return agent.with_memory([](MemoryStore& store, UserProfile& profile, const std::string& profile_path) {
            profile.rebuild_from_memory(store);
            save_profile(profile, profile_path);
            return answer(true, "用户画像已重建。");
        });
    }
    if (sub == "clear") {
        return agent.with_memory([](MemoryStore&, UserProfile& profile, const std::string& profile_path) {
            profile = UserProfile{};
            save_profile(profile, profile_path);
            return answer(true, "用户画像已清空。");
        });
    }
    return answer(false, "用法: /profile [show|rebuild|clear]");
}

// ---- /model -----------------------------------------------------------------------

std::string message_and_error(const std::string& message, const std::string& error) {
    return message.empty() ? error : message + "\n" + error;
}

CommandResult list_local_models(Agent& agent) {
    const std::vector<LocalModelInfo> models = agent.models().scan_local_models();
    if (models.empty()) {
        return answer(true, "No GGUF models found in: " + config().resolve_path(config().paths.model_dir));
    }
    std::string text = "Local GGUF models:\n";
    for (const LocalModelInfo& model : models) {
        text += "  " + model.id + ". " + model.name + "\n     " + model.config_path + "\n";
    }
    text += "Use /model use <id|name|path> to switch.";
    return answer(true, std::move(text));
}

CommandResult list_remote_models(Agent& agent) {
    ModelManager& manager = agent.models();
    std::string error;
    const std::vector<RemoteModelInfo> models = ModelManager::load_remote_models(manager.remote_models_path(), error);
    if (models.empty()) {
        const nlohmann::json report = manager.remote_models_json();
        const bool success = report.value("success", false);
        const auto found = report.find("error");
        if (found != report.end() && found->is_string()) return answer(success, found->get<std::string>());
        return answer(success, "No supported remote models are configured.");
    }
    std::string text = "Configured remote models:\n";
    for (const RemoteModelInfo& model : models) {
        text += "  " + model.id + ". " + model.model + " (" + model.provider + ")\n";
        text += "     Base URL: " + model.base_url + "\n";
        text += "     API Key: " + ModelManager::api_key_display(model.api_key) + "\n";
    }
    text += "Use /model remote <id|model|provider/model> to switch.";
    return answer(true, std::move(text));
}

CommandResult model_command(Agent& agent, const std::string& argument) {
    const std::vector<std::string> words = split_words(argument);
    const std::string sub = words.empty() ? "status" : ascii_lower(words[0]);
    const std::string second = words.size() >= 2 ? ascii_lower(words[1]) : std::string();
    // The selector keeps inner spaces (file paths, model names).
    const std::string selector = words.empty() ? std::string() : text_after(argument, words[0]);

    if (sub == "status" || sub == "current") return answer(true, agent.models().status_text());
    if (sub == "list" && second == "remote") return list_remote_models(agent);
    if (sub == "list" || sub == "local") return list_local_models(agent);
    if (sub == "use" || sub == "load") {
        const ModelSwitchResult result = agent.models().switch_local_model(selector);
        if (result.success) return answer(true, result.message);
        return answer(false, message_and_error(result.message, result.error));
    }
    if (sub == "remote" || sub == "remotes") {
        if (words.size() < 2 || second == "list") return list_remote_models(agent);
        const ModelSwitchResult result = agent.models().switch_remote_model_by_config(selector);
        if (result.success) return answer(true, result.message);
        // The message may quote an endpoint or key the user typed.
        return answer(false, message_and_error(redact_arguments(result.message), result.error));
    }
    return answer(false,
                  "Usage: /model [status|list|list remote|use <id|name|path>|remote [list|id|model|provider/model]]");
}

// ---- /config ----------------------------------------------------------------------

// The standard conversions, with the same error texts on every platform.
int to_int32(const std::string& value) {
    try {
        return std::stoi(value);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("invalid stoi argument");
    } catch (const std::out_of_range&) {
        throw std::out_of_range("stoi argument out of range");
    }
}

double to_double(const std::string& value) {
    double number = 0.0;
    try {
        number = std::stod(value);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("invalid stod argument");
    } catch (const std::out_of_range&) {
        throw std::out_of_range("stod argument out of range");
    }
    // "nan" and "inf" would be written to agent_config.json as null, which
    // the next start-up cannot read.
    if (!std::isfinite(number)) throw std::invalid_argument("invalid stod argument");
    return number;
}

// Changes `llm` as `key` says; false for a key of no llm field. Conversion
// errors propagate before anything is changed.
bool set_llm_field(LLMConfig& llm, const std::string& key, const std::string& value) {
    if (key == "backend") llm.backend = value;
    else if (key == "model") llm.model = value;
    else if (key == "base_url") llm.base_url = value;
    else if (key == "api_key") llm.api_key = value;
    else if (key == "temperature") llm.temperature = to_double(value);
    else if (key == "max_tokens") llm.max_tokens = to_int32(value);
    else if (key == "timeout_seconds") llm.timeout_seconds = to_int32(value);
    else if (key == "max_retries") llm.max_retries = to_int32(value);
    else if (key == "retry_base_delay_ms") llm.retry_base_delay_ms = to_int32(value);
    else if (key == "retry_max_delay_ms") llm.retry_max_delay_ms = to_int32(value);
    else {
        static constexpr std::string_view kPrefix = "llama_cpp.";
        const std::string name = key.rfind(kPrefix, 0) == 0 ? key.substr(kPrefix.size()) : key;
        LlamaCppConfig& l = llm.llama_cpp;
        if (name == "model_path") l.model_path = value;
        else if (name == "tool_call_mode") l.tool_call_mode = value;
        else if (name == "context_size") l.context_size = to_int32(value);
        else if (name == "gpu_layers") l.gpu_layers = to_int32(value);
        else if (name == "main_gpu") l.main_gpu = to_int32(value);
        else if (name == "batch_size") l.batch_size = to_int32(value);
        else if (name == "ubatch_size") l.ubatch_size = to_int32(value);
        else if (name == "threads") l.threads = to_int32(value);
        else if (name == "flash_attention") l.flash_attention = parse_bool(value);
        else if (name == "use_mmap") l.use_mmap = parse_bool(value);
        else if (name == "use_mlock") l.use_mlock = parse_bool(value);
        else if (name == "warmup") l.warmup = parse_bool(value);
        else if (name == "allow_cpu_fallback") l.allow_cpu_fallback = parse_bool(value);
        else return false;
    }
    return true;
}

CommandResult config_set(Agent& agent, const std::string& argument, const std::vector<std::string>& words) {
    const std::string& typed_key = words[1];
    const std::string key = ascii_lower(typed_key);
    std::string value = text_after(argument, typed_key);
    if (value.empty()) value = words[2];

    if (key == "paths.model_dir" || key == "model_dir") {
        config().paths.model_dir = value;
        // Saved where every run-time change goes: the file the host started
        // with, so the next start-up sees the new directory.
        std::string error;
        if (!agent.models().persist_config(error)) {
            return answer(false, "Config updated in memory but failed to save.");
        }
        return answer(true, "Config updated: " + key);
    }

    LLMConfig changed = config().llm;
    if (!set_llm_field(changed, key, value)) return answer(false, "Unknown config key: " + key);
    const ModelSwitchResult result = agent.models().apply_llm_config(changed);
    if (!result.success) return answer(false, "Config not applied: " + result.error);
    return answer(true, "Config updated: " + key + "\n" + result.message);
}

CommandResult config_command(Agent& agent, const std::string& argument) {
    const std::vector<std::string> words = split_words(argument);
    const std::string sub = words.empty() ? "show" : ascii_lower(words[0]);
    if (sub == "show") return answer(true, agent.config_text());
    if (sub == "set" && words.size() >= 3) return config_set(agent, argument, words);
    return answer(false, "Usage: /config [show|set <key> <value>]");
}

// ---- sessions -----------------------------------------------------------------------

CommandResult load_command(Agent& agent, const std::string& argument) {
    if (!argument.empty()) {
        if (agent.load_session(argument)) return answer(true, "Loaded session: " + argument);
        return answer(false, agent.last_error());
    }
    const std::vector<std::string> sessions = agent.list_sessions();
    if (sessions.empty()) return answer(true, "No saved sessions found.");
    std::string text = "Available sessions:\n";
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        text += "  " + std::to_string(i + 1) + ". " + sessions[i] + "\n";
    }
    text += "Use /load <session_id> to load a specific session.";
    return answer(true, std::move(text));
}

}  // namespace

CommandResult Agent::execute_command(const std::string& command, const std::string& args) {
    std::string word = ascii_lower(trim_space(command));
    word.erase(0, word.find_first_not_of('/') == std::string::npos ? word.size() : word.find_first_not_of('/'));
    const std::string argument = trim_space(args);

    if (word == "exit") {
        CommandResult result = answer(true, "Goodbye!");
        result.should_exit = true;
        return result;
    }
    if (word == "save") {
        if (save_session()) return answer(true, "Conversation saved. Session: " + session_id());
        return answer(false, last_error());
    }
    if (word == "load") return load_command(*this, argument);
    if (word == "clear") {
        // Like clear_session, it refuses to drop a conversation whose autosave failed.
        if (clear_session()) return answer(true, "Conversation cleared. New session started.");
        return answer(false, last_error());
    }
    if (word == "skill") return skill_command(*this, argument);
    if (word == "memory") return memory_command(*this, argument);
    if (word == "config") return config_command(*this, argument);
    if (word == "model") return model_command(*this, argument);
    if (word == "status") return answer(true, status_text());
    if (word == "profile") return profile_command(*this, argument);
    return answer(false, "Unknown command: /" + word);
}

std::string Agent::config_text() const {
    const auto& cfg = config();
    std::string text = "Current Configuration:\n";
    text += "  Backend: " + cfg.llm.backend + "\n";
    text += "  Model: " + cfg.llm.model + "\n";
    text += "  Base URL: " + cfg.llm.base_url + "\n";
    text += "  Temperature: " + format_double(cfg.llm.temperature) + "\n";
    text += "  Max Tokens: " + std::to_string(cfg.llm.max_tokens) + "\n";
    text += "  Timeout: " + std::to_string(cfg.llm.timeout_seconds) + "s\n";
    text += "  Llama Model Path: " + cfg.llm.llama_cpp.model_path + "\n";
    text += "  Llama Context Size: " + std::to_string(cfg.llm.llama_cpp.context_size) + "\n";
    text += "  Llama GPU Layers: " + std::to_string(cfg.llm.llama_cpp.gpu_layers) + "\n";
    text += "  Model Directory: " + cfg.paths.model_dir + "\n";
    text += "  Agent Name: " + cfg.agent.name + "\n";
    text += "  Max Turns: " + std::to_string(cfg.agent.max_conversation_turns) + "\n";
    text += "  Max Tool Rounds: " + std::to_string(cfg.agent.max_tool_rounds) +
            (cfg.agent.max_tool_rounds <= 0 ? " (default 16)" : "") + "\n";
    text += "  Compression Threshold: " + std::to_string(cfg.agent.compression_threshold);
    return text;
}

}  // namespace vexa
