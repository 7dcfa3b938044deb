// libFuzzer target for the slash commands of a started agent: command words,
// argument splitting (single spaces, empty words, selectors and values that
// keep inner spaces) and the conversions of "/config set", whose errors must
// leave the command as the documented exceptions with nothing changed.
//
// Everything the agent may write lives in a private base directory; the
// configuration file is kept apart from the default place beneath it, so a
// save to the wrong file shows. Sessions are off by policy (an id that came
// from the input never names a file).
//
// Input: NUL-separated fields, taken in pairs: command text, argument text;
// at most four pairs.

#include "agent/agent.hpp"

#include "config/agent_config.hpp"
#include "config/text_util.hpp"

#include "fuzz_check.hpp"
#include "fuzz_io.hpp"
#include "temp_dir.hpp"
#include "utf8_check.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using fuzz::split;
using fuzz::write_file;
using fuzz::read_file;
using fuzz::starts_with;

namespace fs = std::filesystem;
using nlohmann::json;


std::string fingerprint(const vexa::LLMConfig& c) {
    const vexa::LlamaCppConfig& l = c.llama_cpp;
    std::ostringstream out;
    out << c.backend << '\x1f' << c.base_url << '\x1f' << c.api_key << '\x1f' << c.model << '\x1f' << c.temperature
        << '\x1f' << c.max_tokens << '\x1f' << c.timeout_seconds << '\x1f' << l.model_path << '\x1f'
        << l.context_size << '\x1f' << l.gpu_layers << '\x1f' << l.main_gpu << '\x1f' << l.batch_size << '\x1f'
        << l.ubatch_size << '\x1f' << l.threads << '\x1f' << l.flash_attention << l.use_mmap << l.use_mlock
        << l.warmup << l.allow_cpu_fallback << '\x1f' << l.tool_call_mode;
    return out.str();
}

// The started agent over a private base directory, for the whole process.
struct World {
    fuzz::TempDir dir{"vexa_commands_fuzz"};
    fs::path base = dir.path();
    fs::path config_file = base / "host" / "fuzz_config.json";
    fs::path default_config_file = base / "config" / "agent_config.json";
    vexa::LLMConfig baseline;
    vexa::Agent agent;

    World() {
        write_file(config_file, json{{"llm",
                                      {{"backend", "openai"},
                                       {"base_url", "http://127.0.0.1:9/v1"},
                                       {"api_key", "sk-fuzz-key-0123456789"},
                                       {"model", "fuzz-model"}}}}
                                    .dump(4));
        write_file(base / "config" / "remote_models.json",
                   R"([{"id":"r1","provider":"openai","model":"remote-a","base_url":"http://127.0.0.1:9/a"},)"
                   R"({"provider":"openai_compatible","model":"remote b","base_url":"http://127.0.0.1:9/b"}])");
        write_file(base / "model" / "one.gguf", "GGUF");
        auto& cfg = vexa::AgentConfig::instance();
        cfg.base_dir = base.string();
        FUZZ_CHECK(cfg.load(config_file.string()));
        cfg.host_policy_flags = vexa::policy_no_persistence | vexa::policy_no_local_skills;
        baseline = cfg.llm;
        FUZZ_CHECK(agent.start({}));
        FUZZ_CHECK(agent.load_skills_from_memory(
                       R"([{"name":"demo","body":"Demo."},{"name":"two words","body":"Other."}])") == 2);
    }
    ~World() { agent.shutdown(); }

    // Every input starts from the same state.
    void reset() {
        auto& cfg = vexa::AgentConfig::instance();
        cfg.llm = baseline;
        cfg.paths = vexa::PathsConfig{};
        agent.with_memory([](vexa::MemoryStore& store, vexa::UserProfile& profile, const std::string&) {
            store.clear();
            profile = vexa::UserProfile{};
        });
    }
};

World& world() {
    static World w;
    return w;
}

// How the command should be read, worked out independently of the agent.
struct Reading {
    std::string word;
    std::string argument;
    std::vector<std::string> words;  // the argument split at single spaces
    std::string sub;
};

Reading read_command(const std::string& command, const std::string& args) {
    Reading r;
    r.word = vexa::ascii_lower(vexa::trim_space(command));
    std::size_t slashes = 0;
    while (slashes < r.word.size() && r.word[slashes] == '/') ++slashes;
    r.word.erase(0, slashes);
    r.argument = vexa::trim_space(args);
    if (!r.argument.empty()) r.words = split(r.argument, ' ');
    if (!r.words.empty()) r.sub = vexa::ascii_lower(r.words[0]);
    return r;
}

enum class Kind { text, int32, number, boolean, model_dir, unknown };

Kind key_kind(const std::string& key, std::string& field) {
    field = key;
    for (const char* k : {"backend", "model", "base_url", "api_key"}) {
        if (key == k) return Kind::text;
    }
    if (key == "temperature") return Kind::number;
    if (key == "max_tokens" || key == "timeout_seconds") return Kind::int32;
    if (key == "paths.model_dir" || key == "model_dir") return Kind::model_dir;
    if (starts_with(field, "llama_cpp.")) field = field.substr(10);
    if (field == "model_path" || field == "tool_call_mode") return Kind::text;
    for (const char* k : {"context_size", "gpu_layers", "main_gpu", "batch_size", "ubatch_size", "threads"}) {
        if (field == k) return Kind::int32;
    }
    for (const char* k : {"flash_attention", "use_mmap", "use_mlock", "warmup", "allow_cpu_fallback"}) {
        if (field == k) return Kind::boolean;
    }
    return Kind::unknown;
}

// The field as the record holds it after a successful set, as text.
std::string field_value(const vexa::LLMConfig& c, const std::string& key, const std::string& field) {
    const vexa::LlamaCppConfig& l = c.llama_cpp;
    if (key == "backend") return c.backend;
    if (key == "model") return c.model;
    if (key == "base_url") return c.base_url;
    if (key == "api_key") return c.api_key;
    if (key == "temperature") return std::to_string(c.temperature);
    if (key == "max_tokens") return std::to_string(c.max_tokens);
    if (key == "timeout_seconds") return std::to_string(c.timeout_seconds);
    if (field == "model_path") return l.model_path;
    if (field == "tool_call_mode") return l.tool_call_mode;
    if (field == "context_size") return std::to_string(l.context_size);
    if (field == "gpu_layers") return std::to_string(l.gpu_layers);
    if (field == "main_gpu") return std::to_string(l.main_gpu);
    if (field == "batch_size") return std::to_string(l.batch_size);
    if (field == "ubatch_size") return std::to_string(l.ubatch_size);
    if (field == "threads") return std::to_string(l.threads);
    if (field == "flash_attention") return std::to_string(l.flash_attention);
    if (field == "use_mmap") return std::to_string(l.use_mmap);
    if (field == "use_mlock") return std::to_string(l.use_mlock);
    if (field == "warmup") return std::to_string(l.warmup);
    if (field == "allow_cpu_fallback") return std::to_string(l.allow_cpu_fallback);
    FUZZ_CHECK(false);
    return {};
}

// What "/config set" must do with `value`: the converted field as text, or
// the exception it must raise (kind and text).
struct Expected {
    std::optional<std::string> value;
    bool out_of_range = false;
    std::string error;
};

Expected convert(Kind kind, const std::string& value) {
    Expected e;
    try {
        switch (kind) {
            case Kind::int32: e.value = std::to_string(std::stoi(value)); break;
            case Kind::boolean: e.value = std::to_string(vexa::parse_bool(value)); break;
            case Kind::number: {
                const double d = std::stod(value);
                if (!std::isfinite(d)) {
                    e.error = "invalid stod argument";
                    return e;
                }
                e.value = std::to_string(d);
                break;
            }
            default: e.value = value; break;
        }
    } catch (const std::invalid_argument&) {
        e.error = kind == Kind::int32 ? "invalid stoi argument"
                  : kind == Kind::number ? "invalid stod argument"
                                         : "invalid boolean";
    } catch (const std::out_of_range&) {
        e.out_of_range = true;
        e.error = kind == Kind::int32 ? "stoi argument out of range" : "stod argument out of range";
    }
    return e;
}

void check_config_set(World& w, const Reading& r, const std::string& command, const std::string& args) {
    auto& cfg = vexa::AgentConfig::instance();
    const std::string typed = r.words[1];
    const std::string key = vexa::ascii_lower(typed);
    std::string value = vexa::trim_space(std::string_view(r.argument).substr(r.argument.find(typed) + typed.size()));
    if (value.empty()) value = r.words[2];
    std::string field;
    const Kind kind = key_kind(key, field);
    const Expected expected = convert(kind, value);

    const std::string llm_before = fingerprint(cfg.llm);
    const std::string dir_before = cfg.paths.model_dir;
    const std::string file_before = read_file(w.config_file);

    vexa::CommandResult result;
    try {
        result = w.agent.execute_command(command, args);
    } catch (const std::out_of_range& e) {
        FUZZ_CHECK(!expected.value && expected.out_of_range && e.what() == expected.error);
        FUZZ_CHECK(fingerprint(cfg.llm) == llm_before && read_file(w.config_file) == file_before);
        return;
    } catch (const std::invalid_argument& e) {
        FUZZ_CHECK(!expected.value && !expected.out_of_range && e.what() == expected.error);
        FUZZ_CHECK(fingerprint(cfg.llm) == llm_before && read_file(w.config_file) == file_before);
        return;
    }
    FUZZ_CHECK(expected.value.has_value());
    FUZZ_CHECK(!result.should_exit);

    if (kind == Kind::unknown) {
        FUZZ_CHECK(!result.success && result.message == "Unknown config key: " + key);
        FUZZ_CHECK(fingerprint(cfg.llm) == llm_before && cfg.paths.model_dir == dir_before);
        return;
    }
    if (kind == Kind::model_dir) {
        FUZZ_CHECK(cfg.paths.model_dir == value && fingerprint(cfg.llm) == llm_before);
        // Text that is not UTF-8 is repaired on its way into the file.
        if (fuzz::valid_utf8(value)) {
            FUZZ_CHECK(result.success && result.message == "Config updated: " + key);
            FUZZ_CHECK(json::parse(read_file(w.config_file))["paths"]["model_dir"] == value);
        }
        return;
    }
    if (!result.success) {
        FUZZ_CHECK(starts_with(result.message, "Config not applied: "));
        FUZZ_CHECK(fingerprint(cfg.llm) == llm_before && read_file(w.config_file) == file_before);
        return;
    }
    FUZZ_CHECK(starts_with(result.message, "Config updated: " + key + "\n"));
    FUZZ_CHECK(field_value(cfg.llm, key, field) == *expected.value);
    // Persisted to the host's file: reading it back gives the same section.
    const std::string applied = "Config updated: " + key + "\nModel configuration applied successfully.";
    if (fuzz::valid_utf8(fingerprint(cfg.llm)) && result.message == applied) {
        vexa::AgentConfig reread;
        FUZZ_CHECK(reread.load(w.config_file.string()));
        FUZZ_CHECK(fingerprint(reread.llm) == fingerprint(cfg.llm));
    }
}

void check_memory_add(World& w, const Reading& r, const vexa::CommandResult& result) {
    const std::string prefix = "Memory created with ID: ";
    FUZZ_CHECK(result.success && starts_with(result.message, prefix));
    std::string content = r.words[3];
    for (std::size_t i = 4; i < r.words.size(); ++i) content += " " + r.words[i];
    const std::string id = result.message.substr(prefix.size());
    w.agent.with_memory([&](vexa::MemoryStore& store, vexa::UserProfile&, const std::string&) {
        const vexa::MemoryEntry* entry = store.find(id);
        FUZZ_CHECK(entry != nullptr);
        FUZZ_CHECK(entry->category == r.words[1] && entry->title == r.words[2] && entry->content == content);
    });
}

void run_one(World& w, const std::string& command, const std::string& args) {
    const Reading r = read_command(command, args);
    if (r.word == "config" && r.words.size() >= 3 && r.sub == "set") {
        check_config_set(w, r, command, args);
    } else {
        // Nothing else may raise.
        const vexa::CommandResult result = w.agent.execute_command(command, args);
        FUZZ_CHECK(result.should_exit == (r.word == "exit"));
        FUZZ_CHECK(result.success || !result.message.empty());
        if (r.word == "config") {
            const bool show = r.words.empty() || r.sub == "show";
            FUZZ_CHECK(result.success == show);
            if (!show) FUZZ_CHECK(result.message == "Usage: /config [show|set <key> <value>]");
        } else if (r.word == "memory" && r.sub == "add" && r.words.size() >= 4) {
            check_memory_add(w, r, result);
        } else if (r.word == "skill" && (r.sub == "load" || r.sub == "unload") && r.words.size() < 2) {
            FUZZ_CHECK(!result.success && result.message == "Usage: /skill [list|load <name>|unload <name>]");
        } else if (r.word == "profile") {
            const std::string sub = vexa::ascii_lower(r.argument);
            const bool known = sub.empty() || sub == "show" || sub == "rebuild" || sub == "clear";
            FUZZ_CHECK(result.success == known);
        } else if (r.word == "load") {
            FUZZ_CHECK(result.success == r.argument.empty());  // sessions are off
        } else if (r.word != "exit" && r.word != "save" && r.word != "clear" && r.word != "status" &&
                   r.word != "skill" && r.word != "memory" && r.word != "model") {
            FUZZ_CHECK(!result.success && result.message == "Unknown command: /" + r.word);
        }
    }
    // Run-time changes never go to the default file: the host named its own.
    FUZZ_CHECK(!fs::exists(w.default_config_file));
    FUZZ_CHECK(vexa::AgentConfig::instance().config_path == w.config_file.string());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    World& w = world();
    w.reset();
    const std::vector<std::string> fields = split(std::string(reinterpret_cast<const char*>(data), size), '\0');
    for (std::size_t i = 0; i < fields.size() && i < 8; i += 2) {
        run_one(w, fields[i], i + 1 < fields.size() ? fields[i + 1] : std::string());
    }
    return 0;
}
