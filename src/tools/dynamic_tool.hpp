#pragma once
// Tools registered by the host at run time, and the bookkeeping of which
// registry entries came from the host.

#include "tools/tool.hpp"
#include "tools/tool_registry.hpp"
#include "vexa_core/core_session.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace vexa {

using ToolExecutorFn = std::function<nlohmann::json(const nlohmann::json&)>;
// The host's side of a tool: argument JSON text in, result text out.
using HostToolFunction = std::function<std::string(const std::string&)>;

class DynamicTool : public ITool {
public:
    explicit DynamicTool(ToolSpec spec);

    std::string name() const override;
    std::string description() const override;
    // The complete schema when one was given, else one built from type,
    // properties and required.
    nlohmann::json parameters() const override;
    // Never throws: a missing or failing executor becomes a failure result.
    nlohmann::json execute(const nlohmann::json& arguments) override;

    const ToolSpec& spec() const { return spec_; }

private:
    ToolSpec spec_;
};

// Adapts a host function to a tool executor: null arguments are sent as "{}",
// a reply that is one JSON value is the result, any other reply counts as a
// success carrying the text as "result". Exceptions of the host function pass
// through (DynamicTool::execute reports them). Empty function -> empty executor.
ToolExecutorFn make_host_executor(HostToolFunction function);

// The host's public tool record as a ToolSpec. Unparsable properties become
// an empty object, an unparsable complete schema becomes null (so the schema
// is built from the parts); the executor wraps `executor` with
// make_host_executor.
ToolSpec map_tool_spec(const vexa_core::ToolParameterSpec& spec, vexa_core::ToolExecutor executor);

// Checks a host's tool description before registration: a name is required,
// and a complete schema, when given, must be a JSON object nested no deeper
// than the library accepts. False with a short reason otherwise.
bool check_tool_spec(const vexa_core::ToolParameterSpec& spec, std::string& reason);

class DynamicToolManager {
public:
    // Null until the built-in tools are registered; registration fails before.
    void set_registry(ToolRegistry* registry);

    // False when there is no registry, the name is empty, or the name belongs
    // to a tool that is not a host tool. Re-registering a host tool replaces
    // it, keywords included.
    bool register_host_tool(const ToolSpec& spec);
    bool unregister_host_tool(const std::string& name);
    bool is_host_tool(const std::string& name) const;
    // Registration order.
    std::vector<std::string> host_tool_names() const;

    // The host tools to offer for a user message: first those without
    // keywords, then those with a keyword occurring in the message (ASCII
    // case folding only; a keyword also matches inside a longer word).
    std::vector<std::string> select_host_tools(const std::string& message) const;

private:
    struct Entry {
        std::string name;
        std::vector<std::string> keywords;
    };

    std::vector<Entry>::const_iterator find_entry(const std::string& name) const;

    mutable std::mutex mutex_;
    ToolRegistry* registry_ = nullptr;
    std::vector<Entry> entries_;
};

}  // namespace vexa
