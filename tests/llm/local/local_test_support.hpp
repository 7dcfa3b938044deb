#pragma once
// Helpers shared by the local-inference tests: temporary directories, a progress
// recorder, and models generated on the fly (only with llama.cpp compiled in).

#include "llm/llm_client.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#ifdef VEXA_LLAMA_CPP_ENABLED
#include "gguf_gen.hpp"
#endif

namespace vexa::local_test {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = fs::temp_directory_path() /
                ("vexa_local_" + std::to_string(stamp) + "_" + std::to_string(std::random_device{}()));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string file(const std::string& name, const std::string& content = "x") const {
        const fs::path p = path_ / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }

private:
    fs::path path_;
};

// Records (text, percent) reports of a client's progress callback, and each
// report's ok flag alongside.
struct ProgressLog {
    std::mutex mutex;
    std::vector<std::pair<std::string, int>> reports;
    std::vector<bool> ok;

    void attach(LLMClient& client) {
        client.set_progress_callback([this](const std::string& text, int percent, bool report_ok) {
            std::lock_guard<std::mutex> lock(mutex);
            reports.emplace_back(text, percent);
            ok.push_back(report_ok);
        });
    }
    std::vector<int> percents() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<int> out;
        for (const auto& r : reports) out.push_back(r.second);
        return out;
    }
};

#ifdef VEXA_LLAMA_CPP_ENABLED

// One directory of generated models per test program, removed at exit.
inline const fs::path& model_dir() {
    static TempDir dir;
    return dir.path();
}

inline std::string generate_model(const std::string& name, const gguf_gen::ModelShape& shape) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    const fs::path p = model_dir() / name;
    if (!fs::exists(p)) {
        std::string error;
        if (!gguf_gen::write_model(p.string(), shape, error)) {
            ADD_FAILURE() << "cannot generate " << name << ": " << error;
        }
    }
    return p.string();
}

// The random tiny model: gibberish, deterministic under greedy decoding.
inline std::string tiny_model() { return generate_model("tiny.gguf", gguf_gen::tiny_shape()); }

// A tiny model that always answers with `pieces` and then ends its turn.
inline std::string scripted_model(const std::string& name, const std::vector<std::string>& pieces) {
    gguf_gen::ModelShape shape = gguf_gen::tiny_shape();
    shape.scripted_reply = pieces;
    return generate_model(name, shape);
}

#endif

}  // namespace vexa::local_test
