// Whole turns through the flat C interface of the shipped library, on generated
// models: once against llama.cpp's own llama-server (chat-completions over HTTP),
// once in-process on the local backend. The scripted model answers every prompt
// with the same text, so the streamed answer can be checked exactly.

#include <vexa_core/vexa_core.h>

#include "llm/local/llama_server_process.hpp"
#include "llm/local/local_test_support.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <string>
#include <vector>

namespace vexa {
namespace {

const std::vector<std::string> kScript = {"Hello", " from", " the", " scripted", " model."};
const char* const kGreeting = "Hello from the scripted model.";

struct Events {
    std::vector<int> types;
    std::vector<std::string> states;
    std::string content;
    std::string errors;

    static void on_event(const VexaCoreEvent* e, void* user) {
        auto* self = static_cast<Events*>(user);
        self->types.push_back(e->type);
        if (e->type == VEXA_CORE_EVENT_STATE_CHANGED) self->states.emplace_back(e->state);
        if (e->type == VEXA_CORE_EVENT_CONTENT_DELTA) self->content += e->text;
        if (e->type == VEXA_CORE_EVENT_ERROR) self->errors += std::string(e->text) + "\n";
    }
    bool saw(int type) const { return std::find(types.begin(), types.end(), type) != types.end(); }
};

// A session whose base directory holds only agent_config.json with `llm`.
class Session {
public:
    explicit Session(const nlohmann::json& llm) {
        std::ofstream(dir_.file("config/agent_config.json", "")) << nlohmann::json{{"llm", llm}}.dump(2);
        handle_ = vexa_core_create();
        VexaCoreInitOptions options{};
        const std::string base = dir_.path().string();
        options.base_dir = base.c_str();
        options.host_policy_flags = VEXA_CORE_POLICY_NO_LOCAL_MEMORY | VEXA_CORE_POLICY_NO_PERSISTENCE |
                                    VEXA_CORE_POLICY_NO_LOCAL_SKILLS;
        initialized_ = vexa_core_initialize(handle_, &options, &Events::on_event, &startup_) == 1;
    }
    ~Session() { vexa_core_destroy(handle_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool initialized() const { return initialized_; }
    VexaCoreHandle* handle() { return handle_; }
    Events& startup() { return startup_; }

    int turn(const char* text, Events& events) {
        return vexa_core_send_text_stream(handle_, text, nullptr, &Events::on_event, &events);
    }

private:
    local_test::TempDir dir_;
    VexaCoreHandle* handle_ = nullptr;
    Events startup_;
    bool initialized_ = false;
};

TEST(CInterfaceTurnTest, AgainstLlamaServer) {
    local_test::LlamaServerProcess server;
    std::string error;
    ASSERT_TRUE(server.start(VEXA_LLAMA_SERVER_PATH, local_test::scripted_model("c_greeting.gguf", kScript), error))
        << error;
    Session session({{"backend", "openai"},
                     {"base_url", server.base_url()},
                     {"api_key", "unused"},
                     {"model", "generated"},
                     {"temperature", 0.0},
                     {"max_tokens", 64}});
    ASSERT_TRUE(session.initialized()) << vexa_core_last_error(session.handle());

    Events events;
    ASSERT_EQ(session.turn("Say hello.", events), 1) << vexa_core_last_error(session.handle()) << events.errors;
    EXPECT_EQ(events.content, kGreeting);
    EXPECT_TRUE(events.saw(VEXA_CORE_EVENT_DONE));
    EXPECT_FALSE(events.saw(VEXA_CORE_EVENT_ERROR)) << events.errors;

    // A second turn sends the first one back as history and still gets its answer.
    Events second;
    ASSERT_EQ(session.turn("Again, please.", second), 1) << vexa_core_last_error(session.handle());
    EXPECT_EQ(second.content, kGreeting);
}

TEST(CInterfaceTurnTest, OnTheLocalBackend) {
    // The context holds the built-in tools' definitions and the memory blocks
    // of the system prompt, which this model's tokenizer spells out in full.
    const std::string model = local_test::scripted_model("c_local_greeting.gguf", kScript);
    Session session({{"backend", "llama_cpp"},
                     {"model", "scripted"},
                     {"temperature", 0.0},
                     {"max_tokens", 64},
                     {"llama_cpp", {{"model_path", model}, {"context_size", 8192}, {"threads", 1}}}});
    ASSERT_TRUE(session.initialized()) << vexa_core_last_error(session.handle());
    EXPECT_TRUE(session.startup().saw(VEXA_CORE_EVENT_MODEL_LOADING));

    Events events;
    ASSERT_EQ(session.turn("Say hello.", events), 1) << vexa_core_last_error(session.handle()) << events.errors;
    EXPECT_EQ(events.content, kGreeting);
    EXPECT_TRUE(events.saw(VEXA_CORE_EVENT_DONE));
    ASSERT_FALSE(events.states.empty());
    EXPECT_EQ(events.states.front(), "waiting");
}

}  // namespace
}  // namespace vexa
