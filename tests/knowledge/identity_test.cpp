#include "knowledge/identity.hpp"

#include "support/test_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using test::TestDir;
using test::write_text;

TEST(IdentityTest, BlockKeepsTheLinesOfEmptyFields) {
    Identity id;
    ASSERT_TRUE(id.set_from_json(R"({"name":"Vexa","role":"assistant","capabilities":["search","write"]})"));
    EXPECT_EQ(id.prompt_block(),
              "<identity>\n"
              "Name: Vexa\n"
              "Role: assistant\n"
              "Version: \n"
              "Description: \n"
              "Capabilities:\n"
              "- search\n"
              "- write\n"
              "</identity>\n");
}

TEST(IdentityTest, FullBlockWithoutCapabilities) {
    Identity id;
    ASSERT_TRUE(id.parse(R"({"name":"小助手","role":"r","version":"1.2","description":"d","capabilities":[]})"));
    EXPECT_EQ(id.prompt_block(), "<identity>\nName: 小助手\nRole: r\nVersion: 1.2\nDescription: d\n</identity>\n");
    EXPECT_TRUE(id.capabilities.empty());
}

TEST(IdentityTest, HostJsonWithoutANameFails) {
    Identity id;
    EXPECT_FALSE(id.set_from_json(R"({"role":"helper"})"));
    EXPECT_EQ(id.role, "helper");  // stored all the same
    EXPECT_EQ(id.prompt_block(), "");
    EXPECT_STREQ(kHostIdentityParseError, "Failed to parse identity JSON from host.");
}

struct ParseCase {
    const char* name;
    const char* text;
    bool result;
    std::string expected;  // name|role|version|description|capabilities after parsing over the base
};

std::string describe(const Identity& id) {
    std::string out = id.name + "|" + id.role + "|" + id.version + "|" + id.description + "|";
    for (const auto& c : id.capabilities) out += c + ",";
    return out;
}

TEST(IdentityTest, ParseTable) {
    const std::string base = "N|R|V|D|c1,";
    const std::vector<ParseCase> cases = {
        {"syntax error", "{\"name\":", false, base},
        {"array root", "[\"name\"]", false, base},
        {"null root", "null", false, base},
        {"empty object", "{}", false, "||||"},
        {"name only", R"({"name":"A"})", true, "A||||"},
        {"capabilities as a string are ignored", R"({"name":"A","capabilities":"x"})", true, "A||||"},
        {"a number among the capabilities", R"({"name":"A","capabilities":["x",3,"y"]})", false, "A||||x,"},
        {"wrong type stops, earlier fields stay", R"({"name":"A","role":5,"version":"9"})", false, "A|R|V|D|c1,"},
        {"null name", R"({"name":null})", false, base},
        {"unknown keys ignored", R"({"name":"A","extra":{"x":1}})", true, "A||||"},
    };
    for (const ParseCase& c : cases) {
        Identity id;
        id.name = "N";
        id.role = "R";
        id.version = "V";
        id.description = "D";
        id.capabilities = {"c1"};
        EXPECT_EQ(id.parse(c.text), c.result) << c.name;
        EXPECT_EQ(describe(id), c.expected) << c.name;
    }
}

TEST(IdentityTest, EmptyHostTextClears) {
    Identity id;
    ASSERT_TRUE(id.parse(R"({"name":"A","role":"r","capabilities":["x"]})"));
    id.path = "/somewhere/identity.json";
    EXPECT_TRUE(id.set_from_json(""));
    EXPECT_EQ(describe(id), "||||");
    EXPECT_EQ(id.path, "");
    EXPECT_EQ(id.prompt_block(), "");
}

TEST(IdentityTest, LoadFromTheConfigDirectory) {
    TestDir dir;
    const std::string file = (dir / kIdentityFileName).string();
    Identity id;
    EXPECT_FALSE(id.load(file));  // missing
    EXPECT_EQ(id.path, file);
    EXPECT_EQ(id.prompt_block(), "");

    write_text(file, "");
    id.name = "keep";
    EXPECT_FALSE(id.load(file));  // empty: fields unchanged
    EXPECT_EQ(id.name, "keep");

    write_text(file, R"({"name":"Vexa","role":"assistant","version":"2","description":"Helps.","capabilities":["a"]})");
    EXPECT_TRUE(id.load(file));
    EXPECT_EQ(id.prompt_block(),
              "<identity>\nName: Vexa\nRole: assistant\nVersion: 2\nDescription: Helps.\nCapabilities:\n- a\n</identity>\n");

    // The host replaces it; the path is forgotten.
    EXPECT_TRUE(id.set_from_json(R"({"name":"Host"})"));
    EXPECT_EQ(id.path, "");
    EXPECT_EQ(id.prompt_block(), "<identity>\nName: Host\nRole: \nVersion: \nDescription: \n</identity>\n");

    write_text(file, R"({"role":"no name"})");
    EXPECT_FALSE(id.load(file));
    EXPECT_EQ(id.role, "no name");
    EXPECT_EQ(id.prompt_block(), "");

    EXPECT_FALSE(id.load(dir.path().string()));  // a directory is not a file
}

TEST(SoulTest, Blocks) {
    Soul soul;
    EXPECT_EQ(soul.prompt_block(), "");
    EXPECT_TRUE(soul.set_text("Be kind."));
    EXPECT_EQ(soul.prompt_block(), "<soul>\nBe kind.\n</soul>\n");
    EXPECT_TRUE(soul.set_text("Be kind.\n"));
    EXPECT_EQ(soul.prompt_block(), "<soul>\nBe kind.\n\n</soul>\n");
    EXPECT_FALSE(soul.set_text(""));
    EXPECT_EQ(soul.prompt_block(), "");
}

TEST(SoulTest, LoadFromTheConfigDirectory) {
    TestDir dir;
    const std::string file = (dir / kSoulFileName).string();
    Soul soul;
    soul.text = "keep";
    EXPECT_FALSE(soul.load(file));  // missing: unchanged
    EXPECT_EQ(soul.text, "keep");
    EXPECT_EQ(soul.path, file);

    write_text(file, "# Tone\r\n温和、简洁。\r\n");
    EXPECT_TRUE(soul.load(file));
    EXPECT_EQ(soul.text, "# Tone\r\n温和、简洁。\r\n");  // bytes as they are
    EXPECT_EQ(soul.prompt_block(), "<soul>\n# Tone\r\n温和、简洁。\r\n\n</soul>\n");

    write_text(file, "");
    EXPECT_FALSE(soul.load(file));  // empty: read, but no block
    EXPECT_EQ(soul.text, "");
    EXPECT_EQ(soul.prompt_block(), "");

    soul.path = file;
    EXPECT_TRUE(soul.set_text("host"));
    EXPECT_EQ(soul.path, "");
}

}  // namespace
}  // namespace vexa
