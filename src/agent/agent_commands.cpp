// Slash commands and the configuration report.

#include "agent/agent.hpp"

#include "config/agent_config.hpp"
#include "config/text_util.hpp"

#include <locale>
#include <sstream>

namespace vexa {

namespace {

std::string format_double(double value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

}  // namespace

CommandResult Agent::execute_command(const std::string& command, const std::string& args) {
    std::string word = ascii_lower(trim_space(command));
    word.erase(0, word.find_first_not_of('/') == std::string::npos ? word.size() : word.find_first_not_of('/'));
    const std::string argument = trim_space(args);

    CommandResult result;
    if (word == "exit") {
        result.success = true;
        result.should_exit = true;
        result.message = "Goodbye!";
    } else if (word == "save") {
        result.success = save_session();
        result.message = result.success ? "Conversation saved. Session: " + session_id() : last_error();
    } else if (word == "load") {
        if (!argument.empty()) {
            result.success = load_session(argument);
            result.message = result.success ? "Loaded session: " + argument : last_error();
        } else {
            const auto sessions = list_sessions();
            result.success = true;
            if (sessions.empty()) {
                result.message = "No saved sessions found.";
            } else {
                result.message = "Available sessions:\n";
                for (std::size_t i = 0; i < sessions.size(); ++i) {
                    result.message += "  " + std::to_string(i + 1) + ". " + sessions[i] + "\n";
                }
                result.message += "Use /load <session_id> to load a specific session.";
            }
        }
    } else if (word == "clear") {
        result.success = clear_session();
        result.message = result.success ? "Conversation cleared. New session started." : last_error();
    } else if (word == "status") {
        result.success = true;
        result.message = status_text();
    } else if (word == "config") {
        const std::string sub = ascii_lower(argument.substr(0, argument.find(' ')));
        if (sub.empty() || sub == "show") {
            result.success = true;
            result.message = config_text();
        } else if (sub == "set") {
            // Applying a changed model configuration needs the model manager.
            result.message = "Config not applied: run-time configuration changes are not available.";
        } else {
            result.message = "Usage: /config [show|set <key> <value>]";
        }
    } else {
        result.message = "Unknown command: /" + word;
    }
    return result;
}

std::string Agent::config_text() const {
    const auto& cfg = AgentConfig::instance();
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
