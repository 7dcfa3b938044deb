// Knowledge files that do not load completely, seen from a host: they are
// never overwritten with the part that could be read, the host is told why,
// and start-up goes on. Also what start-up clears away (temporary files of
// killed writers in every folder the library writes) and what a system
// prompt may take from each of its sources.

#include "vexa_core/core_session.hpp"
#include "vexa_core/vexa_core.h"

#include "agent/system_prompt.hpp"
#include "support/fs_util.hpp"
#include "support/platform.hpp"
#include "support/utf8.hpp"

#include "agent_test_util.hpp"
#include "public_driver.hpp"
#include "support/temp_file_names.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using test::answer_response;
using test::read_file;
using test::write_file;

// The files moved aside next to `file`, as "<name>.unreadable-<time>[-n]".
std::vector<fs::path> moved_aside(const fs::path& file) {
    std::vector<fs::path> out;
    const std::string prefix = file.filename().string() + ".unreadable-";
    for (const auto& item : fs::directory_iterator(file.parent_path())) {
        if (item.path().filename().string().rfind(prefix, 0) == 0) out.push_back(item.path());
    }
    return out;
}

nlohmann::json memory_entry(int i) {
    return {{"id", "00000000-0000-4000-8000-" + std::string(10, '0') + (i < 10 ? "0" : "") + std::to_string(i)},
            {"category", "user_info"},
            {"title", "fact " + std::to_string(i)},
            {"content", "value " + std::to_string(i)},
            {"created_at", "2024-05-06T07:08:09"},
            {"updated_at", "2024-05-06T07:08:09"}};
}

std::string twenty_entries_one_bad() {
    nlohmann::json all = nlohmann::json::array();
    for (int i = 0; i < 20; ++i) all.push_back(memory_entry(i));
    all[6]["title"] = 7;  // wrong type
    return all.dump(2);
}

class Host {
public:
    explicit Host(const std::string& kind) : driver(test::make_driver(kind)) {
        test::write_agent_config(dir.path(), server.base_url() + "/v1");
        test::write_knowledge_paths(dir.path());
    }
    test::CppDriver* cpp() { return dynamic_cast<test::CppDriver*>(driver.get()); }
    VexaCoreHandle* c_handle() { return static_cast<test::CDriver*>(driver.get())->handle(); }
    bool start() { return driver->initialize(dir.str()); }
    void shutdown() {
        if (auto* session = cpp()) return session->session().shutdown();
        vexa_core_shutdown(c_handle());
    }
    std::string system_prompt() {
        if (auto* session = cpp()) return session->session().get_system_prompt();
        return vexa_core_get_system_prompt(c_handle());
    }
    fs::path memory_file() const { return dir.path() / "data" / "memory" / "memory.json"; }
    fs::path profile_file() const { return dir.path() / "data" / "memory" / "user_profile.json"; }

    test::ScriptedServer server;
    test::TempDir dir;
    std::unique_ptr<test::Driver> driver;
};

class DamagedFilesTest : public ::testing::TestWithParam<std::string> {};

struct DamagedMemory {
    const char* name;
    std::string text;
    std::size_t entries_kept;  // in the store and in the new file after shutdown
};

TEST_P(DamagedFilesTest, AMemoryFileThatDoesNotLoadWhollyIsMovedAsideNeverOverwritten) {
    const std::vector<DamagedMemory> cases = {
        {"one entry of the wrong shape", twenty_entries_one_bad(), 19},
        {"trailing comma", "[" + memory_entry(1).dump() + ",]", 0},
        {"an object instead of an array", "{\"entries\": []}", 0},
        {"not JSON at all", "\x01\x02 garbage", 0},
    };
    for (const DamagedMemory& c : cases) {
        SCOPED_TRACE(c.name);
        Host host(GetParam());
        write_file(host.memory_file(), c.text);
        ASSERT_TRUE(host.start());
        const std::string warning = host.driver->last_error();
        EXPECT_NE(warning.find("memory.json was not loaded completely"), std::string::npos) << warning;
        EXPECT_NE(warning.find("moved to"), std::string::npos) << warning;

        const auto aside = moved_aside(host.memory_file());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(read_file(aside[0]), c.text);  // the user's bytes, all of them
        EXPECT_NE(warning.find(aside[0].filename().string()), std::string::npos) << warning;

        host.shutdown();
        const auto saved = nlohmann::json::parse(read_file(host.memory_file()));
        EXPECT_EQ(saved.size(), c.entries_kept);
        EXPECT_EQ(read_file(aside[0]), c.text);

        // The next start finds a good file and says nothing.
        ASSERT_TRUE(host.start());
        EXPECT_EQ(host.driver->last_error(), "");
        EXPECT_EQ(moved_aside(host.memory_file()).size(), 1u);
        host.shutdown();
    }
}

TEST_P(DamagedFilesTest, ADamagedProfileIsMovedAsideAndAnUnreadableIdentityReported) {
    Host host(GetParam());
    const std::string profile = R"({"display_name": ["not", "a", "string"], "interaction_count": 40})";
    write_file(host.profile_file(), profile);
    write_file(host.dir.path() / "config" / "identity.json", "{\"name\": \"Vexa\",");
    ASSERT_TRUE(host.start());
    const std::string warning = host.driver->last_error();
    EXPECT_NE(warning.find("user_profile.json was not loaded completely"), std::string::npos) << warning;
    EXPECT_NE(warning.find("identity.json was not loaded completely (not valid JSON)"), std::string::npos)
        << warning;
    const auto aside = moved_aside(host.profile_file());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(read_file(aside[0]), profile);
    // The library never writes identity.json: it stays as the user left it.
    EXPECT_EQ(read_file(host.dir.path() / "config" / "identity.json"), "{\"name\": \"Vexa\",");
    EXPECT_TRUE(moved_aside(host.dir.path() / "config" / "identity.json").empty());
    host.shutdown();
    EXPECT_EQ(nlohmann::json::parse(read_file(host.profile_file()))["interaction_count"], 1);
}

TEST_P(DamagedFilesTest, AnOversizedMemoryFileIsNeitherLoadedNorWritten) {
    Host host(GetParam());
    std::string huge = "[" + memory_entry(1).dump();
    const std::string more = "," + memory_entry(2).dump();
    while (huge.size() <= kMaxStartupFileBytes) huge += more;
    huge += "]";
    write_file(host.memory_file(), huge);
    ASSERT_TRUE(host.start());
    const std::string warning = host.driver->last_error();
    EXPECT_NE(warning.find("memory.json was not loaded completely (it is larger than 16 MiB)"), std::string::npos)
        << warning;
    EXPECT_NE(warning.find("left as it is"), std::string::npos) << warning;
    EXPECT_NE(host.system_prompt().find("No memories stored."), std::string::npos);
    host.shutdown();
    EXPECT_EQ(fs::file_size(host.memory_file()), huge.size());
    EXPECT_TRUE(moved_aside(host.memory_file()).empty());
}

TEST_P(DamagedFilesTest, StartUpRemovesKilledWritersTemporaryFilesEverywhereItWrites) {
    Host host(GetParam());
    const auto dead = test::dead_process_id();
    const fs::path memory_dir = host.memory_file().parent_path();
    const fs::path skills_dir = host.dir.path() / "skills";
    const std::vector<fs::path> stale = {memory_dir / test::temp_name("memory.json", dead),
                                         memory_dir / test::temp_name("user_profile.json", dead),
                                         skills_dir / test::temp_name(".activity.json", dead)};
    const fs::path live = memory_dir / test::temp_name("memory.json", platform::current_process_id());
    for (const auto& file : stale) write_file(file, "[{\"content\": \"a half-written secret\"");
    write_file(live, "[");
    ASSERT_TRUE(host.start());
    for (const auto& file : stale) EXPECT_FALSE(fs::exists(file)) << file;
    EXPECT_TRUE(fs::exists(live));  // another thread of this process may be writing it
    host.shutdown();
}

TEST_P(DamagedFilesTest, EachPromptSourceIsBoundedInTheSystemPrompt) {
    Host host(GetParam());
    std::string soul;
    while (soul.size() < 200 * 1024) soul += "Be kind, 真诚. ";
    write_file(host.dir.path() / "config" / "soul.md", soul);
    nlohmann::json identity = {{"name", "Vexa"}, {"description", std::string(100 * 1024, 'd')}};
    write_file(host.dir.path() / "config" / "identity.json", identity.dump());
    ASSERT_TRUE(host.start());

    const std::string prompt = host.system_prompt();
    EXPECT_LT(prompt.size(), kPromptSlotMaxBytes[0] + kPromptSlotMaxBytes[1] + 8 * 1024);
    const auto soul_at = prompt.find("<soul>\n");
    ASSERT_NE(soul_at, std::string::npos);
    const auto cut_at = prompt.find(kPromptCutNote, soul_at);
    ASSERT_NE(cut_at, std::string::npos);
    EXPECT_LE(cut_at - soul_at, kPromptSlotMaxBytes[1]);
    EXPECT_GT(cut_at - soul_at, kPromptSlotMaxBytes[1] - 4);  // cut at a character boundary
    EXPECT_TRUE(is_valid_utf8(prompt));
    EXPECT_NE(prompt.find("Name: Vexa"), std::string::npos);

    // What the model receives is the same bounded text.
    host.server.enqueue(answer_response({"ok"}));
    ASSERT_TRUE(host.driver->send("hi").success);
    const auto body = nlohmann::json::parse(host.server.requests().at(0).body);
    EXPECT_EQ(body["messages"][0]["content"], prompt);
    host.shutdown();
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, DamagedFilesTest, ::testing::Values("cpp", "c"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vexa
