#pragma once
// The current conversation of an agent (id, messages, usage, latest system
// prompt) and its session file <conversations_dir>/<id>.json.

#include "conversation/chat_message.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <vector>

namespace vexa {

inline constexpr const char* kPersistenceDisabledError = "Conversation persistence is disabled by host policy.";
inline constexpr const char* kSaveConversationError = "Failed to save conversation.";
inline constexpr const char* kLoadSessionErrorPrefix = "Failed to load session: ";
inline constexpr const char* kHostConversationError =
    "Failed to parse conversation JSON from host: expected a messages array or an object with a \"messages\" array.";

class ConversationManager {
public:
    // Starts with a fresh id, no messages, unknown usage, no system prompt.
    ConversationManager();

    const std::string& session_id() const { return session_id_; }

    // New id, empty list, unknown usage; the system prompt is kept. Returns the id.
    std::string new_session();
    // Empties messages and system prompt and resets the usage; the id is kept.
    void clear();

    std::vector<ChatMessage>& messages() { return messages_; }
    const std::vector<ChatMessage>& messages() const { return messages_; }
    std::size_t message_count() const { return messages_.size(); }
    void set_messages(std::vector<ChatMessage> messages) { messages_ = std::move(messages); }
    void append(ChatMessage message) { messages_.push_back(std::move(message)); }
    void add_user_message(const std::string& text, const std::vector<ImageInput>& images = {});
    void add_tool_result(const std::string& tool_call_id, const std::string& name, const std::string& content);

    const TokenUsage& session_usage() const { return session_usage_; }
    void add_usage(const TokenUsage& usage);
    void set_usage(const TokenUsage& usage) { session_usage_ = usage; }

    // Removes every message's images; returns how many were removed.
    std::size_t strip_images();

    const std::string& system_prompt() const { return system_prompt_; }
    void set_system_prompt(std::string prompt) { system_prompt_ = std::move(prompt); }

    // Host conversation injection: an array of messages or an object with a
    // "messages" array. System messages and non-objects are skipped, images
    // dropped. Returns the number of messages taken, or -1 (list unchanged)
    // for text that is not such JSON. An empty text empties the list
    // (replace) or changes nothing (append) and returns 0.
    int replace_from_json(const std::string& text);
    int append_from_json(const std::string& text);

    // Whether an autosave has anything to write: messages or known usage.
    bool has_content() const { return !messages_.empty() || has_usage(session_usage_); }

    // The session file's JSON object (created_at = now, local time).
    nlohmann::json to_session_json() const;

    // Writes <dir>/<id>.json atomically (the old file survives any failure).
    bool save(const std::string& dir) const;
    // Reads <dir>/<id>.json; on any failure returns false and changes nothing.
    // False, with the store unchanged, when the file cannot be read, is not
    // JSON, or holds a known key of the wrong type; `reason` then says which.
    bool load(const std::string& dir, const std::string& id, std::string* reason = nullptr);
    // Ids of the session files in `dir` (names ending in ".json"), sorted.
    static std::vector<std::string> list_sessions(const std::string& dir);

    // <dir>/<id>.json
    static std::string session_path(const std::string& dir, const std::string& id);
    // Ids double as file names: refuse anything that could leave the
    // conversations directory or is not a plain name.
    static bool is_valid_session_id(const std::string& id);

private:
    int inject(const std::string& text, bool replace);

    std::string session_id_;
    std::vector<ChatMessage> messages_;
    TokenUsage session_usage_;
    std::string system_prompt_;
};

// ---- The agent's session operations: host policy, configured directory and
// ---- the error texts the host sees.

// policy_no_persistence is set.
bool persistence_disabled();
// resolve_path(paths.conversations_dir).
std::string conversations_directory();

// save_session: false with kPersistenceDisabledError or kSaveConversationError.
bool save_session_file(const ConversationManager& conversation, std::string& error);
// load_session (without the autosave that precedes it): false with
// kPersistenceDisabledError or kLoadSessionErrorPrefix + id + " (" + reason + ")".
bool load_session_file(ConversationManager& conversation, const std::string& id, std::string& error);
// list_sessions: empty with the policy set.
std::vector<std::string> list_session_files();

enum class AutosaveResult {
    skipped,          // policy set or no session id: nothing to do, no recorder flush
    nothing_to_save,  // empty session, nothing written
    saved,
    failed,
};
// Autosave before load/new/clear and at shutdown; the caller flushes the
// interaction recorder unless the result is `skipped`.
AutosaveResult autosave_session(const ConversationManager& conversation);

// Start-up, once the configuration is loaded: removes the temporary files that
// saves of processes now gone (killed mid-write) left in the conversations
// directory and the interaction records directory. Nothing with persistence
// disabled.
void remove_stale_session_files();

}  // namespace vexa
