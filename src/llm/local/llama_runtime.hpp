#pragma once
// In-process GGUF inference: loads a model with its settings, renders the model's
// own chat template, generates text piece by piece with stop strings, and can be
// cancelled from any thread. Without VEXA_LLAMA_CPP_ENABLED every operation fails
// with a fixed message, so selecting the local backend fails cleanly.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

class LLMClient;

struct LocalLoadOptions {
    std::string model_path;
    int context_size = 8192;
    int gpu_layers = -1;  // -1: every layer on the GPU when there is one
    int main_gpu = 0;
    int batch_size = 512;
    int ubatch_size = 128;
    int threads = 8;
    bool flash_attention = true;
    bool use_mmap = true;
    bool use_mlock = false;
    bool warmup = true;
    bool allow_cpu_fallback = false;
};

struct GenerationParams {
    int max_tokens = 4096;  // <= 0: until the context is full
    double temperature = 0.7;  // <= 0: greedy
    std::vector<std::string> stop;
};

struct GenerationResult {
    // The generation ran to an end of its own: end-of-generation token, max_tokens,
    // a full context, or a stop string.
    bool ok = false;
    // The generation was ended from outside the model's own flow: by a stop string
    // (ok is also set) or by cancel (ok stays false, error says so). Callers that
    // stream accept a stopped result like a completed one.
    bool stopped = false;
    std::string text;  // every piece handed to the callback, concatenated
    std::string error;
};

// Timings of the last generate, for diagnostics and benchmarks.
struct GenerationStats {
    int prompt_tokens = 0;
    int reused_prompt_tokens = 0;  // taken from the KV cache of the previous call
    int generated_tokens = 0;
    double prompt_ms = 0.0;       // evaluating the prompt tokens that were not reused
    double first_token_ms = 0.0;  // from the call to the first piece
    double generate_ms = 0.0;     // from the first sampled token to the end
};

using ChatTurns = std::vector<std::pair<std::string, std::string>>;  // (role, content)
using PieceCallback = std::function<void(const std::string&)>;

// What the local backend needs of a runtime; tests substitute a scripted one.
class ILocalRuntime {
public:
    virtual ~ILocalRuntime() = default;
    virtual bool load(const LocalLoadOptions& options, std::string& error, LLMClient* client) = 0;
    virtual bool apply_chat_template(const ChatTurns& turns, bool add_generation_prompt, std::string& prompt,
                                     std::string& error) = 0;
    virtual GenerationResult generate(const std::string& prompt, const GenerationParams& params,
                                      const PieceCallback& on_piece) = 0;
    virtual void cancel() = 0;
    // How many tokens generate() would evaluate for `prompt`, and how many the
    // context holds; -1 when that cannot be told (nothing loaded, or a runtime
    // that does not know). The backend uses them to make a long conversation fit.
    virtual int count_tokens(const std::string& prompt) {
        (void)prompt;
        return -1;
    }
    virtual int context_size() const { return -1; }
};

class LlamaRuntime : public ILocalRuntime {
public:
    LlamaRuntime();
    ~LlamaRuntime() override;
    LlamaRuntime(const LlamaRuntime&) = delete;
    LlamaRuntime& operator=(const LlamaRuntime&) = delete;

    bool load(const LocalLoadOptions& options, std::string& error, LLMClient* client) override;
    bool apply_chat_template(const ChatTurns& turns, bool add_generation_prompt, std::string& prompt,
                             std::string& error) override;
    GenerationResult generate(const std::string& prompt, const GenerationParams& params,
                              const PieceCallback& on_piece) override;
    // Only sets the flag; a running generation sees it before its next token and
    // inside the engine's computation of the current one.
    void cancel() override;
    int count_tokens(const std::string& prompt) override;
    int context_size() const override;

    bool is_loaded() const;
    LocalLoadOptions options() const;
    GenerationStats last_stats() const;
    // Keeping the KV cache of the previous prompt is on by default; benchmarks
    // switch it off to measure what it saves.
    void set_prefix_reuse(bool enabled);

private:
    struct Engine;

    mutable std::mutex mutex_;
    std::atomic<bool> cancel_{false};
    LocalLoadOptions options_;
    GenerationStats stats_;
    bool prefix_reuse_ = true;
    std::unique_ptr<Engine> engine_;
};

// A safetensors model: a file with that extension (any case), or a directory with
// config.json and at least one such file. Throws std::filesystem::filesystem_error
// when the directory cannot be listed.
bool is_safetensors_model(const std::filesystem::path& path);

// Joins byte pieces into valid UTF-8: a sequence split across pieces is held back
// until it is complete, and bytes that can never form a character become U+FFFD.
class Utf8Assembler {
public:
    std::string push(const std::string& bytes);
    // What is still held back, as U+FFFD.
    std::string flush();

private:
    std::string pending_;
};

}  // namespace vexa
