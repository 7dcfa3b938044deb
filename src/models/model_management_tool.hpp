#pragma once
// The built-in tool through which the model inspects, lists and switches
// models. The model can never hand it an API key: keys come from the
// configuration or the remote model list only.

#include "tools/tool.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace vexa {

class ModelManager;

class ModelManagementTool : public ITool {
public:
    // `manager` is not owned and must outlive the tool (the agent owns both).
    explicit ModelManagementTool(ModelManager* manager) : manager_(manager) {}

    std::string name() const override;
    std::string description() const override;
    nlohmann::json parameters() const override;
    // Always an object with "success"; no error escapes. Arguments of the
    // wrong shape give "Invalid parameters: " and the JSON library's message.
    nlohmann::json execute(const nlohmann::json& arguments) override;

private:
    nlohmann::json run(const nlohmann::json& arguments);

    ModelManager* manager_;
};

}  // namespace vexa
