#pragma once
// Decoding of chat-completions JSON (streamed chunks and whole answers) into
// ChatCompletionChunk, for the SSE session and the backend.

#include "llm/sse_stream_session.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexa::detail {

// Decodes chat-completions JSON straight from the parser's events into a
// reused ChatCompletionChunk instead of building a document first: once its
// buffers have grown it allocates nothing per event (short texts stay inline).
//
// Members are taken only when present and of the expected kind. Those that
// must have a kind (choice and tool-call "index": a number or boolean;
// "finish_reason", "content", "reasoning_content": a string or null) raise the
// library's own type error, deferred to finish() so that a parse error or an
// "error" member anywhere in the document is reported first. Unknown members
// are skipped unread; "usage" and "error" values are kept as small documents
// for the usage reader and the error text. Nothing here recurses, so nesting
// depth costs heap, never stack.
//
// parse() reads the common shape of a streamed chunk with a hand-written
// reader and hands anything else (and anything invalid) to the general
// parser, which then decodes the whole text again: both give the same result.
class ChunkDecoder {
public:
    using json = nlohmann::json;
    using string_t = json::string_t;

    void begin(ChatCompletionChunk& out, bool buffered);

    // Decodes one chunk's text, between begin() and finish(). Raises
    // json::parse_error (or out_of_range for numbers beyond double) for text
    // that is not JSON.
    void parse(std::string_view text);

    // The hand-written reader alone: true when it decoded the whole text,
    // false when the text needs the general parser (the output is then
    // partial and begin() must be called again).
    bool parse_common(std::string_view text);

    // After a successful parse: raises a deferred type error, then reads usage.
    void finish();

    const json& root_error() const { return root_error_; }
    const json& choice_error(std::size_t i) const;
    // True inside a value that is being skipped: its contents need not be fed.
    bool skipping() const { return skip_depth_ > 0; }

    // --- the parser's event interface

    bool null() { return scalar(Kind::Null); }
    bool boolean(bool v) {
        bool_ = v;
        return scalar(Kind::Boolean);
    }
    bool number_integer(json::number_integer_t v) {
        int_ = v;
        return scalar(Kind::Integer);
    }
    bool number_unsigned(json::number_unsigned_t v) {
        uint_ = v;
        return scalar(Kind::Unsigned);
    }
    bool number_float(json::number_float_t v, const string_t& /*text*/) {
        float_ = v;
        return scalar(Kind::Float);
    }
    bool string(string_t& v) {
        string_ = &v;
        return scalar(Kind::String);
    }
    bool binary(json::binary_t& /*v*/) { return scalar(Kind::Binary); }
    bool start_object(std::size_t /*size*/) { return open(true); }
    bool start_array(std::size_t /*size*/) { return open(false); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(string_t& k);
    template <class Exception>
    bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/, const Exception& error) {
        throw error;
    }

private:
    enum class Frame : std::uint8_t { Root, Choices, Choice, Delta, ToolCalls, ToolCall, Function, Revoke };
    enum class Key : std::uint8_t {
        Other, Id, Object, Choices, Usage, Error, Index, FinishReason, Delta, Message, Role, Content,
        ReasoningContent, Reasoning, SegId, Revoke, Reset, ToolCalls, Function, Name, Arguments, Mode,
    };
    enum class Kind : std::uint8_t { Null, Boolean, Integer, Unsigned, Float, String, Binary, Object, Array };
    // What the value at the current position is read as.
    enum class Slot : std::uint8_t {
        Ignore, Top, Id, Object, Choices, ChoiceElement, ChoiceIndex, FinishReason, Delta, AltDelta, Role,
        Content, ReasoningContent, Reasoning, SegId, Revoke, RevokeSegId, RevokeMode, Reset, ToolCalls,
        ToolCallElement, ToolIndex, ToolId, Function, Name, Arguments, RootUsage, RootError, ChoiceUsage,
        ChoiceError,
    };
    struct Level {
        Frame frame;
        Key key = Key::Other;
    };

    static Key classify(Frame frame, std::string_view k);
    Slot slot() const;
    static json::value_t value_type(Kind kind);
    void wrong_type(Kind actual, bool wants_number);
    ChunkChoice& choice() { return out_->choices.back(); }
    ToolCall& tool_call() { return delta_->tool_calls.back(); }
    bool integer_value(Kind kind, long long& out);
    void required_text(Kind kind, std::optional<std::string>& out);
    void new_choice();
    void new_tool_call();
    void open_delta(ChoiceDelta& target);
    void close_delta();
    json* capture_target(Slot s);
    json scalar_json(Kind kind) const;
    bool scalar(Kind kind);
    bool open(bool object);
    bool close();

    ChatCompletionChunk* out_ = nullptr;
    bool buffered_ = false;
    std::vector<Level> stack_;
    std::size_t skip_depth_ = 0;

    std::vector<json*> capture_stack_;
    std::string capture_key_;
    json root_usage_;
    json root_error_;
    json first_choice_usage_;
    std::vector<json> choice_errors_;

    ChoiceDelta* delta_ = nullptr;
    ChoiceDelta alt_delta_;
    bool message_seen_ = false;
    bool alt_delta_seen_ = false;
    std::string reasoning_;
    bool reasoning_seen_ = false;
    SegmentRevoke revoke_;

    bool type_error_ = false;
    bool type_error_wants_number_ = false;
    json::value_t type_error_actual_ = json::value_t::null;

    // The scalar being reported.
    bool bool_ = false;
    json::number_integer_t int_ = 0;
    json::number_unsigned_t uint_ = 0;
    json::number_float_t float_ = 0;
    string_t* string_ = nullptr;
};

// Feeds a document to the decoder as the parser would, without recursion;
// values the decoder skips are not walked.
void replay(const nlohmann::json& document, ChunkDecoder& decoder);

}  // namespace vexa::detail
