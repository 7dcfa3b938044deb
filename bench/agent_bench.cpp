// Library overhead of a turn: the agent with a backend that answers at once
// (in process, so only the library's own work is timed), the same turns over
// loopback HTTP against a scripted server, and the memory a long session
// takes.

#include "agent/agent.hpp"
#include "config/agent_config.hpp"
#include "fixtures/scripted_server.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

namespace {

using namespace vexa;

// Peak resident memory of the process so far, in KiB.
long peak_rss_kib() {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
#endif
}

// Answers at once: a tool call while `tool_rounds_left` says so, then text.
class InstantBackend : public ILLMBackend {
public:
    explicit InstantBackend(std::atomic<int>* tool_rounds_left) : tool_rounds_left_(tool_rounds_left) {}
    bool configure(const LLMConfig&, std::string&, LLMClient*) override { return true; }
    StreamResult chat_completion_stream(const std::vector<ChatMessage>& messages, const std::vector<ToolDefinition>&,
                                        const StreamCallbacks& callbacks) override {
        StreamResult result;
        if (callbacks.on_state) callbacks.on_state(LLMState::waiting);
        result.ok = true;
        result.response_id = "resp-bench";
        if (tool_rounds_left_->load() > 0) {
            tool_rounds_left_->fetch_sub(1);
            if (callbacks.on_state) callbacks.on_state(LLMState::tool_calling);
            result.message.tool_calls.push_back({"call_" + std::to_string(messages.size()), "noop", "{\"x\":1}"});
            result.finish_reason = "tool_calls";
        } else {
            if (callbacks.on_state) callbacks.on_state(LLMState::generating);
            static const std::string pieces[] = {"The answer ", "is ", "forty-two."};
            for (const auto& piece : pieces) {
                if (callbacks.on_content) callbacks.on_content(piece);
                result.message.content += piece;
            }
            result.finish_reason = "stop";
        }
        result.usage.prompt_tokens = 100;
        result.usage.completion_tokens = 10;
        if (callbacks.on_state) callbacks.on_state(LLMState::done);
        return result;
    }
    CompletionResult chat_completion_result(const std::vector<ChatMessage>&, const CompletionOptions&) override {
        return {true, {}, "ok", {}};
    }
    void cancel() override {}

private:
    std::atomic<int>* tool_rounds_left_;
};

void reset_config(const std::string& base_url) {
    auto& cfg = AgentConfig::instance();
    cfg.llm = LLMConfig{};
    cfg.llm.backend = "openai";
    cfg.llm.base_url = base_url;
    cfg.llm.model = "bench-model";
    cfg.agent = AgentSettings{};
    cfg.paths = PathsConfig{};
    cfg.host_policy_flags = policy_no_persistence;
    cfg.perf_enabled = true;
}

void register_noop(Agent& agent) {
    ToolSpec spec;
    spec.name = "noop";
    spec.description = "does nothing";
    spec.executor = [](const nlohmann::json&) -> nlohmann::json { return {{"success", true}}; };
    agent.register_host_tool(spec);
}

// A conversation of `count` messages of a typical size, as host JSON.
std::string history_json(int count) {
    nlohmann::json list = nlohmann::json::array();
    const std::string user(120, 'u');
    const std::string answer(240, 'a');
    for (int i = 0; i < count; ++i) {
        list.push_back({{"role", i % 2 == 0 ? "user" : "assistant"}, {"content", i % 2 == 0 ? user : answer}});
    }
    return list.dump();
}

// A chat-completions stream of the given deltas, ending with usage.
std::string sse(const std::vector<nlohmann::json>& deltas, const std::string& finish) {
    std::string body;
    for (const auto& delta : deltas) {
        nlohmann::json choice = {{"index", 0}, {"delta", delta}};
        nlohmann::json chunk = {{"id", "resp-bench"}, {"choices", nlohmann::json::array({choice})}};
        body += "data: " + chunk.dump() + "\n\n";
    }
    nlohmann::json end = {{"index", 0}, {"delta", nlohmann::json::object()}, {"finish_reason", finish}};
    nlohmann::json last = {{"id", "resp-bench"},
                           {"choices", nlohmann::json::array({end})},
                           {"usage", {{"prompt_tokens", 100}, {"completion_tokens", 10}}}};
    body += "data: " + last.dump() + "\n\ndata: [DONE]\n\n";
    return body;
}

// Peak memory of a session of 10,000 messages, built by injection and one
// more turn over loopback (the request of that turn carries all of them).
// Registered first: the process peak must not yet include other benchmarks.
void BM_SessionPeakMemory10k(benchmark::State& state) {
    test::ScriptedServer server;
    reset_config(server.base_url() + "/v1");
    const std::string seed = history_json(9998);
    long before = 0;
    long after = 0;
    for (auto _ : state) {
        before = peak_rss_kib();
        Agent agent;
        agent.start({});
        agent.replace_conversation(seed);
        server.enqueue(test::ScriptedResponse::sse(sse({nlohmann::json{{"content", "ok"}}}, "stop")));
        AgentResponse r = agent.chat("one more", {}, {});
        if (!r.success || agent.message_count() != 10000) state.SkipWithError("session did not reach 10000 messages");
        after = peak_rss_kib();
        agent.shutdown();
    }
    state.counters["peak_rss_MiB"] = static_cast<double>(after) / 1024.0;
    state.counters["peak_growth_MiB"] = static_cast<double>(after - before) / 1024.0;
}
BENCHMARK(BM_SessionPeakMemory10k)->Iterations(1)->Unit(benchmark::kMillisecond);

// One turn of `rounds` model calls (rounds - 1 of them ask for a tool), with
// `history` messages already in the conversation.
void run_turns(benchmark::State& state, int rounds, int history) {
    reset_config("http://unused");
    std::atomic<int> tool_rounds_left{0};
    Agent agent([&](const std::string&, std::string&) -> std::unique_ptr<ILLMBackend> {
        return std::make_unique<InstantBackend>(&tool_rounds_left);
    });
    agent.start({});
    register_noop(agent);
    const std::string seed = history_json(history);
    agent.replace_conversation(seed);
    std::atomic<long> events{0};
    EventCallback on_event = [&](const AgentEvent&) { events.fetch_add(1, std::memory_order_relaxed); };
    for (auto _ : state) {
        tool_rounds_left = rounds - 1;
        AgentResponse r = agent.chat("What is the answer?", {}, on_event);
        if (!r.success) state.SkipWithError(r.error.c_str());
        // Every turn starts from the same conversation.
        state.PauseTiming();
        if (history == 0) {
            agent.new_session();
        } else {
            agent.replace_conversation(seed);
        }
        state.ResumeTiming();
    }
    state.counters["events/turn"] = static_cast<double>(events.load()) / static_cast<double>(state.iterations());
    agent.shutdown();
}

void BM_AgentTurnOneRound(benchmark::State& state) { run_turns(state, 1, static_cast<int>(state.range(0))); }
void BM_AgentTurnToolLoop16(benchmark::State& state) { run_turns(state, 16, static_cast<int>(state.range(0))); }

BENCHMARK(BM_AgentTurnOneRound)->Arg(0)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)
    ->MinTime(0.2)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_AgentTurnToolLoop16)->Arg(0)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)
    ->MinTime(0.2)->Repetitions(5)->ReportAggregatesOnly(true);

// The same turns over loopback HTTP: serialising the request, the transport
// and the stream parser are included; the server answers at once.

void run_loopback_turns(benchmark::State& state, int rounds) {
    test::ScriptedServer server;
    reset_config(server.base_url() + "/v1");
    auto text = [](const char* piece) { return nlohmann::json{{"content", piece}}; };
    const auto answer =
        test::ScriptedResponse::sse(sse({text("The answer "), text("is "), text("forty-two.")}, "stop"));
    nlohmann::json call = {{"index", 0},
                           {"id", "call_1"},
                           {"type", "function"},
                           {"function", {{"name", "noop"}, {"arguments", "{\"x\":1}"}}}};
    nlohmann::json calls = {{"tool_calls", nlohmann::json::array({call})}};
    const auto tool = test::ScriptedResponse::sse(sse({calls}, "tool_calls"));
    Agent agent;
    agent.start({});
    register_noop(agent);
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 1; i < rounds; ++i) server.enqueue(tool);
        server.enqueue(answer);
        agent.new_session();
        state.ResumeTiming();
        AgentResponse r = agent.chat("What is the answer?", {}, {});
        if (!r.success) state.SkipWithError(r.error.c_str());
    }
    agent.shutdown();
}

void BM_LoopbackTurnOneRound(benchmark::State& state) { run_loopback_turns(state, 1); }
void BM_LoopbackTurnToolLoop16(benchmark::State& state) { run_loopback_turns(state, 16); }

BENCHMARK(BM_LoopbackTurnOneRound)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_LoopbackTurnToolLoop16)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);


}  // namespace
