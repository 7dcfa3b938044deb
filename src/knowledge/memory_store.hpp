#pragma once
// Long-term memories about the user: short entries (category, title, content)
// kept in memory.json across sessions. Every system prompt carries the
// overview block, so what is stored here goes to the model server with each
// request. No lock inside: the agent's memory lock guards every use.

#include "knowledge/knowledge_io.hpp"

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

inline constexpr const char* kOriginUserInitiated = "user_initiated";
inline constexpr const char* kOriginMemoryExtractor = "memory_extractor";

// Entries shown in the overview block, and the bytes of content each shows.
inline constexpr std::size_t kOverviewEntryLimit = 20;
inline constexpr std::size_t kOverviewContentBytes = 200;

struct MemoryEntry {
    std::string id;
    std::string category;
    std::string title;
    std::string content;
    std::string created_at;  // local time "%Y-%m-%dT%H:%M:%S"
    std::string updated_at;  // same form; byte order is time order
    std::string created_origin = kOriginUserInitiated;
    std::string last_modified_origin = kOriginUserInitiated;
};

bool operator==(const MemoryEntry& a, const MemoryEntry& b);

// `text` when it has at most `max_bytes` bytes; otherwise cut before byte
// `max_bytes`, moved back to the start of the UTF-8 character it falls in,
// with "..." appended. A cut that would leave nothing is made at `max_bytes`.
// The prompt blocks of the memory store and the user profile use it.
std::string shorten_for_prompt(std::string_view text, std::size_t max_bytes);

class MemoryStore {
public:
    // The current local time stamp; replaceable so that tests can fix it.
    using Clock = std::function<std::string()>;

    MemoryStore();

    // Reads memory.json. A missing file empties the store (true); an empty
    // file leaves it as it is (true); unreadable JSON, a root that is not an
    // array, a file that cannot be read or one larger than
    // kMaxStartupFileBytes leave it as it is (false). Otherwise the store is
    // replaced by the array's entries; elements of the wrong shape are
    // skipped (false: the file did not load completely). Remembers `path` in
    // every case; load_outcome() says what was wrong.
    bool load(const std::string& path);
    const knowledge_io::LoadOutcome& load_outcome() const { return load_outcome_; }
    // Off: save() (the remembered file) writes nothing and fails; for a file
    // that did not load completely and could not be moved aside.
    void set_persistent(bool persistent) { persistent_ = persistent; }
    // Writes the whole store (ascending id order, indent 4) through a
    // temporary file, so a failed save leaves the previous file intact.
    bool save(const std::string& path) const;
    // save(file_path()) when a file was loaded; false otherwise.
    bool save() const;

    // A new entry with a fresh id, both origins "user_initiated", both stamps
    // now. Not saved.
    std::string add(const std::string& category, const std::string& title, const std::string& content);
    // Replaces title and content and stamps updated_at. False for an unknown id.
    bool update(const std::string& id, const std::string& title, const std::string& content);
    // Sets last_modified_origin (and created_origin when `also_created`); time
    // stamps stay. False for an unknown id or an empty origin.
    bool set_origin(const std::string& id, const std::string& origin, bool also_created);
    bool remove(const std::string& id);
    // Stores `entry` as it is under its id (replacing one with the same id);
    // an entry without an id is ignored. For restoring and for tests.
    void insert(MemoryEntry entry);
    void clear();

    // Entries of exactly this category, in id order.
    std::vector<MemoryEntry> entries_in_category(const std::string& category) const;
    // Entries in id order whose title or content contains `query`, ASCII case
    // ignored. An empty query finds nothing.
    std::vector<MemoryEntry> search(const std::string& query) const;
    // Keeps the `max_entries` most recently updated entries (ties: the more
    // recently created stays). 0 keeps everything.
    void prune(std::size_t max_entries);

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const std::map<std::string, MemoryEntry>& entries() const { return entries_; }
    const MemoryEntry* find(const std::string& id) const;
    const std::string& file_path() const { return file_path_; }

    // The <memory_overview> block of the system prompt and the extraction prompt.
    std::string overview_block() const;
    // "Memory Store: N entries (category: count, ...)".
    std::string summary_line() const;

    void set_clock(Clock clock);

private:
    std::string now() const;

    std::string file_path_;
    knowledge_io::LoadOutcome load_outcome_;
    bool persistent_ = true;
    std::map<std::string, MemoryEntry> entries_;
    Clock clock_;
};

}  // namespace vexa
