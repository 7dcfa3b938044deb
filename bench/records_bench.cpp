// Appending one interaction record to a session that already holds 10, 1,000
// or 10,000 records: the recorder (cached record texts and running sums)
// against rewriting the file by serialising the whole file object each time.
// Counters: median_us (median time of one append, file write included),
// serialise_us (median time spent producing text, the part that must not grow
// with the session), bytes_per_append (what one append writes).
// Arguments: records already in the session, and 0 = a memory file system
// (/dev/shm when there is one), 1 = the temporary directory (a real disk:
// every write is synced). The recorder's clock passes the write interval at
// every append, so each append writes the file as the last one of a turn does.
//
// BM_LongToolSession: a whole session of 8 turns of 16 rounds, each round's
// tool returning 16 KB, through the recorder in the full or the compact
// form, with a clock that advances a given time per round. Counters:
// file_bytes (the record file at the end), bytes_written_per_turn,
// writes_per_turn, history_bytes (the conversation the requests carry at the
// end, about what the session file holds).

#include "config/json_util.hpp"
#include "conversation/interaction_recorder.hpp"
#include "support/fs_util.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace vexa;
using Clock = std::chrono::steady_clock;

constexpr const char* kSession = "bench-session";

// A record of a typical size (about 2.5 KB in the file): a system prompt, a
// short history, a tool call and its result.
InteractionRecord sample_record(std::int32_t turn, std::int32_t round) {
    InteractionRecord r;
    r.record_id = "0b5c3c3e-6a1f-4c55-9e57-" + std::to_string(100000000000 + turn * 100 + round);
    r.session_id = kSession;
    r.timestamp = "2024-05-01T10:00:00";
    r.user_turn_index = turn;
    r.round = round;
    r.model = "test-model";
    r.backend = "openai";
    r.request_id = "chatcmpl-0123456789abcdef";
    r.finish_reason = round == 1 ? "tool_calls" : "stop";
    r.system_prompt = std::string(600, 'p');
    ChatMessage system;
    system.role = MessageRole::system;
    system.content = r.system_prompt;
    ChatMessage user;
    user.content = "请帮我查一下明天上海的天气，然后提醒我带伞。";
    r.messages = {system, user};
    r.message.role = MessageRole::assistant;
    r.message.content = std::string(300, 'a');
    r.message.tool_calls = {{"call_1", "weather", R"({"city":"上海","day":"tomorrow"})"}};
    r.success = true;
    r.tool_executions = {{"call_1", "weather", R"({"city":"上海","day":"tomorrow"})",
                          R"({"success":true,"forecast":")" + std::string(400, 'f') + "\"}", "", true, 42,
                          1714550400123}};
    r.started_at_ms = 1714550400000 + turn * 1000 + round;
    r.total_ms = 850;
    r.first_token_ms = 120;
    r.round_usage.prompt_tokens = 900;
    r.round_usage.completion_tokens = 80;
    r.round_usage.total_tokens = 980;
    return r;
}

std::vector<InteractionRecord> session_of(std::int64_t count) {
    std::vector<InteractionRecord> records;
    records.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        records.push_back(sample_record(static_cast<std::int32_t>(i / 3 + 1), static_cast<std::int32_t>(i % 3 + 1)));
    }
    return records;
}

class BenchDir {
public:
    explicit BenchDir(bool on_disk) {
        std::error_code ec;
        const std::filesystem::path base = !on_disk && std::filesystem::is_directory("/dev/shm", ec)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        path_ = base / ("vexa_records_bench_" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(path_);
    }
    ~BenchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path file() const { return path_ / (std::string(kSession) + ".json"); }

private:
    std::filesystem::path path_;
};

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The recorder: the session's file is written once (as a reload would find
// it), then each iteration appends one record.
void BM_RecorderAppend(benchmark::State& state) {
    const std::int64_t existing = state.range(0);
    BenchDir dir(state.range(1) != 0);
    {
        const auto text = try_dump_json(record_file_json(kSession, session_of(existing)), 2);
        write_file_atomic(dir.file(), *text);
    }
    std::int64_t ticks = 0;
    InteractionRecorder recorder([&ticks] { return Clock::time_point{} + std::chrono::seconds(3 * ++ticks); });
    recorder.open(kSession, dir.path().string());
    recorder.begin_turn(static_cast<std::int32_t>(existing / 3 + 2), "next");
    std::vector<double> times;
    std::vector<double> serialise;
    std::int32_t round = 0;
    for (auto _ : state) {
        InteractionRecord record = sample_record(static_cast<std::int32_t>(existing / 3 + 2), ++round);
        const auto start = Clock::now();
        recorder.append(record);
        times.push_back(micros(Clock::now() - start));

        state.PauseTiming();
        const auto s0 = Clock::now();
        benchmark::DoNotOptimize(try_dump_json(record_to_json(record), 2));
        serialise.push_back(micros(Clock::now() - s0));
        state.ResumeTiming();
    }
    state.counters["median_us"] = median(times);
    state.counters["serialise_us"] = median(serialise);
    state.counters["bytes_per_append"] = static_cast<double>(std::filesystem::file_size(dir.file()));
}

// The whole file object serialised and written after every record.
void BM_WholeFileRewrite(benchmark::State& state) {
    const std::int64_t existing = state.range(0);
    BenchDir dir(state.range(1) != 0);
    std::vector<InteractionRecord> records = session_of(existing);
    std::vector<double> times;
    std::vector<double> serialise;
    std::size_t bytes = 0;
    std::int32_t round = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        records.push_back(sample_record(static_cast<std::int32_t>(existing / 3 + 2), ++round));
        const auto text = try_dump_json(record_file_json(kSession, records), 2);
        const auto written = Clock::now();
        write_file_atomic(dir.file(), *text);
        times.push_back(micros(Clock::now() - start));
        serialise.push_back(micros(written - start));
        bytes = text->size();
    }
    state.counters["median_us"] = median(times);
    state.counters["serialise_us"] = median(serialise);
    state.counters["bytes_per_append"] = static_cast<double>(bytes);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (const std::int64_t on_disk : {0, 1}) {
        for (const std::int64_t existing : {10, 1000, 10000}) b->Args({existing, on_disk});
    }
    // The medians come from the iterations' own timings; a fixed count keeps
    // the session's length close to the argument.
    b->Iterations(15)->Unit(benchmark::kMicrosecond);
}

constexpr int kSessionTurns = 8;
constexpr int kRoundsPerTurn = 16;
constexpr std::size_t kToolResultBytes = 16 * 1024;

std::string filler(std::size_t size, char seed) {
    std::string text;
    text.reserve(size);
    for (std::size_t i = 0; text.size() < size; ++i) text += static_cast<char>('a' + (seed + i * 7) % 26);
    return text;
}

nlohmann::json tool_schemas() {
    nlohmann::json tools = nlohmann::json::array();
    for (const char* name : {"read_file", "search", "run_command"}) {
        tools.push_back({{"type", "function"},
                         {"function",
                          {{"name", name},
                           {"description", filler(200, name[0])},
                           {"parameters",
                            {{"type", "object"}, {"properties", {{"path", {{"type", "string"}}}}}}}}}});
    }
    return tools;
}

// Rounds 1..15 of a turn call a tool that returns 16 KB; round 16 answers.
void BM_LongToolSession(benchmark::State& state) {
    const bool compact = state.range(0) != 0;
    const auto per_round = std::chrono::milliseconds(state.range(1));
    const nlohmann::json tools = tool_schemas();
    std::uintmax_t file_bytes = 0;
    double written = 0;
    double writes = 0;
    std::size_t history_bytes = 0;
    for (auto _ : state) {
        BenchDir dir(false);
        Clock::time_point now{};
        InteractionRecorder recorder([&now] { return now; });
        recorder.set_compact(compact);
        recorder.open(kSession, dir.path().string());
        ChatMessage system;
        system.role = MessageRole::system;
        system.content = filler(2000, 's');
        std::vector<ChatMessage> history = {system};
        const std::uint64_t bytes_at_start = recorder.bytes_written();
        const std::size_t writes_at_start = recorder.write_count();
        for (int turn = 1; turn <= kSessionTurns; ++turn) {
            recorder.begin_turn(turn, "turn " + std::to_string(turn));
            ChatMessage user;
            user.content = "Please look into part " + std::to_string(turn) + " of the report.";
            history.push_back(user);
            for (int round = 1; round <= kRoundsPerTurn; ++round) {
                now += per_round;
                InteractionRecord r = sample_record(turn, round);
                r.system_prompt = system.content;
                r.messages = history;
                r.tools = tools;
                r.tool_executions.clear();
                ChatMessage reply;
                reply.role = MessageRole::assistant;
                if (round < kRoundsPerTurn) {
                    const std::string id = "call_" + std::to_string(turn) + "_" + std::to_string(round);
                    const std::string args = R"({"path":"part)" + std::to_string(round) + R"(.txt"})";
                    reply.tool_calls = {{id, "read_file", args}};
                    ChatMessage result;
                    result.role = MessageRole::tool;
                    result.tool_call_id = id;
                    result.content = filler(kToolResultBytes, static_cast<char>(round));
                    r.tool_executions = {{id, "read_file", args, result.content, "", true, 5, 0}};
                    r.message = reply;
                    history.push_back(reply);
                    history.push_back(std::move(result));
                } else {
                    reply.content = filler(600, 'z');
                    r.message = reply;
                    history.push_back(reply);
                }
                recorder.append(std::move(r));
            }
            recorder.flush();  // the end of the turn
        }
        recorder.close();
        file_bytes = std::filesystem::file_size(dir.file());
        written = static_cast<double>(recorder.bytes_written() - bytes_at_start);
        writes = static_cast<double>(recorder.write_count() - writes_at_start);
        history_bytes = 0;
        for (const auto& message : history) history_bytes += dump_json(message_to_json(message, false), -1).size();
    }
    state.counters["file_bytes"] = static_cast<double>(file_bytes);
    state.counters["bytes_written_per_turn"] = written / kSessionTurns;
    state.counters["writes_per_turn"] = writes / kSessionTurns;
    state.counters["history_bytes"] = static_cast<double>(history_bytes);
}

}  // namespace

BENCHMARK(BM_LongToolSession)
    ->ArgNames({"compact", "ms_per_round"})
    ->Args({0, 2000})
    ->Args({0, 500})
    ->Args({1, 2000})
    ->Args({1, 500})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecorderAppend)->Apply(sizes);
BENCHMARK(BM_WholeFileRewrite)->Apply(sizes);
