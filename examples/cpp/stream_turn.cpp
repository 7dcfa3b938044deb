// Streams one turn through the C++ facade, with a "clock" tool the model may
// call to learn the current time.
//
// Environment:
//   VEXA_BASE_DIR  base directory (config/agent_config.json, data/); default "."
//   VEXA_BASE_URL  chat-completions server, e.g. http://127.0.0.1:8080/v1;
//                  unset = the server of agent_config.json
//   VEXA_MODEL     model name (with VEXA_BASE_URL); VEXA_API_KEY its key
//   VEXA_PROMPT    the user's text; default "What time is it?"
//
// Run: VEXA_BASE_URL=http://127.0.0.1:8080/v1 VEXA_MODEL=my-model ./build/examples/stream-turn-cpp
#include <vexa_core/core_session.hpp>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

std::string env_or(const char* name, const std::string& fallback = {}) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

int main() {
    vexa_core::CoreSession session;
    vexa_core::InitializeOptions init;
    init.base_dir = env_or("VEXA_BASE_DIR", ".");
    init.host_policy_flags = vexa_core::policy_no_local_memory;
    session.initialize(init);

    if (std::getenv("VEXA_BASE_URL") != nullptr) {
        vexa_core::LlmOverride llm;
        llm.backend = "openai";
        llm.base_url = env_or("VEXA_BASE_URL");
        llm.model = env_or("VEXA_MODEL");
        llm.api_key = env_or("VEXA_API_KEY");
        session.set_llm_override(llm);
    }

    vexa_core::ToolParameterSpec clock;
    clock.name = "clock";
    clock.description = "Returns the current UTC date and time.";
    clock.parameters_json = R"({"type":"object","properties":{}})";
    session.register_tool(clock, [](const std::string&) {
        using namespace std::chrono;
        const auto now = floor<seconds>(system_clock::now());
        const auto day = floor<days>(now);
        const year_month_day date{day};
        const hh_mm_ss time{now - day};
        char text[64];
        std::snprintf(text, sizeof text, R"({"success":true,"utc":"%04d-%02u-%02uT%02d:%02d:%02dZ"})",
                      static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                      static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                      static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
        return std::string(text);
    });

    auto on_event = [](const vexa_core::AgentEvent& event) {
        using Type = vexa_core::AgentEventType;
        switch (event.type) {
        case Type::ContentDelta:
            std::cout << event.text << std::flush;
            break;
        case Type::ToolCallStarted:
            std::cout << "\n[tool] " << event.tool_name << ' ' << event.tool_arguments << '\n';
            break;
        case Type::ToolCallFinished:
            std::cout << "[tool] " << event.tool_name << " -> " << event.tool_result << '\n';
            break;
        case Type::Error:
            std::cerr << "\n[error] " << event.text << '\n';
            break;
        default:
            break;
        }
    };

    const vexa_core::ChatResult result =
        session.send_text_stream(env_or("VEXA_PROMPT", "What time is it?"), {}, on_event);
    std::cout << '\n';
    if (!result.success) std::cerr << "turn failed: " << result.error << '\n';
    return result.success ? 0 : 1;
}
