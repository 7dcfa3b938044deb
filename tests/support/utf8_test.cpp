#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace vexa {
namespace {

TEST(Utf8Bytes, ClassifiesLeadAndContinuationBytes) {
    struct Case {
        unsigned char byte;
        bool continuation;
        std::size_t announced;
        std::size_t lead;
    };
    const std::vector<Case> cases = {
        {0x00, false, 1, 1}, {0x7F, false, 1, 1},  // ASCII
        {0x80, true, 0, 0},  {0xBF, true, 0, 0},   // continuation bytes lead nothing
        {0xC0, false, 2, 0}, {0xC1, false, 2, 0},  // only ever overlong
        {0xC2, false, 2, 2}, {0xDF, false, 2, 2},  //
        {0xE0, false, 3, 3}, {0xED, false, 3, 3}, {0xEF, false, 3, 3},  //
        {0xF0, false, 4, 4}, {0xF4, false, 4, 4},  //
        {0xF5, false, 4, 0}, {0xF7, false, 4, 0},  // above U+10FFFF
        {0xF8, false, 0, 0}, {0xFF, false, 0, 0},  // no UTF-8 pattern at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.byte));
        EXPECT_EQ(utf8_is_continuation(c.byte), c.continuation);
        EXPECT_EQ(utf8_announced_length(c.byte), c.announced);
        EXPECT_EQ(utf8_lead_length(c.byte), c.lead);
    }
}

TEST(Utf8Bytes, NarrowsTheSecondByteAfterTheSpecialLeads) {
    struct Case {
        unsigned char lead;
        std::size_t k;
        unsigned char byte;
        bool ok;
    };
    const std::vector<Case> cases = {
        {0xC2, 1, 0x80, true},  {0xC2, 1, 0x7F, false}, {0xC2, 1, 0xC0, false},  // plain range 80..BF
        {0xE0, 1, 0x9F, false}, {0xE0, 1, 0xA0, true},                           // overlong below A0
        {0xED, 1, 0x9F, true},  {0xED, 1, 0xA0, false},                          // surrogates from A0
        {0xF0, 1, 0x8F, false}, {0xF0, 1, 0x90, true},                           // overlong below 90
        {0xF4, 1, 0x8F, true},  {0xF4, 1, 0x90, false},                          // above U+10FFFF from 90
        {0xE0, 2, 0x80, true},  {0xF4, 3, 0xBF, true},  {0xED, 2, 0xC0, false},  // later bytes: 80..BF
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.lead) * 1000 + static_cast<int>(c.k));
        EXPECT_EQ(utf8_continuation_ok(c.lead, c.k, c.byte), c.ok) << static_cast<int>(c.byte);
    }
}

TEST(Utf8Sequence, LengthOfTheWellFormedSequenceOrZero) {
    struct Case {
        const char* what;
        std::string text;
        std::size_t pos;
        std::size_t length;
    };
    const std::vector<Case> cases = {
        {"ASCII", "A", 0, 1},
        {"two bytes", "\xC2\xA9", 0, 2},
        {"three bytes", "\xE4\xB8\xAD", 0, 3},
        {"four bytes", "\xF0\x9F\x98\x80", 0, 4},
        {"U+10FFFF", "\xF4\x8F\xBF\xBF", 0, 4},
        {"last before surrogates", "\xED\x9F\xBF", 0, 3},
        {"at an offset", "a\xE4\xB8\xAD", 1, 3},
        {"overlong two bytes", "\xC0\xAF", 0, 0},
        {"overlong three bytes", "\xE0\x80\xAF", 0, 0},
        {"overlong four bytes", "\xF0\x8F\xBF\xBF", 0, 0},
        {"surrogate", "\xED\xA0\x80", 0, 0},
        {"above U+10FFFF", "\xF4\x90\x80\x80", 0, 0},
        {"lead above F4", "\xF5\x80\x80\x80", 0, 0},
        {"truncated three bytes", "\xE4\xB8", 0, 0},
        {"truncated four bytes", "\xF0\x9F\x98", 0, 0},
        {"bad third byte", "\xE4\xB8" "A", 0, 0},
        {"lone continuation", "\x80", 0, 0},
        {"FF", "\xFF", 0, 0},
        {"past the end", "A", 1, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_sequence_length(c.text, c.pos), c.length) << c.what;
        if (c.pos == 0) {
            EXPECT_EQ(is_valid_utf8(c.text), c.length == c.text.size()) << c.what;
        }
    }
}

TEST(Utf8Sequence, ValidatesWholeTexts) {
    EXPECT_TRUE(is_valid_utf8(""));
    EXPECT_TRUE(is_valid_utf8("plain ASCII"));
    EXPECT_TRUE(is_valid_utf8("a\xC2\xA9 \xE4\xB8\xAD\xF0\x9F\x98\x80z"));
    EXPECT_TRUE(is_valid_utf8(std::string("\0x", 2)));
    EXPECT_FALSE(is_valid_utf8("ok until \xED\xA0\x80"));
    EXPECT_FALSE(is_valid_utf8("cut short \xE4\xB8"));
    EXPECT_FALSE(is_valid_utf8("\xC2\xA9\xA9"));
}

TEST(Utf8Cut, MovesBackToTheStartOfTheCharacter) {
    // "a中b": 'a' at 0, the three bytes of 中 at 1..3, 'b' at 4.
    const std::string text = "a\xE4\xB8\xAD" "b";
    const std::vector<std::pair<std::size_t, std::size_t>> cases = {
        {0, 0}, {1, 1}, {2, 1}, {3, 1}, {4, 4}, {5, 5}, {99, 5},
    };
    for (const auto& [pos, cut] : cases) EXPECT_EQ(utf8_cut_position(text, pos), cut) << "pos " << pos;

    const std::string emoji = "\xF0\x9F\x98\x80x";
    EXPECT_EQ(utf8_cut_position(emoji, 3), 0u);
    EXPECT_EQ(utf8_cut_position(emoji, 4), 4u);
    // More than three continuation bytes in a row are no character: keep the cut.
    EXPECT_EQ(utf8_cut_position("a\x80\x80\x80\x80", 4), 4u);
}

TEST(Utf8Cut, ShortensOnACharacterBoundary) {
    EXPECT_EQ(shorten_utf8("", 0), "");
    EXPECT_EQ(shorten_utf8("abc", 3), "abc");
    EXPECT_EQ(shorten_utf8("abcd", 3), "abc...");
    EXPECT_EQ(shorten_utf8("a\xE4\xB8\xAD" "b", 2), "a...");
    EXPECT_EQ(shorten_utf8("a\xE4\xB8\xAD" "b", 4), "a\xE4\xB8\xAD...");
    EXPECT_EQ(shorten_utf8("\xE4\xB8\xAD", 0), "...");
}

}  // namespace
}  // namespace vexa
