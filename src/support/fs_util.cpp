#include "support/fs_util.hpp"

#include "api/ensure_utf8.hpp"
#include "support/local_time.hpp"
#include "support/log.hpp"
#include "support/platform.hpp"
#include "support/uuid.hpp"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <iterator>
#include <system_error>

namespace vexa {

namespace fs = std::filesystem;

fs::path path_from_utf8(std::string_view utf8) {
#ifdef _WIN32
    // Windows names are UTF-16: bytes that are not UTF-8 cannot be converted
    // (the conversion throws). Read them as the host's code page, or replace them.
    const std::string text = ensure_utf8(std::string(utf8));
#else
    // POSIX names are bytes: keep them exactly, whatever their encoding.
    const std::string_view text = utf8;
#endif
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string path_to_utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

namespace {

bool fail(std::string* error, std::string reason) {
    if (error) *error = std::move(reason);
    return false;
}

constexpr std::string_view kTempMarker = ".tmp-";
constexpr std::size_t kRandomLength = 12;
// A save takes well under a second; a file of the earlier naming this old has
// no writer left.
constexpr auto kUnownedTempAge = std::chrono::minutes(10);

fs::path temporary_sibling(const fs::path& target) {
    // Hidden, beside the target (same file system, so the rename is atomic),
    // with the writer's process id so a leftover of a killed process can be
    // recognised, and a random part so concurrent writers never share a file.
    std::string name = path_to_utf8(target.filename());
    if (name.size() > 128) name = "vexa-save";
    return target.parent_path() / path_from_utf8("." + name + std::string(kTempMarker) +
                                                 std::to_string(platform::current_process_id()) + "-" +
                                                 generate_uuid32().substr(0, kRandomLength));
}

bool is_random_part(std::string_view text) {
    if (text.size() != kRandomLength) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

enum class TempKind { none, unowned, owned };

struct TempName {
    TempKind kind = TempKind::none;
    std::uint64_t pid = 0;
};

// ".<name>.tmp-<pid>-<random>" is owned by <pid>; ".<name>.tmp-<random>" is
// the earlier naming without an owner. Anything else is not ours.
TempName parse_temp_name(std::string_view file_name) {
    TempName result;
    if (file_name.size() < 2 || file_name.front() != '.') return result;
    // The last marker: the target's own name may contain one.
    const std::size_t marker = file_name.rfind(kTempMarker);
    if (marker == std::string_view::npos || marker < 2) return result;
    const std::string_view tail = file_name.substr(marker + kTempMarker.size());
    if (is_random_part(tail)) {
        result.kind = TempKind::unowned;
        return result;
    }
    const std::size_t dash = tail.find('-');
    if (dash == std::string_view::npos || dash == 0 || !is_random_part(tail.substr(dash + 1))) return result;
    const std::string_view digits = tail.substr(0, dash);
    for (char c : digits) {
        if (c < '0' || c > '9') return result;
    }
    std::uint64_t pid = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (ec != std::errc() || end != digits.data() + digits.size()) return result;
    result.kind = TempKind::owned;
    result.pid = pid;
    return result;
}

bool is_stale(const fs::directory_entry& entry, const TempName& name) {
    if (name.kind == TempKind::owned) {
        // A temporary file of this process may belong to a save running on
        // another thread, however old it looks.
        if (name.pid == platform::current_process_id()) return false;
        return !platform::process_is_running(name.pid);
    }
    std::error_code ec;
    const auto written = entry.last_write_time(ec);
    if (ec) return false;
    return written < fs::file_time_type::clock::now() - kUnownedTempAge;
}

}  // namespace

std::size_t remove_stale_temp_files(const fs::path& directory) {
    std::size_t removed = 0;
    try {
        std::error_code ec;
        fs::directory_iterator it(directory, ec);
        const fs::directory_iterator end;
        for (; !ec && it != end; it.increment(ec)) {
            const fs::directory_entry& entry = *it;
            std::string file_name;
            try {
                file_name = path_to_utf8(entry.path().filename());
            } catch (...) {
                continue;  // a name without a UTF-8 form was not written by us
            }
            const TempName name = parse_temp_name(file_name);
            if (name.kind == TempKind::none) continue;
            std::error_code status_ec;
            // Only plain files: never follow a link or empty a directory.
            if (entry.symlink_status(status_ec).type() != fs::file_type::regular) continue;
            if (!is_stale(entry, name)) continue;
            std::error_code remove_ec;
            if (fs::remove(entry.path(), remove_ec)) ++removed;
        }
    } catch (...) {
        // Clean-up is best effort: whatever was not removed waits for the next start.
    }
    if (removed > 0) {
        try {
            log_line(LogLevel::INFO, "Removed " + std::to_string(removed) +
                                         " temporary file(s) left by interrupted saves in " +
                                         path_to_utf8(directory));
        } catch (...) {
        }
    }
    return removed;
}

bool write_file_atomic(const fs::path& requested, std::string_view data, bool text_mode, std::string* error) {
    return write_file_atomic(requested, std::span<const std::string_view>(&data, 1), text_mode, error);
}

bool read_entire_file(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool write_file_atomic(const fs::path& requested, std::span<const std::string_view> pieces, bool text_mode,
                       std::string* error) {
    std::error_code ec;
    fs::path target = requested;
    // Write through a symbolic link rather than replacing the link itself.
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        fs::path resolved = fs::weakly_canonical(target, ec);
        if (ec) return fail(error, "cannot resolve link " + path_to_utf8(target) + ": " + ec.message());
        target = resolved;
    }

    const fs::path parent = target.parent_path();
    if (!parent.empty()) {
        fs::create_directories(parent, ec);
        if (ec) return fail(error, "cannot create directory " + path_to_utf8(parent) + ": " + ec.message());
    }

    const fs::file_status existing = fs::status(target, ec);
    const bool exists = !ec && fs::exists(existing);
    if (exists) {
        // Renaming over a file only needs a writable directory; keep refusing
        // a target that could not be written in place (read-only file,
        // directory), exactly as an in-place write would have.
        std::ofstream probe(target, std::ios::out | std::ios::app | std::ios::binary);
        if (!probe.is_open()) return fail(error, "file is not writable: " + path_to_utf8(target));
    }

    const fs::path temp = temporary_sibling(target);
    auto discard = [&](std::string reason) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        return fail(error, std::move(reason));
    };

    {
        std::ios::openmode mode = std::ios::out | std::ios::trunc;
        if (!text_mode) mode |= std::ios::binary;
        std::ofstream out(temp, mode);
        if (!out.is_open()) return discard("cannot create " + path_to_utf8(temp));
        for (const std::string_view data : pieces) out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.flush();
        if (!out) return discard("write failed: " + path_to_utf8(temp));
        out.close();
        if (out.fail()) return discard("write failed: " + path_to_utf8(temp));
    }

    if (exists) {
        // Keeps a file holding credentials as private as it was.
        std::error_code ignored;
        fs::permissions(temp, existing.permissions(), fs::perm_options::replace, ignored);
    }
    if (!platform::flush_file_to_disk(temp)) return discard("cannot flush " + path_to_utf8(temp));

    fs::rename(temp, target, ec);
    if (ec) return discard("cannot replace " + path_to_utf8(target) + ": " + ec.message());
    return true;
}

std::string move_aside_unreadable(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return {};
    const std::string base =
        path_to_utf8(path) + ".unreadable-" + format_local_time(std::time(nullptr), "%Y%m%d-%H%M%S");
    for (int attempt = 1; attempt < 1000; ++attempt) {
        const std::string name = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        const fs::path candidate = path_from_utf8(name);
        if (fs::exists(fs::symlink_status(candidate, ec))) continue;
        fs::rename(path, candidate, ec);
        if (ec) return {};
        return name;
    }
    return {};
}

}  // namespace vexa
