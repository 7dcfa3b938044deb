#include "knowledge/user_profile.hpp"

#include "config/json_util.hpp"
#include "config/text_util.hpp"
#include "support/local_time.hpp"
#include "knowledge/knowledge_io.hpp"
#include "knowledge/memory_store.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <string_view>
#include <utility>

namespace vexa {

namespace {

using nlohmann::json;

bool contains_any(const std::string& text, std::initializer_list<std::string_view> words) {
    for (std::string_view word : words) {
        if (text.find(word) != std::string::npos) return true;
    }
    return false;
}

// Appends `item` unless an equal text, ASCII case ignored, is already there.
void add_unique(std::vector<std::string>& list, const std::string& item) {
    const std::string folded = ascii_lower(item);
    for (const std::string& existing : list) {
        if (ascii_lower(existing) == folded) return;
    }
    list.push_back(item);
}

void set_once(std::string& field, const std::string& value) {
    if (field.empty()) field = value;
}

// The string items of an array member; the list stays as it is when the
// member is missing or not an array.
void read_string_list(const json& root, const char* key, std::vector<std::string>& list) {
    const auto it = root.find(key);
    if (it == root.end() || !it->is_array()) return;
    list.clear();
    for (const json& item : *it) {
        if (item.is_string()) list.push_back(item.get<std::string>());
    }
}

}  // namespace

bool UserProfile::load(const std::string& path, knowledge_io::LoadOutcome* outcome) {
    knowledge_io::LoadOutcome ignored;
    knowledge_io::LoadOutcome& result = outcome != nullptr ? *outcome : ignored;
    result = {};
    const auto damaged = [&result](const char* problem) {
        result.kind = knowledge_io::LoadOutcome::Kind::damaged;
        result.problem = problem;
        return false;
    };
    std::string text;
    const knowledge_io::FileRead read = knowledge_io::read_regular_file(path, text);
    if (read == knowledge_io::FileRead::Missing) return true;
    if (read != knowledge_io::FileRead::Read) {
        result = knowledge_io::LoadOutcome::from_read(read);
        return false;
    }
    if (text.empty()) return true;
    const json root = parse_json_bounded(text);
    if (root.is_discarded()) return damaged("not valid JSON");
    if (!root.is_object()) return damaged("not a JSON object");

    // In this order, each missing member giving its default: a wrong type
    // stops the read, and what came before stays assigned.
    const auto text_member = [&root](const char* key, std::string& field) {
        std::string value;
        if (!knowledge_io::read_string(root, key, value)) return false;
        field = std::move(value);
        return true;
    };
    std::int32_t count = 0;
    if (!text_member("display_name", display_name) || !text_member("communication_style", communication_style) ||
        !text_member("expertise_level", expertise_level) ||
        !text_member("language_preference", language_preference) ||
        !knowledge_io::read_int32(root, "interaction_count", count)) {
        return damaged("a member has the wrong type");
    }
    interaction_count = count;
    if (!text_member("first_interaction", first_interaction) || !text_member("last_interaction", last_interaction)) {
        return damaged("a member has the wrong type");
    }
    read_string_list(root, "interests", interests);
    read_string_list(root, "preferences", preferences);
    const auto traits = root.find("custom_traits");
    if (traits != root.end() && traits->is_object()) {
        custom_traits.clear();
        for (auto it = traits->begin(); it != traits->end(); ++it) {
            if (it.value().is_string()) custom_traits[it.key()] = it.value().get<std::string>();
        }
    }
    return true;
}

bool UserProfile::save(const std::string& path) const {
    try {
        json root = json::object();
        root["communication_style"] = communication_style;
        root["custom_traits"] = custom_traits;
        root["display_name"] = display_name;
        root["expertise_level"] = expertise_level;
        root["first_interaction"] = first_interaction;
        root["interaction_count"] = interaction_count;
        root["interests"] = interests;
        root["language_preference"] = language_preference;
        root["last_interaction"] = last_interaction;
        root["preferences"] = preferences;
        return knowledge_io::write_json_file(path, root, 4);
    } catch (const std::exception&) {
        return false;
    }
}

void UserProfile::record_interaction() { record_interaction(local_timestamp_now()); }

void UserProfile::record_interaction(const std::string& now) {
    if (interaction_count < std::numeric_limits<std::int32_t>::max()) ++interaction_count;
    last_interaction = now;
    if (first_interaction.empty()) first_interaction = now;
}

void UserProfile::rebuild_from_memory(const MemoryStore& store) {
    UserProfile rebuilt;
    rebuilt.interaction_count = interaction_count;
    rebuilt.first_interaction = std::move(first_interaction);
    rebuilt.last_interaction = std::move(last_interaction);

    for (const MemoryEntry& entry : store.entries_in_category("user_preference")) {
        const std::string t = ascii_lower(entry.title);
        const std::string c = ascii_lower(entry.content);
        if (contains_any(t, {"communication", "style", "response"})) {
            set_once(rebuilt.communication_style, entry.content);
        } else if (contains_any(t, {"language", "chinese", "english"}) || c.find("language") != std::string::npos) {
            set_once(rebuilt.language_preference, entry.content);
        } else {
            add_unique(rebuilt.preferences, entry.title + ": " + entry.content);
        }
    }
    for (const MemoryEntry& entry : store.entries_in_category("user_info")) {
        const std::string t = ascii_lower(entry.title);
        if (contains_any(t, {"name", "called", "introduce"})) {
            set_once(rebuilt.display_name, entry.content);
        } else if (contains_any(t, {"level", "expertise", "skill", "experience", "技术", "水平", "经验"})) {
            set_once(rebuilt.expertise_level, entry.content);
        } else if (contains_any(t, {"interest", "domain", "focus"})) {
            add_unique(rebuilt.interests, entry.content);
        }
    }
    for (const MemoryEntry& entry : store.entries_in_category("user_habit")) {
        rebuilt.custom_traits[entry.title] = entry.content;
    }

    if (rebuilt.interests.size() > kProfileMaxInterests) rebuilt.interests.resize(kProfileMaxInterests);
    if (rebuilt.preferences.size() > kProfileMaxPreferences) rebuilt.preferences.resize(kProfileMaxPreferences);
    while (rebuilt.custom_traits.size() > kProfileMaxTraits) rebuilt.custom_traits.erase(rebuilt.custom_traits.begin());
    *this = std::move(rebuilt);
}

bool UserProfile::is_established() const {
    return !display_name.empty() || preferences.size() >= 3 || interaction_count > 5;
}

std::string UserProfile::prompt_block() const {
    if (!is_established()) {
        return "<user_profile>\nThis is a relatively new user. Be welcoming and attentive to learn their preferences "
               "through conversation.\n</user_profile>\n";
    }
    std::string out = "<user_profile>\n";
    if (!display_name.empty()) {
        out += "The user's name is " + shorten_for_prompt(display_name, 180) + ". Address them by name occasionally.\n";
    }
    if (!communication_style.empty()) {
        out += "The user prefers " + shorten_for_prompt(communication_style, 180) +
               " communication. Adapt your responses accordingly.\n";
    }
    if (!expertise_level.empty()) {
        out += "The user's technical level is " + shorten_for_prompt(expertise_level, 180) +
               ". Adjust explanation depth accordingly.\n";
    }
    if (!language_preference.empty()) {
        out += "The user prefers responses in " + shorten_for_prompt(language_preference, 180) + ".\n";
    }
    if (!interests.empty()) {
        out += "The user is interested in: ";
        const std::size_t shown = std::min<std::size_t>(interests.size(), 5);
        for (std::size_t i = 0; i < shown; ++i) {
            if (i > 0) out += ", ";
            out += shorten_for_prompt(interests[i], 80);
        }
        if (interests.size() > 5) out += ", ...";
        out += "\n";
    }
    if (!preferences.empty()) {
        out += "User preferences to keep in mind:\n";
        const std::size_t shown = std::min<std::size_t>(preferences.size(), 8);
        for (std::size_t i = 0; i < shown; ++i) out += "- " + shorten_for_prompt(preferences[i], 180) + "\n";
    }
    if (interaction_count > 1) {
        out += "You have interacted with this user " + std::to_string(interaction_count) +
               " times. They are a returning user - maintain continuity and build on previous conversations.\n";
    }
    out += "</user_profile>\n";
    return out;
}

std::string UserProfile::summary_line() const {
    std::string out = "User Profile: " + (display_name.empty() ? std::string("Anonymous") : display_name) +
                      " | Interactions: " + std::to_string(interaction_count);
    if (!expertise_level.empty()) out += " | Level: " + expertise_level;
    if (!preferences.empty()) out += " | " + std::to_string(preferences.size()) + " preferences";
    if (!interests.empty()) out += " | " + std::to_string(interests.size()) + " interests";
    return out;
}

bool operator==(const UserProfile& a, const UserProfile& b) {
    return a.display_name == b.display_name && a.communication_style == b.communication_style &&
           a.expertise_level == b.expertise_level && a.language_preference == b.language_preference &&
           a.interests == b.interests && a.preferences == b.preferences && a.custom_traits == b.custom_traits &&
           a.interaction_count == b.interaction_count && a.first_interaction == b.first_interaction &&
           a.last_interaction == b.last_interaction;
}

}  // namespace vexa
