#include "support/fs_util.hpp"
#include "support/platform.hpp"
#include "support/temp_file_names.hpp"
#include "support/test_dir.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vexa {
namespace {

namespace fs = std::filesystem;
using test::dead_process_id;
using test::read_text;
using test::temp_files_in;
using test::temp_name;
using test::TestDir;
using test::write_text;

void age(const fs::path& file, std::chrono::minutes by) {
    fs::last_write_time(file, fs::file_time_type::clock::now() - by);
}

TEST(ProcessSeam, CurrentProcessIsRunning) {
    const std::uint64_t self = platform::current_process_id();
    EXPECT_NE(self, 0u);
    EXPECT_TRUE(platform::process_is_running(self));
}

TEST(ProcessSeam, ExitedOrImpossibleIdsAreNotRunning) {
    EXPECT_FALSE(platform::process_is_running(dead_process_id()));
    EXPECT_FALSE(platform::process_is_running(0));
    EXPECT_FALSE(platform::process_is_running(0x1'0000'0001ull));
    EXPECT_FALSE(platform::process_is_running(~std::uint64_t{0}));
}

#ifndef _WIN32
TEST(ProcessSeam, AnotherUsersProcessCountsAsRunning) {
    // Process 1 always exists; unprivileged, the check is refused (EPERM),
    // which must still read as running.
    EXPECT_TRUE(platform::process_is_running(1));
    EXPECT_TRUE(platform::process_is_running(static_cast<std::uint64_t>(::getppid())));
}
#endif

TEST(StaleTempFiles, DeadWritersFileIsRemovedTargetKept) {
    TestDir dir;
    const std::uint64_t dead = dead_process_id();
    write_text(dir / "session.json", "{\"complete\":true}");
    write_text(dir / temp_name("session.json", dead), "{\"compl");
    write_text(dir / temp_name("agent_config.json", dead, "ffffffffffff"), "");

    EXPECT_EQ(remove_stale_temp_files(dir.path()), 2u);
    EXPECT_TRUE(temp_files_in(dir.path()).empty());
    EXPECT_EQ(read_text(dir / "session.json"), "{\"complete\":true}");
}

TEST(StaleTempFiles, LiveWritersFilesAreKept) {
    TestDir dir;
    // This process's file is kept however old: another thread may be saving.
    const fs::path own = dir / temp_name("a.json", platform::current_process_id());
    write_text(own, "partial");
    age(own, std::chrono::minutes(24 * 60));
    std::vector<fs::path> kept{own};
#ifndef _WIN32
    // Another live process, and one this user may not signal.
    kept.push_back(dir / temp_name("b.json", static_cast<std::uint64_t>(::getppid())));
    kept.push_back(dir / temp_name("c.json", 1));
#endif
    for (const auto& f : kept) write_text(f, "partial");

    EXPECT_EQ(remove_stale_temp_files(dir.path()), 0u);
    for (const auto& f : kept) EXPECT_TRUE(fs::exists(f)) << f;
}

TEST(StaleTempFiles, UnrelatedEntriesAreKept) {
    TestDir dir;
    const std::string dead = std::to_string(dead_process_id());
    const std::vector<std::string> unrelated{
        "notes.txt",
        ".hidden",
        "session.json",
        ".session.json.tmp-",                            // no owner, no random part
        "session.json.tmp-" + dead + "-0123456789ab",   // not hidden
        ".tmp-" + dead + "-0123456789ab",               // no target name
        ".a.json.tmp-" + dead + "-0123456789AB",        // upper-case random part
        ".a.json.tmp-" + dead + "-0123456789abc",       // random part too long
        ".a.json.tmp-" + dead + "-0123456789a",         // random part too short
        ".a.json.tmp-" + dead + "x-0123456789ab",       // pid not a number
        ".a.json.tmp--0123456789ab",                    // empty pid
        ".a.json.tmp-+" + dead + "-0123456789ab",       // signed pid
        ".a.json.tmp-" + dead + "-0123456789ab.json",   // marker not at the end
        ".a.json.tmp-99999999999999999999999-0123456789ab",  // pid overflows
        ".a.json.tmp-0123456789ab.bak",
    };
    for (const auto& name : unrelated) {
        write_text(dir / name, "x");
        age(dir / name, std::chrono::minutes(60));
    }
    // A directory and a link under a stale name are not files of the writer.
    const fs::path directory = dir / temp_name("d.json", dead_process_id());
    fs::create_directories(directory / "inner");
#ifndef _WIN32
    const fs::path link = dir / temp_name("l.json", dead_process_id());
    write_text(dir / "link-target", "keep me");
    fs::create_symlink(dir / "link-target", link);
#endif

    EXPECT_EQ(remove_stale_temp_files(dir.path()), 0u);
    for (const auto& name : unrelated) EXPECT_TRUE(fs::exists(dir / name)) << name;
    EXPECT_TRUE(fs::is_directory(directory / "inner"));
#ifndef _WIN32
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_text(dir / "link-target"), "keep me");
#endif
}

TEST(StaleTempFiles, FilesWithoutOwnerGoOnlyWhenOld) {
    TestDir dir;
    const fs::path fresh = dir / ".s.json.tmp-0123456789ab";
    const fs::path old = dir / ".t.json.tmp-abcdef012345";
    write_text(fresh, "x");
    write_text(old, "x");
    age(fresh, std::chrono::minutes(2));
    age(old, std::chrono::minutes(11));

    EXPECT_EQ(remove_stale_temp_files(dir.path()), 1u);
    EXPECT_TRUE(fs::exists(fresh));
    EXPECT_FALSE(fs::exists(old));
}

TEST(StaleTempFiles, OddNames) {
    TestDir dir;
    const std::uint64_t dead = dead_process_id();
    std::vector<std::string> targets{
        "会话 ünïcode.json",
        "with spaces and 'quotes'.json",
        "x.tmp-5.json",  // the target's own name carries the marker
        "vexa-save",     // what an over-long target name becomes
    };
#ifndef _WIN32
    // POSIX names are bytes: invalid UTF-8, control characters, a newline.
    targets.push_back(std::string("bad\xff\xfe\x80-\x01\x1f\nname.json"));
#endif
    for (const auto& t : targets) write_text(dir.path() / path_from_utf8(temp_name(t, dead)), "partial");
    // Lookalikes with the same odd bytes stay.
    const fs::path keep = dir.path() / path_from_utf8(temp_name(targets.front(), dead) + "\x01");
    write_text(keep, "x");

    EXPECT_EQ(remove_stale_temp_files(dir.path()), targets.size());
    for (const auto& t : targets) EXPECT_FALSE(fs::exists(dir.path() / path_from_utf8(temp_name(t, dead)))) << t;
    EXPECT_TRUE(fs::exists(keep));
}

TEST(StaleTempFiles, MissingDirectoryOrFileIsNothing) {
    TestDir dir;
    EXPECT_EQ(remove_stale_temp_files(dir / "absent"), 0u);
    write_text(dir / "plain", "x");
    EXPECT_EQ(remove_stale_temp_files(dir / "plain"), 0u);
    EXPECT_EQ(remove_stale_temp_files(fs::path()), 0u);
}

TEST(StaleTempFiles, OnlyTheGivenDirectory) {
    TestDir dir;
    const fs::path nested = dir / "sub" / temp_name("a.json", dead_process_id());
    fs::create_directories(nested.parent_path());
    write_text(nested, "x");
    EXPECT_EQ(remove_stale_temp_files(dir.path()), 0u);
    EXPECT_TRUE(fs::exists(nested));
}

TEST(StaleTempFiles, ConcurrentSavesOfThisProcessSurviveCleanUp) {
    // Saves on other threads while the clean-up runs repeatedly: every save
    // must succeed, since a live writer's file is never removed.
    TestDir dir;
    std::atomic<bool> failed{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&, t] {
            const std::string payload(64 * 1024, static_cast<char>('a' + t));
            for (int i = 0; i < 100; ++i) {
                if (!write_file_atomic(dir / ("f" + std::to_string(t) + ".json"), payload)) failed = true;
            }
        });
    }
    for (int i = 0; i < 200; ++i) remove_stale_temp_files(dir.path());
    for (auto& w : writers) w.join();
    EXPECT_FALSE(failed.load());
    EXPECT_TRUE(temp_files_in(dir.path()).empty());
}

#ifndef _WIN32
TEST(StaleTempFiles, KilledWriterLeavesItsPidInTheName) {
    // A child saves a large file over and over; killed while a temporary
    // file exists, it leaves one named after it, which the clean-up removes.
    TestDir dir;
    const fs::path target = dir / "big.json";
    const std::regex pattern(R"(^\.big\.json\.tmp-(\d+)-[0-9a-f]{12}$)");
    bool orphan_seen = false;
    for (int attempt = 0; attempt < 20 && !orphan_seen; ++attempt) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const std::string payload(16 * 1024 * 1024, 'x');
            for (int i = 0; i < 1000; ++i) write_file_atomic(target, payload);
            ::_exit(0);
        }
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (temp_files_in(dir.path()).empty() && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        const auto left = temp_files_in(dir.path());
        if (left.empty()) continue;  // the rename won the race; try again
        orphan_seen = true;
        ASSERT_EQ(left.size(), 1u);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(left[0], m, pattern)) << left[0];
        EXPECT_EQ(m[1].str(), std::to_string(child));
        EXPECT_EQ(remove_stale_temp_files(dir.path()), 1u);
        EXPECT_TRUE(temp_files_in(dir.path()).empty());
    }
    EXPECT_TRUE(orphan_seen);
}
#endif

}  // namespace
}  // namespace vexa
