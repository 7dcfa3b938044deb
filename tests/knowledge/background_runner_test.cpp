#include "knowledge/background_runner.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vexa {
namespace {

// A gate the test opens when the job may finish.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

TEST(BackgroundRunnerTest, RunsTheJobAndThenTheFinish) {
    BackgroundRunner runner;
    EXPECT_FALSE(runner.running());
    runner.join();  // nothing to wait for
    std::vector<std::string> log;  // written on the job's thread, read after join
    ASSERT_TRUE(runner.start([&] { log.push_back("job"); }, [&] { log.push_back("finish"); }));
    runner.join();
    EXPECT_FALSE(runner.running());
    EXPECT_EQ(log, (std::vector<std::string>{"job", "finish"}));
}

TEST(BackgroundRunnerTest, AStartWhileRunningStartsNothing) {
    BackgroundRunner runner;
    Gate gate;
    std::atomic<int> runs{0};
    ASSERT_TRUE(runner.start([&] {
        ++runs;
        gate.wait();
    }));
    EXPECT_TRUE(runner.running());
    EXPECT_FALSE(runner.start([&] { runs += 100; }));
    gate.open();
    runner.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(runner.running());

    // Finished: the next start goes ahead (and joins the old thread first).
    ASSERT_TRUE(runner.start([&] { ++runs; }));
    runner.join();
    EXPECT_EQ(runs.load(), 2);
}

TEST(BackgroundRunnerTest, ThrowingJobsStillFinish) {
    BackgroundRunner runner;
    int finished = 0;
    ASSERT_TRUE(runner.start([] { throw std::runtime_error("boom"); }, [&] { ++finished; }));
    runner.join();
    ASSERT_TRUE(runner.start([] { throw 42; }, [&] { ++finished; }));
    runner.join();
    EXPECT_EQ(finished, 2);
    EXPECT_FALSE(runner.running());
}

TEST(BackgroundRunnerTest, RunningStaysTrueUntilTheFinishIsDone) {
    BackgroundRunner runner;
    std::atomic<bool> seen_running_in_finish{false};
    ASSERT_TRUE(runner.start([] {}, [&] { seen_running_in_finish = runner.running(); }));
    runner.join();
    EXPECT_TRUE(seen_running_in_finish.load());
}

TEST(BackgroundRunnerTest, JoinFromTheJobItselfFails) {
    BackgroundRunner runner;
    std::errc error{};
    ASSERT_TRUE(runner.start([&] {
        try {
            runner.join();
        } catch (const std::system_error& e) {
            error = static_cast<std::errc>(e.code().value());
        }
    }));
    // The job may still be inside join(); it holds no lock once it has thrown.
    while (runner.running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    runner.join();
    EXPECT_EQ(error, std::errc::resource_deadlock_would_occur);
}

TEST(BackgroundRunnerTest, DestructionWaitsForTheJob) {
    std::atomic<bool> done{false};
    {
        BackgroundRunner runner;
        ASSERT_TRUE(runner.start([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            done = true;
        }));
    }
    EXPECT_TRUE(done.load());
}

// The agent's use: a turn thread that starts a job every few turns while the
// job resets a counter; plain data handed from job to starter must be ordered
// by the runner (the thread sanitizer checks that).
TEST(BackgroundRunnerConcurrencyTest, OneJobAtATimeUnderContendedStarts) {
    BackgroundRunner runner;
    std::atomic<int> active{0};
    std::atomic<int> max_active{0};
    std::atomic<int> started{0};
    std::atomic<int> executed{0};
    int handed_over = 0;  // plain: written by a job, read by the next one
    std::vector<std::thread> starters;
    for (int t = 0; t < 4; ++t) {
        starters.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                const bool ok = runner.start(
                    [&] {
                        const int now = ++active;
                        int seen = max_active.load();
                        while (now > seen && !max_active.compare_exchange_weak(seen, now)) {
                        }
                        ++handed_over;
                        ++executed;
                        --active;
                    },
                    [&] { ++handed_over; });
                if (ok) ++started;
                std::this_thread::yield();
            }
        });
    }
    for (auto& t : starters) t.join();
    runner.join();
    EXPECT_GE(started.load(), 1);
    EXPECT_EQ(executed.load(), started.load());
    EXPECT_EQ(max_active.load(), 1);
    EXPECT_EQ(handed_over, 2 * started.load());
    EXPECT_FALSE(runner.running());
}

TEST(BackgroundRunnerConcurrencyTest, CounterResetByTheJobAndTurnsOnTheCallerThread) {
    // Modelled on the agent: every completed turn counts; at three a job starts
    // unless one runs; the job resets the count when it ends.
    BackgroundRunner runner;
    std::atomic<int> completed_turns{0};
    std::atomic<int> jobs{0};
    for (int turn = 0; turn < 300; ++turn) {
        ++completed_turns;
        if (!runner.running() && completed_turns.load() >= 3) {
            if (runner.start([&] { ++jobs; }, [&] { completed_turns = 0; })) continue;
        }
    }
    runner.join();
    EXPECT_GE(jobs.load(), 1);
    EXPECT_FALSE(runner.running());
}

}  // namespace
}  // namespace vexa
