#pragma once
// The skill library: SKILL.md documents read from the skills directory or
// handed over by the host, the catalog block of the system prompt, and the
// activity file that stamps when the model last read each skill.

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vexa {

struct SkillMetadata {
    std::string name;
    std::string description;
    std::string version;
    std::string author;
    std::vector<std::string> tags;
    std::string inline_mode = "summary";  // "summary", "full" or "none"
    bool agent_created = false;
    bool pinned = false;
    std::string created_origin = "built_in";
    std::string last_modified_origin = "built_in";
    std::string lifecycle_state = "active";
};

// A reference document held in memory (host skills only; skills on disk keep
// theirs as files). `path` is relative to the skill, "references/...".
struct SkillReference {
    std::string path;
    std::string content;
};

struct Skill {
    SkillMetadata metadata;
    std::string body;  // the Markdown after the front matter
    std::string path;  // the SKILL.md file; empty for host skills
    std::string dir;   // the skill's directory; empty for host skills
    std::string id;    // the directory name, or the host-given name
    std::vector<SkillReference> references;
};

struct SkillLoadResult {
    bool success = false;
    std::string error;
    Skill skill;
};

// The "---" block that may open a SKILL.md. `found` is false when the text
// does not open with a delimiter or the block never closes; then
// `front_matter` and `body` are empty and the caller keeps the whole text.
struct FrontMatterSplit {
    bool found = false;
    std::string front_matter;
    std::string body;
};

FrontMatterSplit split_front_matter(std::string_view content);

// Reads the `key: value` lines of a front-matter block into metadata that
// starts from the defaults. Unknown keys and malformed lines are ignored.
SkillMetadata parse_front_matter(std::string_view text);

// The host's skills JSON (an array of objects with "name", "body",
// "description", "version", "inline" and "resources") as skills ready for
// SkillManager::replace_with_host_skills. nullopt on failure, with `error` set
// to the text the agent reports.
std::optional<std::vector<Skill>> parse_host_skills(std::string_view skills_json, std::string& error);

// The current wall-clock time in 100-nanosecond units since 1970-01-01 UTC.
std::int64_t now_timestamp_100ns();

// Seconds since 1970 UTC as "%Y-%m-%dT%H:%M:%SZ". No locale or time zone
// library is involved, so the text is the same on every platform.
std::string format_utc_timestamp(std::int64_t seconds);

// The inverse: exactly "YYYY-MM-DDTHH:MM:SSZ" (the "Z" required). False when
// the text has another form or a field is out of range.
bool parse_utc_timestamp(std::string_view text, std::int64_t& seconds);

class SkillManager {
public:
    // UTF-8; empty disables skills on disk and the activity file. Called once
    // at start-up, before any other thread uses the manager (takes no lock).
    void set_skills_dir(std::string path);
    const std::string& skills_dir() const { return skills_dir_; }

    // Rescans the skills directory and puts every skill found in the catalog;
    // returns the library size. With no directory set: 0, nothing changes.
    int load_all();

    static SkillLoadResult load_skill_file(const std::string& path);
    static SkillLoadResult parse_skill_content(const std::string& content, const std::string& default_name);

    // Replaces the whole library; every skill given is in the catalog.
    // Returns the library size afterwards.
    int replace_with_host_skills(std::vector<Skill> skills);

    // Lookups take an id first, then a front-matter name (exact bytes).
    std::optional<Skill> get_skill(const std::string& name) const;
    std::vector<SkillReference> get_references(const std::string& name) const;
    // "references/<file>" for a skill on disk, the in-memory paths for a host
    // skill; sorted. The file system is read without holding the lock.
    std::vector<std::string> list_reference_names(const std::string& name) const;
    std::vector<std::string> all_skill_names() const;
    std::vector<std::string> loaded_skill_names() const;
    bool is_loaded(const std::string& name) const;
    bool mark_loaded(const std::string& name);
    bool unload(const std::string& name);

    // The catalog block of the system prompt; empty when nothing is shown.
    std::string catalog_prompt() const;
    // The table of "/skill list".
    std::string list_table() const;

    // Stamps a skill's last load or view (100-ns units since 1970 UTC) and
    // rewrites the activity file. Unknown names change nothing.
    void record_activity(const std::string& name, std::int64_t time_stamp);

private:
    struct Entry {
        Skill skill;
        bool loaded = false;
    };

    const Entry* find_locked(const std::string& name) const;
    Entry* find_locked(const std::string& name);
    void rescan_locked();
    void read_activity_locked();
    void write_activity_locked() const;

    std::string skills_dir_;
    mutable std::shared_mutex mutex_;
    std::unordered_map<std::string, Entry> skills_;
    std::unordered_map<std::string, std::string> aliases_;  // metadata.name -> id, where they differ
    std::unordered_map<std::string, std::int64_t> activity_;
    bool activity_read_ = false;
};

}  // namespace vexa
