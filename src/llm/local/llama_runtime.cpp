#include "llm/local/llama_runtime.hpp"

#include "config/text_util.hpp"
#include "llm/llm_client.hpp"
#include "support/fs_util.hpp"
#include "support/log.hpp"
#include "support/utf8.hpp"

#include <algorithm>
#include <chrono>
#include <system_error>

#ifdef VEXA_LLAMA_CPP_ENABLED
#include <llama.h>

#include <cstdlib>
#include <random>
#include <thread>
#endif

namespace vexa {

namespace fs = std::filesystem;

namespace {

const char* const kBuiltWithoutSupport = "LlamaRuntime was built without llama.cpp support.";

void report(LLMClient* client, const std::string& text, int percent, bool ok = true) {
    if (client != nullptr && client->has_progress_callback()) {
        client->report_progress(text, percent, ok);
    }
}

// The final report of a load that failed.
void report_failure(LLMClient* client, const std::string& text) { report(client, text, 100, false); }

bool has_safetensors_extension(const fs::path& path) {
    return ascii_lower(path.extension().string()) == ".safetensors";
}

// Absence as the existence query understands it: file or path not found, a bad
// network path, an invalid name. Anything else is a real failure of the query.
bool means_absent(const std::error_code& ec) {
    const std::error_condition c = ec.default_error_condition();
    return c == std::errc::no_such_file_or_directory || c == std::errc::not_a_directory ||
           c == std::errc::filename_too_long || c == std::errc::invalid_argument ||
           c == std::errc::no_such_device || c == std::errc::network_unreachable;
}

bool path_exists(const fs::path& path) {
    std::error_code ec;
    const bool found = fs::exists(path, ec);
    if (ec && !means_absent(ec)) {
        throw fs::filesystem_error("exists", path, ec);
    }
    return found && !ec;
}

}  // namespace

bool is_safetensors_model(const fs::path& path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st)) {
        return false;
    }
    if (fs::is_regular_file(st)) {
        return has_safetensors_extension(path);
    }
    if (!fs::is_directory(st)) {
        return false;
    }
    bool has_config = false;
    bool has_weights = false;
    for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
        std::error_code entry_ec;
        if (!entry.is_regular_file(entry_ec) || entry_ec) {
            continue;
        }
        const fs::path name = entry.path().filename();
        if (name == "config.json") has_config = true;
        if (has_safetensors_extension(name)) has_weights = true;
    }
    return has_config && has_weights;
}

// ---------------------------------------------------------------------------

std::string Utf8Assembler::push(const std::string& bytes) {
    std::string data = pending_ + bytes;
    pending_.clear();
    std::string out;
    out.reserve(data.size());
    std::size_t i = 0;
    while (i < data.size()) {
        const auto lead = static_cast<unsigned char>(data[i]);
        const std::size_t n = utf8_lead_length(lead);
        if (n == 0) {
            out += kUtf8Replacement;
            ++i;
            continue;
        }
        std::size_t k = 1;
        while (k < n && i + k < data.size() && utf8_continuation_ok(lead, k, static_cast<unsigned char>(data[i + k]))) {
            ++k;
        }
        if (k == n) {
            out.append(data, i, n);
            i += n;
        } else if (i + k == data.size()) {
            pending_ = data.substr(i);  // a character still being written
            break;
        } else {
            out += kUtf8Replacement;
            i += k;
        }
    }
    return out;
}

std::string Utf8Assembler::flush() {
    const bool had = !pending_.empty();
    pending_.clear();
    return had ? std::string(kUtf8Replacement) : std::string();
}

// ---------------------------------------------------------------------------

#ifdef VEXA_LLAMA_CPP_ENABLED

namespace {

// llama.cpp reports problems through a process-wide log hook. Errors are kept per
// thread so a failed load can say why; VEXA_LLAMA_LOG=1 passes everything on.
thread_local std::string t_engine_error;
thread_local ggml_log_level t_last_level = GGML_LOG_LEVEL_NONE;
// The cancel flag of the generation running on this thread: once it is set, the
// engine's complaints about the aborted computation are expected, not errors.
thread_local const std::atomic<bool>* t_cancel_flag = nullptr;

void engine_log(ggml_log_level level, const char* text, void*) {
    static const bool verbose = [] {
        const char* v = std::getenv("VEXA_LLAMA_LOG");
        return v != nullptr && *v != '\0' && *v != '0';
    }();
    if (level == GGML_LOG_LEVEL_CONT) {
        level = t_last_level;
    } else {
        t_last_level = level;
    }
    std::string line = text != nullptr ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (level == GGML_LOG_LEVEL_ERROR && t_cancel_flag != nullptr && t_cancel_flag->load()) {
        level = GGML_LOG_LEVEL_DEBUG;
    }
    if (level == GGML_LOG_LEVEL_ERROR) {
        if (!line.empty()) t_engine_error = line;
        log_line(LogLevel::WARNING, "llama.cpp: " + line);
    } else if (verbose && !line.empty()) {
        log_line(level == GGML_LOG_LEVEL_WARN ? LogLevel::WARNING : LogLevel::INFO, "llama.cpp: " + line);
    }
}

void init_engine_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        llama_log_set(engine_log, nullptr);
        llama_backend_init();
    });
}

std::string take_engine_error() {
    std::string e = std::move(t_engine_error);
    t_engine_error.clear();
    return e;
}

int effective_threads(int requested) {
    const int hw = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    // More threads than cores makes ggml's spinning workers fight for the CPU and
    // slows generation down many times over; the configured default (8) is often
    // more than a laptop has.
    if (requested <= 0) return hw;
    return std::min(requested, hw);
}

struct LoadProgress {
    LLMClient* client = nullptr;
    int last = -1;
};

bool on_load_progress(float progress, void* user) {
    auto* p = static_cast<LoadProgress*>(user);
    const int percent = 10 + static_cast<int>(progress * 75.0f);
    if (percent != p->last && percent % 5 == 0) {
        p->last = percent;
        report(p->client, "正在加载模型权重", percent);
    }
    return true;
}

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

bool abort_requested(void* data) { return static_cast<std::atomic<bool>*>(data)->load(std::memory_order_relaxed); }

}  // namespace

struct LlamaRuntime::Engine {
    llama_model* model = nullptr;
    llama_context* ctx = nullptr;
    const llama_vocab* vocab = nullptr;
    // Tokens whose keys and values sit in the context's memory (sequence 0), in order.
    std::vector<llama_token> cached;
    llama_batch batch{};
    int batch_capacity = 0;
    // A thread pool that lives as long as the context. Without one the CPU backend
    // starts and joins its worker threads for every computed graph, that is for
    // every generated token, which costs more than the token itself on small
    // models and on a busy machine.
    ggml_threadpool_t threadpool = nullptr;
    void (*free_threadpool)(ggml_threadpool_t) = nullptr;

    ~Engine() {
        if (batch_capacity > 0) llama_batch_free(batch);
        if (ctx != nullptr) llama_free(ctx);
        if (threadpool != nullptr && free_threadpool != nullptr) free_threadpool(threadpool);
        if (model != nullptr) llama_model_free(model);
    }

    void attach_threadpool(int n_threads) {
        ggml_backend_dev_t cpu = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
        if (cpu == nullptr) return;
        ggml_backend_reg_t reg = ggml_backend_dev_backend_reg(cpu);
        // Looked up through the backend registry, as the CPU backend may be a
        // loadable module in other llama.cpp builds.
        using NewFn = ggml_threadpool_t (*)(ggml_threadpool_params*);
        using FreeFn = void (*)(ggml_threadpool_t);
        auto make = reinterpret_cast<NewFn>(ggml_backend_reg_get_proc_address(reg, "ggml_threadpool_new"));
        auto release = reinterpret_cast<FreeFn>(ggml_backend_reg_get_proc_address(reg, "ggml_threadpool_free"));
        if (make == nullptr || release == nullptr) return;
        ggml_threadpool_params params = ggml_threadpool_params_default(n_threads);
        threadpool = make(&params);
        if (threadpool == nullptr) return;
        free_threadpool = release;
        llama_attach_threadpool(ctx, threadpool, nullptr);
    }

    // Decodes tokens[from, to) at positions following the cache, asking for logits
    // of the last one only when `logits_last`. Returns llama_decode's code; on an
    // abort or a fatal error the cache record is brought in line with the memory.
    int decode(const std::vector<llama_token>& tokens, std::size_t from, std::size_t to, bool logits_last) {
        const std::size_t n_batch = static_cast<std::size_t>(batch_capacity);
        while (from < to) {
            const std::size_t n = std::min(n_batch, to - from);
            batch.n_tokens = static_cast<int32_t>(n);
            for (std::size_t i = 0; i < n; ++i) {
                batch.token[i] = tokens[from + i];
                batch.pos[i] = static_cast<llama_pos>(cached.size() + i);
                batch.n_seq_id[i] = 1;
                batch.seq_id[i][0] = 0;
                batch.logits[i] = (logits_last && from + i + 1 == to) ? 1 : 0;
            }
            const int rc = llama_decode(ctx, batch);
            if (rc != 0) {
                resync(tokens, from, n);
                return rc;
            }
            cached.insert(cached.end(), tokens.begin() + static_cast<std::ptrdiff_t>(from),
                          tokens.begin() + static_cast<std::ptrdiff_t>(from + n));
            from += n;
        }
        return 0;
    }

    // After a failed or aborted decode part of the batch may have reached memory.
    void resync(const std::vector<llama_token>& tokens, std::size_t from, std::size_t n) {
        const llama_pos pos_max = llama_memory_seq_pos_max(llama_get_memory(ctx), 0);
        const std::size_t in_memory = pos_max < 0 ? 0 : static_cast<std::size_t>(pos_max) + 1;
        if (in_memory <= cached.size()) {
            cached.resize(in_memory);
        } else {
            const std::size_t extra = std::min(n, in_memory - cached.size());
            cached.insert(cached.end(), tokens.begin() + static_cast<std::ptrdiff_t>(from),
                          tokens.begin() + static_cast<std::ptrdiff_t>(from + extra));
        }
        if (cached.size() != in_memory) {
            llama_memory_clear(llama_get_memory(ctx), true);
            cached.clear();
        }
    }

    std::string piece(llama_token token) const {
        char small[64];
        int32_t n = llama_token_to_piece(vocab, token, small, sizeof small, 0, true);
        if (n >= 0) return std::string(small, static_cast<std::size_t>(n));
        std::string big(static_cast<std::size_t>(-n), '\0');
        n = llama_token_to_piece(vocab, token, big.data(), static_cast<int32_t>(big.size()), 0, true);
        return n < 0 ? std::string() : big.substr(0, static_cast<std::size_t>(n));
    }
};

#else

struct LlamaRuntime::Engine {};

#endif  // VEXA_LLAMA_CPP_ENABLED

LlamaRuntime::LlamaRuntime() = default;
LlamaRuntime::~LlamaRuntime() = default;

void LlamaRuntime::cancel() { cancel_.store(true); }

bool LlamaRuntime::is_loaded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return engine_ != nullptr;
}

LocalLoadOptions LlamaRuntime::options() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return options_;
}

GenerationStats LlamaRuntime::last_stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void LlamaRuntime::set_prefix_reuse(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    prefix_reuse_ = enabled;
}

bool LlamaRuntime::load(const LocalLoadOptions& options, std::string& error, LLMClient* client) {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_.store(false);
    error.clear();
    options_ = options;
    report(client, "加载流程已启动", 1);

    if (options.model_path.empty()) {
        error = "llama.cpp model_path is empty.";
        report_failure(client, "本地模型加载失败：模型路径为空");
        return false;
    }
    report(client, "检查模型文件", 5);
    const fs::path path = path_from_utf8(options.model_path);
    if (is_safetensors_model(path)) {
        error = "检测到 safetensors 模型，请先用 scripts/convert_safetensors_to_gguf.ps1 转换为 GGUF";
        report_failure(client, "本地模型加载失败：当前只支持 GGUF");
        return false;
    }
    if (!path_exists(path)) {
        error = "GGUF model file does not exist: " + options.model_path;
        report_failure(client, "本地模型加载失败：模型文件不存在");
        return false;
    }

#ifndef VEXA_LLAMA_CPP_ENABLED
    error =
        "LlamaRuntime was built without llama.cpp. Place llama.cpp under third_party/llama.cpp, configure CUDA "
        "libraries, and define VEXA_LLAMA_CPP_ENABLED in build/llama_cpp.props.";
    report_failure(client, "本地模型加载失败：当前构建未启用 llama.cpp");
    return false;
#else
    init_engine_once();
    engine_.reset();  // the previous model's memory goes before the next one arrives
    take_engine_error();

    const bool gpu_wanted = options.gpu_layers != 0 && llama_supports_gpu_offload();
    auto engine = std::make_unique<Engine>();

    // Model: GPU layers and main GPU, memory mapping and locking.
    auto load_model = [&](bool on_gpu) -> llama_model* {
        llama_model_params mp = llama_model_default_params();
        static ggml_backend_dev_t no_devices[] = {nullptr};
        if (on_gpu) {
            mp.n_gpu_layers = options.gpu_layers;
            if (options.main_gpu > 0) {
                // An explicit main GPU keeps the whole model on that one device.
                mp.split_mode = LLAMA_SPLIT_MODE_NONE;
                mp.main_gpu = options.main_gpu;
            }
        } else {
            mp.n_gpu_layers = 0;
            mp.devices = no_devices;
        }
        if (options.use_mmap && options.use_mlock) mp.load_mode = LLAMA_LOAD_MODE_MMAP_MLOCK;
        else if (options.use_mmap) mp.load_mode = LLAMA_LOAD_MODE_MMAP;
        else if (options.use_mlock) mp.load_mode = LLAMA_LOAD_MODE_MLOCK;
        else mp.load_mode = LLAMA_LOAD_MODE_NONE;
        LoadProgress progress{client, 10};  // 10 is reported just below
        mp.progress_callback = on_load_progress;
        mp.progress_callback_user_data = &progress;
        report(client, "正在加载模型权重", 10);
        // The engine takes UTF-8 paths on every platform.
        return llama_model_load_from_file(options.model_path.c_str(), mp);
    };

    // Context: size, batch and micro-batch, threads, flash attention.
    auto make_context = [&](llama_model* model, bool on_gpu) -> llama_context* {
        llama_context_params cp = llama_context_default_params();
        cp.n_ctx = options.context_size > 0 ? static_cast<uint32_t>(options.context_size) : 0;
        cp.n_batch = static_cast<uint32_t>(options.batch_size > 0 ? options.batch_size : 512);
        cp.n_ubatch = std::min(cp.n_batch, static_cast<uint32_t>(options.ubatch_size > 0 ? options.ubatch_size : 128));
        cp.n_seq_max = 1;
        cp.n_threads = effective_threads(options.threads);
        cp.n_threads_batch = cp.n_threads;
        cp.flash_attn_type = options.flash_attention ? LLAMA_FLASH_ATTN_TYPE_ENABLED : LLAMA_FLASH_ATTN_TYPE_DISABLED;
        cp.no_perf = true;
        if (!on_gpu) {
            cp.offload_kqv = false;
            cp.op_offload = false;
        }
        report(client, "创建推理上下文", 90);
        llama_context* ctx = llama_init_from_model(model, cp);
        if (ctx == nullptr && options.flash_attention) {
            // Not every device has a flash-attention kernel; let the engine decide.
            cp.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_AUTO;
            ctx = llama_init_from_model(model, cp);
        }
        return ctx;
    };

    bool on_gpu = gpu_wanted;
    engine->model = load_model(on_gpu);
    if (engine->model != nullptr) {
        engine->ctx = make_context(engine->model, on_gpu);
    }
    if (engine->ctx == nullptr && on_gpu && options.allow_cpu_fallback) {
        log_line(LogLevel::WARNING, "GPU offload failed (" + take_engine_error() + "); loading on the CPU");
        report(client, "GPU 加载失败，改用 CPU", 10);
        if (engine->model != nullptr) {
            llama_model_free(engine->model);
            engine->model = nullptr;
        }
        on_gpu = false;
        engine->model = load_model(false);
        if (engine->model != nullptr) engine->ctx = make_context(engine->model, false);
    }
    if (engine->model == nullptr) {
        const std::string detail = take_engine_error();
        error = "Failed to load GGUF model: " + options.model_path + (detail.empty() ? "" : " (" + detail + ")");
        report_failure(client, "本地模型加载失败：模型无法加载");
        return false;
    }
    if (engine->ctx == nullptr) {
        const std::string detail = take_engine_error();
        error = "Failed to create a llama.cpp context for " + options.model_path +
                (detail.empty() ? "" : " (" + detail + ")");
        report_failure(client, "本地模型加载失败：推理上下文创建失败");
        return false;
    }
    engine->vocab = llama_model_get_vocab(engine->model);
    engine->attach_threadpool(llama_n_threads(engine->ctx));
    engine->batch_capacity = static_cast<int>(llama_n_batch(engine->ctx));
    engine->batch = llama_batch_init(engine->batch_capacity, 0, 1);
    llama_set_abort_callback(engine->ctx, abort_requested, &cancel_);

    if (options.warmup) {
        // One throw-away decode pages the weights in and builds the compute graph,
        // so the first real prompt does not pay for it.
        report(client, "预热模型", 95);
        llama_token t = llama_vocab_bos(engine->vocab);
        if (t == LLAMA_TOKEN_NULL) t = 0;
        const std::vector<llama_token> warm{t};
        engine->decode(warm, 0, 1, true);
        llama_synchronize(engine->ctx);
        llama_memory_clear(llama_get_memory(engine->ctx), true);
        engine->cached.clear();
    }
    engine_ = std::move(engine);
    report(client, "本地模型加载完成", 100, true);
    return true;
#endif
}

bool LlamaRuntime::apply_chat_template(const ChatTurns& turns, bool add_generation_prompt, std::string& prompt,
                                       std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    prompt.clear();
    error.clear();
#ifndef VEXA_LLAMA_CPP_ENABLED
    (void)turns;
    (void)add_generation_prompt;
    error = kBuiltWithoutSupport;
    return false;
#else
    if (!engine_) {
        error = "No local model is loaded.";
        return false;
    }
    const char* tmpl = llama_model_chat_template(engine_->model, nullptr);
    if (tmpl == nullptr || *tmpl == '\0') {
        error = "The model has no chat template.";
        return false;
    }
    std::vector<llama_chat_message> messages;
    messages.reserve(turns.size());
    std::size_t total = 0;
    for (const auto& [role, content] : turns) {
        messages.push_back(llama_chat_message{role.c_str(), content.c_str()});
        total += role.size() + content.size();
    }
    std::string buffer(total * 2 + 256, '\0');
    int32_t n = llama_chat_apply_template(tmpl, messages.data(), messages.size(), add_generation_prompt,
                                          buffer.data(), static_cast<int32_t>(buffer.size()));
    if (n > static_cast<int32_t>(buffer.size())) {
        buffer.resize(static_cast<std::size_t>(n));
        n = llama_chat_apply_template(tmpl, messages.data(), messages.size(), add_generation_prompt, buffer.data(),
                                      static_cast<int32_t>(buffer.size()));
    }
    if (n < 0) {
        error = "The model's chat template is not supported or does not accept these roles.";
        return false;
    }
    prompt.assign(buffer.data(), static_cast<std::size_t>(n));
    return true;
#endif
}

int LlamaRuntime::count_tokens(const std::string& prompt) {
#ifndef VEXA_LLAMA_CPP_ENABLED
    (void)prompt;
    return -1;
#else
    std::lock_guard<std::mutex> lock(mutex_);
    if (!engine_ || prompt.size() > static_cast<std::size_t>(INT32_MAX)) return -1;
    // With no room for the tokens, llama_tokenize answers minus their count.
    const int32_t n = llama_tokenize(engine_->vocab, prompt.data(), static_cast<int32_t>(prompt.size()), nullptr, 0,
                                     true, true);
    if (n == INT32_MIN) return -1;
    return n < 0 ? -n : n;
#endif
}

int LlamaRuntime::context_size() const {
#ifndef VEXA_LLAMA_CPP_ENABLED
    return -1;
#else
    std::lock_guard<std::mutex> lock(mutex_);
    if (!engine_) return -1;
    return static_cast<int>(llama_n_ctx(engine_->ctx));
#endif
}

GenerationResult LlamaRuntime::generate(const std::string& prompt, const GenerationParams& params,
                                        const PieceCallback& on_piece) {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_.store(false);
    GenerationResult result;
    stats_ = GenerationStats{};
#ifndef VEXA_LLAMA_CPP_ENABLED
    (void)prompt;
    (void)params;
    (void)on_piece;
    result.error = kBuiltWithoutSupport;
    return result;
#else
    if (!engine_) {
        result.error = "No local model is loaded.";
        return result;
    }
    Engine& e = *engine_;
    const auto started = std::chrono::steady_clock::now();
    struct CancelFlagScope {
        explicit CancelFlagScope(const std::atomic<bool>* flag) { t_cancel_flag = flag; }
        ~CancelFlagScope() { t_cancel_flag = nullptr; }
    } cancel_scope(&cancel_);

    // Tokenize, parsing the template's special markers as the tokens they stand for.
    std::vector<llama_token> tokens(prompt.size() + 8);
    int32_t n = llama_tokenize(e.vocab, prompt.data(), static_cast<int32_t>(prompt.size()), tokens.data(),
                               static_cast<int32_t>(tokens.size()), true, true);
    if (n < 0 && n != INT32_MIN) {
        tokens.resize(static_cast<std::size_t>(-n));
        n = llama_tokenize(e.vocab, prompt.data(), static_cast<int32_t>(prompt.size()), tokens.data(),
                           static_cast<int32_t>(tokens.size()), true, true);
    }
    if (n <= 0) {
        result.error = n == 0 ? "The prompt is empty." : "The prompt could not be tokenized.";
        return result;
    }
    tokens.resize(static_cast<std::size_t>(n));
    const std::size_t n_ctx = llama_n_ctx(e.ctx);
    if (tokens.size() >= n_ctx) {
        result.error = "The prompt needs " + std::to_string(tokens.size()) + " tokens but the context holds " +
                       std::to_string(n_ctx) + ".";
        return result;
    }
    stats_.prompt_tokens = static_cast<int>(tokens.size());

    // Reuse the memory of the longest common prefix with the previous call: a
    // conversation grows at its end, so most of each new prompt is already there.
    llama_memory_t mem = llama_get_memory(e.ctx);
    std::size_t keep = 0;
    if (prefix_reuse_) {
        const std::size_t limit = std::min(e.cached.size(), tokens.size());
        while (keep < limit && e.cached[keep] == tokens[keep]) ++keep;
        if (keep == tokens.size()) --keep;  // the last prompt token must be decoded again for its logits
    }
    if (keep < e.cached.size()) {
        if (!llama_memory_seq_rm(mem, 0, static_cast<llama_pos>(keep), -1)) {
            keep = 0;  // a memory that cannot drop a tail (recurrent models) starts over
            llama_memory_clear(mem, true);
        }
        e.cached.resize(keep);
    }
    stats_.reused_prompt_tokens = static_cast<int>(keep);

    const auto prompt_start = std::chrono::steady_clock::now();
    int rc = e.decode(tokens, keep, tokens.size(), true);
    stats_.prompt_ms = ms_since(prompt_start);
    if (rc == 2 || cancel_.load()) {
        result.stopped = true;
        result.error = "Generation was cancelled.";
        return result;
    }
    if (rc != 0) {
        result.error = "llama.cpp could not evaluate the prompt (llama_decode returned " + std::to_string(rc) + ").";
        return result;
    }

    llama_sampler* sampler = llama_sampler_chain_init(llama_sampler_chain_default_params());
    if (params.temperature <= 0.0) {
        llama_sampler_chain_add(sampler, llama_sampler_init_greedy());
    } else {
        llama_sampler_chain_add(sampler, llama_sampler_init_temp(static_cast<float>(params.temperature)));
        llama_sampler_chain_add(sampler, llama_sampler_init_dist(std::random_device{}()));
    }
    struct SamplerGuard {
        llama_sampler* s;
        ~SamplerGuard() { llama_sampler_free(s); }
    } sampler_guard{sampler};

    std::size_t longest_stop = 0;
    for (const std::string& s : params.stop) longest_stop = std::max(longest_stop, s.size());
    Utf8Assembler utf8;
    auto emit = [&](const std::string& text) {
        if (text.empty()) return;
        if (result.text.empty()) stats_.first_token_ms = ms_since(started);
        result.text += text;
        if (on_piece) on_piece(text);
    };
    // A stop string may straddle pieces, so look at the new text together with the
    // tail that could hold the start of a stop string.
    auto hit_stop = [&](std::size_t old_size) {
        if (longest_stop == 0) return false;
        const std::size_t from = old_size >= longest_stop - 1 ? old_size - (longest_stop - 1) : 0;
        for (const std::string& s : params.stop) {
            if (!s.empty() && result.text.find(s, from) != std::string::npos) return true;
        }
        return false;
    };

    const auto gen_start = std::chrono::steady_clock::now();
    const int max_tokens = params.max_tokens > 0 ? params.max_tokens : static_cast<int>(n_ctx);
    bool ended = false;
    while (!ended) {
        if (cancel_.load()) {
            result.stopped = true;
            break;
        }
        const llama_token token = llama_sampler_sample(sampler, e.ctx, -1);
        if (llama_vocab_is_eog(e.vocab, token)) {
            result.ok = true;
            break;
        }
        ++stats_.generated_tokens;
        const std::size_t old_size = result.text.size();
        emit(utf8.push(e.piece(token)));
        if (hit_stop(old_size)) {
            result.ok = true;
            result.stopped = true;
            break;
        }
        if (stats_.generated_tokens >= max_tokens || e.cached.size() + 1 >= n_ctx) {
            result.ok = true;  // length limit: a complete answer as far as the caller is concerned
            break;
        }
        const std::vector<llama_token> next{token};
        rc = e.decode(next, 0, 1, true);
        if (rc == 2 || (rc != 0 && cancel_.load())) {
            result.stopped = true;
            break;
        }
        if (rc != 0) {
            result.error = "llama.cpp failed while generating (llama_decode returned " + std::to_string(rc) + ").";
            ended = true;
        }
    }
    if (!ended || result.ok || result.stopped) {
        const std::size_t old_size = result.text.size();
        emit(utf8.flush());
        if (!result.stopped && hit_stop(old_size)) result.stopped = true;
    }
    if (result.stopped && !result.ok) {
        result.error = "Generation was cancelled.";
    }
    stats_.generate_ms = ms_since(gen_start);
    return result;
#endif
}

}  // namespace vexa
