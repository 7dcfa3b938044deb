#pragma once
// Diagnostic log: one line per message to the debugger channel and stderr.

#include <string>

namespace vexa {

enum class LogLevel : int { INFO = 0, WARNING = 1 };

void log_line(LogLevel level, const std::string& message);

}  // namespace vexa
