#pragma once
// Opt-in retries of model requests that failed for a reason that tends to
// pass: an overloaded or rate-limiting server (408, 429, 500, 502, 503, 504)
// or a connection that failed before any of the answer arrived. Both remote
// backends send every request through a RequestRetrier; with max_retries 0
// (the default) a request is made exactly once.
//
// A request is never repeated once any of its answer has been handed on (for
// a stream: once the first body byte of a 2xx response reached the parser),
// so the caller never sees text twice.

#include "llm/http_response.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vexa {

struct LLMConfig;

struct RetrySettings {
    int max_retries = 0;
    int base_delay_ms = 500;
    int max_delay_ms = 30000;
};

// The settings of a configuration; negative values count as 0.
RetrySettings retry_settings_from(const LLMConfig& config);

bool is_retryable_status(int status);

enum class RetryCause {
    none,        // the response stands as it is
    status,      // a retryable HTTP status
    connection,  // the connection failed before any of the body arrived
};

// Why `response` is worth another try; `content_delivered` says whether any of
// its body was handed on already (which rules a retry out).
RetryCause retry_cause(const HttpResponse& response, bool content_delivered);

// The wait a Retry-After value asks for: delta seconds, or an HTTP date
// (IMF-fixdate, RFC 850 or asctime form) measured from `now`; a date in the
// past gives 0. Nothing for a value of neither form.
std::optional<std::chrono::milliseconds> parse_retry_after(std::string_view value,
                                                           std::chrono::system_clock::time_point now);

// Exponential backoff for the retry numbered `retry` (0 for the first):
// base * 2^retry capped at the maximum, then scaled by a jitter factor
// between 0.5 and 1 (`unit` in [0, 1) picks where), so that clients that
// failed together do not come back together.
std::chrono::milliseconds backoff_delay(const RetrySettings& settings, int retry, double unit);

// "Model request failed (HTTP 503); retrying in 1.2 s (attempt 1 of 3)..."
std::string retry_notice_text(const HttpResponse& response, RetryCause cause, std::chrono::milliseconds delay,
                              int attempt, int max_retries);

using NoticeCallback = std::function<void(const std::string& text)>;

class RequestRetrier {
public:
    // Before the first request; not while one runs.
    void configure(const RetrySettings& settings) { settings_ = settings; }
    const RetrySettings& settings() const { return settings_; }

    // Makes the request with `attempt` and repeats it while the answer is
    // worth a retry and retries are left, waiting between tries for the
    // backoff, or longer when the server's Retry-After asks for more (up to
    // the maximum delay). Each retry is logged and
    // announced through `notice` (may be empty) before its wait. The last
    // response is returned; a cancel during a wait ends it at once with
    // "Request cancelled". `content_delivered` (may be empty) tells whether
    // the last attempt handed any of its body on.
    HttpResponse run(const std::function<HttpResponse()>& attempt, const std::function<bool()>& content_delivered,
                     const NoticeCallback& notice);

    // Ends a wait of the running call at once, and keeps a running call from
    // making another attempt. Any thread. Like the transport's cancel, it is
    // forgotten when the next call starts.
    void cancel();
    bool cancel_requested() const;

private:
    // False when cancelled before `delay` passed.
    bool wait(std::chrono::milliseconds delay);

    RetrySettings settings_;
    std::mutex mutex_;  // pairs with wake_; cancelled_ is set under it so no wake-up is lost
    std::condition_variable wake_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace vexa
