#include "conversation/chat_message.hpp"

#include "config/json_util.hpp"
#include "support/utf8.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace vexa {

namespace {

using nlohmann::json;

constexpr const char* kImagePlaceholder = "[图片]";

int clamp_to_int(std::int64_t value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// Reads an optional string member; a missing or null member leaves the default.
std::string string_member(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::string();
    return it->get<std::string>();
}

std::optional<std::string> optional_string_member(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    return it->get<std::string>();
}

// Token counts arrive as signed, unsigned or floating numbers depending on the
// server; anything else (missing, null, text) means unknown.
int usage_int(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return -1;
    if (it->is_number_unsigned()) {
        auto v = it->get<std::uint64_t>();
        return v > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(v);
    }
    if (it->is_number_integer()) return clamp_to_int(it->get<std::int64_t>());
    if (it->is_number_float()) {
        double d = it->get<double>();
        // Range-check before converting: an out-of-range float-to-int cast is undefined.
        if (!(d == d)) return -1;
        if (d >= static_cast<double>(INT_MAX)) return INT_MAX;
        if (d <= static_cast<double>(INT_MIN)) return INT_MIN;
        return static_cast<int>(d);  // truncates toward zero
    }
    return -1;
}

int nested_usage_int(const json& object, const char* outer, const char* key) {
    auto it = object.find(outer);
    if (it == object.end() || !it->is_object()) return -1;
    return usage_int(*it, key);
}

int first_non_negative(std::initializer_list<int> values) {
    for (int v : values) {
        if (v >= 0) return v;
    }
    return -1;
}

// Sum of two counts where a negative count is unknown: unknown only when both are.
int sum_known(int a, int b) {
    if (a < 0 && b < 0) return -1;
    std::int64_t sum = (a < 0 ? 0 : a);
    sum += (b < 0 ? 0 : b);
    return clamp_to_int(sum);
}

int sum_both_known(int a, int b) { return clamp_to_int(static_cast<std::int64_t>(a) + b); }

char ascii_lower_char(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_https(const std::string& url) {
    static const char kScheme[] = "https://";
    if (url.size() <= 8) return false;
    for (std::size_t i = 0; i < 8; ++i) {
        if (ascii_lower_char(url[i]) != kScheme[i]) return false;
    }
    return true;
}

}  // namespace

std::string role_name(MessageRole role) {
    switch (role) {
        case MessageRole::system: return "system";
        case MessageRole::user: return "user";
        case MessageRole::assistant: return "assistant";
        case MessageRole::tool: return "tool";
    }
    return "user";
}

MessageRole role_from_name(const std::string& name) {
    if (name == "system") return MessageRole::system;
    if (name == "assistant") return MessageRole::assistant;
    if (name == "tool") return MessageRole::tool;
    return MessageRole::user;
}

json message_to_json(const ChatMessage& message, bool include_images) {
    json out = json::object();
    out["role"] = role_name(message.role);

    if (include_images && !message.images.empty()) {
        json parts = json::array();
        parts.push_back(json{{"type", "text"}, {"text", message.content}});
        for (const auto& image : message.images) {
            parts.push_back(json{{"type", "image_url"},
                                 {"image_url",
                                  {{"url", image.url}, {"detail", image.detail.empty() ? "high" : image.detail}}}});
        }
        out["content"] = std::move(parts);
    } else if (message.role == MessageRole::user && !message.images.empty() && message.content.empty()) {
        // Keep an image-only user turn visible in text-only forms.
        out["content"] = kImagePlaceholder;
    } else {
        out["content"] = message.content;
    }

    if (message.reasoning_content) out["reasoning_content"] = *message.reasoning_content;

    if (!message.tool_calls.empty()) {
        json calls = json::array();
        for (const auto& call : message.tool_calls) {
            calls.push_back(json{{"id", call.id},
                                 {"type", "function"},
                                 {"function",
                                  {{"name", call.name}, {"arguments", call.arguments.empty() ? "{}" : call.arguments}}}});
        }
        out["tool_calls"] = std::move(calls);
    }

    if (message.tool_call_id) out["tool_call_id"] = *message.tool_call_id;
    if (message.name) out["name"] = *message.name;
    return out;
}

ChatMessage message_from_json(const json& value) {
    ChatMessage message;
    if (!value.is_object()) return message;

    if (auto it = value.find("role"); it != value.end()) message.role = role_from_name(it->get<std::string>());

    if (auto it = value.find("content"); it != value.end()) {
        if (it->is_string()) {
            message.content = it->get<std::string>();
        } else if (it->is_array()) {
            for (const auto& part : *it) {
                if (!part.is_object()) continue;
                std::string type;
                if (auto t = part.find("type"); t != part.end() && t->is_string()) type = t->get<std::string>();
                if (type == "text") {
                    if (auto t = part.find("text"); t != part.end() && t->is_string())
                        message.content += t->get_ref<const std::string&>();
                } else if (type == "image_url") {
                    auto iu = part.find("image_url");
                    if (iu == part.end() || !iu->is_object()) continue;
                    ImageInput image;
                    if (auto u = iu->find("url"); u != iu->end() && u->is_string()) image.url = u->get<std::string>();
                    if (auto d = iu->find("detail"); d != iu->end() && d->is_string())
                        image.detail = d->get<std::string>();
                    std::string error;
                    if (validate_image(image, error)) message.images.push_back(std::move(image));
                }
            }
        }
    }

    message.reasoning_content = optional_string_member(value, "reasoning_content");
    message.tool_call_id = optional_string_member(value, "tool_call_id");
    message.name = optional_string_member(value, "name");

    if (auto it = value.find("tool_calls"); it != value.end() && it->is_array()) {
        message.tool_calls.reserve(it->size());
        for (const auto& element : *it) {
            if (!element.is_object()) {
                throw json::type_error::create(302, "tool call must be an object, but is " + std::string(element.type_name()),
                                               &element);
            }
            ToolCall call;
            call.id = string_member(element, "id");
            if (auto fn = element.find("function"); fn != element.end()) {
                if (!fn->is_object()) {
                    throw json::type_error::create(302, "type must be object, but is " + std::string(fn->type_name()),
                                                   &*fn);
                }
                call.name = string_member(*fn, "name");
                call.arguments = string_member(*fn, "arguments");
            }
            message.tool_calls.push_back(std::move(call));
        }
    }
    return message;
}

bool normalize_image_detail(std::string& detail, std::string& error) {
    if (detail.empty()) {
        detail = "high";
        error.clear();
        return true;
    }
    for (char& c : detail) c = ascii_lower_char(c);
    if (detail == "high" || detail == "low" || detail == "auto") {
        error.clear();
        return true;
    }
    error = "images_json detail must be high, low, or auto.";
    return false;
}

bool validate_image(ImageInput& image, std::string& error) {
    image.url = trim_ws(image.url);
    const std::string& url = image.url;
    if (url.empty()) {
        error = "image url must be a non-empty https url.";
        return false;
    }
    if (url.size() > kMaxImageUrlBytes) {
        error = "image url exceeds length limit.";
        return false;
    }
    for (char c : url) {
        auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F) {
            error = "image url contains whitespace or control characters.";
            return false;
        }
    }
    if (url.find('\\') != std::string::npos) {
        error = "image url must not contain backslash.";
        return false;
    }
    if (!starts_with_https(url)) {
        error = "image url must be an https absolute url.";
        return false;
    }
    if (!normalize_image_detail(image.detail, error)) return false;
    error.clear();
    return true;
}

bool parse_images_json(const std::string& text, std::vector<ImageInput>& images, std::string& error) {
    error.clear();
    const std::string t = trim_ws(text);
    if (t.empty()) {
        images.clear();
        return true;
    }
    std::string parse_error;
    const json root = parse_json_bounded(t, parse_error);
    if (root.is_discarded()) {
        error = "images_json is not valid JSON: " + parse_error;
        return false;
    }
    if (root.is_null()) {
        images.clear();
        return true;
    }
    if (!root.is_array()) {
        error = "images_json must be a JSON array.";
        return false;
    }
    if (root.size() > kMaxImagesPerTurn) {
        error = "images_json count exceeds limit.";
        return false;
    }
    std::vector<ImageInput> parsed;
    parsed.reserve(root.size());
    for (const auto& element : root) {
        if (!element.is_object()) {
            error = "images_json element must be a JSON object.";
            return false;
        }
        ImageInput image;
        if (auto u = element.find("url"); u != element.end() && u->is_string()) image.url = trim_ws(u->get<std::string>());
        if (image.url.empty()) {
            if (auto u = element.find("data_url"); u != element.end() && u->is_string())
                image.url = trim_ws(u->get<std::string>());
        }
        if (auto d = element.find("detail"); d != element.end() && d->is_string()) image.detail = trim_ws(d->get<std::string>());
        if (!validate_image(image, error)) return false;
        parsed.push_back(std::move(image));
    }
    images = std::move(parsed);
    return true;
}

TokenUsage parse_usage(const json& value) {
    TokenUsage usage;
    if (!value.is_object()) return usage;
    usage.prompt_tokens = first_non_negative({usage_int(value, "prompt_tokens"), usage_int(value, "input_tokens")});
    usage.completion_tokens =
        first_non_negative({usage_int(value, "completion_tokens"), usage_int(value, "output_tokens")});
    usage.total_tokens = usage_int(value, "total_tokens");
    usage.cached_tokens = first_non_negative({nested_usage_int(value, "prompt_tokens_details", "cached_tokens"),
                                              usage_int(value, "cached_tokens"),
                                              usage_int(value, "prompt_cache_hit_tokens"),
                                              usage_int(value, "cache_read_input_tokens"),
                                              nested_usage_int(value, "input_tokens_details", "cached_tokens")});
    if (auto it = value.find("estimated"); it != value.end()) usage.estimated = it->get<bool>();
    if (usage.total_tokens == -1 && usage.prompt_tokens != -1 && usage.completion_tokens != -1)
        usage.total_tokens = sum_both_known(usage.prompt_tokens, usage.completion_tokens);
    return usage;
}

TokenUsage usage_from_response(const json& root) {
    if (root.is_object()) {
        auto it = root.find("usage");
        if (it != root.end() && it->is_object()) {
            TokenUsage usage = parse_usage(*it);
            usage.estimated = false;
            return usage;
        }
    }
    return TokenUsage{};
}

json usage_to_json(const TokenUsage& usage) {
    json out = json::object();
    if (usage.prompt_tokens >= 0) out["prompt_tokens"] = usage.prompt_tokens;
    if (usage.completion_tokens >= 0) out["completion_tokens"] = usage.completion_tokens;
    if (usage.total_tokens >= 0) out["total_tokens"] = usage.total_tokens;
    out["estimated"] = usage.estimated;
    if (usage.cached_tokens >= 0) out["prompt_tokens_details"] = json{{"cached_tokens", usage.cached_tokens}};
    return out;
}

bool has_usage(const TokenUsage& usage) { return usage.prompt_tokens != -1 || usage.completion_tokens != -1; }

TokenUsage add_usage(const TokenUsage& a, const TokenUsage& b) {
    TokenUsage out;
    out.prompt_tokens = sum_known(a.prompt_tokens, b.prompt_tokens);
    out.completion_tokens = sum_known(a.completion_tokens, b.completion_tokens);
    out.cached_tokens = sum_known(a.cached_tokens, b.cached_tokens);
    if (out.prompt_tokens >= 0 && out.completion_tokens >= 0)
        out.total_tokens = sum_both_known(out.prompt_tokens, out.completion_tokens);
    else
        out.total_tokens = sum_known(a.total_tokens, b.total_tokens);
    out.estimated = (has_usage(a) && a.estimated) || (has_usage(b) && b.estimated);
    return out;
}

int estimate_text_tokens(const std::string& text) {
    std::uint64_t tokens = 0;
    std::size_t ascii_run = 0;
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            ++ascii_run;
            ++i;
            continue;
        }
        tokens += (ascii_run + 3) / 4;
        ascii_run = 0;
        // A byte that cannot lead counts as a character of its own.
        const std::size_t len = std::max<std::size_t>(1, utf8_announced_length(b));
        tokens += 1;
        i += (len > n - i) ? n - i : len;  // a truncated sequence still counts once
    }
    tokens += (ascii_run + 3) / 4;
    return tokens > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(tokens);
}

int estimate_message_tokens(const ChatMessage& message) {
    std::int64_t tokens = estimate_text_tokens(message.content);
    if (message.reasoning_content) tokens += estimate_text_tokens(*message.reasoning_content);
    for (const auto& call : message.tool_calls) {
        tokens += estimate_text_tokens(call.name);
        tokens += estimate_text_tokens(call.arguments);
    }
    for (const auto& image : message.images) tokens += (image.detail == "low") ? 85 : 765;
    return clamp_to_int(tokens);
}

TokenUsage estimate_usage(const std::vector<ChatMessage>& request, const ChatMessage& response) {
    std::int64_t prompt = 0;
    for (const auto& m : request) prompt += estimate_message_tokens(m);
    TokenUsage usage;
    usage.prompt_tokens = clamp_to_int(prompt);
    usage.completion_tokens = estimate_message_tokens(response);
    usage.total_tokens = sum_both_known(usage.prompt_tokens, usage.completion_tokens);
    usage.cached_tokens = -1;
    usage.estimated = true;
    return usage;
}

TokenUsage finalize_usage(const TokenUsage& reported, const std::vector<ChatMessage>& request,
                          const ChatMessage& response) {
    if (has_usage(reported)) {
        TokenUsage usage = reported;
        usage.estimated = false;
        if (usage.total_tokens == -1 && usage.prompt_tokens != -1 && usage.completion_tokens != -1)
            usage.total_tokens = sum_both_known(usage.prompt_tokens, usage.completion_tokens);
        return usage;
    }
    return estimate_usage(request, response);
}

std::string trim_ws(const std::string& text) {
    auto is_ws = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_ws(text[begin])) ++begin;
    while (end > begin && is_ws(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace vexa
