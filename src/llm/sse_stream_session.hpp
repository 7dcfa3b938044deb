#pragma once
// Turns the server-sent-event body of a streaming chat-completions response
// into the assistant message of the turn, reporting text, reasoning, state,
// tool-call and segment progress to the caller while the body arrives.

#include "conversation/chat_message.hpp"
#include "llm/http_response.hpp"
#include "llm/llm_state.hpp"
#include "llm/stream_types.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexa {

struct SegmentRevoke {
    std::string seg_id;
    std::string mode;
};

// At most this many tool calls make up one answer, however the stream numbers
// them: an index outside 0..kMaxToolCallIndex, or more distinct calls than
// that (ids under reused indices), fails the stream with an error rather than
// dropping calls or letting one answer allocate without bound.
inline constexpr int kMaxToolCallIndex = 127;
inline constexpr std::size_t kMaxToolCalls = kMaxToolCallIndex + 1;

// The longest SSE line (and the longest event's data) accepted. Real events
// stay far below it (a whole file written through one tool call is a few
// megabytes); a line that passes it fails the stream instead of growing
// memory without limit.
inline constexpr std::size_t kMaxSseLineBytes = 16u * 1024 * 1024;

struct ChoiceDelta {
    std::optional<std::string> role;
    std::optional<std::string> content;
    std::optional<std::string> reasoning_content;
    std::vector<ToolCall> tool_calls;
    // The stream's "index" of each element of tool_calls (0 when it had none);
    // -1 marks an element whose index lies outside 0..kMaxToolCallIndex.
    std::vector<int> tool_call_indices;
    std::optional<std::string> x_qorbin_seg_id;
    std::optional<SegmentRevoke> x_qorbin_revoke;
    bool x_qorbin_reset = false;
};

struct ChunkChoice {
    int index = 0;
    ChoiceDelta delta;
    std::optional<std::string> finish_reason;
};

struct ChatCompletionChunk {
    std::string id;
    std::string object;
    std::vector<ChunkChoice> choices;
    TokenUsage usage;
};

// Decodes one streamed chunk. Members of an unexpected kind are skipped where
// they are optional; a wrong type where a string or number is required raises
// nlohmann::json::type_error.
ChatCompletionChunk parse_stream_chunk(const nlohmann::json& chunk);

// Decodes one chunk straight from its JSON text, as the session does for each
// event (no document is built). Raises nlohmann::json::parse_error for text
// that is not JSON, and the type errors of parse_stream_chunk.
ChatCompletionChunk parse_stream_chunk_text(std::string_view text);

// The same decoding for a whole chat-completions document. With buffered =
// true (a non-streamed answer) each choice's "message" member is read (its
// "delta" only when it has no "message"), without the streaming extensions
// (segments, tool-call indices, usage inside a choice).
ChatCompletionChunk parse_completion_document(const nlohmann::json& document, bool buffered);

namespace detail {
class ChunkDecoder;
}

// Performs the HTTP request, handing each body chunk to the sink.
using HttpPerformer = std::function<HttpResponse(const HttpDataSink&)>;

class OpenAISseStreamSession {
public:
    OpenAISseStreamSession();
    ~OpenAISseStreamSession();

    OpenAISseStreamSession(const OpenAISseStreamSession&) = delete;
    OpenAISseStreamSession& operator=(const OpenAISseStreamSession&) = delete;

    // Runs one streaming request. Stream errors (malformed events, error events
    // inside a 2xx body, a line past kMaxSseLineBytes, too many tool calls)
    // end it with ok false, and so does a 2xx body that is no complete answer:
    // one that is not an event stream (unless it is a whole chat-completions
    // document, which is taken as the answer), or a stream that ends with
    // neither "[DONE]" nor a finish reason. An exception thrown by a callback
    // stops the parsing and leaves run once the performer returns.
    StreamResult run(const StreamCallbacks& callbacks, const HttpPerformer& performer);

    // Parser input: the performer's data sink calls it with each body chunk.
    void feed(std::string_view chunk);

    // True once the body can no longer change the result (a stream error or a
    // failing callback); the transport may stop reading.
    bool stopped() const { return stopped_; }

private:
    struct Segment {
        std::size_t start = 0;
        std::size_t end = 0;
    };

    void reset();
    void process_line(std::string_view line);
    void dispatch();
    void handle_event(std::string_view name, std::string_view data);
    void handle_chunk(std::string_view raw);
    void handle_choice(ChunkChoice& choice, const nlohmann::json& choice_error, std::string_view raw);
    void merge_tool_calls(const ChoiceDelta& delta);
    void finalize_tool_calls();
    void report_tool_calls();
    void revoke_segment(const std::string& seg_id, const std::string& text);
    void emit_segment(SegmentAction action, const std::string& text, const nlohmann::json& raw);
    void set_state(LLMState state);
    void fail(std::string message);
    void finish_body(const HttpResponse& response);
    bool take_whole_document(const std::string& body);

    const StreamCallbacks* callbacks_;

    // SSE parser: the unterminated rest of the last chunk, and whether a CR
    // ended the last chunk (so an LF opening the next one belongs to it).
    std::string line_buffer_;
    bool skip_lf_ = false;
    std::string event_name_;
    std::string event_data_;

    // Per-run accumulation.
    ChatMessage message_{MessageRole::assistant, {}, {}, {}, {}, {}, {}};
    LLMState state_ = LLMState::waiting;
    TokenUsage usage_;
    std::string response_id_;
    std::string finish_reason_;
    std::map<std::string, Segment, std::less<>> segments_;

    // Stream tool-call index -> position in message_.tool_calls (-1: none yet).
    std::array<int, kMaxToolCallIndex + 1> call_of_index_{};
    std::vector<char> position_claimed_;
    std::vector<char> id_generated_;

    // How the body ended: events seen, "[DONE]", a finish reason. Until the
    // first event the body is also kept whole (bounded), in case the server
    // ignored "stream" and answered with one document.
    std::size_t events_ = 0;
    bool done_seen_ = false;
    bool finish_seen_ = false;
    std::string body_head_;
    bool body_head_complete_ = true;

    bool stopped_ = false;
    std::string stream_error_;
    std::exception_ptr callback_error_;

    // Reused for every event, so steady streaming allocates nothing of its own.
    std::unique_ptr<detail::ChunkDecoder> decoder_;
    ChatCompletionChunk scratch_;
};

}  // namespace vexa
