#include "models/model_management_tool.hpp"

#include "config/text_util.hpp"
#include "models/model_manager.hpp"

#include <exception>
#include <utility>

namespace vexa {

using nlohmann::json;

namespace {

json string_property(const char* description) {
    json property = json::object();
    property["type"] = "string";
    property["description"] = description;
    return property;
}

// A member the action uses: missing is empty, any other type than a string
// raises the JSON library's type error.
std::string optional_text(const json& arguments, const char* key) {
    return arguments.value(key, std::string());
}

}  // namespace

std::string ModelManagementTool::name() const { return "model_management"; }

std::string ModelManagementTool::description() const {
    return "Runtime model management tool for Vexa. Use it when the user asks to inspect, list, or switch LLM "
           "models/backends. Use list_local_models before switching to a local model if the user did not give an "
           "exact model id/name/path. Only call switch_local_model after the user clearly selected a local GGUF "
           "model. Use switch_remote_model when the user wants an OpenAI-compatible remote model.";
}

json ModelManagementTool::parameters() const {
    json action = string_property("Model management action to perform");
    action["enum"] = json::array({"status", "list_local_models", "list_remote_models", "switch_local_model",
                                  "switch_remote_model_by_config", "switch_remote_model"});
    json properties = json::object();
    properties["action"] = std::move(action);
    properties["model_selector"] =
        string_property("Local GGUF model id, name, filename, config path, or absolute path for switch_local_model");
    properties["remote_model_selector"] = string_property(
        "Configured remote model id, model name, or provider/model selector for switch_remote_model_by_config");
    properties["model"] = string_property(
        "Configured remote model name for switch_remote_model compatibility; API keys must come from local config");
    properties["base_url"] =
        string_property("Optional OpenAI-compatible base URL for legacy switch_remote_model only");
    properties["backend"] = string_property("Optional remote backend name, default openai_compatible");
    json schema = json::object();
    schema["type"] = "object";
    schema["properties"] = std::move(properties);
    schema["required"] = json::array({"action"});
    return schema;
}

json ModelManagementTool::execute(const json& arguments) {
    try {
        return run(arguments);
    } catch (const json::exception& e) {
        return json{{"success", false}, {"error", std::string("Invalid parameters: ") + e.what()}};
    } catch (const std::exception& e) {
        return json{{"success", false}, {"error", std::string("Model management error: ") + e.what()}};
    } catch (...) {
        return json{{"success", false}, {"error", "Model management error: unknown error"}};
    }
}

json ModelManagementTool::run(const json& arguments) {
    const std::string action = ascii_lower(arguments.at("action").get<std::string>());
    if (action == "status") return manager_->status_json();
    if (action == "list_local_models") return manager_->local_models_json();
    if (action == "list_remote_models") return manager_->remote_models_json();
    if (action == "switch_local_model") {
        return ModelManager::switch_result_json(manager_->switch_local_model(optional_text(arguments, "model_selector")));
    }
    if (action == "switch_remote_model_by_config") {
        std::string selector = optional_text(arguments, "remote_model_selector");
        if (selector.empty()) selector = optional_text(arguments, "model_selector");
        if (selector.empty()) selector = optional_text(arguments, "model");
        return ModelManager::switch_result_json(
            manager_->switch_remote_model_by_config(selector, SwitchRequester::model));
    }
    if (action == "switch_remote_model") {
        const std::string model = optional_text(arguments, "model");
        const std::string base_url = optional_text(arguments, "base_url");
        std::string backend = optional_text(arguments, "backend");
        if (backend.empty()) backend = "openai_compatible";
        // No key from the model, ever: an empty one makes the manager take the
        // configured or catalogued key for the endpoint. The base URL is the
        // model's choice and is held to the endpoints the user listed.
        return ModelManager::switch_result_json(
            manager_->switch_remote_model(model, base_url, "", backend, SwitchRequester::model));
    }
    return json{{"success", false}, {"error", "Unknown model_management action: " + action}};
}

}  // namespace vexa
