// Slash commands and the configuration report. Commands never involve the
// model: they act on the session store, the skill library, the memory store
// and profile (under the memory lock), the configuration and the model manager
// directly, and answer with texts meant to be shown to the user as they are.

#include "agent/agent.hpp"

#include "agent/tool_judgement.hpp"
#include "config/agent_config.hpp"
#include "config/text_util.hpp"
#include "support/utf8.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstddef>
#include <locale>
#include <optional>
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

// How much of a refused value the answer quotes.
constexpr std::size_t kQuotedValueBytes = 80;

// "Invalid value for llm.timeout_seconds: -5 (expected an integer from 1 to 86400)"
std::string invalid_value(std::string_view full_key, const std::string& value, const std::string& expected) {
    return "Invalid value for " + std::string(full_key) + ": " + shorten_utf8(value, kQuotedValueBytes) +
           " (expected " + expected + ")";
}

// The full name ("llm.max_tokens", "llm.llama_cpp.threads", "agent.planner_max_tasks")
// of a key typed with or without its section; the typed key when it names no
// section. Keys of the local runtime may leave out "llm." or "llm.llama_cpp.",
// the others their section.
std::string full_key(const std::string& key) {
    static constexpr std::string_view kLlm[] = {"backend", "model", "base_url", "api_key", "temperature",
                                                "max_tokens", "timeout_seconds", "max_retries",
                                                "retry_base_delay_ms", "retry_max_delay_ms"};
    static constexpr std::string_view kLlama[] = {"model_path", "tool_call_mode", "context_size", "gpu_layers",
                                                  "main_gpu", "batch_size", "ubatch_size", "threads",
                                                  "flash_attention", "use_mmap", "use_mlock", "warmup",
                                                  "allow_cpu_fallback"};
    static constexpr std::string_view kAgent[] = {"max_conversation_turns", "compression_threshold",
                                                  "compression_keep_recent", "max_tool_rounds",
                                                  "max_parallel_tasks", "task_timeout_seconds",
                                                  "planner_max_tasks"};
    const auto starts = [&](std::string_view prefix) { return key.rfind(prefix, 0) == 0; };
    if (starts("llm.") || starts("agent.")) return key;
    if (starts("llama_cpp.")) return "llm." + key;
    const auto listed = [&](const auto& names) {
        for (std::string_view name : names) {
            if (key == name) return true;
        }
        return false;
    };
    if (listed(kLlm)) return "llm." + key;
    if (listed(kLlama)) return "llm.llama_cpp." + key;
    if (listed(kAgent)) return "agent." + key;
    return key;
}

// One settable field; exactly one pointer is set, or none for no such key.
struct Field {
    std::string* text = nullptr;
    int* integer = nullptr;
    double* number = nullptr;
    bool* flag = nullptr;
    bool found() const { return text || integer || number || flag; }
};

// `name` is the key within the section: "max_tokens", "llama_cpp.threads".
Field llm_field(LLMConfig& llm, std::string_view name) {
    Field f;
    LlamaCppConfig& l = llm.llama_cpp;
    if (name == "backend") f.text = &llm.backend;
    else if (name == "model") f.text = &llm.model;
    else if (name == "base_url") f.text = &llm.base_url;
    else if (name == "api_key") f.text = &llm.api_key;
    else if (name == "temperature") f.number = &llm.temperature;
    else if (name == "max_tokens") f.integer = &llm.max_tokens;
    else if (name == "timeout_seconds") f.integer = &llm.timeout_seconds;
    else if (name == "max_retries") f.integer = &llm.max_retries;
    else if (name == "retry_base_delay_ms") f.integer = &llm.retry_base_delay_ms;
    else if (name == "retry_max_delay_ms") f.integer = &llm.retry_max_delay_ms;
    else if (name == "llama_cpp.model_path") f.text = &l.model_path;
    else if (name == "llama_cpp.tool_call_mode") f.text = &l.tool_call_mode;
    else if (name == "llama_cpp.context_size") f.integer = &l.context_size;
    else if (name == "llama_cpp.gpu_layers") f.integer = &l.gpu_layers;
    else if (name == "llama_cpp.main_gpu") f.integer = &l.main_gpu;
    else if (name == "llama_cpp.batch_size") f.integer = &l.batch_size;
    else if (name == "llama_cpp.ubatch_size") f.integer = &l.ubatch_size;
    else if (name == "llama_cpp.threads") f.integer = &l.threads;
    else if (name == "llama_cpp.flash_attention") f.flag = &l.flash_attention;
    else if (name == "llama_cpp.use_mmap") f.flag = &l.use_mmap;
    else if (name == "llama_cpp.use_mlock") f.flag = &l.use_mlock;
    else if (name == "llama_cpp.warmup") f.flag = &l.warmup;
    else if (name == "llama_cpp.allow_cpu_fallback") f.flag = &l.allow_cpu_fallback;
    return f;
}

Field agent_field(AgentSettings& a, std::string_view name) {
    Field f;
    if (name == "max_conversation_turns") f.integer = &a.max_conversation_turns;
    else if (name == "compression_threshold") f.integer = &a.compression_threshold;
    else if (name == "compression_keep_recent") f.integer = &a.compression_keep_recent;
    else if (name == "max_tool_rounds") f.integer = &a.max_tool_rounds;
    else if (name == "max_parallel_tasks") f.integer = &a.max_parallel_tasks;
    else if (name == "task_timeout_seconds") f.integer = &a.task_timeout_seconds;
    else if (name == "planner_max_tasks") f.integer = &a.planner_max_tasks;
    return f;
}

// Stores `value` in `field` (the setting `full`). Numbers are read like the
// standard conversions read them (the leading number of the text). A value
// the setting does not take gives the refusal's text and leaves the field
// alone; a value above a cap is stored as the cap, and `note` says so.
std::optional<std::string> assign(const Field& field, std::string_view full, const std::string& value,
                                  std::string& note) {
    if (field.text) {
        *field.text = value;
        return std::nullopt;
    }
    if (field.flag) {
        try {
            *field.flag = parse_bool(value);
        } catch (const std::invalid_argument&) {
            return invalid_value(full, value, "true or false");
        }
        return std::nullopt;
    }
    const SettingRange* range = find_setting_range(full);
    if (range == nullptr) return invalid_value(full, value, "a value");  // every numeric key has a range
    double number = 0.0;
    try {
        number = range->integer ? static_cast<double>(std::stoll(value)) : std::stod(value);
    } catch (const std::exception&) {
        return invalid_value(full, value, expected_range_text(*range));
    }
    if (!std::isfinite(number) || number < range->min || (number > range->max && !range->clamp_above)) {
        return invalid_value(full, value, expected_range_text(*range));
    }
    if (number > range->max) {
        number = range->max;
        note = " (clamped to " + std::to_string(static_cast<long long>(number)) + ", the most allowed)";
    }
    if (field.integer) *field.integer = static_cast<int>(number);
    if (field.number) *field.number = number;
    return std::nullopt;
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

    const std::string full = full_key(key);
    std::string note;
    if (full.rfind("agent.", 0) == 0) {
        AgentSettings changed = config().agent;
        const Field field = agent_field(changed, std::string_view(full).substr(6));
        if (!field.found()) return answer(false, "Unknown config key: " + key);
        if (auto refused = assign(field, full, value, note)) return answer(false, *refused);
        // Read afresh by every turn; saved like the model directory.
        config().agent = changed;
        std::string error;
        if (!agent.models().persist_config(error)) {
            return answer(false, "Config updated in memory but failed to save.");
        }
        return answer(true, "Config updated: " + key + note);
    }

    LLMConfig changed = config().llm;
    const Field field = full.rfind("llm.", 0) == 0 ? llm_field(changed, std::string_view(full).substr(4)) : Field{};
    if (!field.found()) return answer(false, "Unknown config key: " + key);
    if (auto refused = assign(field, full, value, note)) return answer(false, *refused);
    const ModelSwitchResult result = agent.models().apply_llm_config(changed);
    if (!result.success) return answer(false, "Config not applied: " + result.error);
    return answer(true, "Config updated: " + key + note + "\n" + result.message);
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
