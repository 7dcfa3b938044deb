#include "support/platform.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <climits>

namespace vexa::platform {

namespace {

std::wstring utf8_to_wide(const std::string& text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int in_len = static_cast<int>(text.size());
    const int len = MultiByteToWideChar(CP_UTF8, 0, text.data(), in_len, nullptr, 0);
    if (len <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(len), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), in_len, wide.data(), len);
    return wide;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_drive_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

std::optional<std::filesystem::path> executable_path() {
    // MAX_PATH buffer: a path that does not fit is treated as unknown, the
    // caller then falls back to the current directory.
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::nullopt;
    return std::filesystem::path(std::wstring(buffer, length));
}

void debug_output(const std::string& utf8_line) {
    const std::wstring wide = utf8_to_wide(utf8_line);
    if (!wide.empty()) OutputDebugStringW(wide.c_str());
}

bool is_absolute_path(const std::string& utf8_path) {
    // "C:\x" and "C:/x" are absolute; "C:x" and "\x" are not.
    if (utf8_path.size() >= 3 && is_drive_letter(utf8_path[0]) && utf8_path[1] == ':' && is_separator(utf8_path[2])) {
        return true;
    }
    // Any other root name: a network share "\\server\share" or "\\?\".
    return utf8_path.size() >= 2 && is_separator(utf8_path[0]) && is_separator(utf8_path[1]);
}

bool flush_file_to_disk(const std::filesystem::path& file) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool ok = FlushFileBuffers(handle) != 0;
    CloseHandle(handle);
    return ok;
}

std::uint64_t current_process_id() { return GetCurrentProcessId(); }

bool process_is_running(std::uint64_t pid) {
    // Ids are 32-bit; 0 is the idle process, never a writer of ours.
    if (pid == 0 || pid > 0xFFFFFFFFull) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    // Access denied: it exists, under a protection level or another user.
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    // An exited process stays openable while handles to it remain; its exit
    // code then tells. A failed query is treated as running.
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) == 0 || code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

}  // namespace vexa::platform
