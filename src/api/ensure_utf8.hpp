#pragma once
// Repairs a byte string into valid UTF-8 (texts returned to hosts, JSON fallback).

#include <string>

namespace vexa {

std::string ensure_utf8(const std::string& bytes);

// `text` as it is when it is valid UTF-8, else repaired by ensure_utf8. For
// texts that are already meant as UTF-8 (streamed model text, error texts),
// which must reach the host unchanged whenever they can.
std::string valid_utf8(const std::string& text);

}  // namespace vexa
