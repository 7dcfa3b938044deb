// The chat-completions backend against a server we did not write: llama.cpp's own
// llama-server (same llama.cpp build), started on loopback with generated models.

#include "llm/openai_backend.hpp"

#include "llm/local/local_test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#ifdef VEXA_LLAMA_CPP_ENABLED
#include "llm/local/llama_server_process.hpp"
#endif

namespace vexa {
namespace {

#ifdef VEXA_LLAMA_CPP_ENABLED

using ::testing::ElementsAre;

const char* const kGreeting = "Hello from the scripted model.";

ChatMessage user(const std::string& text) {
    ChatMessage m;
    m.role = MessageRole::user;
    m.content = text;
    return m;
}

// One server per model for the whole suite; starting one takes a moment.
class LlamaServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scripted_ = start(local_test::scripted_model("greeting.gguf", {"Hello", " from", " the", " scripted", " model."}));
        random_ = start(local_test::tiny_model());
    }
    static void TearDownTestSuite() {
        scripted_.reset();
        random_.reset();
    }
    static std::unique_ptr<local_test::LlamaServerProcess> start(const std::string& model) {
        auto server = std::make_unique<local_test::LlamaServerProcess>();
        std::string error;
        if (!server->start(VEXA_LLAMA_SERVER_PATH, model, error)) {
            ADD_FAILURE() << "llama-server: " << error;
            return nullptr;
        }
        return server;
    }
    void SetUp() override {
        ASSERT_TRUE(scripted_ && random_) << "llama-server did not start";
    }

    static std::unique_ptr<OpenAICompatibleBackend> backend(const local_test::LlamaServerProcess& server,
                                                            int max_tokens) {
        LLMConfig config;
        config.base_url = server.base_url();
        config.model = "generated";
        config.temperature = 0.0;
        config.max_tokens = max_tokens;
        config.timeout_seconds = 60;
        auto b = std::make_unique<OpenAICompatibleBackend>();
        std::string error;
        EXPECT_TRUE(b->configure(config, error, nullptr)) << error;
        return b;
    }

    static std::unique_ptr<local_test::LlamaServerProcess> scripted_;
    static std::unique_ptr<local_test::LlamaServerProcess> random_;
};

std::unique_ptr<local_test::LlamaServerProcess> LlamaServerTest::scripted_;
std::unique_ptr<local_test::LlamaServerProcess> LlamaServerTest::random_;

TEST_F(LlamaServerTest, StreamsTheScriptedAnswer) {
    auto b = backend(*scripted_, 64);
    std::vector<LLMState> states;
    std::vector<std::string> deltas;
    StreamCallbacks cb;
    cb.on_state = [&](LLMState s) { states.push_back(s); };
    cb.on_content = [&](const std::string& s) { deltas.push_back(s); };
    const StreamResult r = b->chat_completion_stream({user("say hello")}, {}, cb);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.message.content, kGreeting);
    EXPECT_EQ(r.message.role, MessageRole::assistant);
    EXPECT_TRUE(r.message.tool_calls.empty());
    EXPECT_GE(deltas.size(), 2u);  // really streamed, one piece per token
    std::string joined;
    for (const auto& d : deltas) joined += d;
    EXPECT_EQ(joined, kGreeting);
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), LLMState::done);
    EXPECT_EQ(r.finish_reason, "stop");
    EXPECT_FALSE(r.response_id.empty());
}

TEST_F(LlamaServerTest, BufferedCallGetsTheScriptedAnswer) {
    auto b = backend(*scripted_, 64);
    const CompletionResult r = b->chat_completion_result({user("again")}, CompletionOptions{});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.content, kGreeting);
    EXPECT_GT(r.usage.completion_tokens, 0);
}

TEST_F(LlamaServerTest, RandomModelStopsAtMaxTokens) {
    auto b = backend(*random_, 8);
    std::string joined;
    StreamCallbacks cb;
    cb.on_content = [&](const std::string& s) { joined += s; };
    const StreamResult r = b->chat_completion_stream({user("hello"), }, {}, cb);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.message.content.empty());
    EXPECT_EQ(joined, r.message.content);
    EXPECT_EQ(r.finish_reason, "length");
}

TEST_F(LlamaServerTest, CancelStopsALongStream) {
    auto b = backend(*random_, 1900);
    std::atomic<int> deltas{0};
    StreamCallbacks cb;
    cb.on_content = [&](const std::string&) {
        ++deltas;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    };
    std::thread canceller([&] {
        while (deltas.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        b->cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    const StreamResult r = b->chat_completion_stream({user("talk for a long time")}, {}, cb);
    canceller.join();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 30.0);
    EXPECT_LT(deltas.load(), 1900);
    (void)r;  // how a cancelled stream reports itself is the backend's own contract

    // The server and the backend serve the next request normally.
    const StreamResult next = backend(*scripted_, 64)->chat_completion_stream({user("hi")}, {}, StreamCallbacks{});
    EXPECT_TRUE(next.ok) << next.error;
}

#else

TEST(LlamaServerTest, NeedsLlamaCpp) { GTEST_SKIP() << "built without llama.cpp"; }

#endif

}  // namespace
}  // namespace vexa
