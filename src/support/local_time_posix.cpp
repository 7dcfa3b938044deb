#include "support/local_time.hpp"

#include <time.h>

namespace vexa {

std::string format_local_time(std::time_t when, const char* format) {
    struct tm parts {};
    // The reentrant form: other threads may be converting times too.
    if (localtime_r(&when, &parts) == nullptr) return std::string();
    char buffer[128];
    const std::size_t n = std::strftime(buffer, sizeof buffer, format, &parts);
    return std::string(buffer, n);
}

std::string local_timestamp_now() { return format_local_time(std::time(nullptr), "%Y-%m-%dT%H:%M:%S"); }

}  // namespace vexa
