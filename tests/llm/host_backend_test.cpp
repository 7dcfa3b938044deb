// The host gateway backend: the context checks, the request body with its
// "user" and "qorbin_ext" members, the headers, streamed answers with segment
// events, buffered answers, selection through the client, and a context
// replaced while requests run.

#include "llm/host_backend.hpp"

#include "fixtures/scripted_server.hpp"
#include "llm/llm_client.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

using nlohmann::json;
using test::ScriptedResponse;
using test::ScriptedServer;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

const char* const kNoGateway = "Host LLM gateway_url is not set. Call set_host_llm_context() before chat.";

LLMConfig host_config(const std::string& model = "gw-model") {
    LLMConfig config;
    config.backend = "host";
    config.base_url = "http://unused.invalid/v1";  // the gateway URL comes from the context
    config.api_key = "sk-never-sent";
    config.model = model;
    config.temperature = 0.25;
    config.max_tokens = 321;
    config.timeout_seconds = 10;
    return config;
}

HostLlmContext context_for(const std::string& url, const std::string& qorbin_ext = "") {
    HostLlmContext context;
    context.gateway_url = url;
    context.cookie = "session=abc; theme=dark";
    context.referer = "https://app.example/chat";
    context.user = "user-42";
    context.qorbin_ext = qorbin_ext;
    return context;
}

std::unique_ptr<HostBackend> configured(const LLMConfig& config) {
    auto backend = std::make_unique<HostBackend>();
    std::string error = "stale";
    EXPECT_TRUE(backend->configure(config, error, nullptr));
    EXPECT_EQ(error, "");
    return backend;
}

ChatMessage message(MessageRole role, const std::string& content) {
    ChatMessage m;
    m.role = role;
    m.content = content;
    return m;
}

std::vector<ChatMessage> question() { return {message(MessageRole::user, "天气如何?")}; }

std::vector<ToolDefinition> tools() {
    ToolDefinition unnamed;
    ToolDefinition named;
    named.name = "get_weather";
    named.parameters = json{{"type", "object"}};
    return {unnamed, named};
}

struct Recorder {
    std::vector<std::string> log;
    StreamCallbacks callbacks() {
        StreamCallbacks cb;
        cb.on_content = [this](const std::string& t) { log.push_back("content:" + t); };
        cb.on_reasoning = [this](const std::string& t) { log.push_back("reasoning:" + t); };
        cb.on_state = [this](LLMState s) { log.push_back("state:" + state_name(s)); };
        cb.on_tool_call = [this](const ToolCall& c) { log.push_back("tool:" + c.name); };
        cb.on_segment = [this](SegmentAction a, const std::string& text, const std::string& raw) {
            log.push_back("segment:" + std::to_string(static_cast<int>(a)) + "|" + text + "|" + raw);
        };
        return cb;
    }
};

std::ptrdiff_t header_position(const test::RecordedRequest& request, const std::string& name) {
    const auto names = request.header_names();
    const auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : it - names.begin();
}

std::string sse_answer(const std::string& text) {
    return test::sse_body({json{{"choices", {{{"index", 0}, {"delta", {{"content", text}}}}}}}.dump(),
                           R"({"choices":[{"index":0,"delta":{},"finish_reason":"stop"}]})"});
}

// ------------------------------------------------------------ the context

TEST(HostBackendTest, EveryContextCheckFirstFailureWins) {
    struct Case {
        const char* label;
        HostLlmContext context;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"all empty", {}, kNoGateway},
        {"gateway only: cookie reported although referer and user are empty too",
         {"https://gw", "", "", "", ""},
         "Host LLM cookie is not set."},
        {"no referer", {"https://gw", "c=1", "", "u", ""}, "Host LLM referer is not set."},
        {"no user", {"https://gw", "c=1", "https://ref", "", ""}, "Host LLM user is not set."},
        {"gateway missing wins over everything", {"", "", "", "", "["}, kNoGateway},
        {"unclosed brace", {"https://gw", "c=1", "https://ref", "u", "{\"a\":1"}, "Host LLM qorbin_ext is not valid JSON."},
        {"text after the object", {"https://gw", "c=1", "https://ref", "u", "{} x"}, "Host LLM qorbin_ext is not valid JSON."},
        {"too deep", {"https://gw", "c=1", "https://ref", "u", std::string(300, '[') + std::string(300, ']')},
         "Host LLM qorbin_ext is not valid JSON."},
        {"array", {"https://gw", "c=1", "https://ref", "u", "[1,2]"}, "Host LLM qorbin_ext must be a JSON object."},
        {"string", {"https://gw", "c=1", "https://ref", "u", "\"x\""}, "Host LLM qorbin_ext must be a JSON object."},
        {"null", {"https://gw", "c=1", "https://ref", "u", "null"}, "Host LLM qorbin_ext must be a JSON object."},
        {"usable without qorbin_ext", {"https://gw", "c=1", "https://ref", "u", ""}, ""},
        {"usable with an object", {"https://gw", "c=1", "https://ref", "u", " {\"a\":{}} "}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(validate_host_context(c.context), c.message);
        if (c.message.empty()) continue;

        // Both calls report the same message without sending anything.
        auto backend = configured(host_config());
        backend->set_host_llm_context(c.context);
        Recorder rec;
        const StreamResult stream = backend->chat_completion_stream(question(), {}, rec.callbacks());
        EXPECT_FALSE(stream.ok);
        EXPECT_EQ(stream.error, c.message);
        EXPECT_THAT(rec.log, ElementsAre("state:error"));
        CompletionOptions options;
        options.scene = "compress";
        const CompletionResult buffered = backend->chat_completion_result(question(), options);
        EXPECT_FALSE(buffered.ok);
        EXPECT_EQ(buffered.error, c.message);
    }
}

TEST(HostBackendTest, FreshBackendHasAnEmptyContext) {
    HostBackend backend;
    const HostLlmContext context = backend.host_llm_context();
    EXPECT_EQ(context.gateway_url, "");
    EXPECT_EQ(context.qorbin_ext, "");
    EXPECT_EQ(backend.chat_completion({message(MessageRole::user, "q")}), "");
}

// --------------------------------------------------------------- the body

TEST(HostBackendTest, RequestBodies) {
    const std::vector<ChatMessage> messages = question();
    const json wire_messages = json::array({{{"role", "user"}, {"content", "天气如何?"}}});
    const json wire_tools =
        json::parse(R"([{"type":"function","function":{"name":"get_weather","parameters":{"type":"object"}}}])");

    // Streaming: configured settings, tools, no scene whatever happens.
    json body = build_host_request_body(host_config(), context_for("https://gw"), messages, tools(), true, nullptr);
    EXPECT_EQ(body, json({{"model", "gw-model"},
                          {"temperature", 0.25},
                          {"max_tokens", 321},
                          {"stream", true},
                          {"user", "user-42"},
                          {"messages", wire_messages},
                          {"tools", wire_tools},
                          {"stream_options", {{"include_usage", true}}}}));

    // The context's qorbin_ext goes along as an object.
    body = build_host_request_body(host_config(), context_for("https://gw", R"({"trace":"t1","n":2})"), messages, {},
                                   true, nullptr);
    EXPECT_EQ(body["qorbin_ext"], json({{"trace", "t1"}, {"n", 2}}));
    EXPECT_FALSE(body.contains("tools"));

    // Buffered with a scene and no qorbin_ext: an object with only the scene.
    CompletionOptions compress;
    compress.scene = "compress";
    body = build_host_request_body(host_config(), context_for("https://gw"), messages, {}, false, &compress);
    EXPECT_EQ(body, json({{"model", "gw-model"},
                          {"temperature", 0.25},
                          {"max_tokens", 321},
                          {"stream", false},
                          {"user", "user-42"},
                          {"messages", wire_messages},
                          {"qorbin_ext", {{"scene", "compress"}}}}));

    // A context qorbin_ext with members (one of them a scene): they stay, the call's scene wins.
    body = build_host_request_body(host_config(), context_for("https://gw", R"({"trace":"t1","scene":"chat"})"),
                                   messages, {}, false, &compress);
    EXPECT_EQ(body["qorbin_ext"], json({{"trace", "t1"}, {"scene", "compress"}}));

    // Options without a scene leave qorbin_ext alone; their model and numbers apply.
    CompletionOptions oneshot;
    oneshot.model = "other";
    oneshot.temperature = 1.5;
    oneshot.max_tokens = 7;
    body = build_host_request_body(host_config(), context_for("https://gw"), messages, {}, false, &oneshot);
    EXPECT_FALSE(body.contains("qorbin_ext"));
    EXPECT_EQ(body["model"], "other");
    EXPECT_EQ(body["temperature"], 1.5);
    EXPECT_EQ(body["max_tokens"], 7);

    // An empty configured model leaves the member out.
    body = build_host_request_body(host_config(""), context_for("https://gw"), messages, {}, true, nullptr);
    EXPECT_FALSE(body.contains("model"));
    CompletionOptions empty_model;
    body = build_host_request_body(host_config(""), context_for("https://gw"), messages, {}, false, &empty_model);
    EXPECT_FALSE(body.contains("model"));
}

// ---------------------------------------------------------- over loopback

TEST(HostBackendTest, StreamedAnswerWithSegmentsOnTheWire) {
    ScriptedServer server;
    const std::string body = test::sse_body({
        R"({"id":"gw-1","choices":[{"index":0,"delta":{"content":"A"}}]})",
        R"({"id":"gw-1","choices":[{"index":0,"delta":{"content":"B","x_qorbin_seg_id":"s1"}}]})",
        R"({"id":"gw-1","choices":[{"index":0,"delta":{"content":"C","x_qorbin_revoke":{"seg_id":"s1","mode":"replace"}}}]})",
        R"({"id":"gw-1","choices":[{"index":0,"delta":{"content":"E","x_qorbin_seg_id":"s2"}}]})",
        R"({"id":"gw-1","choices":[{"index":0,"delta":{"x_qorbin_revoke":{"seg_id":"s2","mode":"delete"}}}]})",
        R"({"id":"gw-1","choices":[{"index":0,"delta":{},"finish_reason":"stop"}],"usage":{"prompt_tokens":3,"completion_tokens":2}})",
    });
    ScriptedResponse response = ScriptedResponse::sse(body);
    response.chunks = test::split_chunks(body, 11);
    server.enqueue(response);

    auto backend = configured(host_config());
    backend->set_host_llm_context(context_for(server.url("/gateway/chat?x=1"), R"({"trace":"t1"})"));
    Recorder rec;
    const StreamResult r = backend->chat_completion_stream(question(), tools(), rec.callbacks());

    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.message.content, "AC");
    EXPECT_EQ(r.response_id, "gw-1");
    EXPECT_EQ(r.usage.total_tokens, 5);
    EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:generating", "content:A",
                                     "segment:0|B|{\"x_qorbin_seg_id\":\"s1\"}",
                                     "segment:1|C|{\"x_qorbin_revoke\":{\"mode\":\"replace\",\"seg_id\":\"s1\"}}",
                                     "segment:0|E|{\"x_qorbin_seg_id\":\"s2\"}",
                                     "segment:1||{\"x_qorbin_revoke\":{\"mode\":\"delete\",\"seg_id\":\"s2\"}}",
                                     "state:done"));

    ASSERT_EQ(server.request_count(), 1u);
    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/gateway/chat?x=1") << "the gateway URL is used as it is";
    EXPECT_EQ(request.header("Cookie"), "session=abc; theme=dark");
    EXPECT_EQ(request.header("Referer"), "https://app.example/chat");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_FALSE(request.has_header("Authorization")) << "no API key goes to the gateway";
    const std::ptrdiff_t content_type = header_position(request, "Content-Type");
    const std::ptrdiff_t cookie = header_position(request, "Cookie");
    const std::ptrdiff_t referer = header_position(request, "Referer");
    ASSERT_GE(content_type, 0);
    EXPECT_LT(content_type, cookie);
    EXPECT_LT(cookie, referer);

    const json sent = json::parse(request.body);
    EXPECT_EQ(sent["user"], "user-42");
    EXPECT_EQ(sent["qorbin_ext"], json({{"trace", "t1"}}));
    EXPECT_EQ(sent["stream"], true);
    EXPECT_EQ(sent["tools"].size(), 1u);
    EXPECT_EQ(sent["model"], "gw-model");
}

TEST(HostBackendTest, ResetEmptiesTheAnswerAndLaterTextStartsAgain) {
    ScriptedServer server;
    server.enqueue(ScriptedResponse::sse(test::sse_body({
        R"({"choices":[{"delta":{"content":"draft "}}]})",
        R"({"choices":[{"delta":{"content":"more","x_qorbin_seg_id":"s"}}]})",
        R"({"choices":[{"delta":{"x_qorbin_reset":true}}]})",
        R"({"choices":[{"delta":{"content":"final"},"finish_reason":"stop"}]})",
    })));
    auto backend = configured(host_config());
    backend->set_host_llm_context(context_for(server.url("/gw")));
    Recorder rec;
    const StreamResult r = backend->chat_completion_stream(question(), {}, rec.callbacks());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.message.content, "final");
    EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:generating", "content:draft ",
                                     "segment:0|more|{\"x_qorbin_seg_id\":\"s\"}",
                                     "segment:2||{\"x_qorbin_reset\":true}", "content:final", "state:done"));
}

TEST(HostBackendTest, BufferedCallSendsTheSceneAndReadsTheAnswer) {
    ScriptedServer server;
    server.enqueue(ScriptedResponse::json(
        R"({"id":"c1","choices":[{"message":{"role":"assistant","content":"summary"}}],"usage":{"prompt_tokens":9,"completion_tokens":1}})"));
    auto backend = configured(host_config());
    backend->set_host_llm_context(context_for(server.url("/gw"), R"({"trace":"t"})"));
    CompletionOptions options;
    options.scene = "compress";
    const CompletionResult r = backend->chat_completion_result(question(), options);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.content, "summary");
    EXPECT_EQ(r.usage.total_tokens, 10);

    const auto request = server.requests().at(0);
    EXPECT_EQ(request.target, "/gw");
    EXPECT_EQ(request.header("Cookie"), "session=abc; theme=dark");
    const json sent = json::parse(request.body);
    EXPECT_EQ(sent["qorbin_ext"], json({{"trace", "t"}, {"scene", "compress"}}));
    EXPECT_EQ(sent["stream"], false);
    EXPECT_FALSE(sent.contains("stream_options"));
    EXPECT_FALSE(sent.contains("tools"));
}

TEST(HostBackendTest, BufferedFailures) {
    struct Case {
        const char* name;
        ScriptedResponse response;
        std::string error;  // exact, or a prefix when ending in "*"
        int prompt_tokens;
    };
    const std::vector<Case> cases = {
        {"502", ScriptedResponse::json(R"({"error":"down"})", 502), "host sync HTTP 502", -1},
        {"not JSON", ScriptedResponse::text("<html/>"), "host sync JSON: [json.exception.parse_error.101]*", -1},
        {"member of the wrong type", ScriptedResponse::json(R"({"choices":[{"message":{"content":3}}]})"),
         "host sync JSON: [json.exception.type_error.302]*", -1},
        {"null content keeps usage",
         ScriptedResponse::json(R"({"choices":[{"message":{"content":null}}],"usage":{"prompt_tokens":4}})"),
         "host sync response has no content", 4},
        {"no choices", ScriptedResponse::json(R"({"choices":[]})"), "host sync response has no content", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.enqueue(c.response);
        auto backend = configured(host_config());
        backend->set_host_llm_context(context_for(server.url("/gw")));
        const CompletionResult r = backend->chat_completion_result(question(), {});
        EXPECT_FALSE(r.ok);
        if (c.error.back() == '*') {
            EXPECT_THAT(r.error, StartsWith(c.error.substr(0, c.error.size() - 1)));
        } else {
            EXPECT_EQ(r.error, c.error);
        }
        EXPECT_EQ(r.usage.prompt_tokens, c.prompt_tokens);
    }

    auto refused = configured(host_config());
    refused->set_host_llm_context(
        context_for("http://127.0.0.1:" + std::to_string(test::unused_loopback_port()) + "/gw"));
    const CompletionResult r = refused->chat_completion_result(question(), {});
    EXPECT_FALSE(r.ok);
    EXPECT_THAT(r.error, Not(IsEmpty()));
    EXPECT_THAT(r.error, Not(StartsWith("host sync HTTP")));
}

TEST(HostBackendTest, StreamRejectedWith401) {
    ScriptedServer server;
    server.enqueue(ScriptedResponse::json(R"({"error":"login expired"})", 401));
    auto backend = configured(host_config());
    backend->set_host_llm_context(context_for(server.url("/gw")));
    Recorder rec;
    const StreamResult r = backend->chat_completion_stream(question(), {}, rec.callbacks());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, R"(HTTP 401: {"error":"login expired"})");
    EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:error"));
}

// ------------------------------------------------------- through the client

TEST(HostBackendTest, ClientSelectsItAndAReconfigurationDropsTheContext) {
    ScriptedServer server;
    server.set_fallback(ScriptedResponse::sse(sse_answer("pong")));
    LLMClient client;
    ASSERT_TRUE(client.configure(host_config()));
    EXPECT_FALSE(client.is_local());

    // Until the host gives a context every call says so.
    StreamResult r = client.chat_completion_stream(question(), {}, {});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, kNoGateway);

    ASSERT_TRUE(client.set_host_llm_context(context_for(server.url("/gw"))));
    EXPECT_EQ(client.last_error(), "");
    r = client.chat_completion_stream(question(), {}, {});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.message.content, "pong");

    // A reconfiguration builds a new backend: the context is gone.
    ASSERT_TRUE(client.configure(host_config("next-model")));
    r = client.chat_completion_stream(question(), {}, {});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, kNoGateway);
    CompletionResult buffered = client.chat_completion_result(question(), {});
    EXPECT_EQ(buffered.error, kNoGateway);
    EXPECT_EQ(client.last_error(), kNoGateway);

    // So does one caused by an override (whose base_url the host backend ignores).
    ASSERT_TRUE(client.set_host_llm_context(context_for(server.url("/gw"))));
    LlmOverride override_settings;
    override_settings.model = "override-model";
    override_settings.base_url = "http://ignored.invalid";
    ASSERT_TRUE(client.set_override(override_settings));
    EXPECT_EQ(client.effective_config().base_url, host_config().base_url);
    EXPECT_EQ(client.chat_completion_stream(question(), {}, {}).error, kNoGateway);
    ASSERT_TRUE(client.set_host_llm_context(context_for(server.url("/gw"))));
    ASSERT_TRUE(client.chat_completion_stream(question(), {}, {}).ok);
    EXPECT_EQ(json::parse(server.requests().back().body)["model"], "override-model");

    // Another backend refuses the context.
    LLMConfig openai = host_config();
    openai.backend = "openai";
    ASSERT_TRUE(client.set_override({}));
    ASSERT_TRUE(client.configure(openai));
    EXPECT_FALSE(client.set_host_llm_context(context_for(server.url("/gw"))));
    EXPECT_EQ(client.last_error(), "Current LLM backend is not host.");
}

TEST(HostBackendTest, SideCompletionCarriesTheGatewayContext) {
    ScriptedServer server;
    server.set_fallback(ScriptedResponse::json(R"({"choices":[{"message":{"content":"A title"}}]})"));
    LLMClient client;
    ASSERT_TRUE(client.configure(host_config()));
    CompletionResult r = client.side_completion(question(), {});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, kNoGateway);

    ASSERT_TRUE(client.set_host_llm_context(context_for(server.url("/gw"))));
    r = client.side_completion(question(), {});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.content, "A title");
    EXPECT_EQ(server.requests().at(0).header("Cookie"), "session=abc; theme=dark");
    EXPECT_EQ(json::parse(server.requests().at(0).body)["user"], "user-42");
}

// ---------------------------------------------------------------- threads

// The host replaces the context while requests stream: every request carries
// one context whole (its cookie, referer, user and qorbin_ext belong together)
// and nothing is read while it is being written (this suite runs under TSan).
TEST(HostBackendConcurrency, ContextReplacedWhileRequestsStream) {
    ScriptedServer server;
    server.set_fallback(ScriptedResponse::sse(sse_answer("ok")));
    const std::string url = server.url("/gw");
    auto versioned = [&](int v) {
        HostLlmContext context;
        context.gateway_url = url;
        context.cookie = "v=" + std::to_string(v);
        context.referer = "https://ref/" + std::to_string(v);
        context.user = "u" + std::to_string(v);
        context.qorbin_ext = json{{"v", v}}.dump();
        return context;
    };

    LLMClient client;
    ASSERT_TRUE(client.configure(host_config()));
    ASSERT_TRUE(client.set_host_llm_context(versioned(0)));

    std::atomic<bool> done{false};
    std::atomic<int> replaced{0};
    std::thread host([&] {
        for (int v = 1; !done.load(); ++v) {
            EXPECT_TRUE(client.set_host_llm_context(versioned(v)));
            replaced.store(v);
            std::this_thread::yield();
        }
    });

    constexpr int kRequests = 40;
    int ok = 0;
    for (int i = 0; i < kRequests; ++i) {
        StreamCallbacks callbacks;
        callbacks.on_content = [](const std::string&) {};
        if (client.chat_completion_stream(question(), {}, callbacks).ok) ++ok;
        // Buffered calls too (the streamed fallback answer fails them; they
        // only have to carry one whole context).
        if (i % 2 == 0) (void)client.chat_completion_result(question(), {});
    }
    done.store(true);
    host.join();
    EXPECT_EQ(ok, kRequests);
    EXPECT_GT(replaced.load(), 0);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(kRequests + kRequests / 2));
    for (const auto& request : requests) {
        const std::string cookie = request.header("Cookie");
        ASSERT_THAT(cookie, StartsWith("v="));
        const std::string v = cookie.substr(2);
        EXPECT_EQ(request.header("Referer"), "https://ref/" + v);
        const json body = json::parse(request.body);
        EXPECT_EQ(body["user"], "u" + v);
        EXPECT_EQ(body["qorbin_ext"]["v"], std::stoi(v));
    }
}

}  // namespace
}  // namespace vexa
