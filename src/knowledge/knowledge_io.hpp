#pragma once
// File and JSON reading shared by the knowledge components: whole files read
// as bytes, JSON members read value-or-default (a missing member keeps the
// default, a member of another type is an error), whole files written through
// a temporary file.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace vexa::knowledge_io {

enum class FileRead { Missing, Read, Failed };

// Missing: `path` is not an existing regular file. Failed: it could not be read.
FileRead read_regular_file(const std::string& path, std::string& out);

// Serialises `value` with `indent` (try_dump_json) and replaces the file at
// `path` with it, as bytes. False when nothing could be serialised or written;
// the previous file then stays as it was.
bool write_json_file(const std::string& path, const nlohmann::json& value, int indent);

// `object` must be an object. A missing member leaves `out` alone and succeeds;
// a present member of another type fails.
bool read_string(const nlohmann::json& object, const char* key, std::string& out);
// Any JSON number, converted toward zero and held within int32.
bool read_int32(const nlohmann::json& object, const char* key, std::int32_t& out);
bool read_double(const nlohmann::json& object, const char* key, double& out);

}  // namespace vexa::knowledge_io
