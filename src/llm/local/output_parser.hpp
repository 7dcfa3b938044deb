#pragma once
// Recovers from the free text of a local model what a chat-completions server
// would have delivered as fields: reasoning (think tags), tool calls (fenced
// blocks, tool-call markup, the "call:" form, bare JSON) and the clean visible
// answer (tool-call blocks, chat-template markers, echoed tool results and
// half-written stop markers removed).
//
// Everything here is a pure function over UTF-8 byte strings: no state, no
// locale, safe on arbitrary bytes. Trimming strips space, \t, \n, \v, \f and \r;
// case folding is ASCII only. Each call runs in time roughly linear in its input,
// so the streaming path (which re-cleans the whole growing text for every
// generated piece) stays affordable.
//
// Typical use by the local backend, for every generated piece:
//     std::string reasoning;
//     std::string visible = split_tagged(raw, "think", &reasoning);
//     emit_suffix(reasoning, emitted_reasoning, callbacks.on_reasoning);
//     emit_suffix(clean_local_output(visible, stop, true, nullptr), emitted_content, callbacks.on_content);
// and once at the end with streaming = false and a tool-call output.

#include "conversation/chat_message.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

// Removes every "<tag>" ... "</tag>" block and returns the rest, trimmed. The
// trimmed, non-empty inner texts are appended to *reasoning (when given), joined
// to what it already holds by a blank line ("\n\n"). An unclosed "<tag>" hides
// everything after it: its text is neither visible nor reasoning yet.
std::string split_tagged(const std::string& text, const std::string& tag, std::string* reasoning);

// All tool calls written in the text, in this order: fenced "tool_call"/"json"
// blocks (read as JSON only), "<|tool_call>" ... "<tool_call|>" blocks,
// "<tool_call>" ... "</tool_call>" blocks (JSON or the "call:" form), and, only
// when none of these gave a call, the whole text as JSON when it starts with
// "{" or "[". Calls without an id get "local_tool_call_<n>", n counting within
// this one extraction.
std::vector<ToolCall> extract_tool_calls(const std::string& text);

// The text without its tool-call blocks: "tool_call" fences always, "json"
// fences only when they hold a call, markup blocks only when they hold a call;
// an unterminated tool-call fence or markup block (still being written) drops
// everything from its start. Trimmed.
std::string strip_tool_call_blocks(const std::string& text);

// The visible answer of a generation (think blocks already split off). Strips
// tool-call blocks, a partially written tool-call opener at the end (streaming
// only), an echoed tool result after a tool call, chat-template and channel
// markers, echo lines, and a partially written stop string at the end. The
// extracted tool calls go to *tool_calls when given (it is overwritten).
std::string clean_local_output(const std::string& text, const std::vector<std::string>& stop_strings, bool streaming,
                               std::vector<ToolCall>* tool_calls);

// Streams the growth of a re-computed text: when `full` extends `emitted`, the
// new tail is passed to `callback` and appended to `emitted`. When an earlier
// part of `full` changed (or the callback is empty) nothing is sent, and later
// growth is not sent either: deltas are never corrected after the fact.
void emit_suffix(const std::string& full, std::string& emitted,
                 const std::function<void(const std::string&)>& callback);

// ---------------------------------------------------------------------------
// Building blocks (used by the entry points; exposed for tests)
// ---------------------------------------------------------------------------

// JSON deeper than this is not read as a tool call: no model writes such calls,
// and serialising it back would recurse once per level.
inline constexpr int kMaxToolJsonDepth = 256;

// One tool call from a JSON object at position `position` (0-based) of its
// extraction: id = "id" (must be a string) or "local_tool_call_<position + 1>";
// name and arguments from "function": {"name", "arguments"}, or from top-level
// "name" with "arguments" or "parameters". A non-string arguments value is
// serialised compactly; when no name was found a string "name" inside it is
// moved out to become the name. Empty arguments become "{}". The name may come
// back empty (the caller drops such calls).
// Throws nlohmann::json::type_error when `object` is not an object or a member
// has the wrong type.
ToolCall json_to_tool_call(const nlohmann::json& object, std::size_t position);

// Reads `text` as JSON tool calls into `calls`: an array of call objects, an
// object with a "tool_calls" array, or one call object. Elements without a name
// are counted for the ids but not kept. False when the text is not JSON, holds
// no such shape, or a single object has no name; also false after a type error
// part-way (calls appended before it stay).
bool parse_json_tool_calls(const std::string& text, std::vector<ToolCall>& calls);

// A balanced JSON-looking span: [begin, end) from the first "{" or "[" at or
// after `from` to its matching closer, honouring strings and backslash escapes.
struct JsonSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
};
// nullopt when there is no opener, a closer does not match, or the text ends
// first.
std::optional<JsonSpan> find_balanced_json(const std::string& text, std::size_t from);

// The body of one markup block: JSON tool calls, or "call:" NAME ... JSON (the
// name may end with "(", ":" or "="; the JSON becomes the arguments). True when
// a call was appended.
bool parse_tool_block(const std::string& block, std::vector<ToolCall>& calls);

// Calls parse_tool_block on every `open` ... `close` block (an unclosed last
// block runs to the end of the text), appending to `calls`.
void scan_markup_pair(const std::string& text, const std::string& open, const std::string& close,
                      std::vector<ToolCall>& calls);

// Removes `open` ... `close` blocks whose body holds a tool call; other closed
// blocks stay; an unclosed `open` drops itself and everything after it.
std::string remove_markup_blocks(const std::string& text, const std::string& open, const std::string& close);

// Removes the longest tail of `text` that equals the beginning of one of the
// markers (a whole marker at the end counts).
std::string remove_partial_marker_suffix(const std::string& text, const std::vector<std::string>& markers);

// Keeps the text before "<|im_start|>tool" (or, when absent, before
// "Tool call id:"): a model that echoes the tool result it expects to see.
std::string cut_echoed_tool_result(const std::string& text);

// The last "<|im_start|>assistant" turn's body (up to "<|im_end|>"), or the text
// before the first "<|im_start|>", or the text itself.
std::string take_assistant_segment(const std::string& text);

// Removes "<|channel>" headers (up to "<channel|>" or the end of their line; an
// unfinished one cuts the text), then every "<channel|>", "<|message|>",
// "<|end|>", "<|return|>" and "<|im_end|>". Trimmed.
std::string remove_channel_markup(const std::string& text);

// Drops lines that echo a tool result header or ChatML markers ("Tool call
// id:", the tool-result warning, "<|im_end|>", "<|im_start|>..."). Trimmed.
std::string drop_echo_lines(const std::string& text);

}  // namespace vexa
