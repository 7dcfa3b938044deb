#include "skills/skill_inspect_tool.hpp"

#include "skills/skill_manager.hpp"
#include "support/test_dir.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::read_text;
using test::TestDir;
using test::write_text;

void write_skill(const fs::path& root, const std::string& dir, const std::string& text) {
    fs::create_directories(root / dir);
    write_text(root / dir / "SKILL.md", text);
}

// A skills directory with one aliased skill that has two reference files, a
// plain one, and one that the catalog never shows.
class SkillInspectToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        write_skill(dir_.path(), "release",
                    "---\nname: Release Notes\nversion: 2\ndescription: Writes notes\n---\nSteps\n");
        fs::create_directories(dir_ / "release" / "references");
        write_text(dir_ / "release" / "references" / "b.md", "B");
        write_text(dir_ / "release" / "references" / "a.md", "A");
        write_skill(dir_.path(), "deploy", "Run it.");
        write_skill(dir_.path(), "quiet", "---\ninline: none\n---\nQuiet body");
        manager_.set_skills_dir(dir_.path().string());
        ASSERT_EQ(manager_.load_all(), 3);
    }

    std::string run(const json& arguments) { return tool_.execute(arguments).dump(); }
    fs::path activity() const { return dir_ / ".activity.json"; }

    TestDir dir_;
    SkillManager manager_;
    SkillInspectTool tool_{&manager_};
};

TEST(SkillInspectTool, Declaration) {
    SkillManager manager;
    SkillInspectTool tool(&manager);
    EXPECT_EQ(tool.name(), "skill_inspect_tool");
    EXPECT_EQ(tool.description(),
              "Read-only skill access. Actions: list, view, load. If a listed skill is relevant (even partially), view "
              "it before other tools. view: full SKILL.md of any available skill (does not require load). load: add "
              "an unlisted skill to the system-prompt catalog; not a substitute for view. list: all skills. Use "
              "skill_edit_tool to modify.");
    EXPECT_EQ(tool.parameters().dump(),
              R"({"properties":{"action":{"enum":["list","view","load"],"type":"string"},)"
              R"("skill_name":{"description":"Required for view/load.","type":"string"}},)"
              R"("required":["action"],"type":"object"})");
}

TEST(SkillInspectTool, ArgumentErrors) {
    SkillManager manager;
    SkillInspectTool tool(&manager);
    const std::string missing =
        R"({"error":"Missing or invalid parameter 'action' (string; one of list/view/load).","success":false})";
    const struct {
        const char* label;
        json arguments;
        std::string expected;
    } cases[] = {
        {"null arguments", json(), missing},
        {"array arguments", json::array({"list"}), missing},
        {"string arguments", json("list"), missing},
        {"no action", json::object(), missing},
        {"numeric action", json{{"action", 1}}, missing},
        {"capitalised action", json{{"action", "LIST"}},
         R"({"error":"Unknown action 'LIST'. Expected one of: list / view / load.","success":false})"},
        {"empty action", json{{"action", ""}},
         R"({"error":"Unknown action ''. Expected one of: list / view / load.","success":false})"},
        {"view without skill_name", json{{"action", "view"}},
         R"({"action":"view","error":"Action 'view' requires parameter 'skill_name' (string).","success":false})"},
        {"view with numeric skill_name", json{{"action", "view"}, {"skill_name", 5}},
         R"({"action":"view","error":"Action 'view' requires parameter 'skill_name' (string).","success":false})"},
        {"load with null skill_name", json{{"action", "load"}, {"skill_name", nullptr}},
         R"({"action":"load","error":"Action 'load' requires parameter 'skill_name' (string).","success":false})"},
        {"list ignores skill_name", json{{"action", "list"}, {"skill_name", 5}},
         R"({"action":"list","available_count":0,"loaded_count":0,"skills":[],"success":true})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(tool.execute(c.arguments).dump(), c.expected);
    }
}

TEST_F(SkillInspectToolTest, ListShowsEverySkillWithItsState) {
    ASSERT_TRUE(manager_.unload("deploy"));
    EXPECT_EQ(run({{"action", "list"}}),
              R"({"action":"list","available_count":3,"loaded_count":2,"skills":[)"
              R"({"description":"Writes notes","loaded":true,"name":"Release Notes","version":"2"},)"
              R"({"description":"","loaded":false,"name":"deploy","version":""},)"
              R"({"description":"","loaded":true,"name":"quiet","version":""}],"success":true})");
}

TEST_F(SkillInspectToolTest, ViewByAliasAndById) {
    const std::string expected =
        R"({"action":"view","description":"Writes notes","manual":"Steps\n",)"
        R"("references":["references/a.md","references/b.md"],"skill_name":"Release Notes","success":true,)"
        R"("version":"2"})";
    EXPECT_EQ(run({{"action", "view"}, {"skill_name", "Release Notes"}}), expected);
    EXPECT_EQ(run({{"action", "view"}, {"skill_name", "release"}}), expected) << "found by id, own name returned";
    EXPECT_EQ(run({{"action", "view"}, {"skill_name", "deploy"}}),
              R"({"action":"view","description":"","manual":"Run it.","references":[],"skill_name":"deploy",)"
              R"("success":true,"version":""})");
}

TEST_F(SkillInspectToolTest, ViewStampsTheActivityFile) {
    // The stamp's own clock: std::time may run behind it by a tick and end a
    // second earlier.
    const std::int64_t before = now_timestamp_100ns() / 10'000'000;
    ASSERT_EQ(tool_.execute({{"action", "view"}, {"skill_name", "Release Notes"}})["success"], true);
    const std::int64_t after = now_timestamp_100ns() / 10'000'000;

    const std::string text = read_text(activity());
    const json written = json::parse(text);
    EXPECT_EQ(text, written.dump(2)) << "indent 2, keys sorted, no trailing line feed";
    EXPECT_EQ(written["version"], 1);
    ASSERT_EQ(written["entries"].size(), 1u);
    ASSERT_TRUE(written["entries"].contains("release")) << "stamped under the id";
    std::int64_t seconds = 0;
    ASSERT_TRUE(parse_utc_timestamp(written["entries"]["release"].get<std::string>(), seconds));
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    EXPECT_TRUE(manager_.is_loaded("release")) << "viewing leaves the loaded flag alone";

    manager_.unload("deploy");
    tool_.execute({{"action", "view"}, {"skill_name", "deploy"}});
    EXPECT_FALSE(manager_.is_loaded("deploy"));
    EXPECT_EQ(json::parse(read_text(activity()))["entries"].size(), 2u);

    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir_.path())) files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{".activity.json", "deploy", "quiet", "release"}));
}

TEST_F(SkillInspectToolTest, UnknownNames) {
    EXPECT_EQ(run({{"action", "view"}, {"skill_name", "release notes"}}),
              R"({"action":"view","available_skills":["Release Notes","deploy","quiet"],)"
              R"("error":"Skill not found. Check the name spelling.","skill_name":"release notes","success":false})");
    EXPECT_EQ(run({{"action", "view"}, {"skill_name", ""}}),
              R"({"action":"view","available_skills":["Release Notes","deploy","quiet"],)"
              R"("error":"Skill not found. Check the name spelling.","skill_name":"","success":false})");
    EXPECT_EQ(run({{"action", "load"}, {"skill_name", "ghost"}}),
              R"({"action":"load","already_loaded":false,"available_skills":["Release Notes","deploy","quiet"],)"
              R"("error":"Skill not found in skills directory.","loaded":false,"skill_name":"ghost","success":false})");
    EXPECT_FALSE(fs::exists(activity())) << "unknown names stamp nothing";
}

TEST_F(SkillInspectToolTest, LoadTwice) {
    ASSERT_TRUE(manager_.unload("release"));
    EXPECT_EQ(manager_.catalog_prompt().find("Release Notes"), std::string::npos);

    EXPECT_EQ(run({{"action", "load"}, {"skill_name", "release"}}),
              R"({"action":"load","already_loaded":false,)"
              R"("hint":"Skill added to the catalog. Use action='view' to read the full SOP this turn.",)"
              R"("loaded":true,"skill_name":"release","success":true})");
    EXPECT_NE(manager_.catalog_prompt().find("<skill name=\"Release Notes\""), std::string::npos);
    ASSERT_TRUE(fs::exists(activity()));
    fs::remove(activity());

    EXPECT_EQ(run({{"action", "load"}, {"skill_name", "Release Notes"}}),
              R"({"action":"load","already_loaded":true,)"
              R"("hint":"Skill is already in the catalog. Use action='view' to read the full SOP.",)"
              R"("loaded":true,"skill_name":"Release Notes","success":true})");
    EXPECT_TRUE(json::parse(read_text(activity()))["entries"].contains("release")) << "both loads stamp";
}

TEST_F(SkillInspectToolTest, NoneModeSkillLoadsButStaysOutOfTheCatalog) {
    ASSERT_TRUE(manager_.unload("quiet"));
    EXPECT_EQ(tool_.execute({{"action", "load"}, {"skill_name", "quiet"}})["success"], true);
    EXPECT_TRUE(manager_.is_loaded("quiet"));
    EXPECT_EQ(manager_.catalog_prompt().find("quiet"), std::string::npos);
    EXPECT_EQ(tool_.execute({{"action", "view"}, {"skill_name", "quiet"}})["manual"], "Quiet body");
}

TEST_F(SkillInspectToolTest, ExistingActivityEntriesSurviveAView) {
    write_text(activity(), R"({"entries":{"old-skill":"2021-06-01T00:00:00Z"},"version":1})");
    tool_.execute({{"action", "view"}, {"skill_name", "deploy"}});
    const json entries = json::parse(read_text(activity()))["entries"];
    EXPECT_EQ(entries["old-skill"], "2021-06-01T00:00:00Z");
    EXPECT_TRUE(entries.contains("deploy"));
}

TEST(SkillInspectTool, HostSkillReferenceContents) {
    SkillManager manager;
    SkillInspectTool tool(&manager);
    std::string error;
    const auto skills = parse_host_skills(
        R"([{"name":"host","body":"---\ndescription: From host\n---\nDo it.","version":"3","resources":[)"
        R"({"path":"references/z.md","content":"first"},{"path":"references/a.md","content":"A"},)"
        R"({"path":"references/z.md","content":"second"}]}])",
        error);
    ASSERT_TRUE(skills.has_value()) << error;
    manager.replace_with_host_skills(*skills);
    EXPECT_EQ(tool.execute({{"action", "view"}, {"skill_name", "host"}}).dump(),
              R"({"action":"view","description":"From host","manual":"Do it.",)"
              R"("reference_contents":{"references/a.md":"A","references/z.md":"second"},)"
              R"("references":["references/a.md","references/z.md","references/z.md"],"skill_name":"host",)"
              R"("success":true,"version":"3"})");
}

}  // namespace
}  // namespace vexa
