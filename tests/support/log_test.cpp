#include "support/log.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

std::string captured(const std::function<void()>& action) {
    ::testing::internal::CaptureStderr();
    action();
    return ::testing::internal::GetCapturedStderr();
}

TEST(LogLine, ExactLineFormat) {
    EXPECT_EQ(captured([] { log_line(LogLevel::WARNING, "disk almost full"); }),
              "[VexaCore][WARNING] disk almost full\n");
    EXPECT_EQ(captured([] { log_line(LogLevel::INFO, "本轮无产出，已整段回滚（含入口 user 消息）。"); }),
              "[VexaCore][INFO] 本轮无产出，已整段回滚（含入口 user 消息）。\n");
    EXPECT_EQ(captured([] { log_line(static_cast<LogLevel>(7), ""); }), "[VexaCore][INFO] \n");
    // The message is passed through as it is, line feeds and all.
    EXPECT_EQ(captured([] { log_line(LogLevel::INFO, "a\nb"); }), "[VexaCore][INFO] a\nb\n");
}

TEST(LogLine, LinesFromManyThreadsNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    const std::string out = captured([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                const std::string message = "thread " + std::to_string(t) + " " + std::string(300, char('a' + t));
                for (int i = 0; i < kLines; ++i) log_line(LogLevel::INFO, message);
            });
        }
        for (auto& t : threads) t.join();
    });
    std::istringstream lines(out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_EQ(line.rfind("[VexaCore][INFO] thread ", 0), 0u) << line.substr(0, 40);
        const int t = line[24] - '0';
        ASSERT_EQ(line, "[VexaCore][INFO] thread " + std::to_string(t) + " " + std::string(300, char('a' + t)));
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace vexa
