#pragma once
// The one JSON serialiser of the library: raw UTF-8 output, and a repaired
// retry when a string holds invalid UTF-8.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace vexa {

// The deepest nesting of arrays and objects accepted from outside the library
// (model output, server answers, files, host texts). Copying, comparing and
// serialising a JSON value recurse once per level, so a value nested tens of
// thousands deep would overflow a host thread's stack; nothing legitimate comes
// close to this bound.
inline constexpr int kMaxJsonDepth = 256;

// True when the bracket nesting of a JSON text (outside strings) stays within
// `limit`. Exact for valid JSON; linear, no recursion.
bool json_text_depth_within(std::string_view text, int limit = kMaxJsonDepth);

// Follows JSON strings (double quotes, backslash escapes) through a text fed
// one character at a time, so that a scanner can ignore the brackets inside
// them.
class JsonStringTracker {
public:
    // True when `c` belongs to a string, its quotes included.
    bool step(char c) {
        if (in_string_) {
            if (escaped_) {
                escaped_ = false;
            } else if (c == '\\') {
                escaped_ = true;
            } else if (c == '"') {
                in_string_ = false;
            }
            return true;
        }
        in_string_ = c == '"';
        return in_string_;
    }

private:
    bool in_string_ = false;
    bool escaped_ = false;
};

// True when a JSON value's nesting stays within `limit`. Iterative.
bool json_value_depth_within(const nlohmann::json& value, int limit = kMaxJsonDepth);

// Parses untrusted JSON text without exceptions: a syntax error or nesting
// deeper than kMaxJsonDepth gives a discarded value (is_discarded()).
nlohmann::json parse_json_bounded(std::string_view text);

// As parse_json_bounded, but a failure is described in `error` (the parser's
// message, or the depth limit) and the result is discarded.
nlohmann::json parse_json_bounded(std::string_view text, std::string& error);

// The text that describes refused nesting.
std::string json_depth_error();

// indent < 0 gives the compact one-line form. A value nested deeper than
// kMaxJsonDepth is not serialised (nullopt): that would recurse too deep.
std::optional<std::string> try_dump_json(const nlohmann::json& value, int indent);
// As try_dump_json, "{}" when nothing could be produced.
std::string dump_json(const nlohmann::json& value, int indent);

}  // namespace vexa
