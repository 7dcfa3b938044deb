#include "conversation/conversation_manager.hpp"

#include "config/agent_config.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

namespace vexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

// A fresh directory per test, and the process-wide configuration pointed at
// it (restored afterwards).
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        root_ = fs::temp_directory_path() / ("vexa_conv_" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(root_);
        auto& config = AgentConfig::instance();
        saved_base_ = config.base_dir;
        saved_dir_ = config.paths.conversations_dir;
        saved_flags_ = config.host_policy_flags;
        config.base_dir = root_.string();
        config.paths.conversations_dir = "./data/conversations";
        config.host_policy_flags = 0;
    }
    void TearDown() override {
        auto& config = AgentConfig::instance();
        config.base_dir = saved_base_;
        config.paths.conversations_dir = saved_dir_;
        config.host_policy_flags = saved_flags_;
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    fs::path dir() const { return root_ / "data" / "conversations"; }
    std::string dir_s() const { return dir().string(); }
    fs::path file_of(const std::string& id) const { return dir() / (id + ".json"); }

    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir(), ec)) {
            const std::string n = e.path().filename().string();
            if (n.find(".tmp") != std::string::npos) names.push_back(n);
        }
        return names;
    }

    fs::path root_;
    std::string saved_base_, saved_dir_;
    std::uint32_t saved_flags_ = 0;
};

ChatMessage msg(MessageRole role, const std::string& content) {
    ChatMessage m;
    m.role = role;
    m.content = content;
    return m;
}

TEST_F(SessionTest, StoreOperations) {
    ConversationManager c;
    const std::regex uuid("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    EXPECT_TRUE(std::regex_match(c.session_id(), uuid)) << c.session_id();

    c.set_system_prompt("sys");
    c.add_user_message("look", {{"https://h/a", "high"}, {"https://h/b", "low"}});
    c.add_tool_result("call_1", "search", "{\"success\":true}");
    c.add_usage(TokenUsage{10, 5, 15, -1, false});
    ASSERT_EQ(c.messages().size(), 2u);
    EXPECT_EQ(c.messages()[1].role, MessageRole::tool);
    EXPECT_EQ(c.messages()[1].tool_call_id, "call_1");
    EXPECT_EQ(c.messages()[1].name, "search");
    EXPECT_EQ(c.strip_images(), 2u);
    EXPECT_EQ(c.strip_images(), 0u);
    EXPECT_TRUE(c.messages()[0].images.empty());
    c.add_usage(TokenUsage{1, 1, 2, -1, true});
    EXPECT_EQ(c.session_usage().total_tokens, 17);
    EXPECT_TRUE(c.session_usage().estimated);

    const std::string old_id = c.session_id();
    const std::string new_id = c.new_session();
    EXPECT_NE(new_id, old_id);
    EXPECT_EQ(c.session_id(), new_id);
    EXPECT_TRUE(c.messages().empty());
    EXPECT_FALSE(has_usage(c.session_usage()));
    EXPECT_FALSE(c.session_usage().estimated);
    EXPECT_EQ(c.system_prompt(), "sys");  // kept by new_session

    c.append(msg(MessageRole::user, "x"));
    c.set_usage(TokenUsage{3, 4, 7, -1, false});
    c.clear();
    EXPECT_EQ(c.session_id(), new_id);  // kept by clear
    EXPECT_TRUE(c.messages().empty());
    EXPECT_EQ(c.system_prompt(), "");
    EXPECT_FALSE(has_usage(c.session_usage()));
}

TEST_F(SessionTest, SaveLoadRoundTrip) {
    ConversationManager c;
    c.set_system_prompt("You are helpful.");
    c.add_user_message("", {{"https://h/a.png", "high"}});
    ChatMessage assistant = msg(MessageRole::assistant, "");
    assistant.reasoning_content = "";
    assistant.tool_calls = {{"call_1", "search", "{\"q\":\"天气\"}"}};
    c.append(assistant);
    c.add_tool_result("call_1", "search", "{\"success\":true}");
    ChatMessage answer = msg(MessageRole::assistant, "晴天 ☀");
    answer.reasoning_content = "easy";
    c.append(answer);
    c.set_usage(TokenUsage{100, 20, 120, 8, true});

    ASSERT_TRUE(c.save(dir_s()));
    const std::string text = read_file(file_of(c.session_id()));
    EXPECT_EQ(text.rfind("{\n  \"created_at\": \"", 0), 0u) << text.substr(0, 40);
    const json root = json::parse(text);
    EXPECT_TRUE(std::regex_match(root["created_at"].get<std::string>(),
                                 std::regex(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}$)")));
    EXPECT_EQ(root["session_id"], c.session_id());
    EXPECT_EQ(root["message_count"], 5);
    ASSERT_EQ(root["messages"].size(), 5u);
    EXPECT_EQ(root["messages"][0], (json{{"content", "You are helpful."}, {"role", "system"}}));
    EXPECT_EQ(root["messages"][1]["content"], "[图片]");
    EXPECT_EQ(root["session_usage"], usage_to_json(c.session_usage()));
    std::vector<std::string> keys;
    for (const auto& [k, v] : root.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"created_at", "message_count", "messages", "session_id", "session_usage"}));

    ConversationManager back;
    back.set_system_prompt("current prompt");
    ASSERT_TRUE(back.load(dir_s(), c.session_id()));
    EXPECT_EQ(back.session_id(), c.session_id());
    EXPECT_EQ(back.system_prompt(), "current prompt");  // the file's system entry is never restored
    ASSERT_EQ(back.messages().size(), 4u);
    EXPECT_EQ(back.messages()[0].content, "[图片]");
    EXPECT_TRUE(back.messages()[0].images.empty());
    EXPECT_EQ(back.messages()[1].reasoning_content, "");
    ASSERT_EQ(back.messages()[1].tool_calls.size(), 1u);
    EXPECT_EQ(back.messages()[1].tool_calls[0].arguments, "{\"q\":\"天气\"}");
    EXPECT_EQ(back.messages()[2].tool_call_id, "call_1");
    EXPECT_EQ(back.messages()[3].content, "晴天 ☀");
    EXPECT_EQ(back.messages()[3].reasoning_content, "easy");
    EXPECT_EQ(back.session_usage().prompt_tokens, 100);
    EXPECT_EQ(back.session_usage().cached_tokens, 8);
    EXPECT_TRUE(back.session_usage().estimated);

    // Saving again rewrites the same file, not a second one.
    ASSERT_TRUE(back.save(dir_s()));
    EXPECT_EQ(ConversationManager::list_sessions(dir_s()), std::vector<std::string>{c.session_id()});
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(SessionTest, SaveEmptySessionAndEmptyId) {
    ConversationManager c;
    ASSERT_TRUE(c.save(dir_s()));
    json root = json::parse(read_file(file_of(c.session_id())));
    EXPECT_EQ(root["message_count"], 0);
    EXPECT_EQ(root["messages"], json::array());
    EXPECT_FALSE(root.contains("session_usage"));

    c.set_system_prompt("p");
    ASSERT_TRUE(c.save(dir_s()));
    root = json::parse(read_file(file_of(c.session_id())));
    EXPECT_EQ(root["message_count"], 1);
}

TEST_F(SessionTest, LoadTable) {
    struct Case {
        const char* label;
        const char* file_id;       // file name stem written
        const char* content;       // nullptr: no file
        const char* requested;
        bool ok;
        const char* loaded_id;
        std::size_t messages;
        int prompt_tokens;
    };
    const Case cases[] = {
        {"no session_id key", "s1", R"({"messages":[{"role":"user","content":"hi"}]})", "s1", true, "s1", 1, -1},
        {"file id wins", "s2", R"({"session_id":"other","messages":[]})", "s2", true, "other", 0, -1},
        {"non-string id ignored", "s3", R"({"session_id":5})", "s3", true, "s3", 0, -1},
        {"unsafe file id ignored", "s4", R"({"session_id":"../../escape"})", "s4", true, "s4", 0, -1},
        {"usage fallback", "s5", R"({"usage":{"prompt_tokens":7,"completion_tokens":1}})", "s5", true, "s5", 0, 7},
        {"session_usage preferred", "s6",
         R"({"session_usage":{"prompt_tokens":3},"usage":{"prompt_tokens":9}})", "s6", true, "s6", 0, 3},
        {"system, non-objects and images dropped", "s7",
         R"({"messages":[{"role":"system","content":"s"},1,"x",
            {"role":"user","content":[{"type":"text","text":"t"},{"type":"image_url","image_url":{"url":"https://h/i"}}]}]})",
         "s7", true, "s7", 1, -1},
        {"missing file", "zz", nullptr, "nope", false, nullptr, 0, 0},
        {"empty file", "e1", "", "e1", false, nullptr, 0, 0},
        {"syntax error", "e2", R"({"messages":[)", "e2", false, nullptr, 0, 0},
        {"numeric role", "e3", R"({"messages":[{"role":1,"content":"x"}]})", "e3", false, nullptr, 0, 0},
        {"bad estimated", "e4", R"({"session_usage":{"prompt_tokens":1,"estimated":"no"}})", "e4", false, nullptr, 0, 0},
        {"not an object", "e5", R"([{"role":"user","content":"x"}])", "e5", false, nullptr, 0, 0},
        {"traversing id", "e6", R"({})", "../e6", false, nullptr, 0, 0},
        {"empty id", "e7", R"({})", "", false, nullptr, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.content) write_file(file_of(c.file_id), c.content);
        ConversationManager store;
        store.append(msg(MessageRole::user, "existing"));
        store.set_usage(TokenUsage{1, 1, 2, -1, false});
        const std::string before_id = store.session_id();
        EXPECT_EQ(store.load(dir_s(), c.requested), c.ok);
        if (c.ok) {
            EXPECT_EQ(store.session_id(), c.loaded_id);
            EXPECT_EQ(store.messages().size(), c.messages);
            EXPECT_EQ(store.session_usage().prompt_tokens, c.prompt_tokens);
            for (const auto& m : store.messages()) EXPECT_TRUE(m.images.empty());
        } else {
            EXPECT_EQ(store.session_id(), before_id);
            ASSERT_EQ(store.messages().size(), 1u);
            EXPECT_EQ(store.messages()[0].content, "existing");
            EXPECT_EQ(store.session_usage().prompt_tokens, 1);
        }
    }

    // A session loaded under the requested id is saved under that id.
    ConversationManager store;
    ASSERT_TRUE(store.load(dir_s(), "s1"));
    fs::remove(file_of("s1"));
    ASSERT_TRUE(store.save(dir_s()));
    EXPECT_TRUE(fs::exists(file_of("s1")));
    EXPECT_FALSE(fs::exists(root_ / "escape.json"));
}

TEST_F(SessionTest, Listing) {
    EXPECT_TRUE(ConversationManager::list_sessions((root_ / "missing").string()).empty());
    write_file(dir() / "b.json", "{}");
    write_file(dir() / "a.json", "{}");
    write_file(dir() / "c.json.bak", "{}");
    write_file(dir() / "d.JSON", "{}");
    write_file(dir() / "notes.txt", "x");
    write_file(dir() / ".e.json.tmp-0123456789ab", "{");
    fs::create_directories(dir() / "folder.json");
    fs::create_directories(dir() / "sub");
    write_file(dir() / "sub" / "nested.json", "{}");
    EXPECT_EQ(ConversationManager::list_sessions(dir_s()), (std::vector<std::string>{"a", "b", "folder"}));
    EXPECT_EQ(list_session_files(), (std::vector<std::string>{"a", "b", "folder"}));
    // A path whose directory part is a file is no directory.
    EXPECT_TRUE(ConversationManager::list_sessions((dir() / "a.json").string()).empty());
}

TEST_F(SessionTest, InjectionTable) {
    struct Case {
        const char* label;
        std::string text;
        int result;
        std::size_t after_replace;
        std::size_t after_append;  // starting from one existing message
    };
    const Case cases[] = {
        {"array form", R"([{"role":"user","content":"q"},{"role":"assistant","content":"a"}])", 2, 2, 3},
        {"object form", R"({"messages":[{"role":"user","content":"q"}],"extra":1})", 1, 1, 2},
        {"system and non-objects skipped",
         R"([{"role":"system","content":"s"},7,null,{"role":"tool","content":"r","tool_call_id":"c"}])", 1, 1, 2},
        {"empty array", "[]", 0, 0, 1},
        {"empty text", "", 0, 0, 1},
        {"syntax error", "[{", -1, 1, 1},
        {"trailing garbage", "[] x", -1, 1, 1},
        {"object without messages", R"({"conversation":[]})", -1, 1, 1},
        {"messages not an array", R"({"messages":{"role":"user"}})", -1, 1, 1},
        {"scalar root", "42", -1, 1, 1},
        {"numeric role", R"([{"role":"user","content":"ok"},{"role":2}])", -1, 1, 1},
        {"bad tool_calls element", R"([{"role":"assistant","tool_calls":[{"function":"f"}]}])", -1, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ConversationManager replace;
        replace.append(msg(MessageRole::user, "existing"));
        EXPECT_EQ(replace.replace_from_json(c.text), c.result);
        EXPECT_EQ(replace.messages().size(), c.after_replace);

        ConversationManager append;
        append.append(msg(MessageRole::user, "existing"));
        EXPECT_EQ(append.append_from_json(c.text), c.result);
        EXPECT_EQ(append.messages().size(), c.after_append);
        EXPECT_EQ(append.messages()[0].content, "existing");
    }

    ConversationManager c;
    ASSERT_EQ(c.replace_from_json(R"({"messages":[{"role":"user","content":[{"type":"text","text":"see"},
        {"type":"image_url","image_url":{"url":"https://h/i.png"}}]},{"role":"assistant","content":"ok",
        "tool_calls":[{"id":"c1","type":"function","function":{"name":"f","arguments":"{}"}}]}]})"),
              2);
    EXPECT_EQ(c.messages()[0].content, "see");
    EXPECT_TRUE(c.messages()[0].images.empty());
    EXPECT_EQ(c.messages()[1].tool_calls.at(0).name, "f");
}

TEST_F(SessionTest, AutosaveRules) {
    ConversationManager c;
    EXPECT_EQ(autosave_session(c), AutosaveResult::nothing_to_save);
    EXPECT_FALSE(fs::exists(file_of(c.session_id())));

    c.set_system_prompt("p");  // a prompt alone is nothing to keep
    EXPECT_EQ(autosave_session(c), AutosaveResult::nothing_to_save);

    c.set_usage(TokenUsage{5, -1, -1, -1, false});
    EXPECT_EQ(autosave_session(c), AutosaveResult::saved);
    EXPECT_TRUE(fs::exists(file_of(c.session_id())));

    c.new_session();
    c.add_user_message("hi");
    EXPECT_EQ(autosave_session(c), AutosaveResult::saved);
    EXPECT_EQ(json::parse(read_file(file_of(c.session_id())))["message_count"], 2);

    // save_session writes even an empty session.
    c.new_session();
    std::string error;
    EXPECT_TRUE(save_session_file(c, error));
    EXPECT_TRUE(fs::exists(file_of(c.session_id())));
    EXPECT_EQ(list_session_files().size(), 3u);

    // Load through the configured directory; a failure names the id.
    ConversationManager other;
    EXPECT_TRUE(load_session_file(other, c.session_id(), error));
    EXPECT_EQ(other.session_id(), c.session_id());
    EXPECT_FALSE(load_session_file(other, "unknown-id", error));
    EXPECT_EQ(error, "Failed to load session: unknown-id (the file cannot be read)");
}

TEST_F(SessionTest, PolicyNoPersistence) {
    ConversationManager c;
    c.add_user_message("hi");
    ASSERT_TRUE(c.save(dir_s()));  // a file exists from before the policy
    AgentConfig::instance().host_policy_flags = policy_no_persistence;

    std::string error;
    EXPECT_FALSE(save_session_file(c, error));
    EXPECT_EQ(error, "Conversation persistence is disabled by host policy.");
    error.clear();
    ConversationManager other;
    EXPECT_FALSE(load_session_file(other, c.session_id(), error));
    EXPECT_EQ(error, "Conversation persistence is disabled by host policy.");
    EXPECT_TRUE(other.messages().empty());
    EXPECT_TRUE(list_session_files().empty());

    ConversationManager fresh;
    fresh.add_user_message("secret");
    EXPECT_EQ(autosave_session(fresh), AutosaveResult::skipped);
    EXPECT_FALSE(fs::exists(file_of(fresh.session_id())));
    EXPECT_EQ(ConversationManager::list_sessions(dir_s()).size(), 1u);
}

TEST_F(SessionTest, FailedSaveKeepsTheOldFile) {
    ConversationManager c;
    c.add_user_message("first version");
    ASSERT_TRUE(c.save(dir_s()));
    const std::string old_text = read_file(file_of(c.session_id()));

    // A large second version that cannot be written completely.
    for (int i = 0; i < 2000; ++i) c.add_user_message(std::string(100, 'x') + std::to_string(i));

#ifndef _WIN32
    {
        // A file size limit makes the write fail part-way, like a full disk;
        // it binds every user, root included.
        struct sigaction ignore {}, previous {};
        ignore.sa_handler = SIG_IGN;
        ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
        struct rlimit old_limit {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
        struct rlimit small = old_limit;
        small.rlim_cur = 4096;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool saved = c.save(dir_s());
        setrlimit(RLIMIT_FSIZE, &old_limit);
        sigaction(SIGXFSZ, &previous, nullptr);
        EXPECT_FALSE(saved);
        EXPECT_EQ(read_file(file_of(c.session_id())), old_text);
        EXPECT_TRUE(leftovers().empty());
        // Without the limit the same save goes through.
        EXPECT_TRUE(c.save(dir_s()));
        EXPECT_EQ(json::parse(read_file(file_of(c.session_id())))["message_count"], 2001);
    }
#endif

    // The session file's place taken by a directory: the save fails cleanly.
    ConversationManager blocked;
    blocked.add_user_message("x");
    fs::create_directories(file_of(blocked.session_id()) / "occupant");
    std::string error;
    EXPECT_FALSE(save_session_file(blocked, error));
    EXPECT_EQ(error, "Failed to save conversation.");
    EXPECT_TRUE(fs::is_directory(file_of(blocked.session_id())));
    EXPECT_TRUE(leftovers().empty());

    // The conversations directory is a regular file: nothing can be written.
    AgentConfig::instance().paths.conversations_dir = "./data/plainfile";
    write_file(root_ / "data" / "plainfile", "not a directory");
    EXPECT_FALSE(save_session_file(blocked, error));
    EXPECT_EQ(read_file(root_ / "data" / "plainfile"), "not a directory");
}

TEST_F(SessionTest, LongSessionStaysCheap) {
    // 10,000 messages: appends, saves and loads stay linear.
    ConversationManager c;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5000; ++i) {
        c.add_user_message("question number " + std::to_string(i));
        ChatMessage a = msg(MessageRole::assistant, "an answer of moderate length, number " + std::to_string(i));
        c.append(std::move(a));
    }
    ASSERT_TRUE(c.save(dir_s()));
    ConversationManager back;
    ASSERT_TRUE(back.load(dir_s(), c.session_id()));
    EXPECT_EQ(back.messages().size(), 10000u);
    EXPECT_EQ(back.messages()[9999].content, c.messages()[9999].content);
    for (int i = 0; i < 10; ++i) c.add_user_message("more");
    ASSERT_TRUE(c.save(dir_s()));
    // A generous bound: this takes a few tens of milliseconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
}  // namespace vexa
