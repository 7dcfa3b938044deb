// The model catalog: the local scan and its selectors, safetensors detection,
// the remote list's acceptance rules and selectors, and both JSON lists.

#include "models/model_catalog.hpp"

#include "models_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::write_text;
using ::testing::StartsWith;

class ModelCatalogTest : public test::ModelsFixture {};

std::string normal(const fs::path& path) { return path_to_utf8(path.lexically_normal()); }

// ------------------------------------------------------------ local scan

TEST_F(ModelCatalogTest, ScanKeepsGgufFilesSortedAndNumbered) {
    add_model("Beta.gguf", 2048);
    add_model("alpha.GGUF", 16);
    add_model("ggml-vocab-llama.gguf");
    add_model("GGML-VOCAB-upper.gguf");
    add_model("notes.txt");
    add_model("weights.gguf.part");
    fs::create_directories(model_dir() / "folder.gguf");

    const std::vector<LocalModelInfo> models = scan_local_models(config);
    ASSERT_EQ(models.size(), 2u);
    EXPECT_EQ(models[0].id, "1");
    EXPECT_EQ(models[0].name, "alpha");
    EXPECT_EQ(models[0].path, normal(model_dir() / "alpha.GGUF"));
    EXPECT_EQ(models[0].config_path, path_to_utf8(fs::path("./model") / "alpha.GGUF")) << "stays relative";
    EXPECT_EQ(models[0].size_bytes, 16u);
    EXPECT_EQ(models[1].id, "2");
    EXPECT_EQ(models[1].name, "Beta");
    EXPECT_EQ(models[1].size_bytes, 2048u);
    EXPECT_TRUE(fs::path(models[1].path).is_absolute());
}

TEST_F(ModelCatalogTest, AbsoluteModelDirectoryGivesAbsoluteConfigPaths) {
    add_model("x.gguf");
    config.paths.model_dir = path_to_utf8(model_dir());
    const auto models = scan_local_models(config);
    ASSERT_EQ(models.size(), 1u);
    EXPECT_EQ(models[0].config_path, models[0].path);
    EXPECT_EQ(models[0].path, normal(model_dir() / "x.gguf"));
}

TEST_F(ModelCatalogTest, MissingOrUnusableModelDirectoryIsAnEmptyList) {
    config.paths.model_dir = "./absent";
    EXPECT_TRUE(scan_local_models(config).empty());
    add_file(dir.path() / "plain-file");
    config.paths.model_dir = "./plain-file";
    EXPECT_TRUE(scan_local_models(config).empty());
    config.paths.model_dir = "";  // the base directory itself: no models there
    EXPECT_TRUE(scan_local_models(config).empty());
}

// --------------------------------------------------------------- selectors

TEST_F(ModelCatalogTest, SelectorsTable) {
    add_model("alpha.gguf");
    add_model("Beta.gguf");
    add_model("2.gguf");  // its name equals another model's id
    const fs::path outside = add_file(dir.path() / "elsewhere" / "Custom.GGUF", 64);
    add_file(dir.path() / "elsewhere" / "readme.md");
    fs::create_directories(dir.path() / "st");
    add_file(dir.path() / "st" / "config.json");
    add_file(dir.path() / "st" / "model-00001.safetensors");
    add_model("single.SafeTensors");
    // Sorted: "2" id 1, "alpha" id 2, "Beta" id 3.

    struct Case {
        std::string label;
        std::string selector;
        std::string scanned;     // name found by find_local_model, "" = none
        std::string by_path;     // name found by local_model_from_path, "" = none
        bool safetensors;
    };
    const std::vector<Case> cases = {
        {"id", "3", "Beta", "", false},
        {"name in another case", "beta", "Beta", "", false},
        {"file name in capitals", "BETA.GGUF", "Beta", "", false},
        {"config path", path_to_utf8(fs::path("./model") / "Beta.gguf"), "Beta", "Beta", false},
        {"absolute path", normal(model_dir() / "Beta.gguf"), "Beta", "Beta", false},
        {"blanks around", "  alpha \t", "alpha", "", false},
        {"id of one and name of another: the first in order wins", "2", "2", "", false},
        {"relative custom path", "elsewhere/Custom.GGUF", "", "Custom", false},
        {"absolute custom path", normal(outside), "", "Custom", false},
        {"not a model file", "elsewhere/readme.md", "", "", false},
        {"missing", "gamma", "", "", false},
        {"empty", "  ", "", "", false},
        {"safetensors folder", "st", "", "", true},
        {"safetensors file", normal(model_dir() / "single.SafeTensors"), "", "", true},
        {"folder without config.json", "elsewhere", "", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::optional<LocalModelInfo> scanned = find_local_model(config, c.selector);
        EXPECT_EQ(scanned ? scanned->name : "", c.scanned);
        const std::optional<LocalModelInfo> by_path = local_model_from_path(config, c.selector);
        EXPECT_EQ(by_path ? by_path->name : "", c.by_path);
        if (by_path) {
            EXPECT_EQ(by_path->id, "custom");
        }
        const std::string resolved =
            fs::path(c.selector).is_absolute() ? c.selector : config.resolve_path(c.selector);
        EXPECT_EQ(is_safetensors_model_path(resolved), c.safetensors);
    }

    const auto custom = local_model_from_path(config, "elsewhere/Custom.GGUF");
    ASSERT_TRUE(custom);
    EXPECT_EQ(custom->config_path, "elsewhere/Custom.GGUF") << "a relative selector is saved as given";
    EXPECT_EQ(custom->path, normal(outside));
    EXPECT_EQ(custom->size_bytes, 64u);
    const auto absolute = local_model_from_path(config, normal(outside));
    ASSERT_TRUE(absolute);
    EXPECT_EQ(absolute->config_path, normal(outside));
    EXPECT_FALSE(is_safetensors_model_path(""));
    EXPECT_FALSE(is_safetensors_model_path(path_to_utf8(dir.path() / "nothing-here")));
}

// -------------------------------------------------------------- local JSON

TEST_F(ModelCatalogTest, LocalModelsJson) {
    json list = local_models_json(config);
    EXPECT_EQ(list["success"], true);
    EXPECT_EQ(list["count"], 0);
    EXPECT_EQ(list["models"], json::array());
    EXPECT_EQ(list["model_dir"], "./model");
    EXPECT_EQ(list["model_dir_resolved"], config.resolve_path("./model"));
    EXPECT_EQ(list["message"], "No GGUF models found in the configured model directory.");

    add_model("big.gguf", 1572864);  // 1.5 MiB, sparse
    list = local_models_json(config);
    EXPECT_EQ(list["count"], 1);
    EXPECT_EQ(list["message"],
              "Ask the user to choose one model by id or name before switching, unless they already gave an "
              "explicit selection.");
    const json expected = {{"id", "1"},
                           {"name", "big"},
                           {"path", normal(model_dir() / "big.gguf")},
                           {"config_path", path_to_utf8(fs::path("./model") / "big.gguf")},
                           {"size_bytes", 1572864},
                           {"size", "1.50 MB"}};
    EXPECT_EQ(list["models"][0], expected);
    EXPECT_TRUE(list["models"][0]["size_bytes"].is_number_integer());
}

// ------------------------------------------------------------ remote list

TEST_F(ModelCatalogTest, RemoteListAcceptanceRules) {
    const std::string path = "/cfg/remote_models.json";
    struct Case {
        std::string label;
        std::string text;
        std::string error;  // exact, or a prefix when ending in "*"
        std::vector<std::string> entries;  // "id|provider|backend|model|base_url|api_key"
    };
    const std::vector<Case> cases = {
        {"empty array", "[]", "", {}},
        {"provider spellings, trimming, ids by accepted position",
         R"([{"provider":" OpenAI ","model":" m1 ","base_url":" https://a.example/v1/ ","api_key":" k1 "},
             {"provider":"anthropic","model":"m2","base_url":"https://b.example"},
             {"provider":"openai_compatible","model":"m3","base_url":"http://c.example\\/"},
             {"id":"  ","provider":"OpenAI-Compatible","model":"m4","base_url":"http://d.example//"},
             {"id":"own","provider":"HTTP","model":"m5","base_url":"http://e.example"}])",
         "",
         {"1|OpenAI|openai_compatible|m1|https://a.example/v1|k1", "2|openai_compatible|openai_compatible|m3|http://c.example|",
          "3|OpenAI-Compatible|openai_compatible|m4|http://d.example|", "own|HTTP|openai_compatible|m5|http://e.example|"}},
        {"missing members and other elements are skipped",
         R"([1, "x", null, [], {"provider":"openai","model":"m"}, {"provider":"openai","base_url":"u"},
             {"model":"m","base_url":"u"}, {"provider":"openai","model":"ok","base_url":"/"},
             {"provider":"openai","model":"m6","base_url":"u6","extra":5}])",
         "",
         {"1|openai|openai_compatible|m6|u6|"}},
        {"text after the value is ignored", R"([{"provider":"http","model":"m","base_url":"u"}] trailing)", "",
         {"1|http|openai_compatible|m|u|"}},
        {"not an array", R"({"provider":"openai"})", "Remote model config must be a JSON array: " + path, {}},
        {"syntax error", R"([{"provider":)", "Failed to parse remote model config: [json.exception.parse_error.101]*",
         {}},
        {"empty file", "", "Failed to parse remote model config: [json.exception.parse_error.101]*", {}},
        {"a member of another type empties the list",
         R"([{"provider":"openai","model":"m","base_url":"u"}, {"provider":"openai","model":7,"base_url":"u"}])",
         "Failed to parse remote model config: [json.exception.type_error.302] type must be string, but is number",
         {}},
        {"null is another type too", R"([{"provider":"openai","model":"m","base_url":"u","api_key":null}])",
         "Failed to parse remote model config: [json.exception.type_error.302] type must be string, but is null", {}},
        {"nesting too deep", "[" + std::string(300, '[') + std::string(301, ']'),
         "Failed to parse remote model config: JSON nested deeper than 256 levels", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string error = "stale";
        const std::vector<RemoteModelInfo> models = parse_remote_models(c.text, path, error);
        if (!c.error.empty() && c.error.back() == '*') {
            EXPECT_THAT(error, StartsWith(c.error.substr(0, c.error.size() - 1)));
        } else {
            EXPECT_EQ(error, c.error);
        }
        std::vector<std::string> rows;
        for (const auto& m : models) {
            rows.push_back(m.id + "|" + m.provider + "|" + m.backend + "|" + m.model + "|" + m.base_url + "|" +
                           m.api_key);
        }
        EXPECT_EQ(rows, c.entries);
    }
}

TEST_F(ModelCatalogTest, RemoteListFromDisk) {
    std::string error = "stale";
    EXPECT_TRUE(load_remote_models("", error).empty());
    EXPECT_EQ(error, "Remote model config path is empty.");

    const std::string path = remote_models_path(config);
    EXPECT_EQ(path, normal(dir.path() / "config" / "remote_models.json"));
    EXPECT_TRUE(load_remote_models(path, error).empty());
    EXPECT_EQ(error, "") << "a missing file is no error";

    fs::create_directories(remote_file());
    EXPECT_TRUE(load_remote_models(path, error).empty());
    EXPECT_EQ(error, "Failed to open remote model config: " + path);
    fs::remove(remote_file());

    write_remote(R"([{"provider":"openai","model":"m","base_url":"https://x.example/"}])");
    const auto models = load_remote_models(path, error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(models.size(), 1u);
    EXPECT_EQ(models[0].base_url, "https://x.example");
}

TEST_F(ModelCatalogTest, RemoteSelectorsAndAmbiguity) {
    const std::string path = remote_models_path(config);
    std::string error;
    EXPECT_FALSE(resolve_remote_model(config, "", error));
    EXPECT_EQ(error, "No supported remote models are configured in: " + path);

    write_remote(R"([{"provider":"openai","model":"solo","base_url":"https://one.example"}])");
    auto one = resolve_remote_model(config, "  ", error);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->model, "solo") << "an empty selector takes the only entry";

    write_remote(R"([
        {"provider":"openai","model":"gpt-x","base_url":"https://a.example","api_key":"ka"},
        {"provider":"http","model":"GPT-X","base_url":"https://b.example","api_key":"kb"},
        {"id":"fast","provider":"openai","model":"mini","base_url":"https://a.example"},
        {"id":"mini","provider":"openai","model":"other","base_url":"https://c.example"}])");
    struct Case {
        std::string selector;
        std::string base_url;  // "" = not resolved
        std::string error;
    };
    const std::vector<Case> cases = {
        {"gpt-x", "", "Remote model selector is ambiguous: gpt-x. Please choose by id or provider/model."},
        {" OpenAI/GPT-X ", "https://a.example", ""},
        {"http:gpt-x", "https://b.example", ""},
        {"2", "https://b.example", ""},
        {"fast", "https://a.example", ""},
        {"mini", "", "Remote model selector is ambiguous: mini. Please choose by id or provider/model."},
        {"openai/other", "https://c.example", ""},
        {"nothing", "", "Remote model not found: nothing"},
        {"", "", "Multiple remote models are configured. Please choose one by id, model, or provider/model."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("selector '" + c.selector + "'");
        error = "stale";
        const auto model = resolve_remote_model(config, c.selector, error);
        EXPECT_EQ(model ? model->base_url : "", c.base_url);
        EXPECT_EQ(error, c.error);
    }

    write_remote("{");
    EXPECT_FALSE(resolve_remote_model(config, "gpt-x", error));
    EXPECT_THAT(error, StartsWith("Failed to parse remote model config: "));
}

TEST_F(ModelCatalogTest, RemoteModelsJson) {
    json list = remote_models_json(config);
    EXPECT_EQ(list["success"], true);
    EXPECT_EQ(list["count"], 0);
    EXPECT_EQ(list["config_path"], remote_models_path(config));
    EXPECT_THAT(list["message"].get<std::string>(),
                StartsWith("No supported remote models are configured. Create config/remote_models.json"));
    EXPECT_FALSE(list.contains("error"));

    write_remote(R"([{"provider":"openai","model":"m","base_url":"https://a.example","api_key":"sk-1234567890abc"},
                     {"id":"b","provider":"http","model":"n","base_url":"https://b.example"}])");
    list = remote_models_json(config);
    EXPECT_EQ(list["success"], true);
    EXPECT_EQ(list["count"], 2);
    EXPECT_EQ(list["message"],
              "Use switch_remote_model_by_config with a remote_model_selector id, model, or provider/model. API keys "
              "are intentionally omitted.");
    EXPECT_EQ(list["models"][0], json({{"id", "1"},
                                       {"provider", "openai"},
                                       {"backend", "openai_compatible"},
                                       {"model", "m"},
                                       {"base_url", "https://a.example"},
                                       {"api_key_configured", true},
                                       {"api_key_display", "configured (...0abc)"}}));
    EXPECT_EQ(list["models"][1]["api_key_display"], "not configured");
    EXPECT_EQ(list.dump().find("sk-1234567890abc"), std::string::npos) << "keys never leave the library";

    write_remote("[1,");
    list = remote_models_json(config);
    EXPECT_EQ(list["success"], false);
    EXPECT_EQ(list["count"], 0);
    EXPECT_THAT(list["error"].get<std::string>(), StartsWith("Failed to parse remote model config: "));
    EXPECT_FALSE(list.contains("message"));
}

TEST(ModelCatalogKeys, MaskedDisplay) {
    EXPECT_EQ(api_key_display(""), "not configured");
    EXPECT_EQ(api_key_display("abc"), "configured");
    EXPECT_EQ(api_key_display("abcdef"), "configured");
    EXPECT_EQ(api_key_display("abcdefg"), "configured (...defg)");
    EXPECT_EQ(api_key_display("sk-0123456789ab"), "configured (...89ab)");  // 15 bytes
}

}  // namespace
}  // namespace vexa
