#include "config/json_util.hpp"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using nlohmann::json;

TEST(DumpJson, WritesRawUtf8SortedKeysAndTheRequestedIndent) {
    const json value = {{"zeta", 1}, {"alpha", "中文"}, {"Beta", {1.5, true, nullptr}}};
    EXPECT_EQ(dump_json(value, -1), R"({"Beta":[1.5,true,null],"alpha":"中文","zeta":1})");
    EXPECT_EQ(dump_json(json{{"a", 1}}, 2), "{\n  \"a\": 1\n}");
    EXPECT_EQ(dump_json(json{{"a", 1}}, 0), "{\n\"a\": 1\n}");
    EXPECT_EQ(try_dump_json(json::array(), -1), "[]");
}

TEST(DumpJson, RepairsInvalidUtf8InNestedStringValues) {
    const json value = {
        {"n", 7},
        {"outer", {{"list", {"ok", "bad\xFF", {{"deep", "\xD6\xD0\xCE\xC4"}}}}}},
    };
    const auto text = try_dump_json(value, -1);
    ASSERT_TRUE(text.has_value());
    const json back = json::parse(*text);
    EXPECT_EQ(back["n"], 7);
    EXPECT_EQ(back["outer"]["list"][0], "ok");
    EXPECT_EQ(back["outer"]["list"][1], "bad\xEF\xBF\xBD");
    EXPECT_EQ(back["outer"]["list"][2]["deep"], "中文");
    // The caller's value is not touched.
    EXPECT_EQ(value["outer"]["list"][1], "bad\xFF");
}

TEST(DumpJson, InvalidKeysAreNotRepaired) {
    const json value = {{"bad\xFF", "x"}};
    EXPECT_FALSE(try_dump_json(value, 4).has_value());
    EXPECT_EQ(dump_json(value, 4), "{}");
}

}  // namespace
}  // namespace vexa
