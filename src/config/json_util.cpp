#include "config/json_util.hpp"

#include "api/ensure_utf8.hpp"

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
void repair_strings(json& value) {
    if (value.is_string()) {
        auto& text = value.get_ref<json::string_t&>();
        text = ensure_utf8(text);
    } else if (value.is_object() || value.is_array()) {
        for (auto& element : value) repair_strings(element);
    }
}

}  // namespace

std::optional<std::string> try_dump_json(const json& value, int indent) {
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
