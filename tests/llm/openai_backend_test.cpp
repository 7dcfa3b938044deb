// The chat-completions backend against a scripted server on real loopback
// HTTP: wire bodies, headers, streamed and buffered answers, and failures.

#include "llm/openai_backend.hpp"

#include "fixtures/scripted_server.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

using nlohmann::json;
using test::ScriptedResponse;
using test::ScriptedServer;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using namespace std::chrono_literals;

LLMConfig config_for(const std::string& base_url, const std::string& api_key = "sk-test") {
    LLMConfig config;
    config.backend = "openai";
    config.base_url = base_url;
    config.api_key = api_key;
    config.model = "test-model";
    config.temperature = 0.25;
    config.max_tokens = 321;
    config.timeout_seconds = 10;
    return config;
}

std::unique_ptr<OpenAICompatibleBackend> configured(const LLMConfig& config) {
    auto backend = std::make_unique<OpenAICompatibleBackend>();
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

std::vector<ChatMessage> conversation() {
    ChatMessage user = message(MessageRole::user, "天气如何?");
    user.images.push_back({"https://example.com/a.png", "low"});
    ChatMessage assistant = message(MessageRole::assistant, "");
    assistant.tool_calls.push_back({"call_1", "get_weather", ""});
    ChatMessage tool = message(MessageRole::tool, "{\"t\":21}");
    tool.tool_call_id = "call_1";
    return {message(MessageRole::system, "Be brief."), user, assistant, tool};
}

std::vector<ToolDefinition> tools() {
    ToolDefinition unnamed;
    unnamed.description = "dropped";
    ToolDefinition bare;
    bare.name = "bare";
    bare.parameters = json{{"type", "object"}};
    ToolDefinition described;
    described.name = "get_weather";
    described.description = "Weather for a city";
    described.parameters = json{{"type", "object"}, {"properties", {{"city", {{"type", "string"}}}}}};
    return {unnamed, bare, described};
}

const json kWireMessages = json::parse(R"([
    {"role": "system", "content": "Be brief."},
    {"role": "user", "content": [
        {"type": "text", "text": "天气如何?"},
        {"type": "image_url", "image_url": {"url": "https://example.com/a.png", "detail": "low"}}]},
    {"role": "assistant", "content": "", "tool_calls": [
        {"id": "call_1", "type": "function", "function": {"name": "get_weather", "arguments": "{}"}}]},
    {"role": "tool", "content": "{\"t\":21}", "tool_call_id": "call_1"}])");

const json kWireTools = json::parse(R"([
    {"type": "function", "function": {"name": "bare", "parameters": {"type": "object"}}},
    {"type": "function", "function": {"name": "get_weather", "description": "Weather for a city",
        "parameters": {"type": "object", "properties": {"city": {"type": "string"}}}}}])");

std::string sse_chunks(const std::vector<std::string>& chunks) {
    return test::sse_body(chunks, true);
}

ScriptedResponse split_sse(const std::string& body, std::size_t piece) {
    ScriptedResponse r = ScriptedResponse::sse(body);
    r.chunks = test::split_chunks(body, piece);
    return r;
}

struct Recorder {
    std::vector<std::string> log;
    StreamCallbacks callbacks() {
        StreamCallbacks cb;
        cb.on_content = [this](const std::string& t) { log.push_back("content:" + t); };
        cb.on_reasoning = [this](const std::string& t) { log.push_back("reasoning:" + t); };
        cb.on_state = [this](LLMState s) { log.push_back("state:" + state_name(s)); };
        cb.on_tool_call = [this](const ToolCall& c) { log.push_back("tool:" + c.id + "|" + c.name + "|" + c.arguments); };
        return cb;
    }
};

std::ptrdiff_t header_position(const test::RecordedRequest& request, const std::string& name) {
    const auto names = request.header_names();
    const auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : it - names.begin();
}

// ---------------------------------------------------------------- the body

TEST(OpenAIBackendTest, RequestBodyAndToolDefinitions) {
    ChatCompletionRequest request;
    request.model = "";
    request.messages = conversation();
    request.tools = tools();
    EXPECT_EQ(build_request_body(request), json({{"model", ""},
                                                 {"temperature", 0.7},
                                                 {"max_tokens", 4096},
                                                 {"stream", true},
                                                 {"messages", kWireMessages},
                                                 {"tools", kWireTools},
                                                 {"stream_options", {{"include_usage", true}}}}));
    request.stream = false;
    request.tools = {tools()[0]};  // only a nameless tool: no "tools" member at all
    const json buffered = build_request_body(request);
    EXPECT_FALSE(buffered.contains("tools"));
    EXPECT_FALSE(buffered.contains("stream_options"));
    EXPECT_EQ(buffered["stream"], false);
    EXPECT_TRUE(buffered["temperature"].is_number_float());
    EXPECT_TRUE(buffered["max_tokens"].is_number_integer());

    ToolDefinition custom;
    custom.type = "custom";
    custom.name = "n";
    EXPECT_EQ(tool_to_json(custom), json::parse(R"({"type":"custom","function":{"name":"n","parameters":null}})"));
}

TEST(OpenAIBackendTest, ParseCompletionResponse) {
    const ChatCompletionResponse r = parse_completion_response(json::parse(R"({
        "id": "cmpl-1",
        "choices": [{"index": 0, "finish_reason": "stop",
                     "message": {"role": "assistant", "content": "hi", "reasoning_content": "r",
                                 "tool_calls": [{"id": "t", "function": {"name": "f", "arguments": "{}"}}]}},
                    {"index": 1, "delta": {"content": "from delta"}}],
        "usage": {"prompt_tokens": 1, "completion_tokens": 2}})"));
    EXPECT_EQ(r.id, "cmpl-1");
    ASSERT_EQ(r.choices.size(), 2u);
    EXPECT_EQ(r.choices[0].delta.content, std::optional<std::string>("hi"));
    EXPECT_EQ(r.choices[0].delta.reasoning_content, std::optional<std::string>("r"));
    ASSERT_EQ(r.choices[0].delta.tool_calls.size(), 1u);
    EXPECT_EQ(r.choices[0].delta.tool_calls[0].name, "f");
    EXPECT_EQ(r.choices[0].finish_reason, std::optional<std::string>("stop"));
    EXPECT_EQ(r.choices[1].delta.content, std::optional<std::string>("from delta"));
    EXPECT_EQ(r.usage.total_tokens, 3);
    EXPECT_THROW(parse_completion_response(json::parse(R"({"choices":[{"index":"x"}]})")), json::type_error);
}

// ------------------------------------------------------------ over loopback

TEST(OpenAIBackendTest, StreamingCallOnTheWire) {
    ScriptedServer server;
    const std::string body = sse_chunks({
        R"({"id":"chatcmpl-9","choices":[{"index":0,"delta":{"role":"assistant","reasoning_content":"hmm"}}]})",
        R"({"id":"chatcmpl-9","choices":[{"index":0,"delta":{"content":"Let me check 天气."}}]})",
        R"({"id":"chatcmpl-9","choices":[{"index":0,"delta":{"tool_calls":[{"index":0,"id":"call_7","type":"function","function":{"name":"get_weather","arguments":"{\"city\":"}}]}}]})",
        R"({"id":"chatcmpl-9","choices":[{"index":0,"delta":{"tool_calls":[{"index":0,"function":{"arguments":"\"Oslo\"}"}}]}}]})",
        R"({"id":"chatcmpl-9","choices":[{"index":0,"delta":{},"finish_reason":"tool_calls"}]})",
        R"({"id":"chatcmpl-9","choices":[],"usage":{"prompt_tokens":40,"completion_tokens":9,"total_tokens":49}})",
    });
    server.enqueue(split_sse(body, 7));

    auto backend = configured(config_for(server.base_url() + "/v1"));
    Recorder rec;
    const StreamResult r = backend->chat_completion_stream(conversation(), tools(), rec.callbacks());

    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.message.content, "Let me check 天气.");
    EXPECT_EQ(r.message.reasoning_content, std::optional<std::string>("hmm"));
    ASSERT_EQ(r.message.tool_calls.size(), 1u);
    EXPECT_EQ(r.message.tool_calls[0].arguments, "{\"city\":\"Oslo\"}");
    EXPECT_EQ(r.usage.total_tokens, 49);
    EXPECT_EQ(r.response_id, "chatcmpl-9");
    EXPECT_EQ(r.finish_reason, "tool_calls");
    EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:thinking", "reasoning:hmm", "state:generating",
                                     "content:Let me check 天气.", "state:tool_calling",
                                     "tool:call_7|get_weather|{\"city\":\"Oslo\"}", "state:done"));

    ASSERT_EQ(server.request_count(), 1u);
    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/v1/chat/completions");
    EXPECT_EQ(json::parse(request.body), json({{"model", "test-model"},
                                               {"temperature", 0.25},
                                               {"max_tokens", 321},
                                               {"stream", true},
                                               {"messages", kWireMessages},
                                               {"tools", kWireTools},
                                               {"stream_options", {{"include_usage", true}}}}));
    EXPECT_EQ(request.header("Authorization"), "Bearer sk-test");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("User-Agent"), "Vexa/1.0");
    EXPECT_LT(header_position(request, "Authorization"), header_position(request, "Content-Type"));
    EXPECT_GE(header_position(request, "Authorization"), 0);
}

TEST(OpenAIBackendTest, BufferedCallOnTheWire) {
    ScriptedServer server;
    const std::string answer =
        R"({"id":"cmpl-2","choices":[{"index":0,"message":{"role":"assistant","content":"42","reasoning_content":"r"},"finish_reason":"stop"}],"usage":{"prompt_tokens":5,"completion_tokens":1}})";
    server.enqueue(ScriptedResponse::json(answer));
    server.enqueue(ScriptedResponse::json(answer));

    auto backend = configured(config_for(server.base_url() + "/v1/"));  // trailing slash kept as given
    CompletionOptions options;
    options.model = "other-model";
    options.temperature = 1.5;
    options.max_tokens = 7;
    options.scene = "compress";
    const CompletionResult r = backend->chat_completion_result({message(MessageRole::user, "q")}, options);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.content, "42");
    EXPECT_EQ(r.usage.prompt_tokens, 5);
    EXPECT_EQ(r.usage.total_tokens, 6);
    EXPECT_EQ(backend->chat_completion({message(MessageRole::user, "q")}), "42");

    ASSERT_EQ(server.request_count(), 2u);
    const auto requests = server.requests();
    EXPECT_EQ(requests[0].target, "/v1//chat/completions");
    const json expected_with_options = json::parse(
        R"({"model":"other-model","temperature":1.5,"max_tokens":7,"stream":false,"messages":[{"role":"user","content":"q"}]})");
    EXPECT_EQ(json::parse(requests[0].body), expected_with_options);
    const json expected_defaults = json::parse(
        R"({"model":"test-model","temperature":0.25,"max_tokens":321,"stream":false,"messages":[{"role":"user","content":"q"}]})");
    EXPECT_EQ(json::parse(requests[1].body), expected_defaults);
    EXPECT_EQ(requests[1].header_names(), requests[0].header_names());
}

TEST(OpenAIBackendTest, EmptyApiKeyStillSendsAuthorization) {
    ScriptedServer server;
    server.enqueue(ScriptedResponse::sse(sse_chunks({R"({"choices":[{"delta":{"content":"x"}}]})"})));
    auto backend = configured(config_for(server.base_url(), ""));
    EXPECT_TRUE(backend->chat_completion_stream({message(MessageRole::user, "q")}, {}, {}).ok);
    const auto request = server.requests().at(0);
    ASSERT_TRUE(request.has_header("Authorization"));
    // The server records values without surrounding blanks: "Bearer " reads "Bearer".
    EXPECT_EQ(request.header("Authorization"), "Bearer");
    EXPECT_FALSE(json::parse(request.body).contains("tools"));
}

TEST(OpenAIBackendTest, BufferedFailures) {
    struct Case {
        const char* name;
        ScriptedResponse response;
        std::string error;  // exact, or a prefix when ending in "*"
        int prompt_tokens;
    };
    const std::vector<Case> cases = {
        {"500", ScriptedResponse::json(R"({"error":"boom"})", 500), "openai sync HTTP 500", -1},
        {"not JSON", ScriptedResponse::text("<html>busy</html>"), "openai sync JSON: [json.exception.parse_error.101]*",
         -1},
        {"member of the wrong type", ScriptedResponse::json(R"({"choices":[{"message":{"content":3}}]})"),
         "openai sync JSON: [json.exception.type_error.302] type must be string, but is number", -1},
        {"null content keeps usage",
         ScriptedResponse::json(R"({"choices":[{"message":{"content":null}}],"usage":{"prompt_tokens":8}})"),
         "openai sync response has no content", 8},
        {"no choices", ScriptedResponse::json(R"({"choices":[]})"), "openai sync response has no content", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.enqueue(c.response);
        auto backend = configured(config_for(server.base_url()));
        const CompletionResult r = backend->chat_completion_result({message(MessageRole::user, "q")}, {});
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.content, "");
        if (c.error.back() == '*') {
            EXPECT_THAT(r.error, StartsWith(c.error.substr(0, c.error.size() - 1)));
        } else {
            EXPECT_EQ(r.error, c.error);
        }
        EXPECT_EQ(r.usage.prompt_tokens, c.prompt_tokens);
    }
}

TEST(OpenAIBackendTest, StreamRejectedWith401) {
    ScriptedServer server;
    server.enqueue(ScriptedResponse::json(R"({"error":{"message":"invalid api key"}})", 401));
    auto backend = configured(config_for(server.base_url()));
    Recorder rec;
    const StreamResult r = backend->chat_completion_stream({message(MessageRole::user, "q")}, {}, rec.callbacks());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, R"(HTTP 401: {"error":{"message":"invalid api key"}})");
    EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:error"));
}

TEST(OpenAIBackendTest, ConnectionRefused) {
    auto backend = configured(config_for("http://127.0.0.1:" + std::to_string(test::unused_loopback_port())));
    Recorder rec;
    const StreamResult stream = backend->chat_completion_stream({message(MessageRole::user, "q")}, {}, rec.callbacks());
    EXPECT_FALSE(stream.ok);
    EXPECT_THAT(stream.error, StartsWith("HTTP request failed (libcurl) while connecting: "));
    EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:error"));
    const CompletionResult buffered = backend->chat_completion_result({message(MessageRole::user, "q")}, {});
    EXPECT_FALSE(buffered.ok);
    EXPECT_THAT(buffered.error, StartsWith("HTTP request failed (libcurl) while connecting: "));
}

TEST(OpenAIBackendTest, InvalidJsonInADataLineEndsTheCallPromptly) {
    ScriptedServer server;
    ScriptedResponse response = ScriptedResponse::sse("");
    response.chunks = {{"data: {\"choices\":[{\"delta\":{\"content\":\"before\"}}]}\n\n", 0ms},
                       {"data: {not json}\n\n", 0ms},
                       {"data: {\"choices\":[{\"delta\":{\"content\":\"after\"}}]}\n\n", 50ms}};
    response.end = ScriptedResponse::End::Hang;  // the server would keep the stream open
    server.enqueue(response);
    auto backend = configured(config_for(server.base_url()));
    Recorder rec;
    const auto started = std::chrono::steady_clock::now();
    const StreamResult r = backend->chat_completion_stream({message(MessageRole::user, "q")}, {}, rec.callbacks());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_FALSE(r.ok);
    EXPECT_THAT(r.error, StartsWith("Stream error: [json.exception.parse_error.101] parse error at line 1, column 3: syntax error"));
    EXPECT_EQ(r.message.content, "before");
    EXPECT_THAT(rec.log, ElementsAre("state:waiting", "state:generating", "content:before", "state:error"));
}

TEST(OpenAIBackendTest, CancelFromAnotherThreadEndsAStream) {
    ScriptedServer server;
    ScriptedResponse response = ScriptedResponse::sse("data: {\"choices\":[{\"delta\":{\"content\":\"a\"}}]}\n\n");
    response.end = ScriptedResponse::End::Hang;
    server.enqueue(response);
    auto backend = configured(config_for(server.base_url()));
    StreamCallbacks cb;
    std::thread canceller;
    cb.on_content = [&](const std::string&) {
        canceller = std::thread([&] {
            std::this_thread::sleep_for(50ms);
            backend->cancel();
        });
    };
    const auto started = std::chrono::steady_clock::now();
    const StreamResult r = backend->chat_completion_stream({message(MessageRole::user, "q")}, {}, cb);
    if (canceller.joinable()) canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Request cancelled");
    EXPECT_EQ(r.message.content, "a");
}

// How a host points the backend at any chat-completions server. The same
// settings live in agent_config.json under "llm":
//   {"backend": "openai", "base_url": "http://127.0.0.1:8080/v1", "api_key": "",
//    "model": "qwen2.5-7b-instruct", "temperature": 0.7, "max_tokens": 4096, "timeout_seconds": 120}
TEST(OpenAIBackendTest, ConfigurationForAnyChatCompletionsServer) {
    ScriptedServer server;  // stands in for the real server
    server.enqueue(ScriptedResponse::sse(sse_chunks({R"({"choices":[{"delta":{"content":"pong"}}]})"})));

    LLMConfig config;
    config.backend = "openai";                    // also "openai_compatible", "http" or empty
    config.base_url = server.base_url() + "/v1";  // requests go to <base_url>/chat/completions
    config.api_key = "sk-your-key";               // empty for servers without authentication
    config.model = "qwen2.5-7b-instruct";         // the server's model name
    config.timeout_seconds = 60;                  // inactivity limit per connect or wait for data

    OpenAICompatibleBackend backend;
    std::string error;
    ASSERT_TRUE(backend.configure(config, error, nullptr));
    StreamCallbacks callbacks;
    std::string streamed;
    callbacks.on_content = [&](const std::string& text) { streamed += text; };
    const StreamResult result = backend.chat_completion_stream({message(MessageRole::user, "ping")}, {}, callbacks);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(streamed, "pong");
    EXPECT_EQ(server.requests().at(0).target, "/v1/chat/completions");
}

}  // namespace
}  // namespace vexa
