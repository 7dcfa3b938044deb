#pragma once
// File and JSON reading shared by the knowledge components: whole files read
// as bytes, JSON members read value-or-default (a missing member keeps the
// default, a member of another type is an error), whole files written through
// a temporary file.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace vexa::knowledge_io {

enum class FileRead { Missing, Read, Failed, TooLarge };

// Missing: `path` is not an existing regular file. Failed: it could not be
// read. TooLarge: it holds more than kMaxStartupFileBytes and was not read.
FileRead read_regular_file(const std::string& path, std::string& out);

// What loading one knowledge file found. A file that did not load completely
// must never be overwritten with the part that could be read.
struct LoadOutcome {
    enum class Kind {
        complete,     // everything read (or no file)
        damaged,      // read, but not all of it was usable: move it aside
        untouchable,  // too large or not readable: leave it, never write it
    };
    Kind kind = Kind::complete;
    std::string problem;  // why, for the warning ("not valid JSON", ...)

    bool complete() const { return kind == Kind::complete; }
    static LoadOutcome from_read(FileRead read);
};

// Settles an incomplete start-up load of `path`: a damaged file is moved
// aside ("<path>.unreadable-<time>") so the next save starts a new one; an
// untouchable one stays as it is. Returns the warning for the log and the
// host ("" for a complete load) and sets `may_write` to whether the owner
// may save over `path` later.
std::string settle_load(const std::string& path, const LoadOutcome& outcome, bool& may_write);

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
