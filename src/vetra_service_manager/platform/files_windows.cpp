#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <random>
#include <system_error>
#include <utility>

#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/files_os.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/tree_removal.hpp"
#include "vetra_service_manager/platform/windows_ownership.hpp"

namespace vetra_service_manager::platform::files {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void fail(DWORD error, const std::string& what, const fs::path& path) {
    throw std::system_error(static_cast<int>(error), std::system_category(), what + " " + to_text(path));
}

struct Handle {
    HANDLE value;
    ~Handle() {
        if (value != INVALID_HANDLE_VALUE) ::CloseHandle(value);
    }
};

// Asks about every entry itself (GetFileAttributesW does not follow a reparse point), unlike the
// standard library here, whose status calls follow junctions.
class Win32Filesystem : public tree_removal::Filesystem {
public:
    tree_removal::Kind kind(const fs::path& path) const override {
        const DWORD attributes = attributes_of(path);
        if (attributes == INVALID_FILE_ATTRIBUTES) return tree_removal::Kind::missing;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return tree_removal::Kind::link;
        return attributes & FILE_ATTRIBUTE_DIRECTORY ? tree_removal::Kind::directory : tree_removal::Kind::file;
    }

    std::vector<fs::path> entries(const fs::path& directory) const override {
        std::vector<fs::path> found;
        WIN32_FIND_DATAW entry;
        const HANDLE search = ::FindFirstFileExW((directory / L"*").c_str(), FindExInfoBasic, &entry,
                                                 FindExSearchNameMatch, nullptr, 0);
        if (search == INVALID_HANDLE_VALUE) fail(::GetLastError(), "Cannot list", directory);
        do {
            const std::wstring_view name = entry.cFileName;
            if (name != L"." && name != L"..") found.push_back(directory / entry.cFileName);
        } while (::FindNextFileW(search, &entry));
        const DWORD error = ::GetLastError();
        ::FindClose(search);
        if (error != ERROR_NO_MORE_FILES) fail(error, "Cannot list", directory);
        return found;
    }

    void remove_file(const fs::path& path) override {
        // A read-only file refuses deletion until its attribute is cleared.
        if (!::DeleteFileW(path.c_str()) &&
            !(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) && ::DeleteFileW(path.c_str()))) {
            fail(::GetLastError(), "Cannot delete", path);
        }
    }

    void remove_directory(const fs::path& path) override {
        if (!::RemoveDirectoryW(path.c_str())) fail(::GetLastError(), "Cannot delete", path);
    }

    // A junction or a link to a directory goes with RemoveDirectoryW, which deletes the reparse
    // point and leaves its target alone; a link to a file with DeleteFileW.
    void remove_link(const fs::path& path) override {
        if (attributes_of(path) & FILE_ATTRIBUTE_DIRECTORY) return remove_directory(path);
        if (!::DeleteFileW(path.c_str())) fail(::GetLastError(), "Cannot delete", path);
    }

private:
    // INVALID_FILE_ATTRIBUTES when nothing is there; any other failure to look throws.
    static DWORD attributes_of(const fs::path& path) {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) fail(error, "Cannot examine", path);
        }
        return attributes;
    }
};

// The file at `path` opened for reading, shared with its writers; INVALID_HANDLE_VALUE when
// nothing is there, any other failure thrown.
HANDLE open_for_reading(const fs::path& path) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) fail(error, "Cannot open", path);
    }
    return file;
}

}  // namespace

std::optional<std::string> read_file(const fs::path& path) {
    Handle file{open_for_reading(path)};
    if (file.value == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string content;
    char buffer[8192];
    DWORD count = 0;
    for (;;) {
        if (!::ReadFile(file.value, buffer, sizeof buffer, &count, nullptr)) fail(::GetLastError(), "Cannot read", path);
        if (count == 0) break;
        content.append(buffer, count);
    }
    return content;
}

std::optional<Range> read_range(const fs::path& path, std::uint64_t from, std::uint64_t to) {
    Handle file{open_for_reading(path)};
    if (file.value == INVALID_HANDLE_VALUE) return std::nullopt;
    // A pipe or a console is no disk file; a directory does not open without backup semantics.
    LARGE_INTEGER size{};
    if (::GetFileType(file.value) != FILE_TYPE_DISK || !::GetFileSizeEx(file.value, &size)) throw NotRegularFile(path);
    Range range = range_within(static_cast<std::uint64_t>(size.QuadPart), from, to);
    std::size_t done = 0;
    while (done < range.bytes.size()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(from + done);
        at.OffsetHigh = static_cast<DWORD>((from + done) >> 32);
        DWORD count = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(range.bytes.size() - done, 1 << 20));
        if (!::ReadFile(file.value, range.bytes.data() + done, want, &count, &at)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) break;
            fail(::GetLastError(), "Cannot read", path);
        }
        if (count == 0) break;
        done += count;
    }
    range.bytes.resize(done);
    return range;
}

void write_file_atomically(const fs::path& path, std::string_view content, fs::perms /*mode: ACLs decide*/) {
    static std::mt19937_64 random{std::random_device{}()};
    fs::path temporary;
    Handle file{INVALID_HANDLE_VALUE};
    for (int attempt = 0; file.value == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = path.parent_path() / (L"." + path.filename().wstring() + L"." + std::to_wstring(random()) + L".tmp");
        // CREATE_NEW never opens what is there, a link included.
        file.value = ::CreateFileW(temporary.c_str(), GENERIC_WRITE | READ_CONTROL, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file.value == INVALID_HANDLE_VALUE && (::GetLastError() != ERROR_FILE_EXISTS || attempt == 10)) {
            fail(::GetLastError(), "Cannot create", temporary);
        }
    }
    try {
        windows_ownership::require_own_regular_file(file.value, temporary);
    } catch (...) {
        ::CloseHandle(std::exchange(file.value, INVALID_HANDLE_VALUE));
        ::DeleteFileW(temporary.c_str());
        throw;
    }
    DWORD error = 0;
    std::string_view rest = content;
    while (error == 0 && !rest.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1u << 20));
        if (!::WriteFile(file.value, rest.data(), chunk, &written, nullptr)) error = ::GetLastError();
        rest.remove_prefix(written);
    }
    if (error == 0 && !::FlushFileBuffers(file.value)) error = ::GetLastError();
    ::CloseHandle(file.value);
    file.value = INVALID_HANDLE_VALUE;
    // Replacing a link at `path` replaces the link itself: MoveFileEx never follows the target name.
    if (error == 0 && !::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = ::GetLastError();
    }
    if (error != 0) {
        ::DeleteFileW(temporary.c_str());
        fail(error, "Cannot write", path);
    }
}

}  // namespace vetra_service_manager::platform::files

namespace vetra_service_manager::platform::tree_removal {

Filesystem& system_filesystem() {
    static files::Win32Filesystem filesystem;
    return filesystem;
}

}  // namespace vetra_service_manager::platform::tree_removal
