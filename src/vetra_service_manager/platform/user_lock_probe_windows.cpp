// A shared lock on the locked byte, which cannot be had while the holder's exclusive one is held;
// had, it is released at once.
#include <windows.h>

#include <system_error>

#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/user_lock_os.hpp"
#include "vetra_service_manager/platform/user_lock_probe.hpp"

namespace vetra_service_manager::platform::user_lock {

std::optional<Holding> holding(const std::filesystem::path& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    OVERLAPPED where{};
    where.OffsetHigh = static_cast<DWORD>(WINDOWS_LOCKED_BYTE >> 32);
    const bool free = ::LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where);
    if (free) ::UnlockFileEx(file, 0, 1, 0, &where);
    ::CloseHandle(file);
    if (free) return std::nullopt;
    Holding held;
    if (const auto text = files::read_file(path)) held.holder = parse_holder(*text);
    std::error_code ignored;
    held.since = std::filesystem::last_write_time(path, ignored);
    return held;
}

}  // namespace vetra_service_manager::platform::user_lock
