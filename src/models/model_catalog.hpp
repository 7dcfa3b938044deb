#pragma once
// The models a user (or the model) can switch to: GGUF files found in the
// configured model directory, and the OpenAI-compatible endpoints listed in
// <config_dir>/remote_models.json. Resolves a selector to exactly one model and
// renders both lists as JSON. Nothing here raises: a missing or unreadable
// directory is an empty list, a bad remote list an error text.

#include "config/agent_config.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

struct LocalModelInfo {
    std::string id;           // "1", "2", ... in scan order; "custom" for a model given by path
    std::string name;         // file name without its extension
    std::string path;         // full path, lexically normalised, UTF-8
    std::string config_path;  // what llm.llama_cpp.model_path is set to when this model is chosen
    std::uint64_t size_bytes = 0;
};

struct RemoteModelInfo {
    std::string id;
    std::string provider;
    std::string backend;  // "openai_compatible", the only kind supported
    std::string model;
    std::string base_url;  // without trailing slashes or backslashes
    std::string api_key;   // never shown: lists carry only api_key_display
};

// ---- local models -------------------------------------------------------------

// The *.gguf files (extension in any case) directly inside paths.model_dir,
// vocabulary-only files ("ggml-vocab-*") left out, sorted by lower-cased name
// and numbered from "1". Only names and sizes are read, never contents.
std::vector<LocalModelInfo> scan_local_models(const AgentConfig& config);

// The first scanned model whose id, name, file name, path or config path
// equals the trimmed selector, ignoring ASCII case.
std::optional<LocalModelInfo> find_local_model(const AgentConfig& config, const std::string& selector);

// An existing .gguf file named by the selector (relative to the base
// directory when relative), wherever it lies; id "custom".
std::optional<LocalModelInfo> local_model_from_path(const AgentConfig& config, const std::string& selector);

// A .safetensors file, or a directory holding config.json and at least one
// .safetensors file. False for anything else, including unreadable paths.
bool is_safetensors_model_path(const std::string& path);

// {"success", "model_dir", "model_dir_resolved", "count", "models", "message"}
nlohmann::json local_models_json(const AgentConfig& config);

// ---- remote models ------------------------------------------------------------

// <paths.config_dir resolved>/remote_models.json, lexically normalised.
std::string remote_models_path(const AgentConfig& config);

// The accepted entries of the remote list at `path`. A missing file is an
// empty list without error; every other problem empties the list and sets
// `error` (cleared first).
std::vector<RemoteModelInfo> load_remote_models(const std::string& path, std::string& error);

// The same for the file's text, already read; `path` only appears in errors.
std::vector<RemoteModelInfo> parse_remote_models(std::string_view text, const std::string& path,
                                                 std::string& error);

// Exactly one entry of `models` for the selector (id, model, provider/model or
// provider:model, trimmed, ASCII case ignored; an empty selector only when
// there is one entry). Nothing, with `error`, when none or several match.
std::optional<RemoteModelInfo> select_remote_model(const std::vector<RemoteModelInfo>& models,
                                                   const std::string& path, const std::string& selector,
                                                   std::string& error);

// Loads remote_models_path() and selects from it.
std::optional<RemoteModelInfo> resolve_remote_model(const AgentConfig& config, const std::string& selector,
                                                    std::string& error);

// {"success", "config_path", "count", "models", and "error" or "message"};
// keys are shown only as api_key_configured and api_key_display.
nlohmann::json remote_models_json(const AgentConfig& config);

// "not configured", "configured", or "configured (...<last 4 bytes>)".
std::string api_key_display(const std::string& key);

}  // namespace vexa
