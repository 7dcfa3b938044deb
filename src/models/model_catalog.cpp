#include "models/model_catalog.hpp"

#include "config/json_util.hpp"
#include "config/text_util.hpp"
#include "llm/local/llama_runtime.hpp"
#include "support/fs_util.hpp"
#include "support/platform.hpp"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

namespace vexa {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool equals_ignoring_case(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ascii_lower(a) == ascii_lower(b);
}

bool has_gguf_extension(const fs::path& path) {
    return ascii_lower(path_to_utf8(path.extension())) == ".gguf";
}

// Written the same under every C locale: the host may have switched the
// decimal point to a comma.
std::string megabytes_text(std::uint64_t bytes) {
    const double megabytes = static_cast<double>(bytes) / 1024.0 / 1024.0;
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, megabytes, std::chars_format::fixed, 2);
    if (ec != std::errc()) return "0.00 MB";
    return std::string(buffer, end) + " MB";
}

std::uint64_t file_size_or_zero(const fs::path& path) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint64_t>(size);
}

// The model path as saved into the configuration: under a relative model
// directory the saved path stays relative, so the base directory can move.
std::string scanned_config_path(const AgentConfig& config, const fs::path& file_name, const std::string& full) {
    const std::string& dir = config.paths.model_dir;
    if (platform::is_absolute_path(dir)) return full;
    return path_to_utf8(path_from_utf8(dir) / file_name);
}

void sort_and_number(std::vector<LocalModelInfo>& models) {
    std::sort(models.begin(), models.end(), [](const LocalModelInfo& a, const LocalModelInfo& b) {
        const std::string la = ascii_lower(a.name);
        const std::string lb = ascii_lower(b.name);
        if (la != lb) return la < lb;
        return a.path < b.path;  // names equal but for case: keep the order stable
    });
    for (std::size_t i = 0; i < models.size(); ++i) models[i].id = std::to_string(i + 1);
}

json local_model_json(const LocalModelInfo& model) {
    json item = json::object();
    item["id"] = model.id;
    item["name"] = model.name;
    item["path"] = model.path;
    item["config_path"] = model.config_path;
    item["size_bytes"] = model.size_bytes;
    item["size"] = megabytes_text(model.size_bytes);
    return item;
}

std::string without_trailing_separators(std::string text) {
    while (!text.empty() && (text.back() == '/' || text.back() == '\\')) text.pop_back();
    return text;
}

bool is_openai_provider(const std::string& provider) {
    const std::string lowered = ascii_lower(provider);
    return lowered == "openai" || lowered == "openai_compatible" || lowered == "openai-compatible" ||
           lowered == "http";
}

}  // namespace

// ---- local models -------------------------------------------------------------

std::vector<LocalModelInfo> scan_local_models(const AgentConfig& config) {
    std::vector<LocalModelInfo> models;
    try {
        const fs::path dir = path_from_utf8(config.resolve_path(config.paths.model_dir));
        std::error_code ec;
        if (!fs::is_directory(dir, ec) || ec) return models;
        fs::directory_iterator it(dir, ec);
        // An error while listing ends the scan; what was found so far is kept.
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const fs::directory_entry& entry = *it;
            std::error_code type_ec;
            if (!entry.is_regular_file(type_ec) || type_ec) continue;
            const fs::path file_name = entry.path().filename();
            if (!has_gguf_extension(file_name)) continue;
            if (ascii_lower(path_to_utf8(file_name)).rfind("ggml-vocab-", 0) == 0) continue;
            LocalModelInfo model;
            model.name = path_to_utf8(file_name.stem());
            model.path = path_to_utf8((dir / file_name).lexically_normal());
            model.config_path = scanned_config_path(config, file_name, model.path);
            model.size_bytes = file_size_or_zero(entry.path());
            models.push_back(std::move(model));
        }
    } catch (const std::exception&) {
        // An unconvertible name or a failing allocation ends the scan the same way.
    }
    sort_and_number(models);
    return models;
}

std::optional<LocalModelInfo> find_local_model(const AgentConfig& config, const std::string& selector) {
    const std::string wanted = trim_space(selector);
    if (wanted.empty()) return std::nullopt;
    for (LocalModelInfo& model : scan_local_models(config)) {
        std::string file_name;
        try {
            file_name = path_to_utf8(path_from_utf8(model.path).filename());
        } catch (const std::exception&) {
        }
        if (equals_ignoring_case(wanted, model.id) || equals_ignoring_case(wanted, model.name) ||
            equals_ignoring_case(wanted, file_name) || equals_ignoring_case(wanted, model.path) ||
            equals_ignoring_case(wanted, model.config_path)) {
            return std::move(model);
        }
    }
    return std::nullopt;
}

std::optional<LocalModelInfo> local_model_from_path(const AgentConfig& config, const std::string& selector) {
    const std::string wanted = trim_space(selector);
    if (wanted.empty()) return std::nullopt;
    try {
        const bool relative = !platform::is_absolute_path(wanted);
        const fs::path path = path_from_utf8(relative ? config.resolve_path(wanted) : wanted).lexically_normal();
        std::error_code ec;
        if (!fs::is_regular_file(path, ec) || ec || !has_gguf_extension(path)) return std::nullopt;
        LocalModelInfo model;
        model.id = "custom";
        model.name = path_to_utf8(path.stem());
        model.path = path_to_utf8(path);
        model.config_path = relative ? wanted : model.path;
        model.size_bytes = file_size_or_zero(path);
        return model;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool is_safetensors_model_path(const std::string& path) {
    if (path.empty()) return false;
    try {
        return is_safetensors_model(path_from_utf8(path));
    } catch (const std::exception&) {
        return false;  // a directory that cannot be listed is no model we can name
    }
}

json local_models_json(const AgentConfig& config) {
    const std::vector<LocalModelInfo> models = scan_local_models(config);
    json list = json::array();
    for (const LocalModelInfo& model : models) list.push_back(local_model_json(model));
    json out = json::object();
    out["success"] = true;
    out["model_dir"] = config.paths.model_dir;
    out["model_dir_resolved"] = config.resolve_path(config.paths.model_dir);
    out["count"] = models.size();
    out["models"] = std::move(list);
    out["message"] = models.empty()
                         ? "No GGUF models found in the configured model directory."
                         : "Ask the user to choose one model by id or name before switching, unless they already "
                           "gave an explicit selection.";
    return out;
}

// ---- remote models ------------------------------------------------------------

std::string remote_models_path(const AgentConfig& config) {
    try {
        const fs::path dir = path_from_utf8(config.resolve_path(config.paths.config_dir));
        return path_to_utf8((dir / "remote_models.json").lexically_normal());
    } catch (const std::exception&) {
        return {};
    }
}

std::vector<RemoteModelInfo> parse_remote_models(std::string_view text, const std::string& path,
                                                 std::string& error) {
    error.clear();
    std::vector<RemoteModelInfo> models;
    // Copying and comparing a value recurse per level; refuse what nests deeper
    // than anything legitimate before building it.
    if (!json_text_depth_within(text)) {
        error = "Failed to parse remote model config: " + json_depth_error();
        return models;
    }
    try {
        // Reads the first JSON value; whatever follows it is ignored.
        std::istringstream in{std::string(text)};
        json root;
        in >> root;
        if (!root.is_array()) {
            error = "Remote model config must be a JSON array: " + path;
            return models;
        }
        for (const json& element : root) {
            if (!element.is_object()) continue;
            RemoteModelInfo model;
            model.provider = trim_space(element.value("provider", std::string()));
            model.model = trim_space(element.value("model", std::string()));
            model.base_url = without_trailing_separators(trim_space(element.value("base_url", std::string())));
            model.api_key = trim_space(element.value("api_key", std::string()));
            model.id = trim_space(element.value("id", std::string()));
            if (is_openai_provider(model.provider)) model.backend = "openai_compatible";
            if (model.provider.empty() || model.backend.empty() || model.model.empty() || model.base_url.empty()) {
                continue;
            }
            if (model.id.empty()) model.id = std::to_string(models.size() + 1);
            models.push_back(std::move(model));
        }
    } catch (const json::exception& e) {
        error = std::string("Failed to parse remote model config: ") + e.what();
        models.clear();
    }
    return models;
}

std::vector<RemoteModelInfo> load_remote_models(const std::string& path, std::string& error) {
    error.clear();
    if (path.empty()) {
        error = "Remote model config path is empty.";
        return {};
    }
    std::string text;
    try {
        const fs::path file = path_from_utf8(path);
        std::error_code ec;
        const fs::file_status status = fs::status(file, ec);
        if (status.type() == fs::file_type::not_found) return {};
        std::ifstream in;
        // A directory "opens" on some systems; it still cannot be read as a file.
        if (!ec && !fs::is_directory(status)) in.open(file, std::ios::in | std::ios::binary);
        if (!in.is_open()) {
            error = "Failed to open remote model config: " + path;
            return {};
        }
        std::ostringstream buffer;
        buffer << in.rdbuf();
        text = std::move(buffer).str();
    } catch (const std::exception&) {
        error = "Failed to open remote model config: " + path;
        return {};
    }
    return parse_remote_models(text, path, error);
}

std::optional<RemoteModelInfo> select_remote_model(const std::vector<RemoteModelInfo>& models,
                                                   const std::string& path, const std::string& selector,
                                                   std::string& error) {
    error.clear();
    if (models.empty()) {
        error = "No supported remote models are configured in: " + path;
        return std::nullopt;
    }
    const std::string wanted = trim_space(selector);
    if (wanted.empty()) {
        if (models.size() == 1) return models.front();
        error = "Multiple remote models are configured. Please choose one by id, model, or provider/model.";
        return std::nullopt;
    }
    std::vector<const RemoteModelInfo*> matches;
    for (const RemoteModelInfo& model : models) {
        if (equals_ignoring_case(wanted, model.id) || equals_ignoring_case(wanted, model.model) ||
            equals_ignoring_case(wanted, model.provider + "/" + model.model) ||
            equals_ignoring_case(wanted, model.provider + ":" + model.model)) {
            matches.push_back(&model);
        }
    }
    if (matches.size() == 1) return *matches.front();
    if (matches.empty()) {
        error = "Remote model not found: " + wanted;
    } else {
        error = "Remote model selector is ambiguous: " + wanted + ". Please choose by id or provider/model.";
    }
    return std::nullopt;
}

std::optional<RemoteModelInfo> resolve_remote_model(const AgentConfig& config, const std::string& selector,
                                                    std::string& error) {
    const std::string path = remote_models_path(config);
    const std::vector<RemoteModelInfo> models = load_remote_models(path, error);
    if (!error.empty()) return std::nullopt;
    return select_remote_model(models, path, selector, error);
}

json remote_models_json(const AgentConfig& config) {
    const std::string path = remote_models_path(config);
    std::string error;
    const std::vector<RemoteModelInfo> models = load_remote_models(path, error);
    json list = json::array();
    for (const RemoteModelInfo& model : models) {
        json item = json::object();
        item["id"] = model.id;
        item["provider"] = model.provider;
        item["backend"] = model.backend;
        item["model"] = model.model;
        item["base_url"] = model.base_url;
        item["api_key_configured"] = !model.api_key.empty();
        item["api_key_display"] = api_key_display(model.api_key);
        list.push_back(std::move(item));
    }
    json out = json::object();
    out["success"] = error.empty();
    out["config_path"] = path;
    out["count"] = models.size();
    out["models"] = std::move(list);
    if (!error.empty()) {
        out["error"] = error;
    } else if (models.empty()) {
        out["message"] =
            "No supported remote models are configured. Create config/remote_models.json from "
            "config/remote_models.example.json.";
    } else {
        out["message"] =
            "Use switch_remote_model_by_config with a remote_model_selector id, model, or provider/model. API keys "
            "are intentionally omitted.";
    }
    return out;
}

std::string api_key_display(const std::string& key) {
    if (key.empty()) return "not configured";
    if (key.size() <= 6) return "configured";
    return "configured (..." + key.substr(key.size() - 4) + ")";
}

}  // namespace vexa
