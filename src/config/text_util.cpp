#include "config/text_util.hpp"

#include <stdexcept>

namespace vexa {

namespace {

// Only these six ASCII bytes count; bytes >= 0x80 belong to UTF-8 sequences.
bool is_space_byte(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string trim_space(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_space_byte(text[begin])) ++begin;
    while (end > begin && is_space_byte(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string ascii_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::size_t utf8_cut_position(std::string_view text, std::size_t pos) {
    auto is_continuation = [&](std::size_t i) { return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80; };
    if (pos >= text.size()) return text.size();
    std::size_t p = pos;
    for (int step = 0; step < 3 && p > 0 && is_continuation(p); ++step) --p;
    if (p > 0 && is_continuation(p)) return pos;
    return p;
}

std::string shorten_utf8(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return std::string(text);
    std::string out(text.substr(0, utf8_cut_position(text, max_bytes)));
    out += "...";
    return out;
}

bool parse_bool(const std::string& text) {
    const std::string value = ascii_lower(trim_space(text));
    if (value == "true" || value == "1" || value == "yes" || value == "on") return true;
    if (value == "false" || value == "0" || value == "no" || value == "off") return false;
    throw std::invalid_argument("invalid boolean");
}

}  // namespace vexa
