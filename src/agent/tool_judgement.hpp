#pragma once
// Pure judgements over tool call texts: redaction of secrets for display,
// success/failure of a result, the failure reason, and bounding a result's size.

#include <cstddef>
#include <string>

namespace vexa {

inline constexpr const char* kToolCancelledResult = "{\"success\":false,\"error\":\"cancelled\"}";
inline constexpr const char* kToolRejectedResult =
    "{\"success\":false,\"error\":\"user rejected this toolcall\"}";
inline constexpr std::size_t kToolResultLimit = 16384;

// Secret-looking members become "[redacted]"; a non-JSON text that mentions a
// secret is replaced whole.
std::string redact_arguments(const std::string& text);

bool is_tool_success(const std::string& result);
std::string tool_failure_reason(const std::string& result);

// Keeps the first 2/3 and last 1/3 of `limit` bytes around a marker that says
// how many bytes were left out. Cuts never split a UTF-8 character.
std::string truncate_tool_result(const std::string& text, std::size_t limit);

// The tool message the model receives for one call's raw result.
std::string tool_message_content(const std::string& name, const std::string& result, bool ok);

}  // namespace vexa
