#pragma once
// The http(s) URLs the library connects to: one parser for telling origins
// apart and for refusing URLs that transports would read differently from
// what they appear to say, or that point where a model server never is.

#include <optional>
#include <string>
#include <string_view>

namespace vexa {

struct HttpUrlParts {
    std::string scheme;  // "http" or "https", lower-cased
    std::string host;    // lower-cased; an IPv6 address keeps its brackets
    unsigned port = 0;   // the given port, else the scheme's default
    std::string rest;    // from the first "/", "?" or "#" after the host on; may be empty
};

// Parses an absolute http(s) URL. Refused (nothing, with `why` a sentence
// starting "the base URL ..."): blanks or control characters anywhere, other
// schemes, user information ("user@host"), percent escapes, backslashes or
// non-ASCII bytes in the host, brackets that do not hold an IPv6 address,
// ports outside 1..65535. An empty port ("host:") is the default one.
std::optional<HttpUrlParts> parse_http_url(std::string_view url, std::string* why = nullptr);

// "https://api.example.com:443": scheme, host and port of `url` (surrounding
// blanks ignored), lower-cased, the default port filled in; nothing for a URL
// parse_http_url refuses, so such a URL is never taken for a known endpoint.
std::optional<std::string> url_origin(const std::string& url);

// True when `host` (as parse_http_url gives it) is a link-local address:
// 169.254.0.0/16 in any spelling a resolver takes for IPv4 (dotted, shortened,
// octal, hexadecimal, one number), or fe80::/10, or such an IPv4 address
// inside an IPv6 one (mapped, compatible, the 64:ff9b:: translation prefix).
// A name is not resolved.
bool is_link_local_host(const std::string& host);

// Empty when `url` may be the base URL of a model server; else why not, a
// sentence starting "the base URL ...": what parse_http_url refuses, a query
// or fragment (the request path is appended to the base URL), a link-local
// host (where cloud machines answer with their credentials).
std::string base_url_problem(std::string_view url);

}  // namespace vexa
