#pragma once
// The interface every tool implements, and what the model is told about a tool.

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace vexa {

class ITool {
public:
    virtual ~ITool() = default;
    virtual std::string name() const = 0;
    virtual std::string description() const = 0;
    virtual nlohmann::json parameters() const = 0;
    // Runs on parsed arguments (null when the model sent none); returns an
    // object with a boolean "success" and, on failure, a string "error".
    virtual nlohmann::json execute(const nlohmann::json& arguments) = 0;
};

struct ToolDefinition {
    std::string type = "function";
    std::string name;
    std::string description;
    nlohmann::json parameters;
};

struct ToolSpec {
    std::string name;
    std::string description;
    std::string type;
    nlohmann::json properties;
    std::vector<std::string> required;
    nlohmann::json parameters;
    std::vector<std::string> keywords;
    std::function<nlohmann::json(const nlohmann::json&)> executor;
};

}  // namespace vexa
