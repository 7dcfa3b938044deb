// Platform-independent part of the HTTP client: header bookkeeping and the
// two request entry points. The transfer itself lives in http_client_<os>.cpp.

#include "llm/http_client.hpp"

#include "support/utf8.hpp"

namespace vexa {

namespace {

// A header line is assembled from name and value as given; a CR or LF inside
// either would end the line early and let a configured value (an API key, a
// cookie) inject headers of its own, and a NUL would cut it short.
std::string without_line_breaks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\r' && c != '\n' && c != '\0') out.push_back(c);
    }
    return out;
}

}  // namespace

void HttpClient::set_header(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(headers_mutex_);
    default_headers_[name] = value;
}

void HttpClient::set_timeout_seconds(int seconds) { timeout_seconds_.store(seconds); }

HttpHeaders HttpClient::headers_snapshot(const HttpHeaders& extra_headers) const {
    HttpHeaders merged;
    {
        std::lock_guard<std::mutex> lock(headers_mutex_);
        merged = default_headers_;
    }
    for (const auto& [name, value] : extra_headers) merged[name] = value;
    HttpHeaders clean;
    for (const auto& [name, value] : merged) {
        std::string n = without_line_breaks(name);
        if (!n.empty()) clean[std::move(n)] = without_line_breaks(value);
    }
    return clean;
}

std::string http_status_error(int status, const std::string& body) {
    return "HTTP " + std::to_string(status) + ": " + shorten_utf8(body, HttpClient::kErrorExcerptBytes);
}

bool append_body_bounded(HttpResponse& response, const char* data, std::size_t size) {
    const bool error_status = response.status_code < 200 || response.status_code > 299;
    const std::size_t limit = error_status ? HttpClient::kMaxErrorBodyBytes : HttpClient::kMaxBufferedBodyBytes;
    if (response.body.size() + size > limit) {
        // An error body is only ever quoted: keep what fits and stop there.
        if (error_status) response.body.append(data, limit - response.body.size());
        return false;
    }
    response.body.append(data, size);
    return true;
}

std::string body_too_large_error() {
    return "Response body exceeds " + std::to_string(HttpClient::kMaxBufferedBodyBytes) + " bytes";
}

HttpResponse HttpClient::post(const std::string& url, const std::string& body, const HttpHeaders& extra_headers) {
    return perform(url, body, nullptr, extra_headers);
}

HttpResponse HttpClient::post_stream(const std::string& url, const std::string& body, const HttpDataSink& sink,
                                     const HttpHeaders& extra_headers) {
    return perform(url, body, &sink, extra_headers);
}

}  // namespace vexa
