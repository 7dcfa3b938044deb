#include "knowledge/memory_store.hpp"

#include "support/test_dir.hpp"
#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using test::read_text;
using test::TestDir;
using test::write_text;

MemoryEntry entry(std::string id, std::string category, std::string title, std::string content,
                  std::string created_at = "2026-01-01T00:00:00", std::string updated_at = "") {
    MemoryEntry e;
    e.id = std::move(id);
    e.category = std::move(category);
    e.title = std::move(title);
    e.content = std::move(content);
    e.created_at = std::move(created_at);
    e.updated_at = updated_at.empty() ? e.created_at : std::move(updated_at);
    return e;
}

std::vector<std::string> ids_of(const std::vector<MemoryEntry>& entries) {
    std::vector<std::string> ids;
    for (const auto& e : entries) ids.push_back(e.id);
    return ids;
}

std::vector<std::string> ids_of(const MemoryStore& store) {
    std::vector<std::string> ids;
    for (const auto& [id, e] : store.entries()) ids.push_back(id);
    return ids;
}

MemoryStore fixed_clock_store(const std::string& stamp = "2026-12-08T21:30:05") {
    MemoryStore store;
    store.set_clock([stamp] { return stamp; });
    return store;
}

// --- blocks ---------------------------------------------------------------

TEST(MemoryStoreTest, EmptyStoreBlocks) {
    MemoryStore store;
    EXPECT_EQ(store.overview_block(), "<memory_overview>\nNo memories stored.\n</memory_overview>\n");
    EXPECT_EQ(store.summary_line(), "Memory Store: 0 entries");
}

TEST(MemoryStoreTest, SmallStoreBlocks) {
    MemoryStore store;
    store.insert(entry("b", "learned_fact", "Project", "Uses CMake", "2026-01-01T10:00:00"));
    store.insert(entry("a", "user_info", "Name", "Alice", "2026-01-01T09:00:00", "2026-01-02T09:00:00"));
    store.insert(entry("c", "learned_fact", "OS", "Debian 12", "2026-01-01T11:00:00"));
    store.insert(entry("d", "learned_fact", "Editor", "", "2026-01-01T08:00:00"));
    EXPECT_EQ(store.overview_block(),
              "<memory_overview>\n"
              "Total memories: 4\n"
              "Categories: learned_fact (3), user_info (1)\n"
              "\n"
              "- [user_info] Name: Alice\n"
              "- [learned_fact] OS: Debian 12\n"
              "- [learned_fact] Project: Uses CMake\n"
              "- [learned_fact] Editor: \n"
              "</memory_overview>\n");
    EXPECT_EQ(store.summary_line(), "Memory Store: 4 entries (learned_fact: 3, user_info: 1)");
}

TEST(MemoryStoreTest, TwentyFiveEntriesShowTheTwentyNewest) {
    MemoryStore store;
    char buffer[64];
    for (int i = 1; i <= 25; ++i) {
        // Ids run against time, so the order shown is not the id order.
        std::snprintf(buffer, sizeof buffer, "id%02d", 30 - i);
        const std::string id = buffer;
        std::snprintf(buffer, sizeof buffer, "2026-03-01T12:00:%02d", i);
        const std::string stamp = buffer;
        std::snprintf(buffer, sizeof buffer, "%02d", i);
        store.insert(entry(id, i <= 5 ? "user_info" : "learned_fact", std::string("t") + buffer,
                           std::string("c") + buffer, stamp));
    }
    EXPECT_EQ(store.overview_block(),
              "<memory_overview>\n"
              "Total memories: 25\n"
              "Categories: learned_fact (20), user_info (5)\n"
              "\n"
              "- [learned_fact] t25: c25\n"
              "- [learned_fact] t24: c24\n"
              "- [learned_fact] t23: c23\n"
              "- [learned_fact] t22: c22\n"
              "- [learned_fact] t21: c21\n"
              "- [learned_fact] t20: c20\n"
              "- [learned_fact] t19: c19\n"
              "- [learned_fact] t18: c18\n"
              "- [learned_fact] t17: c17\n"
              "- [learned_fact] t16: c16\n"
              "- [learned_fact] t15: c15\n"
              "- [learned_fact] t14: c14\n"
              "- [learned_fact] t13: c13\n"
              "- [learned_fact] t12: c12\n"
              "- [learned_fact] t11: c11\n"
              "- [learned_fact] t10: c10\n"
              "- [learned_fact] t09: c09\n"
              "- [learned_fact] t08: c08\n"
              "- [learned_fact] t07: c07\n"
              "- [learned_fact] t06: c06\n"
              "</memory_overview>\n");
    EXPECT_EQ(store.summary_line(), "Memory Store: 25 entries (learned_fact: 20, user_info: 5)");
}

TEST(MemoryStoreTest, OverviewShortensContentAtCharacterBoundaries) {
    const std::string ascii250(250, 'x');
    const std::string ascii200(200, 'y');
    std::string chinese;
    for (int i = 0; i < 70; ++i) chinese += "中";  // 210 bytes
    MemoryStore store;
    store.insert(entry("1", "k", "long", ascii250, "2026-01-01T00:00:03"));
    store.insert(entry("2", "k", "exact", ascii200, "2026-01-01T00:00:02"));
    store.insert(entry("3", "k", "zh", chinese, "2026-01-01T00:00:01"));
    std::string zh198;
    for (int i = 0; i < 66; ++i) zh198 += "中";
    EXPECT_EQ(store.overview_block(), "<memory_overview>\nTotal memories: 3\nCategories: k (3)\n\n- [k] long: " +
                                          std::string(200, 'x') + "...\n- [k] exact: " + ascii200 + "\n- [k] zh: " +
                                          zh198 + "...\n</memory_overview>\n");
}

TEST(MemoryStoreTest, ShortenForPrompt) {
    struct Case {
        std::string text;
        std::size_t limit;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"", 5, ""},
        {"abcde", 5, "abcde"},
        {"abcdef", 5, "abcde..."},
        {"ab中", 4, "ab..."},                 // byte 4 is inside 中: back to its start
        {"ab中", 5, "ab中"},                  // fits
        {"中文", 3, "中..."},                  // byte 3 starts 文
        {"中文", 2, "\xE4\xB8..."},            // the cut would leave nothing: made at the limit
        {"\xF0\x9F\x98\x80z", 3, "\xF0\x9F\x98..."},  // same with a 4-byte character
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shorten_for_prompt(c.text, c.limit), c.shown) << c.text << " / " << c.limit;
    }
}

// --- changes -------------------------------------------------------------

TEST(MemoryStoreTest, AddMakesVersionFourIdsAndStampsInTheSameSecond) {
    MemoryStore store = fixed_clock_store();
    const std::string a = store.add("user_info", "Name", "Alice");
    const std::string b = store.add("user_info", "City", "Paris");
    EXPECT_NE(a, b);
    const std::regex uuid("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    EXPECT_TRUE(std::regex_match(a, uuid)) << a;
    EXPECT_TRUE(std::regex_match(b, uuid)) << b;
    const MemoryEntry* ea = store.find(a);
    const MemoryEntry* eb = store.find(b);
    ASSERT_TRUE(ea && eb);
    EXPECT_EQ(ea->created_at, "2026-12-08T21:30:05");
    EXPECT_EQ(ea->created_at, eb->created_at);
    EXPECT_EQ(ea->updated_at, ea->created_at);
    EXPECT_EQ(ea->created_origin, "user_initiated");
    EXPECT_EQ(ea->last_modified_origin, "user_initiated");
    EXPECT_EQ(ea->category, "user_info");
    EXPECT_EQ(store.size(), 2u);
}

TEST(MemoryStoreTest, RealClockStampsHaveTheLocalForm) {
    MemoryStore store;
    const std::string id = store.add("c", "t", "x");
    EXPECT_TRUE(std::regex_match(store.find(id)->created_at, std::regex(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}$)")));
}

TEST(MemoryStoreTest, UpdateSetOriginRemove) {
    MemoryStore store = fixed_clock_store("2026-01-01T00:00:00");
    const std::string id = store.add("c", "t", "x");
    store.set_clock([] { return std::string("2026-01-02T00:00:00"); });

    EXPECT_FALSE(store.update("nope", "a", "b"));
    EXPECT_TRUE(store.update(id, "t2", "x2"));
    EXPECT_EQ(store.find(id)->title, "t2");
    EXPECT_EQ(store.find(id)->content, "x2");
    EXPECT_EQ(store.find(id)->category, "c");
    EXPECT_EQ(store.find(id)->created_at, "2026-01-01T00:00:00");
    EXPECT_EQ(store.find(id)->updated_at, "2026-01-02T00:00:00");

    store.set_clock([] { return std::string("2026-01-03T00:00:00"); });
    EXPECT_FALSE(store.set_origin("nope", "memory_extractor", true));
    EXPECT_FALSE(store.set_origin(id, "", true));
    EXPECT_TRUE(store.set_origin(id, "memory_extractor", false));
    EXPECT_EQ(store.find(id)->created_origin, "user_initiated");
    EXPECT_EQ(store.find(id)->last_modified_origin, "memory_extractor");
    EXPECT_TRUE(store.set_origin(id, "other", true));
    EXPECT_EQ(store.find(id)->created_origin, "other");
    EXPECT_EQ(store.find(id)->updated_at, "2026-01-02T00:00:00");  // origins leave the stamps alone

    EXPECT_FALSE(store.remove("nope"));
    EXPECT_TRUE(store.remove(id));
    EXPECT_FALSE(store.remove(id));
    EXPECT_TRUE(store.empty());
}

TEST(MemoryStoreTest, SearchAndCategories) {
    MemoryStore store;
    store.insert(entry("1", "learned_fact", "Build", "the project uses cmake"));
    store.insert(entry("2", "user_info", "CMake version", "3.25"));
    store.insert(entry("3", "important_decision", "Other", "nothing here"));
    EXPECT_EQ(ids_of(store.search("CMAKE")), (std::vector<std::string>{"1", "2"}));
    EXPECT_TRUE(store.search("important").empty());  // the category is not searched
    EXPECT_TRUE(store.search("3").size() == 1);     // "3.25"; the id "3" is not searched
    EXPECT_TRUE(store.search("").empty());
    EXPECT_EQ(ids_of(store.entries_in_category("user_info")), (std::vector<std::string>{"2"}));
    EXPECT_TRUE(store.entries_in_category("User_info").empty());
}

TEST(MemoryStoreTest, PruneKeepsTheMostRecentlyUpdated) {
    MemoryStore store;
    char buffer[64];
    for (int i = 0; i < 201; ++i) {
        std::snprintf(buffer, sizeof buffer, "2026-02-01T%02d:%02d:00", i / 60, i % 60);
        store.insert(entry("e" + std::to_string(i), "k", "t", "c", "2026-01-01T00:00:00", buffer));
    }
    store.prune(0);
    EXPECT_EQ(store.size(), 201u);
    store.prune(201);
    EXPECT_EQ(store.size(), 201u);
    store.prune(200);
    EXPECT_EQ(store.size(), 200u);
    EXPECT_EQ(store.find("e0"), nullptr);
    EXPECT_NE(store.find("e1"), nullptr);
}

TEST(MemoryStoreTest, PruneBreaksTiesByCreation) {
    MemoryStore store;
    store.insert(entry("a", "k", "t", "c", "2026-01-01T00:00:02", "2026-01-05T00:00:00"));
    store.insert(entry("b", "k", "t", "c", "2026-01-01T00:00:01", "2026-01-05T00:00:00"));  // created earlier
    store.insert(entry("c", "k", "t", "c", "2026-01-01T00:00:00", "2026-01-06T00:00:00"));
    store.prune(2);
    EXPECT_EQ(ids_of(store), (std::vector<std::string>{"a", "c"}));
    store.prune(1);
    EXPECT_EQ(ids_of(store), (std::vector<std::string>{"c"}));
}

// --- files ---------------------------------------------------------------

TEST(MemoryStoreTest, SaveWritesSortedKeysWithIndentFour) {
    TestDir dir;
    MemoryStore store;
    MemoryEntry b = entry("b", "user_info", "名字", "Alice \"A\"", "2026-01-01T00:00:00", "2026-01-02T00:00:00");
    b.last_modified_origin = "memory_extractor";
    store.insert(b);
    store.insert(entry("a", "k", "t", "c"));
    const fs::path file = dir / "deep" / "memory.json";  // parents are created
    ASSERT_TRUE(store.save(file.string()));
    EXPECT_EQ(read_text(file),
              "[\n"
              "    {\n"
              "        \"category\": \"k\",\n"
              "        \"content\": \"c\",\n"
              "        \"created_at\": \"2026-01-01T00:00:00\",\n"
              "        \"created_origin\": \"user_initiated\",\n"
              "        \"id\": \"a\",\n"
              "        \"last_modified_origin\": \"user_initiated\",\n"
              "        \"title\": \"t\",\n"
              "        \"updated_at\": \"2026-01-01T00:00:00\"\n"
              "    },\n"
              "    {\n"
              "        \"category\": \"user_info\",\n"
              "        \"content\": \"Alice \\\"A\\\"\",\n"
              "        \"created_at\": \"2026-01-01T00:00:00\",\n"
              "        \"created_origin\": \"user_initiated\",\n"
              "        \"id\": \"b\",\n"
              "        \"last_modified_origin\": \"memory_extractor\",\n"
              "        \"title\": \"名字\",\n"
              "        \"updated_at\": \"2026-01-02T00:00:00\"\n"
              "    }\n"
              "]");

    MemoryStore loaded;
    ASSERT_TRUE(loaded.load(file.string()));
    EXPECT_EQ(loaded.entries(), store.entries());
    EXPECT_EQ(loaded.file_path(), file.string());

    MemoryStore empty;
    ASSERT_TRUE(empty.save((dir / "empty.json").string()));
    EXPECT_EQ(read_text(dir / "empty.json"), "[]");
}

TEST(MemoryStoreTest, SaveWithoutALoadedFileFails) {
    MemoryStore store;
    store.add("k", "t", "c");
    EXPECT_FALSE(store.save());
    EXPECT_FALSE(store.save(""));
}

TEST(MemoryStoreTest, SaveUsesTheLoadedPath) {
    TestDir dir;
    const fs::path file = dir / "memory.json";
    MemoryStore store;
    ASSERT_TRUE(store.load(file.string()));  // missing: empty store, path remembered
    store.insert(entry("a", "k", "t", "c"));
    ASSERT_TRUE(store.save());
    MemoryStore again;
    ASSERT_TRUE(again.load(file.string()));
    EXPECT_EQ(ids_of(again), (std::vector<std::string>{"a"}));
}

TEST(MemoryStoreTest, FailedSaveLeavesTheOldFile) {
    TestDir dir;
    MemoryStore store;
    store.insert(entry("a", "k", "t", "c"));

    // The target is a directory: nothing replaces it.
    fs::create_directories(dir / "as_dir" / "memory.json");
    write_text(dir / "as_dir" / "memory.json" / "keep.txt", "kept");
    EXPECT_FALSE(store.save((dir / "as_dir" / "memory.json").string()));
    EXPECT_TRUE(fs::is_directory(dir / "as_dir" / "memory.json"));
    EXPECT_EQ(read_text(dir / "as_dir" / "memory.json" / "keep.txt"), "kept");

    // The parent is a file.
    write_text(dir / "parent", "old");
    EXPECT_FALSE(store.save((dir / "parent" / "memory.json").string()));
    EXPECT_EQ(read_text(dir / "parent"), "old");

    // A successful save over an old file, and no temporary file left anywhere.
    write_text(dir / "memory.json", "[]");
    ASSERT_TRUE(store.save((dir / "memory.json").string()));
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(dir.path())) names.insert(item.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"as_dir", "memory.json", "parent"}));
}

struct LoadCase {
    const char* name;
    const char* text;  // nullptr: no file
    bool result;
    std::vector<std::string> ids;  // after the load, starting from {"old"}
};

TEST(MemoryStoreTest, LoadTable) {
    const std::string deep = std::string(300, '[') + std::string(300, ']');
    const std::vector<LoadCase> cases = {
        {"missing file empties", nullptr, true, {}},
        {"empty file keeps", "", true, {"old"}},
        {"syntax error keeps", "[{", false, {"old"}},
        {"object root keeps", "{}", false, {"old"}},
        {"string root keeps", "\"x\"", false, {"old"}},
        {"empty array", "[]", true, {}},
        {"empty id skipped", R"([{"id":"","title":"t"}])", true, {}},
        {"missing id skipped", R"([{"title":"t"}])", true, {}},
        {"numeric id", R"([{"id":5}])", false, {}},
        {"null title", R"([{"id":"a"},{"id":"b","title":null}])", false, {"a"}},
        {"wrong type skipped, the rest stay", R"([{"id":"a"},{"id":"b","content":[1]},{"id":"c"}])", false, {"a", "c"}},
        {"element not an object", R"([{"id":"a"},7,{"id":"c"}])", false, {"a", "c"}},
        {"duplicates: the later wins", R"([{"id":"a","title":"1"},{"id":"a","title":"2"}])", true, {"a"}},
        {"unknown keys ignored", R"([{"id":"z","extra":1}])", true, {"z"}},
        {"too deep", deep.c_str(), false, {"old"}},
    };
    for (const LoadCase& c : cases) {
        TestDir dir;
        const fs::path file = dir / "memory.json";
        if (c.text) write_text(file, c.text);
        MemoryStore store;
        store.insert(entry("old", "k", "t", "c"));
        EXPECT_EQ(store.load(file.string()), c.result) << c.name;
        EXPECT_EQ(ids_of(store), c.ids) << c.name;
        EXPECT_EQ(store.file_path(), file.string()) << c.name;
    }
}

TEST(MemoryStoreTest, LoadFillsDefaults) {
    TestDir dir;
    write_text(dir / "memory.json", R"([{"id":"a","title":"T","created_origin":"memory_extractor"},{"id":"b","title":"1"},{"id":"b","title":"2"}])");
    MemoryStore store;
    ASSERT_TRUE(store.load((dir / "memory.json").string()));
    const MemoryEntry* a = store.find("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->title, "T");
    EXPECT_EQ(a->category, "");
    EXPECT_EQ(a->content, "");
    EXPECT_EQ(a->created_at, "");
    EXPECT_EQ(a->created_origin, "memory_extractor");
    EXPECT_EQ(a->last_modified_origin, "user_initiated");
    EXPECT_EQ(store.find("b")->title, "2");
}

TEST(MemoryStoreTest, LoadingADirectoryGivesAnEmptyStore) {
    TestDir dir;
    MemoryStore store;
    store.insert(entry("old", "k", "t", "c"));
    EXPECT_TRUE(store.load(dir.path().string()));  // not a regular file: as if missing
    EXPECT_TRUE(store.empty());
}

}  // namespace
}  // namespace vexa
