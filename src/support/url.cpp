#include "support/url.hpp"

#include "config/text_util.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace vexa {

namespace {

using Bytes16 = std::array<std::uint8_t, 16>;

bool set_why(std::string* why, const char* text) {
    if (why != nullptr) *why = text;
    return false;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

unsigned hex_value(char c) {
    if (is_digit(c)) return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    return static_cast<unsigned>(c - 'A' + 10);
}

bool reg_name_char(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || is_digit(c) || c == '.' || c == '-' || c == '_';
}

// One part of an IPv4 address as inet_aton reads it: decimal, octal with a
// leading 0, hexadecimal with 0x.
std::optional<std::uint64_t> ipv4_part(std::string_view part) {
    if (part.empty()) return std::nullopt;
    unsigned base = 10;
    if (part.size() > 1 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
        base = 16;
        part.remove_prefix(2);
        if (part.empty()) return std::nullopt;
    } else if (part.size() > 1 && part[0] == '0') {
        base = 8;
        part.remove_prefix(1);
    }
    std::uint64_t value = 0;
    for (const char c : part) {
        unsigned digit = 0;
        if (base == 16) {
            if (!is_hex(c)) return std::nullopt;
            digit = hex_value(c);
        } else {
            if (!is_digit(c)) return std::nullopt;
            digit = static_cast<unsigned>(c - '0');
            if (digit >= base) return std::nullopt;
        }
        value = value * base + digit;
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return value;
}

// The address a resolver makes of `text` when it reads it as IPv4 numbers
// (1 to 4 parts, the last filling the remaining bytes); nothing for a name.
std::optional<std::uint32_t> ipv4_address(std::string_view text) {
    if (!text.empty() && text.back() == '.') text.remove_suffix(1);  // the root label
    std::vector<std::uint64_t> parts;
    while (true) {
        const std::size_t dot = text.find('.');
        const std::optional<std::uint64_t> part = ipv4_part(text.substr(0, dot));
        if (!part) return std::nullopt;
        parts.push_back(*part);
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
        if (parts.size() == 4) return std::nullopt;
    }
    std::uint32_t address = 0;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i] > 0xFF) return std::nullopt;
        address |= static_cast<std::uint32_t>(parts[i]) << (8 * (3 - i));
    }
    const unsigned last_bits = static_cast<unsigned>(8 * (4 - (parts.size() - 1)));
    if (last_bits < 32 && parts.back() >= (1ull << last_bits)) return std::nullopt;
    return address | static_cast<std::uint32_t>(parts.back());
}

// Strict dotted decimal, as it may end an IPv6 address.
bool dotted_quad(std::string_view text, std::uint8_t* out) {
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (part.empty() || part.size() > 3) return false;
        unsigned value = 0;
        for (const char c : part) {
            if (!is_digit(c)) return false;
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (value > 255 || (part.size() > 1 && part[0] == '0')) return false;
        out[i] = static_cast<std::uint8_t>(value);
        if (i < 3) {
            if (dot == std::string_view::npos) return false;
            text.remove_prefix(dot + 1);
        } else if (dot != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

// An IPv6 address without brackets (no zone); nothing when malformed.
std::optional<Bytes16> ipv6_address(std::string_view text) {
    Bytes16 bytes{};
    std::vector<std::uint16_t> head;
    std::vector<std::uint16_t> tail;
    bool compressed = false;
    std::uint8_t v4[4] = {};
    bool has_v4 = false;

    const std::size_t gap = text.find("::");
    if (gap != std::string_view::npos) {
        if (text.find("::", gap + 1) != std::string_view::npos) return std::nullopt;
        compressed = true;
    }
    auto read_groups = [&](std::string_view part, std::vector<std::uint16_t>& groups, bool may_end_in_v4) {
        if (part.empty()) return true;
        while (true) {
            const std::size_t colon = part.find(':');
            const std::string_view group = part.substr(0, colon);
            if (colon == std::string_view::npos && may_end_in_v4 && group.find('.') != std::string_view::npos) {
                if (!dotted_quad(group, v4)) return false;
                has_v4 = true;
                return true;
            }
            if (group.empty() || group.size() > 4) return false;
            unsigned value = 0;
            for (const char c : group) {
                if (!is_hex(c)) return false;
                value = value * 16 + hex_value(c);
            }
            groups.push_back(static_cast<std::uint16_t>(value));
            if (colon == std::string_view::npos) return true;
            part.remove_prefix(colon + 1);
        }
    };
    if (compressed) {
        if (!read_groups(text.substr(0, gap), head, false)) return std::nullopt;
        if (!read_groups(text.substr(gap + 2), tail, true)) return std::nullopt;
    } else {
        if (!read_groups(text, head, true)) return std::nullopt;
    }
    const std::size_t groups = head.size() + tail.size() + (has_v4 ? 2 : 0);
    if (compressed ? groups > 7 : groups != 8) return std::nullopt;
    std::size_t at = 0;
    for (const std::uint16_t g : head) {
        bytes[at++] = static_cast<std::uint8_t>(g >> 8);
        bytes[at++] = static_cast<std::uint8_t>(g & 0xFF);
    }
    at = 16 - tail.size() * 2 - (has_v4 ? 4 : 0);
    for (const std::uint16_t g : tail) {
        bytes[at++] = static_cast<std::uint8_t>(g >> 8);
        bytes[at++] = static_cast<std::uint8_t>(g & 0xFF);
    }
    if (has_v4) {
        for (int i = 0; i < 4; ++i) bytes[12 + i] = v4[i];
    }
    return bytes;
}

bool ipv4_link_local(std::uint32_t address) { return (address >> 16) == 0xA9FEu; }  // 169.254.0.0/16

bool all_zero(const Bytes16& b, int from, int to) {
    for (int i = from; i < to; ++i) {
        if (b[i] != 0) return false;
    }
    return true;
}

bool ipv6_link_local(const Bytes16& b) {
    if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return true;  // fe80::/10
    // IPv4 addresses carried in IPv6 ones: mapped (::ffff:a.b.c.d), the old
    // compatible form (::a.b.c.d) and the translation prefix 64:ff9b::/96.
    const bool mapped = all_zero(b, 0, 10) && b[10] == 0xFF && b[11] == 0xFF;
    const bool compatible = all_zero(b, 0, 12);
    const bool translated = b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xFF && b[3] == 0x9B && all_zero(b, 4, 12);
    if (!mapped && !compatible && !translated) return false;
    const std::uint32_t v4 = (std::uint32_t{b[12]} << 24) | (std::uint32_t{b[13]} << 16) |
                             (std::uint32_t{b[14]} << 8) | std::uint32_t{b[15]};
    return ipv4_link_local(v4);
}

}  // namespace

std::optional<HttpUrlParts> parse_http_url(std::string_view url, std::string* why) {
    auto refuse = [&](const char* text) -> std::optional<HttpUrlParts> {
        set_why(why, text);
        return std::nullopt;
    };
    for (const char c : url) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) return refuse("the base URL contains blanks or control characters");
    }
    const std::size_t separator = url.find("://");
    if (separator == std::string_view::npos) return refuse("the base URL must start with http:// or https://");
    HttpUrlParts parts;
    parts.scheme = ascii_lower(std::string(url.substr(0, separator)));
    if (parts.scheme == "http") {
        parts.port = 80;
    } else if (parts.scheme == "https") {
        parts.port = 443;
    } else {
        return refuse("the base URL must start with http:// or https://");
    }
    const std::string_view after_scheme = url.substr(separator + 3);
    const std::size_t authority_end = after_scheme.find_first_of("/?#");
    const std::string_view authority = after_scheme.substr(0, authority_end);
    if (authority_end != std::string_view::npos) parts.rest = std::string(after_scheme.substr(authority_end));
    if (authority.find('@') != std::string_view::npos) {
        return refuse("the base URL carries user information (user@host)");
    }
    if (authority.empty()) return refuse("the base URL has no host");

    std::string_view host;
    std::string_view port_text;
    bool has_port = false;
    if (authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return refuse("the base URL has a malformed IPv6 address in brackets");
        host = authority.substr(0, close + 1);
        if (!ipv6_address(host.substr(1, host.size() - 2))) {
            return refuse("the base URL has a malformed IPv6 address in brackets");
        }
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return refuse("the base URL has a malformed IPv6 address in brackets");
            has_port = true;
            port_text = after.substr(1);
        }
    } else {
        const std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            has_port = true;
            port_text = authority.substr(colon + 1);
        }
        if (host.empty()) return refuse("the base URL has no host");
        for (const char c : host) {
            // Escapes, backslashes, brackets and bytes beyond ASCII are read
            // differently by different transports.
            if (!reg_name_char(c)) return refuse("the base URL has a malformed host");
        }
    }
    if (has_port && !port_text.empty()) {
        if (port_text.size() > 5) return refuse("the base URL has a port that is not a number from 1 to 65535");
        unsigned value = 0;
        for (const char c : port_text) {
            if (!is_digit(c)) return refuse("the base URL has a port that is not a number from 1 to 65535");
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (value == 0 || value > 65535) {
            return refuse("the base URL has a port that is not a number from 1 to 65535");
        }
        parts.port = value;
    }
    parts.host = ascii_lower(std::string(host));
    return parts;
}

std::optional<std::string> url_origin(const std::string& url) {
    const std::optional<HttpUrlParts> parts = parse_http_url(trim_space_view(url));
    if (!parts) return std::nullopt;
    return parts->scheme + "://" + parts->host + ":" + std::to_string(parts->port);
}

bool is_link_local_host(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        const std::optional<Bytes16> bytes = ipv6_address(std::string_view(host).substr(1, host.size() - 2));
        return bytes && ipv6_link_local(*bytes);
    }
    const std::optional<std::uint32_t> v4 = ipv4_address(host);
    return v4 && ipv4_link_local(*v4);
}

std::string base_url_problem(std::string_view url) {
    std::string why;
    const std::optional<HttpUrlParts> parts = parse_http_url(url, &why);
    if (!parts) return why;
    if (parts->rest.find_first_of("?#") != std::string::npos) {
        return "the base URL carries a query or fragment (? or #)";
    }
    if (is_link_local_host(parts->host)) {
        return "the base URL points at a link-local address (169.254.0.0/16 or fe80::/10)";
    }
    return {};
}

}  // namespace vexa
