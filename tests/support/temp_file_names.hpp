#pragma once
// Names of the atomic writer's temporary files, and process ids known to be
// dead, for tests of the start-up clean-up.

#include "support/fs_util.hpp"
#include "support/platform.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vexa::test {

// ".<target>.tmp-<pid>-<random>", as write_file_atomic names them.
inline std::string temp_name(const std::string& target, std::uint64_t pid, const std::string& random = "0123456789ab") {
    return "." + target + ".tmp-" + std::to_string(pid) + "-" + random;
}

// A process id that names no running process: a child that has exited and
// been reaped (POSIX), or an id beyond the platform's range (Windows, where
// ids are 32-bit).
inline std::uint64_t dead_process_id() {
#ifndef _WIN32
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    if (child > 0) {
        int status = 0;
        ::waitpid(child, &status, 0);
        return static_cast<std::uint64_t>(child);
    }
#endif
    return 0x1'0000'0001ull;
}

// Names in `directory` that carry the temporary-file marker.
inline std::vector<std::string> temp_files_in(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = path_to_utf8(it->path().filename());
        if (name.find(".tmp-") != std::string::npos) names.push_back(name);
    }
    return names;
}

}  // namespace vexa::test
