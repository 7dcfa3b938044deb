// libFuzzer target for model management: remote_models.json text (parsed in
// memory and loaded from disk), a remote model selector resolved against it,
// and arguments for the model_management tool run with that list in place.
//
// Input: NUL-separated fields, in order: remote_models.json text, selector,
// tool arguments (JSON; text that is no JSON becomes the action), a base URL
// for the URL parser. Missing fields are empty.

#include "models/model_catalog.hpp"
#include "models/model_management_tool.hpp"
#include "models/model_manager.hpp"

#include "config/agent_config.hpp"
#include "config/json_util.hpp"
#include "config/text_util.hpp"

#include "support/url.hpp"

#include "fuzz_check.hpp"
#include "fuzz_io.hpp"
#include "temp_dir.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using fuzz::split;
using fuzz::write_file;
using fuzz::starts_with;

namespace fs = std::filesystem;
using nlohmann::json;

const char* const kSecret = "sk-fuzz-configured-secret-7f3a";
const char* const kBaseUrl = "https://api.configured.example/v1";

const std::string& directory() {
    static const fuzz::TempDir dir("vexa_models_fuzz");
    return dir.path();
}


bool same_text(const std::string& a, const std::string& b) { return vexa::ascii_lower(a) == vexa::ascii_lower(b); }

bool selects(const vexa::RemoteModelInfo& m, const std::string& selector) {
    return same_text(selector, m.id) || same_text(selector, m.model) ||
           same_text(selector, m.provider + "/" + m.model) || same_text(selector, m.provider + ":" + m.model);
}

bool same_entry(const vexa::RemoteModelInfo& a, const vexa::RemoteModelInfo& b) {
    return a.id == b.id && a.provider == b.provider && a.backend == b.backend && a.model == b.model &&
           a.base_url == b.base_url && a.api_key == b.api_key;
}

// One configuration for the whole process, reset before every input.
struct World {
    vexa::AgentConfig config;
    vexa::ModelManager manager{config};
    vexa::ModelManagementTool tool{&manager};

    struct Runtime : vexa::IModelRuntime {
        vexa::ModelRuntimeStatus state;
        bool reconfigure(const vexa::LLMConfig& c, std::string&) override {
            state.has_backend = true;
            state.effective = c;
            return true;
        }
        vexa::ModelRuntimeStatus status() const override { return state; }
    } runtime;

    World() {
        const fs::path base = directory();
        fs::create_directories(base / "config");
        fs::create_directories(base / "model");
        write_file(base / "model" / "alpha.gguf", "GGUF");
        write_file(base / "model" / "Beta.GGUF", "GGUF");
        config.base_dir = base.string();
        config.config_path = (base / "config" / "agent_config.json").string();
        manager.bind(&runtime);
    }

    void reset() {
        config.llm = vexa::LLMConfig{};
        config.llm.backend = "openai_compatible";
        config.llm.base_url = kBaseUrl;
        config.llm.api_key = kSecret;
        config.llm.model = "configured";
        runtime.state = vexa::ModelRuntimeStatus{};
    }
};

World& world() {
    static World w;
    return w;
}

void check_list(const std::vector<vexa::RemoteModelInfo>& models, const std::string& error) {
    if (!error.empty()) {
        FUZZ_CHECK(models.empty());
        FUZZ_CHECK(starts_with(error, "Failed to parse remote model config: ") ||
                   starts_with(error, "Remote model config must be a JSON array: "));
        return;
    }
    for (const vexa::RemoteModelInfo& m : models) {
        FUZZ_CHECK(!m.id.empty() && !m.provider.empty() && !m.model.empty() && !m.base_url.empty());
        FUZZ_CHECK(m.backend == "openai_compatible");
        for (const std::string* field : {&m.id, &m.provider, &m.model, &m.api_key}) {
            FUZZ_CHECK(vexa::trim_space(*field) == *field);
        }
        FUZZ_CHECK(m.base_url.back() != '/' && m.base_url.back() != '\\');
    }
}

void fuzz_remote_list(const std::string& text, const std::string& selector) {
    const std::string path = vexa::remote_models_path(world().config);
    std::string error = "stale";
    const std::vector<vexa::RemoteModelInfo> models = vexa::parse_remote_models(text, path, error);
    check_list(models, error);

    // The file on disk reads the same as the text in memory.
    write_file(path, text);
    std::string disk_error = "stale";
    const std::vector<vexa::RemoteModelInfo> loaded = vexa::load_remote_models(path, disk_error);
    FUZZ_CHECK(disk_error == error);
    FUZZ_CHECK(loaded.size() == models.size());
    for (std::size_t i = 0; i < models.size(); ++i) FUZZ_CHECK(same_entry(loaded[i], models[i]));

    if (error.empty()) {
        std::string select_error = "stale";
        const auto chosen = vexa::select_remote_model(models, path, selector, select_error);
        const std::string wanted = vexa::trim_space(selector);
        const auto matches = std::count_if(models.begin(), models.end(),
                                           [&](const vexa::RemoteModelInfo& m) { return selects(m, wanted); });
        if (chosen) {
            FUZZ_CHECK(select_error.empty());
            FUZZ_CHECK(std::any_of(models.begin(), models.end(),
                                   [&](const vexa::RemoteModelInfo& m) { return same_entry(m, *chosen); }));
            FUZZ_CHECK(wanted.empty() ? models.size() == 1 : (matches == 1 && selects(*chosen, wanted)));
        } else if (models.empty()) {
            FUZZ_CHECK(select_error == "No supported remote models are configured in: " + path);
        } else if (wanted.empty()) {
            FUZZ_CHECK(models.size() > 1);
            FUZZ_CHECK(starts_with(select_error, "Multiple remote models are configured."));
        } else if (matches == 0) {
            FUZZ_CHECK(select_error == "Remote model not found: " + wanted);
        } else {
            FUZZ_CHECK(matches > 1);
            FUZZ_CHECK(starts_with(select_error, "Remote model selector is ambiguous: " + wanted + "."));
        }
    }

    // The list for the host never carries a key itself.
    const json listed = vexa::remote_models_json(world().config);
    FUZZ_CHECK(listed["success"] == error.empty());
    FUZZ_CHECK(listed["count"] == models.size());
    for (const json& item : listed["models"]) FUZZ_CHECK(!item.contains("api_key"));
    FUZZ_CHECK(!vexa::dump_json(listed, 2).empty());
}

void fuzz_tool(const std::string& text, bool input_names_secret) {
    World& w = world();
    w.reset();
    json arguments = vexa::parse_json_bounded(text);
    if (arguments.is_discarded()) arguments = json{{"action", text}};

    const json result = w.tool.execute(arguments);
    FUZZ_CHECK(result.is_object());
    FUZZ_CHECK(result.contains("success") && result["success"].is_boolean());
    if (result["success"] == false) {
        FUZZ_CHECK(result.contains("error") && result["error"].is_string() &&
                   !result["error"].get<std::string>().empty());
    }
    const std::string shown = vexa::dump_json(result, -1);
    FUZZ_CHECK(!shown.empty());
    if (input_names_secret) return;

    // The configured key never shows, and never goes to another origin than
    // the one it was configured for.
    FUZZ_CHECK(shown.find(kSecret) == std::string::npos);
    const vexa::LLMConfig& now = w.config.llm;
    if (now.api_key == kSecret) {
        const auto origin = vexa::url_origin(now.base_url);
        FUZZ_CHECK(now.base_url == kBaseUrl || (origin && origin == vexa::url_origin(kBaseUrl)));
    }
    // Nothing the model does costs the stored key (the list does not hold it).
    FUZZ_CHECK(now.api_key == kSecret);
    // What the client runs with: the key only at its origin, and a base URL
    // that passed the checks.
    if (w.runtime.state.has_backend) {
        const vexa::LLMConfig& running = w.runtime.state.effective;
        if (running.api_key == kSecret) FUZZ_CHECK(vexa::url_origin(running.base_url) == vexa::url_origin(kBaseUrl));
        FUZZ_CHECK(running.base_url.empty() || running.base_url == kBaseUrl ||
                   vexa::base_url_problem(running.base_url).empty());
    }
}

void fuzz_url(const std::string& url) {
    std::string why;
    const auto parts = vexa::parse_http_url(url, &why);
    const std::string problem = vexa::base_url_problem(url);
    if (!parts) {
        FUZZ_CHECK(starts_with(why, "the base URL "));
        FUZZ_CHECK(problem == why);
        return;
    }
    FUZZ_CHECK(parts->scheme == "http" || parts->scheme == "https");
    FUZZ_CHECK(parts->port >= 1 && parts->port <= 65535);
    FUZZ_CHECK(!parts->host.empty() && parts->host.find('@') == std::string::npos);
    for (const char c : url) FUZZ_CHECK(static_cast<unsigned char>(c) > 0x20 && c != 0x7f);
    FUZZ_CHECK(problem.empty() || starts_with(problem, "the base URL "));
    // An origin reads back as itself.
    const auto origin = vexa::url_origin(url);
    FUZZ_CHECK(origin.has_value());
    FUZZ_CHECK(vexa::url_origin(*origin) == origin);
    if (problem.empty()) FUZZ_CHECK(!vexa::is_link_local_host(parts->host));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> fields = split(input, '\0');
    fields.resize(std::max<std::size_t>(fields.size(), 4));
    fuzz_remote_list(fields[0], fields[1]);
    // Texts are echoed lower-cased (an unknown action), so any spelling counts.
    fuzz_tool(fields[2], vexa::ascii_lower(input).find(kSecret) != std::string::npos);
    fuzz_url(fields[3]);
    return 0;
}
