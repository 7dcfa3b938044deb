// HTTP transport over WinHTTP in asynchronous mode.
//
// The session handle lives as long as the client; WinHTTP pools the
// connections of a session, so requests to the same server reuse one.
// WinHTTP's four timeouts (resolve, connect, send, receive) all get the one
// configured value; the receive timeout bounds each wait for data, so a body
// that keeps arriving is never cut.
//
// Cancellation: only an asynchronous request is documented to end when its
// handle is closed, so every call is issued asynchronously and the calling
// thread waits for its completion in short slices, checking the cancel flag
// between them. `cancel` closes the request handle; the waiting thread
// returns "Request cancelled" at once, without waiting for WinHTTP to finish
// tearing the request down. The per-request state that WinHTTP's callback
// thread writes into is reference-counted and outlives both sides.

#include "llm/http_client.hpp"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

namespace vexa {

std::wstring utf8_to_wide(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string wide_to_utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

struct HttpClient::Impl {
    HINTERNET session = nullptr;
    std::mutex active_mutex;
    HINTERNET active_request = nullptr;  // the running request, closable by cancel()
    bool closed_by_cancel = false;
};

namespace {

struct ParsedUrl {
    std::wstring host;
    std::wstring path;
    int port = 443;
    bool https = true;
};

struct BadUrl {};

ParsedUrl parse_url(const std::string& url) {
    ParsedUrl p;
    const std::wstring wide = utf8_to_wide(url);
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS uc{};
    uc.dwStructSize = sizeof uc;
    uc.lpszHostName = host;
    uc.dwHostNameLength = static_cast<DWORD>(std::size(host));
    uc.lpszUrlPath = path;
    uc.dwUrlPathLength = static_cast<DWORD>(std::size(path));
    if (!wide.empty() && WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &uc)) {
        p.host.assign(host, uc.dwHostNameLength);
        p.path.assign(path, uc.dwUrlPathLength);
        p.port = uc.nPort;
        p.https = uc.nScheme == INTERNET_SCHEME_HTTPS;
        return p;
    }
    // Hand parsing of what the cracker refused.
    std::string rest = url;
    if (rest.rfind("https://", 0) == 0) {
        rest = rest.substr(8);
    } else if (rest.rfind("http://", 0) == 0) {
        rest = rest.substr(7);
        p.https = false;
        p.port = 80;
    }
    const std::size_t slash = rest.find('/');
    std::string host_port = slash == std::string::npos ? rest : rest.substr(0, slash);
    const std::string path_text = slash == std::string::npos ? std::string("/") : rest.substr(slash);
    const std::size_t colon = host_port.find(':');
    if (colon != std::string::npos) {
        // A port that is no number or out of range is a bad URL, reported like
        // any other failure instead of escaping as an exception.
        try {
            p.port = std::stoi(host_port.substr(colon + 1));
        } catch (const std::exception&) {
            throw BadUrl{};
        }
        if (p.port < 0 || p.port > 65535) throw BadUrl{};
        host_port = host_port.substr(0, colon);
    }
    p.host = utf8_to_wide(host_port);
    p.path = utf8_to_wide(path_text);
    return p;
}

std::string with_code(const char* prefix, DWORD code) { return std::string(prefix) + std::to_string(code); }

// What WinHTTP's callback reports about the one operation in flight. Shared by
// the requesting thread and the callback; freed by whichever lets go last (the
// callback lets go when the request handle is destroyed).
struct AsyncState {
    std::mutex mutex;
    std::condition_variable changed;
    bool completed = false;
    DWORD error = 0;   // non-zero: the operation failed with this Win32 error
    DWORD amount = 0;  // bytes available or bytes read
    char buffer[HttpClient::kReadChunkBytes];
    std::atomic<int> references{1};

    // Notifies under the lock, so that a last release on another thread (it
    // takes the lock before deleting) cannot free the state mid-notify.
    void finish(DWORD failure, DWORD bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        completed = true;
        error = failure;
        amount = bytes;
        changed.notify_all();
    }
    void release() {
        if (references.fetch_sub(1) != 1) return;
        { std::lock_guard<std::mutex> wait_for_finish(mutex); }
        delete this;
    }
};

void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD info_length) {
    auto* state = reinterpret_cast<AsyncState*>(context);
    if (state == nullptr) return;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            state->finish(0, 0);
            break;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            state->finish(0, info != nullptr ? *static_cast<DWORD*>(info) : 0);
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            state->finish(0, info_length);
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
            const auto* result = static_cast<WINHTTP_ASYNC_RESULT*>(info);
            state->finish(result != nullptr && result->dwError != 0 ? result->dwError : ERROR_WINHTTP_INTERNAL_ERROR, 0);
            break;
        }
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            state->release();
            break;
        default:
            break;
    }
}

constexpr DWORD kCallbackFlags = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES;

}  // namespace

HttpClient::HttpClient() : impl_(std::make_unique<Impl>()) {
    // The system's proxy configuration: the automatic type (Windows 8.1 and
    // later) follows the user's settings; older systems take WinHTTP's own.
#ifdef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
    impl_->session = WinHttpOpen(L"Vexa/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
#endif
    if (!impl_->session) {
        impl_->session = WinHttpOpen(L"Vexa/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    }
}

HttpClient::~HttpClient() {
    if (impl_->session) WinHttpCloseHandle(impl_->session);
}

void HttpClient::cancel() {
    cancel_.store(true);
    HINTERNET request = nullptr;
    {
        std::lock_guard<std::mutex> lock(impl_->active_mutex);
        if (impl_->active_request && !impl_->closed_by_cancel) {
            impl_->closed_by_cancel = true;  // from now on the handle is ours to close
            request = impl_->active_request;
        }
    }
    // Outside the lock: the requesting thread must be able to return at once
    // even while WinHTTP takes its time to abort the pending operation.
    if (request) WinHttpCloseHandle(request);
}

HttpResponse HttpClient::perform(const std::string& url, const std::string& body, const HttpDataSink* sink,
                                 const HttpHeaders& extra_headers) {
    std::lock_guard<std::mutex> request_lock(request_mutex_);
    cancel_.store(false);
    HttpResponse response;
    if (!impl_->session) {
        response.error = "WinHTTP session not initialized";
        return response;
    }

    ParsedUrl target;
    try {
        target = parse_url(url);
    } catch (const BadUrl&) {
        response.error = with_code("WinHttpConnect failed, error: ", ERROR_WINHTTP_INVALID_URL);
        return response;
    }

    HINTERNET connect = WinHttpConnect(impl_->session, target.host.c_str(),
                                       static_cast<INTERNET_PORT>(target.port), 0);
    if (!connect) {
        response.error = with_code("WinHttpConnect failed, error: ", GetLastError());
        return response;
    }
    HINTERNET request = WinHttpOpenRequest(connect, L"POST", target.path.empty() ? L"/" : target.path.c_str(),
                                           nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           target.https ? WINHTTP_FLAG_SECURE : 0);
    if (!request) {
        response.error = with_code("WinHttpOpenRequest failed, error: ", GetLastError());
        WinHttpCloseHandle(connect);
        return response;
    }
    // The callback's reference on the state is taken once WinHTTP knows the
    // state as the request's context; it is dropped when the handle closes.
    auto* state = new AsyncState();
    const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(state);
    bool callback_owns_reference = false;
    if (WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, const_cast<DWORD_PTR*>(&context), sizeof context) &&
        WinHttpSetStatusCallback(request, on_status, kCallbackFlags, 0) != WINHTTP_INVALID_STATUS_CALLBACK) {
        state->references.fetch_add(1);
        callback_owns_reference = true;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->active_mutex);
        impl_->active_request = request;
        impl_->closed_by_cancel = false;
    }
    // Closes both handles and lets go of the state however the request ends
    // (a sink may throw).
    struct Closer {
        Impl* impl;
        HINTERNET request;
        HINTERNET connect;
        AsyncState* state;
        ~Closer() {
            {
                std::lock_guard<std::mutex> lock(impl->active_mutex);
                if (!impl->closed_by_cancel) WinHttpCloseHandle(request);
                impl->active_request = nullptr;
                impl->closed_by_cancel = false;
            }
            WinHttpCloseHandle(connect);
            state->release();
        }
    } closer{impl_.get(), request, connect, state};
    if (!callback_owns_reference) {
        response.error = with_code("WinHttpOpenRequest failed, error: ", GetLastError());
        return response;
    }

    // Starts one asynchronous call and waits for its completion; false when it
    // failed (the error text is set) or the request was cancelled.
    auto run = [&](const char* prefix, auto&& start_call) {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->completed = false;
            state->error = 0;
            state->amount = 0;
        }
        if (cancel_.load()) {
            response.error = "Request cancelled";
            return false;
        }
        if (!start_call()) {
            const DWORD code = GetLastError();
            response.error = cancel_.load() ? std::string("Request cancelled") : with_code(prefix, code);
            return false;
        }
        std::unique_lock<std::mutex> lock(state->mutex);
        while (!state->completed) {
            if (cancel_.load()) {
                response.error = "Request cancelled";
                return false;
            }
            state->changed.wait_for(lock, std::chrono::milliseconds(20));
        }
        if (state->error != 0) {
            response.error = cancel_.load() ? std::string("Request cancelled") : with_code(prefix, state->error);
            return false;
        }
        return true;
    };

    const int seconds = std::max(0, timeout_seconds_.load());
    const int ms = seconds > 0x7fffffff / 1000 ? 0x7fffffff : seconds * 1000;  // 0: no limit
    WinHttpSetTimeouts(request, ms, ms, ms, ms);
    // Waiting for the response headers has a limit of its own (90 s unless
    // set): a model that thinks longer before its first byte must get the
    // configured value too.
    DWORD headers_ms = ms > 0 ? static_cast<DWORD>(ms) : INFINITE;
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headers_ms, sizeof headers_ms);

    std::string block;
    for (const auto& [name, value] : headers_snapshot(extra_headers)) block += name + ": " + value + "\r\n";
    if (!block.empty()) {
        const std::wstring wide = utf8_to_wide(block);
        WinHttpAddRequestHeaders(request, wide.c_str(), static_cast<DWORD>(-1L),
                                 WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
    }

    const DWORD length = static_cast<DWORD>(body.size());
    if (!run("WinHttpSendRequest failed, error: ", [&] {
            return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                      length ? const_cast<char*>(body.data()) : WINHTTP_NO_REQUEST_DATA, length,
                                      length, context) != FALSE;
        })) {
        return response;
    }
    if (!run("WinHttpReceiveResponse failed, error: ",
             [&] { return WinHttpReceiveResponse(request, nullptr) != FALSE; })) {
        return response;
    }
    DWORD status = 0;
    DWORD status_size = sizeof status;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX)) {
        response.status_code = static_cast<int>(status);
    }

    // The headers callers read, stored under one spelling. A value too long
    // for the buffer is no value we would use.
    const std::pair<DWORD, const char*> kept[] = {{WINHTTP_QUERY_CONTENT_TYPE, "Content-Type"},
                                                  {WINHTTP_QUERY_RETRY_AFTER, "Retry-After"}};
    for (const auto& [query, name] : kept) {
        wchar_t value[256];
        DWORD value_size = sizeof value;
        if (WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, value, &value_size,
                                WINHTTP_NO_HEADER_INDEX)) {
            response.headers[name] = wide_to_utf8(std::wstring(value, value_size / sizeof(wchar_t)));
        }
    }

    const bool streaming = sink != nullptr;
    const bool error_status = response.status_code < 200 || response.status_code > 299;
    const bool to_sink = streaming && !error_status;
    bool body_limited = false;
    // A body that breaks off (timeout, reset) is a failure, not a shorter
    // success; an error body that breaks off is still the HTTP error below.
    auto read_failed = [&] {
        if (!cancel_.load() && sink != nullptr && error_status) response.error.clear();
    };
    for (;;) {
        if (!run("WinHttpReadData failed, error: ",
                 [&] { return WinHttpQueryDataAvailable(request, nullptr) != FALSE; })) {
            read_failed();
            break;
        }
        const DWORD available = state->amount;
        if (available == 0) break;
        const DWORD wanted = std::min<DWORD>(available, static_cast<DWORD>(sizeof state->buffer));
        if (!run("WinHttpReadData failed, error: ",
                 [&] { return WinHttpReadData(request, state->buffer, wanted, nullptr) != FALSE; })) {
            read_failed();
            break;
        }
        const DWORD read = state->amount;
        if (read == 0) break;
        // WinHTTP writes into the buffer only while a read is in flight, so it
        // can be handed on without the lock.
        if (to_sink) {
            if (*sink) (*sink)(std::string(state->buffer, read));
        } else if (!append_body_bounded(response, state->buffer, read)) {
            body_limited = true;
            break;
        }
    }
    if (body_limited && !error_status && response.error.empty()) response.error = body_too_large_error();
    if (response.error.empty() && streaming && error_status) {
        response.error = http_status_error(response.status_code, response.body);
    }
    return response;
}

}  // namespace vexa
