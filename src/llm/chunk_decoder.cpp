#include "llm/chunk_decoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

namespace detail {

namespace {

using json = nlohmann::json;

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

// Equality with a literal: its constant length lets the compiler compare inline.
template <std::size_t N>
bool is(std::string_view k, const char (&literal)[N]) {
    return k.size() == N - 1 && std::memcmp(k.data(), literal, N - 1) == 0;
}

void assign_text(std::optional<std::string>& out, const std::string& text) {
    if (out) {
        *out = text;
    } else {
        out.emplace(text);
    }
}

}  // namespace

void ChunkDecoder::begin(ChatCompletionChunk& out, bool buffered) {
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
void ChunkDecoder::finish() {
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

const ChunkDecoder::json& ChunkDecoder::choice_error(std::size_t i) const {
    static const json none;
    return i < choice_errors_.size() ? choice_errors_[i] : none;
}

bool ChunkDecoder::key(string_t& k) {
    if (skip_depth_ > 0) return true;
    if (!capture_stack_.empty()) {
        capture_key_ = k;
        return true;
    }
    Level& top = stack_.back();
    top.key = classify(top.frame, k);
    return true;
}

ChunkDecoder::Key ChunkDecoder::classify(Frame frame, std::string_view k) {
    switch (frame) {
        case Frame::Root:
            if (is(k, "id")) return Key::Id;
            if (is(k, "object")) return Key::Object;
            if (is(k, "choices")) return Key::Choices;
            if (is(k, "usage")) return Key::Usage;
            if (is(k, "error")) return Key::Error;
            break;
        case Frame::Choice:
            if (is(k, "index")) return Key::Index;
            if (is(k, "delta")) return Key::Delta;
            if (is(k, "finish_reason")) return Key::FinishReason;
            if (is(k, "message")) return Key::Message;
            if (is(k, "usage")) return Key::Usage;
            if (is(k, "error")) return Key::Error;
            break;
        case Frame::Delta:
            if (is(k, "content")) return Key::Content;
            if (is(k, "role")) return Key::Role;
            if (is(k, "reasoning_content")) return Key::ReasoningContent;
            if (is(k, "reasoning")) return Key::Reasoning;
            if (is(k, "tool_calls")) return Key::ToolCalls;
            if (is(k, "x_qorbin_seg_id")) return Key::SegId;
            if (is(k, "x_qorbin_revoke")) return Key::Revoke;
            if (is(k, "x_qorbin_reset")) return Key::Reset;
            break;
        case Frame::ToolCall:
            if (is(k, "index")) return Key::Index;
            if (is(k, "id")) return Key::Id;
            if (is(k, "function")) return Key::Function;
            break;
        case Frame::Function:
            if (is(k, "name")) return Key::Name;
            if (is(k, "arguments")) return Key::Arguments;
            break;
        case Frame::Revoke:
            if (is(k, "seg_id")) return Key::SegId;
            if (is(k, "mode")) return Key::Mode;
            break;
        case Frame::Choices:
        case Frame::ToolCalls:
            break;
    }
    return Key::Other;
}

ChunkDecoder::Slot ChunkDecoder::slot() const {
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

ChunkDecoder::json::value_t ChunkDecoder::value_type(Kind kind) {
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

void ChunkDecoder::wrong_type(Kind actual, bool wants_number) {
    if (type_error_) return;
    type_error_ = true;
    type_error_actual_ = value_type(actual);
    type_error_wants_number_ = wants_number;
}

// The current value as an integer; false (with a deferred type error)
// when it is neither a number nor a boolean.
bool ChunkDecoder::integer_value(Kind kind, long long& out) {
    switch (kind) {
        case Kind::Boolean: out = bool_ ? 1 : 0; return true;
        case Kind::Integer: out = int_; return true;
        case Kind::Unsigned: out = saturate(uint_); return true;
        case Kind::Float: out = saturate(float_); return true;
        default: wrong_type(kind, true); return false;
    }
}

// A text member that must be a string when it is not null.
void ChunkDecoder::required_text(Kind kind, std::optional<std::string>& out) {
    if (kind == Kind::Null) return;
    if (kind != Kind::String) {
        wrong_type(kind, false);
        return;
    }
    assign_text(out, *string_);
}

void ChunkDecoder::new_choice() {
    out_->choices.emplace_back();
    choice_errors_.emplace_back();
    message_seen_ = false;
    alt_delta_seen_ = false;
}

void ChunkDecoder::new_tool_call() {
    delta_->tool_calls.emplace_back();
    delta_->tool_call_indices.push_back(0);
}

void ChunkDecoder::open_delta(ChoiceDelta& target) {
    delta_ = &target;
    clear_delta(target);
    reasoning_seen_ = false;
    stack_.push_back({Frame::Delta});
}

void ChunkDecoder::close_delta() {
    // Some servers name the reasoning text "reasoning".
    if ((!delta_->reasoning_content || delta_->reasoning_content->empty()) && reasoning_seen_ &&
        !reasoning_.empty()) {
        assign_text(delta_->reasoning_content, reasoning_);
    }
}

ChunkDecoder::json* ChunkDecoder::capture_target(Slot s) {
    switch (s) {
        case Slot::RootUsage: return &root_usage_;
        case Slot::RootError: return &root_error_;
        case Slot::ChoiceUsage: return &first_choice_usage_;
        case Slot::ChoiceError: return &choice_errors_.back();
        default: return nullptr;
    }
}

ChunkDecoder::json ChunkDecoder::scalar_json(Kind kind) const {
    switch (kind) {
        case Kind::Boolean: return json(bool_);
        case Kind::Integer: return json(int_);
        case Kind::Unsigned: return json(uint_);
        case Kind::Float: return json(float_);
        case Kind::String: return json(*string_);
        default: return json(nullptr);
    }
}

bool ChunkDecoder::scalar(Kind kind) {
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

bool ChunkDecoder::open(bool object) {
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

bool ChunkDecoder::close() {
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

// --- the reader for the common chunk shape
//
// It accepts only what it can decode exactly as the general parser would and
// gives up (returns false) on everything else: invalid JSON of any kind,
// numbers it would have to convert, nesting deeper than kMaxSkipDepth, a
// key that needs unescaping, and the members whose decoding is rarer and
// richer ("usage", "error", tool calls, segments, non-object choices).
namespace {

#if defined(__GNUC__)
#define VEXA_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define VEXA_ALWAYS_INLINE inline
#endif

constexpr int kMaxSkipDepth = 32;

// Bytes that stand for themselves inside a JSON string: printable ASCII
// other than the quote and the backslash.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x80; ++c) t[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return t;
}();

struct Cursor {
    const char* p;
    const char* end;

    bool at_end() const { return p == end; }
    unsigned char peek() const { return static_cast<unsigned char>(*p); }

    void skip_ws() {
        while (p != end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
    }
    // Skips whitespace, then consumes `c` if it comes next. Called for
    // every structural character, so the usual case (compact JSON) is kept
    // inline and the rest out of line.
    VEXA_ALWAYS_INLINE bool eat(char c) {
        if (p != end && *p == c) {
            ++p;
            return true;
        }
        return eat_after_ws(c);
    }
    bool eat_after_ws(char c) {
        skip_ws();
        if (p == end || *p != c) return false;
        ++p;
        return true;
    }

    // Advances over bytes that stand for themselves in a string.
    VEXA_ALWAYS_INLINE void skip_plain() {
        if constexpr (std::endian::native == std::endian::little) {
            // Eight bytes at a time: stop at the first quote, backslash,
            // control character or non-ASCII byte.
            constexpr std::uint64_t ones = 0x0101010101010101u;
            constexpr std::uint64_t highs = 0x8080808080808080u;
            while (end - p >= 8) {
                std::uint64_t v;
                std::memcpy(&v, p, 8);
                const std::uint64_t quote = v ^ (ones * '"');
                const std::uint64_t backslash = v ^ (ones * '\\');
                const std::uint64_t special = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) |
                                              ((v - ones * 0x20) & ~v) | v;
                if (const std::uint64_t found = special & highs) {
                    p += std::countr_zero(found) / 8;
                    return;
                }
                p += 8;
            }
        }
        while (p != end && kPlain[peek()]) ++p;
    }
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four hex digits after "\u"; -1 when they are not.
long read_hex4(Cursor& c) {
    if (c.end - c.p < 4) return -1;
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        const int d = hex_digit(c.p[i]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    c.p += 4;
    return v;
}

// One well-formed UTF-8 sequence (no overlong forms, no surrogates, nothing
// past U+10FFFF) starting at a byte >= 0x80; its length, or 0.
std::size_t utf8_sequence(const char* p, const char* end) {
    const auto b = [&](std::ptrdiff_t i) { return static_cast<unsigned char>(p[i]); };
    const auto cont = [&](std::ptrdiff_t i, unsigned lo = 0x80, unsigned hi = 0xBF) {
        return end - p > i && b(i) >= lo && b(i) <= hi;
    };
    const unsigned lead = b(0);
    if (lead >= 0xC2 && lead <= 0xDF) return cont(1) ? 2 : 0;
    if (lead == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
    if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) return cont(1) && cont(2) ? 3 : 0;
    if (lead == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
    if (lead == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
    if (lead >= 0xF1 && lead <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
    if (lead == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
    return 0;
}

void append_utf8(std::string* out, unsigned long cp) {
    if (!out) return;
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Advances over bytes that stand for themselves in a string: printable ASCII
// and well-formed UTF-8 sequences. False at ill-formed UTF-8.
bool skip_literal_run(Cursor& c) {
    for (;;) {
        c.skip_plain();
        if (c.at_end() || c.peek() < 0x80) return true;
        const std::size_t n = utf8_sequence(c.p, c.end);
        if (n == 0) return false;
        c.p += n;
    }
}

// The rest of a string after its opening quote, decoded into *out (or only
// checked when out is null). False for anything the JSON grammar rejects.
bool read_string(Cursor& c, std::string* out) {
    const char* run = c.p;
    if (!skip_literal_run(c)) return false;
    if (out) out->assign(run, static_cast<std::size_t>(c.p - run));
    for (;;) {
        if (c.at_end()) return false;
        if (*c.p == '"') {
            ++c.p;
            return true;
        }
        if (*c.p != '\\') return false;  // a control character
        ++c.p;
        if (c.at_end()) return false;
        const char e = *c.p++;
        char plain = 0;
        switch (e) {
            case '"': plain = '"'; break;
            case '\\': plain = '\\'; break;
            case '/': plain = '/'; break;
            case 'b': plain = '\b'; break;
            case 'f': plain = '\f'; break;
            case 'n': plain = '\n'; break;
            case 'r': plain = '\r'; break;
            case 't': plain = '\t'; break;
            case 'u': {
                long cp = read_hex4(c);
                if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    // A high surrogate counts only with the low one after it.
                    if (c.end - c.p < 2 || c.p[0] != '\\' || c.p[1] != 'u') return false;
                    c.p += 2;
                    const long low = read_hex4(c);
                    if (low < 0xDC00 || low > 0xDFFF) return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                append_utf8(out, static_cast<unsigned long>(cp));
                break;
            }
            default: return false;
        }
        if (out && plain) out->push_back(plain);
        run = c.p;
        if (!skip_literal_run(c)) return false;
        if (out) out->append(run, static_cast<std::size_t>(c.p - run));
    }
}

// A key after its opening quote, followed by its colon: only plain ASCII
// keys are read here (any other is rare and goes to the general parser).
bool read_key(Cursor& c, std::string_view& key) {
    const char* start = c.p;
    c.skip_plain();
    if (c.p == c.end || *c.p != '"') return false;
    key = std::string_view(start, static_cast<std::size_t>(c.p - start));
    ++c.p;
    return c.eat(':');
}

// A number in JSON's grammar. Only integers of up to 18 digits are taken as
// values; other numbers are accepted for skipping when they stay finite as
// doubles (no exponent, not too long), since the general parser rejects those
// that do not.
bool read_number(Cursor& c, long long* value) {
    const char* start = c.p;
    bool negative = false;
    if (*c.p == '-') {
        negative = true;
        ++c.p;
    }
    const char* digits = c.p;
    if (c.p == c.end || *c.p < '0' || *c.p > '9') return false;
    if (*c.p == '0') {
        ++c.p;
    } else {
        while (c.p != c.end && *c.p >= '0' && *c.p <= '9') ++c.p;
    }
    const std::ptrdiff_t int_digits = c.p - digits;
    bool integral = true;
    if (c.p != c.end && *c.p == '.') {
        integral = false;
        ++c.p;
        const char* frac = c.p;
        while (c.p != c.end && *c.p >= '0' && *c.p <= '9') ++c.p;
        if (c.p == frac) return false;
    }
    if (c.p != c.end && (*c.p == 'e' || *c.p == 'E')) return false;
    if (c.p != c.end && *c.p >= '0' && *c.p <= '9') return false;  // a leading zero
    if (c.p - start > 300) return false;
    if (value) {
        if (!integral || int_digits > 18) return false;
        long long v = 0;
        for (const char* d = digits; d != c.p; ++d) v = v * 10 + (*d - '0');
        *value = negative ? -v : v;
    }
    return true;
}

template <std::size_t N>
bool read_literal(Cursor& c, const char (&word)[N]) {
    if (c.end - c.p < static_cast<std::ptrdiff_t>(N - 1) || std::memcmp(c.p, word, N - 1) != 0) return false;
    c.p += N - 1;
    return true;
}

// Skips one value of any kind, checking it; nesting is tracked in a small
// fixed stack, deeper values are left to the general parser.
bool skip_value(Cursor& c) {
    char open[kMaxSkipDepth];
    int depth = 0;
    for (;;) {
        // A value is due.
        c.skip_ws();
        if (c.at_end()) return false;
        const char ch = *c.p;
        if (ch == '{' || ch == '[') {
            if (depth == kMaxSkipDepth) return false;
            open[depth++] = ch;
            ++c.p;
            if (c.eat(ch == '{' ? '}' : ']')) {
                --depth;
            } else if (ch == '{') {
                if (!c.eat('"') || !read_string(c, nullptr) || !c.eat(':')) return false;
                continue;
            } else {
                continue;
            }
        } else if (ch == '"') {
            ++c.p;
            if (!read_string(c, nullptr)) return false;
        } else if (ch == 't') {
            if (!read_literal(c, "true")) return false;
        } else if (ch == 'f') {
            if (!read_literal(c, "false")) return false;
        } else if (ch == 'n') {
            if (!read_literal(c, "null")) return false;
        } else if (ch == '-' || (ch >= '0' && ch <= '9')) {
            if (!read_number(c, nullptr)) return false;
        } else {
            return false;
        }
        // A value has ended: close containers or move to the next element.
        for (;;) {
            if (depth == 0) return true;
            const char closer = open[depth - 1] == '{' ? '}' : ']';
            if (c.eat(closer)) {
                --depth;
                continue;
            }
            if (!c.eat(',')) return false;
            if (open[depth - 1] == '{') {
                if (!c.eat('"') || !read_string(c, nullptr) || !c.eat(':')) return false;
            }
            break;
        }
    }
}

}  // namespace

bool ChunkDecoder::parse_common(std::string_view text) {
    if (buffered_) return false;
    Cursor c{text.data(), text.data() + text.size()};

    // Reads the members of an object whose '{' was just consumed, calling
    // member(key) with the cursor on each value; member returns false to give up.
    auto members = [&c](auto&& member) {
        if (c.eat('}')) return true;
        for (;;) {
            std::string_view key;
            if (!c.eat('"') || !read_key(c, key)) return false;
            c.skip_ws();
            if (c.at_end() || !member(key)) return false;
            if (c.eat(',')) continue;
            return c.eat('}');
        }
    };
    auto text_value = [&c](std::optional<std::string>& out, bool null_allowed) {
        if (c.peek() == '"') {
            ++c.p;
            if (!out) out.emplace();
            return read_string(c, &*out);
        }
        return null_allowed && read_literal(c, "null");
    };

    auto delta_member = [&](std::string_view key) {
        ChoiceDelta& d = *delta_;
        switch (classify(Frame::Delta, key)) {
            case Key::Content: return text_value(d.content, true);
            case Key::ReasoningContent: return text_value(d.reasoning_content, true);
            case Key::Role: return c.peek() == '"' && text_value(d.role, false);
            case Key::Reasoning:
                if (c.peek() != '"') return false;
                ++c.p;
                reasoning_seen_ = true;
                return read_string(c, &reasoning_);
            case Key::Other: return skip_value(c);
            default: return false;
        }
    };
    auto choice_member = [&](std::string_view key) {
        switch (classify(Frame::Choice, key)) {
            case Key::Index: {
                long long index = 0;
                if (!read_number(c, &index)) return false;
                choice().index = clamp_to_int(index);
                return true;
            }
            case Key::Delta:
                if (c.peek() != '{') return false;
                ++c.p;
                delta_ = &choice().delta;
                clear_delta(*delta_);
                reasoning_seen_ = false;
                if (!members(delta_member)) return false;
                close_delta();
                return true;
            case Key::FinishReason: return text_value(choice().finish_reason, true);
            case Key::Message: return skip_value(c);  // read only in whole answers
            case Key::Other: return skip_value(c);
            default: return false;
        }
    };
    auto root_member = [&](std::string_view key) {
        switch (classify(Frame::Root, key)) {
            case Key::Id:
                if (c.peek() != '"') return skip_value(c);
                ++c.p;
                return read_string(c, &out_->id);
            case Key::Object:
                if (c.peek() != '"') return skip_value(c);
                ++c.p;
                return read_string(c, &out_->object);
            case Key::Choices:
                if (c.peek() != '[') return skip_value(c);
                ++c.p;
                out_->choices.clear();  // a repeated member replaces the earlier one
                choice_errors_.clear();
                if (c.eat(']')) return true;
                for (;;) {
                    if (!c.eat('{')) return false;
                    new_choice();
                    if (!members(choice_member)) return false;
                    if (c.eat(',')) continue;
                    return c.eat(']');
                }
            case Key::Other: return skip_value(c);
            default: return false;
        }
    };

    if (!c.eat('{') || !members(root_member)) return false;
    c.skip_ws();
    return c.at_end();
}

void ChunkDecoder::parse(std::string_view text) {
    if (parse_common(text)) return;
    begin(*out_, buffered_);
    json::sax_parse(text.data(), text.data() + text.size(), this);
}

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

}  // namespace detail

using detail::ChunkDecoder;

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
    decoder.parse(text);
    decoder.finish();
    return out;
}

}  // namespace vexa
