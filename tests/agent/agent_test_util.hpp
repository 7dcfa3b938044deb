#pragma once
// Helpers of the agent tests: chat-completion stream bodies for the scripted
// server, a temporary base directory with a configuration file, and an event
// recorder.

#include "fixtures/scripted_server.hpp"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace vexa::test {

struct ScriptedCall {
    std::string id;
    std::string name;
    std::string arguments;
};

inline std::string delta_chunk(const nlohmann::json& delta, const std::string& finish = {}) {
    nlohmann::json choice = {{"index", 0}, {"delta", delta}};
    if (!finish.empty()) choice["finish_reason"] = finish;
    nlohmann::json chunk = {{"id", "resp-test"}, {"object", "chat.completion.chunk"}, {"choices", {choice}}};
    return chunk.dump();
}

inline std::string content_chunk(const std::string& text) { return delta_chunk({{"content", text}}); }
inline std::string reasoning_chunk(const std::string& text) { return delta_chunk({{"reasoning_content", text}}); }

inline std::string tool_calls_chunk(const std::vector<ScriptedCall>& calls) {
    nlohmann::json list = nlohmann::json::array();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        list.push_back({{"index", i},
                        {"id", calls[i].id},
                        {"type", "function"},
                        {"function", {{"name", calls[i].name}, {"arguments", calls[i].arguments}}}});
    }
    return delta_chunk({{"tool_calls", list}});
}

// A streamed answer made of the given text pieces.
inline ScriptedResponse answer_response(const std::vector<std::string>& pieces,
                                        const std::vector<std::string>& reasoning = {}) {
    std::vector<std::string> chunks;
    for (const auto& r : reasoning) chunks.push_back(reasoning_chunk(r));
    for (const auto& p : pieces) chunks.push_back(content_chunk(p));
    chunks.push_back(delta_chunk(nlohmann::json::object(), "stop"));
    return ScriptedResponse::sse(sse_body(chunks));
}

// A streamed answer that asks for the given tool calls (with optional text).
inline ScriptedResponse tool_response(const std::vector<ScriptedCall>& calls, const std::string& text = {}) {
    std::vector<std::string> chunks;
    if (!text.empty()) chunks.push_back(content_chunk(text));
    chunks.push_back(tool_calls_chunk(calls));
    chunks.push_back(delta_chunk(nlohmann::json::object(), "tool_calls"));
    return ScriptedResponse::sse(sse_body(chunks));
}

// A stream that sends `text` and then stays silent with the body unfinished.
inline ScriptedResponse stalled_response(const std::string& text) {
    ScriptedResponse r = ScriptedResponse::sse("data: " + content_chunk(text) + "\n\n");
    r.end = ScriptedResponse::End::Hang;
    r.hang_limit = std::chrono::milliseconds(10000);
    return r;
}

class TempDir {
public:
    TempDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("vexa_agent_test_" + std::to_string(rd()) + "_" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string str() const { return path_.string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Whole files, parent directories created on write.
inline void write_file(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes <base>/config/agent_config.json for a server at `base_url`. Every key
// the tests depend on is written, because a load keeps fields the file lacks.
inline void write_agent_config(const std::filesystem::path& base, const std::string& base_url,
                               const nlohmann::json& agent_overrides = nlohmann::json::object()) {
    nlohmann::json agent = {{"name", "Vexa"},
                            {"max_tool_rounds", 0},
                            {"orchestration_enabled", false},
                            {"max_parallel_tasks", 4},
                            {"planner_max_tasks", 8},
                            {"compression_threshold", 8},
                            {"compression_keep_recent", 4},
                            // Pinned: the record is process-wide and keeps what a file leaves out.
                            {"allow_unlisted_model_endpoints", false}};
    for (auto it = agent_overrides.begin(); it != agent_overrides.end(); ++it) agent[it.key()] = it.value();
    nlohmann::json config = {
        {"llm",
         {{"backend", "openai"},
          {"base_url", base_url},
          {"api_key", "test-key"},
          {"model", "test-model"},
          {"temperature", 0.0},
          {"max_tokens", 256},
          {"timeout_seconds", 10}}},
        {"agent", agent},
        {"paths",
         {{"conversations_dir", "./data/conversations"}, {"conversations_full_dir", "./data/conversations_full"}}},
        {"perf", {{"enabled", true}}}};
    std::filesystem::create_directories(base / "config");
    std::ofstream(base / "config" / "agent_config.json", std::ios::binary) << config.dump(4);
}

// Adds the knowledge and skills paths to <base>/config/agent_config.json. The
// configuration is process-wide and a load keeps what the file lacks, so tests
// of these files write them out rather than assume them.
inline void write_knowledge_paths(const std::filesystem::path& base) {
    const std::filesystem::path file = base / "config" / "agent_config.json";
    nlohmann::json config = nlohmann::json::parse(read_file(file));
    config["paths"]["memory_file"] = "./data/memory/memory.json";
    config["paths"]["config_dir"] = "./config";
    config["paths"]["skills_dir"] = "./skills";
    write_file(file, config.dump(4));
}

// Collects events (type, state name, text, ...) from any thread.
template <typename Event>
class EventLog {
public:
    void add(const Event& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
        cv_.notify_all();
    }
    std::vector<Event> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    template <typename Pred>
    bool wait_for(Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] {
            for (const auto& e : events_) {
                if (pred(e)) return true;
            }
            return false;
        });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
};

// The messages of a request body the scripted server recorded.
inline nlohmann::json request_messages(const RecordedRequest& request) {
    return nlohmann::json::parse(request.body).at("messages");
}

}  // namespace vexa::test
