// Conversions between the public records and the engine's records.

#include "api/facade_convert.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <clocale>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace vexa_core;
using nlohmann::json;

std::vector<ImageInput> images_of(std::size_t n) {
    return std::vector<ImageInput>(n, ImageInput{"https://example.com/a.png", ""});
}

TEST(FacadeImages, LimitAndValidation) {
    struct Case {
        const char* name;
        std::vector<ImageInput> images;
        bool ok;
        std::string error;
    };
    const Case cases[] = {
        {"none", {}, true, ""},
        {"nine", images_of(9), true, ""},
        {"ten", images_of(10), false, "chat images count exceeds limit."},
        {"plain http", {{"http://example.com/a.png", ""}}, false, "image url must be an https absolute url."},
        {"empty url", {{"", "low"}}, false, "image url must be a non-empty https url."},
        {"bad detail", {{"https://example.com/a.png", "medium"}}, false,
         "images_json detail must be high, low, or auto."},
        {"second invalid", {{"https://example.com/a.png", ""}, {"https://x/\\y", ""}}, false,
         "image url must not contain backslash."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<vexa::ImageInput> out{{"https://keep.example/", "low"}};
        std::string error;
        EXPECT_EQ(detail::convert_images(c.images, out, error), c.ok);
        EXPECT_EQ(error, c.error);
        if (c.ok) {
            EXPECT_EQ(out.size(), c.images.size());
        } else {
            ASSERT_EQ(out.size(), 1u);  // untouched on failure
            EXPECT_EQ(out[0].url, "https://keep.example/");
        }
    }
}

TEST(FacadeImages, ImagesAreTrimmedAndDetailNormalised) {
    std::vector<vexa::ImageInput> out;
    std::string error;
    ASSERT_TRUE(detail::convert_images({{"  https://example.com/a.png ", "LOW"}, {"HTTPS://example.com/b", ""}},
                                       out, error));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].url, "https://example.com/a.png");
    EXPECT_EQ(out[0].detail, "low");
    EXPECT_EQ(out[1].detail, "high");
}

TEST(FacadeOptions, FieldsAreCopiedAndImagesChecked) {
    ChatOptions options;
    options.stream_content = false;
    options.stream_reasoning = false;
    options.emit_tool_events = false;
    options.max_tool_rounds = 7;
    options.extended_tool_rounds = true;
    options.orchestration = OrchestrationMode::Off;
    options.tools = {"a", "b"};
    options.turn_system_prompt = "be brief";
    options.include_history_tools = false;
    options.images = {{"https://example.com/a.png", "auto"}};

    vexa::AgentChatOptions out;
    std::string error;
    ASSERT_TRUE(detail::to_agent_options(options, out, error));
    EXPECT_FALSE(out.stream_content);
    EXPECT_FALSE(out.stream_reasoning);
    EXPECT_FALSE(out.emit_tool_events);
    EXPECT_EQ(out.max_tool_rounds, 7);
    EXPECT_TRUE(out.extended_tool_rounds);
    EXPECT_EQ(out.orchestration, vexa::OrchestrationMode::Off);
    EXPECT_EQ(out.tools, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(out.turn_system_prompt, "be brief");
    EXPECT_FALSE(out.include_history_tools);
    ASSERT_EQ(out.images.size(), 1u);
    EXPECT_EQ(out.images[0].detail, "auto");

    options.images = images_of(10);
    EXPECT_FALSE(detail::to_agent_options(options, out, error));
    EXPECT_EQ(error, "chat images count exceeds limit.");
}

TEST(FacadeEvents, KindsStatesAndTextsAreConverted) {
    vexa::AgentEvent event;
    event.type = vexa::AgentEventType::ToolCallFinished;
    event.state = vexa::LLMState::tool_calling;
    event.text = "t";
    event.tool_name = "n";
    event.tool_arguments = "{\"a\":1}";
    event.tool_result = "r";
    event.task_id = "task";
    event.segment = "{}";
    event.success = false;
    const AgentEvent out = detail::to_public_event(event);
    EXPECT_EQ(out.type, AgentEventType::ToolCallFinished);
    EXPECT_EQ(out.state, "tool_calling");
    EXPECT_EQ(out.text, "t");
    EXPECT_EQ(out.tool_name, "n");
    EXPECT_EQ(out.tool_arguments, "{\"a\":1}");
    EXPECT_EQ(out.tool_result, "r");
    EXPECT_EQ(out.task_id, "task");
    EXPECT_EQ(out.segment, "{}");
    EXPECT_FALSE(out.success);

    event.type = static_cast<vexa::AgentEventType>(15);
    event.state = static_cast<vexa::LLMState>(42);
    const AgentEvent odd = detail::to_public_event(event);
    EXPECT_EQ(odd.type, AgentEventType::Notice);
    EXPECT_EQ(odd.state, "unknown");
    event.type = static_cast<vexa::AgentEventType>(-1);
    EXPECT_EQ(detail::to_public_event(event).type, AgentEventType::Notice);
}

TEST(FacadeEvents, WrappedCallbackIsNeverEmpty) {
    vexa::AgentEvent event;
    event.type = vexa::AgentEventType::Done;
    event.text = "answer";

    const vexa::EventCallback silent = detail::wrap_event_callback({});
    ASSERT_TRUE(static_cast<bool>(silent));  // an empty one would let the agent fall back
    silent(event);

    std::vector<AgentEvent> seen;
    const vexa::EventCallback forward = detail::wrap_event_callback([&](const AgentEvent& e) { seen.push_back(e); });
    forward(event);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].type, AgentEventType::Done);
    EXPECT_EQ(seen[0].text, "answer");
}

TEST(FacadeResult, ToolCallsBecomeCompactJsonWithSortedKeys) {
    struct Case {
        const char* name;
        std::string arguments;
        std::string expected;
    };
    const Case cases[] = {
        {"object", R"({"q": "x", "n": 2})", R"({"arguments":{"n":2,"q":"x"},"id":"c1","name":"search"})"},
        {"not json", "q=x", R"({"arguments":"q=x","id":"c1","name":"search"})"},
        {"empty", "", R"({"arguments":"","id":"c1","name":"search"})"},
        {"trailing text", "{} x", R"({"arguments":"{} x","id":"c1","name":"search"})"},
        {"number", "0.5", R"({"arguments":0.5,"id":"c1","name":"search"})"},
        {"unicode", R"({"q":"中文"})", R"({"arguments":{"q":"中文"},"id":"c1","name":"search"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(detail::tool_call_json({"c1", "search", c.arguments}), c.expected);
    }
}

TEST(FacadeResult, ResponseIsCopied) {
    vexa::AgentResponse response;
    response.success = false;
    response.cancelled = true;
    response.error = "Generation cancelled.";
    response.content = "partial";
    response.reasoning = "thinking";
    response.tool_calls = {{"1", "a", "{}"}, {"2", "b", "x"}};
    response.tool_results = {"r1", "r2"};
    const ChatResult result = detail::to_chat_result(response);
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.error, "Generation cancelled.");
    EXPECT_EQ(result.content, "partial");
    EXPECT_EQ(result.reasoning, "thinking");
    EXPECT_EQ(result.tool_calls,
              (std::vector<std::string>{R"({"arguments":{},"id":"1","name":"a"})",
                                        R"({"arguments":"x","id":"2","name":"b"})"}));
    EXPECT_EQ(result.tool_results, (std::vector<std::string>{"r1", "r2"}));
}

TEST(FacadeLlm, OverrideAndContextAreCopied) {
    LlmOverride over;
    over.backend = "openai";
    over.base_url = "https://api.example";
    over.api_key = "k";
    over.model = "m";
    over.temperature = 0.3;
    over.timeout_seconds = 9;
    const vexa::LlmOverride out = detail::to_engine(over);
    EXPECT_EQ(out.backend, "openai");
    EXPECT_EQ(out.base_url, "https://api.example");
    EXPECT_EQ(out.api_key, "k");
    EXPECT_EQ(out.model, "m");
    EXPECT_EQ(out.temperature, 0.3);
    EXPECT_FALSE(out.max_tokens.has_value());
    EXPECT_EQ(out.timeout_seconds, 9);

    const vexa::HostLlmContext context = detail::to_engine(HostLlmContext{"https://gw", "c=1", "https://ref", "u", "{}"});
    EXPECT_EQ(context.gateway_url, "https://gw");
    EXPECT_EQ(context.cookie, "c=1");
    EXPECT_EQ(context.referer, "https://ref");
    EXPECT_EQ(context.user, "u");
    EXPECT_EQ(context.qorbin_ext, "{}");
}

TEST(FacadeConfigLocation, DefaultAndExplicitPaths) {
    struct Case {
        const char* name;
        InitializeOptions options;
        std::string base_dir;
        std::string config_path;
    };
    const Case cases[] = {
        {"default file beneath base", {"/srv/app", "", 0}, "/srv/app", "/srv/app/config/agent_config.json"},
        {"base normalised in the path only", {"/srv/app/./x/../", "", 0}, "/srv/app/./x/../",
         "/srv/app/config/agent_config.json"},
        {"relative base", {"data", "", 0}, "data", "data/config/agent_config.json"},
        {"explicit path kept as given", {"/srv/app", "./my/../cfg.json", 0}, "/srv/app", "./my/../cfg.json"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const detail::ConfigLocation location = detail::locate_config(c.options);
        EXPECT_EQ(location.base_dir, c.base_dir);
        EXPECT_EQ(location.config_path, c.config_path);
    }
    const detail::ConfigLocation exe = detail::locate_config({});
    EXPECT_EQ(exe.base_dir, vexa::executable_directory());
}

TEST(FacadeLocale, Utf8LocaleIsSet) {
    const std::string name = detail::set_utf8_locale();
    EXPECT_TRUE(name == ".UTF-8" || name == "C.UTF-8") << name;
}

// The library's own JSON must not follow a host locale with decimal commas.
TEST(FacadeLocale, NumbersIgnoreTheProcessLocale) {
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    bool comma_locale = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            comma_locale = true;
            break;
        }
    }
    const std::string text = detail::tool_call_json({"1", "n", R"({"t":0.25})"});
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(text, R"({"arguments":{"t":0.25},"id":"1","name":"n"})");
    if (!comma_locale) GTEST_SKIP() << "no locale with a decimal comma is installed";
}

}  // namespace
