// What a misbehaving server, a careless host or a hostile model answer can do
// through the public interfaces, and what the library must do instead: fail
// clearly, stay bounded, never crash or hang. Every scenario runs once per
// interface (C++ facade and flat C functions).

#include "vexa_core/core_session.hpp"
#include "vexa_core/vexa_core.h"

#include "agent_test_util.hpp"
#include "public_driver.hpp"

#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

using test::answer_response;
using test::content_chunk;
using test::delta_chunk;
using test::Driver;
using test::Outcome;
using test::ScriptedChunk;
using test::ScriptedResponse;
using test::sse_body;
using test::tool_response;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs `body` on a thread with a small stack, as many hosts run turns.
void run_on_small_stack(std::size_t stack_bytes, const std::function<void()>& body) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, stack_bytes), 0);
    struct Job {
        const std::function<void()>* body;
    } job{&body};
    pthread_t thread;
    auto entry = [](void* arg) -> void* {
        (*static_cast<Job*>(arg)->body)();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, entry, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

std::string nested(char open, char close, std::size_t depth, const std::string& inner) {
    std::string out;
    out.reserve(depth * 6 + inner.size());
    for (std::size_t i = 0; i < depth; ++i) {
        out += open;
        if (open == '{') out += "\"a\":";
    }
    out += inner;
    out.append(depth, close);
    return out;
}

class HostilePeerTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { start(); }

    void start(const nlohmann::json& agent_overrides = nlohmann::json::object(), int timeout_seconds = 10) {
        test::write_agent_config(dir.path(), server.base_url() + "/v1", agent_overrides);
        if (timeout_seconds != 10) {
            // The helper writes a 10 s timeout; some scenarios need a longer one.
            nlohmann::json config;
            std::ifstream(dir.path() / "config" / "agent_config.json") >> config;
            config["llm"]["timeout_seconds"] = timeout_seconds;
            std::ofstream(dir.path() / "config" / "agent_config.json", std::ios::binary) << config.dump(4);
        }
        driver = test::make_driver(GetParam());
        ASSERT_TRUE(driver->initialize(dir.str()));
    }

    std::vector<test::PublicEvent> events() const { return driver->log.events(); }
    std::string error_events() const {
        std::string out;
        for (const auto& e : events()) {
            if (e.type == 8) out += e.text;
        }
        return out;
    }
    test::CppDriver* cpp() { return GetParam() == "cpp" ? static_cast<test::CppDriver*>(driver.get()) : nullptr; }
    VexaCoreHandle* handle() { return static_cast<test::CDriver*>(driver.get())->handle(); }

    test::ScriptedServer server;
    test::TempDir dir;
    std::unique_ptr<Driver> driver;
};

INSTANTIATE_TEST_SUITE_P(Interfaces, HostilePeerTest, ::testing::Values("cpp", "c"));

// --- deep JSON from the model --------------------------------------------------

TEST_P(HostilePeerTest, DeeplyNestedToolArgumentsOnASmallStackFailTheCallNotTheProcess) {
    bool executed = false;
    ASSERT_TRUE(driver->register_tool("probe", [&](const std::string&) {
        executed = true;
        return std::string(R"({"success":true})");
    }));
    for (const std::string& arguments :
         {nested('[', ']', 100000, "1"), nested('{', '}', 100000, "1"), nested('[', ']', 3000, "1")}) {
        SCOPED_TRACE(arguments.substr(0, 8));
        server.enqueue(tool_response({{"c1", "probe", arguments}}));
        server.enqueue(answer_response({"done"}));
        Outcome outcome;
        run_on_small_stack(512 * 1024, [&] { outcome = driver->send("go"); });
        ASSERT_TRUE(outcome.success) << outcome.error;
        EXPECT_FALSE(executed) << "arguments too deep to read never reach the tool";
        bool failed_call = false;
        for (const auto& e : events()) {
            if (e.type == 6 && e.tool_name == "probe") {
                failed_call = !e.success && e.tool_result.find("deeper than 256") != std::string::npos;
            }
        }
        EXPECT_TRUE(failed_call);
    }
}

// --- unbounded or misleading bodies ----------------------------------------------

TEST_P(HostilePeerTest, ALineThatNeverEndsFailsTheTurnAtTheLineLimit) {
    ScriptedResponse r = ScriptedResponse::sse("");
    r.chunks.clear();
    const std::string mib(1024 * 1024, 'a');
    r.chunks.push_back({"data: {\"choices\":[{\"delta\":{\"content\":\"", 0ms});
    for (int i = 0; i < 40; ++i) r.chunks.push_back({mib, 0ms});
    r.end = ScriptedResponse::End::Hang;
    r.hang_limit = 20000ms;
    server.enqueue(r);
    const auto began = Clock::now();
    const Outcome outcome = driver->send("hi");
    EXPECT_FALSE(outcome.success);
    EXPECT_NE(outcome.error.find("exceeded 16 MiB"), std::string::npos) << outcome.error;
    EXPECT_LT(Clock::now() - began, 15s) << "the client stops reading instead of waiting for the server";
}

TEST_P(HostilePeerTest, AHugeErrorBodyIsQuotedOnlyInPart) {
    ScriptedResponse r = ScriptedResponse::text(std::string(8 * 1024 * 1024, 'x'), 429);
    server.enqueue(r);
    const Outcome outcome = driver->send("hi");
    EXPECT_FALSE(outcome.success);
    EXPECT_NE(outcome.error.find("HTTP 429: xxxx"), std::string::npos) << outcome.error.substr(0, 80);
    EXPECT_LT(outcome.error.size(), 4096u);
    EXPECT_LT(driver->last_error().size(), 4096u);
    EXPECT_LT(error_events().size(), 4096u);
}

TEST_P(HostilePeerTest, BodiesThatAreNoCompleteAnswerFailWithWhatCameBack) {
    struct Case {
        const char* label;
        ScriptedResponse response;
        const char* expected;  // part of the error
    };
    ScriptedResponse html = ScriptedResponse::text("<!DOCTYPE html>\n<html><body>Gateway login</body></html>\n");
    html.headers = {{"Content-Type", "text/html; charset=utf-8"}};
    ScriptedResponse other_json = ScriptedResponse::json(R"({"status":"ok","detail":"nothing here"})");
    ScriptedResponse empty = ScriptedResponse::sse("");
    ScriptedResponse huge_line = ScriptedResponse::sse("");
    huge_line.chunks = test::split_chunks("data: " + std::string(20u * 1024 * 1024, 'z'), 1024 * 1024);
    ScriptedResponse cut_short = ScriptedResponse::sse(sse_body({content_chunk("The answer is")}, false));
    const Case cases[] = {
        {"html page", html, "did not answer with an event stream (Content-Type: text/html; charset=utf-8): <!DOCTYPE html>"},
        {"json that is no chat completion", other_json, "(Content-Type: application/json): {\"status\":\"ok\""},
        {"empty body", empty, "ended the response without an answer"},
        {"a line past the limit, then a clean close", huge_line, "exceeded 16 MiB"},
        {"clean close in the middle of the answer", cut_short, "ended before the answer was complete"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        server.enqueue(c.response);
        const Outcome outcome = driver->send("hi");
        EXPECT_FALSE(outcome.success);
        EXPECT_NE(outcome.error.find(c.expected), std::string::npos) << outcome.error.substr(0, 300);
        EXPECT_LT(outcome.error.size(), 4096u);
    }
}

TEST_P(HostilePeerTest, AWholeCompletionDocumentIsTakenAsTheAnswer) {
    server.enqueue(ScriptedResponse::json(
        R"({"id":"doc-1","object":"chat.completion","choices":[{"index":0,"message":{"role":"assistant",)"
        R"("content":"Complete answer"},"finish_reason":"stop"}],"usage":{"prompt_tokens":3,"completion_tokens":2}})"));
    const Outcome outcome = driver->send("hi");
    ASSERT_TRUE(outcome.success) << outcome.error;
    std::string streamed;
    for (const auto& e : events()) {
        if (e.type == 3) streamed += e.text;
    }
    EXPECT_EQ(streamed, "Complete answer");
    if (auto* c = cpp()) {
        EXPECT_EQ(c->last_result.content, "Complete answer");
    }
}

// --- tool calls beyond the limit -------------------------------------------------------

TEST_P(HostilePeerTest, TooManyToolCallsFailTheTurnWhateverTheirNumbering) {
    std::atomic<int> executed{0};
    ASSERT_TRUE(driver->register_tool("t", [&](const std::string&) {
        ++executed;
        return std::string(R"({"success":true})");
    }));
    auto many_calls = [](bool same_index) {
        nlohmann::json list = nlohmann::json::array();
        for (int i = 0; i < 10000; ++i) {
            list.push_back({{"index", same_index ? 0 : i},
                            {"id", "call_" + std::to_string(i)},
                            {"type", "function"},
                            {"function", {{"name", "t"}, {"arguments", "{}"}}}});
        }
        return ScriptedResponse::sse(
            sse_body({delta_chunk({{"tool_calls", list}}), delta_chunk(nlohmann::json::object(), "tool_calls")}));
    };
    for (bool same_index : {false, true}) {
        SCOPED_TRACE(same_index ? "one index, distinct ids" : "indices 0..9999");
        server.enqueue(many_calls(same_index));
        const Outcome outcome = driver->send("go");
        EXPECT_FALSE(outcome.success);
        EXPECT_NE(outcome.error.find("128 tool calls"), std::string::npos) << outcome.error;
        EXPECT_EQ(executed.load(), 0) << "no call of a refused answer runs";
    }
}

TEST_P(HostilePeerTest, ExactlyTheLimitOfToolCallsAllRun) {
    std::atomic<int> executed{0};
    ASSERT_TRUE(driver->register_tool("t", [&](const std::string&) {
        ++executed;
        return std::string(R"({"success":true})");
    }));
    std::vector<test::ScriptedCall> calls;
    for (int i = 0; i < 128; ++i) calls.push_back({"call_" + std::to_string(i), "t", "{}"});
    server.enqueue(tool_response(calls));
    server.enqueue(answer_response({"ok"}));
    const Outcome outcome = driver->send("go");
    ASSERT_TRUE(outcome.success) << outcome.error;
    EXPECT_EQ(executed.load(), 128);
}

// --- texts for the host --------------------------------------------------------------

TEST_P(HostilePeerTest, InvalidUtf8FromTheServerReachesTheHostRepaired) {
    // Raw invalid bytes inside a JSON string make the chunk malformed; the
    // parser's message quotes them.
    server.enqueue(ScriptedResponse::sse("data: {\"choices\":[{\"delta\":{\"content\":\"ok \xff\xfe bad\"}}]}\n\n"
                                         "data: [DONE]\n\n"));
    const Outcome outcome = driver->send("hi");
    EXPECT_FALSE(outcome.success);
    EXPECT_TRUE(is_valid_utf8(outcome.error));
    EXPECT_TRUE(is_valid_utf8(driver->last_error()));
    ASSERT_FALSE(error_events().empty());
    for (const auto& e : events()) {
        EXPECT_TRUE(is_valid_utf8(e.text)) << e.type;
        EXPECT_TRUE(is_valid_utf8(e.state));
    }
}

TEST_P(HostilePeerTest, CredentialsInToolArgumentsAreHiddenFromTheHostButReachTheTool) {
    std::string received;
    ASSERT_TRUE(driver->register_tool("call_api", [&](const std::string& args) {
        received = args;
        return std::string(R"({"success":true})");
    }));
    const std::string arguments =
        R"({"api-key":"k1","x-api-key":"k2","passwd":"k3","Authorization":"Bearer abcdefgh12345678",)"
        R"("private_key":"k5","credentials":{"user":"u"},"note":"use sk-abcdefghijklmnopqrstuvwx now",)"
        R"("header":"Bearer zyxwvutsrq987654","city":"Paris"})";
    server.enqueue(tool_response({{"c1", "call_api", arguments}}));
    server.enqueue(answer_response({"done"}));
    const Outcome outcome = driver->send("go");
    ASSERT_TRUE(outcome.success) << outcome.error;
    EXPECT_EQ(nlohmann::json::parse(received), nlohmann::json::parse(arguments)) << "the tool gets the original";
    std::string shown;
    for (const auto& e : events()) {
        if (e.type == 5) shown = e.tool_arguments;
    }
    EXPECT_EQ(nlohmann::json::parse(shown),
              nlohmann::json::parse(R"({"api-key":"[redacted]","x-api-key":"[redacted]","passwd":"[redacted]",)"
                                    R"("Authorization":"[redacted]","private_key":"[redacted]",)"
                                    R"("credentials":"[redacted]","note":"use [redacted] now",)"
                                    R"("header":"[redacted]","city":"Paris"})"));
}

// --- sessions ---------------------------------------------------------------------------

TEST_P(HostilePeerTest, NewAndClearSessionKeepTheConversationWhenItsSaveFails) {
    server.enqueue(answer_response({"first answer"}));
    ASSERT_TRUE(driver->send("first question").success);
    const std::string id = driver->session_id();
    // Root ignores permission bits: a file where the sessions folder belongs
    // makes every save fail for anyone.
    std::filesystem::create_directories(dir.path() / "data");
    std::ofstream(dir.path() / "data" / "conversations") << "not a folder";

    for (const char* operation : {"new", "clear"}) {
        SCOPED_TRACE(operation);
        bool ok = true;
        if (auto* c = cpp()) {
            ok = std::string(operation) == "new" ? c->session().new_session() : c->session().clear_session();
        } else {
            ok = (std::string(operation) == "new" ? vexa_core_new_session(handle()) : vexa_core_clear_session(handle())) == 1;
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(driver->last_error(), "Failed to save conversation.");
        EXPECT_EQ(driver->session_id(), id) << "the conversation is still the current one";
    }
    server.enqueue(answer_response({"second answer"}));
    ASSERT_TRUE(driver->send("second question").success);
    const auto messages = test::request_messages(server.requests().back());
    ASSERT_EQ(messages.size(), 4u) << "system, both questions and the first answer";
    EXPECT_EQ(messages[1]["content"], "first question");
}

// --- shutdown while a turn waits --------------------------------------------------------

TEST_P(HostilePeerTest, ShutdownFromAnotherThreadStopsATurnWaitingOnASilentServer) {
    driver.reset();
    start(nlohmann::json::object(), 120);
    server.enqueue(ScriptedResponse::hang());
    std::future<Outcome> turn = std::async(std::launch::async, [&] { return driver->send("hi"); });
    ASSERT_TRUE(server.wait_for_requests(1));
    const auto began = Clock::now();
    if (auto* c = cpp()) {
        c->session().shutdown();
    } else {
        vexa_core_shutdown(handle());
    }
    const auto took = Clock::now() - began;
    ASSERT_EQ(turn.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(turn.get().success);
    EXPECT_LT(took, 5s) << "not the server's 120 s timeout";
}

// --- one-shot completion beside a turn ----------------------------------------------------

std::string oneshot_answer(const std::string& text) {
    return R"({"id":"o1","choices":[{"index":0,"message":{"role":"assistant","content":")" + text +
           R"("},"finish_reason":"stop"}]})";
}

TEST_P(HostilePeerTest, OneshotFromAnEventCallbackRunsBesideTheTurn) {
    // The turn's stream pauses after its first delta while the one-shot call
    // (made from inside that delta's event) gets its answer.
    ScriptedResponse stream = ScriptedResponse::sse("");
    stream.chunks = {{"data: " + content_chunk("Hello") + "\n\n", 0ms},
                     {"data: " + content_chunk(" world") + "\n\n" + "data: " +
                          delta_chunk(nlohmann::json::object(), "stop") + "\n\ndata: [DONE]\n\n",
                      300ms}};
    server.enqueue(stream);
    server.enqueue(ScriptedResponse::json(oneshot_answer("A title")));
    const char* request = R"([{"role":"user","content":"title please"}])";
    std::string oneshot;
    bool success = false;
    if (auto* c = cpp()) {
        const vexa_core::ChatResult r = c->session().send_text_stream("hi", {}, [&](const vexa_core::AgentEvent& e) {
            if (e.type == vexa_core::AgentEventType::ContentDelta && oneshot.empty()) {
                oneshot = c->session().oneshot_completion(request, "");
            }
        });
        success = r.success;
        EXPECT_EQ(r.content, "Hello world");
    } else {
        struct Context {
            VexaCoreHandle* handle;
            const char* request;
            std::string* oneshot;
        } context{handle(), request, &oneshot};
        auto on_event = [](const VexaCoreEvent* e, void* user) {
            auto* ctx = static_cast<Context*>(user);
            if (e->type == 3 && ctx->oneshot->empty()) {
                *ctx->oneshot = vexa_core_oneshot_completion(ctx->handle, ctx->request, nullptr);
            }
        };
        success = vexa_core_send_text_stream(handle(), "hi", nullptr, on_event, &context) == 1;
    }
    ASSERT_TRUE(success) << driver->last_error();
    ASSERT_FALSE(oneshot.empty()) << driver->last_error();
    EXPECT_EQ(nlohmann::json::parse(oneshot)["content"], "A title");
}

TEST_P(HostilePeerTest, OneshotFromAnotherThreadDoesNotWaitForASilentTurn) {
    driver.reset();
    start(nlohmann::json::object(), 120);
    server.enqueue(test::stalled_response("thinking..."));
    server.enqueue(ScriptedResponse::json(oneshot_answer("Side answer")));
    std::future<Outcome> turn = std::async(std::launch::async, [&] { return driver->send("hi"); });
    ASSERT_TRUE(server.wait_for_requests(1));
    std::string text;
    if (auto* c = cpp()) {
        text = c->session().oneshot_completion(R"([{"role":"user","content":"x"}])", "");
    } else {
        text = vexa_core_oneshot_completion(handle(), R"([{"role":"user","content":"x"}])", nullptr);
    }
    ASSERT_FALSE(text.empty()) << driver->last_error();
    EXPECT_EQ(nlohmann::json::parse(text)["content"], "Side answer");
    EXPECT_EQ(turn.wait_for(0s), std::future_status::timeout) << "the answer came while the turn still waited";
    driver->cancel();
    ASSERT_EQ(turn.wait_for(10s), std::future_status::ready);
}

// --- smaller things a host or a file can get wrong ----------------------------------------------

TEST_P(HostilePeerTest, DamagedSessionFilesFailToLoadWithTheReason) {
    const auto sessions = dir.path() / "data" / "conversations";
    std::filesystem::create_directories(sessions);
    struct Case {
        const char* id;
        const char* text;
        const char* reason;
    };
    const std::string deep = "{\"messages\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
    const Case cases[] = {
        {"messages-text", R"({"session_id":"messages-text","messages":"hello"})", "\"messages\" is not an array"},
        {"bad-json", R"({"messages":[)", "parse error"},
        {"bad-role", R"({"messages":[{"role":5,"content":"x"}]})", "type_error"},
        {"array-root", R"([1,2])", "not hold a JSON object"},
        {"deep", deep.c_str(), "deeper than 256"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        std::ofstream(sessions / (std::string(c.id) + ".json"), std::ios::binary) << c.text;
        bool ok = true;
        if (auto* cp = cpp()) {
            ok = cp->session().load_session(c.id);
        } else {
            ok = vexa_core_load_session(handle(), c.id) == 1;
        }
        EXPECT_FALSE(ok);
        const std::string error = driver->last_error();
        EXPECT_EQ(error.rfind(std::string("Failed to load session: ") + c.id + " (", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

TEST_P(HostilePeerTest, ToolSchemasThatAreNoObjectAreRefusedWithAReason) {
    for (const char* schema : {"[1,2]", "\"text\"", "{broken", "42"}) {
        SCOPED_TRACE(schema);
        bool ok = true;
        if (auto* c = cpp()) {
            vexa_core::ToolParameterSpec spec;
            spec.name = "bad";
            spec.parameters_json = schema;
            ok = c->session().register_tool(spec, [](const std::string&) { return std::string("{}"); });
        } else {
            VexaCoreToolSpec spec{};
            spec.name = "bad";
            spec.parameters_json = schema;
            ok = vexa_core_register_tool(handle(), &spec, nullptr, nullptr) == 1;
        }
        EXPECT_FALSE(ok);
        const std::string error = driver->last_error();
        EXPECT_EQ(error.rfind("Failed to register tool: bad (parameters_json ", 0), 0u) << error;
    }
}

TEST_P(HostilePeerTest, AConfigurationThatIsNoObjectIsReported) {
    std::ofstream(dir.path() / "config" / "agent_config.json", std::ios::binary) << "[1,2,3]";
    driver = test::make_driver(GetParam());
    ASSERT_TRUE(driver->initialize(dir.str()));
    EXPECT_NE(driver->last_error().find("Could not load config"), std::string::npos) << driver->last_error();
}

}  // namespace
}  // namespace vexa
