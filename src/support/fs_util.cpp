#include "support/fs_util.hpp"

#include "api/ensure_utf8.hpp"
#include "support/platform.hpp"
#include "support/uuid.hpp"

#include <fstream>
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

fs::path temporary_sibling(const fs::path& target) {
    // Hidden, beside the target (same file system, so the rename is atomic),
    // with a random part so concurrent writers never share a temporary file.
    std::string name = path_to_utf8(target.filename());
    if (name.size() > 128) name = "vexa-save";
    return target.parent_path() / path_from_utf8("." + name + ".tmp-" + generate_uuid32().substr(0, 12));
}

}  // namespace

bool write_file_atomic(const fs::path& requested, std::string_view data, bool text_mode, std::string* error) {
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
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
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

}  // namespace vexa
