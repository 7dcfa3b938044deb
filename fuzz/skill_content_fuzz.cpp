// libFuzzer target for the skill library: a SKILL.md text (front matter split
// and parsed, from memory and from a file), the host's skills JSON with the
// inspection tool run over what it yields, and an existing activity file that
// the next stamp must read and rewrite cleanly.
//
// Input: NUL-separated fields, in order: SKILL.md text, skills JSON, activity
// file text. Missing fields are empty.

#include "skills/skill_inspect_tool.hpp"
#include "skills/skill_manager.hpp"

#include "config/json_util.hpp"
#include "config/text_util.hpp"

#include "fuzz_check.hpp"
#include "fuzz_io.hpp"
#include "temp_dir.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

using fuzz::split;
using fuzz::write_file;
using fuzz::read_file;

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::int64_t kStamp = 1796765405LL * 10'000'000;  // 2026-12-08T21:30:05Z

const std::string& directory() {
    static const fuzz::TempDir dir("vexa_skill_fuzz");
    return dir.path();
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool trimmed(const std::string& text) { return vexa::trim_space(text) == text; }

bool valid_mode(const std::string& mode) { return mode == "summary" || mode == "full" || mode == "none"; }

void check_metadata(const vexa::SkillMetadata& m) {
    FUZZ_CHECK(valid_mode(m.inline_mode));
    for (const std::string* field : {&m.name, &m.description, &m.version, &m.author, &m.created_origin,
                                     &m.last_modified_origin, &m.lifecycle_state}) {
        FUZZ_CHECK(trimmed(*field));
    }
    for (const std::string& tag : m.tags) FUZZ_CHECK(!tag.empty() && trimmed(tag));
}

// A result the tool hands to the model must serialise strictly (valid UTF-8):
// everything in it was cut from valid UTF-8 at ASCII bytes only.
void check_result(const json& result) {
    FUZZ_CHECK(result.is_object() && result.contains("success"));
    try {
        (void)result.dump();
    } catch (const json::exception&) {
        FUZZ_CHECK(false);
    }
}

void fuzz_skill_text(const std::string& content) {
    const vexa::FrontMatterSplit split = vexa::split_front_matter(content);
    if (split.found) {
        FUZZ_CHECK(vexa::trim_space(content).rfind("---", 0) == 0);
        FUZZ_CHECK(ends_with(content, split.body));
        FUZZ_CHECK(content.find(split.front_matter) != std::string::npos);
        FUZZ_CHECK(split.front_matter.size() + split.body.size() + 7 <= content.size());
        check_metadata(vexa::parse_front_matter(split.front_matter));
    }

    const vexa::SkillLoadResult parsed = vexa::SkillManager::parse_skill_content(content, "fuzz");
    if (content.empty()) {
        FUZZ_CHECK(!parsed.success && parsed.error == "Skill content is empty");
        return;
    }
    FUZZ_CHECK(parsed.success);
    const vexa::Skill& skill = parsed.skill;
    check_metadata(skill.metadata);
    FUZZ_CHECK(skill.id == "fuzz" && !skill.metadata.name.empty());
    FUZZ_CHECK(split.found ? skill.body == split.body : skill.body == content);

    // The same text read from a skill directory gives the same skill.
    const fs::path skill_dir = fs::path(directory()) / "fuzz";
    fs::create_directories(skill_dir);
    write_file(skill_dir / "SKILL.md", content);
    const vexa::SkillLoadResult loaded = vexa::SkillManager::load_skill_file((skill_dir / "SKILL.md").string());
    FUZZ_CHECK(loaded.success);
    FUZZ_CHECK(loaded.skill.body == skill.body && loaded.skill.metadata.name == skill.metadata.name);
    FUZZ_CHECK(loaded.skill.metadata.inline_mode == skill.metadata.inline_mode);

    vexa::SkillManager manager;
    FUZZ_CHECK(manager.replace_with_host_skills({skill}) == 1);
    const std::string catalog = manager.catalog_prompt();
    if (skill.metadata.inline_mode == "none") {
        FUZZ_CHECK(catalog.empty());
    } else {
        FUZZ_CHECK(catalog.rfind("## Skills (mandatory)\n", 0) == 0);
        FUZZ_CHECK(ends_with(catalog, "</available_skills>"));
        if (skill.metadata.inline_mode == "full") FUZZ_CHECK(catalog.find(skill.body) != std::string::npos);
    }
    FUZZ_CHECK(manager.list_table().find(skill.metadata.name) != std::string::npos);
    FUZZ_CHECK(manager.get_skill("fuzz").has_value() && manager.get_skill(skill.metadata.name).has_value());
    FUZZ_CHECK(manager.unload(skill.metadata.name));
    FUZZ_CHECK(manager.catalog_prompt().empty());
}

void fuzz_host_json(const std::string& text) {
    std::string error;
    const auto skills = vexa::parse_host_skills(text, error);
    if (!skills) {
        FUZZ_CHECK(error == "skills_json must be a JSON array." ||
                   error.rfind("Failed to parse skills JSON from host: ", 0) == 0);
        return;
    }
    FUZZ_CHECK(error.empty());
    std::set<std::string> ids;
    for (const vexa::Skill& skill : *skills) {
        FUZZ_CHECK(!skill.id.empty() && skill.id == skill.metadata.name);
        FUZZ_CHECK(skill.path.empty() && skill.dir.empty());
        FUZZ_CHECK(valid_mode(skill.metadata.inline_mode));
        for (const vexa::SkillReference& reference : skill.references) FUZZ_CHECK(!reference.path.empty());
        ids.insert(skill.id);
    }

    vexa::SkillManager manager;  // no directory: stamps stay in memory
    FUZZ_CHECK(manager.replace_with_host_skills(*skills) == static_cast<int>(ids.size()));
    const std::vector<std::string> names = manager.all_skill_names();
    FUZZ_CHECK(std::is_sorted(names.begin(), names.end()));
    FUZZ_CHECK(names == manager.loaded_skill_names());
    const std::string catalog = manager.catalog_prompt();
    FUZZ_CHECK(catalog.empty() || ends_with(catalog, "</available_skills>"));
    (void)manager.list_table();

    vexa::SkillInspectTool tool(&manager);
    const json list = tool.execute({{"action", "list"}});
    check_result(list);
    FUZZ_CHECK(list["available_count"] == names.size() && list["skills"].size() == names.size());
    for (const std::string& name : names) {
        const json view = tool.execute({{"action", "view"}, {"skill_name", name}});
        check_result(view);
        FUZZ_CHECK(view["success"] == true && view["skill_name"] == name);
        FUZZ_CHECK(std::is_sorted(view["references"].begin(), view["references"].end()));
        check_result(tool.execute({{"action", "load"}, {"skill_name", name}}));
    }
}

void fuzz_activity_file(const std::string& existing) {
    const fs::path skills_dir = fs::path(directory()) / "activity";
    fs::create_directories(skills_dir);
    write_file(skills_dir / ".activity.json", existing);

    vexa::SkillManager manager;
    manager.set_skills_dir(skills_dir.string());
    vexa::Skill skill;
    skill.id = "s";
    manager.replace_with_host_skills({skill});
    manager.record_activity("s", kStamp);

    const json written = vexa::parse_json_bounded(read_file(skills_dir / ".activity.json"));
    FUZZ_CHECK(written.is_object() && written.size() == 2);
    FUZZ_CHECK(written["version"] == 1);
    const json& entries = written["entries"];
    FUZZ_CHECK(entries.is_object());
    FUZZ_CHECK(entries.value("s", "") == "2026-12-08T21:30:05Z");
    for (const auto& [id, value] : entries.items()) {
        std::int64_t seconds = 0;
        FUZZ_CHECK(value.is_string() && vexa::parse_utc_timestamp(value.get<std::string>(), seconds) && seconds > 0);
        FUZZ_CHECK(vexa::format_utc_timestamp(seconds) == value.get<std::string>());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> fields = split(std::string(reinterpret_cast<const char*>(data), size), '\0');
    fields.resize(std::max<std::size_t>(fields.size(), 3));
    fuzz_skill_text(fields[0]);
    fuzz_host_json(fields[1]);
    fuzz_activity_file(fields[2]);
    return 0;
}
