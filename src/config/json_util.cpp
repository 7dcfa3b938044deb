#include "config/json_util.hpp"

#include "api/ensure_utf8.hpp"

#include <vector>

namespace vexa {

namespace {

using nlohmann::json;

std::optional<std::string> dump_strict(const json& value, int indent) {
    try {
        // Raw UTF-8 output (no \u escapes); invalid UTF-8 throws instead of
        // being silently replaced, so the caller can decide how to repair.
        return value.dump(indent, ' ', false, json::error_handler_t::strict);
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

// Repairs every string value in place; object keys stay as they are.
// Iterative: the depth was bounded by the caller, but no walk here needs the stack.
void repair_strings(json& root) {
    std::vector<json*> pending{&root};
    while (!pending.empty()) {
        json* value = pending.back();
        pending.pop_back();
        if (value->is_string()) {
            auto& text = value->get_ref<json::string_t&>();
            text = ensure_utf8(text);
        } else if (value->is_object() || value->is_array()) {
            for (auto& element : *value) pending.push_back(&element);
        }
    }
}

}  // namespace

bool json_text_depth_within(std::string_view text, int limit) {
    int depth = 0;
    JsonStringTracker strings;
    for (const char c : text) {
        if (strings.step(c)) continue;
        if (c == '{' || c == '[') {
            if (++depth > limit) return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

bool json_value_depth_within(const json& value, int limit) {
    struct Level {
        const json* node;
        int depth;
    };
    std::vector<Level> pending{{&value, value.is_structured() ? 1 : 0}};
    while (!pending.empty()) {
        const Level level = pending.back();
        pending.pop_back();
        if (level.depth > limit) return false;
        if (!level.node->is_structured()) continue;
        for (const auto& child : *level.node) {
            if (child.is_structured()) pending.push_back({&child, level.depth + 1});
        }
    }
    return true;
}

std::string json_depth_error() {
    return "JSON nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
}

json parse_json_bounded(std::string_view text) {
    if (!json_text_depth_within(text)) return json(json::value_t::discarded);
    return json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
}

json parse_json_bounded(std::string_view text, std::string& error) {
    error.clear();
    if (!json_text_depth_within(text)) {
        error = json_depth_error();
        return json(json::value_t::discarded);
    }
    try {
        return json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        error = e.what();
        return json(json::value_t::discarded);
    }
}

std::optional<std::string> try_dump_json(const json& value, int indent) {
    if (!json_value_depth_within(value)) return std::nullopt;
    if (auto text = dump_strict(value, indent)) return text;
    json repaired = value;
    repair_strings(repaired);
    return dump_strict(repaired, indent);
}

std::string dump_json(const json& value, int indent) {
    if (auto text = try_dump_json(value, indent)) return std::move(*text);
    return "{}";
}

}  // namespace vexa
