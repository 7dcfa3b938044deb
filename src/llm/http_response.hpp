#pragma once
// The result of one HTTP request made by the transport.

#include <functional>
#include <map>
#include <string>

namespace vexa {

struct HttpResponse {
    int status_code = 0;
    std::string body;
    // The response headers callers look at, under these names whatever the
    // server's spelling: "Content-Type" and "Retry-After" (the latter for
    // retries, llm/retry_policy.hpp). Absent when the server sent none.
    std::map<std::string, std::string> headers;
    std::string error;                           // empty on transport success
};

using HttpDataSink = std::function<void(const std::string&)>;
using HttpHeaders = std::map<std::string, std::string>;

}  // namespace vexa
