#include "support/utf8.hpp"

namespace vexa {

namespace {

unsigned char byte_at(std::string_view text, std::size_t i) { return static_cast<unsigned char>(text[i]); }

}  // namespace

std::size_t utf8_sequence_length(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) return 0;
    const unsigned char lead = byte_at(text, pos);
    const std::size_t length = utf8_lead_length(lead);
    if (length == 0 || text.size() - pos < length) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if (!utf8_continuation_ok(lead, k, byte_at(text, pos + k))) return 0;
    }
    return length;
}

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        // ASCII runs are the common case: skip them without the full check.
        if (byte_at(text, i) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t length = utf8_sequence_length(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::size_t utf8_cut_position(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) return text.size();
    std::size_t p = pos;
    for (int step = 0; step < 3 && p > 0 && utf8_is_continuation(byte_at(text, p)); ++step) --p;
    if (p > 0 && utf8_is_continuation(byte_at(text, p))) return pos;
    return p;
}

std::string shorten_utf8(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return std::string(text);
    std::string out(text.substr(0, utf8_cut_position(text, max_bytes)));
    out += "...";
    return out;
}

}  // namespace vexa
