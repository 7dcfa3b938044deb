#include "agent/tool_judgement.hpp"

#include "config/json_util.hpp"
#include "support/credential_scan.hpp"
#include "support/utf8.hpp"

#include <nlohmann/json.hpp>

#include <vector>

namespace vexa {
namespace {

// Walks without recursion: the value came from the model.
void redact_value(nlohmann::json& root) {
    std::vector<nlohmann::json*> pending{&root};
    while (!pending.empty()) {
        nlohmann::json* value = pending.back();
        pending.pop_back();
        if (value->is_object()) {
            for (auto it = value->begin(); it != value->end(); ++it) {
                if (names_credential(it.key())) {
                    it.value() = "[redacted]";
                } else {
                    pending.push_back(&it.value());
                }
            }
        } else if (value->is_array()) {
            for (auto& element : *value) pending.push_back(&element);
        } else if (value->is_string()) {
            scrub_credentials(value->get_ref<nlohmann::json::string_t&>());
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
    if (names_credential(text)) return "{\"redacted\":true}";
    std::string shown = text;
    scrub_credentials(shown);
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
