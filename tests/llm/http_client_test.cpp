// HttpClient against the scripted loopback server: wire form of requests,
// connection reuse, body delivery, error texts by phase, the inactivity
// limit and cancellation in every phase.

#include "llm/http_client.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/scripted_server.hpp"

namespace vexa {
namespace {

using namespace std::chrono_literals;
using test::RecordedRequest;
using test::ScriptedChunk;
using test::ScriptedResponse;
using test::ScriptedServer;
using test::split_chunks;
using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

std::string pattern(std::size_t n) {
    std::string s;
    s.reserve(n);
    for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + (i * 7) % 26));
    return s;
}

std::string sse_body_of(int events) {
    std::vector<std::string> chunks;
    for (int i = 0; i < events; ++i) {
        chunks.push_back("{\"choices\":[{\"delta\":{\"content\":\"piece " + std::to_string(i) + "\"}}]}");
    }
    return test::sse_body(chunks);
}

struct Collected {
    std::vector<std::string> chunks;
    std::string joined() const {
        std::string out;
        for (const auto& c : chunks) out += c;
        return out;
    }
};

HttpDataSink collect(Collected& c) {
    return [&c](const std::string& chunk) { c.chunks.push_back(chunk); };
}

// Headers the caller set, without those the transport adds itself.
std::vector<std::pair<std::string, std::string>> caller_headers(const RecordedRequest& r) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& h : r.headers) {
        if (h.first != "Host" && h.first != "User-Agent" && h.first != "Content-Length" && h.first != "Connection") {
            out.push_back(h);
        }
    }
    return out;
}

TEST(HttpClient, SendsPostWithHeadersInNameOrderAndExactBody) {
    ScriptedServer server({ScriptedResponse::json("{}")});
    HttpClient client;
    client.set_header("Referer", "https://host.example/app");
    client.set_header("Content-Type", "application/json");
    client.set_header("Cookie", "a=1");
    client.set_header("Authorization", "Bearer default");
    client.set_header("X-Empty", "");
    client.set_header("X-Key", "k1\r\nInjected: yes\n");
    // Raw UTF-8 and control bytes must arrive untouched.
    const std::string body = "{\"content\":\"\xE4\xBD\xA0\xE5\xA5\xBD \\u0000 \xF0\x9F\x98\x80\"}\n\t";
    const HttpResponse r = client.post(server.url("/v1/chat/completions?x=1"), body,
                                       {{"Authorization", "Bearer override"}, {"Accept", "text/event-stream"}});
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.status_code, 200);
    EXPECT_EQ(r.body, "{}");
    // Only the content type is taken from the response's headers.
    for (const auto& [name, value] : r.headers) EXPECT_EQ(name, "Content-Type");

    ASSERT_EQ(server.request_count(), 1u);
    const RecordedRequest req = server.requests()[0];
    EXPECT_EQ(req.method, "POST");
    EXPECT_EQ(req.target, "/v1/chat/completions?x=1");
    EXPECT_EQ(req.version, "HTTP/1.1");
    EXPECT_EQ(req.header("User-Agent"), "Vexa/1.0");
    EXPECT_EQ(req.header("Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(req.body, body);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Accept", "text/event-stream"},  {"Authorization", "Bearer override"},
        {"Content-Type", "application/json"}, {"Cookie", "a=1"},
        {"Referer", "https://host.example/app"}, {"X-Empty", ""},
        {"X-Key", "k1Injected: yes"},
    };
    EXPECT_EQ(caller_headers(req), expected);
    EXPECT_FALSE(req.has_header("Expect"));
    EXPECT_FALSE(req.has_header("Injected"));
}

TEST(HttpClient, LeavesOutHeadersNobodyAskedFor) {
    ScriptedServer server({ScriptedResponse::json("{}")});
    HttpClient client;
    // Large enough that curl would otherwise ask for 100-continue.
    const std::string body(2u << 20, 'x');
    const HttpResponse r = client.post(server.url(), body);
    EXPECT_EQ(r.error, "");
    const RecordedRequest req = server.requests().at(0);
    EXPECT_TRUE(caller_headers(req).empty()) << caller_headers(req).front().first;
    EXPECT_EQ(req.body.size(), body.size());
}

TEST(HttpClient, KeepsOneConnectionAcrossRequests) {
    ScriptedResponse closing = ScriptedResponse::json("{\"n\":3}");
    closing.close_connection = true;
    ScriptedServer server({ScriptedResponse::json("{\"n\":1}"), ScriptedResponse::sse("data: {}\n\n"), closing,
                           ScriptedResponse::json("{\"n\":4}"), ScriptedResponse::json("{\"n\":5}")});
    HttpClient client;
    Collected c;
    EXPECT_EQ(client.post(server.url(), "1").body, "{\"n\":1}");
    EXPECT_EQ(client.post_stream(server.url(), "2", collect(c)).error, "");
    EXPECT_EQ(client.post(server.url(), "3").body, "{\"n\":3}");
    EXPECT_EQ(client.post(server.url(), "4").body, "{\"n\":4}");  // new connection after "Connection: close"
    HttpClient other;
    EXPECT_EQ(other.post(server.url(), "5").body, "{\"n\":5}");

    const auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(reqs[1].connection_id, reqs[0].connection_id);
    EXPECT_EQ(reqs[2].connection_id, reqs[0].connection_id);
    EXPECT_EQ(reqs[2].sequence, 3u);
    EXPECT_NE(reqs[3].connection_id, reqs[0].connection_id);
    EXPECT_NE(reqs[4].connection_id, reqs[3].connection_id);
    EXPECT_EQ(server.connection_count(), 3u);
}

TEST(HttpClient, DeliversBodiesWhateverTheFramingAndChunking) {
    using Framing = ScriptedResponse::Framing;
    const std::string body = pattern(5000) + "\xE2\x82\xAC" + pattern(3000);
    struct Case {
        const char* name;
        Framing framing;
        std::size_t piece;
        std::chrono::milliseconds delay;
    };
    const Case cases[] = {
        {"chunked, one piece", Framing::Chunked, body.size(), 0ms},
        {"chunked, 1-byte pieces", Framing::Chunked, 1, 0ms},
        {"chunked, paced pieces", Framing::Chunked, 997, 2ms},
        {"content-length, paced", Framing::ContentLength, 1500, 2ms},
        {"until close", Framing::UntilClose, 4096, 1ms},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        ScriptedResponse r = ScriptedResponse::sse(body);
        r.framing = tc.framing;
        r.chunks = split_chunks(body, tc.piece, tc.delay);
        ScriptedServer server({r, r});
        HttpClient client;

        const HttpResponse buffered = client.post(server.url(), "{}");
        EXPECT_EQ(buffered.error, "");
        EXPECT_EQ(buffered.status_code, 200);
        EXPECT_EQ(buffered.body, body);

        Collected c;
        const HttpResponse streamed = client.post_stream(server.url(), "{}", collect(c));
        EXPECT_EQ(streamed.error, "");
        EXPECT_EQ(streamed.status_code, 200);
        EXPECT_EQ(streamed.body, "");  // a 2xx stream keeps nothing
        EXPECT_EQ(c.joined(), body);
        if (tc.delay > 0ms) {
            EXPECT_GT(c.chunks.size(), 1u);
        }
    }
}

TEST(HttpClient, HandsTheSinkAtMost8192BytesAtATime) {
    const std::string body = pattern(300000);
    for (auto framing : {ScriptedResponse::Framing::ContentLength, ScriptedResponse::Framing::Chunked}) {
        ScriptedResponse r = ScriptedResponse::sse(body);
        r.framing = framing;
        ScriptedServer server({r});
        HttpClient client;
        Collected c;
        const HttpResponse resp = client.post_stream(server.url(), "{}", collect(c));
        EXPECT_EQ(resp.error, "");
        EXPECT_EQ(c.joined(), body);
        std::size_t largest = 0;
        for (const auto& chunk : c.chunks) largest = std::max(largest, chunk.size());
        EXPECT_LE(largest, 8192u);
        EXPECT_GE(c.chunks.size(), body.size() / 8192);
    }
}

TEST(HttpClient, NonSuccessStatuses) {
    const std::string err = "{\"error\":{\"message\":\"bad key\"}}";
    ScriptedResponse chunked_500 = ScriptedResponse::sse("upstream failed");
    chunked_500.status = 500;
    chunked_500.chunks = split_chunks("upstream failed", 4, 5ms);
    ScriptedResponse truncated_502 = ScriptedResponse::text("partial", 502);
    truncated_502.end = ScriptedResponse::End::Abort;
    ScriptedServer server({ScriptedResponse::json(err, 401), ScriptedResponse::json(err, 500), chunked_500,
                           truncated_502, ScriptedResponse::json("", 404)});
    HttpClient client;
    bool sink_called = false;
    const HttpDataSink sink = [&](const std::string&) { sink_called = true; };

    // Streaming: the body becomes part of the error and the sink never sees it.
    HttpResponse r = client.post_stream(server.url(), "{}", sink);
    EXPECT_EQ(r.status_code, 401);
    EXPECT_EQ(r.body, err);
    EXPECT_EQ(r.error, "HTTP 401: " + err);
    // Buffered: the status is the caller's to judge.
    r = client.post(server.url(), "{}");
    EXPECT_EQ(r.status_code, 500);
    EXPECT_EQ(r.body, err);
    EXPECT_EQ(r.error, "");
    r = client.post_stream(server.url(), "{}", sink);
    EXPECT_EQ(r.error, "HTTP 500: upstream failed");
    // An error body that breaks off is still the HTTP error, with what arrived.
    r = client.post_stream(server.url(), "{}", sink);
    EXPECT_EQ(r.status_code, 502);
    EXPECT_EQ(r.error, "HTTP 502: partial");
    r = client.post_stream(server.url(), "{}", sink);
    EXPECT_EQ(r.error, "HTTP 404: ");
    EXPECT_FALSE(sink_called);
}

// A failure names the transport, the phase and curl's own text for its code.
constexpr const char* kConnecting = "HTTP request failed (libcurl) while connecting: ";
constexpr const char* kWaiting = "HTTP request failed (libcurl) while waiting for the response: ";
constexpr const char* kReading = "HTTP request failed (libcurl) while reading the response: ";

TEST(HttpClient, ReportsFailuresByPhase) {
    using End = ScriptedResponse::End;
    ScriptedResponse stalls_in_body = ScriptedResponse::sse("data: {\"a\":1}\n\n");
    stalls_in_body.end = End::Hang;
    ScriptedResponse truncated = ScriptedResponse::json("{\"partial\":");
    truncated.end = End::Abort;
    ScriptedResponse truncated_chunked = ScriptedResponse::sse("data: {}\n\n");
    truncated_chunked.end = End::Abort;
    ScriptedServer server({ScriptedResponse::close(), ScriptedResponse::hang(), stalls_in_body, truncated,
                           truncated_chunked, truncated});
    HttpClient client;
    client.set_timeout_seconds(1);
    Collected c;

    HttpResponse r = client.post_stream(server.url(), "{}", collect(c));
    EXPECT_EQ(r.error, kWaiting + std::string("Server returned nothing (no headers, no data) (error 52)"));
    EXPECT_EQ(r.status_code, 0);

    auto t0 = Clock::now();
    r = client.post_stream(server.url(), "{}", collect(c));
    EXPECT_EQ(r.error, kWaiting + std::string("Timeout was reached (error 28)"));  // silent server
    EXPECT_GE(ms_since(t0), 900);
    EXPECT_LT(ms_since(t0), 5000);

    // A stream that stalls is a failure, not a short success.
    t0 = Clock::now();
    r = client.post_stream(server.url(), "{}", collect(c));
    EXPECT_EQ(r.error, kReading + std::string("Timeout was reached (error 28)"));
    EXPECT_EQ(r.status_code, 200);
    EXPECT_EQ(c.joined(), "data: {\"a\":1}\n\n");
    EXPECT_LT(ms_since(t0), 5000);

    c.chunks.clear();
    r = client.post_stream(server.url(), "{}", collect(c));
    EXPECT_EQ(r.error, kReading + std::string("Transferred a partial file (error 18)"));  // Content-Length not reached
    EXPECT_EQ(c.joined(), "{\"partial\":");
    c.chunks.clear();
    r = client.post_stream(server.url(), "{}", collect(c));
    EXPECT_EQ(r.error.rfind(kReading, 0), 0u) << r.error;  // no final chunk
    EXPECT_EQ(c.joined(), "data: {}\n\n");

    r = client.post(server.url(), "{}");  // buffered keeps status and the partial body
    EXPECT_EQ(r.error, kReading + std::string("Transferred a partial file (error 18)"));
    EXPECT_EQ(r.status_code, 200);
    EXPECT_EQ(r.body, "{\"partial\":");

    r = client.post(server.url(), "{}");  // nothing queued: fallback answer, client still fine
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.status_code, 500);
}

TEST(HttpClient, ConnectFailures) {
    HttpClient client;
    client.set_timeout_seconds(1);
    HttpResponse r = client.post("http://127.0.0.1:" + std::to_string(test::unused_loopback_port()) + "/x", "{}");
    EXPECT_EQ(r.error, kConnecting + std::string("Couldn't connect to server (error 7)"));
    EXPECT_EQ(r.status_code, 0);

    test::StalledListener stalled;
    const auto t0 = Clock::now();
    r = client.post_stream(stalled.url(), "{}", {});
    EXPECT_EQ(r.error, kConnecting + std::string("Timeout was reached (error 28)"));
    EXPECT_GE(ms_since(t0), 900);
    EXPECT_LT(ms_since(t0), 5000);

    r = client.post("ftp://127.0.0.1/x", "{}");  // only http and https are spoken
    EXPECT_EQ(r.error, kConnecting + std::string("Unsupported protocol (error 1)"));
}

TEST(HttpClient, TimeoutIsAboutSilenceNotTotalDuration) {
    // 1 s limit; the stream takes about 3 s but never pauses for 1 s.
    const std::string body = sse_body_of(12);
    ScriptedResponse r = ScriptedResponse::sse(body);
    r.delay_before_headers = 400ms;
    r.chunks = split_chunks(body, body.size() / 8 + 1, 300ms);
    ScriptedResponse buffered = r;
    buffered.framing = ScriptedResponse::Framing::ContentLength;
    ScriptedServer server({r, buffered});
    HttpClient client;
    client.set_timeout_seconds(1);
    Collected c;
    const auto t0 = Clock::now();
    HttpResponse resp = client.post_stream(server.url(), "{}", collect(c));
    EXPECT_EQ(resp.error, "");
    EXPECT_EQ(c.joined(), body);
    EXPECT_GE(ms_since(t0), 2000);
    resp = client.post(server.url(), "{}");
    EXPECT_EQ(resp.error, "");
    EXPECT_EQ(resp.body, body);
}

TEST(HttpClient, SinkExceptionEscapesAndClientStaysUsable) {
    ScriptedResponse r = ScriptedResponse::sse("data: 1\n\ndata: 2\n\n");
    r.chunks = split_chunks(r.body(), 9, 20ms);
    ScriptedServer server({r, ScriptedResponse::json("{}")});
    HttpClient client;
    int calls = 0;
    EXPECT_THROW(client.post_stream(server.url(), "{}",
                                    [&](const std::string&) {
                                        ++calls;
                                        throw std::runtime_error("bad chunk");
                                    }),
                 std::runtime_error);
    EXPECT_EQ(calls, 1);
    const HttpResponse ok = client.post(server.url(), "{}");
    EXPECT_EQ(ok.error, "");
    EXPECT_EQ(ok.body, "{}");
    // An empty sink is allowed.
    server.enqueue(ScriptedResponse::sse("data: x\n\n"));
    EXPECT_EQ(client.post_stream(server.url(), "{}", HttpDataSink{}).error, "");
}

// ---------------------------------------------------------------- cancellation

// Runs `request` on this thread, cancels from another once `ready` says the
// request has reached the phase under test, and returns how long after the
// cancel the request returned, in microseconds.
template <typename Ready>
long long cancel_latency_us(HttpClient& client, Ready ready, HttpResponse& out,
                            const std::function<HttpResponse()>& request) {
    std::atomic<bool> finished{false};
    Clock::time_point cancelled_at{};
    std::thread canceller([&] {
        const auto deadline = Clock::now() + 5s;
        while (!ready() && !finished.load() && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
        cancelled_at = Clock::now();
        client.cancel();
    });
    out = request();
    const auto returned_at = Clock::now();
    finished.store(true);
    canceller.join();
    return std::chrono::duration_cast<std::chrono::microseconds>(returned_at - cancelled_at).count();
}

TEST(HttpClientCancel, EndsEveryPhasePromptly) {
    using End = ScriptedResponse::End;
    ScriptedResponse silent_body = ScriptedResponse::sse("data: {\"first\":true}\n\n");
    silent_body.end = End::Hang;
    ScriptedResponse slow_error = ScriptedResponse::text("slow error body", 503);
    slow_error.end = End::Hang;
    ScriptedResponse late_headers = ScriptedResponse::json("{}");
    late_headers.delay_before_headers = 20s;
    ScriptedServer server({ScriptedResponse::hang(), late_headers, silent_body, slow_error});
    test::StalledListener stalled;
    HttpClient client;
    client.set_timeout_seconds(60);
    std::atomic<int> delivered{0};
    const HttpDataSink sink = [&](const std::string&) { delivered.fetch_add(1); };
    const auto started = [&](std::size_t n) { return [&server, n] { return server.request_count() >= n; }; };

    struct Case {
        const char* phase;
        std::function<bool()> ready;
        std::function<HttpResponse()> request;
    };
    const Case cases[] = {
        {"connecting", [] { std::this_thread::sleep_for(100ms); return true; },
         [&] { return client.post_stream(stalled.url(), "{}", sink); }},
        {"waiting for headers (stream)", started(1), [&] { return client.post_stream(server.url(), "{}", sink); }},
        {"waiting for headers (buffered)", started(2), [&] { return client.post(server.url(), "{}"); }},
        {"silent body", [&] { return delivered.load() > 0; },
         [&] { return client.post_stream(server.url(), "{}", sink); }},
        {"slow error body", started(4), [&] { return client.post_stream(server.url(), "{}", sink); }},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.phase);
        HttpResponse r;
        const long long us = cancel_latency_us(client, tc.ready, r, tc.request);
        EXPECT_EQ(r.error, "Request cancelled");
        EXPECT_LT(us, 1000000);
        std::cout << "[ measured ] cancel while " << tc.phase << ": " << us / 1000.0 << " ms\n";
        RecordProperty(std::string("cancel_us_") + std::to_string(&tc - cases), static_cast<int>(us));
    }
    EXPECT_EQ(delivered.load(), 1);

    // The flag is cleared when a request starts: an earlier cancel does not
    // touch the next request, which also gets a fresh connection.
    client.cancel();
    server.enqueue(ScriptedResponse::json("{\"after\":1}"));
    const HttpResponse after = client.post(server.url(), "{}");
    EXPECT_EQ(after.error, "");
    EXPECT_EQ(after.body, "{\"after\":1}");
}

TEST(HttpClientCancel, FromTheSinkStopsAfterTheDeliveredChunk) {
    ScriptedResponse r = ScriptedResponse::sse("data: a\n\ndata: b\n\ndata: c\n\n");
    r.chunks = split_chunks(r.body(), 9, 30ms);
    ScriptedServer server({r});
    HttpClient client;
    Collected c;
    const HttpResponse resp = client.post_stream(server.url(), "{}", [&](const std::string& chunk) {
        c.chunks.push_back(chunk);
        client.cancel();
    });
    EXPECT_EQ(resp.error, "Request cancelled");
    EXPECT_EQ(resp.status_code, 200);
    EXPECT_EQ(c.joined(), "data: a\n\n");
}

TEST(HttpClientCancel, RepeatedCancelsFromAnotherThread) {
    // Races cancel against every phase of many short streams; each request
    // must end either complete or cancelled, never hang or corrupt the client.
    const std::string body = "data: {\"x\":1}\n\ndata: {\"x\":2}\n\ndata: [DONE]\n\n";
    ScriptedServer server;
    ScriptedResponse r = ScriptedResponse::sse(body);
    r.chunks = split_chunks(body, 8, 3ms);
    server.set_fallback(r);
    HttpClient client;
    client.set_timeout_seconds(10);
    int completed = 0, cancelled = 0;
    long long worst_us = 0;
    for (int i = 0; i < 40; ++i) {
        Collected c;
        Clock::time_point cancel_at{};
        std::thread t([&, i] {
            std::this_thread::sleep_for(std::chrono::microseconds((i * 977) % 25000));
            cancel_at = Clock::now();
            client.cancel();
        });
        const HttpResponse resp = client.post_stream(server.url(), "{}", collect(c));
        const auto returned = Clock::now();
        t.join();
        if (resp.error.empty()) {
            ++completed;
            EXPECT_EQ(c.joined(), body);
        } else {
            ++cancelled;
            EXPECT_EQ(resp.error, "Request cancelled");
            EXPECT_EQ(body.compare(0, c.joined().size(), c.joined()), 0);  // a prefix, in order
            worst_us = std::max<long long>(
                worst_us, std::chrono::duration_cast<std::chrono::microseconds>(returned - cancel_at).count());
        }
    }
    std::cout << "[ measured ] " << completed << " completed, " << cancelled << " cancelled, worst "
              << worst_us / 1000.0 << " ms after the cancel\n";
    EXPECT_LT(worst_us, 1000000);
    EXPECT_GT(cancelled, 0);
    Collected c;
    EXPECT_EQ(client.post_stream(server.url(), "{}", collect(c)).error, "");
    EXPECT_EQ(c.joined(), body);
}

}  // namespace
}  // namespace vexa
