// Local inference speed on a generated ~100M-parameter model (f16):
//  - tokens/s of LlamaRuntime::generate against llama.cpp's own llama-bench, same
//    model, threads and flash-attention setting (goal: at least 95 %);
//  - time from configure (load + warm-up) to the first streamed token;
//  - prompt evaluation of a conversation's second round with and without reuse of
//    the first round's KV cache.
// VEXA_BENCH_MODEL=<gguf> measures another model; VEXA_BENCH_THREADS sets threads.

#ifdef VEXA_LLAMA_CPP_ENABLED

#include "gguf_gen.hpp"
#include "llm/local/llama_runtime.hpp"
#include "llm/local/local_backend.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace vexa;

constexpr int kGenTokens = 64;
constexpr int kContext = 1024;

int bench_threads() {
    if (const char* v = std::getenv("VEXA_BENCH_THREADS")) return std::max(1, std::atoi(v));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// Generated once per machine into the cache the llama.cpp build lives in.
const std::string& bench_model() {
    static std::string path;
    static std::once_flag once;
    std::call_once(once, [] {
        if (const char* v = std::getenv("VEXA_BENCH_MODEL")) {
            path = v;
            return;
        }
        fs::path dir;
        if (const char* c = std::getenv("VEXA_CACHE_DIR")) dir = c;
        else if (const char* h = std::getenv("HOME")) dir = fs::path(h) / ".cache" / "vexa_core";
        else dir = fs::temp_directory_path() / "vexa_core";
        path = (dir / "models" / "vexa-bench-100m-f16.gguf").string();
        if (!fs::exists(path)) {
            std::string error;
            if (!gguf_gen::write_model(path, gguf_gen::bench_shape(), error)) {
                std::fprintf(stderr, "cannot generate the benchmark model: %s\n", error.c_str());
                path.clear();
            }
        }
    });
    return path;
}

LocalLoadOptions load_options() {
    LocalLoadOptions o;
    o.model_path = bench_model();
    o.context_size = kContext;
    o.threads = bench_threads();
    o.flash_attention = true;
    return o;
}

const std::string kPrompt = "<|im_start|>user\nWrite a long story about the sea.<|im_end|>\n<|im_start|>assistant\n";

// Generation tokens/s as llama-bench measures it: kGenTokens tokens after `depth`
// tokens already in the context (our prompt's length, so both attend to as much).
double llama_bench_tokens_per_second(int depth, std::string& error) {
    const std::string cmd = std::string("\"") + VEXA_LLAMA_BENCH_PATH + "\" -m \"" + bench_model() +
                            "\" -p 0 -n " + std::to_string(kGenTokens) + " -d " + std::to_string(depth) +
                            " -t " + std::to_string(bench_threads()) + " -fa on -r 3 -o json 2>/dev/null";
#ifdef _WIN32
    FILE* pipe = _popen(cmd.c_str(), "r");
#else
    FILE* pipe = popen(cmd.c_str(), "r");
#endif
    if (pipe == nullptr) {
        error = "cannot run llama-bench";
        return 0.0;
    }
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
#ifdef _WIN32
    _pclose(pipe);
#else
    pclose(pipe);
#endif
    const nlohmann::json doc = nlohmann::json::parse(out, nullptr, false);
    if (!doc.is_array() || doc.empty() || !doc[0].contains("avg_ts")) {
        error = "unexpected llama-bench output";
        return 0.0;
    }
    return doc[0]["avg_ts"].get<double>();
}

LlamaRuntime& shared_runtime() {
    static LlamaRuntime runtime;
    static std::once_flag once;
    std::call_once(once, [] {
        std::string error;
        if (!runtime.load(load_options(), error, nullptr)) std::fprintf(stderr, "load failed: %s\n", error.c_str());
    });
    return runtime;
}

// Our generation speed: sampled tokens over the time from the first sample to the
// end (the prompt is evaluated before that clock starts).
double runtime_tokens_per_second(LlamaRuntime& runtime) {
    GenerationParams p;
    p.temperature = 0.0;
    p.max_tokens = kGenTokens;
    const GenerationResult r = runtime.generate(kPrompt, p, [](const std::string& s) { benchmark::DoNotOptimize(s); });
    const GenerationStats s = runtime.last_stats();
    if (!r.ok || s.generate_ms <= 0.0) return 0.0;
    return s.generated_tokens / (s.generate_ms / 1000.0);
}

void BM_LocalGenerateVsLlamaBench(benchmark::State& state) {
    if (bench_model().empty()) {
        state.SkipWithError("no benchmark model");
        return;
    }
    LlamaRuntime& runtime = shared_runtime();
    if (!runtime.is_loaded()) {
        state.SkipWithError("model did not load");
        return;
    }
    double ours = 0.0;
    double reference = 0.0;
    int rounds = 0;
    for (auto _ : state) {
        // Interleaved so that load on a shared machine hits both alike.
        runtime_tokens_per_second(runtime);  // warm
        double a = 0.0;
        for (int i = 0; i < 3; ++i) a += runtime_tokens_per_second(runtime);
        std::string error;
        const double ref = llama_bench_tokens_per_second(runtime.last_stats().prompt_tokens, error);
        if (ref <= 0.0) {
            state.SkipWithError(error.c_str());
            return;
        }
        double b = 0.0;
        for (int i = 0; i < 3; ++i) b += runtime_tokens_per_second(runtime);
        ours += (a + b) / 6.0;
        reference += ref;
        ++rounds;
    }
    state.counters["runtime_tok_s"] = ours / rounds;
    state.counters["llama_bench_tok_s"] = reference / rounds;
    state.counters["ratio_pct"] = 100.0 * ours / reference;
    state.counters["threads"] = bench_threads();
}
BENCHMARK(BM_LocalGenerateVsLlamaBench)->Iterations(2)->Unit(benchmark::kSecond);

void BM_ConfigureToFirstToken(benchmark::State& state) {
    if (bench_model().empty()) {
        state.SkipWithError("no benchmark model");
        return;
    }
    LLMConfig config;
    config.backend = "llama_cpp";
    config.model = "bench";
    config.temperature = 0.0;
    config.max_tokens = 32;
    config.llama_cpp.model_path = bench_model();
    config.llama_cpp.context_size = kContext;
    config.llama_cpp.threads = bench_threads();
    double load_ms = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        LlamaCppBackend backend;
        std::string error;
        if (!backend.configure(config, error, nullptr)) {
            state.SkipWithError(error.c_str());
            return;
        }
        load_ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::chrono::steady_clock::time_point first{};
        StreamCallbacks cb;
        bool seen = false;
        cb.on_content = [&](const std::string&) {
            if (!seen) {
                seen = true;
                first = std::chrono::steady_clock::now();
                backend.cancel();
            }
        };
        ChatMessage m;
        m.role = MessageRole::user;
        m.content = "Tell me about the sea.";
        backend.chat_completion_stream({m}, {}, cb);
        if (!seen) first = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(first - start).count());
    }
    state.counters["load_ms"] = load_ms / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ConfigureToFirstToken)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_SecondRoundPromptEval(benchmark::State& state) {
    if (bench_model().empty()) {
        state.SkipWithError("no benchmark model");
        return;
    }
    LlamaRuntime& runtime = shared_runtime();
    const bool reuse = state.range(0) != 0;
    std::string system = "<|im_start|>system\nYou are a helpful assistant. ";
    for (int i = 0; i < 40; ++i) system += "Follow rule number " + std::to_string(i) + " carefully. ";
    system += "<|im_end|>\n";
    const std::string round1 = system + "<|im_start|>user\nWhat is the weather like?<|im_end|>\n<|im_start|>assistant\n";
    GenerationParams p;
    p.temperature = 0.0;
    p.max_tokens = 32;
    int prompt_tokens = 0;
    int reused = 0;
    for (auto _ : state) {
        runtime.set_prefix_reuse(reuse);
        const GenerationResult a = runtime.generate(round1, p, {});
        const std::string round2 =
            round1 + a.text + "<|im_end|>\n<|im_start|>user\nAnd tomorrow?<|im_end|>\n<|im_start|>assistant\n";
        GenerationParams one = p;
        one.max_tokens = 1;
        runtime.generate(round2, one, {});
        const GenerationStats s = runtime.last_stats();
        state.SetIterationTime(s.prompt_ms / 1000.0);
        prompt_tokens = s.prompt_tokens;
        reused = s.reused_prompt_tokens;
    }
    runtime.set_prefix_reuse(true);
    state.counters["prompt_tokens"] = prompt_tokens;
    state.counters["reused_tokens"] = reused;
}
BENCHMARK(BM_SecondRoundPromptEval)->Arg(0)->Arg(1)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

#endif  // VEXA_LLAMA_CPP_ENABLED
