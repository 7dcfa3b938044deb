#pragma once
// Small text helpers shared across the library. Case folding is ASCII only.

#include <string>
#include <string_view>

namespace vexa {

// Strips space, \t, \n, \v, \f and \r from both ends.
std::string trim_space(std::string_view text);
// The same, as a view into `text`.
std::string_view trim_space_view(std::string_view text);
// "true/1/yes/on" and "false/0/no/off" after trimming and lower-casing;
// anything else throws std::invalid_argument("invalid boolean").
bool parse_bool(const std::string& text);
std::string ascii_lower(std::string text);

}  // namespace vexa
