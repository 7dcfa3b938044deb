#include "llm/local/output_parser.hpp"

#include "config/json_util.hpp"
#include "config/text_util.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace vexa {

namespace {

using nlohmann::json;

constexpr std::string_view kFence = "```";
constexpr std::string_view kFenceLanguageToolCall = "tool_call";
constexpr std::string_view kFenceLanguageJson = "json";

const std::string kBarToolCallOpen = "<|tool_call>";
const std::string kBarToolCallClose = "<tool_call|>";
const std::string kToolCallOpen = "<tool_call>";
const std::string kToolCallClose = "</tool_call>";

constexpr std::string_view kImStart = "<|im_start|>";
constexpr std::string_view kImStartAssistant = "<|im_start|>assistant";
constexpr std::string_view kImStartTool = "<|im_start|>tool";
constexpr std::string_view kImEnd = "<|im_end|>";
constexpr std::string_view kChannelOpen = "<|channel>";
constexpr std::string_view kChannelClose = "<channel|>";
constexpr std::string_view kToolCallIdLine = "Tool call id:";
constexpr std::string_view kToolResultWarning = "IMPORTANT: The following is the actual tool result JSON.";

// Markers deleted wherever they remain after the channel headers are gone. Each
// starts with its only '<' and ends with its only '>', so no two can overlap and
// deleting them in any order leaves the same text.
constexpr std::array<std::string_view, 5> kLooseMarkers = {"<channel|>", "<|message|>", "<|end|>", "<|return|>",
                                                           "<|im_end|>"};

constexpr std::string_view kCallPrefix = "call:";
const std::string kGeneratedIdPrefix = "local_tool_call_";

std::string lower_trimmed(std::string_view text) { return ascii_lower(trim_space(text)); }

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool is_tool_fence_language(const std::string& language) {
    return language == kFenceLanguageToolCall || language == kFenceLanguageJson;
}

std::string generated_id(std::size_t number) { return kGeneratedIdPrefix + std::to_string(number); }

// Strict JSON parse without exceptions; too deeply nested input counts as not
// JSON (see kMaxToolJsonDepth).
bool parse_json_bounded(std::string_view text, json& out) {
    if (!json_text_depth_within(text, kMaxToolJsonDepth)) return false;
    out = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    return !out.is_discarded();
}

// text.find(needle, start) for a fixed text and needle, remembering the last
// answer so that a loop whose starts only move forward scans the text once.
class ForwardFinder {
public:
    ForwardFinder(std::string_view text, std::string_view needle) : text_(text), needle_(needle) {}

    std::size_t find(std::size_t start) {
        const bool reusable = searched_ && start >= start_ && (found_ == std::string_view::npos || found_ >= start);
        if (!reusable) {
            found_ = text_.find(needle_, start);
            start_ = start;
            searched_ = true;
        }
        return found_;
    }

private:
    std::string_view text_;
    std::string_view needle_;
    bool searched_ = false;
    std::size_t start_ = 0;
    std::size_t found_ = std::string_view::npos;
};

// Length of the longest tail of `text` that equals a prefix of `marker`
// (Knuth-Morris-Pratt over the last |marker| bytes, linear in the marker).
std::size_t partial_marker_length(std::string_view text, std::string_view marker) {
    const std::size_t m = marker.size();
    if (m == 0 || text.empty()) return 0;
    std::vector<std::size_t> failure(m, 0);
    for (std::size_t i = 1, k = 0; i < m; ++i) {
        while (k > 0 && marker[i] != marker[k]) k = failure[k - 1];
        if (marker[i] == marker[k]) ++k;
        failure[i] = k;
    }
    const std::string_view tail = text.size() > m ? text.substr(text.size() - m) : text;
    std::size_t state = 0;
    for (char c : tail) {
        // A whole match can only end on the last byte (the tail is at most m
        // long), but fall back anyway so the state never indexes past m.
        if (state == m) state = failure[m - 1];
        while (state > 0 && c != marker[state]) state = failure[state - 1];
        if (c == marker[state]) ++state;
    }
    return state;
}

// Deletes every loose marker, also ones that only form once another was
// deleted, in one pass: the output works as a stack that drops a marker as soon
// as its closing '>' lands.
std::string remove_loose_markers(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(c);
        if (c != '>') continue;
        for (std::string_view marker : kLooseMarkers) {
            if (out.size() >= marker.size() &&
                std::string_view(out).substr(out.size() - marker.size()) == marker) {
                out.resize(out.size() - marker.size());
                break;
            }
        }
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Think tags
// ---------------------------------------------------------------------------

std::string split_tagged(const std::string& text, const std::string& tag, std::string* reasoning) {
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    std::string visible;
    std::size_t pos = 0;
    while (true) {
        const std::size_t open_at = text.find(open, pos);
        if (open_at == std::string::npos) {
            visible.append(text, pos, std::string::npos);
            break;
        }
        visible.append(text, pos, open_at - pos);
        const std::size_t inner_begin = open_at + open.size();
        const std::size_t close_at = text.find(close, inner_begin);
        if (close_at == std::string::npos) break;  // unclosed: the rest is still being thought
        if (reasoning != nullptr) {
            const std::string_view inner =
                trim_space_view(std::string_view(text).substr(inner_begin, close_at - inner_begin));
            if (!inner.empty()) {
                if (!reasoning->empty()) reasoning->append("\n\n");
                reasoning->append(inner);
            }
        }
        pos = close_at + close.size();
    }
    return trim_space(visible);
}

// ---------------------------------------------------------------------------
// JSON tool calls
// ---------------------------------------------------------------------------

ToolCall json_to_tool_call(const json& object, std::size_t position) {
    const auto& members = object.get_ref<const json::object_t&>();  // type_error for non-objects
    ToolCall call;
    if (auto id = members.find("id"); id != members.end()) {
        call.id = id->second.get<std::string>();
    } else {
        call.id = generated_id(position + 1);
    }

    std::optional<json> kept;  // a non-string arguments value, serialised below
    auto take_arguments = [&](const json& value) {
        if (value.is_string()) {
            call.arguments = value.get<std::string>();
        } else {
            kept = value;
        }
    };

    const auto function = members.find("function");
    if (function != members.end() && function->second.is_object()) {
        const auto& f = function->second.get_ref<const json::object_t&>();
        if (auto name = f.find("name"); name != f.end()) call.name = name->second.get<std::string>();
        if (auto arguments = f.find("arguments"); arguments != f.end()) take_arguments(arguments->second);
    } else {
        if (auto name = members.find("name"); name != members.end()) call.name = name->second.get<std::string>();
        if (auto arguments = members.find("arguments"); arguments != members.end()) {
            take_arguments(arguments->second);
        } else if (auto parameters = members.find("parameters"); parameters != members.end()) {
            take_arguments(parameters->second);
        }
    }

    if (kept) {
        // Small models often put the tool name inside the arguments.
        if (call.name.empty() && kept->is_object()) {
            auto name = kept->find("name");
            if (name != kept->end() && name->is_string()) {
                call.name = name->get<std::string>();
                kept->erase(name);
            }
        }
        call.arguments = dump_json(*kept, -1);
    }
    if (call.arguments.empty()) call.arguments = "{}";
    return call;
}

bool parse_json_tool_calls(const std::string& text, std::vector<ToolCall>& calls) {
    json root;
    if (!parse_json_bounded(text, root)) return false;
    const std::size_t base = calls.size();
    auto append_array = [&](const json& array) {
        for (std::size_t k = 0; k < array.size(); ++k) {
            ToolCall call = json_to_tool_call(array[k], base + k);
            if (!call.name.empty()) calls.push_back(std::move(call));
        }
    };
    try {
        if (root.is_array()) {
            append_array(root);
            return true;
        }
        if (root.is_object()) {
            if (auto list = root.find("tool_calls"); list != root.end() && list->is_array()) {
                append_array(*list);
                return true;
            }
            ToolCall call = json_to_tool_call(root, base);
            if (call.name.empty()) return false;
            calls.push_back(std::move(call));
            return true;
        }
        return false;
    } catch (const json::exception&) {
        return false;
    }
}

std::optional<JsonSpan> find_balanced_json(const std::string& text, std::size_t from) {
    const std::size_t start = text.find_first_of("{[", from);
    if (start == std::string::npos) return std::nullopt;
    std::string expected;  // closers still owed, innermost last
    JsonStringTracker strings;
    for (std::size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (strings.step(c)) continue;
        switch (c) {
            case '{':
                expected.push_back('}');
                break;
            case '[':
                expected.push_back(']');
                break;
            case '}':
            case ']':
                if (expected.empty() || expected.back() != c) return std::nullopt;
                expected.pop_back();
                if (expected.empty()) return JsonSpan{start, i + 1};
                break;
            default:
                break;
        }
    }
    return std::nullopt;
}

bool parse_tool_block(const std::string& block, std::vector<ToolCall>& calls) {
    const std::string t = trim_space(block);
    if (t.empty()) return false;
    const std::size_t before = calls.size();
    if (parse_json_tool_calls(t, calls) && calls.size() > before) return true;

    if (t.size() < kCallPrefix.size() || ascii_lower(t.substr(0, kCallPrefix.size())) != kCallPrefix) return false;
    const std::optional<JsonSpan> span = find_balanced_json(t, kCallPrefix.size());
    if (!span) return false;
    // The name sits between "call:" and the JSON, e.g. "call: search(" or
    // "call:search=".
    std::string_view name =
        trim_space_view(std::string_view(t).substr(kCallPrefix.size(), span->begin - kCallPrefix.size()));
    while (!name.empty() && (name.back() == '(' || name.back() == ':' || name.back() == '=')) {
        name.remove_suffix(1);
        name = trim_space_view(name);
    }
    if (name.empty()) return false;
    json arguments;
    if (!parse_json_bounded(std::string_view(t).substr(span->begin, span->end - span->begin), arguments)) return false;
    calls.push_back(ToolCall{generated_id(calls.size() + 1), std::string(name), dump_json(arguments, -1)});
    return true;
}

// ---------------------------------------------------------------------------
// Markup blocks
// ---------------------------------------------------------------------------

void scan_markup_pair(const std::string& text, const std::string& open, const std::string& close,
                      std::vector<ToolCall>& calls) {
    if (open.empty() || close.empty()) return;
    std::size_t pos = 0;
    while (true) {
        const std::size_t open_at = text.find(open, pos);
        if (open_at == std::string::npos) return;
        const std::size_t body = open_at + open.size();
        const std::size_t close_at = text.find(close, body);
        if (close_at == std::string::npos) {
            parse_tool_block(text.substr(body), calls);
            return;
        }
        parse_tool_block(text.substr(body, close_at - body), calls);
        pos = close_at + close.size();
    }
}

std::string remove_markup_blocks(const std::string& text, const std::string& open, const std::string& close) {
    if (open.empty() || close.empty()) return text;
    std::string out;
    std::size_t pos = 0;
    while (true) {
        const std::size_t open_at = text.find(open, pos);
        if (open_at == std::string::npos) {
            out.append(text, pos, std::string::npos);
            return out;
        }
        out.append(text, pos, open_at - pos);
        const std::size_t body = open_at + open.size();
        const std::size_t close_at = text.find(close, body);
        if (close_at == std::string::npos) return out;  // a call still being written stays hidden
        const std::size_t after = close_at + close.size();
        std::vector<ToolCall> scratch;
        parse_tool_block(text.substr(body, close_at - body), scratch);
        if (scratch.empty()) out.append(text, open_at, after - open_at);
        pos = after;
    }
}

// ---------------------------------------------------------------------------
// Extraction and stripping
// ---------------------------------------------------------------------------

std::vector<ToolCall> extract_tool_calls(const std::string& text) {
    std::vector<ToolCall> calls;

    // Fenced blocks are read as JSON only.
    std::size_t pos = 0;
    while (true) {
        const std::size_t fence = text.find(kFence, pos);
        if (fence == std::string::npos) break;
        const std::size_t lf = text.find('\n', fence + kFence.size());
        if (lf == std::string::npos) break;
        const std::size_t after_fence = fence + kFence.size();
        const std::string language = lower_trimmed(std::string_view(text).substr(after_fence, lf - after_fence));
        const std::size_t closing = text.find(kFence, lf + 1);
        if (closing == std::string::npos) {
            if (is_tool_fence_language(language)) {
                parse_json_tool_calls(trim_space(std::string_view(text).substr(lf + 1)), calls);
            }
            break;
        }
        if (is_tool_fence_language(language)) {
            parse_json_tool_calls(trim_space(std::string_view(text).substr(lf + 1, closing - lf - 1)), calls);
        }
        pos = closing + kFence.size();
    }

    scan_markup_pair(text, kBarToolCallOpen, kBarToolCallClose, calls);
    scan_markup_pair(text, kToolCallOpen, kToolCallClose, calls);

    if (calls.empty()) {
        const std::string whole = trim_space(text);
        if (!whole.empty() && (whole.front() == '{' || whole.front() == '[')) parse_json_tool_calls(whole, calls);
    }
    return calls;
}

std::string strip_tool_call_blocks(const std::string& text) {
    std::string out;
    std::size_t pos = 0;
    while (true) {
        const std::size_t fence = text.find(kFence, pos);
        if (fence == std::string::npos) {
            out.append(text, pos, std::string::npos);
            break;
        }
        out.append(text, pos, fence - pos);
        const std::size_t after_fence = fence + kFence.size();
        const std::size_t lf = text.find('\n', after_fence);
        if (lf == std::string::npos) {
            // The language may still be being written: hide anything that could
            // become a tool-call fence.
            const std::string language = lower_trimmed(std::string_view(text).substr(after_fence));
            const bool could_be_tool_fence =
                starts_with(kFenceLanguageToolCall, language) || starts_with(kFenceLanguageJson, language);
            if (!could_be_tool_fence) out.append(text, fence, std::string::npos);
            break;
        }
        const std::string language = lower_trimmed(std::string_view(text).substr(after_fence, lf - after_fence));
        const std::size_t closing = text.find(kFence, lf + 1);
        if (closing == std::string::npos) {
            if (!is_tool_fence_language(language)) out.append(text, fence, std::string::npos);
            break;
        }
        const std::size_t after = closing + kFence.size();
        bool drop = false;
        if (language == kFenceLanguageToolCall) {
            drop = true;
        } else if (language == kFenceLanguageJson) {
            std::vector<ToolCall> scratch;
            parse_json_tool_calls(trim_space(std::string_view(text).substr(lf + 1, closing - lf - 1)), scratch);
            drop = !scratch.empty();
        }
        if (!drop) out.append(text, fence, after - fence);
        pos = after;
    }
    out = remove_markup_blocks(out, kBarToolCallOpen, kBarToolCallClose);
    out = remove_markup_blocks(out, kToolCallOpen, kToolCallClose);
    return trim_space(out);
}

// ---------------------------------------------------------------------------
// Clean-up steps
// ---------------------------------------------------------------------------

std::string remove_partial_marker_suffix(const std::string& text, const std::vector<std::string>& markers) {
    std::size_t longest = 0;
    for (const std::string& marker : markers) {
        const std::size_t n = partial_marker_length(text, marker);
        if (n > longest) longest = n;
    }
    return text.substr(0, text.size() - longest);
}

std::string cut_echoed_tool_result(const std::string& text) {
    std::size_t at = text.find(kImStartTool);
    if (at == std::string::npos) at = text.find(kToolCallIdLine);
    if (at == std::string::npos) return text;
    return text.substr(0, at);
}

std::string take_assistant_segment(const std::string& text) {
    const std::size_t assistant = text.rfind(kImStartAssistant);
    if (assistant != std::string::npos) {
        const std::size_t lf = text.find('\n', assistant);
        const std::size_t begin = lf == std::string::npos ? text.size() : lf + 1;
        const std::size_t end = text.find(kImEnd, begin);
        return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    }
    const std::size_t start = text.find(kImStart);
    if (start != std::string::npos) return text.substr(0, start);
    return text;
}

std::string remove_channel_markup(const std::string& text) {
    // Literally: while "<|channel>" occurs at p, delete p up to "<channel|>" or
    // through the end of the line (whichever comes first), or cut the text at p
    // when neither follows. Deleting can join two fragments into a new header,
    // so the search restarts at the beginning each time. Done here in one pass:
    // `out` holds the already cleared text before the cursor, so a new header
    // can only straddle its end or lie wholly after the cursor.
    const std::string_view source(text);
    ForwardFinder next_open(source, kChannelOpen);
    ForwardFinder next_close(source, kChannelClose);
    ForwardFinder next_lf(source, "\n");
    std::string out;
    out.reserve(text.size());
    std::size_t cursor = 0;
    while (true) {
        std::size_t header_in_out = std::string::npos;  // where the header starts in `out`
        std::size_t after_header = 0;                   // index in `text` just past the header
        for (std::size_t k = std::min(out.size(), kChannelOpen.size() - 1); k >= 1; --k) {
            const std::size_t rest = kChannelOpen.size() - k;
            if (std::string_view(out).substr(out.size() - k) == kChannelOpen.substr(0, k) &&
                source.substr(cursor).substr(0, rest) == kChannelOpen.substr(k)) {
                header_in_out = out.size() - k;
                after_header = cursor + rest;
                break;
            }
        }
        if (header_in_out == std::string::npos) {
            const std::size_t p = next_open.find(cursor);
            if (p == std::string::npos) {
                out.append(source.substr(cursor));
                break;
            }
            out.append(source.substr(cursor, p - cursor));
            header_in_out = out.size();
            after_header = p + kChannelOpen.size();
        }
        // Neither a '<' nor a LF can occur inside the header itself, so searching
        // past it finds what a search from its start would.
        const std::size_t e = next_close.find(after_header);
        const std::size_t h = next_lf.find(after_header);
        out.resize(header_in_out);
        if (e == std::string::npos && h == std::string::npos) break;
        cursor = (e != std::string::npos && (h == std::string::npos || e < h)) ? e : h + 1;
    }
    return trim_space(remove_loose_markers(out));
}

std::string drop_echo_lines(const std::string& text) {
    std::string out;
    const std::string_view source(text);
    std::size_t begin = 0;
    while (begin <= source.size()) {
        std::size_t end = source.find('\n', begin);
        if (end == std::string_view::npos) end = source.size();
        const std::string_view line = source.substr(begin, end - begin);
        const std::string_view t = trim_space_view(line);
        const bool echo = starts_with(t, kToolCallIdLine) || starts_with(t, kToolResultWarning) || t == kImEnd ||
                          starts_with(t, kImStart);
        if (!echo) {
            if (!out.empty()) out.push_back('\n');
            out.append(line);
        }
        begin = end + 1;
    }
    return trim_space(out);
}

std::string clean_local_output(const std::string& text, const std::vector<std::string>& stop_strings, bool streaming,
                               std::vector<ToolCall>* tool_calls) {
    std::vector<ToolCall> calls = extract_tool_calls(text);
    const bool has_calls = !calls.empty();
    if (tool_calls != nullptr) *tool_calls = std::move(calls);

    std::string visible = strip_tool_call_blocks(text);
    if (streaming) {
        // A tool-call opener still being written must not flash up as text.
        static const std::vector<std::string> kOpeners = {std::string(kFence) + "tool_call", std::string(kFence) + "json",
                                                          kBarToolCallOpen, kToolCallOpen};
        visible = remove_partial_marker_suffix(visible, kOpeners);
    }
    if (has_calls) visible = cut_echoed_tool_result(visible);
    visible = take_assistant_segment(visible);
    visible = remove_channel_markup(visible);
    visible = drop_echo_lines(visible);
    visible = trim_space(visible);
    visible = remove_partial_marker_suffix(visible, stop_strings);
    return trim_space(visible);
}

void emit_suffix(const std::string& full, std::string& emitted,
                 const std::function<void(const std::string&)>& callback) {
    if (!callback || full.size() <= emitted.size()) return;
    if (full.compare(0, emitted.size(), emitted) != 0) return;
    std::string delta = full.substr(emitted.size());
    if (delta.empty()) return;
    callback(delta);
    emitted.append(delta);
}

}  // namespace vexa
