// libFuzzer target for the streaming chat-completions session: an arbitrary
// body delivered through run() in pieces chosen by the input, checked against
// the same body delivered in one piece (the transport's chunking must never
// change the answer), plus the two direct chunk decoders on the body.
//
// Input layout: byte 0 = flags, then (flags & 15) cut positions of two bytes
// each, then the body.
//   flags bit 4: report segments through on_segment (else they fall back to
//                on_content)
//   flags bit 5: on_content throws on its third call
//   flags bit 6..7: HTTP outcome (0, 1: 200; 2: 503 with a body; 3: transport error)

#include "llm/sse_stream_session.hpp"

#include "fuzz_check.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using vexa::LLMState;
using vexa::StreamResult;

struct CallbackThrow : std::runtime_error {
    CallbackThrow() : std::runtime_error("callback failed") {}
};

struct Record {
    std::string content;  // on_content, concatenated
    std::string reasoning;
    std::vector<LLMState> states;
    std::size_t tool_reports = 0;
    std::size_t segments = 0;
    int content_calls = 0;
};

vexa::StreamCallbacks callbacks(Record& rec, bool with_segments, bool throwing) {
    vexa::StreamCallbacks cb;
    cb.on_content = [&rec, throwing](const std::string& text) {
        if (throwing && ++rec.content_calls == 3) throw CallbackThrow();
        rec.content += text;
    };
    cb.on_reasoning = [&rec](const std::string& text) { rec.reasoning += text; };
    cb.on_state = [&rec](LLMState s) { rec.states.push_back(s); };
    cb.on_tool_call = [&rec](const vexa::ToolCall& call) {
        FUZZ_CHECK(!(call.id.empty() && call.name.empty() && call.arguments.empty()));
        ++rec.tool_reports;
    };
    if (with_segments) {
        cb.on_segment = [&rec](vexa::SegmentAction, const std::string&, const std::string& raw) {
            FUZZ_CHECK(!raw.empty());
            ++rec.segments;
        };
    }
    return cb;
}

vexa::HttpResponse response_for(unsigned outcome) {
    vexa::HttpResponse r;
    switch (outcome) {
        case 2:
            r.status_code = 503;
            r.body = "busy";
            break;
        case 3: r.error = "connection reset"; break;
        default: r.status_code = 200; break;
    }
    return r;
}

struct Outcome {
    bool threw = false;
    StreamResult result;
    Record record;
};

Outcome run_pieces(vexa::OpenAISseStreamSession& session, const std::vector<std::string_view>& pieces,
                   unsigned flags) {
    Outcome out;
    const vexa::HttpResponse response = response_for(flags >> 6);
    const vexa::StreamCallbacks cb = callbacks(out.record, (flags & 0x10) != 0, (flags & 0x20) != 0);
    try {
        out.result = session.run(cb, [&](const vexa::HttpDataSink& sink) {
            for (std::string_view piece : pieces) {
                sink(std::string(piece));
                // The transport stops reading once the session says nothing can change.
                if (session.stopped()) break;
            }
            return response;
        });
    } catch (const CallbackThrow&) {
        out.threw = true;
    }
    return out;
}

void check_result(const Outcome& o) {
    if (o.threw) return;
    const StreamResult& r = o.result;
    FUZZ_CHECK(r.ok == r.error.empty());
    FUZZ_CHECK(r.message.role == vexa::MessageRole::assistant);
    for (const vexa::ToolCall& call : r.message.tool_calls) {
        FUZZ_CHECK(!(call.id.empty() && call.name.empty() && call.arguments.empty()));
        // Every named call can be answered by its tool message.
        if (!call.name.empty()) FUZZ_CHECK(!call.id.empty());
    }
    const std::vector<LLMState>& states = o.record.states;
    FUZZ_CHECK(!states.empty() && states.front() == LLMState::waiting);
    FUZZ_CHECK(states.back() == (r.ok ? LLMState::done : LLMState::error));
    for (std::size_t i = 1; i < states.size(); ++i) FUZZ_CHECK(states[i] != states[i - 1]);
    if (r.message.reasoning_content) FUZZ_CHECK(*r.message.reasoning_content == o.record.reasoning);
}

bool same_answer(const Outcome& a, const Outcome& b) {
    if (a.threw != b.threw) return false;
    if (a.threw) return true;
    const StreamResult& x = a.result;
    const StreamResult& y = b.result;
    if (x.ok != y.ok || x.error != y.error || x.message.content != y.message.content ||
        x.message.reasoning_content != y.message.reasoning_content ||
        x.message.tool_calls.size() != y.message.tool_calls.size() || x.finish_reason != y.finish_reason ||
        x.response_id != y.response_id || x.usage.prompt_tokens != y.usage.prompt_tokens ||
        x.usage.completion_tokens != y.usage.completion_tokens || x.usage.total_tokens != y.usage.total_tokens ||
        x.usage.cached_tokens != y.usage.cached_tokens) {
        return false;
    }
    for (std::size_t i = 0; i < x.message.tool_calls.size(); ++i) {
        const vexa::ToolCall& p = x.message.tool_calls[i];
        const vexa::ToolCall& q = y.message.tool_calls[i];
        // Ids made up for calls that came without one are random.
        if (p.name != q.name || p.arguments != q.arguments) return false;
    }
    return a.record.content == b.record.content && a.record.reasoning == b.record.reasoning &&
           a.record.states == b.record.states && a.record.tool_reports == b.record.tool_reports &&
           a.record.segments == b.record.segments;
}

void decode_directly(std::string_view body) {
    try {
        (void)vexa::parse_stream_chunk_text(body);
    } catch (const nlohmann::json::exception&) {
    }
    const nlohmann::json document = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (document.is_discarded()) return;
    for (const bool buffered : {false, true}) {
        try {
            (void)vexa::parse_completion_document(document, buffered);
        } catch (const nlohmann::json::exception&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned flags = data[0];
    const std::size_t cut_count = flags & 15;
    std::size_t at = 1;
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < cut_count && at + 1 < size; ++i, at += 2) {
        cuts.push_back(static_cast<std::size_t>(data[at]) << 8 | data[at + 1]);
    }
    at = std::min(at, size);
    const std::string_view body(reinterpret_cast<const char*>(data) + at, size - at);
    for (std::size_t& cut : cuts) cut = body.empty() ? 0 : cut % (body.size() + 1);
    std::sort(cuts.begin(), cuts.end());

    // Pieces may be empty: a transport can deliver zero-length reads.
    std::vector<std::string_view> pieces;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        pieces.push_back(body.substr(from, cut - from));
        from = cut;
    }
    pieces.push_back(body.substr(from));

    vexa::OpenAISseStreamSession session;
    const Outcome whole = run_pieces(session, {body}, flags);
    check_result(whole);

    // The split run reuses the session, as a backend does from turn to turn.
    const Outcome split = run_pieces(session, pieces, flags);
    check_result(split);
    FUZZ_CHECK(same_answer(whole, split));

    decode_directly(body);
    return 0;
}
