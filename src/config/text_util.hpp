#pragma once
// Small text helpers shared across the library. Case folding is ASCII only.

#include <cstddef>
#include <string>
#include <string_view>

namespace vexa {

// Strips space, \t, \n, \v, \f and \r from both ends.
std::string trim_space(const std::string& text);
// "true/1/yes/on" and "false/0/no/off" after trimming and lower-casing;
// anything else throws std::invalid_argument("invalid boolean").
bool parse_bool(const std::string& text);
std::string ascii_lower(std::string text);

// Moves a cut position back to the start of the UTF-8 character it falls in,
// so a prefix of `text` up to the result never ends inside a character. A run
// of more than three continuation bytes is not UTF-8; the cut then stays put.
std::size_t utf8_cut_position(std::string_view text, std::size_t pos);

// `text` when it has at most `max_bytes` bytes; otherwise its first bytes up
// to a character boundary within `max_bytes`, followed by "...". For quoting
// untrusted texts (server bodies, tool output) inside messages.
std::string shorten_utf8(std::string_view text, std::size_t max_bytes);

}  // namespace vexa
