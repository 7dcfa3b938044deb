// libFuzzer target for the local output parser: every entry point on arbitrary
// bytes, a simulated stream, and cross-checks of the one-pass clean-up steps
// against their direct (slow) readings.

#include "llm/local/output_parser.hpp"
#include "llm/local/channel_markup_oracle.hpp"

#include "fuzz_check.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> kStops = {"<|im_end|>", "<|end|>", "<|return|>", "<end_of_turn>", "<start_of_turn>"};

std::string trim(const std::string& text) {
    const char* ws = " \t\n\v\f\r";
    const std::size_t b = text.find_first_not_of(ws);
    if (b == std::string::npos) return "";
    return text.substr(b, text.find_last_not_of(ws) - b + 1);
}

std::string slow_partial_suffix(const std::string& text, const std::vector<std::string>& markers) {
    std::size_t best = 0;
    for (const std::string& m : markers) {
        for (std::size_t i = 1; i <= std::min(text.size(), m.size()); ++i) {
            if (text.compare(text.size() - i, i, m, 0, i) == 0) best = std::max(best, i);
        }
    }
    return text.substr(0, text.size() - best);
}

void check_calls(const std::vector<vexa::ToolCall>& calls) {
    for (const vexa::ToolCall& call : calls) {
        FUZZ_CHECK(!call.name.empty());
        FUZZ_CHECK(!call.arguments.empty());
    }
}

void check_visible(const std::string& visible) {
    for (const char* marker : {"<|im_end|>", "<channel|>", "<|message|>", "<|end|>", "<|return|>"}) {
        FUZZ_CHECK(visible.find(marker) == std::string::npos);
    }
    FUZZ_CHECK(visible == trim(visible));
}

// The local backend's streaming loop over `text` cut into at most ~12 pieces.
void simulate_stream(const std::string& text) {
    const std::size_t piece = std::max<std::size_t>(1, text.size() / 12);
    std::string raw;
    std::string emitted_content;
    std::string emitted_reasoning;
    std::string sent_content;
    std::string sent_reasoning;
    const std::function<void(const std::string&)> on_content = [&](const std::string& d) { sent_content += d; };
    const std::function<void(const std::string&)> on_reasoning = [&](const std::string& d) { sent_reasoning += d; };
    for (std::size_t at = 0; at < text.size(); at += piece) {
        raw += text.substr(at, piece);
        std::string reasoning;
        const std::string visible = vexa::split_tagged(raw, "think", &reasoning);
        vexa::emit_suffix(reasoning, emitted_reasoning, on_reasoning);
        const std::string cleaned = vexa::clean_local_output(visible, kStops, true, nullptr);
        check_visible(cleaned);
        vexa::emit_suffix(cleaned, emitted_content, on_content);
        FUZZ_CHECK(sent_content == emitted_content);
        FUZZ_CHECK(sent_reasoning == emitted_reasoning);
    }
    std::string reasoning;
    const std::string visible = vexa::split_tagged(raw, "think", &reasoning);
    std::vector<vexa::ToolCall> calls;
    const std::string content = vexa::clean_local_output(visible, kStops, false, &calls);
    check_visible(content);
    check_calls(calls);
    vexa::emit_suffix(content, emitted_content, on_content);
    FUZZ_CHECK(sent_content == emitted_content);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::string reasoning;
    const std::string visible = vexa::split_tagged(text, "think", &reasoning);
    FUZZ_CHECK(visible == trim(visible));

    std::vector<vexa::ToolCall> calls = vexa::extract_tool_calls(text);
    check_calls(calls);
    (void)vexa::strip_tool_call_blocks(text);

    std::vector<vexa::ToolCall> out_calls;
    check_visible(vexa::clean_local_output(text, kStops, false, &out_calls));
    FUZZ_CHECK(out_calls.size() == calls.size());
    check_visible(vexa::clean_local_output(visible, kStops, true, nullptr));

    std::vector<vexa::ToolCall> block_calls;
    (void)vexa::parse_tool_block(text, block_calls);
    (void)vexa::parse_json_tool_calls(text, block_calls);
    check_calls(block_calls);

    const std::size_t from = size == 0 ? 0 : data[0] % (size + 1);
    if (const auto span = vexa::find_balanced_json(text, from)) {
        FUZZ_CHECK(span->begin >= from && span->begin < span->end && span->end <= size);
        FUZZ_CHECK(text[span->begin] == '{' || text[span->begin] == '[');
        FUZZ_CHECK(text[span->end - 1] == '}' || text[span->end - 1] == ']');
    }

    FUZZ_CHECK(vexa::remove_channel_markup(text) == vexa::test::naive_channel_markup(text));
    std::vector<std::string> markers = kStops;
    markers.push_back(text.substr(0, std::min<std::size_t>(size, 16)));
    FUZZ_CHECK(vexa::remove_partial_marker_suffix(text, markers) == slow_partial_suffix(text, markers));

    (void)vexa::cut_echoed_tool_result(text);
    (void)vexa::take_assistant_segment(text);
    check_visible(vexa::drop_echo_lines(vexa::remove_channel_markup(text)));

    simulate_stream(text);
    return 0;
}
