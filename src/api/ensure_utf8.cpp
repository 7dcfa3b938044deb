#include "api/ensure_utf8.hpp"

#include "api/ensure_utf8_codepage.hpp"
#include "support/utf8.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vexa {

namespace {

using detail::LegacyCodePage;

std::uint8_t byte_at(std::string_view text, std::size_t i) { return static_cast<std::uint8_t>(text[i]); }

// Every byte that does not start a well-formed sequence becomes U+FFFD and the
// scan moves on by one byte. Overlong forms and surrogates count as
// malformed too, so the result is always valid UTF-8 (the JSON fallback
// depends on that).
std::string replace_invalid_bytes(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t length = utf8_sequence_length(text, i);
        if (length == 0) {
            out += kUtf8Replacement;
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::optional<std::string> decode_legacy(const std::string& bytes, LegacyCodePage code_page) {
    auto decoded = detail::legacy_to_utf8(bytes, code_page);
    if (decoded && !decoded->empty() && is_valid_utf8(*decoded)) return decoded;
    return std::nullopt;
}

// UTF-8 that was misread as Latin-1 and encoded again turns every non-ASCII
// byte into a two-byte sequence led by 0xC2 or 0xC3. Long runs of those, and
// a clear majority of them among all non-ASCII characters, give it away.
bool looks_double_encoded(const std::string& text) {
    std::size_t total = 0;
    std::size_t latin1 = 0;
    std::size_t run = 0;
    std::size_t longest_run = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::uint8_t lead = byte_at(text, i);
        if (lead < 0x80) {
            run = 0;
            ++i;
            continue;
        }
        // Steps by the length each lead byte announces; a byte that cannot lead
        // counts as a character of its own.
        const std::size_t length = std::max<std::size_t>(1, utf8_announced_length(lead));
        ++total;
        if (lead == 0xC2 || lead == 0xC3) {
            ++latin1;
            ++run;
            longest_run = std::max(longest_run, run);
        } else {
            run = 0;
        }
        i += length;
    }
    return longest_run > 3 && total != 0 && latin1 * 100 / total > 59;
}

// Undoes the Latin-1 step: each C2/C3 + continuation pair becomes the byte it
// stood for.
std::string fold_latin1_pairs(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::uint8_t lead = byte_at(text, i);
        if ((lead == 0xC2 || lead == 0xC3) && i + 1 < text.size() && utf8_is_continuation(byte_at(text, i + 1))) {
            out.push_back(static_cast<char>(static_cast<std::uint8_t>((lead << 6) | (byte_at(text, i + 1) & 0x3F))));
            i += 2;
        } else {
            out.push_back(text[i]);
            ++i;
        }
    }
    return out;
}

}  // namespace

std::string valid_utf8(const std::string& text) {
    if (is_valid_utf8(text)) return text;
    return ensure_utf8(text);
}

std::string ensure_utf8(const std::string& bytes) {
    if (bytes.empty()) return bytes;

    if (!is_valid_utf8(bytes)) {
        if (auto text = decode_legacy(bytes, LegacyCodePage::Ansi)) return std::move(*text);
        if (auto text = decode_legacy(bytes, LegacyCodePage::Oem)) return std::move(*text);
        return replace_invalid_bytes(bytes);
    }

    if (!looks_double_encoded(bytes)) return bytes;

    const std::string folded = fold_latin1_pairs(bytes);
    // Folded bytes that form valid UTF-8 were UTF-8 before the Latin-1
    // misreading; decoding them with a legacy code page first would only turn
    // them into different mojibake.
    if (!folded.empty() && is_valid_utf8(folded)) return folded;
    if (auto text = decode_legacy(folded, LegacyCodePage::Ansi)) return std::move(*text);
    if (auto text = decode_legacy(folded, LegacyCodePage::Oem)) return std::move(*text);
    return bytes;
}

}  // namespace vexa
