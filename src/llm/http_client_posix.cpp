// HTTP transport over libcurl.
//
// One easy handle per client, driven through a private multi handle: the
// multi handle's connection cache keeps the connection to a server alive
// across requests, and driving the transfer ourselves lets `cancel` (which
// wakes curl_multi_poll) and the inactivity limit act in every phase.
//
// A failure names the transport, how far the request had come and curl's own
// text for the CURLcode (or CURLMcode), e.g.
//   "HTTP request failed (libcurl) while connecting: Couldn't connect to server (error 7)"
// The phases:
//   before a connection was established or reused (name resolution, TCP
//     connect, proxy and TLS handshake, URL errors) -> "while connecting"
//   setting up the transfer (out of memory, multi handle refused)
//                                                   -> "while setting up the request"
//   connected, request body not fully sent          -> "while sending the request"
//   request sent, response headers not complete     -> "while waiting for the response"
//   while reading the body                          -> "while reading the response"
// Our own inactivity limit reports CURLE_OPERATION_TIMEDOUT (28) the same way.

#include "llm/http_client.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <string_view>

namespace vexa {

struct HttpClient::Impl {
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
};

namespace {

using Clock = std::chrono::steady_clock;

// The longest curl_multi_poll may block before we look at the cancel flag and
// the clock again; cancel() also wakes it at once.
constexpr int kMaxPollMs = 100;

bool curl_ready() {
    // A function-local static is initialised exactly once, thread-safely;
    // curl_global_init itself must not run twice concurrently.
    static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ok;
}

bool equals_ascii_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool has_header(const HttpHeaders& headers, std::string_view name) {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return equals_ascii_nocase(h.first, name); });
}

struct Transfer {
    CURL* easy = nullptr;
    HttpResponse* response = nullptr;
    const HttpDataSink* sink = nullptr;  // null: buffered request
    const std::atomic<bool>* cancel = nullptr;
    bool connected = false;
    bool headers_done = false;
    bool to_sink = false;  // a 2xx body on a streaming request
    bool cancelled = false;
    bool body_limited = false;  // a kept body reached its bound; reading stopped
    Clock::time_point last_activity;
    std::exception_ptr sink_error;
};

#if LIBCURL_VERSION_NUM >= 0x075000
int on_connected(void* clientp, char*, char*, int, int) {
    auto* t = static_cast<Transfer*>(clientp);
    t->connected = true;
    t->last_activity = Clock::now();
    return CURL_PREREQFUNC_OK;
}
#endif

size_t on_header(char* data, size_t size, size_t count, void* userp) {
    auto* t = static_cast<Transfer*>(userp);
    const size_t len = size * count;
    t->last_activity = Clock::now();
    if (t->cancel->load()) {
        t->cancelled = true;
        return 0;
    }
    std::string_view line(data, len);
    // The headers callers read, stored under one spelling.
    static constexpr std::string_view kKept[] = {"Content-Type", "Retry-After"};
    for (std::string_view name : kKept) {
        if (t->headers_done || line.size() <= name.size() || line[name.size()] != ':' ||
            !equals_ascii_nocase(line.substr(0, name.size()), name)) {
            continue;
        }
        std::string_view value = line.substr(name.size() + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) {
            value.remove_suffix(1);
        }
        t->response->headers[std::string(name)] = std::string(value);
    }
    if (!t->headers_done && (line == "\r\n" || line == "\n")) {
        long status = 0;
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 200) {  // 1xx interim responses are followed by the real one
            t->headers_done = true;
            t->response->status_code = static_cast<int>(status);
            t->to_sink = t->sink != nullptr && status >= 200 && status <= 299;
        }
    }
    return len;
}

size_t on_body(char* data, size_t size, size_t count, void* userp) {
    auto* t = static_cast<Transfer*>(userp);
    const size_t len = size * count;
    t->last_activity = Clock::now();
    if (t->cancel->load()) {
        t->cancelled = true;
        return 0;
    }
    if (!t->to_sink) {
        if (!append_body_bounded(*t->response, data, len)) {
            t->body_limited = true;
            return 0;
        }
        return len;
    }
    // curl honours CURLOPT_BUFFERSIZE, but the sink's bound is a promise:
    // split anything larger rather than rely on it.
    for (size_t pos = 0; pos < len; pos += HttpClient::kReadChunkBytes) {
        const size_t n = std::min(len - pos, HttpClient::kReadChunkBytes);
        if (*t->sink) {
            try {
                (*t->sink)(std::string(data + pos, n));
            } catch (...) {
                // Never let an exception cross curl's C frames.
                t->sink_error = std::current_exception();
                return 0;
            }
        }
        // A cancel (possibly from the sink itself) stops after the piece just delivered.
        if (t->cancel->load()) {
            t->cancelled = true;
            return 0;
        }
    }
    return len;
}

std::string failure_text(const char* phase, const char* reason, long long code) {
    return std::string("HTTP request failed (libcurl) while ") + phase + ": " + reason + " (error " +
           std::to_string(code) + ")";
}
std::string failure_text(const char* phase, CURLcode code) {
    return failure_text(phase, curl_easy_strerror(code), code);
}
std::string failure_text(const char* phase, CURLMcode code) {
    return failure_text(phase, curl_multi_strerror(code), code);
}

}  // namespace

HttpClient::HttpClient() : impl_(std::make_unique<Impl>()) {
    if (!curl_ready()) return;
    impl_->multi = curl_multi_init();
    impl_->easy = curl_easy_init();
    if (!impl_->multi || !impl_->easy) {
        if (impl_->easy) curl_easy_cleanup(impl_->easy);
        if (impl_->multi) curl_multi_cleanup(impl_->multi);
        impl_->easy = nullptr;
        impl_->multi = nullptr;
        return;
    }
    CURL* e = impl_->easy;
    // Settings that hold for every request of this client.
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);  // never raise signals in the host
    curl_easy_setopt(e, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, static_cast<long>(kReadChunkBytes));
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_DEFAULT_PROTOCOL, "https");  // a URL without scheme is https
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(e, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    // A proxy tunnel's own "200 Connection established" is not our response.
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &on_header);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &on_body);
#if LIBCURL_VERSION_NUM >= 0x075000
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &on_connected);
#endif
}

HttpClient::~HttpClient() {
    if (impl_->easy) curl_easy_cleanup(impl_->easy);
    if (impl_->multi) curl_multi_cleanup(impl_->multi);
}

void HttpClient::cancel() {
    cancel_.store(true);
    // Wakes a transfer blocked in curl_multi_poll; safe from any thread. A
    // wake-up with no transfer running only makes the next poll return early.
    if (impl_->multi) curl_multi_wakeup(impl_->multi);
}

HttpResponse HttpClient::perform(const std::string& url, const std::string& body, const HttpDataSink* sink,
                                 const HttpHeaders& extra_headers) {
    std::lock_guard<std::mutex> request_lock(request_mutex_);
    // Cleared exactly once, here: a cancel that arrives from now on is never lost.
    cancel_.store(false);
    HttpResponse response;
    if (!impl_->easy || !impl_->multi) {
        response.error = kTransportUnavailableError;
        return response;
    }
    CURL* e = impl_->easy;
    CURLM* m = impl_->multi;

    const HttpHeaders headers = headers_snapshot(extra_headers);
    curl_slist* list = nullptr;
    bool list_ok = true;
    auto add = [&](const std::string& line) {
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (!next) {
            list_ok = false;
            return;
        }
        list = next;
    };
    for (const auto& [name, value] : headers) {
        // "Name;" is curl's spelling of a header with an empty value.
        add(value.empty() ? name + ";" : name + ": " + value);
    }
    // Leave out what curl would add on its own: a form content type, a
    // catch-all Accept, and the 100-continue handshake that stalls servers
    // which do not answer it.
    if (!has_header(headers, "Content-Type")) add("Content-Type:");
    if (!has_header(headers, "Accept")) add("Accept:");
    if (!has_header(headers, "Expect")) add("Expect:");
    if (!list_ok) {
        curl_slist_free_all(list);
        response.error = failure_text("setting up the request", CURLE_OUT_OF_MEMORY);
        return response;
    }

    const long long timeout_ms = std::max(0, timeout_seconds_.load()) * 1000LL;
    Transfer t;
    t.easy = e;
    t.response = &response;
    t.sink = sink;
    t.cancel = &cancel_;
    t.last_activity = Clock::now();
#if LIBCURL_VERSION_NUM < 0x075000
    t.connected = true;  // no connection callback: the inactivity limit covers connecting too
#endif

    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_ms));  // 0: curl's default
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
#if LIBCURL_VERSION_NUM >= 0x075000
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &t);
#endif

    CURLcode result = CURLE_OK;
    bool failed = false;
    const CURLMcode added = curl_multi_add_handle(m, e);
    if (added != CURLM_OK) {
        response.error = failure_text("setting up the request", added);
    } else {
        curl_off_t uploaded_seen = 0;
        for (;;) {
            if (cancel_.load()) {
                t.cancelled = true;
                break;
            }
            int running = 0;
            const CURLMcode mc = curl_multi_perform(m, &running);
            bool done = false;
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(m, &queued)) {
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == e) {
                    result = msg->data.result;
                    done = true;
                }
            }
            if (done) {
                failed = result != CURLE_OK;
                break;
            }
            if (mc != CURLM_OK) {
                result = CURLE_RECV_ERROR;
                failed = true;
                break;
            }
            if (cancel_.load()) {
                t.cancelled = true;
                break;
            }
            const auto now = Clock::now();
            curl_off_t uploaded = 0;
            if (curl_easy_getinfo(e, CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK && uploaded != uploaded_seen) {
                uploaded_seen = uploaded;
                t.last_activity = now;
            }
            long long wait_ms = kMaxPollMs;
            // Connecting is bounded by curl's connect timeout; from then on
            // every wait for progress is bounded by ours.
            if (timeout_ms > 0 && t.connected) {
                const long long idle_ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - t.last_activity).count();
                if (idle_ms >= timeout_ms) {
                    result = CURLE_OPERATION_TIMEDOUT;
                    failed = true;
                    break;
                }
                wait_ms = std::min(wait_ms, timeout_ms - idle_ms);
            }
            curl_multi_poll(m, nullptr, 0, static_cast<int>(wait_ms), nullptr);
        }
        // Removing an unfinished transfer closes its connection; a finished
        // one goes back to the cache for the next request.
        curl_multi_remove_handle(m, e);
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, nullptr);
    curl_slist_free_all(list);

    if (t.sink_error) std::rethrow_exception(t.sink_error);
    if (!response.error.empty()) return response;
    if (t.cancelled) {
        response.error = "Request cancelled";
        return response;
    }

    const bool streaming = sink != nullptr;
    const bool error_status = response.status_code < 200 || response.status_code > 299;
    if (t.body_limited) {
        // An error body was cut on purpose and is reported like a whole one;
        // a success body that large is no answer we can hold.
        if (!error_status) response.error = body_too_large_error();
        if (streaming && error_status) response.error = http_status_error(response.status_code, response.body);
        return response;
    }
    if (failed) {
        if (!t.connected) {
            response.error = failure_text("connecting", result);
            return response;
        }
        if (!t.headers_done) {
            curl_off_t uploaded = 0;
            curl_easy_getinfo(e, CURLINFO_SIZE_UPLOAD_T, &uploaded);
            const bool sent = result != CURLE_SEND_ERROR && uploaded >= static_cast<curl_off_t>(body.size());
            response.error = failure_text(sent ? "waiting for the response" : "sending the request", result);
            return response;
        }
        // An error body that breaks off is still reported as the HTTP error
        // below, with what arrived of it.
        if (!(streaming && error_status)) {
            response.error = failure_text("reading the response", result);
            return response;
        }
    }
    if (streaming && error_status) response.error = http_status_error(response.status_code, response.body);
    return response;
}

}  // namespace vexa
