#include "llm/llm_client.hpp"

#include "fixtures/scripted_server.hpp"
#include "llm/host_backend.hpp"
#include "llm/openai_backend.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vexa {
namespace {

using nlohmann::json;
using test::ScriptedResponse;
using test::ScriptedServer;
using namespace std::chrono_literals;

const std::string kLocalPathMessage = "llm.llama_cpp.model_path is required when llm.backend is llama_cpp.";

LLMConfig openai_config(const std::string& base_url, const std::string& model = "test-model") {
    LLMConfig config;
    config.backend = "openai_compatible";
    config.base_url = base_url;
    config.api_key = "sk-test";
    config.model = model;
    config.temperature = 0.5;
    config.max_tokens = 256;
    config.timeout_seconds = 10;
    return config;
}

std::vector<ChatMessage> hello() {
    ChatMessage message;
    message.role = MessageRole::user;
    message.content = "hello";
    return {message};
}

std::string content_chunk(const std::string& text) {
    return json{{"id", "r1"}, {"choices", {{{"index", 0}, {"delta", {{"content", text}}}}}}}.dump();
}

// --- the factory ---------------------------------------------------------

TEST(CreateBackend, NamesTable) {
    enum class Kind { OpenAI, Local, Host, None };
    struct Case {
        std::string name;
        Kind kind;
    };
    const Case cases[] = {
        {"", Kind::OpenAI},        {"openai", Kind::OpenAI},    {"OpenAI", Kind::OpenAI},
        {"OPENAI_COMPATIBLE", Kind::OpenAI}, {"http", Kind::OpenAI}, {"Http", Kind::OpenAI},
        {"llama_cpp", Kind::Local}, {"LOCAL", Kind::Local},     {"Llama_Cpp", Kind::Local},
        {"host", Kind::Host},      {"Host", Kind::Host},        {"HOST", Kind::Host},
        {" host", Kind::None},     {"llama", Kind::None},       {" openai", Kind::None},
        {"openai ", Kind::None},   {"OpenAI-Compatible", Kind::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("name '" + c.name + "'");
        std::string error;
        std::unique_ptr<ILLMBackend> backend = create_backend(c.name, error);
        switch (c.kind) {
        case Kind::OpenAI:
            EXPECT_NE(dynamic_cast<OpenAICompatibleBackend*>(backend.get()), nullptr);
            EXPECT_EQ(error, "");
            break;
        case Kind::Local: {
            ASSERT_NE(backend, nullptr);
            EXPECT_EQ(dynamic_cast<OpenAICompatibleBackend*>(backend.get()), nullptr);
            // The local backend is recognisable by its configuration check.
            std::string configure_error;
            EXPECT_FALSE(backend->configure(LLMConfig{}, configure_error, nullptr));
            EXPECT_EQ(configure_error, kLocalPathMessage);
            break;
        }
        case Kind::Host:
            EXPECT_NE(dynamic_cast<HostBackend*>(backend.get()), nullptr);
            EXPECT_EQ(error, "");
            break;
        case Kind::None:
            EXPECT_EQ(backend, nullptr);
            EXPECT_EQ(error, "Unsupported llm.backend: " + c.name) << "the name in its own spelling";
            break;
        }
    }
}

TEST(CreateBackend, LocalNames) {
    EXPECT_TRUE(is_local_backend_name("llama_cpp"));
    EXPECT_TRUE(is_local_backend_name("Local"));
    EXPECT_FALSE(is_local_backend_name("llama"));
    EXPECT_FALSE(is_local_backend_name(""));
}

// --- the override --------------------------------------------------------

TEST(ApplyOverride, FieldsByResultingBackend) {
    LLMConfig base = openai_config("http://base", "base-model");
    base.llama_cpp.model_path = "/models/a.gguf";

    struct Case {
        const char* label;
        std::string config_backend;
        LlmOverride override_settings;
        // Expected fields of the result.
        std::string backend, base_url, api_key, model;
        double temperature;
        int max_tokens, timeout_seconds;
    };
    const Case cases[] = {
        {"nothing given", "openai", {}, "openai", "http://base", "sk-test", "base-model", 0.5, 256, 10},
        {"only a model", "openai", {"", "", "", "m2", {}, {}, {}}, "openai", "http://base", "sk-test", "m2", 0.5, 256,
         10},
        {"everything on openai", "", {"", "http://o", "sk-o", "m3", 0.1, 99, 7}, "", "http://o", "sk-o", "m3", 0.1, 99,
         7},
        {"numbers only", "HTTP", {"", "", "", "", 1.5, {}, 3}, "HTTP", "http://base", "sk-test", "base-model", 1.5, 256,
         3},
        {"host ignores url and key", "openai", {"host", "http://o", "sk-o", "m4", 0.2, 10, 20}, "host", "http://base",
         "sk-test", "m4", 0.2, 10, 20},
        {"Host in capitals", "openai", {"Host", "http://o", "", "", {}, 11, {}}, "Host", "http://base", "sk-test",
         "base-model", 0.5, 11, 10},
        {"switch to local takes nothing else", "openai", {"LOCAL", "http://o", "sk-o", "m5", 0.9, 1, 1}, "LOCAL",
         "http://base", "sk-test", "base-model", 0.5, 256, 10},
        {"local config keeps its settings", "llama_cpp", {"", "http://o", "", "m6", 0.9, {}, {}}, "llama_cpp",
         "http://base", "sk-test", "base-model", 0.5, 256, 10},
        {"unknown backend takes nothing else", "openai", {"bogus", "http://o", "", "m7", {}, {}, {}}, "bogus",
         "http://base", "sk-test", "base-model", 0.5, 256, 10},
        {"override switches local back to openai", "local", {"openai", "http://o", "", "", {}, {}, {}}, "openai",
         "http://o", "sk-test", "base-model", 0.5, 256, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        LLMConfig config = base;
        config.backend = c.config_backend;
        const LLMConfig result = apply_override(config, c.override_settings);
        EXPECT_EQ(result.backend, c.backend);
        EXPECT_EQ(result.base_url, c.base_url);
        EXPECT_EQ(result.api_key, c.api_key);
        EXPECT_EQ(result.model, c.model);
        EXPECT_DOUBLE_EQ(result.temperature, c.temperature);
        EXPECT_EQ(result.max_tokens, c.max_tokens);
        EXPECT_EQ(result.timeout_seconds, c.timeout_seconds);
        EXPECT_EQ(result.llama_cpp.model_path, "/models/a.gguf");
    }
}

// --- a backend under the test's control, for paths no real backend takes ---

struct Probe {
    std::mutex mutex;
    std::vector<std::string> session_ids;
    std::vector<std::string> contexts;
    std::atomic<int> constructed{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> cancels{0};
};

// Behaviour chosen by the configured model: "reject" fails configure without
// a text, "reject:<text>" with that text, "silent" fails buffered calls
// without a text.
class ProbeBackend : public ILLMBackend, public IHostContextReceiver {
public:
    explicit ProbeBackend(std::shared_ptr<Probe> probe) : probe_(std::move(probe)) { ++probe_->constructed; }
    ~ProbeBackend() override { ++probe_->destroyed; }

    bool configure(const LLMConfig& config, std::string& error, LLMClient*) override {
        model_ = config.model;
        if (model_.rfind("reject", 0) == 0) {
            error = model_.size() > 7 ? model_.substr(7) : "";
            return false;
        }
        return true;
    }
    StreamResult chat_completion_stream(const std::vector<ChatMessage>&, const std::vector<ToolDefinition>&,
                                        const StreamCallbacks&) override {
        StreamResult result;
        result.ok = true;
        result.message.content = model_;
        return result;
    }
    CompletionResult chat_completion_result(const std::vector<ChatMessage>&, const CompletionOptions&) override {
        CompletionResult result;
        if (model_ == "silent") {
            result.content = "partial";
            return result;
        }
        result.ok = true;
        result.content = model_;
        return result;
    }
    void cancel() override { ++probe_->cancels; }
    void set_session_id(const std::string& id) override {
        std::lock_guard lock(probe_->mutex);
        probe_->session_ids.push_back(id);
    }
    void set_host_llm_context(const HostLlmContext& context) override {
        std::lock_guard lock(probe_->mutex);
        probe_->contexts.push_back(context.gateway_url);
    }

private:
    std::shared_ptr<Probe> probe_;
    std::string model_;
};

BackendFactory probe_factory(std::shared_ptr<Probe> probe) {
    return [probe](const std::string& name, std::string& error) -> std::unique_ptr<ILLMBackend> {
        if (name == "probe") {
            return std::make_unique<ProbeBackend>(probe);
        }
        return create_backend(name, error);
    };
}

LLMConfig probe_config(const std::string& model) {
    LLMConfig config;
    config.backend = "probe";
    config.model = model;
    return config;
}

// --- configure and its failures -------------------------------------------------

TEST(LLMClient, FailedConfigureKeepsThePreviousBackend) {
    ScriptedServer server;
    LLMClient client;
    const LLMConfig good = openai_config(server.base_url() + "/v1");
    ASSERT_TRUE(client.configure(good)) << client.last_error();
    EXPECT_TRUE(client.is_configured());
    EXPECT_FALSE(client.is_local());

    std::vector<std::pair<std::string, int>> progress;
    std::vector<bool> progress_ok;
    client.set_progress_callback([&](const std::string& text, int percent, bool ok) {
        progress.emplace_back(text, percent);
        progress_ok.push_back(ok);
    });

    struct Case {
        const char* label;
        std::string backend;
        std::string error;
    };
    const Case cases[] = {
        {"unlisted name", "llama", "Unsupported llm.backend: llama"},
        {"misspelt host", "Host ", "Unsupported llm.backend: Host "},
        {"local backend rejects its settings", "Local", kLocalPathMessage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        LLMConfig bad = good;
        bad.backend = c.backend;
        bad.model = "other-model";
        EXPECT_FALSE(client.configure(bad));
        EXPECT_EQ(client.last_error(), c.error);
        EXPECT_FALSE(client.is_local());
        EXPECT_EQ(client.effective_config().model, "test-model");
        EXPECT_EQ(client.base_config().backend, "openai_compatible");

        server.enqueue(ScriptedResponse::sse(test::sse_body({content_chunk("still here")})));
        const StreamResult result = client.chat_completion_stream(hello(), {}, {});
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.message.content, "still here");
    }
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(std::string("本地模型加载失败：模型路径为空"), 100));
    EXPECT_FALSE(progress_ok.back());
}

TEST(LLMClient, ConfigureFailureWithoutTextAndReplacement) {
    auto probe = std::make_shared<Probe>();
    LLMClient client(probe_factory(probe));
    EXPECT_FALSE(client.configure(probe_config("reject")));
    EXPECT_EQ(client.last_error(), "Failed to configure LLM backend.");
    EXPECT_FALSE(client.configure(probe_config("reject:no GPU")));
    EXPECT_EQ(client.last_error(), "no GPU");
    EXPECT_FALSE(client.has_backend());
    EXPECT_FALSE(client.is_configured());
    EXPECT_EQ(probe->destroyed.load(), 2) << "rejected backends are discarded";

    ASSERT_TRUE(client.configure(probe_config("one")));
    EXPECT_EQ(client.last_error(), "");
    ASSERT_TRUE(client.configure(probe_config("two")));
    EXPECT_EQ(probe->destroyed.load(), 3) << "a successful configure replaces the previous backend";
    EXPECT_EQ(client.chat_completion(hello()), "two");
}

TEST(LLMClient, SessionIdReachesEachBackendAndCall) {
    auto probe = std::make_shared<Probe>();
    LLMClient client(probe_factory(probe));
    client.set_session_id("s-1");
    ASSERT_TRUE(client.configure(probe_config("m")));
    client.set_session_id("s-2");
    client.chat_completion_stream(hello(), {}, {});
    client.chat_completion_result(hello(), {});
    std::lock_guard lock(probe->mutex);
    EXPECT_EQ(probe->session_ids, (std::vector<std::string>{"s-1", "s-2", "s-2", "s-2"}));
}

TEST(LLMClient, OverrideBeforeAndAfterConfigure) {
    ScriptedServer first;
    ScriptedServer second;
    LLMClient client;

    LlmOverride only_model;
    only_model.model = "override-model";
    EXPECT_TRUE(client.set_override(only_model)) << "before configure it is only stored";
    EXPECT_FALSE(client.has_backend());

    ASSERT_TRUE(client.configure(openai_config(first.base_url())));
    EXPECT_EQ(client.effective_config().model, "override-model");
    EXPECT_EQ(client.base_config().model, "test-model");
    first.enqueue(ScriptedResponse::sse(test::sse_body({content_chunk("a")})));
    ASSERT_TRUE(client.chat_completion_stream(hello(), {}, {}).ok);
    ASSERT_TRUE(first.wait_for_requests(1));
    EXPECT_EQ(json::parse(first.requests()[0].body)["model"], "override-model");

    LlmOverride moved = only_model;
    moved.base_url = second.base_url();
    ASSERT_TRUE(client.set_override(moved)) << "reconfigures at once";
    second.enqueue(ScriptedResponse::sse(test::sse_body({content_chunk("b")})));
    EXPECT_EQ(client.chat_completion_stream(hello(), {}, {}).message.content, "b");
    EXPECT_EQ(second.request_count(), 1u);

    LlmOverride broken;
    broken.backend = "nowhere";
    EXPECT_FALSE(client.set_override(broken));
    EXPECT_EQ(client.last_error(), "Unsupported llm.backend: nowhere");
    second.enqueue(ScriptedResponse::sse(test::sse_body({content_chunk("c")})));
    EXPECT_EQ(client.chat_completion_stream(hello(), {}, {}).message.content, "c") << "previous backend kept";
}

TEST(LLMClient, HostContextRouting) {
    auto probe = std::make_shared<Probe>();
    LLMClient client(probe_factory(probe));
    EXPECT_FALSE(client.set_host_llm_context({}));
    EXPECT_EQ(client.last_error(), "Current LLM backend is not host.");

    ScriptedServer server;
    ASSERT_TRUE(client.configure(openai_config(server.base_url())));
    EXPECT_FALSE(client.set_host_llm_context({}));
    EXPECT_EQ(client.last_error(), "Current LLM backend is not host.");

    ASSERT_TRUE(client.configure(probe_config("gateway")));
    HostLlmContext context;
    context.gateway_url = "https://gateway.invalid/chat";
    EXPECT_TRUE(client.set_host_llm_context(context));
    EXPECT_EQ(client.last_error(), "");
    std::lock_guard lock(probe->mutex);
    EXPECT_EQ(probe->contexts, std::vector<std::string>{"https://gateway.invalid/chat"});
}

// --- uniform errors without a backend ------------------------------------------

TEST(LLMClient, CallsWithoutBackend) {
    LLMClient client;
    std::vector<LLMState> states;
    StreamCallbacks callbacks;
    callbacks.on_state = [&](LLMState state) { states.push_back(state); };
    callbacks.on_content = [&](const std::string&) { ADD_FAILURE() << "no content expected"; };

    StreamResult stream = client.chat_completion_stream(hello(), {}, callbacks);
    EXPECT_FALSE(stream.ok);
    EXPECT_EQ(stream.error, "LLM backend is not configured.");
    EXPECT_EQ(stream.message.role, MessageRole::assistant);
    EXPECT_EQ(stream.message.content, "");
    EXPECT_EQ(states, std::vector<LLMState>{LLMState::error});
    EXPECT_EQ(client.last_error(), "") << "a streaming call leaves the last error alone";

    CompletionResult buffered = client.chat_completion_result(hello(), {});
    EXPECT_FALSE(buffered.ok);
    EXPECT_EQ(buffered.error, "LLM backend is not configured.");
    EXPECT_EQ(client.last_error(), "LLM backend is not configured.");
    EXPECT_EQ(client.chat_completion(hello()), "");

    client.cancel();  // nothing to cancel, nothing happens

    LLMConfig bad;
    bad.backend = "llama";
    EXPECT_FALSE(client.configure(bad));
    EXPECT_EQ(client.chat_completion_stream(hello(), {}, {}).error, "Unsupported llm.backend: llama");
    EXPECT_EQ(client.chat_completion_result(hello(), {}).error, "Unsupported llm.backend: llama");
}

TEST(LLMClient, BufferedFailureWithoutTextGetsOne) {
    auto probe = std::make_shared<Probe>();
    LLMClient client(probe_factory(probe));
    ASSERT_TRUE(client.configure(probe_config("silent")));
    const CompletionResult result = client.chat_completion_result(hello(), {});
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "sync completion failed");
    EXPECT_EQ(client.last_error(), "sync completion failed");
    EXPECT_EQ(client.chat_completion(hello()), "") << "no content on failure";
}

// --- real calls over loopback --------------------------------------------------

TEST(LLMClient, StreamedCallThroughTheClient) {
    ScriptedServer server;
    const std::string body = test::sse_body({
        content_chunk("Hel"),
        content_chunk("lo, "),
        content_chunk("世界"),
        json{{"id", "r1"}, {"choices", json::array()},
             {"usage", {{"prompt_tokens", 5}, {"completion_tokens", 3}, {"total_tokens", 8}}}}
            .dump(),
    });
    ScriptedResponse response = ScriptedResponse::sse(body);
    response.chunks = test::split_chunks(body, 7, 1ms);
    server.enqueue(response);

    LLMClient client;
    ASSERT_TRUE(client.configure(openai_config(server.base_url() + "/v1")));
    std::string streamed;
    std::vector<LLMState> states;
    StreamCallbacks callbacks;
    callbacks.on_content = [&](const std::string& piece) { streamed += piece; };
    callbacks.on_state = [&](LLMState state) { states.push_back(state); };

    const StreamResult result = client.chat_completion_stream(hello(), {}, callbacks);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.message.content, "Hello, 世界");
    EXPECT_EQ(streamed, "Hello, 世界");
    EXPECT_EQ(result.usage.total_tokens, 8);
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), LLMState::done);

    ASSERT_EQ(server.request_count(), 1u);
    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/v1/chat/completions");
    EXPECT_EQ(request.header("Authorization"), "Bearer sk-test");
    const json sent = json::parse(request.body);
    EXPECT_EQ(sent["model"], "test-model");
    EXPECT_EQ(sent["stream"], true);
    EXPECT_EQ(sent["messages"][0]["content"], "hello");
}

TEST(LLMClient, BufferedCallsSetAndClearTheLastError) {
    ScriptedServer server;
    LLMClient client;
    ASSERT_TRUE(client.configure(openai_config(server.base_url())));

    server.enqueue(ScriptedResponse::json("oops", 500));
    CompletionResult failed = client.chat_completion_result(hello(), {});
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, "openai sync HTTP 500");
    EXPECT_EQ(client.last_error(), "openai sync HTTP 500");

    server.enqueue(ScriptedResponse::json(
        R"({"choices":[{"message":{"role":"assistant","content":"fine"}}],"usage":{"prompt_tokens":1,"completion_tokens":2,"total_tokens":3}})"));
    CompletionOptions options;
    options.model = "asked-model";
    const CompletionResult ok = client.chat_completion_result(hello(), options);
    ASSERT_TRUE(ok.ok) << ok.error;
    EXPECT_EQ(ok.content, "fine");
    EXPECT_EQ(ok.usage.total_tokens, 3);
    EXPECT_EQ(client.last_error(), "");
    EXPECT_EQ(json::parse(server.requests().back().body)["model"], "asked-model");
}

// --- cancel racing a backend swap (also run under TSan) ---------------------------

TEST(LLMClientCancel, CancelDuringConfigureSwap) {
    auto probe = std::make_shared<Probe>();
    LLMClient client(probe_factory(probe));
    ASSERT_TRUE(client.configure(probe_config("first")));

    std::atomic<bool> done{false};
    std::thread canceller([&] {
        while (!done.load()) {
            client.cancel();
        }
    });
    std::thread caller([&] {
        while (!done.load()) {
            client.chat_completion_result(hello(), {});
            (void)client.is_local();
        }
    });
    // Swap until the other threads have overlapped with many swaps. Bounded
    // by time, not by count: on a loaded machine the canceller may get little
    // of the CPU while the swaps run.
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    for (int i = 0; i < 300 || (probe->cancels.load() < 1000 && std::chrono::steady_clock::now() < give_up); ++i) {
        ASSERT_TRUE(client.configure(probe_config(i % 2 ? "odd" : "even")));
        client.set_session_id("s" + std::to_string(i));
    }
    done = true;
    canceller.join();
    caller.join();
    EXPECT_GE(probe->cancels.load(), 1000);
    EXPECT_EQ(probe->constructed.load(), probe->destroyed.load() + 1) << "every replaced backend released";
}

TEST(LLMClientCancel, CancelReachesAStreamWhoseBackendWasReplaced) {
    ScriptedServer server;
    // The first request stays silent after its headers; the swap must not
    // pull the backend out from under it, and cancel must still reach it.
    ScriptedResponse silent = ScriptedResponse::sse(test::sse_body({content_chunk("early")}, false));
    silent.end = ScriptedResponse::End::Hang;
    silent.hang_limit = 20000ms;
    server.enqueue(silent);

    LLMClient client;
    ASSERT_TRUE(client.configure(openai_config(server.base_url(), "before")));
    std::atomic<bool> got_content{false};
    StreamResult result;
    std::thread streamer([&] {
        StreamCallbacks callbacks;
        callbacks.on_content = [&](const std::string&) { got_content = true; };
        result = client.chat_completion_stream(hello(), {}, callbacks);
    });
    for (int i = 0; i < 500 && !got_content.load(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(got_content.load());
    ASSERT_TRUE(client.configure(openai_config(server.base_url(), "after")));

    const auto started = std::chrono::steady_clock::now();
    client.cancel();
    streamer.join();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "Request cancelled");
    EXPECT_EQ(result.message.content, "early");
    EXPECT_LT(elapsed, 5s);
    EXPECT_EQ(client.effective_config().model, "after");
}

// Whatever sets the base URL (the file, a switch, the host's override), the
// chat-completions backend is never configured with one the transport would
// read otherwise or one at a link-local address; the client keeps its backend.
TEST(LLMClient, BaseUrlsThatAreNoPlainHttpServerAreRefused) {
    ScriptedServer server;
    LLMClient client;
    LLMConfig good;
    good.backend = "openai_compatible";
    good.base_url = server.base_url() + "/v1";
    good.model = "test-model";
    ASSERT_TRUE(client.configure(good)) << client.last_error();
    const struct {
        const char* url;
        const char* error;
    } cases[] = {
        {"file:///etc/passwd", "Base URL refused: the base URL must start with http:// or https://."},
        {"http://169.254.169.254/latest",
         "Base URL refused: the base URL points at a link-local address (169.254.0.0/16 or fe80::/10)."},
        {"http://a@evil/v1", "Base URL refused: the base URL carries user information (user@host)."},
        {"http://x.example/v1\r\nX: y", "Base URL refused: the base URL contains blanks or control characters."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        LLMConfig bad = good;
        bad.base_url = c.url;
        EXPECT_FALSE(client.configure(bad));
        EXPECT_EQ(client.last_error(), c.error);
        EXPECT_EQ(client.effective_config().base_url, good.base_url);

        LlmOverride over;
        over.base_url = c.url;
        EXPECT_FALSE(client.set_override(over));
        EXPECT_EQ(client.last_error(), c.error);
        EXPECT_EQ(client.effective_config().base_url, good.base_url);
        ASSERT_TRUE(client.set_override(LlmOverride{})) << client.last_error();
    }
    EXPECT_EQ(server.request_count(), 0u);
}

}  // namespace
}  // namespace vexa
