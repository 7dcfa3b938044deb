#include "knowledge/memory_store.hpp"

#include "config/json_util.hpp"
#include "config/text_util.hpp"
#include "support/local_time.hpp"
#include "knowledge/knowledge_io.hpp"
#include "support/utf8.hpp"
#include "support/uuid.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <utility>

namespace vexa {

namespace {

using nlohmann::json;

// Most recently updated first; among equal stamps the more recently created.
// Stable over the id order, so the result does not depend on the sort.
std::vector<const MemoryEntry*> newest_first(const std::map<std::string, MemoryEntry>& entries) {
    std::vector<const MemoryEntry*> order;
    order.reserve(entries.size());
    for (const auto& [id, entry] : entries) order.push_back(&entry);
    std::stable_sort(order.begin(), order.end(), [](const MemoryEntry* a, const MemoryEntry* b) {
        if (a->updated_at != b->updated_at) return a->updated_at > b->updated_at;
        return a->created_at > b->created_at;
    });
    return order;
}

std::map<std::string, std::size_t> category_counts(const std::map<std::string, MemoryEntry>& entries) {
    std::map<std::string, std::size_t> counts;
    for (const auto& [id, entry] : entries) ++counts[entry.category];
    return counts;
}

// One element of memory.json; false for an element of the wrong shape.
bool read_entry(const json& element, MemoryEntry& entry) {
    if (!element.is_object()) return false;
    using knowledge_io::read_string;
    return read_string(element, "id", entry.id) && read_string(element, "category", entry.category) &&
           read_string(element, "title", entry.title) && read_string(element, "content", entry.content) &&
           read_string(element, "created_at", entry.created_at) &&
           read_string(element, "updated_at", entry.updated_at) &&
           read_string(element, "created_origin", entry.created_origin) &&
           read_string(element, "last_modified_origin", entry.last_modified_origin);
}

json entry_to_json(const MemoryEntry& entry) {
    json object = json::object();
    object["category"] = entry.category;
    object["content"] = entry.content;
    object["created_at"] = entry.created_at;
    object["created_origin"] = entry.created_origin;
    object["id"] = entry.id;
    object["last_modified_origin"] = entry.last_modified_origin;
    object["title"] = entry.title;
    object["updated_at"] = entry.updated_at;
    return object;
}

}  // namespace

bool operator==(const MemoryEntry& a, const MemoryEntry& b) {
    return a.id == b.id && a.category == b.category && a.title == b.title && a.content == b.content &&
           a.created_at == b.created_at && a.updated_at == b.updated_at && a.created_origin == b.created_origin &&
           a.last_modified_origin == b.last_modified_origin;
}

std::string shorten_for_prompt(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return std::string(text);
    std::size_t cut = utf8_cut_position(text, max_bytes);
    if (cut == 0) cut = max_bytes;
    std::string out(text.substr(0, cut));
    out += "...";
    return out;
}

MemoryStore::MemoryStore() : clock_(local_timestamp_now) {}

void MemoryStore::set_clock(Clock clock) { clock_ = clock ? std::move(clock) : Clock(local_timestamp_now); }

std::string MemoryStore::now() const { return clock_(); }

bool MemoryStore::load(const std::string& path) {
    file_path_ = path;
    load_outcome_ = {};
    std::string text;
    const knowledge_io::FileRead read = knowledge_io::read_regular_file(path, text);
    if (read == knowledge_io::FileRead::Missing) {
        entries_.clear();
        return true;
    }
    if (read != knowledge_io::FileRead::Read) {
        load_outcome_ = knowledge_io::LoadOutcome::from_read(read);
        return false;
    }
    if (text.empty()) return true;
    const json root = parse_json_bounded(text);
    if (root.is_discarded() || !root.is_array()) {
        load_outcome_.kind = knowledge_io::LoadOutcome::Kind::damaged;
        load_outcome_.problem = root.is_discarded() ? "not valid JSON" : "not a JSON array";
        return false;
    }
    entries_.clear();
    std::size_t skipped = 0;
    for (const json& element : root) {
        MemoryEntry entry;
        if (!read_entry(element, entry)) {
            ++skipped;
            continue;
        }
        if (entry.id.empty()) continue;
        std::string id = entry.id;
        entries_[id] = std::move(entry);
    }
    if (skipped > 0) {
        load_outcome_.kind = knowledge_io::LoadOutcome::Kind::damaged;
        load_outcome_.problem = std::to_string(skipped) + " of " + std::to_string(root.size()) +
                                " entries are not valid memory entries and were skipped";
        return false;
    }
    return true;
}

bool MemoryStore::save(const std::string& path) const {
    if (path.empty()) return false;
    try {
        json array = json::array();
        for (const auto& [id, entry] : entries_) array.push_back(entry_to_json(entry));
        return knowledge_io::write_json_file(path, array, 4);
    } catch (const std::exception&) {
        return false;
    }
}

bool MemoryStore::save() const { return persistent_ && !file_path_.empty() && save(file_path_); }

std::string MemoryStore::add(const std::string& category, const std::string& title, const std::string& content) {
    MemoryEntry entry;
    entry.id = generate_uuid();
    entry.category = category;
    entry.title = title;
    entry.content = content;
    entry.created_at = now();
    entry.updated_at = entry.created_at;
    std::string id = entry.id;
    entries_[id] = std::move(entry);
    return id;
}

bool MemoryStore::update(const std::string& id, const std::string& title, const std::string& content) {
    const auto it = entries_.find(id);
    if (it == entries_.end()) return false;
    it->second.title = title;
    it->second.content = content;
    it->second.updated_at = now();
    return true;
}

bool MemoryStore::set_origin(const std::string& id, const std::string& origin, bool also_created) {
    if (origin.empty()) return false;
    const auto it = entries_.find(id);
    if (it == entries_.end()) return false;
    it->second.last_modified_origin = origin;
    if (also_created) it->second.created_origin = origin;
    return true;
}

bool MemoryStore::remove(const std::string& id) { return entries_.erase(id) > 0; }

void MemoryStore::insert(MemoryEntry entry) {
    if (entry.id.empty()) return;
    std::string id = entry.id;
    entries_[id] = std::move(entry);
}

void MemoryStore::clear() { entries_.clear(); }

const MemoryEntry* MemoryStore::find(const std::string& id) const {
    const auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : &it->second;
}

std::vector<MemoryEntry> MemoryStore::entries_in_category(const std::string& category) const {
    std::vector<MemoryEntry> out;
    for (const auto& [id, entry] : entries_) {
        if (entry.category == category) out.push_back(entry);
    }
    return out;
}

std::vector<MemoryEntry> MemoryStore::search(const std::string& query) const {
    std::vector<MemoryEntry> out;
    if (query.empty()) return out;
    const std::string needle = ascii_lower(query);
    for (const auto& [id, entry] : entries_) {
        if (ascii_lower(entry.title).find(needle) != std::string::npos ||
            ascii_lower(entry.content).find(needle) != std::string::npos) {
            out.push_back(entry);
        }
    }
    return out;
}

void MemoryStore::prune(std::size_t max_entries) {
    if (max_entries == 0 || entries_.size() <= max_entries) return;
    const std::vector<const MemoryEntry*> order = newest_first(entries_);
    std::vector<std::string> doomed;
    doomed.reserve(order.size() - max_entries);
    for (std::size_t i = max_entries; i < order.size(); ++i) doomed.push_back(order[i]->id);
    for (const std::string& id : doomed) entries_.erase(id);
}

std::string MemoryStore::overview_block() const {
    if (entries_.empty()) return "<memory_overview>\nNo memories stored.\n</memory_overview>\n";
    std::string out = "<memory_overview>\n";
    out += "Total memories: " + std::to_string(entries_.size()) + "\n";
    out += "Categories:";
    bool first = true;
    for (const auto& [category, count] : category_counts(entries_)) {
        if (!first) out += ",";
        first = false;
        out += " " + category + " (" + std::to_string(count) + ")";
    }
    out += "\n\n";
    const std::vector<const MemoryEntry*> order = newest_first(entries_);
    const std::size_t shown = std::min(order.size(), kOverviewEntryLimit);
    for (std::size_t i = 0; i < shown; ++i) {
        const MemoryEntry& entry = *order[i];
        out += "- [" + entry.category + "] " + entry.title + ": " +
               shorten_for_prompt(entry.content, kOverviewContentBytes) + "\n";
    }
    out += "</memory_overview>\n";
    return out;
}

std::string MemoryStore::summary_line() const {
    std::string out = "Memory Store: " + std::to_string(entries_.size()) + " entries";
    if (entries_.empty()) return out;
    out += " (";
    bool first = true;
    for (const auto& [category, count] : category_counts(entries_)) {
        if (!first) out += ", ";
        first = false;
        out += category + ": " + std::to_string(count);
    }
    out += ")";
    return out;
}

}  // namespace vexa
