// LockFileEx. The lock covers one byte far beyond the end of the file, so that the process id at
// its start stays readable by those who wait. The file is shared for deletion, so a holder may
// remove it (uninstall removes the service directory): each attempt opens the path anew and
// checks, once locked, that the file is still the one there.
#include <windows.h>

#include <string>
#include <system_error>
#include <utility>

#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/user_lock_os.hpp"
#include "vetra_service_manager/platform/windows_ownership.hpp"

namespace vetra_service_manager::platform::user_lock {
namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

OVERLAPPED at(DWORD offset_high) {
    OVERLAPPED where{};
    where.OffsetHigh = offset_high;
    return where;
}
const DWORD LOCKED_BYTE_HIGH = static_cast<DWORD>(WINDOWS_LOCKED_BYTE >> 32);

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() { if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

private:
    HANDLE handle_;
};

class FileLock : public Lock {
public:
    explicit FileLock(HANDLE file) : file_(file) {}
    ~FileLock() override {
        OVERLAPPED where = at(LOCKED_BYTE_HIGH);
        ::UnlockFileEx(file_.get(), 0, 1, 0, &where);
    }

private:
    Handle file_;
};

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what + " " + to_text(path));
}

bool still_at_path(HANDLE file, const std::filesystem::path& path) {
    Handle named(::CreateFileW(path.c_str(), 0, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    return named.get() != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(file, &a) &&
           ::GetFileInformationByHandle(named.get(), &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace

std::unique_ptr<Lock> try_lock(const std::filesystem::path& path, std::optional<long>& holder,
                               const Interleaving& between) {
    // A link or junction planted at `path` is opened as itself, and then refused: never its target.
    Handle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, SHARE_ALL, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) fail("cannot open the lock file", path);
    between.after_open();
    windows_ownership::require_own_regular_file(file.get(), path);
    OVERLAPPED where = at(LOCKED_BYTE_HIGH);
    if (!::LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        if (::GetLastError() != ERROR_LOCK_VIOLATION) fail("cannot lock", path);
        char text[32] = {};
        DWORD size = 0;
        OVERLAPPED start = at(0);
        if (::ReadFile(file.get(), text, sizeof text - 1, &size, &start) && size > 0) holder = parse_holder(text);
        return nullptr;
    }
    if (!still_at_path(file.get(), path)) {
        std::filesystem::create_directories(path.parent_path());
        return try_lock(path, holder, between);
    }
    // Written before the old text is cut off, so that a reader never finds the file empty.
    const std::string pid = std::to_string(::GetCurrentProcessId()) + "\n";
    DWORD written = 0;
    OVERLAPPED start = at(0);
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(pid.size());
    if (!::WriteFile(file.get(), pid.data(), static_cast<DWORD>(pid.size()), &written, &start) ||
        !::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get()))
        fail("cannot write the lock file", path);
    return std::make_unique<FileLock>(file.release());
}

}  // namespace vetra_service_manager::platform::user_lock
