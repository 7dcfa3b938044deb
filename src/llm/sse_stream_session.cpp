#include "llm/sse_stream_session.hpp"

#include "llm/chunk_decoder.hpp"
#include "config/json_util.hpp"
#include "config/text_util.hpp"
#include "llm/http_client.hpp"
#include "support/utf8.hpp"
#include "support/uuid.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace vexa {

namespace {

using nlohmann::json;

const StreamCallbacks kNoCallbacks{};

// Buffers that once held an unusually long line are given back between runs.
constexpr std::size_t kKeepBufferCapacity = 1u << 20;

template <class F>
struct ScopeExit {
    F f;
    ~ScopeExit() { f(); }
};
template <class F>
ScopeExit(F) -> ScopeExit<F>;

// The member `key` of an object, or nullptr (also for non-objects).
const json* member(const json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// Messages may quote what the server sent (or the parser's view of it): only
// an excerpt goes into the error text.
std::string stream_error(std::string_view message) {
    return "Stream error: " + shorten_utf8(message, HttpClient::kErrorExcerptBytes);
}

// The server's message from an error value: its "message" member when there
// is one, else the raw text it came in.
std::string error_text(const json& error, std::string_view raw) {
    if (auto* m = member(error, "message"); m && m->is_string()) {
        return stream_error(m->get_ref<const std::string&>());
    }
    return stream_error(raw);
}

// An error carried by an "error" event or an "error:" field: JSON of the form
// {"error": {...}} or the error object itself, or plain text.
std::string error_text_from_payload(std::string_view payload) {
    const json value = parse_json_bounded(payload);
    if (auto* inner = member(value, "error"); inner && inner->is_object()) return error_text(*inner, payload);
    return error_text(value, payload);
}

std::string line_too_long_error() {
    return stream_error("an event line exceeded " + std::to_string(kMaxSseLineBytes / (1024 * 1024)) +
                        " MiB; the stream was stopped");
}

std::size_t shift_position(std::size_t value, long long delta) {
    if (delta < 0 && static_cast<unsigned long long>(-delta) > value) return 0;
    return static_cast<std::size_t>(static_cast<long long>(value) + delta);
}

bool is_placeholder(const ToolCall& call) {
    return call.id.empty() && call.name.empty() && call.arguments.empty();
}

std::string generated_call_id() {
    return "call_" + generate_uuid32().substr(0, 24);
}

}  // namespace

OpenAISseStreamSession::OpenAISseStreamSession()
    : callbacks_(&kNoCallbacks), decoder_(std::make_unique<detail::ChunkDecoder>()) {
    call_of_index_.fill(-1);
}

OpenAISseStreamSession::~OpenAISseStreamSession() = default;

void OpenAISseStreamSession::reset() {
    auto clear_buffer = [](std::string& s) {
        s.clear();
        if (s.capacity() > kKeepBufferCapacity) s.shrink_to_fit();
    };
    clear_buffer(line_buffer_);
    clear_buffer(event_data_);
    event_name_.clear();
    skip_lf_ = false;
    message_ = ChatMessage{MessageRole::assistant, {}, {}, {}, {}, {}, {}};
    state_ = LLMState::waiting;
    usage_ = TokenUsage{};
    response_id_.clear();
    finish_reason_.clear();
    segments_.clear();
    call_of_index_.fill(-1);
    position_claimed_.clear();
    id_generated_.clear();
    events_ = 0;
    done_seen_ = false;
    finish_seen_ = false;
    clear_buffer(body_head_);
    body_head_complete_ = true;
    stopped_ = false;
    stream_error_.clear();
    callback_error_ = nullptr;
}

StreamResult OpenAISseStreamSession::run(const StreamCallbacks& callbacks, const HttpPerformer& performer) {
    reset();
    callbacks_ = &callbacks;
    ScopeExit restore{[this] { callbacks_ = &kNoCallbacks; }};

    StreamResult result;
    if (callbacks.on_state) callbacks.on_state(LLMState::waiting);

    HttpResponse response;
    if (performer) {
        // The sink runs inside the transport's read loop: nothing may unwind
        // through it, so a failing callback is carried out and rethrown below.
        HttpDataSink sink = [this](const std::string& chunk) {
            if (stopped_) return;
            try {
                feed(chunk);
            } catch (...) {
                callback_error_ = std::current_exception();
                stopped_ = true;
            }
        };
        response = performer(sink);
    }
    if (callback_error_) {
        std::exception_ptr error = callback_error_;
        callback_error_ = nullptr;
        std::rethrow_exception(error);
    }
    finish_body(response);

    finalize_tool_calls();
    auto& calls = message_.tool_calls;
    calls.erase(std::remove_if(calls.begin(), calls.end(), is_placeholder), calls.end());
    result.message = std::move(message_);
    message_ = ChatMessage{MessageRole::assistant, {}, {}, {}, {}, {}, {}};

    const bool http_ok = response.error.empty() && response.status_code >= 200 && response.status_code <= 299;
    if (!stream_error_.empty() || !http_ok) {
        if (!stream_error_.empty()) {
            result.error = stream_error_;
        } else if (!response.error.empty()) {
            result.error = response.error;
        } else {
            result.error = "HTTP error: " + std::to_string(response.status_code);
            if (!response.body.empty()) result.error += " - " + response.body;
        }
        if (callbacks.on_state) callbacks.on_state(LLMState::error);
        return result;
    }
    if (callbacks.on_state) callbacks.on_state(LLMState::done);
    result.ok = true;
    result.usage = usage_;
    result.response_id = response_id_;
    result.finish_reason = finish_reason_;
    return result;
}

void OpenAISseStreamSession::feed(std::string_view chunk) {
    if (stopped_) return;
    if (events_ == 0 && body_head_complete_) {
        if (body_head_.size() + chunk.size() <= kMaxSseLineBytes) {
            body_head_.append(chunk);
        } else {
            body_head_complete_ = false;
            body_head_.clear();
        }
    }
    const char* p = chunk.data();
    const char* const end = p + chunk.size();
    if (skip_lf_ && p != end) {
        // A CR ended the previous chunk: an LF here completes that CR LF.
        skip_lf_ = false;
        if (*p == '\n') ++p;
    }
    while (p != end && !stopped_) {
        const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char* limit = lf ? lf : end;
        const auto* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(limit - p)));
        const char* terminator = cr ? cr : lf;
        if (!terminator) {
            if (line_buffer_.size() + static_cast<std::size_t>(end - p) > kMaxSseLineBytes) {
                line_buffer_.clear();
                fail(line_too_long_error());
                return;
            }
            line_buffer_.append(p, static_cast<std::size_t>(end - p));
            return;
        }
        const std::string_view piece(p, static_cast<std::size_t>(terminator - p));
        const char* next = terminator + 1;
        if (*terminator == '\r') {
            if (next == end) {
                skip_lf_ = true;
            } else if (*next == '\n') {
                ++next;
            }
        }
        p = next;
        if (line_buffer_.empty()) {
            if (piece.size() > kMaxSseLineBytes) {
                fail(line_too_long_error());
                return;
            }
            process_line(piece);
        } else {
            ScopeExit clear{[this] { line_buffer_.clear(); }};
            if (line_buffer_.size() + piece.size() > kMaxSseLineBytes) {
                fail(line_too_long_error());
                return;
            }
            line_buffer_.append(piece);
            process_line(line_buffer_);
        }
    }
}

void OpenAISseStreamSession::process_line(std::string_view line) {
    if (line.empty()) {
        dispatch();
        return;
    }
    if (line.front() == ':') return;  // comment
    const std::size_t colon = line.find(':');
    const std::string_view field = line.substr(0, colon);
    std::string_view value;
    if (colon != std::string_view::npos) {
        value = line.substr(colon + 1);
        if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    }
    if (field == "data") {
        if (event_data_.size() + value.size() + 1 > kMaxSseLineBytes) {
            fail(line_too_long_error());
            return;
        }
        if (!event_data_.empty()) event_data_.push_back('\n');
        event_data_.append(value);
    } else if (field == "event") {
        event_name_.assign(value);
    } else if (field == "error") {
        // Not part of SSE, but some servers report failures this way.
        fail(error_text_from_payload(value));
    }
}

void OpenAISseStreamSession::dispatch() {
    ScopeExit clear{[this] {
        event_name_.clear();
        event_data_.clear();
    }};
    if (event_data_.empty()) return;
    if (events_++ == 0) {
        // An event stream after all: the copy kept for a whole document goes.
        body_head_.clear();
        body_head_complete_ = false;
    }
    handle_event(event_name_.empty() ? std::string_view("message") : std::string_view(event_name_), event_data_);
}

void OpenAISseStreamSession::handle_event(std::string_view name, std::string_view data) {
    if (name == "error") {
        fail(error_text_from_payload(data));
        return;
    }
    if (name != "message") return;
    if (data == "[DONE]") {
        done_seen_ = true;
        return;
    }

    try {
        decoder_->begin(scratch_, false);
        decoder_->parse(data);
        if (!decoder_->root_error().is_null()) {
            fail(error_text(decoder_->root_error(), data));
            return;
        }
        decoder_->finish();
    } catch (const json::exception& e) {
        fail(stream_error(e.what()));
        return;
    }
    handle_chunk(data);
}

void OpenAISseStreamSession::handle_chunk(std::string_view raw) {
    ChatCompletionChunk& chunk = scratch_;
    if (response_id_.empty() && !chunk.id.empty()) response_id_ = chunk.id;
    if (has_usage(chunk.usage)) usage_ = chunk.usage;
    for (std::size_t i = 0; i < chunk.choices.size() && !stopped_; ++i) {
        handle_choice(chunk.choices[i], decoder_->choice_error(i), raw);
    }
}

void OpenAISseStreamSession::handle_choice(ChunkChoice& choice, const json& choice_error, std::string_view raw) {
    const StreamCallbacks& cb = *callbacks_;
    ChoiceDelta& d = choice.delta;

    if (d.reasoning_content && !d.reasoning_content->empty()) {
        set_state(LLMState::thinking);
        if (cb.on_reasoning) cb.on_reasoning(*d.reasoning_content);
        if (!message_.reasoning_content) message_.reasoning_content.emplace();
        message_.reasoning_content->append(*d.reasoning_content);
    }

    static const std::string kEmpty;
    if (d.x_qorbin_reset) {
        message_.content.clear();
        segments_.clear();
        if (cb.on_segment) {
            static const std::string kResetJson = dump_json(json{{"x_qorbin_reset", true}}, -1);
            cb.on_segment(SegmentAction::Reset, kEmpty, kResetJson);
        }
    } else if (d.x_qorbin_revoke) {
        const SegmentRevoke& revoke = *d.x_qorbin_revoke;
        std::string mode = revoke.mode;
        std::string text;
        if (mode == "replace") {
            if (d.content) text = *d.content;
            if (text.empty()) mode = "delete";
        } else {
            mode = "delete";
        }
        revoke_segment(revoke.seg_id, text);
        json inner = json::object();
        inner["seg_id"] = revoke.seg_id;
        inner["mode"] = mode;
        json raw_segment = json::object();
        raw_segment["x_qorbin_revoke"] = std::move(inner);
        emit_segment(SegmentAction::Revoke, text, raw_segment);
    } else if (d.x_qorbin_seg_id) {
        const std::string& seg_id = *d.x_qorbin_seg_id;
        const std::string& text = d.content ? *d.content : kEmpty;
        if (segments_.find(seg_id) != segments_.end()) revoke_segment(seg_id, kEmpty);
        const std::size_t start = message_.content.size();
        message_.content.append(text);
        segments_[seg_id] = Segment{start, message_.content.size()};
        if (!text.empty()) set_state(LLMState::generating);
        json raw_segment = json::object();
        raw_segment["x_qorbin_seg_id"] = seg_id;
        emit_segment(SegmentAction::Append, text, raw_segment);
    } else if (d.content && !d.content->empty()) {
        set_state(LLMState::generating);
        if (cb.on_content) cb.on_content(*d.content);
        message_.content.append(*d.content);
    }

    if (!d.tool_call_indices.empty()) {
        if (std::any_of(d.tool_call_indices.begin(), d.tool_call_indices.end(), [](int i) { return i < 0; })) {
            fail(stream_error("a tool-call index lies outside 0.." + std::to_string(kMaxToolCallIndex) + " (at most " +
                              std::to_string(kMaxToolCalls) + " tool calls per answer)"));
            return;
        }
        set_state(LLMState::tool_calling);
        merge_tool_calls(d);
        if (stopped_) return;
    }

    if (choice.finish_reason) {
        const std::string& reason = *choice.finish_reason;
        if (!reason.empty()) {
            finish_reason_ = reason;
            finish_seen_ = true;
        }
        if (reason == "tool_calls") {
            report_tool_calls();
        } else if (reason == "error") {
            fail(choice_error.is_null() ? stream_error(raw) : error_text(choice_error, raw));
        }
    }
}

void OpenAISseStreamSession::merge_tool_calls(const ChoiceDelta& delta) {
    auto& calls = message_.tool_calls;
    auto fail_too_many_calls = [this] {
        fail(stream_error("the answer holds more than " + std::to_string(kMaxToolCalls) + " tool calls"));
    };
    auto append_call = [&]() -> int {
        if (calls.size() >= kMaxToolCalls) return -1;
        calls.emplace_back();
        position_claimed_.push_back(0);
        id_generated_.push_back(0);
        return static_cast<int>(calls.size()) - 1;
    };
    for (std::size_t k = 0; k < delta.tool_calls.size(); ++k) {
        const int index = delta.tool_call_indices[k];
        if (index < 0) continue;
        const ToolCall& piece = delta.tool_calls[k];
        int& slot = call_of_index_[static_cast<std::size_t>(index)];
        if (slot < 0) {
            // First delta of this index: it takes the entry at its own position
            // (created empty when needed) unless another call already owns it.
            while (calls.size() <= static_cast<std::size_t>(index)) append_call();
            slot = position_claimed_[static_cast<std::size_t>(index)] ? append_call() : index;
            if (slot < 0) return fail_too_many_calls();
            position_claimed_[static_cast<std::size_t>(slot)] = 1;
        } else if (!piece.id.empty()) {
            // A different id under a reused index is another call, not more of this one.
            const ToolCall& current = calls[static_cast<std::size_t>(slot)];
            if (!current.id.empty() && !id_generated_[static_cast<std::size_t>(slot)] && current.id != piece.id) {
                slot = append_call();
                if (slot < 0) return fail_too_many_calls();
                position_claimed_[static_cast<std::size_t>(slot)] = 1;
            }
        }
        ToolCall& entry = calls[static_cast<std::size_t>(slot)];
        if (!piece.id.empty()) {
            entry.id = piece.id;
            id_generated_[static_cast<std::size_t>(slot)] = 0;
        }
        // Some servers repeat the whole name on later deltas.
        if (!piece.name.empty() && piece.name != entry.name) entry.name += piece.name;
        entry.arguments += piece.arguments;
    }
}

void OpenAISseStreamSession::finish_body(const HttpResponse& response) {
    const bool http_ok = response.error.empty() && response.status_code >= 200 && response.status_code <= 299;
    // An event still open at the end never completed and is dropped, as
    // event streams have it; what counts is whether the answer was finished.
    if (!http_ok || stopped_ || done_seen_ || finish_seen_) return;
    if (events_ == 0) {
        if (body_head_complete_ && take_whole_document(body_head_)) return;
        auto type = response.headers.find("Content-Type");
        const std::string content_type = type == response.headers.end() ? "none" : type->second;
        if (trim_space(body_head_).empty() && body_head_complete_) {
            fail(stream_error("the server ended the response without an answer (Content-Type: " + content_type + ")"));
        } else {
            fail(stream_error("the server did not answer with an event stream (Content-Type: " + content_type +
                              "): " + body_head_));
        }
        return;
    }
    fail(stream_error("the stream ended before the answer was complete (no finish reason and no [DONE])"));
}

// A server that ignores "stream" answers with one chat-completions document;
// that document is the answer. False when the body is no such document.
bool OpenAISseStreamSession::take_whole_document(const std::string& body) {
    const json document = parse_json_bounded(body);
    if (!document.is_object()) return false;
    if (auto* error = member(document, "error"); error && !error->is_null()) {
        fail(error_text(*error, body));
        return true;
    }
    auto* choices = member(document, "choices");
    if (!choices || !choices->is_array()) return false;
    ChatCompletionChunk decoded;
    try {
        decoded = parse_completion_document(document, true);
    } catch (const json::exception& e) {
        fail(stream_error(e.what()));
        return true;
    }
    if (decoded.choices.empty()) {
        fail(stream_error("the server's answer holds no choices"));
        return true;
    }
    const StreamCallbacks& cb = *callbacks_;
    ChunkChoice& choice = decoded.choices.front();
    ChoiceDelta& d = choice.delta;
    response_id_ = decoded.id;
    if (has_usage(decoded.usage)) usage_ = decoded.usage;
    if (d.reasoning_content && !d.reasoning_content->empty()) {
        set_state(LLMState::thinking);
        if (cb.on_reasoning) cb.on_reasoning(*d.reasoning_content);
        message_.reasoning_content = *d.reasoning_content;
    }
    if (d.content && !d.content->empty()) {
        set_state(LLMState::generating);
        if (cb.on_content) cb.on_content(*d.content);
        message_.content = *d.content;
    }
    auto& calls = d.tool_calls;
    calls.erase(std::remove_if(calls.begin(), calls.end(), is_placeholder), calls.end());
    if (calls.size() > kMaxToolCalls) {
        fail(stream_error("the answer holds more than " + std::to_string(kMaxToolCalls) + " tool calls"));
        return true;
    }
    if (message_.content.empty() && calls.empty()) {
        fail(stream_error("the server's answer holds no content"));
        return true;
    }
    if (choice.finish_reason) finish_reason_ = *choice.finish_reason;
    if (!calls.empty()) {
        set_state(LLMState::tool_calling);
        message_.tool_calls = std::move(calls);
        report_tool_calls();
    }
    finish_seen_ = true;
    return true;
}

void OpenAISseStreamSession::finalize_tool_calls() {
    auto& calls = message_.tool_calls;
    if (id_generated_.size() < calls.size()) id_generated_.resize(calls.size(), 0);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        // A call without an id could not be answered by its tool message.
        if (calls[i].id.empty() && !calls[i].name.empty()) {
            calls[i].id = generated_call_id();
            id_generated_[i] = 1;
        }
    }
}

void OpenAISseStreamSession::report_tool_calls() {
    finalize_tool_calls();
    const StreamCallbacks& cb = *callbacks_;
    if (!cb.on_tool_call) return;
    for (const ToolCall& call : message_.tool_calls) {
        if (!is_placeholder(call)) cb.on_tool_call(call);
    }
}

void OpenAISseStreamSession::revoke_segment(const std::string& seg_id, const std::string& text) {
    auto it = segments_.find(seg_id);
    if (it == segments_.end()) return;
    std::string& content = message_.content;
    const std::size_t end = std::min(it->second.end, content.size());
    const std::size_t start = std::min(it->second.start, end);
    content.replace(start, end - start, text);
    const long long delta = static_cast<long long>(text.size()) - static_cast<long long>(end - start);
    for (auto& [id, segment] : segments_) {
        if (&segment == &it->second || segment.start < end) continue;
        segment.start = shift_position(segment.start, delta);
        segment.end = shift_position(segment.end, delta);
    }
    segments_.erase(it);
}

void OpenAISseStreamSession::emit_segment(SegmentAction action, const std::string& text, const json& raw) {
    const StreamCallbacks& cb = *callbacks_;
    if (cb.on_segment) {
        cb.on_segment(action, text, dump_json(raw, -1));
    } else if (action == SegmentAction::Append && !text.empty() && cb.on_content) {
        cb.on_content(text);
    }
}

void OpenAISseStreamSession::set_state(LLMState state) {
    if (state == state_) return;
    state_ = state;
    if (callbacks_->on_state) callbacks_->on_state(state);
}

void OpenAISseStreamSession::fail(std::string message) {
    if (stream_error_.empty()) stream_error_ = std::move(message);
    stopped_ = true;
}

}  // namespace vexa
