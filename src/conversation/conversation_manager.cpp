#include "conversation/conversation_manager.hpp"

#include "config/agent_config.hpp"
#include "config/json_util.hpp"
#include "support/local_time.hpp"
#include "support/fs_util.hpp"
#include "support/log.hpp"
#include "support/uuid.hpp"

#include <algorithm>
#include <climits>
#include <fstream>
#include <iterator>
#include <system_error>

namespace vexa {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Reads a stored or injected message list: objects only, no system entries
// (the system prompt is rebuilt for every request), no images (they belong
// to the turn that sent them). Throws the JSON library's type errors.
void read_messages(const json& array, std::vector<ChatMessage>& out) {
    out.reserve(out.size() + array.size());
    for (const auto& element : array) {
        if (!element.is_object()) continue;
        ChatMessage message = message_from_json(element);
        if (message.role == MessageRole::system) continue;
        message.images.clear();
        out.push_back(std::move(message));
    }
}

bool read_whole_file(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

ConversationManager::ConversationManager() : session_id_(generate_uuid()) {}

std::string ConversationManager::new_session() {
    session_id_ = generate_uuid();
    messages_.clear();
    session_usage_ = TokenUsage{};
    return session_id_;
}

void ConversationManager::clear() {
    messages_.clear();
    system_prompt_.clear();
    session_usage_ = TokenUsage{};
}

void ConversationManager::add_user_message(const std::string& text, const std::vector<ImageInput>& images) {
    ChatMessage message;
    message.role = MessageRole::user;
    message.content = text;
    message.images = images;
    messages_.push_back(std::move(message));
}

void ConversationManager::add_tool_result(const std::string& tool_call_id, const std::string& name,
                                          const std::string& content) {
    ChatMessage message;
    message.role = MessageRole::tool;
    message.content = content;
    message.tool_call_id = tool_call_id;
    message.name = name;
    messages_.push_back(std::move(message));
}

void ConversationManager::add_usage(const TokenUsage& usage) { session_usage_ = vexa::add_usage(session_usage_, usage); }

std::size_t ConversationManager::strip_images() {
    std::size_t removed = 0;
    for (auto& message : messages_) {
        if (message.images.empty()) continue;
        removed += message.images.size();
        message.images.clear();
        message.images.shrink_to_fit();
    }
    return removed;
}

int ConversationManager::replace_from_json(const std::string& text) { return inject(text, true); }

int ConversationManager::append_from_json(const std::string& text) { return inject(text, false); }

int ConversationManager::inject(const std::string& text, bool replace) {
    if (text.empty()) {
        if (replace) messages_.clear();
        return 0;
    }
    std::vector<ChatMessage> read;
    try {
        const json root = parse_json_bounded(text);
        if (root.is_discarded()) return -1;
        const json* array = nullptr;
        if (root.is_array()) {
            array = &root;
        } else if (root.is_object()) {
            auto it = root.find("messages");
            if (it != root.end() && it->is_array()) array = &*it;
        }
        if (array == nullptr) return -1;
        read_messages(*array, read);
    } catch (const json::exception&) {
        return -1;
    }
    const int count = static_cast<int>(std::min<std::size_t>(read.size(), static_cast<std::size_t>(INT_MAX)));
    if (replace) {
        messages_ = std::move(read);
    } else {
        messages_.insert(messages_.end(), std::make_move_iterator(read.begin()), std::make_move_iterator(read.end()));
    }
    return count;
}

json ConversationManager::to_session_json() const {
    json messages = json::array();
    auto& array = messages.get_ref<json::array_t&>();
    array.reserve(messages_.size() + 1);
    if (!system_prompt_.empty()) array.push_back(json{{"content", system_prompt_}, {"role", "system"}});
    for (const auto& message : messages_) array.push_back(message_to_json(message, false));

    json root = json::object();
    root["created_at"] = local_timestamp_now();
    root["message_count"] = array.size();
    root["session_id"] = session_id_;
    if (has_usage(session_usage_)) root["session_usage"] = usage_to_json(session_usage_);
    root["messages"] = std::move(messages);
    return root;
}

bool ConversationManager::save(const std::string& dir) const {
    if (!is_valid_session_id(session_id_)) return false;
    std::error_code ec;
    fs::create_directories(path_from_utf8(dir), ec);  // a failure shows up in the write below

    const auto text = try_dump_json(to_session_json(), 2);
    if (!text) return false;
    std::string reason;
    // Temporary file + rename: a crash, a kill or a full disk during the
    // write leaves the previous session file intact.
    if (!write_file_atomic(path_from_utf8(session_path(dir, session_id_)), *text, false, &reason)) {
        log_line(LogLevel::WARNING, "Session save failed: " + reason);
        return false;
    }
    return true;
}

bool ConversationManager::load(const std::string& dir, const std::string& id, std::string* reason) {
    auto fail = [&](std::string why) {
        if (reason) *reason = std::move(why);
        return false;
    };
    if (!is_valid_session_id(id)) return fail("not a valid session id");
    std::string text;
    if (!read_whole_file(path_from_utf8(session_path(dir, id)), text)) return fail("the file cannot be read");
    if (text.empty()) return fail("the file is empty");

    // Everything is read into locals first, so a damaged file leaves the
    // current session exactly as it was.
    std::string loaded_id = id;
    std::vector<ChatMessage> loaded;
    TokenUsage usage;
    std::string parse_error;
    const json root = parse_json_bounded(text, parse_error);
    if (root.is_discarded()) return fail(parse_error);
    if (!root.is_object()) return fail("the file does not hold a JSON object");
    try {
        // A known key of the wrong type means the file is not what it claims
        // to be: reading on would pass off a damaged session as an empty one.
        // Only a string id is taken (another kind names nothing); a file's own
        // id becomes the name of the next save, and an id that is not a plain
        // file name would write outside the directory.
        if (auto it = root.find("session_id"); it != root.end() && it->is_string()) {
            if (is_valid_session_id(it->get_ref<const std::string&>())) loaded_id = it->get<std::string>();
        }
        if (auto it = root.find("messages"); it != root.end()) {
            if (!it->is_array()) return fail("\"messages\" is not an array");
            read_messages(*it, loaded);
        }
        if (auto it = root.find("session_usage"); it != root.end()) {
            if (!it->is_object()) return fail("\"session_usage\" is not an object");
            usage = parse_usage(*it);
        } else if (auto u = root.find("usage"); u != root.end() && u->is_object()) {
            usage = parse_usage(*u);
        }
    } catch (const json::exception& e) {
        return fail(e.what());
    }

    session_id_ = std::move(loaded_id);
    messages_ = std::move(loaded);
    session_usage_ = usage;
    return true;
}

std::vector<std::string> ConversationManager::list_sessions(const std::string& dir) {
    std::vector<std::string> ids;
    std::error_code ec;
    const fs::path root = path_from_utf8(dir);
    if (!fs::is_directory(root, ec)) return ids;
    fs::directory_iterator it(root, ec);
    const fs::directory_iterator end;
    for (; !ec && it != end; it.increment(ec)) {
        std::string full;
        try {
            full = path_to_utf8(it->path());
        } catch (...) {
            continue;  // a name that is not convertible to UTF-8 is no session of ours
        }
        static constexpr std::string_view kSuffix = ".json";
        if (full.size() < kSuffix.size() || full.compare(full.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
            continue;
        const std::size_t slash = full.find_last_of("/\\");
        std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
        name.resize(name.size() - kSuffix.size());
        if (!name.empty()) ids.push_back(std::move(name));
    }
    // The platform's enumeration order is arbitrary on some file systems;
    // sorting gives hosts a stable list.
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::string ConversationManager::session_path(const std::string& dir, const std::string& id) {
    return dir + "/" + id + ".json";
}

bool ConversationManager::is_valid_session_id(const std::string& id) {
    if (id.empty() || id == "." || id == "..") return false;
    for (char c : id) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == '/' || c == '\\' || c == ':') return false;
    }
    return true;
}

// ---- agent-level operations ------------------------------------------------

bool persistence_disabled() { return AgentConfig::instance().has_policy(policy_no_persistence); }

std::string conversations_directory() {
    const AgentConfig& config = AgentConfig::instance();
    return config.resolve_path(config.paths.conversations_dir);
}

bool save_session_file(const ConversationManager& conversation, std::string& error) {
    if (persistence_disabled()) {
        error = kPersistenceDisabledError;
        return false;
    }
    if (!conversation.save(conversations_directory())) {
        error = kSaveConversationError;
        return false;
    }
    return true;
}

bool load_session_file(ConversationManager& conversation, const std::string& id, std::string& error) {
    if (persistence_disabled()) {
        error = kPersistenceDisabledError;
        return false;
    }
    std::string reason;
    if (!conversation.load(conversations_directory(), id, &reason)) {
        error = kLoadSessionErrorPrefix + id;
        if (!reason.empty()) error += " (" + reason + ")";
        return false;
    }
    return true;
}

std::vector<std::string> list_session_files() {
    if (persistence_disabled()) return {};
    return ConversationManager::list_sessions(conversations_directory());
}

void remove_stale_session_files() {
    if (persistence_disabled()) return;
    remove_stale_temp_files(path_from_utf8(conversations_directory()));
    // The record files are replaced the same way.
    const auto& config = AgentConfig::instance();
    remove_stale_temp_files(path_from_utf8(config.resolve_path(config.paths.conversations_full_dir)));
}

AutosaveResult autosave_session(const ConversationManager& conversation) {
    if (persistence_disabled() || conversation.session_id().empty()) return AutosaveResult::skipped;
    if (!conversation.has_content()) return AutosaveResult::nothing_to_save;
    return conversation.save(conversations_directory()) ? AutosaveResult::saved : AutosaveResult::failed;
}

}  // namespace vexa
