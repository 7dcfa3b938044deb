#pragma once
// One private directory per fuzzing process for targets that read files,
// removed at exit. On a memory file system when there is one: the targets
// write a file per input, and some writes are synced to disk.

#include "fuzz_check.hpp"

#include <filesystem>
#include <string>
#include <system_error>

#include <stdlib.h>

namespace fuzz {

class TempDir {
public:
    explicit TempDir(const char* prefix) {
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / (std::string(prefix) + ".XXXXXX")).string();
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace fuzz
