#include "tools/dynamic_tool.hpp"

#include "config/json_util.hpp"
#include "config/text_util.hpp"

#include <algorithm>
#include <memory>
#include <utility>

namespace vexa {

namespace {

nlohmann::json failure(const std::string& error) {
    return nlohmann::json{{"success", false}, {"error", error}};
}

bool is_empty_schema(const nlohmann::json& value) {
    return value.is_null() || ((value.is_object() || value.is_array()) && value.empty());
}

}  // namespace

DynamicTool::DynamicTool(ToolSpec spec) : spec_(std::move(spec)) {}

std::string DynamicTool::name() const { return spec_.name; }

std::string DynamicTool::description() const { return spec_.description; }

nlohmann::json DynamicTool::parameters() const {
    if (!is_empty_schema(spec_.parameters)) {
        return spec_.parameters;
    }
    nlohmann::json schema = nlohmann::json::object();
    schema["type"] = spec_.type.empty() ? std::string("object") : spec_.type;
    schema["properties"] = spec_.properties.is_null() ? nlohmann::json::object() : spec_.properties;
    if (!spec_.required.empty()) {
        schema["required"] = spec_.required;
    }
    return schema;
}

nlohmann::json DynamicTool::execute(const nlohmann::json& arguments) {
    if (!spec_.executor) {
        return failure("No executor registered for tool: " + spec_.name);
    }
    try {
        return spec_.executor(arguments);
    } catch (const std::exception& e) {
        return failure(std::string("Tool executor error: ") + e.what());
    } catch (...) {
        return failure("Tool executor error: unknown exception.");
    }
}

ToolExecutorFn make_host_executor(HostToolFunction function) {
    if (!function) {
        return {};
    }
    return [function = std::move(function)](const nlohmann::json& arguments) -> nlohmann::json {
        const std::string text = arguments.is_null() ? std::string("{}") : dump_json(arguments, -1);
        std::string reply = function(text);
        nlohmann::json parsed = parse_json_bounded(reply);
        if (parsed.is_discarded()) {
            // Plain-text answers of the host count as successes.
            return nlohmann::json{{"success", true}, {"result", std::move(reply)}};
        }
        return parsed;
    };
}

ToolSpec map_tool_spec(const vexa_core::ToolParameterSpec& spec, vexa_core::ToolExecutor executor) {
    ToolSpec mapped;
    mapped.name = spec.name;
    mapped.description = spec.description;
    mapped.type = spec.type.empty() ? std::string("object") : spec.type;
    mapped.properties = parse_json_bounded(spec.properties_json);
    if (mapped.properties.is_discarded()) {
        mapped.properties = nlohmann::json::object();  // also for an empty text
    }
    if (!spec.parameters_json.empty()) {
        mapped.parameters = parse_json_bounded(spec.parameters_json);
        if (mapped.parameters.is_discarded()) {
            mapped.parameters = nullptr;
        }
    }
    mapped.required = spec.required;
    mapped.keywords = spec.keywords;
    mapped.executor = make_host_executor(std::move(executor));
    return mapped;
}

bool check_tool_spec(const vexa_core::ToolParameterSpec& spec, std::string& reason) {
    reason.clear();
    if (spec.name.empty()) {
        reason = "the tool name is empty";
        return false;
    }
    // Properties stay lenient (unusable ones become an empty object); a
    // complete schema replaces everything, so a broken one must not pass.
    auto check_object = [&](const std::string& text, const char* what) {
        if (text.empty()) return true;
        std::string error;
        const nlohmann::json value = parse_json_bounded(text, error);
        if (value.is_discarded()) {
            reason = std::string(what) + " is not valid JSON: " + error;
            return false;
        }
        if (!value.is_object()) {
            reason = std::string(what) + " must be a JSON object";
            return false;
        }
        return true;
    };
    return check_object(spec.parameters_json, "parameters_json");
}

void DynamicToolManager::set_registry(ToolRegistry* registry) {
    std::lock_guard lock(mutex_);
    registry_ = registry;
}

std::vector<DynamicToolManager::Entry>::const_iterator DynamicToolManager::find_entry(
    const std::string& name) const {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& entry) { return entry.name == name; });
}

bool DynamicToolManager::register_host_tool(const ToolSpec& spec) {
    std::lock_guard lock(mutex_);
    if (registry_ == nullptr || spec.name.empty()) {
        return false;
    }
    auto existing = find_entry(spec.name);
    if (existing == entries_.end() && registry_->has_tool(spec.name)) {
        return false;  // a built-in tool cannot be replaced by the host
    }
    registry_->register_tool(std::make_shared<DynamicTool>(spec));
    if (existing == entries_.end()) {
        entries_.push_back(Entry{spec.name, spec.keywords});
    } else {
        entries_[static_cast<std::size_t>(existing - entries_.cbegin())].keywords = spec.keywords;
    }
    return true;
}

bool DynamicToolManager::unregister_host_tool(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (registry_ == nullptr) {
        return false;
    }
    auto existing = find_entry(name);
    if (existing == entries_.end()) {
        return false;
    }
    registry_->unregister_tool(name);
    entries_.erase(existing);
    return true;
}

bool DynamicToolManager::is_host_tool(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return find_entry(name) != entries_.end();
}

std::vector<std::string> DynamicToolManager::host_tool_names() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    names.reserve(entries_.size());
    for (const auto& entry : entries_) {
        names.push_back(entry.name);
    }
    return names;
}

std::vector<std::string> DynamicToolManager::select_host_tools(const std::string& message) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> selected;
    std::vector<const Entry*> gated;
    for (const auto& entry : entries_) {
        if (entry.keywords.empty()) {
            selected.push_back(entry.name);
        } else {
            gated.push_back(&entry);
        }
    }
    if (gated.empty()) {
        return selected;
    }
    const std::string lowered = ascii_lower(message);
    for (const Entry* entry : gated) {
        for (const auto& keyword : entry->keywords) {
            if (keyword.empty()) {
                continue;
            }
            if (lowered.find(ascii_lower(keyword)) != std::string::npos) {
                selected.push_back(entry->name);
                break;
            }
        }
    }
    return selected;
}

}  // namespace vexa
