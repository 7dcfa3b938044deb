#pragma once
// The one JSON serialiser of the library: raw UTF-8 output, and a repaired
// retry when a string holds invalid UTF-8.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace vexa {

// indent < 0 gives the compact one-line form.
std::optional<std::string> try_dump_json(const nlohmann::json& value, int indent);
// As try_dump_json, "{}" when nothing could be produced.
std::string dump_json(const nlohmann::json& value, int indent);

}  // namespace vexa
