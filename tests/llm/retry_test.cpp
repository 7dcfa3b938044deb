// Retries of failed model requests: the policy's pieces on their own, and
// whole calls through the LLM client against a scripted server on real
// loopback HTTP, for both remote backends, streamed and buffered.

#include "llm/retry_policy.hpp"

#include "fixtures/scripted_server.hpp"
#include "llm/http_client.hpp"
#include "llm/llm_client.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

using test::ScriptedResponse;
using test::ScriptedServer;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ------------------------------------------------------------- policy ----

TEST(RetryPolicy, RetryAfterValues) {
    // 2015-10-21 07:28:00 UTC
    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1445412480));
    struct Case {
        const char* value;
        std::optional<milliseconds> expected;
    };
    const std::vector<Case> cases = {
        {"1", 1000ms},
        {" 120 ", 120000ms},
        {"0", 0ms},
        {"Wed, 21 Oct 2015 07:28:05 GMT", 5000ms},         // IMF-fixdate
        {"Wednesday, 21-Oct-15 07:29:00 GMT", 60000ms},    // RFC 850
        {"Wed Oct 21 07:28:10 2015", 10000ms},             // asctime
        {"Wed Oct  1 07:28:10 2015", 0ms},                 // in the past
        {"Tue, 20 Oct 2015 07:28:00 GMT", 0ms},            // in the past
        {"Thu, 29 Feb 2024 00:00:00 GMT", milliseconds((1709164800LL - 1445412480LL) * 1000)},
        {"", std::nullopt},
        {"-1", std::nullopt},
        {"1.5", std::nullopt},
        {"soon", std::nullopt},
        {"Wed, 21 Foo 2015 07:28:05 GMT", std::nullopt},
        {"Wed, 21 Oct 2015 25:28:05 GMT", std::nullopt},
        {"Wed, 21 Oct 2015 07:28 GMT", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(parse_retry_after(c.value, now), c.expected);
    }
}

TEST(RetryPolicy, BackoffDoublesWithJitterUnderTheCap) {
    const RetrySettings s{5, 100, 1000};
    struct Case {
        int retry;
        double unit;
        long long expected_ms;
    };
    for (const Case& c : std::vector<Case>{{0, 0.0, 50},
                                           {0, 0.999999, 100},
                                           {1, 0.0, 100},
                                           {2, 1.0, 400},
                                           {3, 0.5, 600},
                                           {4, 1.0, 1000},  // 1600 capped
                                           {40, 1.0, 1000},
                                           {4000, 0.0, 500}}) {
        SCOPED_TRACE(c.retry);
        EXPECT_EQ(backoff_delay(s, c.retry, c.unit).count(), c.expected_ms);
    }
    EXPECT_EQ(backoff_delay(RetrySettings{3, 0, 1000}, 2, 0.7).count(), 0);
}

TEST(RetryPolicy, WhichFailuresAreRetried) {
    struct Case {
        const char* what;
        int status;
        std::string error;
        std::string body;
        bool delivered;
        RetryCause expected;
    };
    const std::vector<Case> cases = {
        {"408", 408, "", "x", false, RetryCause::status},
        {"429 streamed", 429, "HTTP 429: slow down", "slow down", false, RetryCause::status},
        {"500", 500, "", "", false, RetryCause::status},
        {"502", 502, "", "", false, RetryCause::status},
        {"503", 503, "", "", false, RetryCause::status},
        {"504", 504, "", "", false, RetryCause::status},
        {"400", 400, "", "", false, RetryCause::none},
        {"401", 401, "HTTP 401: no", "no", false, RetryCause::none},
        {"404", 404, "", "", false, RetryCause::none},
        {"501", 501, "", "", false, RetryCause::none},
        {"200", 200, "", "{}", false, RetryCause::none},
        {"connect failed", 0, "WinHttpConnect failed, error: 7", "", false, RetryCause::connection},
        {"no answer", 0, "WinHttpReceiveResponse failed, error: 52", "", false, RetryCause::connection},
        {"2xx body broke before a byte", 200, "WinHttpReadData failed, error: 18", "", false, RetryCause::connection},
        {"2xx body broke midway", 200, "WinHttpReadData failed, error: 18", "{\"id", false, RetryCause::none},
        {"stream broke after content", 200, "WinHttpReadData failed, error: 56", "", true, RetryCause::none},
        {"cancelled", 0, "Request cancelled", "", false, RetryCause::none},
        {"cancelled after a 503 status", 503, "Request cancelled", "", false, RetryCause::none},
        {"no session", 0, std::string(kTransportUnavailableError), "", false, RetryCause::none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HttpResponse response;
        response.status_code = c.status;
        response.error = c.error;
        response.body = c.body;
        EXPECT_EQ(retry_cause(response, c.delivered), c.expected);
    }
}

TEST(RetryPolicy, SettingsClampNegativeValues) {
    LLMConfig config;
    EXPECT_EQ(retry_settings_from(config).max_retries, 0);  // off unless asked for
    config.max_retries = -2;
    config.retry_base_delay_ms = -5;
    config.retry_max_delay_ms = -1;
    const RetrySettings s = retry_settings_from(config);
    EXPECT_EQ(s.max_retries, 0);
    EXPECT_EQ(s.base_delay_ms, 0);
    EXPECT_EQ(s.max_delay_ms, 0);
}

// ------------------------------------------------------- whole calls ----

enum class Call { openai_stream, openai_buffered, host_stream, host_buffered };

const char* call_name(Call call) {
    switch (call) {
        case Call::openai_stream: return "openai_stream";
        case Call::openai_buffered: return "openai_buffered";
        case Call::host_stream: return "host_stream";
        case Call::host_buffered: return "host_buffered";
    }
    return "?";
}

bool is_stream(Call call) { return call == Call::openai_stream || call == Call::host_stream; }

ScriptedResponse success(bool stream) {
    if (stream) {
        return ScriptedResponse::sse(test::sse_body({
            R"({"id":"r1","choices":[{"index":0,"delta":{"content":"Hello"}}]})",
            R"({"id":"r1","choices":[{"index":0,"delta":{},"finish_reason":"stop"}]})",
        }));
    }
    return ScriptedResponse::json(
        R"({"id":"r1","choices":[{"index":0,"message":{"role":"assistant","content":"Hello"},"finish_reason":"stop"}]})");
}

ScriptedResponse failing(int status, const std::string& retry_after = {}) {
    ScriptedResponse r = ScriptedResponse::json(R"({"error":{"message":"try later"}})", status);
    if (!retry_after.empty()) r.headers.emplace_back("Retry-After", retry_after);
    return r;
}

// A 2xx answer of which the first bytes arrive before the connection breaks.
ScriptedResponse broken_after_content(bool stream) {
    ScriptedResponse r =
        stream ? ScriptedResponse::sse("data: {\"id\":\"r1\",\"choices\":[{\"index\":0,\"delta\":{\"content\":\"Hel\"}}]}\n\n")
               : ScriptedResponse::json(R"({"id":"r1","choices":[{"index":0,"message":)");
    r.end = ScriptedResponse::End::Abort;
    return r;
}

// A 2xx answer whose connection breaks before any of its body.
ScriptedResponse broken_before_body(bool stream) {
    ScriptedResponse r = stream ? ScriptedResponse::sse("") : ScriptedResponse::json("");
    r.chunks.clear();
    r.end = ScriptedResponse::End::Abort;
    return r;
}

struct CallOutcome {
    bool ok = false;
    std::string error;
    std::string content;
    std::string streamed;
    milliseconds elapsed{0};
};

// One LLM client on a backend of the chosen kind, pointed at the server, that
// records every notice it is given.
class RetryRig {
public:
    RetryRig(Call call, const ScriptedServer& server, RetrySettings settings) : call_(call) {
        LLMConfig config;
        const bool host = call == Call::host_stream || call == Call::host_buffered;
        config.backend = host ? "host" : "openai";
        config.base_url = server.base_url() + "/v1";
        config.model = "test-model";
        config.timeout_seconds = 10;
        config.max_retries = settings.max_retries;
        config.retry_base_delay_ms = settings.base_delay_ms;
        config.retry_max_delay_ms = settings.max_delay_ms;
        // Buffered calls have no callbacks of their own: their notices come here.
        client_.set_notice_callback([this](const std::string& text) { add_notice(text); });
        EXPECT_TRUE(client_.configure(config)) << client_.last_error();
        if (host) {
            EXPECT_TRUE(client_.set_host_llm_context(
                {server.url("/gateway"), "session=1", "https://host.example/", "user-1", ""}));
        }
    }

    CallOutcome run() {
        std::vector<ChatMessage> messages(1);
        messages[0].role = MessageRole::user;
        messages[0].content = "hi";
        CallOutcome out;
        const auto start = Clock::now();
        if (is_stream(call_)) {
            StreamCallbacks callbacks;
            callbacks.on_content = [&](const std::string& text) { out.streamed += text; };
            callbacks.on_notice = [this](const std::string& text) { add_notice(text); };
            StreamResult r = client_.chat_completion_stream(messages, {}, callbacks);
            out.ok = r.ok;
            out.error = r.error;
            out.content = r.message.content;
        } else {
            CompletionResult r = client_.chat_completion_result(messages, {});
            out.ok = r.ok;
            out.error = r.error;
            out.content = r.content;
        }
        out.elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        return out;
    }

    void cancel() { client_.cancel(); }

    std::vector<std::string> notices() const {
        std::lock_guard lock(mutex_);
        return notices_;
    }
    bool wait_for_notice(milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return !notices_.empty(); });
    }

private:
    void add_notice(const std::string& text) {
        {
            std::lock_guard lock(mutex_);
            notices_.push_back(text);
        }
        changed_.notify_all();
    }

    Call call_;
    LLMClient client_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> notices_;
};

struct RetryCase {
    const char* name;
    RetrySettings settings;
    std::function<std::vector<ScriptedResponse>(bool stream)> script;
    std::size_t requests;  // what the server sees
    bool ok;
    std::vector<std::string> notices;  // one per retry: a text the notice holds
    milliseconds min_elapsed{0};
    milliseconds max_elapsed{5000};
    bool stream_only = false;
};

const std::vector<RetryCase>& retry_cases() {
    static const std::vector<RetryCase> cases = {
        {"429 with Retry-After 1 then success: the server's wait is honoured",
         {3, 10, 30000},
         [](bool s) { return std::vector{failing(429, "1"), success(s)}; },
         2,
         true,
         {"Model request failed (HTTP 429); retrying in 1.0 s (attempt 1 of 3)..."},
         950ms},
        {"503 twice then success",
         {3, 10, 1000},
         [](bool s) { return std::vector{failing(503), failing(503), success(s)}; },
         3,
         true,
         {"Model request failed (HTTP 503); retrying in ", "(attempt 2 of 3)..."}},
        {"401 is not retried",
         {3, 10, 1000},
         [](bool s) { return std::vector{failing(401), success(s)}; },
         1,
         false,
         {}},
        {"a failure after content has arrived is not retried",
         {3, 10, 1000},
         [](bool s) { return std::vector{broken_after_content(s), success(s)}; },
         1,
         false,
         {}},
        {"max_retries 0 keeps the single attempt",
         {0, 10, 1000},
         [](bool s) { return std::vector{failing(503), success(s)}; },
         1,
         false,
         {}},
        {"a connection closed before any byte is retried",
         {2, 10, 1000},
         [](bool s) { return std::vector{ScriptedResponse::close(), success(s)}; },
         2,
         true,
         {"Model request failed (connection failed); retrying in "}},
        {"a 2xx whose body breaks before its first byte is retried",
         {2, 10, 1000},
         [](bool s) { return std::vector{broken_before_body(s), success(s)}; },
         2,
         true,
         {"(connection failed)"}},
        {"retries run out: the last failure stands",
         {2, 10, 1000},
         [](bool s) { return std::vector{failing(502), failing(504), failing(500), success(s)}; },
         3,
         false,
         {"(HTTP 502)", "(HTTP 504)"}},
        {"a Retry-After beyond the maximum delay is cut to it",
         {1, 10, 200},
         [](bool s) { return std::vector{failing(503, "3600"), success(s)}; },
         2,
         true,
         {"retrying in 0.2 s (attempt 1 of 1)..."},
         150ms,
         3000ms},
        // A Retry-After asking for less than the backoff never shortens it:
        // the wait is 200 to 400 ms (400 ms with jitter), not 0.
        {"408 with an HTTP date in the past still waits the backoff",
         {1, 400, 5000},
         [](bool s) { return std::vector{failing(408, "Thu, 01 Jan 1970 00:00:00 GMT"), success(s)}; },
         2,
         true,
         {"(attempt 1 of 1)..."},
         190ms,
         3000ms},
        {"503 with Retry-After 0 still waits the backoff",
         {1, 400, 5000},
         [](bool s) { return std::vector{failing(503, "0"), success(s)}; },
         2,
         true,
         {"(attempt 1 of 1)..."},
         190ms,
         3000ms},
    };
    return cases;
}

TEST(RetryCalls, TableAgainstScriptedServer) {
    for (Call call : {Call::openai_stream, Call::openai_buffered, Call::host_stream, Call::host_buffered}) {
        for (const RetryCase& c : retry_cases()) {
            if (c.stream_only && !is_stream(call)) continue;
            SCOPED_TRACE(std::string(call_name(call)) + ": " + c.name);
            ScriptedServer server;
            const bool stream = is_stream(call);
            for (auto& response : c.script(stream)) server.enqueue(std::move(response));
            RetryRig rig(call, server, c.settings);
            const CallOutcome out = rig.run();

            EXPECT_EQ(out.ok, c.ok) << out.error;
            EXPECT_EQ(server.request_count(), c.requests);
            if (c.ok) {
                EXPECT_EQ(out.content, "Hello");
                if (stream) {
                    EXPECT_EQ(out.streamed, "Hello");  // nothing shown twice
                }
            }
            // One notice per retry, each holding its expected text.
            const std::vector<std::string> notices = rig.notices();
            ASSERT_EQ(notices.size(), c.notices.size());
            EXPECT_EQ(notices.size(), c.requests - 1);
            for (std::size_t i = 0; i < notices.size(); ++i) {
                EXPECT_NE(notices[i].find(c.notices[i]), std::string::npos) << notices[i];
            }
            EXPECT_GE(out.elapsed, c.min_elapsed);
            EXPECT_LT(out.elapsed, c.max_elapsed);
            // Every attempt sends the same request.
            const auto requests = server.requests();
            for (const auto& r : requests) EXPECT_EQ(r.body, requests.front().body);
        }
    }
}

TEST(RetryCalls, AStreamBrokenAfterContentKeepsWhatWasShownAndIsNotRepeated) {
    ScriptedServer server;
    server.enqueue(broken_after_content(true));
    server.enqueue(success(true));
    RetryRig rig(Call::openai_stream, server, {3, 10, 1000});
    const CallOutcome out = rig.run();
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.streamed, "Hel");
    EXPECT_EQ(out.content, "Hel");
    EXPECT_EQ(server.request_count(), 1u);
    EXPECT_TRUE(rig.notices().empty());
}

TEST(RetryCalls, CancelDuringTheBackoffWaitReturnsAtOnce) {
    for (Call call : {Call::openai_stream, Call::host_buffered}) {
        SCOPED_TRACE(call_name(call));
        ScriptedServer server;
        server.enqueue(failing(503, "30"));
        server.enqueue(success(is_stream(call)));
        RetryRig rig(call, server, {3, 10, 60000});
        Clock::time_point cancelled_at;
        std::thread canceller([&] {
            ASSERT_TRUE(rig.wait_for_notice(5000ms));
            std::this_thread::sleep_for(50ms);  // well inside the 30 s wait
            cancelled_at = Clock::now();
            rig.cancel();
        });
        const CallOutcome out = rig.run();
        const auto returned_at = Clock::now();
        canceller.join();
        const auto ms = std::chrono::duration_cast<milliseconds>(returned_at - cancelled_at).count();
        std::printf("[ measured ] %s returned %lld ms after cancel during the backoff wait\n", call_name(call),
                    static_cast<long long>(ms));
        // 200 ms is the promise; the margin is for sanitizer builds on a busy machine.
        EXPECT_LT(ms, 1000);
        EXPECT_LT(out.elapsed, 10000ms);
        EXPECT_FALSE(out.ok);
        EXPECT_EQ(out.error, "Request cancelled");
        EXPECT_EQ(server.request_count(), 1u);
    }
}

TEST(RetryCalls, ACancelBeforeTheCallDoesNotStopItsRetries) {
    // Like the transport's own cancel: only a running call is cancelled.
    ScriptedServer server;
    server.enqueue(failing(503));
    server.enqueue(success(false));
    RetryRig rig(Call::openai_buffered, server, {1, 10, 1000});
    rig.cancel();
    EXPECT_TRUE(rig.run().ok);
    EXPECT_EQ(server.request_count(), 2u);
}

}  // namespace
}  // namespace vexa
