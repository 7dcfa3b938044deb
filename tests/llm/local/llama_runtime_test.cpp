// LlamaRuntime: model path checks and their progress reports, UTF-8 assembly of
// pieces, and (with llama.cpp compiled in) loading, templates, generation, stop
// strings, prefix reuse and cancellation on generated models.

#include "llm/local/llama_runtime.hpp"

#include "llm/llm_client.hpp"
#include "llm/local/local_test_support.hpp"
#include "support/fs_util.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using local_test::ProgressLog;
using local_test::TempDir;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const char* const kNoSupport = "LlamaRuntime was built without llama.cpp support.";
const char* const kSafetensors = "检测到 safetensors 模型，请先用 scripts/convert_safetensors_to_gguf.ps1 转换为 GGUF";

// ---- path checks ----------------------------------------------------------

struct PathCase {
    const char* label;
    // Builds the path under the temporary directory; returns it.
    std::string (*make)(const TempDir&);
    std::string error;  // exact, or a prefix when prefix_only
    bool prefix_only;
    std::vector<std::pair<std::string, int>> progress;
};

std::vector<std::pair<std::string, int>> fail_progress(const std::string& last) {
    return {{"加载流程已启动", 1}, {"检查模型文件", 5}, {last, 100}};
}

// The ok flags of a failed load's `reports` reports: only the final one says it failed.
std::vector<bool> failed_load_flags(std::size_t reports) {
    std::vector<bool> flags(reports, true);
    if (!flags.empty()) flags.back() = false;
    return flags;
}

std::vector<PathCase> path_cases() {
    return {
        {"missing file", [](const TempDir& d) { return (d.path() / "nope.gguf").string(); },
         "GGUF model file does not exist: ", true, fail_progress("本地模型加载失败：模型文件不存在")},
        {"safetensors file", [](const TempDir& d) { return d.file("model.safetensors"); }, kSafetensors, false,
         fail_progress("本地模型加载失败：当前只支持 GGUF")},
        {"upper-case extension", [](const TempDir& d) { return d.file("MODEL.SafeTensors"); }, kSafetensors, false,
         fail_progress("本地模型加载失败：当前只支持 GGUF")},
        {"safetensors folder",
         [](const TempDir& d) {
             d.file("hf/config.json", "{}");
             d.file("hf/model-00001.safetensors");
             return (d.path() / "hf").string();
         },
         kSafetensors, false, fail_progress("本地模型加载失败：当前只支持 GGUF")},
        {"empty path", [](const TempDir&) { return std::string(); }, "llama.cpp model_path is empty.", false,
         {{"加载流程已启动", 1}, {"本地模型加载失败：模型路径为空", 100}}},
    };
}

TEST(LlamaRuntimePathTest, RejectsUnusablePathsWithTheirMessagesAndProgress) {
    for (const PathCase& c : path_cases()) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::string path = c.make(dir);
        LLMClient client;
        ProgressLog progress;
        progress.attach(client);
        LlamaRuntime runtime;
        LocalLoadOptions options;
        options.model_path = path;
        std::string error;
        EXPECT_FALSE(runtime.load(options, error, &client));
        if (c.prefix_only) {
            EXPECT_EQ(error, c.error + path);
        } else {
            EXPECT_EQ(error, c.error);
        }
        EXPECT_EQ(progress.reports, c.progress);
        EXPECT_EQ(progress.ok, failed_load_flags(c.progress.size()));
        EXPECT_FALSE(runtime.is_loaded());
    }
}

TEST(LlamaRuntimePathTest, FolderWithoutConfigIsNotSafetensors) {
    TempDir dir;
    dir.file("weights/model.safetensors");
    const std::string path = (dir.path() / "weights").string();
    EXPECT_FALSE(is_safetensors_model(path));
    dir.file("weights/config.json", "{}");
    EXPECT_TRUE(is_safetensors_model(path));

    // Without config.json the check passes on to loading, which cannot read a folder.
    TempDir other;
    other.file("w/a.safetensors");
    LlamaRuntime runtime;
    LocalLoadOptions options;
    options.model_path = (other.path() / "w").string();
    std::string error;
    EXPECT_FALSE(runtime.load(options, error, nullptr));
    EXPECT_NE(error, kSafetensors);
    EXPECT_THAT(error, ::testing::Not(StartsWith("GGUF model file does not exist")));
}

TEST(LlamaRuntimePathTest, SafetensorsDetectionLooksOnlyAtDirectEntriesAndRegularFiles) {
    TempDir dir;
    EXPECT_FALSE(is_safetensors_model(dir.path() / "missing.safetensors"));
    EXPECT_FALSE(is_safetensors_model(dir.file("model.gguf")));
    EXPECT_FALSE(is_safetensors_model(dir.file("model.safetensors.gguf")));
    dir.file("nested/config.json", "{}");
    dir.file("nested/deeper/model.safetensors");
    EXPECT_FALSE(is_safetensors_model(dir.path() / "nested"));
    fs::create_directories(dir.path() / "dirs/x.safetensors");
    dir.file("dirs/config.json", "{}");
    EXPECT_FALSE(is_safetensors_model(dir.path() / "dirs"));  // a folder named *.safetensors is no weight file
}

TEST(LlamaRuntimePathTest, WorksWithoutAClient) {
    LlamaRuntime runtime;
    std::string error;
    EXPECT_FALSE(runtime.load(LocalLoadOptions{}, error, nullptr));
    EXPECT_EQ(error, "llama.cpp model_path is empty.");
}

TEST(LlamaRuntimePathTest, NonAsciiPathsAreChecked) {
    TempDir dir;
    const std::string path = dir.file("模型/权重.SAFETENSORS");
    EXPECT_TRUE(is_safetensors_model(path_from_utf8(path)));
    LlamaRuntime runtime;
    LocalLoadOptions options;
    options.model_path = (dir.path() / "模型/缺少.gguf").string();
    std::string error;
    EXPECT_FALSE(runtime.load(options, error, nullptr));
    EXPECT_EQ(error, "GGUF model file does not exist: " + options.model_path);
}

// ---- UTF-8 assembly -------------------------------------------------------

TEST(Utf8AssemblerTest, JoinsSplitCharactersAndReplacesInvalidBytes) {
    struct Case {
        const char* label;
        std::vector<std::string> pieces;
        std::vector<std::string> out;  // per push, then the flush
    };
    const std::vector<Case> cases = {
        {"ascii", {"ab", "c"}, {"ab", "c", ""}},
        {"split 3-byte char", {"\xE4", "\xBD", "\xA0x"}, {"", "", "\xE4\xBD\xA0x", ""}},
        {"split 4-byte char", {"a\xF0\x9F", "\x98\x80"}, {"a", "\xF0\x9F\x98\x80", ""}},
        {"stray continuation", {"\x80" "a"}, {"\xEF\xBF\xBD" "a", ""}},
        {"broken sequence", {"\xE4\xBD" "a"}, {"\xEF\xBF\xBD" "a", ""}},
        {"overlong", {"\xC0\xAF"}, {"\xEF\xBF\xBD\xEF\xBF\xBD", ""}},
        {"surrogate", {"\xED\xA0\x80"}, {"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", ""}},
        {"unfinished at end", {"ok\xE4\xBD"}, {"ok", "\xEF\xBF\xBD"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Utf8Assembler utf8;
        std::vector<std::string> out;
        for (const std::string& p : c.pieces) out.push_back(utf8.push(p));
        out.push_back(utf8.flush());
        EXPECT_EQ(out, c.out);
    }
}

// ---- without the engine ---------------------------------------------------

#ifndef VEXA_LLAMA_CPP_ENABLED

TEST(LlamaRuntimeWithoutEngineTest, ExistingModelFailsWithTheBuildMessage) {
    TempDir dir;
    LLMClient client;
    ProgressLog progress;
    progress.attach(client);
    LlamaRuntime runtime;
    LocalLoadOptions options;
    options.model_path = dir.file("model.gguf", "GGUF");
    std::string error;
    EXPECT_FALSE(runtime.load(options, error, &client));
    EXPECT_EQ(error,
              "LlamaRuntime was built without llama.cpp. Place llama.cpp under third_party/llama.cpp, configure CUDA "
              "libraries, and define VEXA_LLAMA_CPP_ENABLED in build/llama_cpp.props.");
    EXPECT_EQ(progress.reports, fail_progress("本地模型加载失败：当前构建未启用 llama.cpp"));
    EXPECT_EQ(progress.ok, failed_load_flags(3));

    std::string prompt = "stale";
    EXPECT_FALSE(runtime.apply_chat_template({{"user", "hi"}}, true, prompt, error));
    EXPECT_EQ(prompt, "");
    EXPECT_EQ(error, kNoSupport);
    const GenerationResult r = runtime.generate("hi", GenerationParams{}, [](const std::string&) {});
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(r.error, kNoSupport);
}

#else

// ---- with the engine ------------------------------------------------------

// The engine's worker threads synchronise inside llama.cpp, which is not built
// with the thread sanitizer, so under it they would only raise false alarms.
#if defined(__SANITIZE_THREAD__)
constexpr int kPoolThreads = 1;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int kPoolThreads = 1;
#else
constexpr int kPoolThreads = 2;
#endif
#else
constexpr int kPoolThreads = 2;
#endif

LocalLoadOptions small_options(const std::string& path) {
    LocalLoadOptions o;
    o.model_path = path;
    o.context_size = 2048;
    o.threads = 1;
    return o;
}

// One loaded tiny model for the tests that only read and generate.
class LlamaRuntimeModelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        runtime_ = new LlamaRuntime();
        std::string error;
        ASSERT_TRUE(runtime_->load(small_options(local_test::tiny_model()), error, nullptr)) << error;
    }
    static void TearDownTestSuite() {
        delete runtime_;
        runtime_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(runtime_, nullptr);
        ASSERT_TRUE(runtime_->is_loaded());
        runtime_->set_prefix_reuse(true);
    }

    static GenerationResult greedy(const std::string& prompt, int max_tokens, std::vector<std::string>* pieces = nullptr,
                                   std::vector<std::string> stop = {}) {
        GenerationParams p;
        p.temperature = 0.0;
        p.max_tokens = max_tokens;
        p.stop = std::move(stop);
        return runtime_->generate(prompt, p, [pieces](const std::string& piece) {
            if (pieces != nullptr) pieces->push_back(piece);
        });
    }

    static LlamaRuntime* runtime_;
};

LlamaRuntime* LlamaRuntimeModelTest::runtime_ = nullptr;

TEST(LlamaRuntimeLoadTest, LoadsTheGeneratedModelWithProgress) {
    LLMClient client;
    ProgressLog progress;
    progress.attach(client);
    LlamaRuntime runtime;
    LocalLoadOptions options = small_options(local_test::tiny_model());
    options.use_mmap = false;
    options.flash_attention = false;
    options.batch_size = 64;
    options.ubatch_size = 512;  // larger than the batch: clamped
    options.threads = kPoolThreads;
    std::string error;
    ASSERT_TRUE(runtime.load(options, error, &client)) << error;
    EXPECT_EQ(error, "");
    EXPECT_TRUE(runtime.is_loaded());
    const std::vector<int> p = progress.percents();
    ASSERT_GE(p.size(), 4u);
    EXPECT_EQ(p.front(), 1);
    EXPECT_EQ(p[1], 5);
    EXPECT_EQ(p.back(), 100);
    EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
    EXPECT_EQ(progress.reports.back().first, "本地模型加载完成");
    EXPECT_THAT(progress.ok, Each(true));

    // A prompt longer than one batch still goes through.
    std::string prompt;
    for (int i = 0; i < 60; ++i) prompt += "word number " + std::to_string(i) + " ";
    GenerationParams params;
    params.max_tokens = 4;
    params.temperature = 0.0;
    const GenerationResult r = runtime.generate(prompt, params, {});
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_GT(runtime.last_stats().prompt_tokens, 64);
}

TEST(LlamaRuntimeLoadTest, NotAModelFailsWithTheEngineReason) {
    TempDir dir;
    LLMClient client;
    ProgressLog progress;
    progress.attach(client);
    LlamaRuntime runtime;
    std::string error;
    EXPECT_FALSE(runtime.load(small_options(dir.file("broken.gguf", "not a gguf file")), error, &client));
    EXPECT_THAT(error, StartsWith("Failed to load GGUF model: "));
    EXPECT_EQ(progress.reports.back(), std::make_pair(std::string("本地模型加载失败：模型无法加载"), 100));
    EXPECT_EQ(progress.ok, failed_load_flags(progress.reports.size()));
    EXPECT_FALSE(runtime.is_loaded());
    std::string prompt;
    EXPECT_FALSE(runtime.apply_chat_template({{"user", "x"}}, true, prompt, error));
    EXPECT_FALSE(runtime.generate("x", GenerationParams{}, {}).ok);
}

TEST_F(LlamaRuntimeModelTest, RendersTheModelsChatTemplate) {
    std::string prompt = "stale";
    std::string error;
    ASSERT_TRUE(runtime_->apply_chat_template({{"system", "Be brief."}, {"user", "你好"}}, true, prompt, error))
        << error;
    EXPECT_EQ(prompt, "<|im_start|>system\nBe brief.<|im_end|>\n<|im_start|>user\n你好<|im_end|>\n<|im_start|>assistant\n");
    ASSERT_TRUE(runtime_->apply_chat_template({{"user", "a"}, {"assistant", "b"}}, false, prompt, error));
    EXPECT_EQ(prompt, "<|im_start|>user\na<|im_end|>\n<|im_start|>assistant\nb<|im_end|>\n");
}

TEST(LlamaRuntimeTemplateTest, ModelWithoutOrWithUnknownTemplateIsRefused) {
    struct Case {
        const char* label;
        bool embed;
        std::string tmpl;
    };
    const std::vector<Case> cases = {{"no template", false, ""},
                                     {"unknown template", true, "{{ messages | tojson }} [[custom]]"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        gguf_gen::ModelShape shape = gguf_gen::tiny_shape();
        shape.embed_chat_template = c.embed;
        shape.chat_template = c.tmpl;
        const std::string path = local_test::generate_model(std::string(c.label) + ".gguf", shape);
        LlamaRuntime runtime;
        std::string error;
        ASSERT_TRUE(runtime.load(small_options(path), error, nullptr)) << error;
        std::string prompt = "stale";
        EXPECT_FALSE(runtime.apply_chat_template({{"user", "hi"}}, true, prompt, error));
        EXPECT_EQ(prompt, "");
        EXPECT_FALSE(error.empty());
    }
}

TEST_F(LlamaRuntimeModelTest, GeneratesUpToMaxTokensAndStreamsEveryPiece) {
    std::vector<std::string> pieces;
    const GenerationResult r = greedy("<|im_start|>user\nhello<|im_end|>\n<|im_start|>assistant\n", 12, &pieces);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(runtime_->last_stats().generated_tokens, 12);
    std::string joined;
    for (const auto& p : pieces) joined += p;
    EXPECT_EQ(joined, r.text);
    EXPECT_FALSE(r.text.empty());

    // Sampling at a temperature also runs to the limit.
    GenerationParams warm;
    warm.temperature = 0.9;
    warm.max_tokens = 6;
    const GenerationResult w = runtime_->generate("hello", warm, {});
    EXPECT_TRUE(w.ok) << w.error;
    EXPECT_LE(runtime_->last_stats().generated_tokens, 6);
}

TEST_F(LlamaRuntimeModelTest, StopsOnAStopStringAcrossTokenBoundaries) {
    runtime_->set_prefix_reuse(false);  // the same prompt twice must decode identically
    const std::string prompt = "<|im_start|>user\ntell me a story<|im_end|>\n<|im_start|>assistant\n";
    std::vector<std::string> pieces;
    const GenerationResult full = greedy(prompt, 24, &pieces);
    ASSERT_TRUE(full.ok) << full.error;
    // A stop string made of the end of one piece and the start of the next.
    std::string stop;
    for (std::size_t i = 2; i + 1 < pieces.size() && stop.empty(); ++i) {
        if (!pieces[i].empty() && !pieces[i + 1].empty() && pieces[i].back() != ' ') {
            stop = std::string(1, pieces[i].back()) + pieces[i + 1].substr(0, 1);
        }
    }
    ASSERT_FALSE(stop.empty()) << full.text;
    const std::size_t end = full.text.find(stop) + stop.size();
    std::string expected;
    for (const auto& p : pieces) {
        if (expected.size() >= end) break;
        expected += p;
    }

    std::vector<std::string> stopped_pieces;
    const GenerationResult r = greedy(prompt, 24, &stopped_pieces, {"never appears", stop});
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.text, expected);
    EXPECT_LT(stopped_pieces.size(), pieces.size());
}

TEST_F(LlamaRuntimeModelTest, ReusesTheCachedPrefixOfTheLastPrompt) {
    const std::string round1 = "<|im_start|>system\nYou are terse.<|im_end|>\n<|im_start|>user\nfirst question<|im_end|>\n"
                               "<|im_start|>assistant\n";
    const GenerationResult a = greedy(round1, 8);
    ASSERT_TRUE(a.ok) << a.error;
    const int round1_tokens = runtime_->last_stats().prompt_tokens;

    const std::string round2 = round1 + a.text + "<|im_end|>\n<|im_start|>user\nsecond<|im_end|>\n<|im_start|>assistant\n";
    const GenerationResult b = greedy(round2, 8);
    ASSERT_TRUE(b.ok) << b.error;
    const GenerationStats s = runtime_->last_stats();
    EXPECT_GE(s.reused_prompt_tokens, round1_tokens - 1);
    EXPECT_LT(s.reused_prompt_tokens, s.prompt_tokens);

    // An unrelated prompt keeps only what it shares (the BOS token at most).
    ASSERT_TRUE(greedy("completely different", 2).ok);
    EXPECT_LE(runtime_->last_stats().reused_prompt_tokens, 1);

    runtime_->set_prefix_reuse(false);
    ASSERT_TRUE(greedy(round2, 2).ok);
    EXPECT_EQ(runtime_->last_stats().reused_prompt_tokens, 0);
}

TEST_F(LlamaRuntimeModelTest, PromptLongerThanTheContextFails) {
    std::string prompt;
    for (int i = 0; i < 3000; ++i) prompt += "x y ";
    const GenerationResult r = greedy(prompt, 4);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.stopped);
    EXPECT_THAT(r.error, HasSubstr("context holds 2048"));
    // The runtime stays usable.
    EXPECT_TRUE(greedy("short", 2).ok);
}

TEST_F(LlamaRuntimeModelTest, CancelBeforeGenerateIsCleared) {
    runtime_->cancel();
    const GenerationResult r = greedy("hello", 3);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.stopped);
}

TEST_F(LlamaRuntimeModelTest, CancelFromAnotherThreadStopsPromptly) {
    std::mutex m;
    std::condition_variable cv;
    bool first_piece = false;
    std::chrono::steady_clock::time_point cancelled_at;
    std::thread canceller([&] {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return first_piece; });
        cancelled_at = std::chrono::steady_clock::now();
        runtime_->cancel();
    });
    GenerationParams p;
    p.temperature = 0.0;
    p.max_tokens = 0;  // until the context is full: far longer than the test
    std::size_t pieces = 0;
    const GenerationResult r = runtime_->generate("go on forever", p, [&](const std::string&) {
        ++pieces;
        {
            std::lock_guard<std::mutex> lock(m);
            first_piece = true;
        }
        cv.notify_one();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    const auto returned_at = std::chrono::steady_clock::now();
    canceller.join();
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.error, "Generation was cancelled.");
    EXPECT_LT(std::chrono::duration<double>(returned_at - cancelled_at).count(), 1.0);
    EXPECT_LT(pieces, 1000u);
    // The next generation runs normally and reuses what the cancelled one left.
    EXPECT_TRUE(greedy("go on forever", 3).ok);
}

TEST_F(LlamaRuntimeModelTest, ConcurrentThreadsAreSerialised) {
    std::vector<std::thread> threads;
    std::vector<GenerationResult> results(3);
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            GenerationParams p;
            p.temperature = 0.0;
            p.max_tokens = 5;
            results[i] = runtime_->generate("thread " + std::to_string(i), p, {});
        });
    }
    std::string prompt;
    std::string error;
    EXPECT_TRUE(runtime_->apply_chat_template({{"user", "meanwhile"}}, true, prompt, error));
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_TRUE(r.ok) << r.error;
}

TEST(LlamaRuntimeScriptedModelTest, AnswersWithTheScriptAndEndsItsTurn) {
    const std::vector<std::string> script = {"Hello", " from", " the", " script", "."};
    LlamaRuntime runtime;
    std::string error;
    ASSERT_TRUE(runtime.load(small_options(local_test::scripted_model("hello.gguf", script)), error, nullptr)) << error;
    std::string prompt;
    ASSERT_TRUE(runtime.apply_chat_template({{"user", "anything at all"}}, true, prompt, error));
    for (double temperature : {0.0, 0.7}) {
        GenerationParams p;
        p.temperature = temperature;
        std::vector<std::string> pieces;
        const GenerationResult r = runtime.generate(prompt, p, [&](const std::string& s) { pieces.push_back(s); });
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_FALSE(r.stopped);
        EXPECT_EQ(r.text, "Hello from the script.");
        EXPECT_EQ(pieces, script);
    }
}

#endif  // VEXA_LLAMA_CPP_ENABLED

}  // namespace
}  // namespace vexa
