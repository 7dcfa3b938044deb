#include "support/platform.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
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

std::uint64_t current_process_id() { return static_cast<std::uint64_t>(::getpid()); }

bool process_is_running(std::uint64_t pid) {
    // 0 and negative values address process groups, not one process.
    if (pid == 0 || pid > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) return false;
    // Signal 0 only checks: ESRCH means no such process; EPERM means it
    // exists under another user. A zombie still counts until it is reaped.
    if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
    return errno != ESRCH;
}

}  // namespace vexa::platform
