#include "tools/tool_registry.hpp"

#include "config/json_util.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace vexa {

namespace {

nlohmann::json failure(const std::string& error) {
    return nlohmann::json{{"success", false}, {"error", error}};
}

}  // namespace

void ToolRegistry::register_tool(std::shared_ptr<ITool> tool) {
    if (!tool) {
        throw std::invalid_argument("Cannot register null tool");
    }
    std::string name = tool->name();
    // The replaced object is released after the lock is dropped, or later by
    // a call that is still using it.
    std::shared_ptr<ITool> replaced;
    std::unique_lock lock(mutex_);
    auto [it, inserted] = tools_.try_emplace(name);
    replaced = std::exchange(it->second, std::move(tool));
    if (inserted) {
        order_.push_back(std::move(name));
    }
}

void ToolRegistry::unregister_tool(const std::string& name) {
    std::shared_ptr<ITool> released;  // destroyed after the lock is dropped
    std::unique_lock lock(mutex_);
    auto it = tools_.find(name);
    if (it == tools_.end()) {
        return;
    }
    released = std::move(it->second);
    tools_.erase(it);
    order_.erase(std::find(order_.begin(), order_.end(), name));
}

bool ToolRegistry::has_tool(const std::string& name) const {
    std::shared_lock lock(mutex_);
    return tools_.count(name) != 0;
}

std::shared_ptr<ITool> ToolRegistry::find_tool(const std::string& name) const {
    std::shared_lock lock(mutex_);
    auto it = tools_.find(name);
    return it == tools_.end() ? nullptr : it->second;
}

std::vector<std::string> ToolRegistry::tool_names() const {
    std::shared_lock lock(mutex_);
    return order_;
}

nlohmann::json ToolRegistry::tool_definitions(const std::vector<std::string>& names) const {
    nlohmann::json definitions = nlohmann::json::array();
    for (const auto& name : names) {
        std::shared_ptr<ITool> tool = find_tool(name);
        if (!tool) {
            continue;
        }
        definitions.push_back({{"type", "function"},
                               {"function",
                                {{"name", tool->name()},
                                 {"description", tool->description()},
                                 {"parameters", tool->parameters()}}}});
    }
    return definitions;
}

std::string ToolRegistry::execute_tool_call(const ToolCall& call) const {
    // Holding our own reference keeps the tool alive even if it is
    // unregistered while it runs.
    std::shared_ptr<ITool> tool = find_tool(call.name);
    nlohmann::json outcome;
    if (!tool) {
        outcome = failure("Tool not found: " + call.name);
    } else {
        try {
            nlohmann::json arguments;  // null when the model sent nothing
            std::string parse_error;
            if (!call.arguments.empty()) {
                arguments = parse_json_bounded(call.arguments, parse_error);
            }
            if (!parse_error.empty()) {
                outcome = failure("Failed to parse arguments: " + parse_error);
            } else {
                outcome = tool->execute(arguments);
            }
        } catch (const nlohmann::json::parse_error& e) {
            outcome = failure(std::string("Failed to parse arguments: ") + e.what());
        } catch (const std::exception& e) {
            outcome = failure(std::string("Tool execution error: ") + e.what());
        }
    }
    return dump_json(outcome, -1);
}

}  // namespace vexa
