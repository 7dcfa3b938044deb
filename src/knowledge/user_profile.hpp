#pragma once
// What the memory store knows about the user, condensed into a few fields for
// the <user_profile> block of the system prompt, plus a count of the agent's
// start-ups. The fields are derived: rebuilt from the memories by keyword
// rules on their titles whenever the memories change. No lock inside: the
// agent's memory lock guards every use.

#include "knowledge/knowledge_io.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vexa {

class MemoryStore;

// Always here, resolved against the base directory by the caller; no
// configuration key moves it.
inline constexpr const char* kUserProfileFile = "./data/memory/user_profile.json";

// Sizes after a rebuild.
inline constexpr std::size_t kProfileMaxInterests = 12;
inline constexpr std::size_t kProfileMaxPreferences = 20;
inline constexpr std::size_t kProfileMaxTraits = 20;

struct UserProfile {
    std::string display_name;
    std::string communication_style;
    std::string expertise_level;
    std::string language_preference;
    std::vector<std::string> interests;
    std::vector<std::string> preferences;
    std::map<std::string, std::string> custom_traits;
    std::int32_t interaction_count = 0;
    std::string first_interaction;  // local time "%Y-%m-%dT%H:%M:%S"
    std::string last_interaction;

    // A missing or empty file changes nothing (true). Unreadable JSON gives
    // false with nothing changed; a member of the wrong type gives false with
    // the members read before it assigned. `interests`, `preferences` and
    // `custom_traits` are taken only when they are an array (an object), and
    // then only their string items. A file larger than kMaxStartupFileBytes
    // is not read (false). `outcome`, when given, says what was wrong.
    bool load(const std::string& path, knowledge_io::LoadOutcome* outcome = nullptr);
    // Ten keys in ascending order, indent 4, through a temporary file; a
    // failed save leaves the previous file intact.
    bool save(const std::string& path) const;

    // One more start-up: the count grows, the stamps move to now.
    void record_interaction();
    // The same with a given stamp (tests).
    void record_interaction(const std::string& now);
    // Recomputes every field except the count and its stamps from the store.
    void rebuild_from_memory(const MemoryStore& store);

    // A name, at least 3 preferences, or more than 5 interactions.
    bool is_established() const;
    std::string prompt_block() const;
    // "User Profile: <name or Anonymous> | Interactions: N[ | Level: …][ | N preferences][ | N interests]".
    std::string summary_line() const;
};

bool operator==(const UserProfile& a, const UserProfile& b);

}  // namespace vexa
