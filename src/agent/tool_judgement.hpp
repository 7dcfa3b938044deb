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

// For display only (events, the confirmation hook, the turn's result): members
// whose key names a credential (compared with case, '-' and '_' folded away)
// become "[redacted]", and credential-shaped values (provider keys such as
// "sk-…", bearer tokens, JSON web tokens, PEM private keys) are replaced inside
// any string. A non-JSON text that mentions a credential word is replaced
// whole. The conversation and the tool itself keep the original arguments.
std::string redact_arguments(const std::string& text);

bool is_tool_success(const std::string& result);
std::string tool_failure_reason(const std::string& result);

// Keeps the first 2/3 and last 1/3 of `limit` bytes around a marker that says
// how many bytes were left out. Cuts never split a UTF-8 character.
std::string truncate_tool_result(const std::string& text, std::size_t limit);

// The tool message the model receives for one call's raw result.
std::string tool_message_content(const std::string& name, const std::string& result, bool ok);

}  // namespace vexa
