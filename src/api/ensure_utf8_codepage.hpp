#pragma once
// Platform seam of ensure_utf8: decoding text stored in the system's legacy
// code pages. Windows uses its ANSI and OEM code pages; POSIX has neither and
// stands in with GB18030 for both.

#include <optional>
#include <string>

namespace vexa::detail {

enum class LegacyCodePage { Ansi, Oem };

// Decodes `bytes` strictly (any byte that does not decode fails the whole
// text, nothing is substituted) and re-encodes the result as UTF-8.
std::optional<std::string> legacy_to_utf8(const std::string& bytes, LegacyCodePage code_page);

}  // namespace vexa::detail
