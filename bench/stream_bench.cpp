// Stream processing speed: typical content-delta events through the SSE
// session (in memory, and end to end over loopback through the backend), and
// how much memory a long stream costs beyond the text it accumulates.

#include "llm/openai_backend.hpp"
#include "llm/sse_stream_session.hpp"

#include "fixtures/scripted_server.hpp"

#include <benchmark/benchmark.h>

#if defined(__unix__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace vexa;

constexpr std::size_t kEvents = 100000;
constexpr std::size_t kPieceBytes = 8192;

// One event as a hosted server sends it: about 150 bytes, a short text delta.
std::string typical_event(std::size_t i) {
    static const char* const words[] = {" the", " model", " answers", " with", " a", " few", " tokens", " at",
                                        " once", ",", " then", " more", ".", " 数据", " and", " so"};
    return "data: {\"id\":\"chatcmpl-9xQ2\",\"object\":\"chat.completion.chunk\",\"created\":1718000000,"
           "\"model\":\"gpt-4o\",\"choices\":[{\"index\":0,\"delta\":{\"content\":\"" +
           std::string(words[i % 16]) + "\"},\"finish_reason\":null}]}\n\n";
}

const std::string& typical_body() {
    static const std::string body = [] {
        std::string s;
        for (std::size_t i = 0; i < kEvents; ++i) s += typical_event(i);
        s += "data: [DONE]\n\n";
        return s;
    }();
    return body;
}

std::vector<std::string> pieces_of(const std::string& body, std::size_t size) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < body.size(); at += size) out.push_back(body.substr(at, size));
    return out;
}

StreamCallbacks counting_callbacks(std::size_t& contents, std::size_t& bytes) {
    StreamCallbacks cb;
    cb.on_content = [&](const std::string& text) {
        ++contents;
        bytes += text.size();
    };
    cb.on_state = [](LLMState) {};
    return cb;
}

// Peak resident set of the process so far (getrusage), in MiB.
double peak_rss_mib() {
#if defined(__unix__)
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
#else
    return 0;
#endif
}

// Current resident set in MiB (Linux /proc; 0 where unavailable). Used to see
// growth during one run, which the process-wide peak would hide.
double current_rss_mib() {
#if defined(__linux__)
    std::ifstream statm("/proc/self/statm");
    long pages_total = 0, pages_resident = 0;
    if (statm >> pages_total >> pages_resident) {
        return static_cast<double>(pages_resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
    }
#endif
    return 0;
}

void BM_StreamSessionContentDeltas(benchmark::State& state) {
    const std::string& body = typical_body();
    const std::vector<std::string> pieces = pieces_of(body, kPieceBytes);
    OpenAISseStreamSession session;
    std::size_t contents = 0, text_bytes = 0;
    const StreamCallbacks callbacks = counting_callbacks(contents, text_bytes);
    const HttpPerformer performer = [&](const HttpDataSink& sink) {
        for (const std::string& piece : pieces) sink(piece);
        HttpResponse response;
        response.status_code = 200;
        return response;
    };
    for (auto _ : state) {
        StreamResult result = session.run(callbacks, performer);
        benchmark::DoNotOptimize(result);
        if (!result.ok) state.SkipWithError(result.error.c_str());
    }
    if (contents != kEvents * state.iterations()) state.SkipWithError("lost events");
    const auto runs = static_cast<double>(state.iterations());
    state.counters["events/s"] = benchmark::Counter(runs * kEvents, benchmark::Counter::kIsRate);
    state.counters["bytes/s"] =
        benchmark::Counter(runs * static_cast<double>(body.size()), benchmark::Counter::kIsRate,
                           benchmark::Counter::kIs1024);
    state.counters["event_bytes"] = static_cast<double>(body.size()) / kEvents;
}
BENCHMARK(BM_StreamSessionContentDeltas)->Unit(benchmark::kMillisecond);

// Ten times the events of the benchmark above, fed from one repeated block so
// that only the session holds memory: the resident set grows by about the
// accumulated text (the message), not by anything per event.
void BM_StreamSessionLongStreamMemory(benchmark::State& state) {
    constexpr std::size_t kBlockEvents = 1000;
    constexpr std::size_t kBlocks = 1000;
    std::string block;
    for (std::size_t i = 0; i < kBlockEvents; ++i) block += typical_event(i);
    const std::vector<std::string> pieces = pieces_of(block, kPieceBytes);
    OpenAISseStreamSession session;
    std::size_t contents = 0, text_bytes = 0;
    const StreamCallbacks callbacks = counting_callbacks(contents, text_bytes);
    double growth = 0;
    std::size_t message_bytes = 0;
    for (auto _ : state) {
        const double before = current_rss_mib();
        double highest = before;
        StreamResult result = session.run(callbacks, [&](const HttpDataSink& sink) {
            for (std::size_t b = 0; b < kBlocks; ++b) {
                for (const std::string& piece : pieces) sink(piece);
                if (b % 50 == 0) highest = std::max(highest, current_rss_mib());
            }
            HttpResponse response;
            response.status_code = 200;
            return response;
        });
        highest = std::max(highest, current_rss_mib());
        growth = highest - before;
        message_bytes = result.message.content.capacity();
        benchmark::DoNotOptimize(result);
    }
    const auto runs = static_cast<double>(state.iterations());
    state.counters["events/s"] = benchmark::Counter(runs * kBlockEvents * kBlocks, benchmark::Counter::kIsRate);
    state.counters["body_MiB"] = static_cast<double>(block.size() * kBlocks) / (1024.0 * 1024.0);
    state.counters["rss_growth_MiB"] = growth;
    state.counters["message_MiB"] = static_cast<double>(message_bytes) / (1024.0 * 1024.0);
}
BENCHMARK(BM_StreamSessionLongStreamMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

// The same 100,000 events served over loopback HTTP in 8 KiB chunks and read
// through the backend's streaming call.
void BM_StreamEndToEndLoopback(benchmark::State& state) {
    const std::string& body = typical_body();
    test::ScriptedServer server;
    test::ScriptedResponse response = test::ScriptedResponse::sse(body);
    response.chunks = test::split_chunks(body, kPieceBytes);
    server.set_fallback(response);

    LLMConfig config;
    config.base_url = server.base_url() + "/v1";
    config.model = "bench";
    OpenAICompatibleBackend backend;
    std::string error;
    backend.configure(config, error, nullptr);
    const std::vector<ChatMessage> messages = {ChatMessage{MessageRole::user, "hello", {}, {}, {}, {}, {}}};

    std::size_t contents = 0, text_bytes = 0;
    StreamCallbacks callbacks = counting_callbacks(contents, text_bytes);
    double highest = 0;
    callbacks.on_content = [&](const std::string&) {
        if (++contents % 10000 == 0) highest = std::max(highest, current_rss_mib());
    };
    // One call first, so the server's per-request copy of the body is already
    // counted and the growth below is the client's.
    backend.chat_completion_stream(messages, {}, callbacks);
    contents = 0;
    const double before = current_rss_mib();
    highest = before;
    for (auto _ : state) {
        StreamResult result = backend.chat_completion_stream(messages, {}, callbacks);
        if (!result.ok) state.SkipWithError(result.error.c_str());
        benchmark::DoNotOptimize(result);
    }
    const auto runs = static_cast<double>(state.iterations());
    state.counters["events/s"] = benchmark::Counter(runs * kEvents, benchmark::Counter::kIsRate);
    state.counters["bytes/s"] =
        benchmark::Counter(runs * static_cast<double>(body.size()), benchmark::Counter::kIsRate,
                           benchmark::Counter::kIs1024);
    state.counters["peak_rss_MiB"] = peak_rss_mib();  // whole process, including the server's copy of the body
    state.counters["rss_growth_MiB"] = highest - before;
}
BENCHMARK(BM_StreamEndToEndLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
