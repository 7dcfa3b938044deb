// LlamaCppBackend: prompt construction (template, folded template, ChatML), the
// tool protocol text, stop strings, streaming deltas and states, the buffered call,
// configuration; with a scripted runtime, and with llama.cpp on generated models.

#include "llm/local/local_backend.hpp"

#include "config/agent_config.hpp"
#include "llm/llm_client.hpp"
#include "llm/local/local_test_support.hpp"
#include "llm/openai_backend.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace vexa {
namespace {

using local_test::ProgressLog;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

const std::string kFence = "```";

// A runtime whose template acceptance and generated text are set by the test.
class ScriptedRuntime : public ILocalRuntime {
public:
    enum class Templates { all, user_assistant_only, none };

    Templates templates = Templates::all;
    std::vector<std::string> pieces;
    bool ok = true;
    bool stopped = false;
    std::string error;
    bool load_result = true;

    // What the backend asked for.
    std::vector<ChatTurns> template_calls;
    std::string last_prompt;
    GenerationParams last_params;
    LocalLoadOptions last_options;
    int loads = 0;
    int cancels = 0;

    bool load(const LocalLoadOptions& options, std::string& err, LLMClient* client) override {
        ++loads;
        last_options = options;
        if (client != nullptr) client->report_progress("scripted load", 100);
        if (!load_result) err = "scripted load failure";
        return load_result;
    }
    bool apply_chat_template(const ChatTurns& turns, bool add_generation_prompt, std::string& prompt,
                             std::string& err) override {
        template_calls.push_back(turns);
        prompt.clear();
        for (const auto& [role, content] : turns) {
            const bool allowed = templates == Templates::all ||
                                 (templates == Templates::user_assistant_only && (role == "user" || role == "assistant"));
            if (!allowed) {
                err = "role rejected";
                return false;
            }
            prompt += "[" + role + "]" + content;
        }
        if (add_generation_prompt) prompt += "[assistant]";
        return true;
    }
    GenerationResult generate(const std::string& prompt, const GenerationParams& params,
                              const PieceCallback& on_piece) override {
        last_prompt = prompt;
        last_params = params;
        GenerationResult r;
        for (const std::string& p : pieces) {
            r.text += p;
            if (on_piece) on_piece(p);
        }
        r.ok = ok;
        r.stopped = stopped;
        r.error = error;
        return r;
    }
    void cancel() override { ++cancels; }
    // One token per byte, so tests can size a context exactly; -1: unknown.
    int context = -1;
    int count_tokens(const std::string& prompt) override {
        return context < 0 ? -1 : static_cast<int>(prompt.size());
    }
    int context_size() const override { return context; }
};

struct Fixture {
    ScriptedRuntime* runtime = nullptr;
    std::unique_ptr<LlamaCppBackend> backend;

    Fixture() {
        auto r = std::make_unique<ScriptedRuntime>();
        runtime = r.get();
        backend = std::make_unique<LlamaCppBackend>(std::move(r));
    }
};

// Everything a streaming call reported, in order.
struct Recorder {
    std::vector<LLMState> states;
    std::vector<std::string> content;
    std::vector<std::string> reasoning;
    std::vector<ToolCall> calls;

    StreamCallbacks callbacks() {
        StreamCallbacks cb;
        cb.on_state = [this](LLMState s) { states.push_back(s); };
        cb.on_content = [this](const std::string& s) { content.push_back(s); };
        cb.on_reasoning = [this](const std::string& s) { reasoning.push_back(s); };
        cb.on_tool_call = [this](const ToolCall& c) { calls.push_back(c); };
        return cb;
    }
    std::string joined_content() const {
        std::string out;
        for (const auto& s : content) out += s;
        return out;
    }
};

ChatMessage msg(MessageRole role, std::string content) {
    ChatMessage m;
    m.role = role;
    m.content = std::move(content);
    return m;
}

ToolDefinition search_tool() {
    ToolDefinition t;
    t.name = "search";
    t.description = "Find things";
    t.parameters = nlohmann::json{{"type", "object"}, {"properties", {{"q", {{"type", "string"}}}}}};
    return t;
}

// ---- the tool protocol ------------------------------------------------------

TEST(LocalPromptTest, ToolInstructionsAreWordForWord) {
    EXPECT_EQ(tool_instructions({}), "");
    ToolDefinition nameless;
    nameless.parameters = nlohmann::json::object();
    const std::vector<ToolDefinition> tools = {search_tool(), nameless};
    const nlohmann::json list = nlohmann::json::array({tool_to_json(tools[0]), tool_to_json(tools[1])});
    const std::string expected =
        "You can call tools only when they are required to satisfy the user's explicit request.\n"
        "Do not call tools for greetings, casual conversation, explanations, or questions that can be answered "
        "directly.\n"
        "Available tools are described as JSON Schema below.\n" +
        list.dump(2) +
        "\n\n"
        "When a tool is truly needed, output exactly one fenced block and no extra prose.\n"
        "The tool name MUST be the top-level JSON field named \"name\". Never put the tool name inside "
        "\"arguments\".\n"
        "The top-level \"name\" value MUST exactly match one available function name.\n"
        "Example:\n" +
        kFence + "tool_call\n" + "{\"name\":\"skill_inspect_tool\",\"arguments\":{\"action\":\"list\"}}\n" + kFence +
        "\n"
        "If no tool is needed, answer normally without a tool_call block.\n"
        "After a tool result appears in the conversation, inspect its JSON strictly. If success is false, timed_out "
        "is true, exit_code is non-zero, stderr is non-empty, or error exists, tell the user the tool failed and "
        "include the relevant error. Never claim success after a failed tool result.";
    EXPECT_EQ(tool_instructions(tools), expected);
    EXPECT_THAT(expected, HasSubstr("\"name\": \"search\""));
    EXPECT_THAT(expected, HasSubstr("\"name\": \"\""));  // nameless tools are listed too
}

// ---- one message as template text ------------------------------------------

TEST(LocalPromptTest, RenderMessageText) {
    ChatMessage tool = msg(MessageRole::tool, "{\"success\":true}\n");
    tool.tool_call_id = "call_7";
    EXPECT_EQ(render_message_text(tool),
              "Tool call id: call_7\nIMPORTANT: The following is the actual tool result JSON. success=false, "
              "timed_out=true, non-zero exit_code, stderr, or error means the operation failed. Do not report "
              "success unless this JSON clearly indicates success=true.\n{\"success\":true}");
    ChatMessage anonymous_tool = msg(MessageRole::tool, "r");
    EXPECT_THAT(render_message_text(anonymous_tool), ::testing::StartsWith("Tool call id: \nIMPORTANT:"));

    ChatMessage picture = msg(MessageRole::user, "");
    picture.images.push_back({"data:image/png;base64,AAAA", "auto"});
    EXPECT_EQ(render_message_text(picture), "[图片]");
    picture.content = "  what is this?  ";
    EXPECT_EQ(render_message_text(picture), "what is this?");

    ChatMessage call = msg(MessageRole::assistant, "Let me look.");
    call.tool_calls.push_back({"c1", "search", "{\"q\": \"x\"}"});
    call.tool_calls.push_back({"c2", "broken", "{not json"});
    EXPECT_EQ(render_message_text(call),
              "Let me look.\n" + kFence + "tool_call\n{\"arguments\":{\"q\":\"x\"},\"id\":\"c1\",\"name\":\"search\"}\n" +
                  kFence + "\n" + kFence + "tool_call\n{\"arguments\":\"{not json\",\"id\":\"c2\",\"name\":\"broken\"}\n" +
                  kFence);
    ChatMessage only_call = msg(MessageRole::assistant, "");
    only_call.tool_calls.push_back({"c3", "search", ""});
    EXPECT_EQ(render_message_text(only_call),
              kFence + "tool_call\n{\"arguments\":\"\",\"id\":\"c3\",\"name\":\"search\"}\n" + kFence);
}

// ---- turns ------------------------------------------------------------------

TEST(LocalPromptTest, MergeChatTurn) {
    ChatTurns turns;
    merge_chat_turn(turns, "user", "  first ");
    merge_chat_turn(turns, "user", "second\n");
    merge_chat_turn(turns, "assistant", " \n\t ");  // empty: adds nothing
    merge_chat_turn(turns, "user", "third");
    merge_chat_turn(turns, "assistant", "answer");
    EXPECT_THAT(turns, ElementsAre(Pair("user", "first\n\nsecond\n\nthird"), Pair("assistant", "answer")));
}

TEST(LocalPromptTest, FoldRoles) {
    struct Case {
        const char* label;
        ChatTurns in;
        ChatTurns out;
    };
    const std::vector<Case> cases = {
        {"empty", {}, {{"user", "Hello"}}},
        {"leading assistant", {{"assistant", "hi there"}, {"user", "q"}},
         {{"user", "Previous assistant message:\nhi there\n\nq"}}},
        {"system and tool",
         {{"system", "rules"}, {"user", "q"}, {"assistant", "call"}, {"tool", "{}"}, {"user", "more"}},
         {{"user", "System instructions:\nrules\n\nq"}, {"assistant", "call"}, {"user", "Tool result:\n{}\n\nmore"}}},
        {"leading system then assistant", {{"system", "s"}, {"assistant", "a"}},
         {{"user", "System instructions:\ns"}, {"assistant", "a"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(fold_roles(c.in), c.out);
    }
}

TEST(LocalPromptTest, ChatmlFallback) {
    EXPECT_EQ(render_chatml({msg(MessageRole::user, "hi")}, {}),
              "<|im_start|>user\nhi\n<|im_end|>\n<|im_start|>assistant\n");

    ChatMessage named = msg(MessageRole::user, "  spaced  ");
    named.name = "ann";
    ChatMessage call = msg(MessageRole::assistant, "");
    call.tool_calls.push_back({"c1", "search", "{\"q\":1}"});
    ChatMessage result = msg(MessageRole::tool, "{\"success\":false}");
    result.tool_call_id = "c1";
    ChatMessage picture = msg(MessageRole::user, "");
    picture.images.push_back({"https://x/y.png", "auto"});
    const std::string out = render_chatml({named, call, result, picture}, {search_tool()});
    const std::string expected =
        "<|im_start|>system\n" + tool_instructions({search_tool()}) + "\n<|im_end|>\n" +
        "<|im_start|>user name=ann\n  spaced  \n<|im_end|>\n" +
        "<|im_start|>assistant\n\n" + kFence + "tool_call\n{\"arguments\":{\"q\":1},\"id\":\"c1\",\"name\":\"search\"}\n" +
        kFence + "\n<|im_end|>\n" +
        "<|im_start|>tool\nTool call id: c1\nIMPORTANT: The following is the actual tool result JSON. success=false, "
        "timed_out=true, non-zero exit_code, stderr, or error means the operation failed. Do not report success unless "
        "this JSON clearly indicates success=true.\n{\"success\":false}\n<|im_end|>\n" +
        "<|im_start|>user\n\n<|im_end|>\n" + "<|im_start|>assistant\n";
    EXPECT_EQ(out, expected);
}

TEST(LocalPromptTest, GemmaDetectionAndStopStrings) {
    struct Case {
        std::string model;
        std::string path;
        bool gemma;
    };
    const std::vector<Case> cases = {
        {"qwen3-8b", "models/qwen3.gguf", false},
        {"GeMmA-3", "", true},
        {"local", "D:/models/Gemma-2-9b-it.Q4_K_M.gguf", true},
        {"gem", "ma.gguf", false},  // only the joined text with a space between counts
        {"", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model + " | " + c.path);
        LLMConfig config;
        config.model = c.model;
        config.llama_cpp.model_path = c.path;
        EXPECT_EQ(is_gemma(config), c.gemma);
        std::vector<std::string> stop{"<|im_end|>", "<|end|>", "<|return|>"};
        if (c.gemma) {
            stop.push_back("<end_of_turn>");
            stop.push_back("<start_of_turn>");
        }
        EXPECT_EQ(local_stop_strings(config), stop);
    }
}

// ---- prompt construction through the runtime ---------------------------------

TEST(LocalPromptTest, BuildLocalPromptFallsBackFromTemplateToFoldedToChatml) {
    const std::vector<ChatMessage> messages = {msg(MessageRole::user, "one"), msg(MessageRole::user, "two"),
                                               msg(MessageRole::assistant, "")};
    {
        SCOPED_TRACE("template takes everything");
        Fixture f;
        EXPECT_EQ(f.backend->build_local_prompt(messages, {search_tool()}),
                  "[system]" + tool_instructions({search_tool()}) + "[user]one\n\ntwo[assistant]");
        ASSERT_EQ(f.runtime->template_calls.size(), 1u);
    }
    {
        SCOPED_TRACE("no tools: the prompt starts with the first message");
        Fixture f;
        EXPECT_EQ(f.backend->build_local_prompt(messages, {}), "[user]one\n\ntwo[assistant]");
    }
    {
        SCOPED_TRACE("template takes only user and assistant");
        Fixture f;
        f.runtime->templates = ScriptedRuntime::Templates::user_assistant_only;
        EXPECT_EQ(f.backend->build_local_prompt(messages, {search_tool()}),
                  "[user]System instructions:\n" + tool_instructions({search_tool()}) + "\n\none\n\ntwo[assistant]");
        ASSERT_EQ(f.runtime->template_calls.size(), 2u);
    }
    {
        SCOPED_TRACE("no usable template");
        Fixture f;
        f.runtime->templates = ScriptedRuntime::Templates::none;
        EXPECT_EQ(f.backend->build_local_prompt(messages, {}), render_chatml(messages, {}));
        EXPECT_EQ(f.runtime->template_calls.size(), 2u);
    }
}

// ---- configuration ----------------------------------------------------------

TEST(LocalBackendConfigureTest, EmptyModelPathFailsWithProgress) {
    Fixture f;
    LLMClient client;
    ProgressLog progress;
    progress.attach(client);
    LLMConfig config;
    config.backend = "llama_cpp";
    std::string error = "stale";
    EXPECT_FALSE(f.backend->configure(config, error, &client));
    EXPECT_EQ(error, "llm.llama_cpp.model_path is required when llm.backend is llama_cpp.");
    EXPECT_THAT(progress.reports, ElementsAre(Pair("本地模型加载失败：模型路径为空", 100)));
    EXPECT_THAT(progress.ok, ElementsAre(false));
    EXPECT_EQ(f.runtime->loads, 0);
    EXPECT_FALSE(f.backend->configure(config, error, nullptr));  // no client: no reports, same answer
}

TEST(LocalBackendConfigureTest, LoadsWithEverySettingAndTheResolvedPath) {
    Fixture f;
    LLMClient client;
    ProgressLog progress;
    progress.attach(client);
    LLMConfig config;
    config.backend = "local";
    config.model = "My Model";
    LlamaCppConfig& l = config.llama_cpp;
    l.model_path = "models/m.gguf";
    l.context_size = 1234;
    l.gpu_layers = 7;
    l.main_gpu = 1;
    l.batch_size = 256;
    l.ubatch_size = 64;
    l.threads = 3;
    l.flash_attention = false;
    l.use_mmap = false;
    l.use_mlock = true;
    l.warmup = false;
    l.allow_cpu_fallback = true;
    std::string error;
    EXPECT_TRUE(f.backend->configure(config, error, &client));
    EXPECT_THAT(progress.reports, ElementsAre(Pair("My Model", 0), Pair("scripted load", 100)));
    EXPECT_THAT(progress.ok, ElementsAre(true, true));
    const LocalLoadOptions& o = f.runtime->last_options;
    EXPECT_EQ(o.model_path, AgentConfig::instance().resolve_path("models/m.gguf"));
    EXPECT_EQ(o.context_size, 1234);
    EXPECT_EQ(o.gpu_layers, 7);
    EXPECT_EQ(o.main_gpu, 1);
    EXPECT_EQ(o.batch_size, 256);
    EXPECT_EQ(o.ubatch_size, 64);
    EXPECT_EQ(o.threads, 3);
    EXPECT_FALSE(o.flash_attention);
    EXPECT_FALSE(o.use_mmap);
    EXPECT_TRUE(o.use_mlock);
    EXPECT_FALSE(o.warmup);
    EXPECT_TRUE(o.allow_cpu_fallback);

    f.runtime->load_result = false;
    EXPECT_FALSE(f.backend->configure(config, error, &client));
    EXPECT_EQ(error, "scripted load failure");
}

// ---- streaming ----------------------------------------------------------------

StreamResult stream(Fixture& f, Recorder& rec, const std::vector<ToolDefinition>& tools = {}) {
    LLMConfig config;
    config.llama_cpp.model_path = "/m.gguf";
    config.max_tokens = 77;
    config.temperature = 0.25;
    std::string error;
    f.backend->configure(config, error, nullptr);
    return f.backend->chat_completion_stream({msg(MessageRole::user, "hi")}, tools, rec.callbacks());
}

TEST(LocalBackendStreamTest, TextThatIsOnlyAToolCallBlock) {
    Fixture f;
    f.runtime->pieces = {"``", "`tool", "_call\n{\"name\":", "\"search\",\"arguments\":{\"q\":", "\"x\"}}\n`", "``"};
    Recorder rec;
    const StreamResult r = stream(f, rec, {search_tool()});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_THAT(rec.states,
                ElementsAre(LLMState::waiting, LLMState::generating, LLMState::tool_calling, LLMState::done));
    EXPECT_EQ(rec.joined_content(), "");
    EXPECT_TRUE(rec.reasoning.empty());
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0].name, "search");
    EXPECT_EQ(rec.calls[0].arguments, "{\"q\":\"x\"}");
    EXPECT_EQ(rec.calls[0].id, "local_tool_call_1");
    EXPECT_EQ(r.message.role, MessageRole::assistant);
    EXPECT_EQ(r.message.content, "");
    EXPECT_FALSE(r.message.reasoning_content.has_value());
    ASSERT_EQ(r.message.tool_calls.size(), 1u);
    EXPECT_EQ(r.message.tool_calls[0].name, "search");
    // The generation ran with the configured settings and the stop strings.
    EXPECT_EQ(f.runtime->last_params.max_tokens, 77);
    EXPECT_DOUBLE_EQ(f.runtime->last_params.temperature, 0.25);
    EXPECT_EQ(f.runtime->last_params.stop, (std::vector<std::string>{"<|im_end|>", "<|end|>", "<|return|>"}));
}

TEST(LocalBackendStreamTest, ReasoningAndTextStreamAsDeltas) {
    Fixture f;
    f.runtime->pieces = {"<think>", "plan ", "it</think>", "Hel", "lo", " world", "<|im_"};
    Recorder rec;
    const StreamResult r = stream(f, rec);
    ASSERT_TRUE(r.ok);
    EXPECT_THAT(rec.states, ElementsAre(LLMState::waiting, LLMState::generating, LLMState::done));
    std::string reasoning;
    for (const auto& s : rec.reasoning) reasoning += s;
    EXPECT_EQ(reasoning, "plan it");
    EXPECT_EQ(rec.joined_content(), "Hello world");
    EXPECT_GE(rec.content.size(), 2u);  // streamed in pieces, not at the end only
    EXPECT_EQ(r.message.content, "Hello world");
    EXPECT_EQ(r.message.reasoning_content, std::optional<std::string>("plan it"));
    EXPECT_TRUE(r.message.tool_calls.empty());
}

TEST(LocalBackendStreamTest, ThinkOpenerSplitAcrossPiecesNeverReachesTheText) {
    Fixture f;
    f.runtime->pieces = {"<", "thi", "nk>plan</think>", "Hel", "lo"};
    Recorder rec;
    const StreamResult r = stream(f, rec);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(rec.joined_content(), "Hello");
    EXPECT_EQ(r.message.content, "Hello");
    EXPECT_EQ(r.message.reasoning_content, std::optional<std::string>("plan"));
}

TEST(LocalBackendStreamTest, FailuresAndCancellation) {
    struct Case {
        const char* label;
        bool ok;
        bool stopped;
        std::string error;
        bool expect_ok;
        std::string expect_error;
    };
    const std::vector<Case> cases = {
        {"failed without text", false, false, "", false, "llama.cpp generation failed."},
        {"failed with reason", false, false, "boom", false, "boom"},
        {"cancelled", false, true, "Generation was cancelled.", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Fixture f;
        f.runtime->pieces = {"partial"};
        f.runtime->ok = c.ok;
        f.runtime->stopped = c.stopped;
        f.runtime->error = c.error;
        Recorder rec;
        const StreamResult r = stream(f, rec);
        EXPECT_EQ(r.ok, c.expect_ok);
        EXPECT_EQ(r.error, c.expect_error);
        EXPECT_EQ(rec.states.back(), c.expect_ok ? LLMState::done : LLMState::error);
        if (c.expect_ok) {
            EXPECT_EQ(r.message.content, "partial");
        }
    }
}

TEST(LocalBackendStreamTest, CancelReachesTheRuntime) {
    Fixture f;
    f.backend->cancel();
    EXPECT_EQ(f.runtime->cancels, 1);
}

// ---- buffered call ------------------------------------------------------------

TEST(LocalBackendBufferedTest, ContentWithoutReasoningOrToolCalls) {
    Fixture f;
    f.runtime->pieces = {"<think>hidden</think>", " The answer is 4. ", "<|im_end|>"};
    const std::vector<ChatMessage> messages = {msg(MessageRole::user, "2+2?")};
    CompletionOptions options;
    options.model = "ignored";
    options.max_tokens = 1;
    const CompletionResult r = f.backend->chat_completion_result(messages, options);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.content, "The answer is 4.");
    EXPECT_EQ(f.runtime->last_params.max_tokens, LLMConfig{}.max_tokens);  // options are ignored
    EXPECT_EQ(f.runtime->template_calls.back().front().first, "user");   // no tool instructions
    EXPECT_EQ(f.backend->chat_completion(messages), "The answer is 4.");
    EXPECT_EQ(f.backend->chat_completion(messages, options), "The answer is 4.");
}

TEST(LocalBackendBufferedTest, FailureAndCancellationAreErrors) {
    for (const bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "cancelled" : "failed");
        Fixture f;
        f.runtime->ok = false;
        f.runtime->stopped = stopped;
        const CompletionResult r = f.backend->chat_completion_result({msg(MessageRole::user, "x")}, {});
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, "llama_cpp sync generation failed");
        EXPECT_EQ(f.backend->chat_completion({msg(MessageRole::user, "x")}), "");
    }
}

#ifdef VEXA_LLAMA_CPP_ENABLED

// ---- with llama.cpp -------------------------------------------------------------

LLMConfig engine_config(const std::string& path) {
    LLMConfig config;
    config.backend = "llama_cpp";
    config.model = "tiny";
    config.temperature = 0.0;
    config.max_tokens = 16;
    config.llama_cpp.model_path = path;
    config.llama_cpp.context_size = 2048;
    config.llama_cpp.threads = 1;
    return config;
}

TEST(LocalBackendEngineTest, ToolCallBlockFromTheModelStreamsAsAToolCall) {
    const std::string path = local_test::scripted_model(
        "tool_call.gguf", {kFence + "tool_call\n", "{\"name\":\"search\",", "\"arguments\":{\"q\":\"weather\"}}", "\n" + kFence});
    LlamaCppBackend backend;
    std::string error;
    ASSERT_TRUE(backend.configure(engine_config(path), error, nullptr)) << error;
    Recorder rec;
    const StreamResult r =
        backend.chat_completion_stream({msg(MessageRole::user, "weather?")}, {search_tool()}, rec.callbacks());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_THAT(rec.states,
                ElementsAre(LLMState::waiting, LLMState::generating, LLMState::tool_calling, LLMState::done));
    EXPECT_EQ(rec.joined_content(), "");
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0].name, "search");
    EXPECT_EQ(rec.calls[0].arguments, "{\"q\":\"weather\"}");
    EXPECT_EQ(r.message.content, "");
}

TEST(LocalBackendEngineTest, ThroughTheClientWithTheRandomModel) {
    LLMClient client;
    ProgressLog progress;
    progress.attach(client);
    ASSERT_TRUE(client.configure(engine_config(local_test::tiny_model()))) << client.last_error();
    EXPECT_TRUE(client.is_local());
    const std::vector<int> p = progress.percents();
    ASSERT_GE(p.size(), 3u);
    EXPECT_EQ(p.front(), 0);
    EXPECT_EQ(p.back(), 100);

    Recorder rec;
    const StreamResult r = client.chat_completion_stream({msg(MessageRole::user, "hello")}, {}, rec.callbacks());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(rec.states.front(), LLMState::waiting);
    EXPECT_EQ(rec.states.back(), LLMState::done);
    EXPECT_FALSE(r.message.content.empty());
    EXPECT_EQ(rec.joined_content(), r.message.content);

    const CompletionResult b = client.chat_completion_result({msg(MessageRole::user, "hello")}, {});
    EXPECT_TRUE(b.ok) << b.error;
}

TEST(LocalBackendEngineTest, MissingModelKeepsThePreviousBackend) {
    LLMClient client;
    ASSERT_TRUE(client.configure(engine_config(local_test::tiny_model())));
    LLMConfig missing = engine_config("/definitely/not/here.gguf");
    EXPECT_FALSE(client.configure(missing));
    EXPECT_EQ(client.last_error(), "GGUF model file does not exist: /definitely/not/here.gguf");
    EXPECT_TRUE(client.chat_completion_result({msg(MessageRole::user, "still there?")}, {}).ok);
}

#endif  // VEXA_LLAMA_CPP_ENABLED

// ---- a conversation longer than the context ---------------------------------

struct FitCase {
    const char* name;
    int context;                 // tokens (bytes, for the scripted runtime)
    std::vector<std::string> kept;  // the user messages still in the prompt
    bool notice;
};

TEST(LocalContextFitTest, OldestTurnsGoUntilThePromptAndTheAnswerFit) {
    // [system]S + four turns of 100-byte user texts and short answers.
    std::vector<ChatMessage> messages = {msg(MessageRole::system, "S")};
    for (const char* id : {"u1", "u2", "u3", "u4"}) {
        messages.push_back(msg(MessageRole::user, std::string(id) + std::string(98, '.')));
        ChatMessage call = msg(MessageRole::assistant, "");
        if (std::string(id) == "u2") {  // a tool round stays whole with its turn
            call.tool_calls = {ToolCall{"c1", "search", R"({"q":"x"})"}};
            messages.push_back(call);
            ChatMessage result = msg(MessageRole::tool, R"({"success":true})");
            result.tool_call_id = "c1";
            messages.push_back(result);
        }
        if (std::string(id) != "u4") messages.push_back(msg(MessageRole::assistant, "a"));
    }
    Fixture f;
    f.runtime->pieces = {"fine"};
    const std::size_t whole = f.backend->build_local_prompt(messages, {}).size();
    const std::vector<FitCase> cases = {
        {"unknown context: everything", -1, {"u1", "u2", "u3", "u4"}, false},
        {"fits with room for the answer", static_cast<int>(whole) + 64, {"u1", "u2", "u3", "u4"}, false},
        {"no room for the answer: one turn goes", static_cast<int>(whole) + 10, {"u2", "u3", "u4"}, true},
        {"only the current turn fits", 260, {"u4"}, true},
        {"not even the current turn: sent as short as it gets", 100, {"u4"}, false},
    };
    for (const FitCase& c : cases) {
        SCOPED_TRACE(c.name);
        LLMConfig config;
        config.llama_cpp.model_path = "scripted.gguf";
        config.max_tokens = 64;
        std::string error;
        ASSERT_TRUE(f.backend->configure(config, error, nullptr)) << error;
        f.runtime->context = c.context;
        std::vector<std::string> notices;
        Recorder recorder;
        StreamCallbacks callbacks = recorder.callbacks();
        callbacks.on_notice = [&](const std::string& text) { notices.push_back(text); };
        const StreamResult result = f.backend->chat_completion_stream(messages, {}, callbacks);
        EXPECT_TRUE(result.ok) << result.error;
        std::vector<std::string> kept;
        for (const char* id : {"u1", "u2", "u3", "u4"}) {
            if (f.runtime->last_prompt.find(std::string("[user]") + id) != std::string::npos) kept.push_back(id);
        }
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(f.runtime->last_prompt.rfind("[system]S", 0), 0u) << f.runtime->last_prompt;
        // A turn's tool call never loses its result.
        EXPECT_EQ(f.runtime->last_prompt.find("search") == std::string::npos,
                  f.runtime->last_prompt.find("success") == std::string::npos);
        ASSERT_EQ(notices.size(), c.notice ? 1u : 0u);
        if (c.notice) {
            const std::size_t dropped = 4 - c.kept.size();
            EXPECT_EQ(notices[0], "The conversation is longer than the local model's context of " +
                                      std::to_string(c.context) + " tokens: " +
                                      (dropped == 1 ? std::string("its oldest turn was")
                                                    : "its oldest " + std::to_string(dropped) + " turns were") +
                                      " left out of this request.");
        }
    }
}

}  // namespace
}  // namespace vexa
