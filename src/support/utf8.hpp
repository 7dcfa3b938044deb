#pragma once
// UTF-8 at the byte level, for every part of the library that reads, checks,
// cuts or streams UTF-8. "Well-formed" follows RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF.

#include <cstddef>
#include <string>
#include <string_view>

namespace vexa {

// U+FFFD, what malformed bytes are replaced by.
inline constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

// A continuation byte: 10xxxxxx.
constexpr bool utf8_is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The length a lead byte's bit pattern announces: 1 for ASCII, 2, 3 or 4 for
// 110xxxxx, 1110xxxx or 11110xxx; 0 for a continuation byte and F8..FF. It
// says nothing about well-formedness (C0, C1 and F5..F7 announce lengths that
// no well-formed sequence of theirs has); for stepping through text that may
// be malformed in a way that matches how it was written.
constexpr std::size_t utf8_announced_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xC0) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    return 0;
}

// The length of the well-formed sequences `lead` can start; 0 for a byte that
// starts none (continuation bytes, C0, C1 and F5..FF).
constexpr std::size_t utf8_lead_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Whether `b` may stand at offset `k` (1 to length - 1) of a sequence led by
// `lead`. The second byte's range is narrowed after E0 and F0 (overlong forms),
// ED (surrogates) and F4 (above U+10FFFF).
constexpr bool utf8_continuation_ok(unsigned char lead, std::size_t k, unsigned char b) {
    if (k == 1) {
        if (lead == 0xE0) return b >= 0xA0 && b <= 0xBF;
        if (lead == 0xED) return b >= 0x80 && b <= 0x9F;
        if (lead == 0xF0) return b >= 0x90 && b <= 0xBF;
        if (lead == 0xF4) return b >= 0x80 && b <= 0x8F;
    }
    return utf8_is_continuation(b);
}

// The length of the well-formed sequence that starts at `pos`; 0 when the bytes
// there are malformed or cut short, or `pos` is past the end.
std::size_t utf8_sequence_length(std::string_view text, std::size_t pos);

// Whether all of `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

// Moves a cut position back to the start of the UTF-8 character it falls in,
// so a prefix of `text` up to the result never ends inside a character. A run
// of more than three continuation bytes is not UTF-8; the cut then stays put.
std::size_t utf8_cut_position(std::string_view text, std::size_t pos);

// `text` when it has at most `max_bytes` bytes; otherwise its first bytes up
// to a character boundary within `max_bytes`, followed by "...". For quoting
// untrusted texts (server bodies, tool output) inside messages.
std::string shorten_utf8(std::string_view text, std::size_t max_bytes);

}  // namespace vexa
