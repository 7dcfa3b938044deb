// Saves killed at random moments: a child process saves sessions and the
// configuration in a loop with growing content and is SIGKILLed after a
// random delay. Every file must then hold the previous or a later complete
// version, and the next start-up must leave no temporary file behind.
// Select with: ctest -R Crash

#include "config/agent_config.hpp"
#include "conversation/conversation_manager.hpp"
#include "conversation/interaction_recorder.hpp"
#include "support/fs_util.hpp"
#include "support/temp_file_names.hpp"
#include "support/test_dir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vexa {
namespace {

namespace fs = std::filesystem;
using test::temp_files_in;
using test::TestDir;

#ifndef _WIN32

constexpr int kSessions = 3;
constexpr int kIterations = 60;
// Fewer only when the time budget runs out first (a slow, instrumented build).
constexpr int kMinIterations = 30;
constexpr auto kTimeBudget = std::chrono::seconds(20);
// A child that is somehow never killed ends by itself.
constexpr auto kChildLifetime = std::chrono::seconds(5);

// The k-th message of session s: its text can be checked from (s, k) alone,
// and the sizes vary so saves differ in length.
std::string message_text(int session, std::size_t k) {
    const std::size_t length = 200 + (k * 397) % 3000;
    std::string text = "s" + std::to_string(session) + "#" + std::to_string(k) + ":";
    while (text.size() < length) text += static_cast<char>('a' + (k + text.size()) % 26);
    return text;
}

// The configuration of generation g: grows with g.
void fill_config(AgentConfig& config, int generation) {
    config.agent.max_conversation_turns = generation;
    config.agent.name = "gen-" + std::to_string(generation);
    config.llm.api_key = std::string(64 + static_cast<std::size_t>(generation) * 48 % 20000, 'k') +
                         std::to_string(generation);
}

// The child's whole life: load the sessions, then append and save each, and
// save the next configuration generation, until killed. Only saves, then _exit.
[[noreturn]] void run_writer(const std::string& sessions_dir, const std::vector<std::string>& ids,
                             const std::string& config_file, int config_generation) {
    std::vector<ConversationManager> conversations(ids.size());
    for (std::size_t s = 0; s < ids.size(); ++s) {
        if (!conversations[s].load(sessions_dir, ids[s])) ::_exit(3);
    }
    // The files are saved in turn; each child starts at a different one, so
    // the kills land in every file's saves, not mostly in the first one's.
    const std::size_t files = conversations.size() + 1;
    std::size_t step = static_cast<std::size_t>(::getpid()) % files;
    const auto stop = std::chrono::steady_clock::now() + kChildLifetime;
    for (; std::chrono::steady_clock::now() < stop; ++step) {
        const std::size_t s = step % files;
        if (s < conversations.size()) {
            ConversationManager& c = conversations[s];
            c.add_user_message(message_text(static_cast<int>(s), c.message_count()));
            if (!c.save(sessions_dir)) ::_exit(4);
        } else {
            AgentConfig config;
            fill_config(config, ++config_generation);
            if (!config.save(config_file)) ::_exit(5);
        }
    }
    ::_exit(0);
}

// Points the process-wide configuration at the test directory; restores it.
class ConfigGuard {
public:
    explicit ConfigGuard(const fs::path& base) {
        auto& config = AgentConfig::instance();
        base_ = config.base_dir;
        dir_ = config.paths.conversations_dir;
        flags_ = config.host_policy_flags;
        config.base_dir = base.string();
        config.paths.conversations_dir = "./data/conversations";
        config.host_policy_flags = 0;
    }
    ~ConfigGuard() {
        auto& config = AgentConfig::instance();
        config.base_dir = base_;
        config.paths.conversations_dir = dir_;
        config.host_policy_flags = flags_;
    }
    ConfigGuard(const ConfigGuard&) = delete;
    ConfigGuard& operator=(const ConfigGuard&) = delete;

private:
    std::string base_, dir_;
    std::uint32_t flags_ = 0;
};

// ---- record files ----------------------------------------------------------

constexpr const char* kRecordSession = "crash-records";
constexpr int kRecordRounds = 30;

std::string request_text(int turn, int k) {
    const std::size_t length = 100 + static_cast<std::size_t>(k * 131 + turn * 17) % 300;
    std::string text = "t" + std::to_string(turn) + "#" + std::to_string(k) + ":";
    while (text.size() < length) text += static_cast<char>('a' + (k + text.size()) % 26);
    return text;
}

// Round `round` of turn `turn`: its request grows by one message a round,
// so the compact form leaves out all but the last.
InteractionRecord crash_record(int turn, int round) {
    InteractionRecord r;
    r.record_id = "t" + std::to_string(turn) + "r" + std::to_string(round);
    r.session_id = kRecordSession;
    r.timestamp = "2024-05-01T10:00:00";
    r.user_turn_index = turn;
    r.round = round;
    r.system_prompt = "sys";
    for (int k = 0; k <= round; ++k) {
        ChatMessage m;
        m.role = k == 0 ? MessageRole::system : MessageRole::user;
        m.content = request_text(turn, k);
        r.messages.push_back(std::move(m));
    }
    r.message.role = MessageRole::assistant;
    r.message.content = "answer " + r.record_id;
    r.success = true;
    return r;
}

// The child: one turn of rounds on the record file, with a clock that
// passes the write interval every other append, until killed.
[[noreturn]] void run_record_writer(const std::string& dir, int turn) {
    std::int64_t ticks = 0;
    InteractionRecorder recorder([&ticks] { return std::chrono::steady_clock::time_point{} + std::chrono::seconds(++ticks); });
    recorder.set_compact(turn % 2 == 0);
    recorder.open(kRecordSession, dir);
    recorder.begin_turn(turn, "turn " + std::to_string(turn));
    for (int round = 1; round <= kRecordRounds; ++round) recorder.append(crash_record(turn, round));
    recorder.flush();
    ::_exit(0);
}

#endif

// Record files written by appends and killed at random moments, in both
// forms: the file on disk is always a complete record file whose records are
// every earlier turn's and a prefix of the killed one's, and it loads back.
TEST(CrashConsistency, KilledRecordWritesLeaveACompleteRecordFile) {
#ifdef _WIN32
    GTEST_SKIP() << "needs fork and SIGKILL";
#else
    TestDir root;
    const fs::path dir = root.path() / "records";
    const fs::path file = dir / (std::string(kRecordSession) + ".json");
    {
        InteractionRecorder recorder;
        recorder.open(kRecordSession, dir.string());
    }
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> delay_us(0, 40000);

    std::size_t count = 0;
    int written_partly = 0;
    constexpr int kTurns = 40;
    for (int turn = 1; turn <= kTurns; ++turn) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) run_record_writer(dir.string(), turn);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        remove_stale_temp_files(dir);
        EXPECT_TRUE(temp_files_in(dir).empty());

        const auto root_json = nlohmann::json::parse(test::read_text(file.string()), nullptr, false);
        ASSERT_TRUE(root_json.is_object()) << "turn " << turn;
        const auto& list = root_json.at("records");
        ASSERT_EQ(root_json.at("record_count").get<std::size_t>(), list.size());
        ASSERT_GE(list.size(), count);
        std::vector<InteractionRecord> records;
        for (const auto& element : list) records.push_back(record_from_json(element));
        ASSERT_TRUE(expand_compact_requests(records)) << "turn " << turn;
        // Turn after turn, each a run of rounds from the first.
        int last_turn = 0;
        int last_round = 0;
        for (const auto& record : records) {
            if (record.user_turn_index != last_turn) {
                ASSERT_GT(record.user_turn_index, last_turn);
                last_turn = record.user_turn_index;
                last_round = 0;
            }
            ASSERT_EQ(record.round, last_round + 1) << record.record_id;
            last_round = record.round;
            const InteractionRecord expected = crash_record(record.user_turn_index, record.round);
            ASSERT_EQ(record.record_id, expected.record_id);
            ASSERT_EQ(record.messages.size(), expected.messages.size()) << record.record_id;
            for (std::size_t k = 0; k < expected.messages.size(); ++k) {
                ASSERT_EQ(record.messages[k].content, expected.messages[k].content) << record.record_id;
            }
        }
        if (last_turn == turn && last_round < kRecordRounds) ++written_partly;
        count = list.size();

        InteractionRecorder loaded;
        loaded.open(kRecordSession, dir.string());
        ASSERT_EQ(loaded.record_count(), count);
    }
    // Nothing was ever found unreadable and moved aside.
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
    std::printf("[ crash    ] %d record writers killed, %d mid-turn, %zu records on disk\n", kTurns, written_partly,
                count);
#endif
}

TEST(CrashConsistency, KilledSavesLeaveOldOrNewFilesAndStartupRemovesTemporaries) {
#ifdef _WIN32
    GTEST_SKIP() << "needs fork and SIGKILL";
#else
    TestDir root;
    ConfigGuard guard(root.path());
    const fs::path sessions = root.path() / "data" / "conversations";
    const fs::path config_dir = root.path() / "config";
    const std::string sessions_dir = sessions.string();
    const std::string config_file = (config_dir / "agent_config.json").string();

    // Version 0 of everything.
    std::vector<std::string> ids;
    std::vector<std::size_t> counts;
    for (int s = 0; s < kSessions; ++s) {
        ConversationManager c;
        c.add_user_message(message_text(s, 0));
        ASSERT_TRUE(c.save(sessions_dir));
        ids.push_back(c.session_id());
        counts.push_back(1);
    }
    int config_generation = 0;
    {
        AgentConfig config;
        fill_config(config, config_generation);
        ASSERT_TRUE(config.save(config_file));
    }

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> delay_us(0, 30000);

    const auto start = std::chrono::steady_clock::now();
    int iterations = 0;
    int orphans = 0;
    for (; iterations < kIterations; ++iterations) {
        if (std::chrono::steady_clock::now() - start > kTimeBudget) break;

        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) run_writer(sessions_dir, ids, config_file, config_generation);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        // Killed, or finished its writes early: a non-zero exit is a failed save.
        ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << "writer exit status " << status;

        // Whatever was left mid-write is named after the killed writer.
        const std::regex own_temp("^\\..+\\.tmp-" + std::to_string(child) + "-[0-9a-f]{12}$");
        for (const fs::path& dir : {sessions, config_dir}) {
            for (const auto& name : temp_files_in(dir)) {
                EXPECT_TRUE(std::regex_match(name, own_temp)) << name;
                ++orphans;
            }
        }

        // The next start-up: the configuration is loaded, then the agent
        // clears the conversations directory of dead writers' files.
        AgentConfig loaded;
        ASSERT_TRUE(loaded.load(config_file)) << "iteration " << iterations;
        remove_stale_session_files();
        EXPECT_TRUE(temp_files_in(sessions).empty()) << "iteration " << iterations;
        EXPECT_TRUE(temp_files_in(config_dir).empty()) << "iteration " << iterations;

        // The configuration: one complete generation, the old one or later.
        ASSERT_GE(loaded.agent.max_conversation_turns, config_generation);
        AgentConfig expected;
        fill_config(expected, loaded.agent.max_conversation_turns);
        ASSERT_EQ(loaded.agent.name, expected.agent.name);
        ASSERT_EQ(loaded.llm.api_key, expected.llm.api_key);
        ASSERT_FALSE(nlohmann::json::parse(test::read_text(config_file), nullptr, false).is_discarded());
        config_generation = loaded.agent.max_conversation_turns;

        // Each session: loads, and holds the old messages or more, all intact.
        for (int s = 0; s < kSessions; ++s) {
            ConversationManager c;
            ASSERT_TRUE(c.load(sessions_dir, ids[s])) << "session " << s << ", iteration " << iterations;
            ASSERT_EQ(c.session_id(), ids[s]);
            ASSERT_GE(c.message_count(), counts[s]);
            for (std::size_t k = 0; k < c.message_count(); ++k) {
                ASSERT_EQ(c.messages()[k].content, message_text(s, k)) << "session " << s << ", message " << k;
            }
            counts[s] = c.message_count();
        }
        EXPECT_EQ(ConversationManager::list_sessions(sessions_dir).size(), static_cast<std::size_t>(kSessions));
    }

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    RecordProperty("iterations", iterations);
    RecordProperty("orphans", orphans);
    std::printf("[ crash    ] %d kills in %.1f s, %d temporary file(s) left and cleaned, sessions at %zu/%zu/%zu "
                "messages, configuration generation %d\n",
                iterations, seconds, orphans, counts[0], counts[1], counts[2], config_generation);
    EXPECT_GE(iterations, kMinIterations);
    // Without a single interrupted write the clean-up was never exercised.
    EXPECT_GT(orphans, 0);
#endif
}

}  // namespace
}  // namespace vexa
