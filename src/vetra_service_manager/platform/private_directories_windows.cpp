// Directories for the user alone: each new one gets a protected access list that grants the user
// full control and nobody else anything, whatever it would otherwise inherit from its parent.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <sddl.h>

#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "vetra_service_manager/platform/account.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/windows_ownership.hpp"
#include "vetra_service_manager/platform/windows_text.hpp"

namespace vetra_service_manager::platform::files {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void fail(DWORD error, const char* what, const fs::path& path) {
    throw fs::filesystem_error(what, path, std::error_code(static_cast<int>(error), std::system_category()));
}

}  // namespace

void create_private_directories(const fs::path& path) {
    std::vector<fs::path> missing;  // deepest first
    for (fs::path dir = path; !dir.empty(); dir = dir.parent_path()) {
        std::error_code ec;
        const auto status = fs::status(dir, ec);
        if (!ec && status.type() != fs::file_type::not_found) {
            if (!fs::is_directory(status)) fail(ERROR_DIRECTORY, "Cannot create directory", path);
            break;
        }
        missing.push_back(dir);
        if (dir == dir.parent_path()) break;
    }
    if (missing.empty()) return;

    // P: nothing inherited; OICI: what is created inside gets the same; FA: full access.
    const std::wstring sddl = windows_text::utf16("D:P(A;OICI;FA;;;" + account::current().sid + ")");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        fail(GetLastError(), "Cannot build the access list for", path);
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    for (auto dir = missing.rbegin(); dir != missing.rend(); ++dir) {
        if (CreateDirectoryW(dir->c_str(), &attributes) || GetLastError() == ERROR_ALREADY_EXISTS) continue;
        const DWORD error = GetLastError();
        LocalFree(descriptor);
        fail(error, "Cannot create directory", *dir);
    }
    LocalFree(descriptor);
}

// An existing directory may have come from elsewhere (an older version, another account, a
// restored backup): what we keep in it is trusted only while nobody else can change it.
void ensure_private_directory(const fs::path& path) {
    create_private_directories(path);
    const HANDLE directory = CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE) fail(GetLastError(), "Cannot check directory", path);
    std::optional<std::string> reason;
    try {
        reason = windows_ownership::foreign_control(directory, path, true);
    } catch (...) {
        CloseHandle(directory);
        throw;
    }
    CloseHandle(directory);
    if (reason) throw UnsafeDirectory(path, *reason);
}

}  // namespace vetra_service_manager::platform::files
