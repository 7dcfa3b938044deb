#include "knowledge/knowledge_io.hpp"

#include "config/json_util.hpp"
#include "support/fs_util.hpp"
#include "support/log.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <system_error>

namespace vexa::knowledge_io {

namespace fs = std::filesystem;
using nlohmann::json;

FileRead read_regular_file(const std::string& path, std::string& out) {
    out.clear();
    if (path.empty()) return FileRead::Missing;
    std::error_code ec;
    const fs::path file = path_from_utf8(path);
    if (!fs::is_regular_file(file, ec)) return FileRead::Missing;
    const std::uintmax_t size = fs::file_size(file, ec);
    if (!ec && size > kMaxStartupFileBytes) return FileRead::TooLarge;
    std::ifstream in(file, std::ios::binary);
    if (!in) return FileRead::Failed;
    try {
        out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        out.clear();
        return FileRead::Failed;
    }
    if (in.bad()) {
        out.clear();
        return FileRead::Failed;
    }
    return FileRead::Read;
}

LoadOutcome LoadOutcome::from_read(FileRead read) {
    LoadOutcome outcome;
    if (read == FileRead::TooLarge) {
        outcome.kind = Kind::untouchable;
        outcome.problem = "it is larger than " + std::to_string(kMaxStartupFileBytes / (1024 * 1024)) + " MiB";
    } else if (read == FileRead::Failed) {
        outcome.kind = Kind::untouchable;
        outcome.problem = "it could not be read";
    }
    return outcome;
}

std::string settle_load(const std::string& path, const LoadOutcome& outcome, bool& may_write) {
    may_write = true;
    if (outcome.complete()) return std::string();
    std::string warning = path + " was not loaded completely (" + outcome.problem + "); ";
    if (outcome.kind == LoadOutcome::Kind::damaged) {
        const std::string moved = move_aside_unreadable(path_from_utf8(path));
        if (!moved.empty()) {
            warning += "it was moved to " + moved + " and a new file will be started.";
            log_line(LogLevel::WARNING, warning);
            return warning;
        }
    }
    may_write = false;
    warning += "it was left as it is and will not be written.";
    log_line(LogLevel::WARNING, warning);
    return warning;
}

bool write_json_file(const std::string& path, const json& value, int indent) {
    if (path.empty()) return false;
    const auto text = try_dump_json(value, indent);
    if (!text) return false;
    try {
        return write_file_atomic(path_from_utf8(path), *text, false);
    } catch (const std::exception&) {
        return false;
    }
}

bool read_string(const json& object, const char* key, std::string& out) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

bool read_int32(const json& object, const char* key, std::int32_t& out) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        out = v > static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int32_t>(v);
    } else if (it->is_number_integer()) {
        const auto v = it->get<std::int64_t>();
        out = v > kMax ? kMax : (v < kMin ? kMin : static_cast<std::int32_t>(v));
    } else if (it->is_number_float()) {
        const double v = it->get<double>();
        out = v >= static_cast<double>(kMax) ? kMax : (v <= static_cast<double>(kMin) ? kMin : static_cast<std::int32_t>(v));
    } else {
        return false;
    }
    return true;
}

bool read_double(const json& object, const char* key, double& out) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    if (!it->is_number()) return false;
    out = it->get<double>();
    return true;
}

}  // namespace vexa::knowledge_io
