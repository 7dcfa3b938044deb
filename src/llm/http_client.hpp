#pragma once
// Minimal synchronous HTTP client: one POST with a body, answered whole or
// streamed chunk by chunk to a sink. Each remote backend owns one instance for
// its whole life; the connection to a server is kept alive and reused across
// the requests of one client.
//
// Observable behaviour, the same on every platform:
// - user agent "Vexa/1.0"; the default headers are sent in name order, extra
//   headers of a request override defaults of the same name; CR, LF and NUL
//   characters are dropped from header names and values so a configured value
//   can never inject further headers;
// - the system's proxy settings are honoured;
// - one timeout value bounds connecting and every wait for data (an
//   inactivity limit: a body that keeps arriving is never cut); 0 or less
//   means no limit of our own;
// - body pieces handed to a sink are at most 8192 bytes;
// - `cancel` ends a running request promptly in any phase (connecting,
//   sending, waiting for the response, reading) with "Request cancelled".
//   The flag is cleared when a request starts, so a cancel issued between two
//   requests has no effect on the next one.
// - bodies are bounded: an error status's body is kept up to
//   kMaxErrorBodyBytes (the rest is not read) and quoted in error texts up to
//   kErrorExcerptBytes; a buffered 2xx body larger than kMaxBufferedBodyBytes
//   fails the request. A server can never make us hold an unbounded answer.
// - the response's Content-Type and Retry-After, when the server sent them,
//   are in `headers["Content-Type"]` and `headers["Retry-After"]`.
// Errors are reported in HttpResponse::error, never thrown. On Windows the
// text names the WinHTTP call that failed, then "error: " and the Win32 error;
// on POSIX it names the transport (libcurl), the phase and curl's own text,
// then the CURLcode. An exception thrown by a sink stops the request and is
// rethrown to the caller once the transfer has been torn down.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "llm/http_response.hpp"

namespace vexa {

// The error of every request of a client whose transport could not be set
// up; no retry can help it.
#ifdef _WIN32
inline constexpr std::string_view kTransportUnavailableError = "WinHTTP session not initialized";
#else
inline constexpr std::string_view kTransportUnavailableError = "HTTP session not initialized (libcurl)";
#endif

class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Insert or replace a default header. Safe while another thread starts a request.
    void set_header(const std::string& name, const std::string& value);
    void set_timeout_seconds(int seconds);
    // May be called from any thread, including from inside a sink.
    void cancel();

    // Buffered request: any status is returned with its body; only transport
    // failures set `error`.
    HttpResponse post(const std::string& url, const std::string& body, const HttpHeaders& extra_headers = {});
    // Streaming request: a 2xx body goes to `sink` (which may be empty) and is
    // not kept; any other status is read whole into `body` and reported as
    // "HTTP <status>: <body>" without calling the sink.
    HttpResponse post_stream(const std::string& url, const std::string& body, const HttpDataSink& sink,
                             const HttpHeaders& extra_headers = {});

    static constexpr std::size_t kReadChunkBytes = 8192;
    static constexpr std::size_t kMaxErrorBodyBytes = 64 * 1024;
    static constexpr std::size_t kErrorExcerptBytes = 2048;
    static constexpr std::size_t kMaxBufferedBodyBytes = 64u * 1024 * 1024;
    static constexpr const char* kUserAgent = "Vexa/1.0";

    struct Impl;  // platform state (public only so the platform file's helpers can name it)

private:
    HttpResponse perform(const std::string& url, const std::string& body, const HttpDataSink* sink,
                         const HttpHeaders& extra_headers);
    HttpHeaders headers_snapshot(const HttpHeaders& extra_headers) const;

    std::unique_ptr<Impl> impl_;
    mutable std::mutex headers_mutex_;
    HttpHeaders default_headers_;
    std::atomic<int> timeout_seconds_{120};
    std::atomic<bool> cancel_{false};
    std::mutex request_mutex_;  // one request at a time per client
};

// "HTTP <status>: " + the body, quoted up to kErrorExcerptBytes.
std::string http_status_error(int status, const std::string& body);

// Appends a piece of a body that is kept in memory. False (nothing appended)
// once the body would pass its bound: kMaxErrorBodyBytes for an error status,
// kMaxBufferedBodyBytes otherwise; the caller stops reading then.
bool append_body_bounded(HttpResponse& response, const char* data, std::size_t size);

// The error of a buffered 2xx body that passed kMaxBufferedBodyBytes.
std::string body_too_large_error();

#ifdef _WIN32
// UTF-8 <-> UTF-16 by the platform converter; invalid input becomes
// replacement characters; empty input (or a failed conversion) gives empty output.
std::wstring utf8_to_wide(const std::string& text);
std::string wide_to_utf8(const std::wstring& text);
#endif

}  // namespace vexa
