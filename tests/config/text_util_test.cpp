#include "config/text_util.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace vexa {
namespace {

TEST(TrimSpace, StripsExactlyTheSixAsciiSpaceBytes) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"   ", ""},
        {"abc", "abc"},
        {" \t\n\v\f\rabc \t\n\v\f\r", "abc"},
        {"  a b  ", "a b"},
        {"\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0"},  // no-break space is not white space
        {"\xE3\x80\x80中文 ", "\xE3\x80\x80中文"},      // nor is the ideographic space
        {std::string("\0x\0", 3), std::string("\0x\0", 3)},
    };
    for (const auto& c : cases) EXPECT_EQ(trim_space(c.input), c.expected) << "input: " << c.input;
}

TEST(ParseBool, AcceptsTheEightSpellingsAfterTrimmingAndFolding) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"true", true},   {"1", true},      {"yes", true},    {"on", true},   {" TRUE ", true},
        {"Yes\n", true},  {"oN", true},     {"false", false}, {"0", false},   {"no", false},
        {"off", false},   {"\tFALSE", false}, {"Off", false}, {"NO ", false},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parse_bool(text), expected) << "text: " << text;
}

TEST(ParseBool, RejectsEverythingElseWithInvalidBoolean) {
    for (const std::string text : {"", " ", "2", "-1", "y", "n", "truee", "t rue", "enabled", "ＴＲＵＥ", "true\xC2\xA0"}) {
        try {
            parse_bool(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "invalid boolean");
        }
    }
}

TEST(AsciiLower, FoldsOnlyAsciiLetters) {
    EXPECT_EQ(ascii_lower("AbC-XyZ 09"), "abc-xyz 09");
    EXPECT_EQ(ascii_lower("ÄÖÜ É"), "ÄÖÜ É");  // UTF-8 bytes untouched
    EXPECT_EQ(ascii_lower("@[`{"), "@[`{");    // neighbours of the letter ranges
}

}  // namespace
}  // namespace vexa
