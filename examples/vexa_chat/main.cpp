// vexa-chat: a terminal chat on the public vexa_core C++ interface.
//
//   vexa-chat [--base-dir DIR] [--confirm]
//
// Streams the answer as it arrives (reasoning dimmed), shows tool calls and
// their results, asks before each tool call with --confirm, and turns Ctrl-C
// into a cancel of the running turn (a second Ctrl-C exits).

#include "demo_tools.hpp"

#include <vexa_core/core_session.hpp>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

namespace {

const char* const kDim = "\x1b[2m";
const char* const kCyan = "\x1b[36m";
const char* const kRed = "\x1b[31m";
const char* const kReset = "\x1b[0m";

std::atomic<int> g_interrupts{0};
std::atomic<bool> g_cancel_pending{false};
std::atomic<bool> g_turn_running{false};

extern "C" void on_interrupt(int) {
    // Only lock-free atomics and _Exit here: a signal handler may not take locks.
    if (g_interrupts.fetch_add(1) >= 1 || !g_turn_running.load()) std::_Exit(130);
    g_cancel_pending.store(true);
    std::signal(SIGINT, on_interrupt);
}

struct Options {
    std::string base_dir;
    bool confirm = false;
};

void usage() {
    std::printf("usage: vexa-chat [--base-dir DIR] [--confirm]\n"
                "  --base-dir DIR  directory holding config/agent_config.json and data/ (default: current directory)\n"
                "  --confirm       ask before every tool call\n");
}

bool parse_args(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--base-dir" && i + 1 < argc) {
            options.base_dir = argv[++i];
        } else if (arg == "--confirm") {
            options.confirm = true;
        } else {
            usage();
            return false;
        }
    }
    if (options.base_dir.empty()) options.base_dir = std::filesystem::current_path().string();
    return true;
}

// Whether the configuration names a model the library can reach.
bool endpoint_configured(const std::filesystem::path& config_path) {
    std::ifstream in(config_path, std::ios::binary);
    if (!in) return false;
    const auto config = nlohmann::json::parse(in, nullptr, false);
    if (!config.is_object() || !config.contains("llm") || !config["llm"].is_object()) return false;
    const auto& llm = config["llm"];
    std::string backend = llm.value("backend", std::string());
    for (auto& c : backend) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (backend == "llama_cpp" || backend == "local") return true;
    return llm.contains("base_url") && llm["base_url"].is_string() && !llm["base_url"].get<std::string>().empty();
}

void explain_configuration(const std::filesystem::path& config_path) {
    std::printf(
        "No model endpoint is configured.\n\n"
        "Put the address of a chat-completions server into %s, for example:\n\n"
        "  {\n"
        "    \"llm\": {\n"
        "      \"backend\": \"openai\",\n"
        "      \"base_url\": \"https://api.example.com/v1\",\n"
        "      \"api_key\": \"sk-...\",\n"
        "      \"model\": \"model-name\"\n"
        "    }\n"
        "  }\n\n"
        "base_url is the part before /chat/completions; a local server (llama-server,\n"
        "vLLM, Ollama's OpenAI endpoint) works as well, e.g. \"http://127.0.0.1:8080/v1\".\n"
        "Then run vexa-chat again.\n",
        config_path.string().c_str());
}

#ifdef VEXA_CHAT_TINY_MODEL
// Without any model configured the demo still runs, on the tiny random-weight
// model generated at build time: it proves the whole path works, nothing more.
// The user's configuration is copied (never changed) with the local backend set.
bool names_a_model(const std::filesystem::path& config_path) {
    std::ifstream in(config_path, std::ios::binary);
    const auto config = in ? nlohmann::json::parse(in, nullptr, false) : nlohmann::json();
    if (!config.is_object() || !config.contains("llm") || !config["llm"].is_object()) return false;
    const auto& llm = config["llm"];
    return llm.contains("model") && llm["model"].is_string() && !llm["model"].get<std::string>().empty();
}

bool use_tiny_model(const std::string& base_dir, const std::filesystem::path& config_path, std::string& demo_config) {
    if (!std::filesystem::exists(VEXA_CHAT_TINY_MODEL)) return false;
    nlohmann::json config = nlohmann::json::object();
    if (std::ifstream in(config_path, std::ios::binary); in) {
        config = nlohmann::json::parse(in, nullptr, false);
        if (!config.is_object()) config = nlohmann::json::object();
    }
    auto& llm = config["llm"];
    if (!llm.is_object()) llm = nlohmann::json::object();
    llm["backend"] = "llama_cpp";
    llm["model"] = "vexa-tiny-random";
    llm["max_tokens"] = 48;  // it never stops by itself
    llm["llama_cpp"] = {{"model_path", VEXA_CHAT_TINY_MODEL}, {"context_size", 16384}};
    const std::filesystem::path out = std::filesystem::path(base_dir) / "data" / "vexa-chat" / "tiny_model_config.json";
    std::error_code ec;
    std::filesystem::create_directories(out.parent_path(), ec);
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (!(file << config.dump(4))) return false;
    demo_config = out.string();
    std::printf(
        "%sNo model is configured, so vexa-chat runs on a tiny built-in model with random weights.\n"
        "It answers with random text: it only shows that everything works.\n"
        "To use a real model, set one of these in the \"llm\" section of %s:\n"
        "  a GGUF file:  \"backend\": \"llama_cpp\", \"llama_cpp\": {\"model_path\": \"/path/to/model.gguf\"}\n"
        "  a server:     \"backend\": \"openai\", \"base_url\": \"http://127.0.0.1:8080/v1\", \"model\": \"name\"%s\n\n",
        kDim, config_path.string().c_str(), kReset);
    return true;
}
#endif

std::string shorten(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "...";
}

// Prints one event. Deliveries never overlap, so plain stdio is fine.
class Printer {
public:
    void operator()(const vexa_core::AgentEvent& event) {
        using vexa_core::AgentEventType;
        switch (event.type) {
            case AgentEventType::ReasoningDelta:
                switch_to(Stream::reasoning);
                std::fputs(event.text.c_str(), stdout);
                break;
            case AgentEventType::ContentDelta:
                switch_to(Stream::content);
                std::fputs(event.text.c_str(), stdout);
                break;
            case AgentEventType::ToolCallStarted:
                switch_to(Stream::none);
                std::printf("%s[tool] %s %s%s\n", kCyan, event.tool_name.c_str(),
                            shorten(event.tool_arguments, 200).c_str(), kReset);
                break;
            case AgentEventType::ToolCallFinished:
                switch_to(Stream::none);
                std::printf("%s[%s] %s → %s%s\n", event.success ? kCyan : kRed, event.success ? "ok" : "failed",
                            event.tool_name.c_str(), shorten(event.tool_result, 300).c_str(), kReset);
                break;
            case AgentEventType::Error:
                saw_error_ = true;
                switch_to(Stream::none);
                std::printf("%s%s%s\n", kRed, event.text.c_str(), kReset);
                break;
            case AgentEventType::Notice:
            case AgentEventType::ModelLoading:
            case AgentEventType::PlanReady:
            case AgentEventType::TaskStarted:
            case AgentEventType::TaskSucceeded:
            case AgentEventType::TaskFailed:
                switch_to(Stream::none);
                std::printf("%s%s%s\n", kDim, event.text.c_str(), kReset);
                break;
            default:
                break;
        }
        std::fflush(stdout);
    }

    void begin_turn() { saw_error_ = false; }
    void end_turn() {
        switch_to(Stream::none);
        std::fflush(stdout);
    }
    bool saw_error() const { return saw_error_; }

private:
    enum class Stream { none, reasoning, content };

    void switch_to(Stream next) {
        if (next == current_) return;
        if (current_ == Stream::reasoning) std::fputs(kReset, stdout);
        if (current_ != Stream::none) std::fputs("\n", stdout);
        if (next == Stream::reasoning) std::fputs(kDim, stdout);
        current_ = next;
    }

    Stream current_ = Stream::none;
    bool saw_error_ = false;
};

void register_demo_tools(vexa_core::CoreSession& session) {
    vexa_core::ToolParameterSpec calculator;
    calculator.name = "calculator";
    calculator.description = "Evaluate an arithmetic expression (+ - * / % ^, parentheses, sqrt) and return the number.";
    calculator.properties_json =
        R"({"expression":{"type":"string","description":"the expression, e.g. (2+3)*4^2"}})";
    calculator.required = {"expression"};
    if (!session.register_tool(calculator, vexa_chat::calculator_tool)) {
        std::fprintf(stderr, "could not register calculator: %s\n", session.last_error().c_str());
    }

    vexa_core::ToolParameterSpec clock;
    clock.name = "current_time";
    clock.description = "Return the current local date and time, and the UTC time.";
    clock.properties_json = "{}";
    if (!session.register_tool(clock, vexa_chat::current_time_tool)) {
        std::fprintf(stderr, "could not register current_time: %s\n", session.last_error().c_str());
    }
}

bool ask_yes_no(const std::string& tool, const std::string& arguments) {
    std::printf("%sRun %s %s? [y/N] %s", kCyan, tool.c_str(), shorten(arguments, 200).c_str(), kReset);
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_args(argc, argv, options)) return 2;

    const std::filesystem::path config_path = std::filesystem::path(options.base_dir) / "config" / "agent_config.json";
    vexa_core::InitializeOptions init;
    init.base_dir = options.base_dir;
    if (!endpoint_configured(config_path)) {
#ifdef VEXA_CHAT_TINY_MODEL
        if (names_a_model(config_path) || !use_tiny_model(options.base_dir, config_path, init.config_path))
#endif
        {
            explain_configuration(config_path);
            return 0;
        }
    }

    vexa_core::CoreSession session;
    Printer printer;
    if (!session.initialize(init, std::ref(printer))) {
        std::fprintf(stderr, "initialisation failed: %s\n", session.last_error().c_str());
        return 1;
    }
    const std::string warning = session.last_error();
    if (!warning.empty()) std::printf("%s%s%s\n", kDim, warning.c_str(), kReset);

    register_demo_tools(session);
    if (options.confirm) session.set_tool_confirm_callback(ask_yes_no);

    std::signal(SIGINT, on_interrupt);
    std::atomic<bool> quit{false};
    // cancel() may not be called from a signal handler; this thread forwards it.
    std::thread canceller([&] {
        while (!quit.load()) {
            if (g_cancel_pending.exchange(false)) session.cancel();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    std::printf("vexa-chat — model %s, session %s\n", session.current_model().c_str(),
                session.current_session_id().c_str());
    std::printf("Type a message, /exit to quit. Ctrl-C stops a running answer.\n");

    std::string line;
    for (;;) {
        std::printf("\n> ");
        std::fflush(stdout);
        if (!std::getline(std::cin, line)) break;
        if (line.empty()) continue;
        if (line == "/exit" || line == "/quit") break;
        if (line[0] == '/') {
            const auto space = line.find(' ');
            const auto result = session.execute_command(line.substr(0, space),
                                                        space == std::string::npos ? "" : line.substr(space + 1));
            std::printf("%s\n", result.message.c_str());
            if (result.should_exit) break;
            continue;
        }
        g_interrupts.store(0);
        printer.begin_turn();
        g_turn_running.store(true);
        const auto result = session.send_text_stream(line, {}, std::ref(printer));
        g_turn_running.store(false);
        g_cancel_pending.store(false);
        printer.end_turn();
        // Most failures arrive as an Error event; show the others here.
        if (!result.success && !printer.saw_error()) {
            std::printf("%s%s%s\n", kRed, result.error.c_str(), kReset);
        }
    }

    quit.store(true);
    canceller.join();
    session.shutdown();
    return 0;
}
