// Wall time of a planned turn whose three independent tasks each wait 500 ms
// for the model: with the tasks' model calls running at the same time, with
// them serialised, and an ordinary turn doing the same three model calls in
// one ReAct loop. Planning and aggregation are answered at once, so what is
// left above 500 ms is the cost of the tasks' calls not overlapping.

#include "agent/agent.hpp"
#include "agent/agent_test_util.hpp"
#include "config/agent_config.hpp"
#include "fixtures/scripted_server.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <string>

namespace {

using namespace vexa;
using namespace std::chrono_literals;

constexpr auto kModelLatency = 500ms;

void reset_config(const std::string& base_url, bool parallel) {
    auto& cfg = AgentConfig::instance();
    cfg.llm = LLMConfig{};
    cfg.llm.backend = "openai";
    cfg.llm.base_url = base_url;
    cfg.llm.model = "bench-model";
    cfg.agent = AgentSettings{};
    cfg.agent.parallel_model_calls = parallel;
    cfg.paths = PathsConfig{};
    cfg.host_policy_flags = policy_no_persistence | policy_no_local_memory;
    cfg.perf_enabled = false;
}

test::ScriptedResponse slow(test::ScriptedResponse response) {
    response.delay_before_headers = kModelLatency;
    return response;
}

test::ScriptedResponse plan_answer() {
    nlohmann::json tasks = nlohmann::json::array();
    for (const char* id : {"a", "b", "c"}) {
        tasks.push_back({{"id", id}, {"description", std::string("look up ") + id}, {"depends_on", nlohmann::json::array()}});
    }
    nlohmann::json body = {{"id", "plan"},
                           {"choices", {{{"index", 0},
                                         {"message", {{"role", "assistant"}, {"content", nlohmann::json{{"tasks", tasks}}.dump()}}},
                                         {"finish_reason", "stop"}}}}};
    return test::ScriptedResponse::json(body.dump());
}

void register_lookup(Agent& agent) {
    ToolSpec spec;
    spec.name = "lookup";
    spec.description = "looks something up";
    spec.executor = [](const nlohmann::json&) -> nlohmann::json { return {{"success", true}}; };
    agent.register_host_tool(spec);
}

// Arg 1: the tasks' model calls overlap; 0: they wait for one another.
void BM_PlannedTurnThreeSlowTasks(benchmark::State& state) {
    test::ScriptedServer server;
    reset_config(server.base_url() + "/v1", state.range(0) != 0);
    Agent agent;
    agent.start({});
    AgentChatOptions options;
    options.orchestration = OrchestrationMode::On;
    for (auto _ : state) {
        state.PauseTiming();
        server.enqueue(plan_answer());
        for (int i = 0; i < 3; ++i) server.enqueue(slow(test::answer_response({"found"})));
        server.enqueue(test::answer_response({"all found"}));
        agent.new_session();
        state.ResumeTiming();
        AgentResponse r = agent.chat("look up a, b and c", options, {});
        if (!r.success || r.content != "all found") state.SkipWithError("the planned turn failed");
    }
    agent.shutdown();
    state.counters["model_latency_ms"] = static_cast<double>(kModelLatency.count());
}

// The same three model calls in one ReAct loop: two tool rounds and the answer.
void BM_OrdinaryTurnThreeSlowRounds(benchmark::State& state) {
    test::ScriptedServer server;
    reset_config(server.base_url() + "/v1", true);
    Agent agent;
    agent.start({});
    register_lookup(agent);
    for (auto _ : state) {
        state.PauseTiming();
        server.enqueue(slow(test::tool_response({{"call-1", "lookup", R"({"what":"a"})"}})));
        server.enqueue(slow(test::tool_response({{"call-2", "lookup", R"({"what":"b"})"}})));
        server.enqueue(slow(test::answer_response({"all found"})));
        agent.new_session();
        state.ResumeTiming();
        AgentResponse r = agent.chat("look up a, b and c", {}, {});
        if (!r.success) state.SkipWithError(r.error.c_str());
    }
    agent.shutdown();
    state.counters["model_latency_ms"] = static_cast<double>(kModelLatency.count());
}

}  // namespace

BENCHMARK(BM_PlannedTurnThreeSlowTasks)->Arg(1)->Arg(0)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrdinaryTurnThreeSlowRounds)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
