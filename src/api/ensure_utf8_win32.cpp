#include "api/ensure_utf8_codepage.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <climits>

namespace vexa::detail {

std::optional<std::string> legacy_to_utf8(const std::string& bytes, LegacyCodePage code_page) {
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    const UINT cp = code_page == LegacyCodePage::Ansi ? CP_ACP : CP_OEMCP;
    const int in_len = static_cast<int>(bytes.size());

    // MB_ERR_INVALID_CHARS: a byte the code page cannot map fails the text
    // instead of turning into the default character.
    const int wide_len = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), in_len, nullptr, 0);
    if (wide_len <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(wide_len), L'\0');
    if (MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), in_len, wide.data(), wide_len) != wide_len) {
        return std::nullopt;
    }

    const int utf8_len = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), wide_len, nullptr, 0,
                                             nullptr, nullptr);
    if (utf8_len <= 0) return std::nullopt;
    std::string utf8(static_cast<std::size_t>(utf8_len), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), wide_len, utf8.data(), utf8_len, nullptr,
                            nullptr) != utf8_len) {
        return std::nullopt;
    }
    return utf8;
}

}  // namespace vexa::detail
