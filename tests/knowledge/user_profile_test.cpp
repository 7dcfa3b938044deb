#include "knowledge/user_profile.hpp"

#include "knowledge/memory_store.hpp"
#include "support/test_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using test::read_text;
using test::TestDir;
using test::write_text;

const char* const kNewUserBlock =
    "<user_profile>\nThis is a relatively new user. Be welcoming and attentive to learn their preferences through "
    "conversation.\n</user_profile>\n";

struct Memory {
    std::string category;
    std::string title;
    std::string content;
};

MemoryStore store_of(const std::vector<Memory>& memories) {
    MemoryStore store;
    int n = 0;
    for (const Memory& m : memories) {
        MemoryEntry e;
        // Ids in the listed order, so "the first in id order" is the first listed.
        e.id = "id" + std::to_string(100 + n++);
        e.category = m.category;
        e.title = m.title;
        e.content = m.content;
        store.insert(e);
    }
    return store;
}

// One line per profile, so a table row states all of it at once.
std::string describe(const UserProfile& p) {
    std::string out = "name=" + p.display_name + " style=" + p.communication_style + " level=" + p.expertise_level +
                      " lang=" + p.language_preference + " interests=[";
    for (const auto& i : p.interests) out += i + "|";
    out += "] prefs=[";
    for (const auto& i : p.preferences) out += i + "|";
    out += "] traits=[";
    for (const auto& [k, v] : p.custom_traits) out += k + "=" + v + "|";
    return out + "]";
}

struct RebuildCase {
    const char* name;
    std::vector<Memory> memories;
    std::string expected;
};

TEST(UserProfileTest, RebuildTable) {
    const std::vector<RebuildCase> cases = {
        {"nothing", {}, "name= style= level= lang= interests=[] prefs=[] traits=[]"},
        {"name in any case", {{"user_info", "User NAME", "Alice"}},
         "name=Alice style= level= lang= interests=[] prefs=[] traits=[]"},
        {"name inside a longer word", {{"user_info", "Nickname", "Ally"}},
         "name=Ally style= level= lang= interests=[] prefs=[] traits=[]"},
        {"first name wins", {{"user_info", "called", "A"}, {"user_info", "introduce", "B"}},
         "name=A style= level= lang= interests=[] prefs=[] traits=[]"},
        {"levels", {{"user_info", "Experience", "senior"}, {"user_info", "技术水平", "高"}},
         "name= style= level=senior lang= interests=[] prefs=[] traits=[]"},
        {"chinese level", {{"user_info", "编程经验", "十年"}},
         "name= style= level=十年 lang= interests=[] prefs=[] traits=[]"},
        {"interests deduplicated ignoring case",
         {{"user_info", "Interest", "Rust"}, {"user_info", "main interest", "rust"}, {"user_info", "Focus", "C++"}},
         "name= style= level= lang= interests=[Rust|C++|] prefs=[] traits=[]"},
        {"unmatched info ignored", {{"user_info", "City", "Paris"}},
         "name= style= level= lang= interests=[] prefs=[] traits=[]"},
        {"style", {{"user_preference", "Response length", "short"}, {"user_preference", "Communication", "formal"}},
         "name= style=short level= lang= interests=[] prefs=[] traits=[]"},
        {"language by title", {{"user_preference", "Language", "English"}},
         "name= style= level= lang=English interests=[] prefs=[] traits=[]"},
        {"language by content", {{"user_preference", "Replies", "Use the Chinese language"}},
         "name= style= level= lang=Use the Chinese language interests=[] prefs=[] traits=[]"},
        {"style before language", {{"user_preference", "Chinese style", "terse"}},
         "name= style=terse level= lang= interests=[] prefs=[] traits=[]"},
        {"other preferences deduplicated ignoring case",
         {{"user_preference", "Tabs", "always"}, {"user_preference", "TABS", "Always"}, {"user_preference", "Theme", "dark"}},
         "name= style= level= lang= interests=[] prefs=[Tabs: always|Theme: dark|] traits=[]"},
        {"habits by title, the later wins",
         {{"user_habit", "Hours", "night"}, {"user_habit", "Editor", "vim"}, {"user_habit", "Hours", "morning"}},
         "name= style= level= lang= interests=[] prefs=[] traits=[Editor=vim|Hours=morning|]"},
        {"other categories ignored", {{"learned_fact", "Name", "X"}, {"User_info", "Name", "Y"}},
         "name= style= level= lang= interests=[] prefs=[] traits=[]"},
    };
    for (const RebuildCase& c : cases) {
        UserProfile profile;
        profile.display_name = "stale";
        profile.preferences = {"stale"};
        profile.interaction_count = 7;
        profile.first_interaction = "2026-01-01T00:00:00";
        profile.last_interaction = "2026-01-02T00:00:00";
        profile.rebuild_from_memory(store_of(c.memories));
        EXPECT_EQ(describe(profile), c.expected) << c.name;
        EXPECT_EQ(profile.interaction_count, 7) << c.name;
        EXPECT_EQ(profile.first_interaction, "2026-01-01T00:00:00") << c.name;
        EXPECT_EQ(profile.last_interaction, "2026-01-02T00:00:00") << c.name;
    }
}

TEST(UserProfileTest, RebuildLimits) {
    std::vector<Memory> memories;
    for (int i = 0; i < 15; ++i) memories.push_back({"user_info", "interest", "i" + std::to_string(100 + i)});
    for (int i = 0; i < 25; ++i) memories.push_back({"user_preference", "p" + std::to_string(100 + i), "x"});
    for (int i = 0; i < 25; ++i) memories.push_back({"user_habit", "h" + std::to_string(100 + i), "y"});
    UserProfile profile;
    profile.rebuild_from_memory(store_of(memories));
    ASSERT_EQ(profile.interests.size(), 12u);
    EXPECT_EQ(profile.interests.front(), "i100");
    EXPECT_EQ(profile.interests.back(), "i111");
    ASSERT_EQ(profile.preferences.size(), 20u);
    EXPECT_EQ(profile.preferences.back(), "p119: x");
    ASSERT_EQ(profile.custom_traits.size(), 20u);
    EXPECT_EQ(profile.custom_traits.begin()->first, "h105");  // the smallest keys went
}

TEST(UserProfileTest, FreshUser) {
    TestDir dir;
    UserProfile profile;
    EXPECT_TRUE(profile.load((dir / "user_profile.json").string()));
    profile.record_interaction("2026-12-08T21:30:05");
    profile.rebuild_from_memory(MemoryStore());
    EXPECT_EQ(profile.interaction_count, 1);
    EXPECT_EQ(profile.first_interaction, "2026-12-08T21:30:05");
    EXPECT_FALSE(profile.is_established());
    EXPECT_EQ(profile.prompt_block(), kNewUserBlock);
    EXPECT_EQ(profile.summary_line(), "User Profile: Anonymous | Interactions: 1");
}

TEST(UserProfileTest, RecordInteractionKeepsTheFirstStamp) {
    UserProfile profile;
    profile.record_interaction("2026-01-01T00:00:00");
    profile.record_interaction("2026-01-02T00:00:00");
    EXPECT_EQ(profile.interaction_count, 2);
    EXPECT_EQ(profile.first_interaction, "2026-01-01T00:00:00");
    EXPECT_EQ(profile.last_interaction, "2026-01-02T00:00:00");
    UserProfile now;
    now.record_interaction();
    EXPECT_EQ(now.first_interaction.size(), 19u);
    EXPECT_EQ(now.first_interaction, now.last_interaction);
}

TEST(UserProfileTest, TheSixthStartUpSwitchesTheBlock) {
    TestDir dir;
    const std::string file = (dir / "data" / "memory" / "user_profile.json").string();
    const MemoryStore memories;
    for (int start = 1; start <= 6; ++start) {
        UserProfile profile;  // each start-up: load, record, rebuild, save
        ASSERT_TRUE(profile.load(file));
        profile.record_interaction();
        profile.rebuild_from_memory(memories);
        ASSERT_TRUE(profile.save(file));
        EXPECT_EQ(profile.interaction_count, start);
        if (start <= 5) {
            EXPECT_EQ(profile.prompt_block(), kNewUserBlock) << start;
        } else {
            EXPECT_EQ(profile.prompt_block(),
                      "<user_profile>\n"
                      "You have interacted with this user 6 times. They are a returning user - maintain continuity and "
                      "build on previous conversations.\n"
                      "</user_profile>\n");
        }
    }
}

TEST(UserProfileTest, EstablishedBlockIsExact) {
    UserProfile p;
    p.display_name = "Alice";
    p.communication_style = "concise";
    p.expertise_level = "expert";
    p.language_preference = "中文";
    p.interests = {"Rust", "C++", "Go", "Zig", "Lisp", "Ada", "Forth"};
    for (int i = 1; i <= 9; ++i) p.preferences.push_back("pref " + std::to_string(i));
    p.custom_traits = {{"Hours", "night"}};
    p.interaction_count = 2;
    EXPECT_TRUE(p.is_established());
    EXPECT_EQ(p.prompt_block(),
              "<user_profile>\n"
              "The user's name is Alice. Address them by name occasionally.\n"
              "The user prefers concise communication. Adapt your responses accordingly.\n"
              "The user's technical level is expert. Adjust explanation depth accordingly.\n"
              "The user prefers responses in 中文.\n"
              "The user is interested in: Rust, C++, Go, Zig, Lisp, ...\n"
              "User preferences to keep in mind:\n"
              "- pref 1\n- pref 2\n- pref 3\n- pref 4\n- pref 5\n- pref 6\n- pref 7\n- pref 8\n"
              "You have interacted with this user 2 times. They are a returning user - maintain continuity and build on "
              "previous conversations.\n"
              "</user_profile>\n");
    EXPECT_EQ(p.summary_line(), "User Profile: Alice | Interactions: 2 | Level: expert | 9 preferences | 7 interests");
}

TEST(UserProfileTest, BlockShortensLongFields) {
    UserProfile p;
    p.display_name = std::string(200, 'n');
    p.interests = {std::string(100, 'i')};
    p.preferences = {std::string(181, 'p')};
    p.interaction_count = 1;  // no interaction line
    EXPECT_EQ(p.prompt_block(), "<user_profile>\nThe user's name is " + std::string(180, 'n') +
                                    ".... Address them by name occasionally.\nThe user is interested in: " +
                                    std::string(80, 'i') + "...\nUser preferences to keep in mind:\n- " +
                                    std::string(180, 'p') + "...\n</user_profile>\n");
}

TEST(UserProfileTest, EstablishedByPreferencesOrCount) {
    UserProfile p;
    p.preferences = {"a", "b"};
    EXPECT_FALSE(p.is_established());
    p.preferences.push_back("c");
    EXPECT_TRUE(p.is_established());
    UserProfile q;
    q.interaction_count = 5;
    EXPECT_FALSE(q.is_established());
    q.interaction_count = 6;
    EXPECT_TRUE(q.is_established());
    UserProfile r;
    r.interests = {"x"};  // interests alone do not establish it
    EXPECT_EQ(r.prompt_block(), kNewUserBlock);
}

TEST(UserProfileTest, SaveFormatAndRoundTrip) {
    TestDir dir;
    UserProfile p;
    p.display_name = "Alice";
    p.interests = {"Rust"};
    p.custom_traits = {{"b", "2"}, {"a", "1"}};
    p.interaction_count = 3;
    p.first_interaction = "2026-01-01T00:00:00";
    p.last_interaction = "2026-01-03T00:00:00";
    const fs::path file = dir / "user_profile.json";
    ASSERT_TRUE(p.save(file.string()));
    EXPECT_EQ(read_text(file),
              "{\n"
              "    \"communication_style\": \"\",\n"
              "    \"custom_traits\": {\n"
              "        \"a\": \"1\",\n"
              "        \"b\": \"2\"\n"
              "    },\n"
              "    \"display_name\": \"Alice\",\n"
              "    \"expertise_level\": \"\",\n"
              "    \"first_interaction\": \"2026-01-01T00:00:00\",\n"
              "    \"interaction_count\": 3,\n"
              "    \"interests\": [\n"
              "        \"Rust\"\n"
              "    ],\n"
              "    \"language_preference\": \"\",\n"
              "    \"last_interaction\": \"2026-01-03T00:00:00\",\n"
              "    \"preferences\": []\n"
              "}");
    UserProfile loaded;
    ASSERT_TRUE(loaded.load(file.string()));
    EXPECT_EQ(loaded, p);
}

TEST(UserProfileTest, FailedSaveLeavesTheOldFile) {
    TestDir dir;
    UserProfile p;
    p.display_name = "new";
    write_text(dir / "parent", "old");
    EXPECT_FALSE(p.save((dir / "parent" / "user_profile.json").string()));
    EXPECT_EQ(read_text(dir / "parent"), "old");
    fs::create_directories(dir / "user_profile.json");
    EXPECT_FALSE(p.save((dir / "user_profile.json").string()));
    EXPECT_TRUE(fs::is_directory(dir / "user_profile.json"));
    EXPECT_FALSE(p.save(""));
}

struct ProfileLoadCase {
    const char* name;
    const char* text;
    bool result;
    std::string expected;  // describe() + " count=" after loading over the base profile
};

TEST(UserProfileTest, LoadTable) {
    // Missing scalar members take their defaults; missing or mistyped lists stay.
    const std::string base = "name=base style=base level= lang= interests=[old|] prefs=[old|] traits=[k=v|] count=2";
    const std::string reset = "name= style= level= lang= interests=[old|] prefs=[old|] traits=[k=v|] count=0";
    const std::vector<ProfileLoadCase> cases = {
        {"empty file", "", true, base},
        {"syntax error", "{\"display_name\":", false, base},
        {"array root", "[]", false, base},
        {"empty object", "{}", true, reset},
        {"strings and count",
         R"({"display_name":"Al","communication_style":"","interaction_count":9,"first_interaction":"f"})", true,
         "name=Al style= level= lang= interests=[old|] prefs=[old|] traits=[k=v|] count=9"},
        {"float count truncates", R"({"interaction_count":4.9})", true,
         "name= style= level= lang= interests=[old|] prefs=[old|] traits=[k=v|] count=4"},
        {"huge count saturates", R"({"interaction_count":99999999999})", true,
         "name= style= level= lang= interests=[old|] prefs=[old|] traits=[k=v|] count=2147483647"},
        {"wrong count type: earlier fields stay assigned",
         R"({"display_name":"Al","expertise_level":"pro","interaction_count":"9","interests":["new"]})", false,
         "name=Al style= level=pro lang= interests=[old|] prefs=[old|] traits=[k=v|] count=2"},
        {"boolean count is the wrong type", R"({"display_name":"Al","interaction_count":true})", false,
         "name=Al style= level= lang= interests=[old|] prefs=[old|] traits=[k=v|] count=2"},
        {"wrong string type", R"({"display_name":"Al","communication_style":1,"expertise_level":"pro"})", false,
         "name=Al style=base level= lang= interests=[old|] prefs=[old|] traits=[k=v|] count=2"},
        {"null string is the wrong type", R"({"display_name":null})", false, base},
        {"interests as a string are ignored", R"({"interests":"Rust","preferences":{"a":1}})", true, reset},
        {"lists keep their strings only", R"({"interests":["a",1,null,"b"],"preferences":[]})", true,
         "name= style= level= lang= interests=[a|b|] prefs=[] traits=[k=v|] count=0"},
        {"traits keep their strings only", R"({"custom_traits":{"x":"1","y":2}})", true,
         "name= style= level= lang= interests=[old|] prefs=[old|] traits=[x=1|] count=0"},
        {"traits of another type are ignored", R"({"custom_traits":["x"]})", true, reset},
    };
    for (const ProfileLoadCase& c : cases) {
        TestDir dir;
        write_text(dir / "p.json", c.text);
        UserProfile p;
        p.display_name = "base";
        p.communication_style = "base";
        p.interests = {"old"};
        p.preferences = {"old"};
        p.custom_traits = {{"k", "v"}};
        p.interaction_count = 2;
        EXPECT_EQ(p.load((dir / "p.json").string()), c.result) << c.name;
        EXPECT_EQ(describe(p) + " count=" + std::to_string(p.interaction_count), c.expected) << c.name;
    }
}

TEST(UserProfileTest, StartUpRewritesABrokenFile) {
    TestDir dir;
    const std::string file = (dir / "user_profile.json").string();
    write_text(file, R"({"display_name":"Al","interaction_count":"x"})");
    UserProfile p;
    EXPECT_FALSE(p.load(file));
    p.record_interaction("2026-01-01T00:00:00");
    p.rebuild_from_memory(MemoryStore());
    ASSERT_TRUE(p.save(file));
    UserProfile again;
    EXPECT_TRUE(again.load(file));
    EXPECT_EQ(again.interaction_count, 1);
    EXPECT_EQ(again.display_name, "");  // rebuilt from the (empty) memories
}

}  // namespace
}  // namespace vexa
