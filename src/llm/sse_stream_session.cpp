#include "llm/sse_stream_session.hpp"

#include "config/json_util.hpp"
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

// Integers given as floating or unsigned numbers: truncated toward zero and
// saturated at the 64-bit range, never an undefined conversion.
long long saturate(double d) {
    if (d >= 9.0e18) return LLONG_MAX;
    if (d <= -9.0e18) return LLONG_MIN;
    return static_cast<long long>(d);
}
long long saturate(std::uint64_t u) {
    return u > static_cast<std::uint64_t>(LLONG_MAX) ? LLONG_MAX : static_cast<long long>(u);
}

int clamp_to_int(long long v) {
    return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

void clear_delta(ChoiceDelta& d) {
    d.role.reset();
    d.content.reset();
    d.reasoning_content.reset();
    d.tool_calls.clear();
    d.tool_call_indices.clear();
    d.x_qorbin_seg_id.reset();
    d.x_qorbin_revoke.reset();
    d.x_qorbin_reset = false;
}

void assign_text(std::optional<std::string>& out, const std::string& text) {
    if (out) {
        *out = text;
    } else {
        out.emplace(text);
    }
}

}  // namespace

namespace detail {

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
class ChunkDecoder {
public:
    using string_t = json::string_t;

    void begin(ChatCompletionChunk& out, bool buffered) {
        out_ = &out;
        buffered_ = buffered;
        out.id.clear();
        out.object.clear();
        out.choices.clear();
        out.usage = TokenUsage{};
        stack_.clear();
        skip_depth_ = 0;
        capture_stack_.clear();
        root_usage_ = nullptr;
        root_error_ = nullptr;
        first_choice_usage_ = nullptr;
        choice_errors_.clear();
        type_error_ = false;
    }

    // After a successful parse: raises a deferred type error, then reads usage.
    void finish() {
        if (type_error_) {
            const json wrong(type_error_actual_);
            if (type_error_wants_number_) {
                (void)wrong.get<int>();
            } else {
                (void)wrong.get<std::string>();
            }
        }
        if (root_usage_.is_object()) {
            out_->usage = parse_usage(root_usage_);
            out_->usage.estimated = false;
        }
        // Some servers report usage inside the first choice instead.
        if (!buffered_ && !has_usage(out_->usage) && first_choice_usage_.is_object()) {
            out_->usage = parse_usage(first_choice_usage_);
            out_->usage.estimated = false;
        }
    }

    const json& root_error() const { return root_error_; }
    const json& choice_error(std::size_t i) const {
        static const json none;
        return i < choice_errors_.size() ? choice_errors_[i] : none;
    }
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
    bool key(string_t& k) {
        if (skip_depth_ > 0) return true;
        if (!capture_stack_.empty()) {
            capture_key_ = k;
            return true;
        }
        Level& top = stack_.back();
        top.key = classify(top.frame, k);
        return true;
    }
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

    static Key classify(Frame frame, std::string_view k) {
        using namespace std::string_view_literals;
        switch (frame) {
            case Frame::Root:
                if (k == "id"sv) return Key::Id;
                if (k == "object"sv) return Key::Object;
                if (k == "choices"sv) return Key::Choices;
                if (k == "usage"sv) return Key::Usage;
                if (k == "error"sv) return Key::Error;
                break;
            case Frame::Choice:
                if (k == "index"sv) return Key::Index;
                if (k == "delta"sv) return Key::Delta;
                if (k == "finish_reason"sv) return Key::FinishReason;
                if (k == "message"sv) return Key::Message;
                if (k == "usage"sv) return Key::Usage;
                if (k == "error"sv) return Key::Error;
                break;
            case Frame::Delta:
                if (k == "content"sv) return Key::Content;
                if (k == "role"sv) return Key::Role;
                if (k == "reasoning_content"sv) return Key::ReasoningContent;
                if (k == "reasoning"sv) return Key::Reasoning;
                if (k == "tool_calls"sv) return Key::ToolCalls;
                if (k == "x_qorbin_seg_id"sv) return Key::SegId;
                if (k == "x_qorbin_revoke"sv) return Key::Revoke;
                if (k == "x_qorbin_reset"sv) return Key::Reset;
                break;
            case Frame::ToolCall:
                if (k == "index"sv) return Key::Index;
                if (k == "id"sv) return Key::Id;
                if (k == "function"sv) return Key::Function;
                break;
            case Frame::Function:
                if (k == "name"sv) return Key::Name;
                if (k == "arguments"sv) return Key::Arguments;
                break;
            case Frame::Revoke:
                if (k == "seg_id"sv) return Key::SegId;
                if (k == "mode"sv) return Key::Mode;
                break;
            case Frame::Choices:
            case Frame::ToolCalls:
                break;
        }
        return Key::Other;
    }

    Slot slot() const {
        if (stack_.empty()) return Slot::Top;
        const Level& top = stack_.back();
        switch (top.frame) {
            case Frame::Root:
                switch (top.key) {
                    case Key::Id: return Slot::Id;
                    case Key::Object: return Slot::Object;
                    case Key::Choices: return Slot::Choices;
                    case Key::Usage: return Slot::RootUsage;
                    case Key::Error: return Slot::RootError;
                    default: return Slot::Ignore;
                }
            case Frame::Choices: return Slot::ChoiceElement;
            case Frame::Choice:
                switch (top.key) {
                    case Key::Index: return Slot::ChoiceIndex;
                    case Key::FinishReason: return Slot::FinishReason;
                    // A buffered answer carries "message"; "delta" only stands in when there is none.
                    case Key::Delta: return buffered_ ? Slot::AltDelta : Slot::Delta;
                    case Key::Message: return buffered_ ? Slot::Delta : Slot::Ignore;
                    case Key::Usage: return !buffered_ && out_->choices.size() == 1 ? Slot::ChoiceUsage : Slot::Ignore;
                    case Key::Error: return Slot::ChoiceError;
                    default: return Slot::Ignore;
                }
            case Frame::Delta:
                switch (top.key) {
                    case Key::Role: return Slot::Role;
                    case Key::Content: return Slot::Content;
                    case Key::ReasoningContent: return Slot::ReasoningContent;
                    case Key::Reasoning: return Slot::Reasoning;
                    case Key::ToolCalls: return Slot::ToolCalls;
                    case Key::SegId: return buffered_ ? Slot::Ignore : Slot::SegId;
                    case Key::Revoke: return buffered_ ? Slot::Ignore : Slot::Revoke;
                    case Key::Reset: return buffered_ ? Slot::Ignore : Slot::Reset;
                    default: return Slot::Ignore;
                }
            case Frame::ToolCalls: return Slot::ToolCallElement;
            case Frame::ToolCall:
                switch (top.key) {
                    case Key::Index: return buffered_ ? Slot::Ignore : Slot::ToolIndex;
                    case Key::Id: return Slot::ToolId;
                    case Key::Function: return Slot::Function;
                    default: return Slot::Ignore;
                }
            case Frame::Function:
                switch (top.key) {
                    case Key::Name: return Slot::Name;
                    case Key::Arguments: return Slot::Arguments;
                    default: return Slot::Ignore;
                }
            case Frame::Revoke:
                switch (top.key) {
                    case Key::SegId: return Slot::RevokeSegId;
                    case Key::Mode: return Slot::RevokeMode;
                    default: return Slot::Ignore;
                }
        }
        return Slot::Ignore;
    }

    static json::value_t value_type(Kind kind) {
        switch (kind) {
            case Kind::Null: return json::value_t::null;
            case Kind::Boolean: return json::value_t::boolean;
            case Kind::Integer: return json::value_t::number_integer;
            case Kind::Unsigned: return json::value_t::number_unsigned;
            case Kind::Float: return json::value_t::number_float;
            case Kind::String: return json::value_t::string;
            case Kind::Binary: return json::value_t::binary;
            case Kind::Object: return json::value_t::object;
            case Kind::Array: return json::value_t::array;
        }
        return json::value_t::null;
    }

    void wrong_type(Kind actual, bool wants_number) {
        if (type_error_) return;
        type_error_ = true;
        type_error_actual_ = value_type(actual);
        type_error_wants_number_ = wants_number;
    }

    ChunkChoice& choice() { return out_->choices.back(); }
    ToolCall& tool_call() { return delta_->tool_calls.back(); }

    // The current value as an integer; false (with a deferred type error)
    // when it is neither a number nor a boolean.
    bool integer_value(Kind kind, long long& out) {
        switch (kind) {
            case Kind::Boolean: out = bool_ ? 1 : 0; return true;
            case Kind::Integer: out = int_; return true;
            case Kind::Unsigned: out = saturate(uint_); return true;
            case Kind::Float: out = saturate(float_); return true;
            default: wrong_type(kind, true); return false;
        }
    }

    // A text member that must be a string when it is not null.
    void required_text(Kind kind, std::optional<std::string>& out) {
        if (kind == Kind::Null) return;
        if (kind != Kind::String) {
            wrong_type(kind, false);
            return;
        }
        assign_text(out, *string_);
    }

    void new_choice() {
        out_->choices.emplace_back();
        choice_errors_.emplace_back();
        message_seen_ = false;
        alt_delta_seen_ = false;
    }

    void new_tool_call() {
        delta_->tool_calls.emplace_back();
        delta_->tool_call_indices.push_back(0);
    }

    void open_delta(ChoiceDelta& target) {
        delta_ = &target;
        clear_delta(target);
        reasoning_seen_ = false;
        stack_.push_back({Frame::Delta});
    }

    void close_delta() {
        // Some servers name the reasoning text "reasoning".
        if ((!delta_->reasoning_content || delta_->reasoning_content->empty()) && reasoning_seen_ &&
            !reasoning_.empty()) {
            assign_text(delta_->reasoning_content, reasoning_);
        }
    }

    json* capture_target(Slot s) {
        switch (s) {
            case Slot::RootUsage: return &root_usage_;
            case Slot::RootError: return &root_error_;
            case Slot::ChoiceUsage: return &first_choice_usage_;
            case Slot::ChoiceError: return &choice_errors_.back();
            default: return nullptr;
        }
    }

    json scalar_json(Kind kind) const {
        switch (kind) {
            case Kind::Boolean: return json(bool_);
            case Kind::Integer: return json(int_);
            case Kind::Unsigned: return json(uint_);
            case Kind::Float: return json(float_);
            case Kind::String: return json(*string_);
            default: return json(nullptr);
        }
    }

    bool scalar(Kind kind) {
        if (skip_depth_ > 0) return true;
        if (!capture_stack_.empty()) {
            json& top = *capture_stack_.back();
            if (top.is_object()) {
                top[capture_key_] = scalar_json(kind);
            } else {
                top.push_back(scalar_json(kind));
            }
            return true;
        }
        const bool is_string = kind == Kind::String;
        long long index = 0;
        const Slot s = slot();
        switch (s) {
            case Slot::Id:
                if (is_string) out_->id = *string_;
                break;
            case Slot::Object:
                if (is_string) out_->object = *string_;
                break;
            case Slot::ChoiceElement: new_choice(); break;
            case Slot::ChoiceIndex:
                if (integer_value(kind, index)) choice().index = clamp_to_int(index);
                break;
            case Slot::FinishReason: required_text(kind, choice().finish_reason); break;
            case Slot::Delta: message_seen_ = true; break;
            case Slot::Role:
                if (is_string) assign_text(delta_->role, *string_);
                break;
            case Slot::Content: required_text(kind, delta_->content); break;
            case Slot::ReasoningContent: required_text(kind, delta_->reasoning_content); break;
            case Slot::Reasoning:
                if (is_string) {
                    reasoning_ = *string_;
                    reasoning_seen_ = true;
                }
                break;
            case Slot::SegId:
                if (is_string && !string_->empty()) assign_text(delta_->x_qorbin_seg_id, *string_);
                break;
            case Slot::Reset:
                if (kind == Kind::Boolean) delta_->x_qorbin_reset = bool_;
                break;
            case Slot::RevokeSegId:
                if (is_string) revoke_.seg_id = *string_;
                break;
            case Slot::RevokeMode:
                if (is_string) revoke_.mode = *string_;
                break;
            case Slot::ToolCallElement: new_tool_call(); break;
            case Slot::ToolIndex:
                if (integer_value(kind, index)) {
                    delta_->tool_call_indices.back() =
                        (index < 0 || index > kMaxToolCallIndex) ? -1 : static_cast<int>(index);
                }
                break;
            case Slot::ToolId:
                if (is_string) tool_call().id = *string_;
                break;
            case Slot::Name:
                if (is_string) tool_call().name = *string_;
                break;
            case Slot::Arguments:
                if (is_string) tool_call().arguments = *string_;
                break;
            case Slot::RootUsage:
            case Slot::RootError:
            case Slot::ChoiceUsage:
            case Slot::ChoiceError: *capture_target(s) = scalar_json(kind); break;
            default: break;  // a scalar where a container was expected, or an unknown member
        }
        return true;
    }

    bool open(bool object) {
        if (skip_depth_ > 0) {
            ++skip_depth_;
            return true;
        }
        const Kind kind = object ? Kind::Object : Kind::Array;
        if (!capture_stack_.empty()) {
            json& top = *capture_stack_.back();
            json child = object ? json::object() : json::array();
            if (top.is_object()) {
                capture_stack_.push_back(&(top[capture_key_] = std::move(child)));
            } else {
                top.push_back(std::move(child));
                capture_stack_.push_back(&top.back());
            }
            return true;
        }
        const Slot s = slot();
        switch (s) {
            case Slot::Top:
                if (object) {
                    stack_.push_back({Frame::Root});
                    return true;
                }
                break;
            case Slot::Choices:
                if (!object) {
                    out_->choices.clear();  // a repeated member replaces the earlier one
                    choice_errors_.clear();
                    stack_.push_back({Frame::Choices});
                    return true;
                }
                break;
            case Slot::ChoiceElement:
                new_choice();
                if (object) {
                    stack_.push_back({Frame::Choice});
                    return true;
                }
                break;
            case Slot::ChoiceIndex:
            case Slot::ToolIndex: wrong_type(kind, true); break;
            case Slot::FinishReason:
            case Slot::Content:
            case Slot::ReasoningContent: wrong_type(kind, false); break;
            case Slot::Delta:
                message_seen_ = true;
                if (object) {
                    open_delta(choice().delta);
                    return true;
                }
                break;
            case Slot::AltDelta:
                if (object) {
                    alt_delta_seen_ = true;
                    open_delta(alt_delta_);
                    return true;
                }
                break;
            case Slot::Revoke:
                if (object) {
                    revoke_.seg_id.clear();
                    revoke_.mode.clear();
                    stack_.push_back({Frame::Revoke});
                    return true;
                }
                break;
            case Slot::ToolCalls:
                if (!object) {
                    delta_->tool_calls.clear();
                    delta_->tool_call_indices.clear();
                    stack_.push_back({Frame::ToolCalls});
                    return true;
                }
                break;
            case Slot::ToolCallElement:
                new_tool_call();
                if (object) {
                    stack_.push_back({Frame::ToolCall});
                    return true;
                }
                break;
            case Slot::Function:
                if (object) {
                    stack_.push_back({Frame::Function});
                    return true;
                }
                break;
            case Slot::RootUsage:
            case Slot::RootError:
            case Slot::ChoiceUsage:
            case Slot::ChoiceError: {
                json* target = capture_target(s);
                *target = object ? json::object() : json::array();
                capture_stack_.push_back(target);
                return true;
            }
            default: break;
        }
        skip_depth_ = 1;
        return true;
    }

    bool close() {
        if (skip_depth_ > 0) {
            --skip_depth_;
            return true;
        }
        if (!capture_stack_.empty()) {
            capture_stack_.pop_back();
            return true;
        }
        const Frame frame = stack_.back().frame;
        stack_.pop_back();
        switch (frame) {
            case Frame::Delta: close_delta(); break;
            case Frame::Revoke:
                if (!revoke_.seg_id.empty()) delta_->x_qorbin_revoke = revoke_;
                break;
            case Frame::Choice:
                if (buffered_ && !message_seen_ && alt_delta_seen_) std::swap(choice().delta, alt_delta_);
                break;
            default: break;
        }
        return true;
    }

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

}  // namespace detail

namespace {

using detail::ChunkDecoder;

// Feeds a document to the decoder as the parser would, without recursion;
// values the decoder skips are not walked.
void replay(const json& document, ChunkDecoder& decoder) {
    struct Position {
        const json* node;
        json::const_iterator next;
    };
    std::vector<Position> stack;
    std::string text;
    auto visit = [&](const json& v) {
        switch (v.type()) {
            case json::value_t::object:
            case json::value_t::array:
                if (v.is_object()) {
                    decoder.start_object(v.size());
                } else {
                    decoder.start_array(v.size());
                }
                if (decoder.skipping()) {
                    if (v.is_object()) {
                        decoder.end_object();
                    } else {
                        decoder.end_array();
                    }
                } else {
                    stack.push_back({&v, v.cbegin()});
                }
                break;
            case json::value_t::null: decoder.null(); break;
            case json::value_t::boolean: decoder.boolean(v.get<bool>()); break;
            case json::value_t::number_integer: decoder.number_integer(v.get<json::number_integer_t>()); break;
            case json::value_t::number_unsigned: decoder.number_unsigned(v.get<json::number_unsigned_t>()); break;
            case json::value_t::number_float: decoder.number_float(v.get<json::number_float_t>(), text); break;
            case json::value_t::string:
                text = v.get_ref<const std::string&>();
                decoder.string(text);
                break;
            case json::value_t::binary: {
                json::binary_t bytes = v.get_binary();
                decoder.binary(bytes);
                break;
            }
            case json::value_t::discarded: break;
        }
    };
    visit(document);
    while (!stack.empty()) {
        Position& top = stack.back();
        if (top.next == top.node->cend()) {
            if (top.node->is_object()) {
                decoder.end_object();
            } else {
                decoder.end_array();
            }
            stack.pop_back();
            continue;
        }
        const json& child = *top.next;
        if (top.node->is_object()) {
            text = top.next.key();
            decoder.key(text);
        }
        ++top.next;
        visit(child);  // may grow the stack: `top` is not used after this
    }
}

std::string stream_error(std::string_view message) {
    std::string text = "Stream error: ";
    text.append(message);
    return text;
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
    const json value = json::parse(payload.data(), payload.data() + payload.size(), nullptr, false);
    if (auto* inner = member(value, "error"); inner && inner->is_object()) return error_text(*inner, payload);
    return error_text(value, payload);
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

ChatCompletionChunk parse_completion_document(const nlohmann::json& document, bool buffered) {
    ChatCompletionChunk out;
    ChunkDecoder decoder;
    decoder.begin(out, buffered);
    replay(document, decoder);
    decoder.finish();
    return out;
}

ChatCompletionChunk parse_stream_chunk(const nlohmann::json& chunk) {
    return parse_completion_document(chunk, false);
}

ChatCompletionChunk parse_stream_chunk_text(std::string_view text) {
    ChatCompletionChunk out;
    ChunkDecoder decoder;
    decoder.begin(out, false);
    json::sax_parse(text.data(), text.data() + text.size(), &decoder);
    decoder.finish();
    return out;
}

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
            process_line(piece);
        } else {
            line_buffer_.append(piece);
            ScopeExit clear{[this] { line_buffer_.clear(); }};
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
    handle_event(event_name_.empty() ? std::string_view("message") : std::string_view(event_name_), event_data_);
}

void OpenAISseStreamSession::handle_event(std::string_view name, std::string_view data) {
    if (name == "error") {
        fail(error_text_from_payload(data));
        return;
    }
    if (name != "message" || data == "[DONE]") return;

    try {
        decoder_->begin(scratch_, false);
        json::sax_parse(data.data(), data.data() + data.size(), decoder_.get());
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

    if (std::any_of(d.tool_call_indices.begin(), d.tool_call_indices.end(), [](int i) { return i >= 0; })) {
        set_state(LLMState::tool_calling);
        merge_tool_calls(d);
    }

    if (choice.finish_reason) {
        const std::string& reason = *choice.finish_reason;
        if (!reason.empty()) finish_reason_ = reason;
        if (reason == "tool_calls") {
            report_tool_calls();
        } else if (reason == "error") {
            fail(choice_error.is_null() ? stream_error(raw) : error_text(choice_error, raw));
        }
    }
}

void OpenAISseStreamSession::merge_tool_calls(const ChoiceDelta& delta) {
    auto& calls = message_.tool_calls;
    auto append_call = [&]() -> int {
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
            position_claimed_[static_cast<std::size_t>(slot)] = 1;
        } else if (!piece.id.empty()) {
            // A different id under a reused index is another call, not more of this one.
            const ToolCall& current = calls[static_cast<std::size_t>(slot)];
            if (!current.id.empty() && !id_generated_[static_cast<std::size_t>(slot)] && current.id != piece.id) {
                slot = append_call();
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
