// The host's own LLM gateway and run-time model switching seen from a host:
// whole turns through both public interfaces against scripted loopback
// chat-completions servers, plus the model reports of the facade.

#include "vexa_core/core_session.hpp"
#include "vexa_core/vexa_core.h"

#include "agent_test_util.hpp"
#include "public_driver.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace vexa {
namespace {

using nlohmann::json;
using test::answer_response;
using test::CDriver;
using test::CppDriver;
using test::Driver;
using test::Outcome;
using test::ScriptedResponse;
using test::tool_response;
namespace fs = std::filesystem;

constexpr std::uint32_t kNoLocalMemory = 0x08;  // keeps background extraction from adding requests
constexpr std::uint32_t kNoModelTool = 0x40;

using test::read_file;
using test::write_file;

fs::path config_file(const fs::path& base) { return base / "config" / "agent_config.json"; }

// The shared configuration writer with its llm section patched, and the
// catalog directories pinned: the configuration record is process-wide and a
// load keeps what the file leaves out.
void write_config(const fs::path& base, const std::string& base_url, const json& llm_patch = json::object(),
                  const json& agent_patch = json::object()) {
    test::write_agent_config(base, base_url, agent_patch);
    json config = json::parse(read_file(config_file(base)));
    for (auto it = llm_patch.begin(); it != llm_patch.end(); ++it) config["llm"][it.key()] = it.value();
    config["paths"]["config_dir"] = "./config";
    config["paths"]["model_dir"] = "./model";
    write_file(config_file(base), config.dump(4));
}

// What the host saw of a turn, segment instructions included (the shared
// driver's event record has no segment field).
struct Seen {
    int type = 0;
    std::string text;
    std::string segment;
};

std::string describe(const Seen& e) {
    switch (e.type) {
        case 3: return "content:" + e.text + (e.segment.empty() ? "" : " " + e.segment);
        case 14: return "segment:" + e.text + " " + e.segment;
        case 7: return "done:" + e.text;
        case 8: return "error:" + e.text;
        default: return {};
    }
}

struct Turn {
    Outcome outcome;
    std::vector<std::string> events;  // content, segment, done and error events in order
};

struct GatewayContext {
    std::string gateway_url;
    std::string cookie;
    std::string referer;
    std::string user;
    std::string qorbin_ext;
};

// A session through one public interface, with the calls these tests need
// that the shared driver does not offer.
class Host {
public:
    explicit Host(const std::string& kind) {
        if (kind == "cpp") {
            driver_ = std::make_unique<CppDriver>();
        } else {
            driver_ = std::make_unique<CDriver>();
        }
    }

    bool initialize(const fs::path& base, std::uint32_t policy = kNoLocalMemory) {
        driver_->policy = policy;
        return driver_->initialize(base.string());
    }
    Driver& driver() { return *driver_; }

    Turn send(const std::string& text) {
        std::vector<Seen> seen;
        Turn turn;
        if (auto* cpp = cpp_driver()) {
            const vexa_core::ChatResult r =
                cpp->session().send_text_stream(text, {}, [&](const vexa_core::AgentEvent& e) {
                    seen.push_back({static_cast<int>(e.type), e.text, e.segment});
                });
            turn.outcome = {r.success, r.error};
        } else {
            VexaCoreChatOptions chat{};
            chat.stream_content = 1;
            chat.stream_reasoning = 1;
            chat.emit_tool_events = 1;
            chat.struct_size = sizeof(VexaCoreChatOptions);
            const int ok = vexa_core_send_text_stream(handle(), text.c_str(), &chat, &Host::on_c_event, &seen);
            turn.outcome.success = ok == 1;
            if (!turn.outcome.success) turn.outcome.error = vexa_core_last_error(handle());
        }
        for (const Seen& e : seen) {
            std::string line = describe(e);
            if (!line.empty()) turn.events.push_back(std::move(line));
        }
        return turn;
    }

    bool set_context(const GatewayContext& c) {
        if (auto* cpp = cpp_driver()) {
            return cpp->session().set_host_llm_context({c.gateway_url, c.cookie, c.referer, c.user, c.qorbin_ext});
        }
        // NULL stands for an empty text in the C record.
        auto text = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
        VexaCoreHostLlmContext context{};
        context.gateway_url = text(c.gateway_url);
        context.cookie = text(c.cookie);
        context.referer = text(c.referer);
        context.user = text(c.user);
        context.qorbin_ext = text(c.qorbin_ext);
        return vexa_core_set_host_llm_context(handle(), &context) == 1;
    }

    std::string model_status_json() {
        if (auto* cpp = cpp_driver()) return cpp->session().current_model_status_json();
        return vexa_core_model_status_json(handle());
    }
    std::string current_model() {
        if (auto* cpp = cpp_driver()) return cpp->session().current_model();
        return vexa_core_current_model(handle());
    }

    CppDriver* cpp_driver() { return dynamic_cast<CppDriver*>(driver_.get()); }

private:
    VexaCoreHandle* handle() { return static_cast<CDriver*>(driver_.get())->handle(); }
    static void on_c_event(const VexaCoreEvent* e, void* user) {
        static_cast<std::vector<Seen>*>(user)->push_back({e->type, e->text, e->segment});
    }

    std::unique_ptr<Driver> driver_;
};

std::vector<std::string> offered_tools(const test::RecordedRequest& request) {
    std::vector<std::string> names;
    const json body = json::parse(request.body);
    if (!body.contains("tools")) return names;
    for (const auto& tool : body["tools"]) names.push_back(tool["function"]["name"]);
    return names;
}

bool offers(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// ---- the host gateway -------------------------------------------------------

class HostGatewayTurnTest : public ::testing::TestWithParam<std::string> {
protected:
    void start() {
        // The configured key and base URL must never reach the gateway.
        write_config(dir.path(), "http://127.0.0.1:9/unused",
                     {{"backend", "host"}, {"model", "gw-model"}, {"api_key", "sk-never-sent"}});
        ASSERT_TRUE(host.initialize(dir.path()));
    }
    GatewayContext full_context() const {
        return {server.url("/gateway/chat?tenant=7"), "sid=abc; theme=dark", "https://app.example/chat", "u-7",
                R"({"trace":"t-1","tier":2})"};
    }

    test::ScriptedServer server;
    test::TempDir dir;
    Host host{GetParam()};
};

TEST_P(HostGatewayTurnTest, TurnReachesTheGatewayAndSegmentsReachTheHost) {
    start();
    ASSERT_TRUE(host.set_context(full_context())) << host.driver().last_error();
    server.enqueue(ScriptedResponse::sse(test::sse_body({
        R"({"id":"gw-1","choices":[{"index":0,"delta":{"content":"Hello "}}]})",
        R"({"id":"gw-1","choices":[{"index":0,"delta":{"content":"draft","x_qorbin_seg_id":"s1"}}]})",
        R"({"id":"gw-1","choices":[{"index":0,"delta":{"content":"final","x_qorbin_revoke":{"seg_id":"s1","mode":"replace"}}}]})",
        R"({"id":"gw-1","choices":[{"index":0,"delta":{"content":"!tmp","x_qorbin_seg_id":"s2"}}]})",
        R"({"id":"gw-1","choices":[{"index":0,"delta":{"x_qorbin_revoke":{"seg_id":"s2","mode":"delete"}}}]})",
        R"({"id":"gw-1","choices":[{"index":0,"delta":{},"finish_reason":"stop"}]})",
    })));

    const Turn first = host.send("hi");
    ASSERT_TRUE(first.outcome.success) << first.outcome.error;
    EXPECT_EQ(first.events, (std::vector<std::string>{
                                "content:Hello ",
                                R"(content:draft {"x_qorbin_seg_id":"s1"})",
                                R"(segment:final {"x_qorbin_revoke":{"mode":"replace","seg_id":"s1"}})",
                                R"(content:!tmp {"x_qorbin_seg_id":"s2"})",
                                R"(segment: {"x_qorbin_revoke":{"mode":"delete","seg_id":"s2"}})",
                                "done:Hello final",
                            }));

    ASSERT_EQ(server.request_count(), 1u);
    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/gateway/chat?tenant=7");  // the gateway URL as it is, nothing appended
    EXPECT_EQ(request.header("Cookie"), "sid=abc; theme=dark");
    EXPECT_EQ(request.header("Referer"), "https://app.example/chat");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_FALSE(request.has_header("Authorization"));
    EXPECT_EQ(request.body.find("sk-never-sent"), std::string::npos);
    const json body = json::parse(request.body);
    EXPECT_EQ(body["user"], "u-7");
    EXPECT_EQ(body["qorbin_ext"], (json{{"trace", "t-1"}, {"tier", 2}}));
    EXPECT_EQ(body["model"], "gw-model");
    EXPECT_EQ(body["stream"], true);
    EXPECT_EQ(body["stream_options"], (json{{"include_usage", true}}));
    EXPECT_TRUE(offers(offered_tools(request), "model_management"));

    // A reset drops everything streamed so far; the history keeps only what
    // the segments resolved to.
    server.enqueue(ScriptedResponse::sse(test::sse_body({
        R"({"choices":[{"index":0,"delta":{"content":"junk","x_qorbin_seg_id":"s3"}}]})",
        R"({"choices":[{"index":0,"delta":{"x_qorbin_reset":true}}]})",
        R"({"choices":[{"index":0,"delta":{"content":"clean"},"finish_reason":"stop"}]})",
    })));
    const Turn second = host.send("again");
    ASSERT_TRUE(second.outcome.success) << second.outcome.error;
    EXPECT_EQ(second.events, (std::vector<std::string>{
                                 R"(content:junk {"x_qorbin_seg_id":"s3"})",
                                 R"(segment: {"x_qorbin_reset":true})",
                                 "content:clean",
                                 "done:clean",
                             }));
    ASSERT_EQ(server.request_count(), 2u);
    const json history = test::request_messages(server.requests()[1]);
    ASSERT_EQ(history.size(), 4u);
    EXPECT_EQ(history[2], (json{{"role", "assistant"}, {"content", "Hello final"}}));
    EXPECT_EQ(history[3]["content"], "again");
}

TEST_P(HostGatewayTurnTest, UnusableContextFailsTheTurnWithItsReason) {
    start();
    const GatewayContext full = full_context();
    struct Case {
        const char* label;
        GatewayContext context;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"never set", {}, "Host LLM gateway_url is not set. Call set_host_llm_context() before chat."},
        {"no cookie", {full.gateway_url, "", "", "", ""}, "Host LLM cookie is not set."},
        {"no referer", {full.gateway_url, full.cookie, "", full.user, ""}, "Host LLM referer is not set."},
        {"no user", {full.gateway_url, full.cookie, full.referer, "", ""}, "Host LLM user is not set."},
        {"ext array", {full.gateway_url, full.cookie, full.referer, full.user, "[1]"},
         "Host LLM qorbin_ext must be a JSON object."},
        {"ext broken", {full.gateway_url, full.cookie, full.referer, full.user, "{\"a\":"},
         "Host LLM qorbin_ext is not valid JSON."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        // The first case sends before any context was given.
        if (std::string(c.label) != "never set") {
            ASSERT_TRUE(host.set_context(c.context));
        }
        const Turn turn = host.send("hi");
        const std::string expected = std::string("LLM call failed: ") + c.reason;
        EXPECT_FALSE(turn.outcome.success);
        EXPECT_EQ(turn.outcome.error, expected);
        EXPECT_EQ(host.driver().last_error(), expected);
        EXPECT_EQ(turn.events, (std::vector<std::string>{"error:" + expected}));
    }
    EXPECT_EQ(server.request_count(), 0u);

    // A usable context afterwards works in the same session.
    ASSERT_TRUE(host.set_context(full));
    server.enqueue(answer_response({"ok"}));
    const Turn turn = host.send("hi");
    ASSERT_TRUE(turn.outcome.success) << turn.outcome.error;
    EXPECT_EQ(server.request_count(), 1u);
}

TEST_P(HostGatewayTurnTest, ContextIsRefusedByAnotherBackend) {
    write_config(dir.path(), server.base_url() + "/v1");
    ASSERT_TRUE(host.initialize(dir.path()));
    EXPECT_FALSE(host.set_context(full_context()));
    EXPECT_EQ(host.driver().last_error(), "Current LLM backend is not host.");
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, HostGatewayTurnTest, ::testing::Values("cpp", "c"),
                         [](const auto& info) { return info.param; });

// ---- switching models from inside a turn ------------------------------------

// Where the round after the switch must go, with which key and model, and
// what the configuration file must hold afterwards.
struct SwitchCase {
    const char* label;
    bool catalog;                 // write remote_models.json with an entry at the second server
    std::string arguments;        // the model_management call; {first}/{second} are the servers
    bool same_server;             // the next round goes to the first server
    std::string target;           // its request target
    std::string authorization;    // its Authorization header (an empty key leaves "Bearer")
    std::string model;            // model in that request and in the file
    std::string base_url;         // llm.base_url in the file
    std::string api_key;          // llm.api_key in the file
    std::string message_contains;
};

void replace_all(std::string& text, const std::string& key, const std::string& value) {
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size())) {
        text.replace(at, key.size(), value);
    }
}

std::string fill(std::string text, const std::string& first, const std::string& second) {
    replace_all(text, "{first}", first);
    replace_all(text, "{second}", second);
    return text;
}

class ModelSwitchTurnTest : public ::testing::TestWithParam<std::string> {
protected:
    test::ScriptedServer first;
    test::ScriptedServer second;
    test::TempDir dir;
};

TEST_P(ModelSwitchTurnTest, ToolSwitchMovesTheNextRoundAndPersistsTheChoice) {
    const std::vector<SwitchCase> cases = {
        {"same origin keeps the configured key", false,
         R"({"action":"switch_remote_model","model":"path-model","base_url":"{first}/v2"})", true,
         "/v2/chat/completions", "Bearer test-key", "path-model", "{first}/v2", "test-key",
         "Switched to remote model: path-model via {first}/v2"},
        {"catalog entry by selector", true,
         R"({"action":"switch_remote_model_by_config","remote_model_selector":"alt"})", false,
         "/v1/chat/completions", "Bearer cat-key-123", "cat-model", "{second}/v1", "cat-key-123",
         "Switched to remote model: cat-model via {second}/v1 (openai)"},
        {"catalogued origin lends its key", true,
         R"({"action":"switch_remote_model","model":"free-model","base_url":"{second}/v1"})", false,
         "/v1/chat/completions", "Bearer cat-key-123", "free-model", "{second}/v1", "cat-key-123",
         "Switched to remote model: free-model via {second}/v1"},
    };
    const std::string one = first.base_url();
    const std::string two = second.base_url();
    std::size_t first_seen = 0;
    std::size_t second_seen = 0;
    for (const SwitchCase& c : cases) {
        SCOPED_TRACE(c.label);
        test::TempDir base;
        write_config(base.path(), one + "/v1");
        if (c.catalog) {
            // The stored key is listed too, so replacing it in the file loses nothing.
            write_file(base.path() / "config" / "remote_models.json",
                       json::array({{{"id", "alt"},
                                     {"provider", "openai"},
                                     {"model", "cat-model"},
                                     {"base_url", two + "/v1/"},
                                     {"api_key", "cat-key-123"}},
                                    {{"id", "home"},
                                     {"provider", "openai"},
                                     {"model", "test-model"},
                                     {"base_url", one + "/v1"},
                                     {"api_key", "test-key"}}})
                           .dump());
        }
        Host host(GetParam());
        ASSERT_TRUE(host.initialize(base.path()));
        first.enqueue(tool_response({{"c1", "model_management", fill(c.arguments, one, two)}}));
        (c.same_server ? first : second).enqueue(answer_response({"switched"}));

        const Turn turn = host.send("use the other model");
        ASSERT_TRUE(turn.outcome.success) << turn.outcome.error;
        ASSERT_EQ(first.request_count(), first_seen + (c.same_server ? 2u : 1u));
        ASSERT_EQ(second.request_count(), second_seen + (c.same_server ? 0u : 1u));
        EXPECT_EQ(first.requests()[first_seen].header("Authorization"), "Bearer test-key");
        const test::RecordedRequest next =
            c.same_server ? first.requests()[first_seen + 1] : second.requests()[second_seen];
        first_seen = first.request_count();
        second_seen = second.request_count();

        EXPECT_EQ(next.target, c.target);
        EXPECT_EQ(next.header("Authorization"), c.authorization);
        const json body = json::parse(next.body);
        EXPECT_EQ(body["model"], c.model);
        const json& result_message = body["messages"].back();
        ASSERT_EQ(result_message["role"], "tool");
        const json result = json::parse(result_message["content"].get<std::string>());
        EXPECT_EQ(result["success"], true);
        EXPECT_EQ(result["switched"], true);
        EXPECT_EQ(result["persisted"], true);
        EXPECT_EQ(result["active_config"]["api_key_configured"], !c.api_key.empty());
        EXPECT_NE(result["message"].get<std::string>().find(fill(c.message_contains, one, two)), std::string::npos)
            << result["message"];
        // Keys never travel back to the model.
        EXPECT_EQ(result_message["content"].get<std::string>().find("key-123"), std::string::npos);

        const json saved = json::parse(read_file(config_file(base.path())));
        EXPECT_EQ(saved["llm"]["backend"], "openai_compatible");
        EXPECT_EQ(saved["llm"]["model"], c.model);
        EXPECT_EQ(saved["llm"]["base_url"], fill(c.base_url, one, two));
        EXPECT_EQ(saved["llm"]["api_key"], c.api_key);
        EXPECT_EQ(host.current_model(), c.model);
    }
}

TEST_P(ModelSwitchTurnTest, SwitchHoldsForLaterTurnsAndFailedSwitchKeepsTheModel) {
    write_config(dir.path(), first.base_url() + "/v1", json::object(), {{"allow_unlisted_model_endpoints", true}});
    Host host(GetParam());
    ASSERT_TRUE(host.initialize(dir.path()));
    // No catalog: a bare model name is a catalog selector and finds nothing.
    first.enqueue(tool_response({{"c1", "model_management", R"({"action":"switch_remote_model","model":"ghost"})"}}));
    first.enqueue(tool_response(
        {{"c2", "model_management",
          R"({"action":"SWITCH_REMOTE_MODEL","model":"other-model","base_url":")" + second.base_url() + R"(/v1"})"}}));
    second.enqueue(answer_response({"done"}));
    const Turn turn = host.send("switch");
    ASSERT_TRUE(turn.outcome.success) << turn.outcome.error;
    ASSERT_EQ(first.request_count(), 2u);
    const json after_failure = test::request_messages(first.requests()[1]);
    // A failed call reaches the model flagged, with the tool's own result after the flag.
    const std::string content = after_failure.back()["content"];
    EXPECT_EQ(content.rfind("⚠️ TOOL_FAILED: model_management — ", 0), 0u) << content;
    const std::size_t raw = content.find("\n{");
    ASSERT_NE(raw, std::string::npos) << content;
    const json failed = json::parse(content.substr(raw + 1));
    EXPECT_EQ(failed["success"], false);
    EXPECT_EQ(failed["error"],
              "No supported remote models are configured in: " + (dir.path() / "config" / "remote_models.json").string());
    EXPECT_EQ(first.requests()[1].header("Authorization"), "Bearer test-key");
    EXPECT_EQ(json::parse(first.requests()[1].body)["model"], "test-model");
    ASSERT_EQ(second.request_count(), 1u);
    const json status = json::parse(host.model_status_json());
    EXPECT_EQ(status["model"], "other-model");
    EXPECT_EQ(status["backend"], "openai_compatible");
    EXPECT_EQ(status["base_url"], second.base_url() + "/v1");
    EXPECT_EQ(status["api_key_configured"], false);
    EXPECT_EQ(status["api_key_display"], "not configured");

    // The switch holds for the next turn, which goes to the second server too.
    second.enqueue(answer_response({"still here"}));
    const Turn later = host.send("and now?");
    ASSERT_TRUE(later.outcome.success) << later.outcome.error;
    EXPECT_EQ(first.request_count(), 2u);
    ASSERT_EQ(second.request_count(), 2u);
    EXPECT_EQ(json::parse(second.requests()[1].body)["model"], "other-model");
    EXPECT_EQ(second.requests()[1].header("Authorization"), "Bearer");
}

// What the model's switch did, as the tool result the next round carries.
json last_tool_result(const test::RecordedRequest& request) {
    const std::string content = test::request_messages(request).back()["content"];
    // A failed call arrives flagged, with the tool's own result after the flag.
    const std::size_t raw = content.find("\n{");
    return json::parse(raw == std::string::npos ? content : content.substr(raw + 1));
}

// A model-made switch never redirects the session for good to a server of the
// model's choosing, and never costs the user the key stored in the file:
// refused by default (nothing reaches the server, the file is unchanged byte
// for byte), where the host allows it for the session only; a listed endpoint
// whose saving would replace the stored key holds for the session only too.
TEST_P(ModelSwitchTurnTest, ModelMadeSwitchesStayWithinWhatTheUserListed) {
    struct Case {
        const char* label;
        bool allow_unlisted;
        bool catalog_second;      // remote_models.json lists the second server (without a key)
        std::string base_url;     // {second} is the second server
        bool switched;            // the next round goes to the second server
        std::string error_start;  // the tool's error when refused
    };
    const std::vector<Case> cases = {
        {"unlisted origin, refused by default", false, false, "{second}/v1", false,
         "Model switch refused: http://127.0.0.1:"},
        {"unlisted origin, allowed for the session", true, false, "{second}/v1", true, ""},
        {"listed origin without the stored key: session only", false, true, "{second}/v1", true, ""},
        {"file URL, even when allowed", true, false, "file:///etc/passwd", false,
         "Model switch refused: the base URL must start with http:// or https://"},
        {"link-local metadata address", true, false, "http://169.254.169.254/latest", false,
         "Model switch refused: the base URL points at a link-local address"},
        {"user information", true, false, "http://a@127.0.0.1:9/v1", false,
         "Model switch refused: the base URL carries user information"},
    };
    const std::string one = first.base_url();
    const std::string two = second.base_url();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::size_t f0 = first.request_count();
        const std::size_t s0 = second.request_count();
        test::TempDir base;
        write_config(base.path(), one + "/v1", json::object(), {{"allow_unlisted_model_endpoints", c.allow_unlisted}});
        if (c.catalog_second) {
            write_file(base.path() / "config" / "remote_models.json",
                       json::array({{{"id", "free"}, {"provider", "http"}, {"model", "free"}, {"base_url", two + "/v1"}}})
                           .dump());
        }
        const std::string stored = read_file(config_file(base.path()));
        {
            Host host(GetParam());
            ASSERT_TRUE(host.initialize(base.path()));
            const json call = {{"action", "switch_remote_model"}, {"model", "evil"}, {"base_url", fill(c.base_url, one, two)}};
            first.enqueue(tool_response({{"c1", "model_management", call.dump()}}));
            (c.switched ? second : first).enqueue(answer_response({"after the switch"}));
            const Turn turn = host.send("switch please");
            ASSERT_TRUE(turn.outcome.success) << turn.outcome.error;

            ASSERT_EQ(first.request_count(), f0 + (c.switched ? 1u : 2u));
            ASSERT_EQ(second.request_count(), s0 + (c.switched ? 1u : 0u)) << "nothing reaches a refused server";
            const test::RecordedRequest next = c.switched ? second.requests()[s0] : first.requests()[f0 + 1];
            const json result = last_tool_result(next);
            if (c.switched) {
                EXPECT_EQ(next.header("Authorization"), "Bearer") << "the stored key stays behind";
                EXPECT_EQ(next.body.find("test-key"), std::string::npos);
                EXPECT_EQ(result["success"], true);
                EXPECT_EQ(result["persisted"], false);
                EXPECT_NE(result["message"].get<std::string>().find("for this session only"), std::string::npos)
                    << result["message"];
                // It holds for the rest of the session.
                second.enqueue(answer_response({"still here"}));
                ASSERT_TRUE(host.send("and now?").outcome.success);
                EXPECT_EQ(second.request_count(), s0 + 2u);
            } else {
                EXPECT_EQ(next.header("Authorization"), "Bearer test-key") << "the model stays where it was";
                EXPECT_EQ(result["success"], false);
                EXPECT_EQ(result["error"].get<std::string>().rfind(c.error_start, 0), 0u) << result["error"];
                EXPECT_EQ(host.current_model(), "test-model");
            }
        }
        EXPECT_EQ(read_file(config_file(base.path())), stored) << "the configuration file is untouched";

        // The next start goes back to the stored endpoint, with the stored key.
        Host again(GetParam());
        ASSERT_TRUE(again.initialize(base.path()));
        first.enqueue(answer_response({"home again"}));
        const std::size_t before = first.request_count();
        ASSERT_TRUE(again.send("hello").outcome.success);
        ASSERT_EQ(first.request_count(), before + 1);
        EXPECT_EQ(first.requests().back().header("Authorization"), "Bearer test-key");
    }
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, ModelSwitchTurnTest, ::testing::Values("cpp", "c"),
                         [](const auto& info) { return info.param; });

// ---- model reports and the tool policy --------------------------------------

class ModelReportTest : public ::testing::TestWithParam<std::string> {
protected:
    test::ScriptedServer server;
    test::TempDir dir;
};

// Indented by two spaces, as the facade promises.
json parse_indented(const std::string& text) {
    const json document = json::parse(text);
    EXPECT_EQ(text, document.dump(2));
    return document;
}

TEST_P(ModelReportTest, StatusJsonDescribesTheConfiguredModelWithoutItsKey) {
    write_config(dir.path(), server.base_url() + "/v1");
    Host host(GetParam());
    ASSERT_TRUE(host.initialize(dir.path()));
    const std::string text = host.model_status_json();
    const json status = parse_indented(text);
    EXPECT_EQ(status["success"], true);
    EXPECT_EQ(status["backend"], "openai");
    EXPECT_EQ(status["model"], "test-model");
    EXPECT_EQ(status["base_url"], server.base_url() + "/v1");
    EXPECT_EQ(status["api_key_configured"], true);
    EXPECT_EQ(status["api_key_display"], "configured (...-key)");
    EXPECT_EQ(status["override_active"], false);
    for (const char* field : {"backend", "base_url", "api_key", "model", "temperature", "max_tokens", "timeout_seconds"}) {
        EXPECT_EQ(status["source"][field], "config") << field;
    }
    EXPECT_EQ(fs::path(status["config_path"].get<std::string>()), config_file(dir.path()));
    EXPECT_EQ(fs::path(status["remote_models_config_path"].get<std::string>()),
              dir.path() / "config" / "remote_models.json");
    EXPECT_EQ(status["model_dir"], "./model");
    EXPECT_EQ(fs::path(status["model_dir_resolved"].get<std::string>()).lexically_normal(),
              (dir.path() / "model").lexically_normal());
    EXPECT_FALSE(status.contains("last_error"));
    EXPECT_EQ(text.find("test-key"), std::string::npos);
}

TEST_P(ModelReportTest, PolicyRemovesOnlyTheModelTool) {
    struct Case {
        std::uint32_t policy;
        bool model_tool;
    };
    for (const Case c : {Case{kNoLocalMemory, true}, Case{kNoLocalMemory | kNoModelTool, false}}) {
        SCOPED_TRACE(c.policy);
        test::TempDir base;
        write_config(base.path(), server.base_url() + "/v1");
        Host host(GetParam());
        ASSERT_TRUE(host.initialize(base.path(), c.policy));
        server.enqueue(answer_response({"ok"}));
        const std::size_t before = server.request_count();
        ASSERT_TRUE(host.send("hi").outcome.success);
        ASSERT_EQ(server.request_count(), before + 1);
        const std::vector<std::string> tools = offered_tools(server.requests()[before]);
        EXPECT_TRUE(offers(tools, "skill_inspect_tool"));
        EXPECT_EQ(offers(tools, "model_management"), c.model_tool);
        if (c.model_tool) {
            // Registered in a fixed order: the model tool before the skill tool.
            EXPECT_LT(std::find(tools.begin(), tools.end(), "model_management"),
                      std::find(tools.begin(), tools.end(), "skill_inspect_tool"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, ModelReportTest, ::testing::Values("cpp", "c"),
                         [](const auto& info) { return info.param; });

// The catalog lists have no C counterpart.
TEST(ModelCatalogReportTest, LocalAndRemoteListsOfTheFacade) {
    test::TempDir dir;
    write_config(dir.path(), "http://127.0.0.1:9/v1");
    write_file(dir.path() / "model" / "tiny.gguf", std::string(2048, 'g'));
    write_file(dir.path() / "model" / "notes.txt", "not a model");
    write_file(dir.path() / "config" / "remote_models.json",
               json::array({{{"provider", "OpenAI"},
                             {"model", "cat-model"},
                             {"base_url", "https://api.example.test/v1/"},
                             {"api_key", "sk-abcdefghij"}},
                            {{"provider", "unknown-kind"}, {"model", "skipped"}, {"base_url", "https://x.test"}}})
                   .dump());
    vexa_core::CoreSession session;
    vexa_core::InitializeOptions init;
    init.base_dir = dir.str();
    init.host_policy_flags = kNoLocalMemory;
    ASSERT_TRUE(session.initialize(init));

    const json local = parse_indented(session.local_models_json());
    EXPECT_EQ(local["success"], true);
    EXPECT_EQ(local["model_dir"], "./model");
    EXPECT_EQ(local["count"], 1);
    ASSERT_EQ(local["models"].size(), 1u);
    const json& tiny = local["models"][0];
    EXPECT_EQ(tiny["id"], "1");
    EXPECT_EQ(tiny["name"], "tiny");
    EXPECT_EQ(fs::path(tiny["path"].get<std::string>()), (dir.path() / "model" / "tiny.gguf").lexically_normal());
    EXPECT_EQ(tiny["config_path"], (fs::path("./model") / "tiny.gguf").string());
    EXPECT_EQ(tiny["size_bytes"], 2048);
    EXPECT_EQ(tiny["size"], "0.00 MB");
    EXPECT_EQ(local["message"],
              "Ask the user to choose one model by id or name before switching, unless they already gave an explicit "
              "selection.");

    const std::string remote_text = session.remote_models_json();
    const json remote = parse_indented(remote_text);
    EXPECT_EQ(remote["success"], true);
    EXPECT_EQ(fs::path(remote["config_path"].get<std::string>()), dir.path() / "config" / "remote_models.json");
    EXPECT_EQ(remote["count"], 1);
    EXPECT_EQ(remote["models"], (json::array({{{"id", "1"},
                                               {"provider", "OpenAI"},
                                               {"backend", "openai_compatible"},
                                               {"model", "cat-model"},
                                               {"base_url", "https://api.example.test/v1"},
                                               {"api_key_configured", true},
                                               {"api_key_display", "configured (...ghij)"}}})));
    EXPECT_EQ(remote["message"],
              "Use switch_remote_model_by_config with a remote_model_selector id, model, or provider/model. API keys "
              "are intentionally omitted.");
    EXPECT_EQ(remote_text.find("sk-abcdefghij"), std::string::npos);

    // Without the catalog file the list is empty, not an error.
    fs::remove(dir.path() / "config" / "remote_models.json");
    const json none = parse_indented(session.remote_models_json());
    EXPECT_EQ(none["success"], true);
    EXPECT_EQ(none["count"], 0);
    EXPECT_EQ(none["message"].get<std::string>().rfind(
                  "No supported remote models are configured. Create config/remote_models.json", 0),
              0u);
}

}  // namespace
}  // namespace vexa
