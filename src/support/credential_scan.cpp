#include "support/credential_scan.hpp"

#include "support/utf8.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>

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

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_letter(char c) { return is_upper(c) || is_lower(c); }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// ---- AWS secret access keys --------------------------------------------------

bool is_aws_key_char(char c) { return is_alnum(c) || c == '/' || c == '+'; }

constexpr std::size_t kAwsSecretLength = 40;
constexpr std::size_t kAwsLookback = 64;

// "aws" not after a letter, or "secret access key" with the words joined by
// nothing, ' ', '_' or '-', anywhere in `window`.
bool names_aws_secret(std::string_view window) {
    std::string folded;
    folded.reserve(window.size());
    for (std::size_t i = 0; i < window.size(); ++i) {
        const char c = window[i];
        if (starts_at_folded(window, i, "aws") && (i == 0 || !is_letter(window[i - 1]))) return true;
        if (c == ' ' || c == '_' || c == '-') continue;
        folded.push_back(lower(c));
    }
    return folded.find("secretaccesskey") != std::string::npos;
}

std::size_t aws_secret_length_at(std::string_view text, std::size_t pos) {
    if (!is_aws_key_char(text[pos]) || (pos > 0 && is_aws_key_char(text[pos - 1]))) return 0;
    std::size_t end = pos;
    while (end < text.size() && end - pos <= kAwsSecretLength && is_aws_key_char(text[end])) ++end;
    if (end - pos != kAwsSecretLength) return 0;
    if (end < text.size() && text[end] == '=') return 0;  // a piece of longer base64
    // Both cases, as base64 of random bytes has: a hex digest of 40 never does.
    bool upper = false;
    bool lower_case = false;
    for (std::size_t i = pos; i < end; ++i) {
        upper = upper || is_upper(text[i]);
        lower_case = lower_case || is_lower(text[i]);
    }
    if (!upper || !lower_case) return 0;
    const std::size_t from = pos > kAwsLookback ? pos - kAwsLookback : 0;
    return names_aws_secret(text.substr(from, pos - from)) ? kAwsSecretLength : 0;
}

// ---- payment card numbers ----------------------------------------------------

bool luhn_valid(std::string_view digits) {
    int sum = 0;
    bool twice = false;
    for (std::size_t i = digits.size(); i-- > 0;) {
        int d = digits[i] - '0';
        if (twice) {
            d *= 2;
            if (d > 9) d -= 9;
        }
        sum += d;
        twice = !twice;
    }
    return sum % 10 == 0;
}

// The layouts cards are printed in; `groups` holds the digit count of each.
bool card_layout(const std::size_t* groups, std::size_t count) {
    if (count == 1) return groups[0] >= 13 && groups[0] <= 19;
    if (count == 3) return groups[0] == 4 && groups[1] == 6 && (groups[2] == 5 || groups[2] == 4);
    if (count == 4 || count == 5) {
        for (std::size_t i = 0; i < 4; ++i) {
            if (groups[i] != 4) return false;
        }
        return count == 4 || (groups[4] >= 1 && groups[4] <= 3);
    }
    return false;
}

std::size_t card_number_length_at(std::string_view text, std::size_t pos) {
    if (text[pos] < '2' || text[pos] > '6') return 0;
    if (pos > 0) {
        const char before = text[pos - 1];
        if (is_alnum(before) || before == '+' || before == '.' || before == '-' || before == '_') return 0;
    }
    constexpr std::size_t kMaxGroups = 5;
    std::size_t groups[kMaxGroups] = {};
    std::size_t ends[kMaxGroups] = {};
    std::size_t count = 0;
    std::size_t total = 0;
    char separator = 0;
    std::string digits;
    std::size_t p = pos;
    while (true) {
        const std::size_t start = p;
        while (p < text.size() && is_digit(text[p])) {
            ++p;
            if (total + (p - start) > 19) return 0;  // longer than any card
        }
        if (count == kMaxGroups) return 0;
        groups[count] = p - start;
        ends[count] = p;
        ++count;
        total += p - start;
        digits.append(text, start, p - start);
        const bool more = p + 1 < text.size() && (text[p] == ' ' || text[p] == '-') && is_digit(text[p + 1]) &&
                          (separator == 0 || separator == text[p]);
        if (!more) break;
        separator = text[p];
        ++p;
    }
    // Not the beginning of a word or a decimal.
    if (p < text.size() && is_letter(text[p])) return 0;
    if (p + 1 < text.size() && (text[p] == '.' || text[p] == ',') && is_digit(text[p + 1])) return 0;
    // The whole grouping, or a card followed by an unrelated number.
    std::size_t used = 0;
    if (card_layout(groups, count)) {
        used = count;
    } else if (card_layout(groups, 1)) {
        used = 1;
    } else if (count > 4 && card_layout(groups, 4)) {
        used = 4;
    } else {
        return 0;
    }
    std::size_t digit_count = 0;
    for (std::size_t i = 0; i < used; ++i) digit_count += groups[i];
    if (!luhn_valid(std::string_view(digits).substr(0, digit_count))) return 0;
    return ends[used - 1] - pos;
}

// ---- secrets named in prose --------------------------------------------------

enum class SecretKind { password, pin, card_code, key };

struct ProseKeyword {
    std::string_view word;
    SecretKind kind;
};

// Longer words first where one begins another.
constexpr std::array<ProseKeyword, 24> kProseKeywords = {{
    {"passphrase", SecretKind::password}, {"password", SecretKind::password},  {"passcode", SecretKind::password},
    {"passwd", SecretKind::password},     {"pwd", SecretKind::password},       {"cvv2", SecretKind::card_code},
    {"cvc2", SecretKind::card_code},      {"cvv", SecretKind::card_code},      {"cvc", SecretKind::card_code},
    {"pin", SecretKind::pin},             {"token", SecretKind::key},          {"secret", SecretKind::key},
    {"api key", SecretKind::key},         {"api-key", SecretKind::key},        {"api_key", SecretKind::key},
    {"apikey", SecretKind::key},          {"access key", SecretKind::key},     {"access-key", SecretKind::key},
    {"access_key", SecretKind::key},      {"accesskey", SecretKind::key},      {"private key", SecretKind::key},
    {"private-key", SecretKind::key},     {"private_key", SecretKind::key},    {"privatekey", SecretKind::key},
}};

constexpr std::array<std::string_view, 3> kChineseKeywords = {"密码", "口令", "密钥"};
constexpr std::array<std::string_view, 4> kChineseConnectors = {"：", "是", "为", "為"};
constexpr std::array<std::string_view, 2> kDashes = {"–", "—"};

constexpr std::size_t kProseWindow = 512;
constexpr std::size_t kProseWordCap = 256;
constexpr int kProseMaxQualifiers = 5;
constexpr int kProseMaxFillers = 2;

bool one_of(std::string_view word, std::initializer_list<std::string_view> words) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

bool is_version(std::string_view v) {
    if (!v.empty() && (v[0] == 'v' || v[0] == 'V')) v.remove_prefix(1);
    bool dot = false;
    bool digit = false;
    for (char c : v) {
        if (c == '.') {
            dot = true;
        } else if (is_digit(c)) {
            digit = true;
        } else {
            return false;
        }
    }
    return dot && digit;
}

// Dates, times, phone numbers: digits with separators and nothing else.
bool is_separated_number(std::string_view v) {
    bool separator = false;
    for (char c : v) {
        if (is_digit(c)) continue;
        if (c == '-' || c == '/' || c == '.' || c == ':' || c == '+' || c == '(' || c == ')') {
            separator = true;
            continue;
        }
        return false;
    }
    return separator;
}

bool is_password_symbol(char c) {
    return std::string_view("!@#$%^&*+=?~").find(c) != std::string_view::npos;
}

bool secret_value(SecretKind kind, std::string_view v, bool connected) {
    if (v.size() < 3 || is_version(v) || is_separated_number(v)) return false;
    bool letter = false;
    bool digit = false;
    bool symbol = false;
    for (char c : v) {
        letter = letter || is_letter(c);
        digit = digit || is_digit(c);
        symbol = symbol || is_password_symbol(c);
    }
    const bool all_digits = !letter && std::all_of(v.begin(), v.end(), is_digit);
    switch (kind) {
        case SecretKind::card_code:
            return all_digits && v.size() <= 4;
        case SecretKind::pin:
            return all_digits && v.size() >= 4 && v.size() <= 12;
        case SecretKind::key:
            return v.size() >= 8 && letter && digit;
        case SecretKind::password:
            if (connected) return v.size() >= 4 && (all_digits || (letter && (digit || symbol)));
            return v.size() >= 6 && letter && (digit || symbol);
    }
    return false;
}

// Quotes and brackets before a word, quotes, brackets and closing
// punctuation after it.
bool is_opening(char c) { return is_quote(c) || c == '`' || c == '(' || c == '[' || c == '{' || c == '<'; }
bool is_closing(char c) {
    return is_quote(c) || c == '`' || c == ')' || c == ']' || c == '}' || c == '>' || c == '.' || c == ',' ||
           c == ';' || c == ':' || c == '!' || c == '?';
}

// The keyword at `pos` (its end) and its kind; npos when there is none.
std::size_t prose_keyword_at(std::string_view text, std::size_t pos, SecretKind& kind, bool& chinese) {
    const char first = lower(text[pos]);
    if (first != 'p' && first != 'c' && first != 't' && first != 's' && first != 'a' && first != '\xE5') {
        return std::string_view::npos;  // every keyword begins with one of these ("密", "口": E5)
    }
    if (pos == 0 || !is_alnum(text[pos - 1])) {
        for (const ProseKeyword& k : kProseKeywords) {
            if (!starts_at_folded(text, pos, k.word)) continue;
            const std::size_t end = pos + k.word.size();
            if (end < text.size() && is_alnum(text[end])) continue;
            kind = k.kind;
            chinese = false;
            return end;
        }
    }
    for (std::string_view word : kChineseKeywords) {
        if (starts_at(text, pos, word)) {
            kind = SecretKind::password;
            chinese = true;
            return pos + word.size();
        }
    }
    return std::string_view::npos;
}

// ---- random-looking tokens ---------------------------------------------------

bool is_token_body_char(char c) { return is_alnum(c) || c == '+' || c == '/' || c == '_' || c == '-'; }

// The word before `pos`, past blanks and ':', '=', '#', says the run is a hash.
bool named_as_hash(std::string_view text, std::size_t pos) {
    std::size_t end = pos;
    while (end > 0 && pos - end < 8 &&
           (is_blank(text[end - 1]) || text[end - 1] == ':' || text[end - 1] == '=' || text[end - 1] == '#')) {
        --end;
    }
    std::size_t start = end;
    while (start > 0 && end - start < 16 && (is_alnum(text[start - 1]) || text[start - 1] == '-')) --start;
    std::string word;
    for (std::size_t i = start; i < end; ++i) {
        if (text[i] != '-') word.push_back(lower(text[i]));
    }
    return one_of(word, {"commit", "sha", "sha1", "sha256", "sha512", "md5", "hash", "checksum", "digest",
                         "revision", "rev"});
}

// Letters in lower-case words of three or more (with an initial capital).
std::size_t word_letters(std::string_view run) {
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < run.size()) {
        std::size_t j = i;
        if (is_upper(run[j])) ++j;
        std::size_t k = j;
        while (k < run.size() && is_lower(run[k])) ++k;
        if (k - j >= 3) {
            count += k - i;
            i = k;
        } else {
            i = std::max(i + 1, k);
        }
    }
    return count;
}

double entropy_bits(std::string_view run) {
    std::array<std::size_t, 256> counts{};
    for (char c : run) ++counts[static_cast<unsigned char>(c)];
    double bits = 0;
    const double n = static_cast<double>(run.size());
    for (std::size_t c : counts) {
        if (c == 0) continue;
        const double p = static_cast<double>(c) / n;
        bits -= p * std::log2(p);
    }
    return bits;
}

std::size_t hex_token_length_at(std::string_view text, std::size_t pos) {
    if (pos > 0 && is_alnum(text[pos - 1])) return 0;
    std::size_t start = pos;
    if (starts_at(text, pos, "0x") || starts_at(text, pos, "0X")) start += 2;
    std::size_t end = start;
    bool letter = false;
    bool digit = false;
    while (end < text.size() && is_hex(text[end])) {
        letter = letter || is_letter(text[end]);
        digit = digit || is_digit(text[end]);
        ++end;
    }
    if (end < text.size() && is_alnum(text[end])) return 0;  // a word, not a number
    if (end - start < 32 || !letter || !digit) return 0;
    return named_as_hash(text, pos) ? 0 : end - pos;
}

std::size_t base64_token_length_at(std::string_view text, std::size_t pos) {
    if (!is_token_body_char(text[pos]) || (pos > 0 && is_token_body_char(text[pos - 1]))) return 0;
    std::size_t end = pos;
    bool upper = false;
    bool lower_case = false;
    bool digit = false;
    bool split = false;
    std::size_t piece = 0;
    std::size_t longest_piece = 0;
    while (end < text.size() && is_token_body_char(text[end])) {
        const char c = text[end];
        upper = upper || is_upper(c);
        lower_case = lower_case || is_lower(c);
        digit = digit || is_digit(c);
        if (is_alnum(c)) {
            longest_piece = std::max(longest_piece, ++piece);
        } else {
            split = true;
            piece = 0;
        }
        ++end;
    }
    while (end < text.size() && text[end] == '=') ++end;  // padding
    const std::string_view run = text.substr(pos, end - pos);
    if (run.size() < 24 || !upper || !lower_case || !digit) return 0;
    if (entropy_bits(run) < 3.5) return 0;
    const std::size_t words = word_letters(run);
    if (words * 10 >= run.size() * 4) return 0;
    if (split && longest_piece < 12 && words * 10 >= run.size() * 2) return 0;
    return named_as_hash(text, pos) ? 0 : run.size();
}

// Cheap filter for the scans over a whole text: no shape, keyword or token
// starts with a blank, a UTF-8 continuation byte or inside a word.
bool may_start_at(std::string_view text, std::size_t pos) {
    const char c = text[pos];
    if (is_blank(c) || is_line_end(c) || utf8_is_continuation(static_cast<unsigned char>(c))) return false;
    return pos == 0 || !is_alnum(c) || !is_alnum(text[pos - 1]);
}

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
    // These two keep boundaries of their own: "KEY=<secret>" is one word.
    if (const std::size_t n = aws_secret_length_at(text, pos)) return n;
    if (const std::size_t n = card_number_length_at(text, pos)) return n;
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
        if (!may_start_at(text, pos)) continue;
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

std::size_t credential_in_prose_at(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) return 0;
    SecretKind kind = SecretKind::password;
    bool chinese = false;
    std::size_t p = prose_keyword_at(text, pos, kind, chinese);
    if (p == std::string_view::npos) return 0;
    if (kind == SecretKind::pin && starts_at(text, p, "码")) p += std::string_view("码").size();
    const std::size_t limit = std::min(text.size(), p + kProseWindow);
    // Chinese runs its words together: what follows the keyword is the value.
    bool connected = chinese;
    bool direct = true;        // the value may stand right here
    bool in_phrase = false;    // inside "for the NAS"
    bool to_connects = false;  // after "changed", "set" ...
    int qualifiers = 0;
    int fillers = 0;
    while (p < limit) {
        while (p < limit && is_blank(text[p])) ++p;
        if (p >= limit || is_line_end(text[p])) return 0;
        // Connectors written as signs.
        if (text[p] == ':' || text[p] == '=') {
            connected = true;
            ++p;
            if (p < limit && text[p] == '>') ++p;  // "=>"
            continue;
        }
        if (text[p] == '-' && (p + 1 >= limit || is_blank(text[p + 1]) || text[p + 1] == '>')) {
            connected = true;
            p += (p + 1 < limit && text[p + 1] == '>') ? 2 : 1;
            continue;
        }
        bool sign = false;
        for (std::string_view c : kChineseConnectors) {
            if (starts_at(text, p, c)) {
                connected = true;
                p += c.size();
                sign = true;
                break;
            }
        }
        for (std::string_view c : kDashes) {
            if (!sign && starts_at(text, p, c)) {
                connected = true;
                p += c.size();
                sign = true;
            }
        }
        if (sign) continue;
        // One word: up to a blank, a line end or a non-ASCII byte.
        std::size_t q = p;
        while (q < limit && q - p < kProseWordCap && !is_blank(text[q]) && !is_line_end(text[q]) &&
               static_cast<unsigned char>(text[q]) < 0x80) {
            ++q;
        }
        if (q == p) return 0;  // prose in another script: no value of ours
        std::size_t b = p;
        std::size_t e = q;
        while (b < e && is_opening(text[b])) ++b;
        bool sentence_end = false;
        bool trailing_connector = false;
        while (e > b && (is_closing(text[e - 1]) || text[e - 1] == '=')) {
            const char c = text[e - 1];
            sentence_end = sentence_end || c == '.' || c == '!' || c == '?' || c == ';';
            trailing_connector = trailing_connector || c == ':' || c == '=';
            --e;
        }
        const std::string_view core = text.substr(b, e - b);
        std::string word;
        for (char c : core) word.push_back(lower(c));
        if (connected) {
            if (fillers < kProseMaxFillers && !sentence_end &&
                one_of(word, {"now", "still", "just", "simply", "the", "my", "set", "changed", "to", "currently",
                              "actually", "being", "be"})) {
                ++fillers;
                p = q;
                continue;
            }
            return secret_value(kind, core, true) ? e - pos : 0;
        }
        if (direct && secret_value(kind, core, false)) return e - pos;
        if (sentence_end) return 0;
        p = q;
        if (one_of(word, {"is", "was", "are", "equals"}) || (to_connects && word == "to")) {
            connected = true;
            continue;
        }
        if (qualifiers == 0 && one_of(word, {"code", "number", "no", "num", "#", "key"})) {
            direct = true;  // "PIN code 4821"
        } else if (!in_phrase && one_of(word, {"changed", "set", "reset", "updated"})) {
            to_connects = true;
            direct = false;
        } else if (in_phrase || one_of(word, {"for", "to", "of", "on", "at", "in", "from", "with"})) {
            in_phrase = true;
            direct = false;
        } else {
            return 0;  // the keyword names something else: "password manager", "token limit"
        }
        if (++qualifiers > kProseMaxQualifiers) return 0;
        if (trailing_connector) connected = true;
    }
    return 0;
}

std::size_t random_token_length_at(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) return 0;
    if (const std::size_t n = hex_token_length_at(text, pos)) return n;
    return base64_token_length_at(text, pos);
}

bool contains_credential(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        if (!may_start_at(text, pos)) continue;
        if (credential_length_at(text, pos) > 0 || credential_assignment_at(text, pos) > 0 ||
            credential_in_prose_at(text, pos) > 0 || random_token_length_at(text, pos) > 0) {
            return true;
        }
    }
    return false;
}

}  // namespace vexa
