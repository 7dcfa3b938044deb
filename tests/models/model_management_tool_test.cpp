// The model_management tool: its description and schema as the model sees
// them, action dispatch, and the handling of arguments of the wrong shape.

#include "models/model_management_tool.hpp"

#include "models/model_manager.hpp"
#include "models_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace vexa {
namespace {

using nlohmann::json;
using ::testing::StartsWith;

class ModelManagementToolTest : public test::ModelsFixture {
protected:
    ModelManagementToolTest() : manager(config), tool(&manager) { manager.bind(&runtime); }

    ModelManager manager;
    ModelManagementTool tool;
};

TEST_F(ModelManagementToolTest, NameDescriptionAndSchema) {
    EXPECT_EQ(tool.name(), "model_management");
    EXPECT_EQ(tool.description(),
              "Runtime model management tool for Vexa. Use it when the user asks to inspect, list, or switch LLM "
              "models/backends. Use list_local_models before switching to a local model if the user did not give an "
              "exact model id/name/path. Only call switch_local_model after the user clearly selected a local GGUF "
              "model. Use switch_remote_model when the user wants an OpenAI-compatible remote model.");
    const json expected = json::parse(R"({
        "type": "object",
        "required": ["action"],
        "properties": {
            "action": {"type": "string", "description": "Model management action to perform",
                       "enum": ["status", "list_local_models", "list_remote_models", "switch_local_model",
                                "switch_remote_model_by_config", "switch_remote_model"]},
            "model_selector": {"type": "string",
                "description": "Local GGUF model id, name, filename, config path, or absolute path for switch_local_model"},
            "remote_model_selector": {"type": "string",
                "description": "Configured remote model id, model name, or provider/model selector for switch_remote_model_by_config"},
            "model": {"type": "string",
                "description": "Configured remote model name for switch_remote_model compatibility; API keys must come from local config"},
            "base_url": {"type": "string",
                "description": "Optional OpenAI-compatible base URL for legacy switch_remote_model only"},
            "backend": {"type": "string", "description": "Optional remote backend name, default openai_compatible"}
        }})");
    EXPECT_EQ(tool.parameters(), expected);
}

TEST_F(ModelManagementToolTest, ActionsAreLowerCased) {
    add_model("alpha.gguf");
    EXPECT_EQ(tool.execute({{"action", "STATUS"}}), manager.status_json());
    EXPECT_EQ(tool.execute({{"action", "List_Local_Models"}}), manager.local_models_json());
    EXPECT_EQ(tool.execute({{"action", "list_remote_models"}}), manager.remote_models_json());

    const json switched = tool.execute({{"action", "Switch_Local_Model"}, {"model_selector", "1"}});
    EXPECT_EQ(switched["success"], true);
    EXPECT_EQ(switched["active_config"]["model"], "alpha");
    EXPECT_EQ(config.llm.backend, "llama_cpp");
}

TEST_F(ModelManagementToolTest, ArgumentErrorsTable) {
    struct Case {
        std::string label;
        json arguments;
        std::string error;  // exact, or a prefix when ending in "*"
    };
    const std::vector<Case> cases = {
        {"unknown action", {{"action", "FROBNICATE"}}, "Unknown model_management action: frobnicate"},
        {"empty action", {{"action", ""}}, "Unknown model_management action: "},
        {"missing action", json::object(), "Invalid parameters: [json.exception.out_of_range.403]*"},
        {"no arguments at all", json(), "Invalid parameters: [json.exception.type_error.304]*"},
        {"arguments as an array", json::array({"status"}), "Invalid parameters: *"},
        {"action a number", {{"action", 3}}, "Invalid parameters: [json.exception.type_error.302]*"},
        {"selector a number", {{"action", "switch_local_model"}, {"model_selector", 2}},
         "Invalid parameters: [json.exception.type_error.302] type must be string, but is number"},
        {"selector null", {{"action", "switch_local_model"}, {"model_selector", nullptr}},
         "Invalid parameters: [json.exception.type_error.302] type must be string, but is null"},
        {"remote selector an object", {{"action", "switch_remote_model_by_config"}, {"remote_model_selector", {{"a", 1}}}},
         "Invalid parameters: [json.exception.type_error.302]*"},
        {"base_url a list", {{"action", "switch_remote_model"}, {"model", "m"}, {"base_url", json::array()}},
         "Invalid parameters: [json.exception.type_error.302]*"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const json out = tool.execute(c.arguments);
        ASSERT_TRUE(out.is_object());
        EXPECT_EQ(out["success"], false);
        const std::string error = out.value("error", "");
        if (c.error.back() == '*') {
            EXPECT_THAT(error, StartsWith(c.error.substr(0, c.error.size() - 1)));
        } else {
            EXPECT_EQ(error, c.error);
        }
    }
    EXPECT_TRUE(runtime.configured.empty());
}

TEST_F(ModelManagementToolTest, OtherFailuresAreCaught) {
    add_model("alpha.gguf");
    runtime.throw_on_reconfigure = true;
    const json out = tool.execute({{"action", "switch_local_model"}, {"model_selector", "alpha"}});
    EXPECT_EQ(out, json({{"success", false}, {"error", "Model management error: engine exploded"}}));
}

TEST_F(ModelManagementToolTest, RemoteSwitchWithoutUrlIsTheCatalogSwitch) {
    config.llm.api_key.clear();  // no stored key that a catalog switch could replace
    write_remote(R"([{"provider":"openai","model":"gpt-x","base_url":"https://gw.example","api_key":"sk-entry"}])");
    const json by_name = tool.execute({{"action", "switch_remote_model"}, {"model", "gpt-x"}});
    config.llm.model = "configured-model";
    const json by_config =
        tool.execute({{"action", "switch_remote_model_by_config"}, {"remote_model_selector", "gpt-x"}});
    EXPECT_EQ(by_name, by_config);
    EXPECT_EQ(by_name["success"], true);
    EXPECT_EQ(by_name["message"], "Switched to remote model: gpt-x via https://gw.example (openai)");
    EXPECT_EQ(config.llm.api_key, "sk-entry");

    // The selector falls back to model_selector, then to model.
    config.llm.model = "configured-model";
    EXPECT_EQ(tool.execute({{"action", "switch_remote_model_by_config"}, {"model_selector", "gpt-x"}})["success"], true);
    EXPECT_EQ(tool.execute({{"action", "switch_remote_model_by_config"},
                            {"remote_model_selector", ""},
                            {"model", "gpt-x"}})["success"],
              true);
    // No selector at all: the only entry, and with two entries an error.
    EXPECT_EQ(tool.execute({{"action", "switch_remote_model_by_config"}})["success"], true);
    write_remote(R"([{"provider":"openai","model":"a","base_url":"https://a.example"},
                     {"provider":"openai","model":"b","base_url":"https://b.example"}])");
    const json missing = tool.execute({{"action", "switch_remote_model_by_config"}});
    EXPECT_EQ(missing["success"], false);
    EXPECT_EQ(missing["error"],
              "Multiple remote models are configured. Please choose one by id, model, or provider/model.");
}

TEST_F(ModelManagementToolTest, RemoteSwitchWithUrlKeepsTheConfiguredKeyOnlyForItsOrigin) {
    const json same = tool.execute(
        {{"action", "switch_remote_model"}, {"model", "m2"}, {"base_url", "https://api.example.com/v2"}, {"backend", ""}});
    EXPECT_EQ(same["success"], true);
    EXPECT_EQ(same["message"], "Switched to remote model: m2 via https://api.example.com/v2");
    EXPECT_EQ(same["active_config"]["backend"], "openai_compatible");
    EXPECT_EQ(same["active_config"]["api_key_configured"], true);
    EXPECT_EQ(config.llm.api_key, "sk-configured-secret");

    // The model cannot hand over a key of its own, and cannot take the user's
    // elsewhere: an origin the user did not list is refused outright...
    const json away_args = {{"action", "switch_remote_model"},
                            {"model", "m3"},
                            {"base_url", "https://collector.example/v1"},
                            {"api_key", "sk-from-model"}};
    const json refused = tool.execute(away_args);
    EXPECT_EQ(refused["success"], false);
    EXPECT_EQ(refused["error"],
              "Model switch refused: https://collector.example:443 is neither the configured endpoint nor listed in "
              "remote_models.json, and switches to other endpoints are not allowed "
              "(agent.allow_unlisted_model_endpoints).");
    EXPECT_EQ(config.llm.base_url, "https://api.example.com/v2");

    // ...and where the host allows such switches, it holds for the session
    // only, without the key, and the file keeps the key.
    config.agent.allow_unlisted_model_endpoints = true;
    const json away = tool.execute(away_args);
    EXPECT_EQ(away["success"], true);
    EXPECT_EQ(away["persisted"], false);
    EXPECT_EQ(away["active_config"]["api_key_configured"], false);
    EXPECT_EQ(away["active_config"]["base_url"], "https://collector.example/v1");
    EXPECT_EQ(away["message"],
              std::string("Switched to remote model: m3 via https://collector.example/v1 for this session only. It "
                          "was not saved, because the endpoint is neither the configured one nor listed in "
                          "remote_models.json. ") +
                  kApiKeyNotCarriedNotice);
    EXPECT_EQ(runtime.configured.back().api_key, "");
    EXPECT_EQ(config.llm.api_key, "sk-configured-secret");
    EXPECT_EQ(json::parse(test::read_text(config_file()))["llm"]["api_key"], "sk-configured-secret");
    EXPECT_EQ(away.dump().find("sk-"), std::string::npos);
}

// Whatever the model writes into base_url, only plain http(s) URLs pass.
TEST_F(ModelManagementToolTest, HostileBaseUrlsAreRefused) {
    config.agent.allow_unlisted_model_endpoints = true;
    for (const char* url : {"file:///etc/passwd", "unix:///var/run/x.sock", "gopher://127.0.0.1:70/_", "javascript:x",
                            "http://169.254.169.254/latest", "http://a@evil/v1", "http://[::1",
                            "http://evil.example/v1\r\nX: y", "http://[::ffff:169.254.169.254]/"}) {
        SCOPED_TRACE(url);
        const json out = tool.execute({{"action", "switch_remote_model"}, {"model", "m"}, {"base_url", url}});
        EXPECT_EQ(out["success"], false);
        EXPECT_THAT(out["error"].get<std::string>(), StartsWith("Model switch refused: the base URL "));
    }
    EXPECT_TRUE(runtime.configured.empty());
}

}  // namespace
}  // namespace vexa
