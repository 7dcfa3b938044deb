#include "support/credential_scan.hpp"

#include <algorithm>
#include <array>

namespace vexa {
namespace {

// Compared against names folded to lower case with '-' and '_' removed, so
// "X-Api-Key", "api_key" and "APIKEY" all match.
constexpr std::array<std::string_view, 11> kSensitiveWords = {
    "apikey",     "token",      "secret",        "password",  "passwd", "passphrase",
    "privatekey", "credential", "authorization", "accesskey", "cookie"};

std::string fold_name(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '-' || c == '_') continue;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        out.push_back(c);
    }
    return out;
}

bool is_token_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == '~' || c == '+' || c == '/' || c == '=';
}

bool is_alnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_at(std::string_view text, std::size_t pos, std::string_view prefix) {
    return text.size() - pos >= prefix.size() && text.compare(pos, prefix.size(), prefix) == 0;
}

bool starts_at_folded(std::string_view text, std::size_t pos, std::string_view lower_prefix) {
    if (text.size() - pos < lower_prefix.size()) return false;
    for (std::size_t i = 0; i < lower_prefix.size(); ++i) {
        if (lower(text[pos + i]) != lower_prefix[i]) return false;
    }
    return true;
}

// Length of the run of token characters from `pos`.
std::size_t token_run(std::string_view text, std::size_t pos) {
    std::size_t end = pos;
    while (end < text.size() && is_token_char(text[end])) ++end;
    return end - pos;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_quote(char c) { return c == '"' || c == '\''; }

constexpr std::string_view kFullwidthColon = "：";

}  // namespace

bool names_credential(std::string_view name) {
    const std::string folded = fold_name(name);
    for (auto word : kSensitiveWords) {
        if (folded.find(word) != std::string::npos) return true;
    }
    return false;
}

std::size_t credential_length_at(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) return 0;
    if (pos > 0 && is_token_char(text[pos - 1])) return 0;  // only at the start of a word
    static constexpr std::array<std::string_view, 9> kKeyPrefixes = {
        "sk-", "sk_live_", "sk_test_", "ghp_", "gho_", "ghs_", "github_pat_", "xoxb-", "xoxp-"};
    for (auto prefix : kKeyPrefixes) {
        if (!starts_at(text, pos, prefix)) continue;
        const std::size_t n = token_run(text, pos);
        if (n >= prefix.size() + 16) return n;
    }
    if (starts_at(text, pos, "AKIA") || starts_at(text, pos, "AIza")) {
        const std::size_t n = token_run(text, pos);
        if (n >= 20) return n;
    }
    if (starts_at(text, pos, "eyJ")) {
        // header.payload.signature
        const std::size_t n = token_run(text, pos);
        const std::string_view run = text.substr(pos, n);
        if (n >= 32 && std::count(run.begin(), run.end(), '.') >= 2) return n;
    }
    for (std::string_view scheme : {std::string_view("Bearer "), std::string_view("bearer "), std::string_view("Basic ")}) {
        if (!starts_at(text, pos, scheme)) continue;
        const std::size_t n = token_run(text, pos + scheme.size());
        if (n >= 8) return scheme.size() + n;
    }
    if (starts_at(text, pos, "-----BEGIN ")) {
        const std::size_t header_end = text.find("-----", pos + 11);
        if (header_end != std::string_view::npos &&
            text.substr(pos, header_end - pos).find("PRIVATE KEY") != std::string_view::npos) {
            const std::size_t footer = text.find("-----END ", header_end + 5);
            if (footer == std::string_view::npos) return text.size() - pos;
            const std::size_t close = text.find("-----", footer + 9);
            return (close == std::string_view::npos ? text.size() : close + 5) - pos;
        }
    }
    return 0;
}

bool scrub_credentials(std::string& text) {
    std::string out;
    bool found = false;
    std::size_t copied = 0;
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        const char c = text[pos];
        // Cheap filter: every shape starts with one of these letters.
        if (c != 's' && c != 'g' && c != 'x' && c != 'A' && c != 'e' && c != 'B' && c != 'b' && c != '-') continue;
        const std::size_t n = credential_length_at(text, pos);
        if (n == 0) continue;
        if (!found) out.reserve(text.size());
        found = true;
        out.append(text, copied, pos - copied);
        out += "[redacted]";
        pos += n - 1;
        copied = pos + 1;
    }
    if (!found) return false;
    out.append(text, copied, std::string::npos);
    text = std::move(out);
    return true;
}

std::size_t credential_assignment_at(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) return 0;
    // Longer words first, so "passwd" is not read as a "pwd" inside it.
    static constexpr std::array<std::string_view, 9> kAsciiWords = {
        "passphrase", "password", "api_key", "api-key", "passwd", "apikey", "secret", "token", "pwd"};
    static constexpr std::array<std::string_view, 2> kOtherWords = {"密码", "密钥"};
    std::size_t p = std::string_view::npos;
    if (pos == 0 || !is_alnum(text[pos - 1])) {
        for (auto word : kAsciiWords) {
            if (starts_at_folded(text, pos, word)) {
                p = pos + word.size();
                break;
            }
        }
    }
    if (p == std::string_view::npos) {
        for (auto word : kOtherWords) {
            if (starts_at(text, pos, word)) {
                p = pos + word.size();
                break;
            }
        }
    }
    if (p == std::string_view::npos) return 0;
    if (p < text.size() && is_quote(text[p])) ++p;  // a JSON key's closing quote
    while (p < text.size() && is_blank(text[p])) ++p;
    if (p < text.size() && (text[p] == ':' || text[p] == '=')) {
        ++p;
    } else if (starts_at(text, p, kFullwidthColon)) {
        p += kFullwidthColon.size();
    } else {
        return 0;
    }
    while (p < text.size() && is_blank(text[p])) ++p;
    if (p < text.size() && is_quote(text[p])) ++p;
    std::size_t end = p;
    while (end < text.size()) {
        const char c = text[end];
        if (is_blank(c) || c == '\n' || c == '\r' || is_quote(c) || c == ',' || c == ';') break;
        ++end;
    }
    if (end - p < 4) return 0;
    return end - pos;
}

bool contains_credential(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        if (credential_length_at(text, pos) > 0 || credential_assignment_at(text, pos) > 0) return true;
    }
    return false;
}

}  // namespace vexa
