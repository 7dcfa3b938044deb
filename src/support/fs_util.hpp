#pragma once
// File-system helpers: UTF-8 <-> path conversion and whole-file replacement
// that never leaves a half-written file behind.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace vexa {

// Paths are UTF-8 inside the library; the platform's native form (UTF-16 on
// Windows) appears only at the file-system call.
std::filesystem::path path_from_utf8(std::string_view utf8);
std::string path_to_utf8(const std::filesystem::path& path);

// Replaces `target` with `data`: writes a temporary file beside it, flushes it
// to disk and renames it into place, so readers and crashes see either the old
// or the new content, never a truncated file. Missing parent directories are
// created. An existing target that may not be opened for writing (read-only,
// a directory) fails the call and is left as it is; an existing target's
// permission bits carry over to the new file. `text_mode` writes line feeds
// the platform's text way (CR LF on Windows). On failure returns false and,
// if `error` is given, a short reason; no temporary file is left behind.
// The temporary file is named ".<name>.tmp-<pid>-<random>", so one left by a
// killed process can be told from one still being written.
bool write_file_atomic(const std::filesystem::path& target, std::string_view data, bool text_mode = false,
                       std::string* error = nullptr);
// The same with the content given as consecutive pieces, for writers that
// keep a large file's text in parts and should not join them first.
bool write_file_atomic(const std::filesystem::path& target, std::span<const std::string_view> pieces,
                       bool text_mode = false, std::string* error = nullptr);

// Reads a whole file as bytes; false when it cannot be opened or read.
bool read_entire_file(const std::filesystem::path& path, std::string& out);

// Start-up clean-up of what killed writers left behind: removes the
// temporary files of write_file_atomic directly in `directory` whose writing
// process no longer runs. Files of the current process are kept whatever
// their age (another thread may be saving). Files of the earlier naming
// without a process id (".<name>.tmp-<random>") go once they are ten
// minutes old. Other files, subdirectories and links are never touched.
// Returns how many files were removed; a missing directory or any error just
// removes fewer, it never throws.
std::size_t remove_stale_temp_files(const std::filesystem::path& directory);

// Moves a file the library could not read completely out of the way, so the
// next save starts a fresh one and the user's data is never overwritten:
// renames `path` to "<path>.unreadable-<YYYYmmdd-HHMMSS>" (local time; "-2",
// "-3", ... appended when that name is taken). Returns the new path, or an
// empty string when the file could not be moved (it is then left as it is,
// and callers must not write over it).
std::string move_aside_unreadable(const std::filesystem::path& path);

// Files read at start-up are refused above this size (they are kept as they
// are and reported): loading them would cost far more memory than their size.
inline constexpr std::uintmax_t kMaxStartupFileBytes = 16u * 1024u * 1024u;

}  // namespace vexa
