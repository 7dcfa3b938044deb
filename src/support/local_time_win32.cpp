#include "support/local_time.hpp"

#include <time.h>

namespace vexa {

std::string format_local_time(std::time_t when, const char* format) {
    struct tm parts {};
    // The CRT's thread-safe conversion (arguments in the opposite order to POSIX).
    if (localtime_s(&parts, &when) != 0) return std::string();
    char buffer[128];
    const std::size_t n = std::strftime(buffer, sizeof buffer, format, &parts);
    return std::string(buffer, n);
}

std::string local_timestamp_now() { return format_local_time(std::time(nullptr), "%Y-%m-%dT%H:%M:%S"); }

}  // namespace vexa
