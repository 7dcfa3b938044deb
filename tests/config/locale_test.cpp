// Files and texts the library writes must not depend on the host's locale: a
// host running with decimal commas gets the same configuration and JSON.

#include "config/agent_config.hpp"
#include "config/json_util.hpp"

#include "support/test_dir.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <locale>
#include <sstream>
#include <string>

namespace vexa {
namespace {

namespace fs = std::filesystem;

struct CommaPunct : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

class DecimalCommaLocale : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
#ifndef _WIN32
        // No German locale is installed on a bare system; compile one into a
        // private directory when the locale sources are there.
        if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
            locales_ = new test::TestDir;
            const std::string command = "localedef -i de_DE -f UTF-8 '" + (locales_->path() / "de_DE.UTF-8").string() +
                                        "' >/dev/null 2>&1";
            if (std::system(command.c_str()) == 0) {
                ::setenv("LOCPATH", locales_->path().c_str(), 1);
            }
        }
        std::setlocale(LC_ALL, "C");
#endif
    }
    static void TearDownTestSuite() {
        delete locales_;
        locales_ = nullptr;
    }

    void SetUp() override {
        c_locale_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        std::locale::global(std::locale(std::locale::classic(), new CommaPunct));
    }
    void TearDown() override {
        std::locale::global(std::locale::classic());
        std::setlocale(LC_ALL, "C");
    }

    bool c_locale_ = false;
    static inline test::TestDir* locales_ = nullptr;
};

TEST_F(DecimalCommaLocale, ConfigurationAndJsonKeepDecimalPoints) {
    // The environment is really hostile: C++ streams (and C formatting when a
    // German locale could be made) write decimal commas.
    std::ostringstream stream;
    stream << 1.5;
    ASSERT_EQ(stream.str(), "1,5");
    if (c_locale_) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%.1f", 1.5);
        ASSERT_STREQ(buffer, "1,5");
    } else {
        std::printf("note: no decimal-comma C locale available; only the C++ locale is switched\n");
    }

    test::TestDir dir;
    const fs::path file = dir / "agent_config.json";
    test::write_text(file, R"({"llm":{"temperature":0.75,"max_tokens":1234.9}})");
    AgentConfig config;
    ASSERT_TRUE(config.load(file.string()));
    EXPECT_EQ(config.llm.temperature, 0.75);
    EXPECT_EQ(config.llm.max_tokens, 1234);

    config.agent.max_parallel_tasks = 12345;
    ASSERT_TRUE(config.save(file.string()));
    const std::string text = test::read_text(file);
    EXPECT_NE(text.find("\"temperature\": 0.75"), std::string::npos) << text;
    EXPECT_NE(text.find("\"max_parallel_tasks\": 12345"), std::string::npos) << text;

    EXPECT_EQ(dump_json(nlohmann::json{{"x", 2.5}, {"n", 1000000}}, -1), R"({"n":1000000,"x":2.5})");
    EXPECT_EQ(nlohmann::json::parse("[3.25]")[0].get<double>(), 3.25);
}

}  // namespace
}  // namespace vexa
