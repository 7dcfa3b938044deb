#pragma once
// The few operating-system services the support layer needs. One
// implementation per platform: platform_posix.cpp, platform_win32.cpp.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vexa::platform {

// Full path of the running process's executable (not of this library);
// nothing when it cannot be determined.
std::optional<std::filesystem::path> executable_path();

// Sends one line to the debugger's output channel; a no-op where the platform
// has none.
void debug_output(const std::string& utf8_line);

// Whether a configured path is absolute under this platform's rules.
bool is_absolute_path(const std::string& utf8_path);

// Pushes a written file's data to the storage device, so a rename that
// follows cannot expose an empty file after a crash. False on failure.
bool flush_file_to_disk(const std::filesystem::path& file);

// Id of the calling process, as the operating system numbers it.
std::uint64_t current_process_id();

// Whether a process with this id exists now. An id that does not name a
// process, or one outside the platform's range, is false; a process that
// exists but may not be inspected (another user's) counts as running, so a
// caller deciding what to delete errs on the side of keeping.
bool process_is_running(std::uint64_t pid);

}  // namespace vexa::platform
