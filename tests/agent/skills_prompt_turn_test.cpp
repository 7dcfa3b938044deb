// The system prompt, the skill library and context compression seen from a
// host: whole turns through both public interfaces against a scripted
// chat-completions server.

#include "vexa_core/core_session.hpp"
#include "vexa_core/vexa_core.h"

#include "agent_test_util.hpp"
#include "public_driver.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace vexa {
namespace {

using test::answer_response;
using test::CDriver;
using test::CppDriver;
using test::Driver;
using test::Outcome;
using test::ScriptedResponse;
using test::tool_response;
using test::TurnOptions;
namespace fs = std::filesystem;

using test::read_file;
using test::write_file;

std::string buffered_answer(const std::string& text, int prompt_tokens = 0) {
    nlohmann::json body = {{"id", "sum-1"},
                           {"choices", {{{"index", 0},
                                         {"message", {{"role", "assistant"}, {"content", text}}},
                                         {"finish_reason", "stop"}}}}};
    if (prompt_tokens > 0) {
        body["usage"] = {{"prompt_tokens", prompt_tokens}, {"completion_tokens", 7}, {"total_tokens", prompt_tokens + 7}};
    }
    return body.dump();
}

class SkillsPromptTurnTest : public ::testing::TestWithParam<std::string> {
protected:
    void start() {
        test::write_agent_config(dir.path(), server.base_url() + "/v1");
        if (GetParam() == "cpp") {
            driver = std::make_unique<CppDriver>();
        } else {
            driver = std::make_unique<CDriver>();
        }
        // Without the memory blocks, so the prompts hold only what a test puts there.
        driver->policy = 0x08;
        ASSERT_TRUE(driver->initialize(dir.str()));
    }
    int load_host_skills(const std::string& json) {
        if (auto* cpp = dynamic_cast<CppDriver*>(driver.get())) return cpp->session().load_skills_from_memory(json);
        return vexa_core_set_skills_from_memory(static_cast<CDriver*>(driver.get())->handle(), json.c_str());
    }
    int set_conversation(const std::string& json) {
        if (auto* cpp = dynamic_cast<CppDriver*>(driver.get())) return cpp->session().set_conversation_from_memory(json);
        return vexa_core_set_conversation_from_memory(static_cast<CDriver*>(driver.get())->handle(), json.c_str());
    }
    std::string system_prompt() {
        if (auto* cpp = dynamic_cast<CppDriver*>(driver.get())) return cpp->session().get_system_prompt();
        return vexa_core_get_system_prompt(static_cast<CDriver*>(driver.get())->handle());
    }
    void add_system_prompt(const std::string& text) {
        if (auto* cpp = dynamic_cast<CppDriver*>(driver.get())) return cpp->session().add_system_prompt(text);
        vexa_core_add_system_prompt(static_cast<CDriver*>(driver.get())->handle(), text.c_str());
    }
    nlohmann::json messages(std::size_t i) const { return test::request_messages(server.requests().at(i)); }

    test::ScriptedServer server;
    test::TempDir dir;
    std::unique_ptr<Driver> driver;
};

TEST_P(SkillsPromptTurnTest, DiskSkillInTheCatalogAndItsManualThroughTheTool) {
    write_file(dir.path() / "skills" / "deploy" / "SKILL.md",
               "---\nname: deploy\ndescription: Ship a release\nversion: 2\n---\n# Deploy\nRun the pipeline.\n");
    write_file(dir.path() / "skills" / "deploy" / "references" / "checklist.md", "- tests\n");
    start();
    server.enqueue(tool_response({{"c1", "skill_inspect_tool", R"({"action":"view","skill_name":"deploy"})"}}));
    server.enqueue(answer_response({"shipped"}));

    const Outcome r = driver->send("please deploy");
    ASSERT_TRUE(r.success) << r.error;
    ASSERT_EQ(server.requests().size(), 2u);

    const auto first = messages(0);
    EXPECT_EQ(first[0]["role"], "system");
    const std::string prompt = first[0]["content"];
    EXPECT_EQ(prompt.rfind("## Skills (mandatory)\n", 0), 0u) << prompt;
    EXPECT_NE(prompt.find("<available_skills>\n<skill name=\"deploy\" version=\"2\" mode=\"summary\">\nShip a "
                          "release\n</skill>\n\n</available_skills>\n\n"),
              std::string::npos)
        << prompt;
    bool offered = false;
    const auto body = nlohmann::json::parse(server.requests()[0].body);
    for (const auto& tool : body["tools"]) {
        offered = offered || tool["function"]["name"] == "skill_inspect_tool";
    }
    EXPECT_TRUE(offered);

    const auto second = messages(1);
    const auto& result = second.back();
    ASSERT_EQ(result["role"], "tool");
    const auto view = nlohmann::json::parse(result["content"].get<std::string>());
    EXPECT_EQ(view["success"], true);
    EXPECT_EQ(view["manual"], "# Deploy\nRun the pipeline.\n");
    EXPECT_EQ(view["references"], nlohmann::json::array({"references/checklist.md"}));

    const auto activity = nlohmann::json::parse(read_file(dir.path() / "skills" / ".activity.json"));
    EXPECT_EQ(activity["version"], 1);
    EXPECT_TRUE(activity["entries"]["deploy"].is_string());
    EXPECT_EQ(system_prompt(), prompt);
}

TEST_P(SkillsPromptTurnTest, HostSkillsReplaceTheLibrary) {
    write_file(dir.path() / "skills" / "deploy" / "SKILL.md", "Deploy body");
    start();
    EXPECT_NE(system_prompt().find("<skill name=\"deploy\" mode=\"summary\">\n</skill>"), std::string::npos);

    EXPECT_EQ(load_host_skills("{}"), -1);
    EXPECT_EQ(driver->last_error(), "skills_json must be a JSON array.");
    EXPECT_EQ(load_host_skills("[1,"), -1);
    EXPECT_EQ(driver->last_error().rfind("Failed to parse skills JSON from host: ", 0), 0u) << driver->last_error();
    EXPECT_NE(system_prompt().find("name=\"deploy\""), std::string::npos);  // unchanged

    const std::string skills = R"([{"name":"report","body":"---\nname: other\ndescription: Weekly report\n---\nWrite it.",
        "resources":[{"path":"references/template.md","content":"T"}]}])";
    EXPECT_EQ(load_host_skills(skills), 1);
    const std::string prompt = system_prompt();
    EXPECT_EQ(prompt.find("name=\"deploy\""), std::string::npos) << prompt;
    EXPECT_NE(prompt.find("<skill name=\"report\" mode=\"summary\">\nWeekly report\n</skill>"), std::string::npos);

    server.enqueue(tool_response({{"c1", "skill_inspect_tool", R"({"action":"view","skill_name":"report"})"}}));
    server.enqueue(answer_response({"ok"}));
    ASSERT_TRUE(driver->send("weekly").success);
    const auto view = nlohmann::json::parse(messages(1).back()["content"].get<std::string>());
    EXPECT_EQ(view["manual"], "Write it.");
    EXPECT_EQ(view["reference_contents"], (nlohmann::json{{"references/template.md", "T"}}));

    EXPECT_EQ(load_host_skills("[]"), 0);
    EXPECT_EQ(system_prompt(), "");
}

TEST_P(SkillsPromptTurnTest, PromptsOfHostTurnAndAnEmptySystemMessage) {
    start();
    // No skills, no host texts: the request still opens with a system message.
    server.enqueue(answer_response({"a"}));
    ASSERT_TRUE(driver->send("one").success);
    EXPECT_EQ(messages(0)[0], (nlohmann::json{{"role", "system"}, {"content", ""}}));

    // The turn prompt is in every round of its turn and gone afterwards.
    add_system_prompt("first");
    add_system_prompt("rules");
    ASSERT_TRUE(driver->register_tool("probe", [](const std::string&) { return std::string(R"({"v":1})"); }));
    server.enqueue(tool_response({{"c1", "probe", "{}"}}));
    server.enqueue(answer_response({"b"}));
    TurnOptions options;
    options.turn_system_prompt = "this turn only";
    ASSERT_TRUE(driver->send("two", options).success);
    EXPECT_EQ(messages(1)[0]["content"], "rules\n\nthis turn only\n\n");
    EXPECT_EQ(messages(2)[0]["content"], "rules\n\nthis turn only\n\n");
    server.enqueue(answer_response({"c"}));
    ASSERT_TRUE(driver->send("three").success);
    EXPECT_EQ(messages(3)[0]["content"], "rules\n\n");
    EXPECT_EQ(system_prompt(), "rules\n\n");
}

// Eight completed turns from the host, then turn nine live: the next message
// finds nine completed turns, more than the threshold of eight.
std::string eight_turns() {
    nlohmann::json list = nlohmann::json::array();
    for (int i = 1; i <= 8; ++i) {
        list.push_back({{"role", "user"}, {"content", "u" + std::to_string(i)}});
        list.push_back({{"role", "assistant"}, {"content", "a" + std::to_string(i)}});
    }
    return list.dump();
}

TEST_P(SkillsPromptTurnTest, LongConversationIsSummarisedKeepingTheLastFourTurns) {
    start();
    ASSERT_EQ(set_conversation(eight_turns()), 16);
    server.enqueue(answer_response({"a9"}));
    ASSERT_TRUE(driver->send("u9").success);
    ASSERT_EQ(messages(0).size(), 1u + 16u + 1u);  // not compressed at eight

    server.enqueue(ScriptedResponse::json(buffered_answer("the summary", 5000)));
    server.enqueue(answer_response({"a10"}));
    ASSERT_TRUE(driver->send("u10").success);
    ASSERT_EQ(server.requests().size(), 3u);

    const auto summary_request = nlohmann::json::parse(server.requests()[1].body);
    EXPECT_FALSE(summary_request.contains("tools"));
    const auto& sent = summary_request["messages"];
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["role"], "system");
    EXPECT_EQ(sent[0]["content"].get<std::string>().rfind("Please summarize the following conversation concisely", 0),
              0u);
    std::string transcript;
    for (int i = 1; i <= 5; ++i) {
        transcript += "user: u" + std::to_string(i) + "\n\nassistant: a" + std::to_string(i) + "\n\n";
    }
    EXPECT_EQ(sent[1], (nlohmann::json{{"role", "user"},
                                       {"content", "以下是用户的对话历史，需要对其进行压缩。\n<>\n" + transcript +
                                                       "<>\n输出最终摘要。"}}));

    const auto turn = messages(2);
    std::vector<std::string> contents;
    for (const auto& m : turn) contents.push_back(m["content"]);
    EXPECT_EQ(contents, (std::vector<std::string>{
                            "",
                            "[Conversation Summary]\n[这是一段较早对话的压缩摘要，仅作为背景参考；它不是用户提问，"
                            "不要直接回应或复述]\nthe summary",
                            "u6", "a6", "u7", "a7", "u8", "a8", "u9", "a9", "u10"}));

    // The summary's 5000 prompt tokens are not the session's.
    ASSERT_TRUE(driver->save_session());
    const auto file = nlohmann::json::parse(
        read_file(dir.path() / "data" / "conversations" / (driver->session_id() + ".json")));
    EXPECT_LT(file["session_usage"]["prompt_tokens"].get<int>(), 5000);
}

TEST_P(SkillsPromptTurnTest, FailedOrEmptySummaryLeavesTheConversationWhole) {
    start();
    ASSERT_EQ(set_conversation(eight_turns()), 16);
    server.enqueue(answer_response({"a9"}));
    ASSERT_TRUE(driver->send("u9").success);

    server.enqueue(ScriptedResponse::json(R"({"error":{"message":"overloaded"}})", 503));
    server.enqueue(answer_response({"a10"}));
    const Outcome failed = driver->send("u10");
    ASSERT_TRUE(failed.success) << failed.error;
    EXPECT_EQ(driver->last_error(), "");
    EXPECT_EQ(messages(2).size(), 1u + 18u + 1u);

    server.enqueue(ScriptedResponse::json(buffered_answer("")));
    server.enqueue(answer_response({"a11"}));
    ASSERT_TRUE(driver->send("u11").success);
    EXPECT_EQ(messages(4).size(), 1u + 20u + 1u);
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, SkillsPromptTurnTest, ::testing::Values("cpp", "c"),
                         [](const auto& info) { return info.param; });

TEST(SkillsPolicyTest, NoLocalSkillsKeepsTheToolAndHostSkills) {
    test::ScriptedServer server;
    test::TempDir dir;
    test::write_agent_config(dir.path(), server.base_url() + "/v1");
    write_file(dir.path() / "skills" / "deploy" / "SKILL.md", "Deploy body");
    vexa_core::CoreSession session;
    vexa_core::InitializeOptions init;
    init.base_dir = dir.str();
    init.host_policy_flags = 0x01 | 0x08;
    std::vector<std::string> notices;
    ASSERT_TRUE(session.initialize(init, [&](const vexa_core::AgentEvent& e) {
        if (e.type == vexa_core::AgentEventType::Notice) notices.push_back(e.text);
    }));
    EXPECT_EQ(session.get_system_prompt(), "");
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(session.load_skills_from_memory(R"([{"name":"x","body":"b","inline":"full"}])"), 1);
    EXPECT_EQ(notices, (std::vector<std::string>{"Injected 1 skill(s) from host memory."}));
    EXPECT_NE(session.get_system_prompt().find("<skill name=\"x\" mode=\"full\">\nb\n</skill>\n\n</available_skills>"),
              std::string::npos);
    EXPECT_NE(session.status_text().find("  Loaded Skills: 1\n"), std::string::npos);

    // Without the policy the disk skills load and are announced.
    vexa_core::CoreSession local;
    init.host_policy_flags = 0x08;
    notices.clear();
    ASSERT_TRUE(local.initialize(init, [&](const vexa_core::AgentEvent& e) {
        if (e.type == vexa_core::AgentEventType::Notice) notices.push_back(e.text);
    }));
    EXPECT_EQ(notices, (std::vector<std::string>{"Loaded 1 skill(s)."}));
}

}  // namespace
}  // namespace vexa
