#include "agent/tool_judgement.hpp"

#include "config/json_util.hpp"
#include "support/utf8.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace vexa {
namespace {

// Compared against key names (and non-JSON texts) folded to lower case with
// '-' and '_' removed, so "X-Api-Key", "api_key" and "APIKEY" all match.
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

bool mentions_secret(std::string_view text) {
    const std::string folded = fold_name(text);
    for (auto word : kSensitiveWords) {
        if (folded.find(word) != std::string::npos) return true;
    }
    return false;
}

bool is_token_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == '~' || c == '+' || c == '/' || c == '=';
}

bool starts_at(std::string_view text, std::size_t pos, std::string_view prefix) {
    return text.size() - pos >= prefix.size() && text.compare(pos, prefix.size(), prefix) == 0;
}

// Length of the run of token characters from `pos`.
std::size_t token_run(std::string_view text, std::size_t pos) {
    std::size_t end = pos;
    while (end < text.size() && is_token_char(text[end])) ++end;
    return end - pos;
}

// Credential shapes recognised inside any string, whatever its key: provider
// keys by their well-known prefixes, bearer tokens, JSON web tokens and PEM
// private keys. Returns the length of the secret starting at `pos`, or 0.
std::size_t secret_at(std::string_view text, std::size_t pos) {
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

// Replaces every recognised secret inside `text` with "[redacted]".
// Returns false (and leaves `text` alone) when there is none.
bool scrub_secrets(std::string& text) {
    std::string out;
    bool found = false;
    std::size_t copied = 0;
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        const char c = text[pos];
        // Cheap filter: every shape starts with one of these letters.
        if (c != 's' && c != 'g' && c != 'x' && c != 'A' && c != 'e' && c != 'B' && c != 'b' && c != '-') continue;
        const std::size_t n = secret_at(text, pos);
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

// Walks without recursion: the value came from the model.
void redact_value(nlohmann::json& root) {
    std::vector<nlohmann::json*> pending{&root};
    while (!pending.empty()) {
        nlohmann::json* value = pending.back();
        pending.pop_back();
        if (value->is_object()) {
            for (auto it = value->begin(); it != value->end(); ++it) {
                if (mentions_secret(it.key())) {
                    it.value() = "[redacted]";
                } else {
                    pending.push_back(&it.value());
                }
            }
        } else if (value->is_array()) {
            for (auto& element : *value) pending.push_back(&element);
        } else if (value->is_string()) {
            scrub_secrets(value->get_ref<nlohmann::json::string_t&>());
        }
    }
}

}  // namespace

std::string redact_arguments(const std::string& text) {
    // Too deep a nesting reads as not JSON: it is judged as plain text.
    auto parsed = parse_json_bounded(text);
    if (!parsed.is_discarded()) {
        redact_value(parsed);
        return dump_json(parsed, -1);
    }
    if (mentions_secret(text)) return "{\"redacted\":true}";
    std::string shown = text;
    scrub_secrets(shown);
    return shown;
}

bool is_tool_success(const std::string& result) {
    auto parsed = parse_json_bounded(result);
    if (parsed.is_discarded() || !parsed.is_object()) return true;
    auto success = parsed.find("success");
    if (success != parsed.end()) {
        return success->is_boolean() ? success->get<bool>() : true;
    }
    return !parsed.contains("error");
}

std::string tool_failure_reason(const std::string& result) {
    auto parsed = parse_json_bounded(result);
    if (!parsed.is_discarded() && parsed.is_object()) {
        auto error = parsed.find("error");
        if (error != parsed.end() && error->is_string()) return error->get<std::string>();
        auto message = parsed.find("message");
        if (message != parsed.end() && message->is_string()) return message->get<std::string>();
        auto err = parsed.find("stderr");
        if (err != parsed.end() && err->is_string() && !err->get_ref<const std::string&>().empty()) {
            // Never end the reason inside a character: it goes to the model.
            return shorten_utf8(err->get_ref<const std::string&>(), 200);
        }
        auto code = parsed.find("exit_code");
        if (code != parsed.end() && code->is_number_integer()) {
            if (code->is_number_unsigned()) {
                auto value = code->get<std::uint64_t>();
                if (value != 0) return "exit_code=" + std::to_string(value);
            } else {
                auto value = code->get<std::int64_t>();
                if (value != 0) return "exit_code=" + std::to_string(value);
            }
        }
        auto timed_out = parsed.find("timed_out");
        if (timed_out != parsed.end() && timed_out->is_boolean() && timed_out->get<bool>()) {
            return "operation timed out";
        }
    }
    return "tool reported failure";
}

std::string truncate_tool_result(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    const std::size_t head = utf8_cut_position(text, 2 * limit / 3);
    const std::size_t tail_start = utf8_cut_position(text, text.size() - limit / 3);
    if (tail_start <= head) return text;  // nothing whole to leave out
    const std::size_t omitted = tail_start - head;
    std::string out;
    out.reserve(limit + 48);
    out.append(text, 0, head);
    out += "\n...(truncated ";
    out += std::to_string(omitted);
    out += " chars)...\n";
    out.append(text, tail_start, std::string::npos);
    return out;
}

std::string tool_message_content(const std::string& name, const std::string& result, bool ok) {
    std::string content = truncate_tool_result(result, kToolResultLimit);
    if (ok) return content;
    return "⚠️ TOOL_FAILED: " + name + " — " + tool_failure_reason(result) +
           "\n你必须如实告诉用户本次操作失败，不得声称成功。\n" + content;
}

}  // namespace vexa
