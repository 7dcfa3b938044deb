#include "support/platform.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace vexa::platform {

std::optional<std::filesystem::path> executable_path() {
    std::error_code ec;
    auto target = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || target.empty() || !target.is_absolute()) return std::nullopt;
    return target;
}

void debug_output(const std::string& /*utf8_line*/) {
    // No debugger channel on POSIX; standard error carries the log.
}

bool is_absolute_path(const std::string& utf8_path) { return !utf8_path.empty() && utf8_path.front() == '/'; }

bool flush_file_to_disk(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // EINVAL: the file system does not support syncing; nothing to wait for.
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return ok;
}

}  // namespace vexa::platform
