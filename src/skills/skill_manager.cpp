#include "skills/skill_manager.hpp"

#include "api/ensure_utf8.hpp"
#include "config/json_util.hpp"
#include "config/text_util.hpp"
#include "support/fs_util.hpp"
#include "support/log.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <ratio>
#include <system_error>
#include <utility>

namespace vexa {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;  // 100-ns units
constexpr std::int64_t kSecondsPerDay = 86'400;
constexpr const char* kActivityFileName = ".activity.json";

const char* const kCatalogHeading =
    "## Skills (mandatory)\n"
    "Before replying, scan the skills below. If a skill matches or is even partially relevant to the user's task, "
    "the first tool call this turn MUST be skill_inspect_tool(action='view', skill_name=...). Read the full SOP "
    "before calling any other tool. Err on the side of viewing \xE2\x80\x94 missing a workflow is worse than extra "
    "context. Skills already listed here do not need action='load'; view is what fetches the full instructions "
    "for this turn. View the skill even if you think you can handle the task without it; the skill defines how "
    "the task should be done here.\n\n";

bool read_file_bytes(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The skills folder with links resolved; empty when it cannot be resolved.
fs::path real_root(const std::string& skills_dir) {
    std::error_code ec;
    fs::path root = fs::canonical(path_from_utf8(skills_dir), ec);
    return ec ? fs::path() : root;
}

// True when `path`, with every link resolved, lies inside `root` (already
// resolved). A link inside the skills folder may point anywhere in it, but a
// skill must never make the model read a file elsewhere (the configuration
// with its API key, for one).
bool resolves_inside(const fs::path& root, const fs::path& path) {
    if (root.empty()) return false;
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    if (ec) return false;
    return std::mismatch(root.begin(), root.end(), real.begin(), real.end()).first == root.end();
}

void log_skipped_outside(const fs::path& path) {
    std::string shown;
    try {
        shown = path_to_utf8(path);
    } catch (const std::exception&) {
        shown = "(a path with no UTF-8 form)";
    }
    log_line(LogLevel::WARNING, "Skipped " + shown + ": it resolves outside the skills folder");
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::size_t skip_blanks(std::string_view text, std::size_t pos) {
    while (pos < text.size() && is_blank(text[pos])) ++pos;
    return pos;
}

// One line end at `pos`, CR LF counted as one.
std::size_t skip_line_end(std::string_view text, std::size_t pos) {
    if (pos < text.size() && text[pos] == '\r') {
        ++pos;
        if (pos < text.size() && text[pos] == '\n') ++pos;
    } else if (pos < text.size() && text[pos] == '\n') {
        ++pos;
    }
    return pos;
}

// Front-matter values may be wrapped in one pair of matching quotes; nothing
// inside them is an escape.
std::string unquote(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        return trim_space(value.substr(1, value.size() - 2));
    }
    return trim_space(value);
}

// "[a, 'b', \"\"]" or a single value. The split comes before unquoting, so a
// quoted piece holding a comma is cut in two.
std::vector<std::string> parse_list(const std::string& value) {
    const std::string text = trim_space(value);
    std::vector<std::string> items;
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        const std::string inner = text.substr(1, text.size() - 2);
        std::size_t start = 0;
        while (true) {
            const std::size_t comma = inner.find(',', start);
            const std::size_t end = comma == std::string::npos ? inner.size() : comma;
            std::string item = unquote(trim_space(inner.substr(start, end - start)));
            if (!item.empty()) items.push_back(std::move(item));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        return items;
    }
    std::string item = unquote(text);
    if (!item.empty()) items.push_back(std::move(item));
    return items;
}

bool parse_flag(const std::string& value) {
    const std::string v = unquote(value);
    return v == "true" || v == "yes" || v == "1";
}

void apply_inline_mode(const std::string& value, std::string& mode) {
    const std::string v = unquote(value);
    if (v == "true" || v == "yes" || v == "1") {
        mode = "full";
    } else if (v == "false" || v == "no" || v == "0") {
        mode = "summary";
    } else if (v == "summary" || v == "full" || v == "none") {
        mode = v;
    }
}

// Proleptic Gregorian calendar <-> days since 1970-01-01, valid for every
// year an int64 count of seconds can reach; written out because Windows has
// no timegm and gmtime depends on the C library's range.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

void append_zero_padded(std::string& out, std::uint64_t value, std::size_t width) {
    const std::string digits = std::to_string(value);
    if (digits.size() < width) out.append(width - digits.size(), '0');
    out += digits;
}

bool read_digits(std::string_view text, std::size_t pos, std::size_t count, unsigned& out) {
    out = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

}  // namespace

// --- free functions -------------------------------------------------------------

FrontMatterSplit split_front_matter(std::string_view content) {
    FrontMatterSplit result;
    if (trim_space(std::string(content)).rfind("---", 0) != 0) return result;
    // Leading white space holds no '-', so the first "---" is the opening one.
    std::size_t begin = content.find("---") + 3;
    begin = skip_line_end(content, skip_blanks(content, begin));
    const std::size_t close = content.find("\n---", begin);
    if (close == std::string_view::npos) return result;
    result.found = true;
    result.front_matter = std::string(content.substr(begin, close - begin));
    const std::size_t body = skip_line_end(content, skip_blanks(content, close + 4));
    result.body = std::string(content.substr(body));
    return result;
}

SkillMetadata parse_front_matter(std::string_view text) {
    SkillMetadata meta;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t lf = text.find('\n', start);
        const std::size_t end = lf == std::string_view::npos ? text.size() : lf;
        std::string line(text.substr(start, end - start));
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = trim_space(line);
        if (line.empty() || line.front() == '#') continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = trim_space(line.substr(0, colon));
        const std::string value = trim_space(line.substr(colon + 1));

        if (key == "name") {
            meta.name = unquote(value);
        } else if (key == "description") {
            meta.description = unquote(value);
        } else if (key == "version") {
            meta.version = unquote(value);
        } else if (key == "author") {
            meta.author = unquote(value);
        } else if (key == "created_origin") {
            meta.created_origin = unquote(value);
        } else if (key == "last_modified_origin") {
            meta.last_modified_origin = unquote(value);
        } else if (key == "lifecycle_state") {
            meta.lifecycle_state = unquote(value);
        } else if (key == "tags") {
            meta.tags = parse_list(value);
        } else if (key == "inline" || key == "inline_mode") {
            apply_inline_mode(value, meta.inline_mode);
        } else if (key == "agent_created") {
            meta.agent_created = parse_flag(value);
        } else if (key == "pinned") {
            meta.pinned = parse_flag(value);
        }
    }
    return meta;
}

std::optional<std::vector<Skill>> parse_host_skills(std::string_view skills_json, std::string& error) {
    static const std::string kPrefix = "Failed to parse skills JSON from host: ";
    error.clear();
    std::string parse_error;
    const json root = parse_json_bounded(skills_json, parse_error);
    if (root.is_discarded()) {
        error = kPrefix + parse_error;
        return std::nullopt;
    }
    if (!root.is_array()) {
        error = "skills_json must be a JSON array.";
        return std::nullopt;
    }

    std::vector<Skill> skills;
    try {
        for (const json& element : root) {
            if (!element.is_object()) continue;
            // value() throws the library's type error for a member of another
            // type; that aborts the whole import, as a half-read library would
            // be worse than the old one.
            const std::string name = element.value("name", std::string());
            if (name.empty()) continue;
            Skill skill;
            SkillLoadResult parsed = SkillManager::parse_skill_content(element.value("body", std::string()), name);
            if (parsed.success) skill = std::move(parsed.skill);
            skill.id = name;
            skill.metadata.name = name;
            if (const auto it = element.find("description"); it != element.end() && it->is_string()) {
                skill.metadata.description = it->get<std::string>();
            }
            if (const auto it = element.find("version"); it != element.end() && it->is_string()) {
                skill.metadata.version = it->get<std::string>();
            }
            if (const auto it = element.find("inline"); it != element.end() && it->is_string()) {
                const std::string& mode = it->get_ref<const std::string&>();
                if (mode == "summary" || mode == "full" || mode == "none") skill.metadata.inline_mode = mode;
            }
            if (const auto it = element.find("resources"); it != element.end() && it->is_array()) {
                for (const json& resource : *it) {
                    if (!resource.is_object()) continue;
                    SkillReference reference;
                    reference.path = resource.value("path", std::string());
                    reference.content = resource.value("content", std::string());
                    if (!reference.path.empty()) skill.references.push_back(std::move(reference));
                }
            }
            skills.push_back(std::move(skill));
        }
    } catch (const json::exception& e) {
        error = kPrefix + e.what();
        return std::nullopt;
    }
    return skills;
}

std::int64_t now_timestamp_100ns() {
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, kTicksPerSecond>>;
    return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string format_utc_timestamp(std::int64_t seconds) {
    std::int64_t days = seconds / kSecondsPerDay;
    std::int64_t rest = seconds % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --days;
    }
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civil_from_days(days, year, month, day);
    const auto second_of_day = static_cast<unsigned>(rest);
    std::string out = year < 0 ? "-" : "";
    append_zero_padded(out, static_cast<std::uint64_t>(year < 0 ? -year : year), 4);
    out += '-';
    append_zero_padded(out, month, 2);
    out += '-';
    append_zero_padded(out, day, 2);
    out += 'T';
    append_zero_padded(out, second_of_day / 3600, 2);
    out += ':';
    append_zero_padded(out, second_of_day / 60 % 60, 2);
    out += ':';
    append_zero_padded(out, second_of_day % 60, 2);
    out += 'Z';
    return out;
}

bool parse_utc_timestamp(std::string_view text, std::int64_t& seconds) {
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z') {
        return false;
    }
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!read_digits(text, 0, 4, year) || !read_digits(text, 5, 2, month) || !read_digits(text, 8, 2, day) ||
        !read_digits(text, 11, 2, hour) || !read_digits(text, 14, 2, minute) || !read_digits(text, 17, 2, second)) {
        return false;
    }
    // Field ranges as the C library's reader checks them; a day past the end
    // of its month rolls over, as timegm would do.
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
    seconds = days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
    return true;
}

// --- SkillManager ---------------------------------------------------------------

void SkillManager::set_skills_dir(std::string path) { skills_dir_ = std::move(path); }

SkillLoadResult SkillManager::parse_skill_content(const std::string& content, const std::string& default_name) {
    SkillLoadResult result;
    if (content.empty()) {
        result.error = "Skill content is empty";
        return result;
    }
    FrontMatterSplit split = split_front_matter(content);
    if (split.found) {
        result.skill.metadata = parse_front_matter(split.front_matter);
        if (result.skill.metadata.name.empty()) result.skill.metadata.name = default_name;
        result.skill.body = std::move(split.body);
    } else {
        result.skill.metadata.name = default_name;
        result.skill.body = content;
    }
    result.skill.id = default_name;
    result.success = true;
    return result;
}

SkillLoadResult SkillManager::load_skill_file(const std::string& path) {
    SkillLoadResult result;
    const fs::path file = path_from_utf8(path);
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
        result.error = "File not found: " + path;
        return result;
    }
    std::string content;
    if (!read_file_bytes(file, content) || content.empty()) {
        result.error = "File is empty: " + path;
        return result;
    }
    const fs::path dir = file.parent_path();
    result = parse_skill_content(content, path_to_utf8(dir.filename()));
    if (result.success) {
        result.skill.path = path;
        result.skill.dir = path_to_utf8(dir);
    }
    return result;
}

const SkillManager::Entry* SkillManager::find_locked(const std::string& name) const {
    if (const auto it = skills_.find(name); it != skills_.end()) return &it->second;
    if (const auto alias = aliases_.find(name); alias != aliases_.end()) {
        if (const auto it = skills_.find(alias->second); it != skills_.end()) return &it->second;
    }
    return nullptr;
}

SkillManager::Entry* SkillManager::find_locked(const std::string& name) {
    return const_cast<Entry*>(std::as_const(*this).find_locked(name));
}

void SkillManager::rescan_locked() {
    skills_.clear();
    aliases_.clear();
    if (skills_dir_.empty()) return;
    const fs::path root = path_from_utf8(skills_dir_);
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return;
    const fs::path resolved_root = real_root(skills_dir_);
    // An error while walking ends the scan; what was read so far stays.
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code entry_ec;
        if (!it->is_directory(entry_ec)) continue;
        std::string name;
        try {
            name = path_to_utf8(it->path().filename());
        } catch (const std::exception&) {
            continue;  // a name with no UTF-8 form cannot be a skill id
        }
        if (name.empty() || name.front() == '.') continue;
        const fs::path skill_file = it->path() / "SKILL.md";
        if (!fs::exists(skill_file, entry_ec)) continue;
        if (!resolves_inside(resolved_root, it->path()) || !resolves_inside(resolved_root, skill_file)) {
            log_skipped_outside(skill_file);
            continue;
        }
        SkillLoadResult loaded = load_skill_file(path_to_utf8(skill_file));
        if (!loaded.success) continue;
        const std::string display_name = loaded.skill.metadata.name;
        skills_[name] = Entry{std::move(loaded.skill), false};
        if (display_name != name) aliases_[display_name] = name;
    }
}

int SkillManager::load_all() {
    std::unique_lock lock(mutex_);
    if (skills_dir_.empty()) return 0;
    rescan_locked();
    for (auto& [id, entry] : skills_) entry.loaded = true;
    return static_cast<int>(skills_.size());
}

int SkillManager::replace_with_host_skills(std::vector<Skill> skills) {
    std::unique_lock lock(mutex_);
    skills_.clear();
    aliases_.clear();
    for (Skill& skill : skills) {
        std::string key = skill.id.empty() ? skill.metadata.name : skill.id;
        if (key.empty()) continue;
        skill.id = key;
        if (skill.metadata.name.empty()) skill.metadata.name = key;
        skill.path.clear();
        skill.dir.clear();
        if (skills_.count(key) != 0) {
            // The earlier skill of this key goes, and with it its alias.
            std::erase_if(aliases_, [&](const auto& alias) { return alias.second == key; });
        }
        if (skill.metadata.name != key) aliases_[skill.metadata.name] = key;
        skills_[key] = Entry{std::move(skill), true};
    }
    return static_cast<int>(skills_.size());
}

std::optional<Skill> SkillManager::get_skill(const std::string& name) const {
    std::shared_lock lock(mutex_);
    const Entry* entry = find_locked(name);
    if (!entry) return std::nullopt;
    return entry->skill;
}

std::vector<SkillReference> SkillManager::get_references(const std::string& name) const {
    std::shared_lock lock(mutex_);
    const Entry* entry = find_locked(name);
    if (!entry) return {};
    return entry->skill.references;
}

std::vector<std::string> SkillManager::list_reference_names(const std::string& name) const {
    std::string dir;
    std::string root;
    std::vector<std::string> names;
    {
        std::shared_lock lock(mutex_);
        const Entry* entry = find_locked(name);
        if (!entry) return {};
        dir = entry->skill.dir;
        root = skills_dir_;
        if (dir.empty()) {
            for (const SkillReference& reference : entry->skill.references) names.push_back(reference.path);
        }
    }
    if (!dir.empty()) {
        // Outside the lock: a slow disk must not hold up the prompt builder.
        std::error_code ec;
        const fs::path references = path_from_utf8(dir) / "references";
        const fs::path resolved_root = real_root(root);
        for (fs::directory_iterator it(references, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code entry_ec;
            if (!it->is_regular_file(entry_ec)) continue;
            if (!resolves_inside(resolved_root, it->path())) {
                log_skipped_outside(it->path());
                continue;
            }
            try {
                names.push_back("references/" + path_to_utf8(it->path().filename()));
            } catch (const std::exception&) {
            }
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> SkillManager::all_skill_names() const {
    std::shared_lock lock(mutex_);
    std::vector<std::string> names;
    names.reserve(skills_.size());
    for (const auto& [id, entry] : skills_) names.push_back(entry.skill.metadata.name);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> SkillManager::loaded_skill_names() const {
    std::shared_lock lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [id, entry] : skills_) {
        if (entry.loaded) names.push_back(entry.skill.metadata.name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool SkillManager::is_loaded(const std::string& name) const {
    std::shared_lock lock(mutex_);
    const Entry* entry = find_locked(name);
    return entry && entry->loaded;
}

bool SkillManager::mark_loaded(const std::string& name) {
    std::unique_lock lock(mutex_);
    Entry* entry = find_locked(name);
    if (!entry) return false;
    entry->loaded = true;
    return true;
}

bool SkillManager::unload(const std::string& name) {
    std::unique_lock lock(mutex_);
    Entry* entry = find_locked(name);
    if (!entry || !entry->loaded) return false;
    entry->loaded = false;
    return true;
}

namespace {

// Name order, ties broken by id so equal names still list the same way each time.
void sort_by_name(std::vector<const Skill*>& skills) {
    std::sort(skills.begin(), skills.end(), [](const Skill* a, const Skill* b) {
        if (a->metadata.name != b->metadata.name) return a->metadata.name < b->metadata.name;
        return a->id < b->id;
    });
}

void append_padded(std::string& out, const std::string& text, std::size_t width) {
    out += text;
    if (text.size() < width) out.append(width - text.size(), ' ');
}

}  // namespace

std::string SkillManager::catalog_prompt() const {
    std::shared_lock lock(mutex_);
    std::vector<const Skill*> summary;
    std::vector<const Skill*> full;
    for (const auto& [id, entry] : skills_) {
        if (!entry.loaded) continue;
        const std::string& mode = entry.skill.metadata.inline_mode;
        if (mode == "none") continue;
        (mode == "full" ? full : summary).push_back(&entry.skill);
    }
    if (summary.empty() && full.empty()) return {};
    sort_by_name(summary);
    sort_by_name(full);

    std::string out = kCatalogHeading;
    out += "<available_skills>\n";
    for (const Skill* skill : summary) {
        out += "<skill name=\"" + skill->metadata.name + "\"";
        if (!skill->metadata.version.empty()) out += " version=\"" + skill->metadata.version + "\"";
        out += " mode=\"summary\">\n";
        if (!skill->metadata.description.empty()) out += skill->metadata.description + "\n";
        out += "</skill>\n";
    }
    if (!summary.empty()) out += "\n";
    for (const Skill* skill : full) {
        out += "<skill name=\"" + skill->metadata.name + "\"";
        if (!skill->metadata.version.empty()) out += " version=\"" + skill->metadata.version + "\"";
        if (!skill->metadata.description.empty()) out += " description=\"" + skill->metadata.description + "\"";
        out += " mode=\"full\">\n";
        out += skill->body;
        if (!skill->body.empty() && skill->body.back() != '\n') out += "\n";
        out += "</skill>\n\n";
    }
    out += "</available_skills>";
    return out;
}

std::string SkillManager::list_table() const {
    std::shared_lock lock(mutex_);
    if (skills_.empty()) return "No skills available.\n";
    std::vector<const Entry*> entries;
    entries.reserve(skills_.size());
    for (const auto& [id, entry] : skills_) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](const Entry* a, const Entry* b) {
        if (a->skill.metadata.name != b->skill.metadata.name) return a->skill.metadata.name < b->skill.metadata.name;
        return a->skill.id < b->skill.id;
    });

    std::string out;
    append_padded(out, "Name", 20);
    append_padded(out, "Version", 10);
    append_padded(out, "Loaded", 10);
    out += "Description\n";
    out.append(70, '-');
    out += "\n";
    for (const Entry* entry : entries) {
        const SkillMetadata& meta = entry->skill.metadata;
        append_padded(out, meta.name.empty() ? entry->skill.id : meta.name, 20);
        append_padded(out, meta.version.empty() ? "-" : meta.version, 10);
        append_padded(out, entry->loaded ? "Yes" : "No", 10);
        out += meta.description.empty() ? "-" : meta.description;
        out += "\n";
    }
    return out;
}

void SkillManager::read_activity_locked() {
    if (skills_dir_.empty()) return;
    std::string text;
    if (!read_file_bytes(path_from_utf8(skills_dir_) / kActivityFileName, text) || text.empty()) return;
    const json root = parse_json_bounded(text);
    if (!root.is_object()) return;
    const auto entries = root.find("entries");
    const json& source = entries != root.end() && entries->is_object() ? *entries : root;
    for (const auto& [id, value] : source.items()) {
        if (!value.is_string()) continue;
        std::int64_t seconds = 0;
        if (!parse_utc_timestamp(value.get_ref<const std::string&>(), seconds) || seconds <= 0) continue;
        activity_[id] = seconds * kTicksPerSecond;
    }
}

void SkillManager::write_activity_locked() const {
    if (skills_dir_.empty()) return;
    json entries = json::object();
    for (const auto& [id, stamp] : activity_) {
        if (stamp == 0) continue;
        // A directory name need not be UTF-8; JSON keys must be.
        entries[valid_utf8(id)] = format_utc_timestamp(stamp / kTicksPerSecond);
    }
    json root = json::object();
    root["entries"] = std::move(entries);
    root["version"] = 1;
    const std::optional<std::string> text = try_dump_json(root, 2);
    if (!text) return;
    // Atomic replacement: a reader or a crash never sees half a file.
    (void)write_file_atomic(path_from_utf8(skills_dir_) / kActivityFileName, *text);
}

void SkillManager::record_activity(const std::string& name, std::int64_t time_stamp) {
    std::unique_lock lock(mutex_);
    const Entry* entry = find_locked(name);
    if (!entry) return;
    const std::string id = entry->skill.id;
    if (!activity_read_) {
        activity_read_ = true;
        read_activity_locked();
    }
    activity_[id] = time_stamp;
    write_activity_locked();
}

}  // namespace vexa
