#include "support/timing.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <thread>
#include <vector>

namespace vexa {
namespace {

class TimingTest : public ::testing::Test {
protected:
    void SetUp() override { TimingRegistry::instance().set_enabled(true); }
    void TearDown() override { TimingRegistry::instance().set_enabled(true); }
};

TEST_F(TimingTest, RecordsCountTotalMinMaxLast) {
    auto& registry = TimingRegistry::instance();
    registry.record("test.record", 5);
    registry.record("test.record", 9);
    const auto stat = registry.stat("test.record");
    ASSERT_TRUE(stat.has_value());
    EXPECT_EQ(stat->name, "test.record");
    EXPECT_EQ(stat->count, 2);
    EXPECT_EQ(stat->total_ms, 14);
    EXPECT_EQ(stat->min_ms, 5);
    EXPECT_EQ(stat->max_ms, 9);
    EXPECT_EQ(stat->last_ms, 9);
    EXPECT_EQ(registry.snapshot().count("test.record"), 1u);
}

TEST_F(TimingTest, FreshEntryStartsAtTheDocumentedValues) {
    const TimingStat fresh;
    EXPECT_EQ(fresh.count, 0);
    EXPECT_EQ(fresh.total_ms, 0);
    EXPECT_EQ(fresh.min_ms, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(fresh.max_ms, 0);
    EXPECT_EQ(fresh.last_ms, 0);
}

TEST_F(TimingTest, ScopedTimerMeasuresItsScope) {
    {
        ScopedTimer timer("test.scoped");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto stat = TimingRegistry::instance().stat("test.scoped");
    ASSERT_TRUE(stat.has_value());
    EXPECT_EQ(stat->count, 1);
    EXPECT_GE(stat->last_ms, 20);
    EXPECT_LT(stat->last_ms, 10000);
}

TEST_F(TimingTest, DisabledRegistryRecordsNothing) {
    auto& registry = TimingRegistry::instance();
    registry.set_enabled(false);
    EXPECT_FALSE(registry.enabled());
    { ScopedTimer timer("test.disabled"); }
    registry.record("test.disabled", 3);
    EXPECT_FALSE(registry.stat("test.disabled").has_value());
    registry.set_enabled(true);
    { ScopedTimer timer("test.disabled"); }
    EXPECT_EQ(registry.stat("test.disabled")->count, 1);
}

TEST_F(TimingTest, ConcurrentTimersAllCount) {
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kEach; ++i) ScopedTimer timer("test.concurrent");
        });
    }
    // Toggling while timers run must be safe (read without the lock).
    TimingRegistry::instance().set_enabled(true);
    for (auto& t : threads) t.join();
    EXPECT_EQ(TimingRegistry::instance().stat("test.concurrent")->count, kThreads * kEach);
}

}  // namespace
}  // namespace vexa
