#include "support/log.hpp"

#include "support/platform.hpp"

#include <cstdio>
#include <mutex>

namespace vexa {

namespace {

std::mutex& log_mutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

void log_line(LogLevel level, const std::string& message) {
    std::string line = "[VexaCore][";
    line += level == LogLevel::WARNING ? "WARNING" : "INFO";
    line += "] ";
    line += message;
    line += '\n';

    // The debugger channel serialises on its own; only stderr needs our lock
    // so that lines of different threads never interleave there.
    platform::debug_output(line);

    std::lock_guard<std::mutex> lock(log_mutex());
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace vexa
