#pragma once
// The result of one HTTP request made by the transport.

#include <functional>
#include <map>
#include <string>

namespace vexa {

struct HttpResponse {
    int status_code = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // not filled by the transport
    std::string error;                           // empty on transport success
};

using HttpDataSink = std::function<void(const std::string&)>;
using HttpHeaders = std::map<std::string, std::string>;

}  // namespace vexa
