// libFuzzer target for the slash commands of a started agent: command words,
// argument splitting (single spaces, empty words, selectors and values that
// keep inner spaces) and the conversions of "/config set", whose refusals
// must be failed results naming key, value and range, with nothing changed.
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
#include "support/utf8.hpp"

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
        cfg.agent = vexa::AgentSettings{};
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

// What a typed (lower-cased) key names, worked out independently of the
// agent: its kind and its full name ("llm.max_tokens", "llm.llama_cpp.threads",
// "agent.max_parallel_tasks").
struct KeyInfo {
    Kind kind = Kind::unknown;
    std::string full;
};

KeyInfo key_info(const std::string& key) {
    if (key == "paths.model_dir" || key == "model_dir") return {Kind::model_dir, key};
    struct Entry {
        const char* name;
        Kind kind;
    };
    static const Entry kLlm[] = {{"backend", Kind::text},       {"model", Kind::text},
                                 {"base_url", Kind::text},      {"api_key", Kind::text},
                                 {"temperature", Kind::number}, {"max_tokens", Kind::int32},
                                 {"timeout_seconds", Kind::int32}, {"max_retries", Kind::int32},
                                 {"retry_base_delay_ms", Kind::int32}, {"retry_max_delay_ms", Kind::int32}};
    static const Entry kLlama[] = {{"model_path", Kind::text},        {"tool_call_mode", Kind::text},
                                   {"context_size", Kind::int32},     {"gpu_layers", Kind::int32},
                                   {"main_gpu", Kind::int32},         {"batch_size", Kind::int32},
                                   {"ubatch_size", Kind::int32},      {"threads", Kind::int32},
                                   {"flash_attention", Kind::boolean}, {"use_mmap", Kind::boolean},
                                   {"use_mlock", Kind::boolean},      {"warmup", Kind::boolean},
                                   {"allow_cpu_fallback", Kind::boolean}};
    static const Entry kAgent[] = {{"max_conversation_turns", Kind::int32}, {"compression_threshold", Kind::int32},
                                   {"compression_keep_recent", Kind::int32}, {"max_tool_rounds", Kind::int32},
                                   {"max_parallel_tasks", Kind::int32},    {"task_timeout_seconds", Kind::int32},
                                   {"planner_max_tasks", Kind::int32}};
    const auto look = [](const auto& entries, const std::string& name, const std::string& prefix) -> KeyInfo {
        for (const Entry& e : entries) {
            if (name == e.name) return {e.kind, prefix + name};
        }
        return {};
    };
    if (starts_with(key, "llm.llama_cpp.")) return look(kLlama, key.substr(14), "llm.llama_cpp.");
    if (starts_with(key, "llama_cpp.")) return look(kLlama, key.substr(10), "llm.llama_cpp.");
    if (starts_with(key, "llm.")) return look(kLlm, key.substr(4), "llm.");
    if (starts_with(key, "agent.")) return look(kAgent, key.substr(6), "agent.");
    for (const KeyInfo& found : {look(kLlm, key, "llm."), look(kLlama, key, "llm.llama_cpp."), look(kAgent, key, "agent.")}) {
        if (found.kind != Kind::unknown) return found;
    }
    return {};
}

std::string fingerprint(const vexa::AgentSettings& a) {
    std::ostringstream out;
    out << a.max_conversation_turns << ' ' << a.compression_threshold << ' ' << a.compression_keep_recent << ' '
        << a.max_tool_rounds << ' ' << a.max_parallel_tasks << ' ' << a.task_timeout_seconds << ' '
        << a.planner_max_tasks;
    return out.str();
}

// The field a full key names as the record holds it, as text.
std::string field_value(const vexa::AgentConfig& config, const std::string& full) {
    const vexa::LLMConfig& c = config.llm;
    const vexa::LlamaCppConfig& l = c.llama_cpp;
    const vexa::AgentSettings& a = config.agent;
    if (full == "llm.backend") return c.backend;
    if (full == "llm.model") return c.model;
    if (full == "llm.base_url") return c.base_url;
    if (full == "llm.api_key") return c.api_key;
    if (full == "llm.temperature") return std::to_string(c.temperature);
    if (full == "llm.max_tokens") return std::to_string(c.max_tokens);
    if (full == "llm.timeout_seconds") return std::to_string(c.timeout_seconds);
    if (full == "llm.max_retries") return std::to_string(c.max_retries);
    if (full == "llm.retry_base_delay_ms") return std::to_string(c.retry_base_delay_ms);
    if (full == "llm.retry_max_delay_ms") return std::to_string(c.retry_max_delay_ms);
    if (full == "llm.llama_cpp.model_path") return l.model_path;
    if (full == "llm.llama_cpp.tool_call_mode") return l.tool_call_mode;
    if (full == "llm.llama_cpp.context_size") return std::to_string(l.context_size);
    if (full == "llm.llama_cpp.gpu_layers") return std::to_string(l.gpu_layers);
    if (full == "llm.llama_cpp.main_gpu") return std::to_string(l.main_gpu);
    if (full == "llm.llama_cpp.batch_size") return std::to_string(l.batch_size);
    if (full == "llm.llama_cpp.ubatch_size") return std::to_string(l.ubatch_size);
    if (full == "llm.llama_cpp.threads") return std::to_string(l.threads);
    if (full == "llm.llama_cpp.flash_attention") return std::to_string(l.flash_attention);
    if (full == "llm.llama_cpp.use_mmap") return std::to_string(l.use_mmap);
    if (full == "llm.llama_cpp.use_mlock") return std::to_string(l.use_mlock);
    if (full == "llm.llama_cpp.warmup") return std::to_string(l.warmup);
    if (full == "llm.llama_cpp.allow_cpu_fallback") return std::to_string(l.allow_cpu_fallback);
    if (full == "agent.max_conversation_turns") return std::to_string(a.max_conversation_turns);
    if (full == "agent.compression_threshold") return std::to_string(a.compression_threshold);
    if (full == "agent.compression_keep_recent") return std::to_string(a.compression_keep_recent);
    if (full == "agent.max_tool_rounds") return std::to_string(a.max_tool_rounds);
    if (full == "agent.max_parallel_tasks") return std::to_string(a.max_parallel_tasks);
    if (full == "agent.task_timeout_seconds") return std::to_string(a.task_timeout_seconds);
    if (full == "agent.planner_max_tasks") return std::to_string(a.planner_max_tasks);
    FUZZ_CHECK(false);
    return {};
}

// What "/config set" must do with `value`: the field as text afterwards (and
// the note of a clamp), or the message that refuses it.
struct Expected {
    std::optional<std::string> value;
    std::string note;
    std::string refusal;
};

Expected convert(const KeyInfo& info, const std::string& value) {
    Expected e;
    const auto refuse = [&](const std::string& expected) {
        e.refusal = "Invalid value for " + info.full + ": " + vexa::shorten_utf8(value, 80) + " (expected " +
                    expected + ")";
        return e;
    };
    if (info.kind == Kind::text) {
        e.value = value;
        return e;
    }
    if (info.kind == Kind::boolean) {
        try {
            e.value = std::to_string(vexa::parse_bool(value));
        } catch (const std::invalid_argument&) {
            return refuse("true or false");
        }
        return e;
    }
    const vexa::SettingRange* range = vexa::find_setting_range(info.full);
    FUZZ_CHECK(range != nullptr && range->integer == (info.kind == Kind::int32));
    double number = 0.0;
    try {
        number = range->integer ? static_cast<double>(std::stoll(value)) : std::stod(value);
    } catch (const std::exception&) {
        return refuse(vexa::expected_range_text(*range));
    }
    if (!std::isfinite(number) || number < range->min || (number > range->max && !range->clamp_above)) {
        return refuse(vexa::expected_range_text(*range));
    }
    if (number > range->max) {
        number = range->max;
        e.note = " (clamped to " + std::to_string(static_cast<long long>(number)) + ", the most allowed)";
    }
    e.value = range->integer ? std::to_string(static_cast<int>(number)) : std::to_string(number);
    return e;
}

void check_config_set(World& w, const Reading& r, const std::string& command, const std::string& args) {
    auto& cfg = vexa::AgentConfig::instance();
    const std::string typed = r.words[1];
    const std::string key = vexa::ascii_lower(typed);
    std::string value = vexa::trim_space(std::string_view(r.argument).substr(r.argument.find(typed) + typed.size()));
    if (value.empty()) value = r.words[2];
    const KeyInfo info = key_info(key);

    const std::string llm_before = fingerprint(cfg.llm);
    const std::string agent_before = fingerprint(cfg.agent);
    const std::string dir_before = cfg.paths.model_dir;
    const std::string file_before = read_file(w.config_file);
    const auto unchanged = [&] {
        return fingerprint(cfg.llm) == llm_before && fingerprint(cfg.agent) == agent_before &&
               cfg.paths.model_dir == dir_before && read_file(w.config_file) == file_before;
    };

    // Never an exception: a value the key does not take is a failed result.
    const vexa::CommandResult result = w.agent.execute_command(command, args);
    FUZZ_CHECK(!result.should_exit);

    if (info.kind == Kind::unknown) {
        FUZZ_CHECK(!result.success && result.message == "Unknown config key: " + key);
        FUZZ_CHECK(unchanged());
        return;
    }
    if (info.kind == Kind::model_dir) {
        FUZZ_CHECK(cfg.paths.model_dir == value && fingerprint(cfg.llm) == llm_before);
        // Text that is not UTF-8 is repaired on its way into the file.
        if (fuzz::valid_utf8(value)) {
            FUZZ_CHECK(result.success && result.message == "Config updated: " + key);
            FUZZ_CHECK(json::parse(read_file(w.config_file))["paths"]["model_dir"] == value);
        }
        return;
    }
    const Expected expected = convert(info, value);
    if (!expected.value) {
        FUZZ_CHECK(!result.success && result.message == expected.refusal);
        FUZZ_CHECK(unchanged());
        return;
    }
    if (starts_with(info.full, "agent.")) {
        FUZZ_CHECK(fingerprint(cfg.llm) == llm_before);
        FUZZ_CHECK(field_value(cfg, info.full) == *expected.value);
        FUZZ_CHECK(result.success && result.message == "Config updated: " + key + expected.note);
        const json saved = json::parse(read_file(w.config_file));
        FUZZ_CHECK(std::to_string(saved["agent"][info.full.substr(6)].get<int>()) == *expected.value);
        return;
    }
    if (!result.success) {
        FUZZ_CHECK(starts_with(result.message, "Config not applied: "));
        FUZZ_CHECK(unchanged());
        return;
    }
    FUZZ_CHECK(starts_with(result.message, "Config updated: " + key + expected.note + "\n"));
    FUZZ_CHECK(field_value(cfg, info.full) == *expected.value);
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
