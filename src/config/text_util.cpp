#include "config/text_util.hpp"

#include <stdexcept>

namespace vexa {

namespace {

// Only these six ASCII bytes count; bytes >= 0x80 belong to UTF-8 sequences.
bool is_space_byte(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string_view trim_space_view(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_space_byte(text[begin])) ++begin;
    while (end > begin && is_space_byte(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string trim_space(std::string_view text) { return std::string(trim_space_view(text)); }

std::string ascii_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool parse_bool(const std::string& text) {
    const std::string value = ascii_lower(trim_space(text));
    if (value == "true" || value == "1" || value == "yes" || value == "on") return true;
    if (value == "false" || value == "0" || value == "no" || value == "off") return false;
    throw std::invalid_argument("invalid boolean");
}

}  // namespace vexa
