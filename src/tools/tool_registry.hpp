#pragma once
// The registry of every tool the model may call, keyed by tool name.

#include "conversation/chat_message.hpp"
#include "tools/tool.hpp"

#include <nlohmann/json.hpp>

#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace vexa {

class ToolRegistry {
public:
    // Replaces an existing tool of the same name (which stays alive while a
    // call on it is still running). Throws std::invalid_argument for null.
    void register_tool(std::shared_ptr<ITool> tool);
    void unregister_tool(const std::string& name);

    bool has_tool(const std::string& name) const;
    // Null when the name is not registered.
    std::shared_ptr<ITool> find_tool(const std::string& name) const;
    // Registration order (a replaced tool keeps its place), so the model sees
    // a stable tool list from turn to turn.
    std::vector<std::string> tool_names() const;

    // [{"type":"function","function":{"name","description","parameters"}}]
    // for each registered name of the list, in the list's order.
    nlohmann::json tool_definitions(const std::vector<std::string>& names) const;

    // Runs the call and returns the compact JSON text of its outcome; every
    // failure is itself an outcome ({"error":...,"success":false}).
    std::string execute_tool_call(const ToolCall& call) const;

private:
    // Registration happens on the host's thread while lookups run on the
    // agent's threads; the lock covers the map only, never a tool's execute.
    mutable std::shared_mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<ITool>> tools_;
    std::vector<std::string> order_;
};

}  // namespace vexa
