#include "api/ensure_utf8.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vexa {
namespace {

// Independent check: nlohmann's strict serialiser refuses malformed UTF-8,
// including overlong forms and surrogates.
bool strictly_valid(const std::string& text) {
    try {
        nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

// UTF-8 text as it looks after being misread as Latin-1 and encoded again.
std::string misread_as_latin1(const std::string& bytes) {
    std::string out;
    for (unsigned char b : bytes) {
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back(static_cast<char>(0xC0 | (b >> 6)));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}

struct Case {
    const char* what;
    std::string input;
    std::string expected;
};

TEST(EnsureUtf8, RepairsOrKeepsTexts) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<Case> cases = {
        {"empty", "", ""},
        {"ascii", "hello, world", "hello, world"},
        {"chinese UTF-8", "你好，世界", "你好，世界"},
        {"emoji", "ok 😀", "ok 😀"},
        {"three Latin-1 letters in a row are not suspect", "ÄÖÜ", "ÄÖÜ"},
        {"Latin-1 letters separated by ASCII are not suspect", "Grüße aus Köln, Ärger, Öl", "Grüße aus Köln, Ärger, Öl"},
        {"GBK text", "\xD6\xD0\xCE\xC4", "中文"},
        {"GBK message", "\xB4\xED\xCE\xF3\xA3\xBA\xCE\xC4\xBC\xFE\xB2\xBB\xB4\xE6\xD4\xDA", "错误：文件不存在"},
        {"GB18030 four-byte sequence", "smile \x94\x39\xFC\x36", "smile 😀"},
        {"stray 0xFF", "abc\xFF" "def", "abc" + fffd + "def"},
        {"lone 0xFF", "\xFF", fffd},
        {"stray 0x80 before text", "\x80" "abc", fffd + "abc"},
        {"valid UTF-8 around a stray byte", "中文\xFF", "中文" + fffd},
        {"lead byte cut off at the end", "ab\xE4", "ab" + fffd},
        // Malformed sequences of well-formed shape become one U+FFFD per byte,
        // so the result is always valid UTF-8.
        {"surrogate", "\xED\xA0\x80\xFF", fffd + fffd + fffd + fffd},
        {"overlong", "\xE0\x80\x80\xFF", fffd + fffd + fffd + fffd},
        {"above U+10FFFF", "\xF4\x90\x80\x80\xFF", fffd + fffd + fffd + fffd + fffd},
        {"UTF-8 misread as Latin-1", misread_as_latin1("你好世界"), "你好世界"},
        {"UTF-8 misread as Latin-1, with ASCII", misread_as_latin1("中文测试 ok 你好世界"), "中文测试 ok 你好世界"},
        {"GBK misread as Latin-1", misread_as_latin1("\xD6\xD0\xCE\xC4\xB2\xE2\xCA\xD4"), "中文测试"},
    };
    for (const auto& c : cases) {
        const std::string out = ensure_utf8(c.input);
        EXPECT_EQ(out, c.expected) << c.what;
        EXPECT_TRUE(strictly_valid(out)) << c.what;
    }
}

TEST(EnsureUtf8, DoubleEncodingThresholds) {
    // Four 0xC2/0xC3 sequences in a row and a clear majority make a text suspect;
    // its folded form that is not UTF-8 and not GB18030 stays as it was.
    const std::string four = "\xC3\xBF\xC3\xBF\xC3\xBF\xC3\xBF";  // "ÿÿÿÿ" folds to FF FF FF FF
    EXPECT_EQ(ensure_utf8(four), four);
    // With many other non-ASCII characters the Latin-1 share stays under 60 %.
    const std::string mixed = misread_as_latin1("你好") + "一二三四五六七八九十";
    EXPECT_EQ(ensure_utf8(mixed), mixed);
}

TEST(EnsureUtf8, AnyByteStringComesOutValid) {
    std::mt19937 engine(12345);
    std::uniform_int_distribution<int> length(0, 24);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < 5000; ++i) {
        std::string input(static_cast<std::size_t>(length(engine)), '\0');
        for (char& c : input) c = static_cast<char>(byte(engine));
        const std::string out = ensure_utf8(input);
        ASSERT_TRUE(strictly_valid(out)) << "input #" << i;
        if (strictly_valid(input) && input.find_first_of("\xC2\xC3") == std::string::npos) {
            EXPECT_EQ(out, input);
        }
    }
}

}  // namespace
}  // namespace vexa
