#pragma once
// Repairs a byte string into valid UTF-8 (texts returned to hosts, JSON fallback).

#include <string>

namespace vexa {

std::string ensure_utf8(const std::string& bytes);

}  // namespace vexa
