#pragma once
// Wall-clock time stamps in the machine's local zone, for files that people
// read ("2024-05-01T13:45:10"). One implementation per platform.

#include <ctime>
#include <string>

namespace vexa {

// strftime-style formatting of `when` in local time; empty when the time
// cannot be converted.
std::string format_local_time(std::time_t when, const char* format);

// The current local time as "%Y-%m-%dT%H:%M:%S".
std::string local_timestamp_now();

}  // namespace vexa
