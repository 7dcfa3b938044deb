// The agent's knowledge seen from a host: the memory store and its background
// extraction, the user profile, identity and soul, through both public
// interfaces against a scripted chat-completions server; and the memory lock
// under contention at the agent level.

#include "vexa_core/core_session.hpp"
#include "vexa_core/vexa_core.h"

#include "agent/agent.hpp"
#include "config/agent_config.hpp"
#include "knowledge/memory_store.hpp"
#include "knowledge/user_profile.hpp"

#include "agent_test_util.hpp"
#include "public_driver.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vexa {
namespace {

using test::answer_response;
using test::Outcome;
using test::PublicEvent;
using test::ScriptedResponse;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kStartNotice = "正在分析对话，更新记忆...";
constexpr const char* kLearnedOne = "已学习到 1 条新知识";
constexpr const char* kExtractionOpening =
    "You are a memory extraction assistant. Analyze the conversation and extract durable facts about the user for "
    "future sessions.\n\n";
constexpr const char* kEmptyOverview = "<memory_overview>\nNo memories stored.\n</memory_overview>\n";
constexpr const char* kNewUserProfile =
    "<user_profile>\nThis is a relatively new user. Be welcoming and attentive to learn their preferences through "
    "conversation.\n</user_profile>\n";

using test::read_file;
using test::write_file;

nlohmann::json read_json(const fs::path& path) { return nlohmann::json::parse(read_file(path)); }

// A non-streamed chat completion, the shape of the extraction's buffered call.
std::string buffered_answer(const std::string& text) {
    nlohmann::json body = {{"id", "extract-1"},
                           {"choices", {{{"index", 0},
                                         {"message", {{"role", "assistant"}, {"content", text}}},
                                         {"finish_reason", "stop"}}}}};
    return body.dump();
}

// The model names the user: one candidate inside a closed ```json fence,
// with chatter around it that the fence makes harmless.
std::string name_candidate_answer() {
    const nlohmann::json candidates = nlohmann::json::array(
        {{{"category", "user_info"}, {"title", "Name"}, {"content", "Ada"}, {"keywords", {"name"}},
          {"importance", 0.9}}});
    return "Here is what I found:\n```json\n" + candidates.dump() + "\n```\nDone.";
}

ScriptedResponse extraction_response(const std::string& answer, std::chrono::milliseconds delay = 0ms) {
    ScriptedResponse r = ScriptedResponse::json(buffered_answer(answer));
    r.delay_before_headers = delay;
    return r;
}

// A memory.json entry as a hand-made one would look on disk.
nlohmann::json stored_entry(const std::string& id, const std::string& category, const std::string& title,
                            const std::string& content) {
    return {{"id", id},
            {"category", category},
            {"title", title},
            {"content", content},
            {"created_at", "2024-05-06T07:08:09"},
            {"updated_at", "2024-05-06T07:08:09"},
            {"created_origin", "user_initiated"},
            {"last_modified_origin", "user_initiated"}};
}

std::string with_gap(const std::string& block) { return block.empty() ? block : block + "\n\n"; }

int count_notices(const std::vector<PublicEvent>& events, const std::string& text) {
    int n = 0;
    for (const auto& e : events) n += (e.type == 0 && e.text == text) ? 1 : 0;
    return n;
}

// One host of the library: a scripted server, a base directory with its
// configuration and a session driven through the interface named by `kind`,
// initialised with a callback of its own for the events no turn takes.
class Host {
public:
    explicit Host(const std::string& kind) : driver(test::make_driver(kind)) {
        test::write_agent_config(dir.path(), server.base_url() + "/v1");
        test::write_knowledge_paths(dir.path());
    }
    test::CppDriver* cpp() { return dynamic_cast<test::CppDriver*>(driver.get()); }
    VexaCoreHandle* c_handle() { return static_cast<test::CDriver*>(driver.get())->handle(); }

    bool start(std::uint32_t policy = 0) {
        if (auto* session = cpp()) {
            vexa_core::InitializeOptions options;
            options.base_dir = dir.str();
            options.host_policy_flags = policy;
            return session->session().initialize(options, [this](const vexa_core::AgentEvent& e) {
                background.add({static_cast<int>(e.type), e.state, e.text, e.tool_name, e.tool_arguments,
                                e.tool_result, e.success, e.task_id});
            });
        }
        const std::string base = dir.str();
        VexaCoreInitOptions options{};
        options.base_dir = base.c_str();
        options.host_policy_flags = policy;
        return vexa_core_initialize(c_handle(), &options, &Host::on_background, this) == 1;
    }
    void shutdown() {
        if (auto* session = cpp()) return session->session().shutdown();
        vexa_core_shutdown(c_handle());
    }
    bool set_identity(const std::string& json) {
        if (auto* session = cpp()) return session->session().set_identity_from_memory(json);
        return vexa_core_set_identity_from_memory(c_handle(), json.c_str()) == 1;
    }
    bool set_soul(const std::string& text) {
        if (auto* session = cpp()) return session->session().set_soul_from_memory(text);
        return vexa_core_set_soul_from_memory(c_handle(), text.c_str()) == 1;
    }
    std::string system_prompt() {
        if (auto* session = cpp()) return session->session().get_system_prompt();
        return vexa_core_get_system_prompt(c_handle());
    }
    // Turns "u<i>" answered "a<i>" for i in [from, to], all expected to succeed.
    void turns(int from, int to) {
        for (int i = from; i <= to; ++i) {
            const Outcome r = driver->send("u" + std::to_string(i));
            ASSERT_TRUE(r.success) << "turn " << i << ": " << r.error;
        }
    }
    void enqueue_answers(int from, int to) {
        for (int i = from; i <= to; ++i) server.enqueue(answer_response({"a" + std::to_string(i)}));
    }
    bool wait_for_background_notice(const std::string& text) {
        return background.wait_for([&](const PublicEvent& e) { return e.type == 0 && e.text == text; });
    }
    nlohmann::json request(std::size_t i) const { return nlohmann::json::parse(server.requests().at(i).body); }
    std::string system_message(std::size_t i) const {
        return request(i).at("messages").at(0).at("content").get<std::string>();
    }
    fs::path memory_file() const { return dir.path() / "data" / "memory" / "memory.json"; }
    fs::path profile_file() const { return dir.path() / "data" / "memory" / "user_profile.json"; }

    test::ScriptedServer server;
    test::TempDir dir;
    test::EventLog<PublicEvent> background;
    // Last, so it goes first: its shutdown waits for a running extraction
    // while the server still answers and the log still records.
    std::unique_ptr<test::Driver> driver;

private:
    static void on_background(const VexaCoreEvent* e, void* user) {
        static_cast<Host*>(user)->background.add(
            {e->type, e->state, e->text, e->tool_name, e->tool_arguments, e->tool_result, e->success != 0, e->task_id ? e->task_id : ""});
    }
};

class KnowledgeTurnTest : public ::testing::TestWithParam<std::string> {};

// ---- background extraction -----------------------------------------------------

TEST_P(KnowledgeTurnTest, ThirdTurnExtractsAMemoryThatTheNextPromptShows) {
    Host host(GetParam());
    write_file(host.dir.path() / "config" / "identity.json", R"({"name":"Vexa","role":"helper"})");
    write_file(host.dir.path() / "config" / "soul.md", "Be kind.");
    write_file(host.dir.path() / "skills" / "deploy" / "SKILL.md",
               "---\nname: deploy\ndescription: Ship a release\n---\nRun the pipeline.\n");
    ASSERT_TRUE(host.start());
    host.enqueue_answers(1, 3);
    host.server.enqueue(extraction_response(name_candidate_answer()));

    host.turns(1, 2);
    EXPECT_EQ(count_notices(host.driver->log.events(), kStartNotice), 0);
    host.turns(3, 3);
    // Announced on the turn's own callback, before the turn reports its answer.
    const auto turn_events = host.driver->log.events();
    ASSERT_EQ(count_notices(turn_events, kStartNotice), 1);
    std::size_t notice_at = 0;
    std::size_t last_done = 0;
    for (std::size_t i = 0; i < turn_events.size(); ++i) {
        if (turn_events[i].type == 0 && turn_events[i].text == kStartNotice) notice_at = i;
        if (turn_events[i].type == 7) last_done = i;
    }
    EXPECT_LT(notice_at, last_done);
    EXPECT_EQ(count_notices(host.background.events(), kStartNotice), 0);

    ASSERT_TRUE(host.server.wait_for_requests(4));
    auto extraction = host.request(3);
    EXPECT_FALSE(extraction.contains("tools"));
    auto& sent = extraction.at("messages");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["role"], "system");
    const std::string prompt = sent[0]["content"];
    EXPECT_EQ(prompt.rfind(kExtractionOpening, 0), 0u) << prompt;
    EXPECT_NE(prompt.find(std::string("Format: [category] title: content preview\n") + kEmptyOverview +
                          "\nRecent conversation:\nUser: u1\nAssistant: a1\nUser: u2\nAssistant: a2\nUser: "
                          "u3\nAssistant: a3\n\nReturn a JSON array. Each object MUST have:\n"),
              std::string::npos)
        << prompt;
    EXPECT_EQ(sent[1]["role"], "user");
    EXPECT_EQ(sent[1]["content"], "Please analyze the conversation above and extract memories.");

    // The learned notice has no turn to go to: the initialize callback gets it.
    ASSERT_TRUE(host.wait_for_background_notice(kLearnedOne));
    EXPECT_EQ(count_notices(host.driver->log.events(), kLearnedOne), 0);

    auto stored = read_json(host.memory_file());
    ASSERT_TRUE(stored.is_array());
    ASSERT_EQ(stored.size(), 1u);
    auto& entry = stored[0];
    EXPECT_EQ(entry.size(), 8u) << entry.dump();
    EXPECT_EQ(entry["category"], "user_info");
    EXPECT_EQ(entry["title"], "Name");
    EXPECT_EQ(entry["content"], "Ada");
    EXPECT_EQ(entry["created_origin"], "memory_extractor");
    EXPECT_EQ(entry["last_modified_origin"], "memory_extractor");
    EXPECT_TRUE(std::regex_match(entry["id"].get<std::string>(),
                                 std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << entry["id"];
    EXPECT_TRUE(std::regex_match(entry["created_at"].get<std::string>(),
                                 std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << entry["created_at"];
    EXPECT_EQ(entry["created_at"], entry["updated_at"]);
    // The profile is rebuilt from the new memory and saved with it.
    auto profile = read_json(host.profile_file());
    EXPECT_EQ(profile["display_name"], "Ada");
    EXPECT_EQ(profile["interaction_count"], 1);

    const std::string identity = "<identity>\nName: Vexa\nRole: helper\nVersion: \nDescription: \n</identity>\n";
    const std::string soul = "<soul>\nBe kind.\n</soul>\n";
    const std::string overview =
        "<memory_overview>\nTotal memories: 1\nCategories: user_info (1)\n\n- [user_info] Name: Ada\n"
        "</memory_overview>\n";
    const std::string named_profile =
        "<user_profile>\nThe user's name is Ada. Address them by name occasionally.\n</user_profile>\n";
    auto check_order = [&](const std::string& text, const std::string& memory_blocks) {
        const std::string head = with_gap(identity) + with_gap(soul);
        ASSERT_EQ(text.rfind(head, 0), 0u) << text;
        ASSERT_GE(text.size(), head.size() + memory_blocks.size()) << text;
        ASSERT_EQ(text.substr(text.size() - memory_blocks.size()), memory_blocks) << text;
        const std::string skills = text.substr(head.size(), text.size() - head.size() - memory_blocks.size());
        EXPECT_EQ(skills.rfind("## Skills (mandatory)\n", 0), 0u) << skills;
        EXPECT_NE(skills.find("<skill name=\"deploy\""), std::string::npos) << skills;
        EXPECT_TRUE(skills.ends_with("</available_skills>\n\n")) << skills;
    };
    check_order(host.system_message(0), with_gap(kEmptyOverview) + with_gap(kNewUserProfile));

    host.server.enqueue(answer_response({"a4"}));
    host.turns(4, 4);
    ASSERT_EQ(host.server.request_count(), 5u);
    const std::string after = host.system_message(4);
    check_order(after, with_gap(overview) + with_gap(named_profile));
    EXPECT_EQ(host.system_prompt(), after);
}

TEST_P(KnowledgeTurnTest, FourthTurnDuringTheExtractionStartsNoOther) {
    Host host(GetParam());
    ASSERT_TRUE(host.start());
    host.enqueue_answers(1, 3);
    // Slow enough that the fourth turn begins while the extraction waits for it.
    host.server.enqueue(extraction_response(name_candidate_answer(), 300ms));
    host.server.enqueue(answer_response({"a4"}));

    host.turns(1, 3);
    ASSERT_TRUE(host.server.wait_for_requests(4));
    EXPECT_EQ(count_notices(host.background.events(), kLearnedOne), 0);  // still running
    // The turn waits for the extraction's model call, then runs on its own.
    host.turns(4, 4);
    EXPECT_EQ(count_notices(host.driver->log.events(), kStartNotice), 1);
    ASSERT_TRUE(host.wait_for_background_notice(kLearnedOne));
    host.shutdown();  // joins the extraction thread: nothing else can still be asked
    ASSERT_EQ(host.server.request_count(), 5u);
    auto turn4 = host.request(4).at("messages");
    EXPECT_EQ(turn4.back()["content"], "u4");
    EXPECT_EQ(count_notices(host.background.events(), kLearnedOne), 1);
    EXPECT_EQ(read_json(host.memory_file()).size(), 1u);
}

// Secrets that came up in the conversation and the model proposes to
// remember never reach memory.json nor any later system prompt; the ordinary
// facts of the same answer do, even where they name passwords or tokens.
TEST_P(KnowledgeTurnTest, SecretsTheModelProposesAreNotRemembered) {
    struct Proposal {
        const char* category;
        const char* title;
        const char* content;
    };
    const std::vector<Proposal> secrets = {
        {"user_info", "Mail login", "password is hunter2-Xq9"},
        {"user_info", "Bank card", "PIN 4821, card 4111 1111 1111 1111, CVV 123"},
        {"learned_fact", "Cloud access", "AWS secret access key wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY"},
        {"learned_fact", "Release pipeline", "deploy token 9f8e7d6c5b4a39281706f5e4d3c2b1a0"},
        {"learned_fact", "Payments", "api key is zz-live-8c1f2d9e7b6a5f4e"},
    };
    const std::vector<Proposal> ordinary = {
        {"user_info", "Name", "Ada"},
        {"user_preference", "Answers", "Prefers short answers and keeps logins in a password manager"},
        {"learned_fact", "Toolchain",
         "Python 3.12.1, max tokens 4096, project id 123e4567-e89b-12d3-a456-426614174000"},
    };
    nlohmann::json candidates = nlohmann::json::array();
    for (const auto* list : {&secrets, &ordinary}) {
        for (const Proposal& p : *list) {
            candidates.push_back(
                {{"category", p.category}, {"title", p.title}, {"content", p.content}, {"importance", 0.9}});
        }
    }

    Host host(GetParam());
    ASSERT_TRUE(host.start());
    host.enqueue_answers(1, 3);
    host.server.enqueue(extraction_response("```json\n" + candidates.dump() + "\n```"));
    host.turns(1, 3);
    ASSERT_TRUE(host.wait_for_background_notice("已学习到 3 条新知识"));

    const auto stored = read_json(host.memory_file());
    ASSERT_TRUE(stored.is_array());
    std::vector<std::string> titles;
    for (const auto& entry : stored) titles.push_back(entry.at("title").get<std::string>());
    std::sort(titles.begin(), titles.end());
    EXPECT_EQ(titles, (std::vector<std::string>{"Answers", "Name", "Toolchain"})) << stored.dump();

    host.server.enqueue(answer_response({"a4"}));
    host.turns(4, 4);
    ASSERT_EQ(host.server.request_count(), 5u);
    const std::string prompt = host.system_message(4);
    for (const Proposal& p : ordinary) {
        EXPECT_NE(prompt.find(std::string("- [") + p.category + "] " + p.title + ": "), std::string::npos)
            << p.title << "\n" << prompt;
    }
    for (const Proposal& p : secrets) {
        EXPECT_EQ(prompt.find(p.title), std::string::npos) << prompt;
        EXPECT_EQ(prompt.find(p.content), std::string::npos) << prompt;
    }
    for (const char* secret : {"hunter2", "4821", "4111", "wJalrXUtnFEMI", "9f8e7d6c", "zz-live"}) {
        EXPECT_EQ(prompt.find(secret), std::string::npos) << secret;
        EXPECT_EQ(read_file(host.memory_file()).find(secret), std::string::npos) << secret;
    }
    EXPECT_EQ(host.system_prompt(), prompt);
}

// ---- identity and soul --------------------------------------------------------

TEST_P(KnowledgeTurnTest, IdentityAndSoulFromFilesAndFromTheHost) {
    Host host(GetParam());
    write_file(host.dir.path() / "config" / "identity.json",
               R"({"name":"Vexa","role":"helper","capabilities":["search","write"]})");
    write_file(host.dir.path() / "config" / "soul.md", "Be kind.\n");
    ASSERT_TRUE(host.start(0x08));  // no memory blocks: the persona alone

    const std::string file_identity =
        "<identity>\nName: Vexa\nRole: helper\nVersion: \nDescription: \nCapabilities:\n- search\n- write\n"
        "</identity>\n";
    const std::string file_soul = "<soul>\nBe kind.\n\n</soul>\n";  // the closing tag always on a line of its own
    EXPECT_EQ(host.system_prompt(), file_identity + "\n\n" + file_soul + "\n\n");

    const std::string host_identity = "<identity>\nName: Host\nRole: r\nVersion: 2\nDescription: d\n</identity>\n";
    const std::string host_soul = "<soul>\nCalm.\n</soul>\n";
    EXPECT_TRUE(host.set_identity(R"({"name":"Host","role":"r","version":"2","description":"d"})"));
    EXPECT_TRUE(host.set_soul("Calm."));
    EXPECT_EQ(host.system_prompt(), host_identity + "\n\n" + host_soul + "\n\n");
    host.server.enqueue(answer_response({"hi"}));
    host.turns(1, 1);
    EXPECT_EQ(host.system_message(0), host_identity + "\n\n" + host_soul + "\n\n");

    // Refused texts, in sequence: each leaves what it had assigned before failing.
    struct Refused {
        const char* json;
        std::string identity_after;
    };
    const std::vector<Refused> refused = {
        {"{not json", host_identity},
        {"[1,2]", host_identity},
        {R"({"name":"Y","capabilities":[1]})", "<identity>\nName: Y\nRole: \nVersion: \nDescription: \n</identity>\n"},
        {R"({"role":"only"})", ""},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.json);
        EXPECT_FALSE(host.set_identity(c.json));
        EXPECT_EQ(host.driver->last_error(), "Failed to parse identity JSON from host.");
        EXPECT_EQ(host.system_prompt(), with_gap(c.identity_after) + host_soul + "\n\n");
    }

    // Empty texts clear both and succeed.
    EXPECT_TRUE(host.set_identity(R"({"name":"Z"})"));
    EXPECT_TRUE(host.set_identity(""));
    EXPECT_TRUE(host.set_soul(""));
    EXPECT_EQ(host.system_prompt(), "");
    if (!host.cpp()) {
        EXPECT_EQ(vexa_core_set_identity_from_memory(host.c_handle(), nullptr), 1);
        EXPECT_EQ(vexa_core_set_soul_from_memory(host.c_handle(), nullptr), 1);
        EXPECT_EQ(host.system_prompt(), "");
    }
}

TEST_P(KnowledgeTurnTest, PolicyBitsLeaveOutTheirLocalSources) {
    const std::string identity = "<identity>\nName: Vexa\nRole: \nVersion: \nDescription: \n</identity>\n";
    const std::string soul = "<soul>\nBe kind.\n</soul>\n";
    const std::string overview =
        "<memory_overview>\nTotal memories: 1\nCategories: user_habit (1)\n\n- [user_habit] Editor: Uses vim\n"
        "</memory_overview>\n";
    struct Case {
        std::uint32_t policy;
        bool identity;
        bool soul;
        bool memory;  // overview and profile blocks, profile start-up count, extraction
    };
    const std::vector<Case> cases = {
        {0x00, true, true, true},   {0x04, false, true, true},  {0x02, true, false, true},
        {0x08, true, true, false},  {0x0E, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("policy " + std::to_string(c.policy));
        Host host(GetParam());
        write_file(host.dir.path() / "config" / "identity.json", R"({"name":"Vexa"})");
        write_file(host.dir.path() / "config" / "soul.md", "Be kind.");
        const std::string memory_text =
            nlohmann::json::array({stored_entry("00000000-0000-4000-8000-000000000001", "user_habit", "Editor",
                                                "Uses vim")})
                .dump();
        const std::string profile_text = R"({"interaction_count":2})";
        write_file(host.memory_file(), memory_text);
        write_file(host.profile_file(), profile_text);
        ASSERT_TRUE(host.start(c.policy));

        std::string expected;
        if (c.identity) expected += with_gap(identity);
        if (c.soul) expected += with_gap(soul);
        // Three start-ups so far, no name, no preferences: still a new user.
        if (c.memory) expected += with_gap(overview) + with_gap(kNewUserProfile);
        EXPECT_EQ(host.system_prompt(), expected);

        host.enqueue_answers(1, 3);
        if (c.memory) host.server.enqueue(extraction_response("[]"));
        host.turns(1, 3);
        EXPECT_EQ(count_notices(host.driver->log.events(), kStartNotice), c.memory ? 1 : 0);
        EXPECT_EQ(host.system_message(2), expected);
        if (c.memory) {
            ASSERT_TRUE(host.server.wait_for_requests(4));
        }
        host.shutdown();
        EXPECT_EQ(host.server.request_count(), c.memory ? 4u : 3u);
        // An empty answer teaches nothing and says nothing.
        EXPECT_EQ(count_notices(host.background.events(), kLearnedOne), 0);

        if (c.memory) {
            EXPECT_EQ(read_json(host.profile_file())["interaction_count"], 3);
            auto stored = read_json(host.memory_file());
            ASSERT_EQ(stored.size(), 1u);
            EXPECT_EQ(stored[0], nlohmann::json::parse(memory_text)[0]);
        } else {
            // Neither file is read nor written.
            EXPECT_EQ(read_file(host.profile_file()), profile_text);
            EXPECT_EQ(read_file(host.memory_file()), memory_text);
        }
    }
}

// ---- user profile ------------------------------------------------------------

TEST_P(KnowledgeTurnTest, ProfileCountsStartUpsAndKnowledgeIsSavedAtShutdown) {
    Host host(GetParam());
    // The last line of the status report (the C interface has no report).
    auto status_line = [&]() -> std::string {
        auto* session = host.cpp();
        if (!session) return {};
        const std::string text = session->session().status_text();
        return text.substr(text.rfind('\n') + 1);
    };
    auto expect_status = [&](const std::string& line) {
        if (host.cpp()) {
            EXPECT_EQ(status_line(), line);
        }
    };

    // A fresh user: the first start-up counts one interaction.
    ASSERT_TRUE(host.start());
    auto profile = read_json(host.profile_file());
    EXPECT_EQ(profile.size(), 10u) << profile.dump();
    EXPECT_EQ(profile["interaction_count"], 1);
    EXPECT_FALSE(profile["first_interaction"].get<std::string>().empty());
    EXPECT_EQ(profile["first_interaction"], profile["last_interaction"]);
    EXPECT_EQ(host.system_prompt(), with_gap(kEmptyOverview) + with_gap(kNewUserProfile));
    expect_status("  用户画像: 学习中");
    host.shutdown();
    EXPECT_EQ(read_json(host.memory_file()), nlohmann::json::array());  // the empty store, saved
    EXPECT_EQ(read_json(host.profile_file())["interaction_count"], 1);

    // More than five start-ups make a returning user.
    profile = read_json(host.profile_file());
    profile["interaction_count"] = 4;
    profile["first_interaction"] = "2020-01-02T03:04:05";
    write_file(host.profile_file(), profile.dump());
    struct StartUp {
        int count;
        std::string status;
        std::string block;
    };
    const std::vector<StartUp> start_ups = {
        {5, "  用户画像: 学习中", kNewUserProfile},
        {6, "  用户画像: 已建立",
         "<user_profile>\nYou have interacted with this user 6 times. They are a returning user - maintain "
         "continuity and build on previous conversations.\n</user_profile>\n"},
    };
    for (const auto& s : start_ups) {
        SCOPED_TRACE(s.count);
        ASSERT_TRUE(host.start());
        profile = read_json(host.profile_file());
        EXPECT_EQ(profile["interaction_count"], s.count);
        EXPECT_EQ(profile["first_interaction"], "2020-01-02T03:04:05");
        EXPECT_NE(profile["last_interaction"], "2020-01-02T03:04:05");
        EXPECT_EQ(host.system_prompt(), with_gap(kEmptyOverview) + with_gap(s.block));
        expect_status(s.status);
        host.shutdown();
    }

    // A name among the memories establishes the profile at once.
    write_file(host.memory_file(),
               nlohmann::json::array({stored_entry("00000000-0000-4000-8000-000000000002", "user_info", "Your name",
                                                   "Ada")})
                   .dump());
    write_file(host.profile_file(), "{}");
    ASSERT_TRUE(host.start());
    expect_status("  用户画像: 已建立");
    EXPECT_NE(host.system_prompt().find("<user_profile>\nThe user's name is Ada. Address them by name "
                                        "occasionally.\n</user_profile>\n"),
              std::string::npos)
        << host.system_prompt();

    // Both files are written again at shutdown, from what the agent holds.
    fs::remove(host.memory_file());
    fs::remove(host.profile_file());
    host.shutdown();
    auto memories = read_json(host.memory_file());
    ASSERT_EQ(memories.size(), 1u);
    EXPECT_EQ(memories[0]["title"], "Your name");
    profile = read_json(host.profile_file());
    EXPECT_EQ(profile["display_name"], "Ada");
    EXPECT_EQ(profile["interaction_count"], 1);
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, KnowledgeTurnTest, ::testing::Values("cpp", "c"),
                         [](const auto& info) { return info.param; });

// ---- the memory lock under contention -----------------------------------------

// Stops and joins a helper thread on every way out of the test body.
class StoppedThread {
public:
    explicit StoppedThread(std::atomic<bool>& stop) : stop_(stop) {}
    ~StoppedThread() { finish(); }
    StoppedThread(const StoppedThread&) = delete;
    StoppedThread& operator=(const StoppedThread&) = delete;
    template <typename Fn>
    void run(Fn fn) { thread_ = std::thread(std::move(fn)); }
    void finish() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool>& stop_;
    std::thread thread_;
};

TEST(KnowledgeConcurrencyTest, StoreChangesWhileAnExtractionCopiesTheOverviewAndAsks) {
    test::ScriptedServer server;
    test::TempDir dir;
    auto& cfg = AgentConfig::instance();
    cfg.llm = LLMConfig{};
    cfg.llm.backend = "openai";
    cfg.llm.base_url = server.base_url() + "/v1";
    cfg.llm.model = "test-model";
    cfg.llm.timeout_seconds = 10;
    cfg.agent = AgentSettings{};
    cfg.paths = PathsConfig{};
    cfg.base_dir = dir.str();
    cfg.host_policy_flags = 0;
    test::EventLog<AgentEvent> background;
    Agent agent;
    ASSERT_TRUE(agent.start([&](const AgentEvent& e) { background.add(e); }));
    for (int i = 1; i <= 3; ++i) server.enqueue(answer_response({"a" + std::to_string(i)}));
    server.enqueue(extraction_response(name_candidate_answer(), 200ms));

    // Each change is whole under the memory lock, so every locked reader sees
    // the store without the scratch entry.
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::atomic<int> rounds_during_extraction{0};
    std::atomic<int> torn_prompts{0};
    StoppedThread mutator(stop);
    mutator.run([&] {
        while (!stop.load()) {
            const bool running = agent.memory_extraction_running();
            agent.with_memory([](MemoryStore& store, UserProfile&, const std::string&) {
                const std::string id = store.add("learned_fact", "scratch", "transient");
                store.remove(id);
            });
            if (agent.build_system_prompt().find("scratch") != std::string::npos) ++torn_prompts;
            ++rounds;
            if (running) ++rounds_during_extraction;
        }
    });

    for (int i = 1; i <= 3; ++i) {
        const AgentResponse r = agent.chat("u" + std::to_string(i), {}, {});
        ASSERT_TRUE(r.success) << r.error;
    }
    ASSERT_TRUE(background.wait_for(
        [](const AgentEvent& e) { return e.type == AgentEventType::Notice && e.text == kLearnedOne; }));
    mutator.finish();
    agent.wait_for_memory_extraction();

    EXPECT_GT(rounds.load(), 0);
    EXPECT_GT(rounds_during_extraction.load(), 0);
    EXPECT_EQ(torn_prompts.load(), 0);
    ASSERT_EQ(server.request_count(), 4u);
    const std::string prompt =
        nlohmann::json::parse(server.requests()[3].body).at("messages").at(0).at("content").get<std::string>();
    EXPECT_NE(prompt.find(std::string("Format: [category] title: content preview\n") + kEmptyOverview + "\n"),
              std::string::npos)
        << prompt;
    agent.with_memory([](const MemoryStore& store, const UserProfile& profile, const std::string&) {
        ASSERT_EQ(store.size(), 1u);
        EXPECT_EQ(store.entries().begin()->second.title, "Name");
        EXPECT_EQ(profile.display_name, "Ada");
    });
    EXPECT_NE(agent.build_system_prompt().find("- [user_info] Name: Ada\n"), std::string::npos);
    agent.shutdown();
}

}  // namespace
}  // namespace vexa
