#include "skills/skill_manager.hpp"

#include "skills/skill_inspect_tool.hpp"
#include "support/test_dir.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::read_text;
using test::TestDir;
using test::write_text;

using Names = std::vector<std::string>;

std::string join(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "|" : "") + items[i];
    return out + "]";
}

// One line per metadata record, so a table row states all of it at once.
std::string describe(const SkillMetadata& m) {
    return "name=" + m.name + " desc=" + m.description + " ver=" + m.version + " mode=" + m.inline_mode +
           " tags=" + join(m.tags) + " agent=" + (m.agent_created ? "1" : "0") + " pinned=" + (m.pinned ? "1" : "0");
}

void write_skill(const fs::path& root, const std::string& dir, const std::string& text) {
    fs::create_directories(root / dir);
    write_text(root / dir / "SKILL.md", text);
}

Skill host_skill(std::string name, std::string mode = "summary", std::string version = "",
                 std::string description = "", std::string body = "") {
    Skill skill;
    skill.id = name;
    skill.metadata.name = std::move(name);
    skill.metadata.inline_mode = std::move(mode);
    skill.metadata.version = std::move(version);
    skill.metadata.description = std::move(description);
    skill.body = std::move(body);
    return skill;
}

std::vector<std::string> directory_listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// --- front matter ---------------------------------------------------------------

struct FrontMatterCase {
    const char* label;
    const char* content;
    bool found;
    const char* front_matter;  // when found
    const char* metadata;      // describe() of the parsed metadata, default name "dir"
    const char* body;
};

TEST(SkillFrontMatter, ParsesTable) {
    const char* defaults = "name=dir desc= ver= mode=summary tags=[] agent=0 pinned=0";
    const FrontMatterCase cases[] = {
        {"no front matter: whole text is the body", "# Deploy\nRun it.\n", false, "", defaults, "# Deploy\nRun it.\n"},
        {"quoted two-word name, quoted description with colon",
         "---\nname: \"Release Notes\"\ndescription: \"Use: when asked\"\nversion: '1.2'\n---\nBody\n",
         true, "name: \"Release Notes\"\ndescription: \"Use: when asked\"\nversion: '1.2'",
         "name=Release Notes desc=Use: when asked ver=1.2 mode=summary tags=[] agent=0 pinned=0", "Body\n"},
        {"CR LF line ends", "---\r\nname: crlf\r\ndescription: D\r\n---\r\nLine1\r\nLine2\r\n", true,
         "name: crlf\r\ndescription: D\r", "name=crlf desc=D ver= mode=summary tags=[] agent=0 pinned=0",
         "Line1\r\nLine2\r\n"},
        {"inline yes is full", "---\ninline: yes\n---\n", true, "inline: yes",
         "name=dir desc= ver= mode=full tags=[] agent=0 pinned=0", ""},
        {"inline none", "---\ninline: none\n---\n", true, "inline: none",
         "name=dir desc= ver= mode=none tags=[] agent=0 pinned=0", ""},
        {"inline_mode maybe leaves summary", "---\ninline_mode: maybe\n---\n", true, "inline_mode: maybe", defaults,
         ""},
        {"unknown mode leaves an earlier one", "---\ninline: \"full\"\ninline_mode: Full\n---\n", true,
         "inline: \"full\"\ninline_mode: Full", "name=dir desc= ver= mode=full tags=[] agent=0 pinned=0", ""},
        {"inline false and 0 give summary", "---\ninline: full\ninline: 0\n---\n", true, "inline: full\ninline: 0",
         defaults, ""},
        {"inline 1 gives full", "---\ninline_mode: '1'\n---\n", true, "inline_mode: '1'",
         "name=dir desc= ver= mode=full tags=[] agent=0 pinned=0", ""},
        {"bracketed tags: bare, single-quoted, empty", "---\ntags: [alpha, 'beta', \"\"]\n---\n", true,
         "tags: [alpha, 'beta', \"\"]", "name=dir desc= ver= mode=summary tags=[alpha|beta] agent=0 pinned=0", ""},
        {"unbracketed tags are one tag", "---\ntags: alpha, beta\n---\n", true, "tags: alpha, beta",
         "name=dir desc= ver= mode=summary tags=[alpha, beta] agent=0 pinned=0", ""},
        {"comma inside quotes splits first", "---\ntags: [\"a,b\"]\n---\n", true, "tags: [\"a,b\"]",
         "name=dir desc= ver= mode=summary tags=[\"a|b\"] agent=0 pinned=0", ""},
        {"block list lines are skipped", "---\ntags:\n  - x\n  - y\n---\n", true, "tags:\n  - x\n  - y", defaults, ""},
        {"booleans", "---\nagent_created: true\npinned: yes\n---\n", true, "agent_created: true\npinned: yes",
         "name=dir desc= ver= mode=summary tags=[] agent=1 pinned=1", ""},
        {"capitalised True is false, quoted 1 is true", "---\nagent_created: True\npinned: \"1\"\n---\n", true,
         "agent_created: True\npinned: \"1\"", "name=dir desc= ver= mode=summary tags=[] agent=0 pinned=1", ""},
        {"empty block is not recognised", "---\n---\nBody\n", false, "", defaults, "---\n---\nBody\n"},
        {"block that never closes", "---\nname: x\nBody", false, "", defaults, "---\nname: x\nBody"},
        {"text after the closing delimiter begins the body", "---\nname: x\n---  trailing\nBody", true, "name: x",
         "name=x desc= ver= mode=summary tags=[] agent=0 pinned=0", "trailing\nBody"},
        {"comments, lines without colon, unknown and capitalised keys",
         "---\n# name: ignored\nname: real\nnot a pair\nName: Other\nfoo: bar\n---\n", true,
         "# name: ignored\nname: real\nnot a pair\nName: Other\nfoo: bar",
         "name=real desc= ver= mode=summary tags=[] agent=0 pinned=0", ""},
        {"leading blank lines before the opening delimiter", "\n  \n---\nname: lead\n---\nB", true, "name: lead",
         "name=lead desc= ver= mode=summary tags=[] agent=0 pinned=0", "B"},
        {"front matter on the delimiter line", "---name: same-line\n---\nB", true, "name: same-line",
         "name=same-line desc= ver= mode=summary tags=[] agent=0 pinned=0", "B"},
        {"blanks after the opening delimiter", "--- \t\nname: t\n---\t\r\nB", true, "name: t",
         "name=t desc= ver= mode=summary tags=[] agent=0 pinned=0", "B"},
        {"only one line end after the closing delimiter is dropped", "---\nname: t\n---\n\nB", true, "name: t",
         "name=t desc= ver= mode=summary tags=[] agent=0 pinned=0", "\nB"},
        {"empty quoted name falls back to the default", "---\nname: ''\n---\nB", true, "name: ''", defaults, "B"},
        {"later line overrides, padding inside quotes trimmed", "---\nname: first\nname: \"  second \"\n---\n", true,
         "name: first\nname: \"  second \"", "name=second desc= ver= mode=summary tags=[] agent=0 pinned=0", ""},
        {"mismatched quotes are kept", "---\ndescription: \"half'\n---\n", true, "description: \"half'",
         "name=dir desc=\"half' ver= mode=summary tags=[] agent=0 pinned=0", ""},
        {"text before the delimiter: none", "intro\n---\nname: x\n---\n", false, "", defaults,
         "intro\n---\nname: x\n---\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const FrontMatterSplit split = split_front_matter(c.content);
        EXPECT_EQ(split.found, c.found);
        if (c.found) {
            EXPECT_EQ(split.front_matter, c.front_matter);
        }
        const SkillLoadResult result = SkillManager::parse_skill_content(c.content, "dir");
        ASSERT_TRUE(result.success);
        EXPECT_EQ(describe(result.skill.metadata), c.metadata);
        EXPECT_EQ(result.skill.body, c.body);
        EXPECT_EQ(result.skill.id, "dir");
    }
}

TEST(SkillFrontMatter, KeepsTheFieldsNoOperationReads) {
    const SkillMetadata defaults = parse_front_matter("");
    EXPECT_EQ(defaults.created_origin, "built_in");
    EXPECT_EQ(defaults.last_modified_origin, "built_in");
    EXPECT_EQ(defaults.lifecycle_state, "active");

    const SkillMetadata m = parse_front_matter(
        "author: 'Ann Lee'\ncreated_origin: agent\nlast_modified_origin: \"user\"\nlifecycle_state: archived");
    EXPECT_EQ(m.author, "Ann Lee");
    EXPECT_EQ(m.created_origin, "agent");
    EXPECT_EQ(m.last_modified_origin, "user");
    EXPECT_EQ(m.lifecycle_state, "archived");
}

TEST(SkillFrontMatter, EmptyContentFails) {
    const SkillLoadResult result = SkillManager::parse_skill_content("", "x");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error, "Skill content is empty");
}

// --- UTC stamps -------------------------------------------------------------------

TEST(SkillUtcTimestamp, FormatsAndParses) {
    const struct {
        std::int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {-1, "1969-12-31T23:59:59Z"},
        {951825600, "2000-02-29T12:00:00Z"},
        {946684799, "1999-12-31T23:59:59Z"},
        {1796765405, "2026-12-08T21:30:05Z"},
        {4107542400, "2100-03-01T00:00:00Z"},
        {-2208988800, "1900-01-01T00:00:00Z"},
        {253402300799, "9999-12-31T23:59:59Z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(format_utc_timestamp(c.seconds), c.text);
        std::int64_t parsed = 12345;
        if (c.seconds >= 0) {
            ASSERT_TRUE(parse_utc_timestamp(c.text, parsed));
            EXPECT_EQ(parsed, c.seconds);
        }
    }
    // Every day over four centuries survives the round trip.
    for (std::int64_t s = -4 * 146097LL * 86400; s < 4 * 146097LL * 86400; s += 86400 + 3601) {
        const std::string text = format_utc_timestamp(s);
        if (s < 0) continue;
        std::int64_t back = 0;
        ASSERT_TRUE(parse_utc_timestamp(text, back)) << text;
        ASSERT_EQ(back, s) << text;
    }
}

TEST(SkillUtcTimestamp, ParseRejectsOtherForms) {
    const char* rejected[] = {
        "2026-12-08T21:30:05",  "2026-12-08 21:30:05Z",  "2026-12-08T21:30:05z", "2026-12-08T21:30:05Z ",
        "2026-13-01T00:00:00Z", "2026-00-01T00:00:00Z",  "2026-01-00T00:00:00Z", "2026-01-32T00:00:00Z",
        "2026-01-01T24:00:00Z", "2026-01-01T00:60:00Z",  "2026-1-01T00:00:00Z",  "+026-01-01T00:00:00Z",
        "",                     "2026-12-08T21:30:05.5Z",
    };
    for (const char* text : rejected) {
        std::int64_t seconds = 0;
        EXPECT_FALSE(parse_utc_timestamp(text, seconds)) << text;
    }
    std::int64_t seconds = 0;
    ASSERT_TRUE(parse_utc_timestamp("2024-02-30T00:00:00Z", seconds));
    EXPECT_EQ(seconds, 1709251200);  // rolls over into March, as timegm does
}

TEST(SkillUtcTimestamp, NowIsInHundredNanosecondUnits) {
    const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
    const std::int64_t now = now_timestamp_100ns();
    EXPECT_GE(now / 10'000'000, before - 1);
    EXPECT_LE(now / 10'000'000, before + 60);
}

// --- the directory scan -------------------------------------------------------------

class SkillDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        write_skill(dir_.path(), "deploy", "# Deploy\nRun the script.\n");
        write_skill(dir_.path(), "release",
                    "---\nname: \"Release Notes\"\nversion: 2\ndescription: Writes notes\n---\nSteps\n");
        write_skill(dir_.path(), ".hidden", "---\nname: hidden\n---\nsecret\n");
        fs::create_directories(dir_ / "no-skill");
        write_text(dir_ / "no-skill" / "README.md", "not a skill");
        write_skill(dir_.path(), "blank", "");
        fs::create_directories(dir_ / "dir-named-skill" / "SKILL.md");
        write_text(dir_ / "SKILL.md", "---\nname: top\n---\n");
        manager_.set_skills_dir(dir_.path().string());
    }

    TestDir dir_;
    SkillManager manager_;
};

TEST_F(SkillDirectory, LoadAllFindsSkillDirectoriesOnly) {
    EXPECT_EQ(manager_.load_all(), 2);
    EXPECT_EQ(manager_.all_skill_names(), (Names{"Release Notes", "deploy"}));
    EXPECT_EQ(manager_.loaded_skill_names(), (Names{"Release Notes", "deploy"}));

    const auto deploy = manager_.get_skill("deploy");
    ASSERT_TRUE(deploy.has_value());
    EXPECT_EQ(deploy->id, "deploy");
    EXPECT_EQ(deploy->metadata.inline_mode, "summary");
    EXPECT_EQ(deploy->body, "# Deploy\nRun the script.\n");
    EXPECT_EQ(deploy->path, (dir_ / "deploy" / "SKILL.md").string());
    EXPECT_EQ(deploy->dir, (dir_ / "deploy").string());

    // Found by its front-matter name and by its directory name.
    for (const char* name : {"Release Notes", "release"}) {
        SCOPED_TRACE(name);
        const auto release = manager_.get_skill(name);
        ASSERT_TRUE(release.has_value());
        EXPECT_EQ(release->id, "release");
        EXPECT_EQ(release->metadata.name, "Release Notes");
        EXPECT_EQ(release->body, "Steps\n");
        EXPECT_TRUE(manager_.is_loaded(name));
    }
    for (const char* name : {"hidden", ".hidden", "no-skill", "blank", "dir-named-skill", "top", "release notes", ""}) {
        EXPECT_FALSE(manager_.get_skill(name).has_value()) << name;
    }
}

TEST_F(SkillDirectory, RescanReplacesHostSkillsAndMissingDirectoryEmptiesTheLibrary) {
    manager_.replace_with_host_skills({host_skill("host")});
    EXPECT_EQ(manager_.load_all(), 2);
    EXPECT_FALSE(manager_.get_skill("host").has_value());

    SkillManager missing;
    missing.set_skills_dir((dir_ / "absent").string());
    missing.replace_with_host_skills({host_skill("host")});
    EXPECT_EQ(missing.load_all(), 0);
    EXPECT_TRUE(missing.all_skill_names().empty());

    SkillManager none;  // no directory: nothing is touched
    none.replace_with_host_skills({host_skill("host")});
    EXPECT_EQ(none.load_all(), 0);
    EXPECT_EQ(none.all_skill_names(), (Names{"host"}));
}

TEST_F(SkillDirectory, LoadSkillFileFailures) {
    const std::string missing = (dir_ / "nope" / "SKILL.md").string();
    SkillLoadResult result = SkillManager::load_skill_file(missing);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error, "File not found: " + missing);

    const std::string directory = (dir_ / "dir-named-skill" / "SKILL.md").string();
    result = SkillManager::load_skill_file(directory);
    EXPECT_EQ(result.error, "File not found: " + directory);

    const std::string empty = (dir_ / "blank" / "SKILL.md").string();
    result = SkillManager::load_skill_file(empty);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error, "File is empty: " + empty);
}

TEST_F(SkillDirectory, ReferenceNamesOnDisk) {
    fs::create_directories(dir_ / "deploy" / "references" / "nested");
    write_text(dir_ / "deploy" / "references" / "z-last.md", "z");
    write_text(dir_ / "deploy" / "references" / "a-first.txt", "a");
    write_text(dir_ / "deploy" / "references" / "nested" / "inner.md", "i");
    ASSERT_EQ(manager_.load_all(), 2);

    EXPECT_EQ(manager_.list_reference_names("deploy"), (Names{"references/a-first.txt", "references/z-last.md"}));
    EXPECT_TRUE(manager_.list_reference_names("release").empty());  // no references directory
    EXPECT_TRUE(manager_.list_reference_names("unknown").empty());
    EXPECT_TRUE(manager_.get_references("deploy").empty());  // files are listed, never read
}

#ifndef _WIN32
// Links are followed only while they stay inside the skills folder: a SKILL.md
// or reference that resolves elsewhere (the configuration with its API key)
// is skipped, so the model can never read it through the skill tool.
TEST(SkillLinks, OnlyLinksResolvingInsideTheSkillsFolderAreFollowed) {
    TestDir base;
    const fs::path root = base / "skills";
    const fs::path secret_file = base / "agent_config.json";
    write_text(secret_file, "{\"llm\":{\"api_key\":\"sk-linked-secret\"}}");
    fs::create_directories(base / "elsewhere");
    write_text(base / "elsewhere" / "SKILL.md", "# Elsewhere\nsk-linked-secret\n");
    write_text(base / "elsewhere" / "notes.md", "outside");

    write_skill(root, "deploy", "# Deploy\nRun it.\n");
    fs::create_directories(root / "deploy" / "references");
    write_text(root / "deploy" / "references" / "plain.md", "plain");
    fs::create_symlink("../SKILL.md", root / "deploy" / "references" / "inside-link.md");
    fs::create_symlink(secret_file, root / "deploy" / "references" / "config.md");
    fs::create_symlink("../../../agent_config.json", root / "deploy" / "references" / "relative-config.md");

    const struct {
        const char* skill;
        std::function<void()> make;
        bool loaded;
    } cases[] = {
        {"leak", [&] {
             fs::create_directories(root / "leak");
             fs::create_symlink(secret_file, root / "leak" / "SKILL.md");
         }, false},
        {"relative-leak", [&] {
             fs::create_directories(root / "relative-leak");
             fs::create_symlink("../../agent_config.json", root / "relative-leak" / "SKILL.md");
         }, false},
        {"folder-outside", [&] { fs::create_directory_symlink(base / "elsewhere", root / "folder-outside"); }, false},
        {"folder-inside", [&] { fs::create_directory_symlink(root / "deploy", root / "folder-inside"); }, true},
        {"file-inside", [&] {
             fs::create_directories(root / "file-inside");
             fs::create_symlink("../deploy/SKILL.md", root / "file-inside" / "SKILL.md");
         }, true},
        {"references-outside", [&] {
             write_skill(root, "references-outside", "# Refs\n");
             fs::create_directory_symlink(base / "elsewhere", root / "references-outside" / "references");
         }, true},
    };
    for (const auto& c : cases) c.make();

    // The folder itself may be reached through a link.
    fs::create_directory_symlink(root, base / "skills-link");
    for (const fs::path& dir : {root, base / "skills-link"}) {
        SCOPED_TRACE(dir.string());
        SkillManager manager;
        manager.set_skills_dir(dir.string());
        manager.load_all();
        SkillInspectTool tool(&manager);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.skill);
            EXPECT_EQ(manager.get_skill(c.skill).has_value(), c.loaded);
            const json viewed = tool.execute({{"action", "view"}, {"skill_name", c.skill}});
            EXPECT_EQ(viewed["success"], c.loaded);
            EXPECT_EQ(viewed.dump().find("sk-linked-secret"), std::string::npos);
        }
        EXPECT_EQ(manager.list_reference_names("deploy"), (Names{"references/inside-link.md", "references/plain.md"}));
        EXPECT_TRUE(manager.list_reference_names("references-outside").empty());
        EXPECT_EQ(manager.get_skill("file-inside")->body, "# Deploy\nRun it.\n");
    }
}
#endif

// --- host skills, loaded flags, catalog and listing ----------------------------------------

TEST(SkillManager, ReplaceWithHostSkillsKeysAndAliases) {
    SkillManager manager;
    Skill by_name = host_skill("");
    by_name.id = "";
    by_name.metadata.name = "named-only";
    Skill aliased = host_skill("");
    aliased.id = "key";
    aliased.metadata.name = "Display";
    aliased.path = "/somewhere/SKILL.md";
    aliased.dir = "/somewhere";
    Skill nameless = host_skill("");
    Skill first = host_skill("dup", "summary", "1");
    Skill second = host_skill("dup", "full", "2");

    EXPECT_EQ(manager.replace_with_host_skills({by_name, aliased, nameless, first, second}), 3);
    EXPECT_EQ(manager.all_skill_names(), (Names{"Display", "dup", "named-only"}));
    EXPECT_EQ(manager.get_skill("named-only")->id, "named-only");
    const auto by_alias = manager.get_skill("Display");
    ASSERT_TRUE(by_alias.has_value());
    EXPECT_EQ(by_alias->id, "key");
    EXPECT_TRUE(by_alias->path.empty());
    EXPECT_TRUE(by_alias->dir.empty());
    EXPECT_EQ(manager.get_skill("dup")->metadata.version, "2");
    EXPECT_EQ(manager.loaded_skill_names().size(), 3u);

    // A replaced skill's alias goes with it.
    Skill renamed = host_skill("");
    renamed.id = "key";
    renamed.metadata.name = "key";
    EXPECT_EQ(manager.replace_with_host_skills({aliased, renamed}), 1);
    EXPECT_FALSE(manager.get_skill("Display").has_value());
    EXPECT_TRUE(manager.get_skill("key").has_value());

    EXPECT_EQ(manager.replace_with_host_skills({}), 0);
    EXPECT_EQ(manager.list_table(), "No skills available.\n");
}

TEST(SkillManager, LoadedFlags) {
    SkillManager manager;
    manager.replace_with_host_skills({host_skill("a"), host_skill("b")});
    EXPECT_TRUE(manager.unload("a"));
    EXPECT_FALSE(manager.unload("a")) << "not loaded any more";
    EXPECT_FALSE(manager.is_loaded("a"));
    EXPECT_TRUE(manager.get_skill("a").has_value()) << "unloading keeps the skill";
    EXPECT_EQ(manager.loaded_skill_names(), (Names{"b"}));
    EXPECT_TRUE(manager.mark_loaded("a"));
    EXPECT_TRUE(manager.mark_loaded("a")) << "already loaded still succeeds";
    EXPECT_TRUE(manager.is_loaded("a"));
    EXPECT_FALSE(manager.mark_loaded("zzz"));
    EXPECT_FALSE(manager.unload("zzz"));
    EXPECT_FALSE(manager.is_loaded("zzz"));
}

const std::string kHeading =
    "## Skills (mandatory)\n"
    "Before replying, scan the skills below. If a skill matches or is even partially relevant to the user's task, "
    "the first tool call this turn MUST be skill_inspect_tool(action='view', skill_name=...). Read the full SOP "
    "before calling any other tool. Err on the side of viewing \u2014 missing a workflow is worse than extra "
    "context. Skills already listed here do not need action='load'; view is what fetches the full instructions "
    "for this turn. View the skill even if you think you can handle the task without it; the skill defines how "
    "the task should be done here.\n\n";

TEST(SkillCatalog, MixedModesWrittenOut) {
    SkillManager manager;
    manager.replace_with_host_skills({
        host_skill("zeta", "full", "", "", "X\n"),
        host_skill("b", "summary"),
        host_skill("full-one", "full", "2", "Does \"all\"", "Step 1\nStep 2"),
        host_skill("a", "summary", "1", "D"),
        host_skill("hidden", "none", "9", "never shown", "body"),
        host_skill("empty-body", "full"),
        host_skill("unloaded", "summary", "", "gone"),
    });
    ASSERT_TRUE(manager.unload("unloaded"));
    const std::string expected =
        "## Skills (mandatory)\n"
        "Before replying, scan the skills below. If a skill matches or is even partially relevant to the user's "
        "task, the first tool call this turn MUST be skill_inspect_tool(action='view', skill_name=...). Read the "
        "full SOP before calling any other tool. Err on the side of viewing \xE2\x80\x94 missing a workflow is "
        "worse than extra context. Skills already listed here do not need action='load'; view is what fetches the "
        "full instructions for this turn. View the skill even if you think you can handle the task without it; the "
        "skill defines how the task should be done here.\n"
        "\n"
        "<available_skills>\n"
        "<skill name=\"a\" version=\"1\" mode=\"summary\">\n"
        "D\n"
        "</skill>\n"
        "<skill name=\"b\" mode=\"summary\">\n"
        "</skill>\n"
        "\n"
        "<skill name=\"empty-body\" mode=\"full\">\n"
        "</skill>\n"
        "\n"
        "<skill name=\"full-one\" version=\"2\" description=\"Does \"all\"\" mode=\"full\">\n"
        "Step 1\n"
        "Step 2\n"
        "</skill>\n"
        "\n"
        "<skill name=\"zeta\" mode=\"full\">\n"
        "X\n"
        "</skill>\n"
        "\n"
        "</available_skills>";
    EXPECT_EQ(manager.catalog_prompt(), expected);
}

TEST(SkillCatalog, GroupsAndEmptyCases) {
    const struct {
        const char* label;
        std::vector<Skill> skills;
        std::string expected;
    } cases[] = {
        {"one summary skill", {host_skill("a", "summary", "1", "D")},
         kHeading + "<available_skills>\n<skill name=\"a\" version=\"1\" mode=\"summary\">\nD\n</skill>\n\n"
                    "</available_skills>"},
        {"full only: no blank line before the group", {host_skill("f", "full", "", "", "body")},
         kHeading + "<available_skills>\n<skill name=\"f\" mode=\"full\">\nbody\n</skill>\n\n</available_skills>"},
        {"only none-mode skills", {host_skill("n1", "none"), host_skill("n2", "none")}, ""},
        {"empty library", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SkillManager manager;
        manager.replace_with_host_skills(c.skills);
        EXPECT_EQ(manager.catalog_prompt(), c.expected);
    }

    SkillManager manager;
    manager.replace_with_host_skills({host_skill("a")});
    manager.unload("a");
    EXPECT_EQ(manager.catalog_prompt(), "") << "nothing loaded";
}

TEST(SkillCatalog, ListTable) {
    SkillManager manager;
    manager.replace_with_host_skills({
        host_skill("zz", "none", "", "last"),
        host_skill("a-very-long-skill-name-indeed", "summary", "1.0.0-beta.12", "Long"),
        host_skill("mid", "full", "3", ""),
    });
    manager.unload("mid");
    const std::string expected =
        "Name                Version   Loaded    Description\n"
        "----------------------------------------------------------------------\n"
        "a-very-long-skill-name-indeed1.0.0-beta.12Yes       Long\n"
        "mid                 3         No        -\n"
        "zz                  -         Yes       last\n";
    EXPECT_EQ(manager.list_table(), expected);
}

// --- host JSON ------------------------------------------------------------------------------

struct HostCase {
    const char* label;
    const char* json_text;
    const char* error;  // nullptr: accepted
    const char* skills;  // accepted: one "id name mode ver desc |body| refs" line per skill
};

std::string describe_skills(const std::vector<Skill>& skills) {
    std::string out;
    for (const Skill& s : skills) {
        out += s.id + " " + s.metadata.name + " " + s.metadata.inline_mode + " v=" + s.metadata.version +
               " d=" + s.metadata.description + " |" + s.body + "|";
        for (const SkillReference& r : s.references) out += " " + r.path + "=" + r.content;
        out += "\n";
    }
    return out;
}

TEST(SkillHostImport, Table) {
    const HostCase cases[] = {
        {"empty array", "[]", nullptr, ""},
        {"object root", "{}", "skills_json must be a JSON array.", nullptr},
        {"string root", "\"x\"", "skills_json must be a JSON array.", nullptr},
        {"invalid JSON", "[{", "Failed to parse skills JSON from host: [json.exception.parse_error.101] parse error at "
                               "line 1, column 3: syntax error while parsing object key - unexpected end of input; "
                               "expected string literal", nullptr},
        {"name of another type", R"([{"name":5}])",
         "Failed to parse skills JSON from host: [json.exception.type_error.302] type must be string, but is number",
         nullptr},
        {"null name", R"([{"name":null}])",
         "Failed to parse skills JSON from host: [json.exception.type_error.302] type must be string, but is null",
         nullptr},
        {"body of another type", R"([{"name":"a","body":[]}])",
         "Failed to parse skills JSON from host: [json.exception.type_error.302] type must be string, but is array",
         nullptr},
        {"resource content of another type", R"([{"name":"a","resources":[{"path":"references/x","content":1}]}])",
         "Failed to parse skills JSON from host: [json.exception.type_error.302] type must be string, but is number",
         nullptr},
        {"nameless elements are skipped before their body is read",
         R"([{"body":7},{"name":""},1,"s",null,{"name":"ok"}])", nullptr,
         "ok ok summary v= d= ||\n"},
        {"front-matter name loses to the host name",
         R"([{"name":"host","body":"---\nname: Other\ndescription: from file\nversion: 1\ninline: full\n---\nText"}])",
         nullptr, "host host full v=1 d=from file |Text|\n"},
        {"description, version and inline override the body",
         R"([{"name":"o","body":"---\ndescription: file\nversion: 1\n---\nB",)"
         R"("description":"host","version":"2","inline":"none"}])",
         nullptr, "o o none v=2 d=host |B|\n"},
        {"overrides of another type or value are ignored",
         R"([{"name":"o","description":3,"version":null,"inline":"yes"},{"name":"p","inline":true}])", nullptr,
         "o o summary v= d= ||\np p summary v= d= ||\n"},
        {"body without front matter", R"([{"name":"plain","body":"just text"}])", nullptr,
         "plain plain summary v= d= |just text|\n"},
        {"duplicates are all handed over", R"([{"name":"d","version":"1"},{"name":"d","version":"2"}])", nullptr,
         "d d summary v=1 d= ||\nd d summary v=2 d= ||\n"},
        {"resources", R"([{"name":"r","resources":[{"path":"references/b.md","content":"B"},{"path":"","content":"x"},
           3,{"content":"no path"},{"path":"references/a.md"}]},{"name":"s","resources":{"path":"x"}}])",
         nullptr, "r r summary v= d= || references/b.md=B references/a.md=\ns s summary v= d= ||\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string error = "stale";
        const auto skills = parse_host_skills(c.json_text, error);
        if (c.error) {
            EXPECT_FALSE(skills.has_value());
            EXPECT_EQ(error, c.error);
        } else {
            ASSERT_TRUE(skills.has_value()) << error;
            EXPECT_EQ(error, "");
            EXPECT_EQ(describe_skills(*skills), c.skills);
        }
    }
}

TEST(SkillHostImport, ReplacesTheLibraryLaterDuplicateWins) {
    SkillManager manager;
    manager.replace_with_host_skills({host_skill("old")});
    std::string error;
    const auto skills = parse_host_skills(R"([{"name":"d","version":"1"},{"name":"d","version":"2"},{"name":"e"}])",
                                          error);
    ASSERT_TRUE(skills.has_value());
    EXPECT_EQ(manager.replace_with_host_skills(*skills), 2);
    EXPECT_EQ(manager.all_skill_names(), (Names{"d", "e"}));
    EXPECT_EQ(manager.get_skill("d")->metadata.version, "2");
    EXPECT_TRUE(manager.is_loaded("e"));

    const auto none = parse_host_skills("[]", error);
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(manager.replace_with_host_skills(*none), 0);
}

TEST(SkillHostImport, HostReferencesAreKeptInMemory) {
    SkillManager manager;
    std::string error;
    const auto skills = parse_host_skills(
        R"([{"name":"r","resources":[{"path":"references/z.md","content":"Z"},)"
        R"({"path":"references/a.md","content":"A"}]}])",
        error);
    ASSERT_TRUE(skills.has_value());
    manager.replace_with_host_skills(*skills);
    EXPECT_EQ(manager.list_reference_names("r"), (Names{"references/a.md", "references/z.md"}));
    const auto references = manager.get_references("r");
    ASSERT_EQ(references.size(), 2u);
    EXPECT_EQ(references[0].path, "references/z.md");
    EXPECT_EQ(references[0].content, "Z");
    EXPECT_TRUE(manager.get_references("nope").empty());
}

// --- activity file ---------------------------------------------------------------------------

constexpr std::int64_t kStamp = 1796765405LL * 10'000'000 + 9'999'999;  // 2026-12-08T21:30:05.9999999Z

class SkillActivity : public ::testing::Test {
protected:
    void SetUp() override {
        write_skill(dir_.path(), "deploy", "x");
        write_skill(dir_.path(), "release", "---\nname: Release Notes\n---\nSteps\n");
        manager_.set_skills_dir(dir_.path().string());
        ASSERT_EQ(manager_.load_all(), 2);
    }
    fs::path activity() const { return dir_ / ".activity.json"; }

    TestDir dir_;
    SkillManager manager_;
};

TEST_F(SkillActivity, WritesStampsByIdWithIndentTwo) {
    manager_.record_activity("Release Notes", kStamp);
    manager_.record_activity("deploy", 10'000'000);  // 1970-01-01T00:00:01Z
    EXPECT_EQ(read_text(activity()),
              "{\n"
              "  \"entries\": {\n"
              "    \"deploy\": \"1970-01-01T00:00:01Z\",\n"
              "    \"release\": \"2026-12-08T21:30:05Z\"\n"
              "  },\n"
              "  \"version\": 1\n"
              "}");
    manager_.record_activity("deploy", 0);  // a zero stamp is left out
    EXPECT_EQ(read_text(activity()),
              "{\n  \"entries\": {\n    \"release\": \"2026-12-08T21:30:05Z\"\n  },\n  \"version\": 1\n}");
    EXPECT_EQ(directory_listing(dir_.path()), (Names{".activity.json", "deploy", "release"}))
        << "no temporary file is left behind";
}

TEST_F(SkillActivity, UnknownNameTouchesNoFile) {
    manager_.record_activity("nobody", kStamp);
    EXPECT_FALSE(fs::exists(activity()));
}

TEST_F(SkillActivity, ExistingFileIsReadOnceAndKept) {
    const struct {
        const char* label;
        const char* existing;
        const char* expected_entries;  // compact
    } cases[] = {
        {"entries kept, bad members dropped",
         R"({"entries":{"gone":"2020-01-02T03:04:05Z","bad":"2020-01-02 03:04:05","num":5,)"
         R"("epoch":"1970-01-01T00:00:00Z"},"version":1})",
         R"({"deploy":"2026-12-08T21:30:05Z","gone":"2020-01-02T03:04:05Z"})"},
        {"root object without entries", R"({"old":"2021-06-01T00:00:00Z","version":1})",
         R"({"deploy":"2026-12-08T21:30:05Z","old":"2021-06-01T00:00:00Z"})"},
        {"entries of another type: the root is used", R"({"entries":"2021-06-01T00:00:00Z"})",
         R"({"deploy":"2026-12-08T21:30:05Z","entries":"2021-06-01T00:00:00Z"})"},
        {"malformed file overwritten", "{not json", R"({"deploy":"2026-12-08T21:30:05Z"})"},
        {"array root ignored", R"(["2021-06-01T00:00:00Z"])", R"({"deploy":"2026-12-08T21:30:05Z"})"},
        {"empty file", "", R"({"deploy":"2026-12-08T21:30:05Z"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SkillManager manager;
        manager.set_skills_dir(dir_.path().string());
        ASSERT_EQ(manager.load_all(), 2);
        write_text(activity(), c.existing);
        manager.record_activity("deploy", kStamp);
        const json written = json::parse(read_text(activity()));
        EXPECT_EQ(written["entries"].dump(), c.expected_entries);
        EXPECT_EQ(written["version"], 1);
    }

    // Read at most once: what others write later is replaced by the manager's map.
    SkillManager manager;
    manager.set_skills_dir(dir_.path().string());
    ASSERT_EQ(manager.load_all(), 2);
    write_text(activity(), R"({"entries":{"first":"2021-06-01T00:00:00Z"}})");
    manager.record_activity("deploy", kStamp);
    write_text(activity(), R"({"entries":{"second":"2022-06-01T00:00:00Z"}})");
    manager.record_activity("release", kStamp);
    EXPECT_EQ(json::parse(read_text(activity()))["entries"].dump(),
              R"({"deploy":"2026-12-08T21:30:05Z","first":"2021-06-01T00:00:00Z","release":"2026-12-08T21:30:05Z"})");
}

TEST_F(SkillActivity, NoDirectoryMeansNoFile) {
    SkillManager manager;  // host skills only
    manager.replace_with_host_skills({host_skill("deploy")});
    manager.record_activity("deploy", kStamp);
    EXPECT_FALSE(fs::exists(activity()));
}

TEST_F(SkillActivity, MissingParentDirectoriesAreCreated) {
    SkillManager manager;
    const fs::path nested = dir_ / "later" / "skills";
    manager.set_skills_dir(nested.string());
    manager.replace_with_host_skills({host_skill("h")});
    manager.record_activity("h", kStamp);
    EXPECT_EQ(read_text(nested / ".activity.json"),
              "{\n  \"entries\": {\n    \"h\": \"2026-12-08T21:30:05Z\"\n  },\n  \"version\": 1\n}");
}

// --- threads ---------------------------------------------------------------------------------

TEST(SkillManagerConcurrency, HostReplacementWhileReadersAndToolRun) {
    TestDir dir;
    SkillManager manager;
    manager.set_skills_dir(dir.path().string());
    SkillInspectTool tool(&manager);
    std::atomic<bool> stop{false};
    std::atomic<int> tool_calls{0};

    // The writer keeps replacing until the tool threads have run a while, so
    // the threads overlap however they are scheduled.
    std::thread writer([&] {
        for (int i = 0; i < 200 || (tool_calls < 100 && i < 1'000'000); ++i) {
            std::vector<Skill> skills = {host_skill("a", "summary", std::to_string(i), "desc"),
                                         host_skill("b", i % 2 ? "full" : "none", "", "", "body")};
            skills[1].references.push_back({"references/r.md", "content"});
            manager.replace_with_host_skills(std::move(skills));
        }
        stop = true;
    });
    std::thread catalog([&] {
        while (!stop) {
            const std::string text = manager.catalog_prompt();
            EXPECT_TRUE(text.empty() || text.find("</available_skills>") != std::string::npos);
            (void)manager.list_table();
        }
    });
    auto tool_user = [&](const char* action, const char* name) {
        while (!stop) {
            const json result = tool.execute(json{{"action", action}, {"skill_name", name}});
            EXPECT_TRUE(result.contains("success"));
            (void)tool.execute(json{{"action", "list"}});
            ++tool_calls;
        }
    };
    std::thread viewer(tool_user, "view", "a");
    std::thread loader(tool_user, "load", "b");
    writer.join();
    catalog.join();
    viewer.join();
    loader.join();
    EXPECT_EQ(manager.all_skill_names(), (Names{"a", "b"}));
}

}  // namespace
}  // namespace vexa
