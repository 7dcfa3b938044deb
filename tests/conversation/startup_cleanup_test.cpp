// Start-up removes what killed saves left in the directories the library
// writes into: the sessions and records directories and the configuration
// file's directory.

#include "config/agent_config.hpp"
#include "conversation/conversation_manager.hpp"
#include "support/platform.hpp"
#include "support/temp_file_names.hpp"
#include "support/test_dir.hpp"

#include <gtest/gtest.h>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using test::dead_process_id;
using test::temp_files_in;
using test::temp_name;
using test::TestDir;
using test::write_text;

// Points the process-wide configuration at a test directory; restores it.
class StartupCleanupTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& config = AgentConfig::instance();
        saved_base_ = config.base_dir;
        saved_dir_ = config.paths.conversations_dir;
        saved_flags_ = config.host_policy_flags;
        config.base_dir = root_.path().string();
        config.paths.conversations_dir = "./data/conversations";
        config.host_policy_flags = 0;
        fs::create_directories(sessions());
    }
    void TearDown() override {
        auto& config = AgentConfig::instance();
        config.base_dir = saved_base_;
        config.paths.conversations_dir = saved_dir_;
        config.host_policy_flags = saved_flags_;
    }

    fs::path sessions() const { return root_ / "data" / "conversations"; }

    TestDir root_;
    std::string saved_base_, saved_dir_;
    std::uint32_t saved_flags_ = 0;
};

TEST_F(StartupCleanupTest, SessionStartupRemovesDeadWritersFiles) {
    const std::string stale = temp_name("s1.json", dead_process_id());
    const std::string live = temp_name("s2.json", platform::current_process_id());
    write_text(sessions() / "s1.json", "{}");
    write_text(sessions() / stale, "{\"partial");
    write_text(sessions() / live, "{\"partial");

    remove_stale_session_files();

    EXPECT_FALSE(fs::exists(sessions() / stale));
    EXPECT_TRUE(fs::exists(sessions() / live));
    EXPECT_TRUE(fs::exists(sessions() / "s1.json"));
    EXPECT_EQ(ConversationManager::list_sessions(sessions().string()), std::vector<std::string>{"s1"});
}

TEST_F(StartupCleanupTest, SessionStartupCleansTheRecordsDirectoryToo) {
    auto& config = AgentConfig::instance();
    const std::string saved_records = config.paths.conversations_full_dir;
    config.paths.conversations_full_dir = "./data/conversations_full";
    const fs::path records = root_ / "data" / "conversations_full";
    fs::create_directories(records);
    const std::string stale = temp_name("s1.json", dead_process_id());
    write_text(records / "s1.json", "{}");
    write_text(records / stale, "{\"partial");

    remove_stale_session_files();
    config.paths.conversations_full_dir = saved_records;

    EXPECT_FALSE(fs::exists(records / stale));
    EXPECT_TRUE(fs::exists(records / "s1.json"));
}

TEST_F(StartupCleanupTest, NoPersistencePolicyTouchesNothing) {
    AgentConfig::instance().host_policy_flags = policy_no_persistence;
    const std::string stale = temp_name("s1.json", dead_process_id());
    write_text(sessions() / stale, "{\"partial");

    remove_stale_session_files();

    EXPECT_TRUE(fs::exists(sessions() / stale));
}

TEST_F(StartupCleanupTest, ConfigLoadRemovesDeadWritersFiles) {
    const fs::path config_dir = root_ / "config";
    const fs::path config_file = config_dir / "agent_config.json";
    AgentConfig original;
    original.agent.name = "Kept";
    ASSERT_TRUE(original.save(config_file.string()));
    const std::string stale = temp_name("agent_config.json", dead_process_id());
    const std::string live = temp_name("agent_config.json", platform::current_process_id());
    write_text(config_dir / stale, "{\"agent\":");
    write_text(config_dir / live, "{\"agent\":");

    AgentConfig loaded;
    ASSERT_TRUE(loaded.load(config_file.string()));

    EXPECT_EQ(loaded.agent.name, "Kept");
    EXPECT_FALSE(fs::exists(config_dir / stale));
    EXPECT_TRUE(fs::exists(config_dir / live));
}

TEST_F(StartupCleanupTest, ConfigLoadCleansEvenWithoutTheFile) {
    // A kill during the very first save leaves only the temporary file.
    const fs::path config_dir = root_ / "config";
    fs::create_directories(config_dir);
    write_text(config_dir / temp_name("agent_config.json", dead_process_id()), "{");

    AgentConfig loaded;
    EXPECT_FALSE(loaded.load((config_dir / "agent_config.json").string()));
    EXPECT_TRUE(temp_files_in(config_dir).empty());
}

}  // namespace
}  // namespace vexa
