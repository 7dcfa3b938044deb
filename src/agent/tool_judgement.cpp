#include "agent/tool_judgement.hpp"

#include "config/json_util.hpp"
#include "config/text_util.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <string_view>

namespace vexa {
namespace {

constexpr std::array<std::string_view, 5> kSensitiveWords = {"api_key", "apikey", "token", "secret",
                                                             "password"};

bool mentions_secret(const std::string& lowered) {
    for (auto word : kSensitiveWords) {
        if (lowered.find(word) != std::string::npos) return true;
    }
    return false;
}

void redact_value(nlohmann::json& value) {
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (mentions_secret(ascii_lower(it.key()))) {
                it.value() = "[redacted]";
            } else {
                redact_value(it.value());
            }
        }
    } else if (value.is_array()) {
        for (auto& element : value) redact_value(element);
    }
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Moves a cut position back to the start of the character it falls in. A run
// of more than three continuation bytes is not UTF-8; the cut then stays put.
std::size_t back_to_char_start(const std::string& text, std::size_t pos) {
    std::size_t p = pos;
    for (int step = 0; step < 3 && p > 0 && p < text.size() &&
                       is_continuation(static_cast<unsigned char>(text[p]));
         ++step) {
        --p;
    }
    if (p < text.size() && p > 0 && is_continuation(static_cast<unsigned char>(text[p]))) return pos;
    return p;
}

}  // namespace

std::string redact_arguments(const std::string& text) {
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (!parsed.is_discarded()) {
        redact_value(parsed);
        return dump_json(parsed, -1);
    }
    if (mentions_secret(ascii_lower(text))) return "{\"redacted\":true}";
    return text;
}

bool is_tool_success(const std::string& result) {
    auto parsed = nlohmann::json::parse(result, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return true;
    auto success = parsed.find("success");
    if (success != parsed.end()) {
        return success->is_boolean() ? success->get<bool>() : true;
    }
    return !parsed.contains("error");
}

std::string tool_failure_reason(const std::string& result) {
    auto parsed = nlohmann::json::parse(result, nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object()) {
        auto error = parsed.find("error");
        if (error != parsed.end() && error->is_string()) return error->get<std::string>();
        auto message = parsed.find("message");
        if (message != parsed.end() && message->is_string()) return message->get<std::string>();
        auto err = parsed.find("stderr");
        if (err != parsed.end() && err->is_string() && !err->get_ref<const std::string&>().empty()) {
            const auto& text = err->get_ref<const std::string&>();
            if (text.size() <= 200) return text;
            // Never end the reason inside a character: it goes to the model.
            return text.substr(0, back_to_char_start(text, 200)) + "...";
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
    const std::size_t head = back_to_char_start(text, 2 * limit / 3);
    const std::size_t tail_start = back_to_char_start(text, text.size() - limit / 3);
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
