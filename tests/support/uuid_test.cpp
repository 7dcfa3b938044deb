#include "support/uuid.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

TEST(Uuid, Version4LowerCaseFormat) {
    const std::regex dashed("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    const std::regex plain("^[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}$");
    for (int i = 0; i < 200; ++i) {
        EXPECT_TRUE(std::regex_match(generate_uuid(), dashed));
        EXPECT_TRUE(std::regex_match(generate_uuid32(), plain));
    }
}

TEST(Uuid, UniqueAcrossThreads) {
    std::mutex mutex;
    std::set<std::string> seen;
    std::vector<std::thread> threads;
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            std::vector<std::string> local;
            for (int i = 0; i < kEach; ++i) local.push_back(i % 2 ? generate_uuid() : generate_uuid32());
            std::lock_guard<std::mutex> lock(mutex);
            seen.insert(local.begin(), local.end());
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace vexa
