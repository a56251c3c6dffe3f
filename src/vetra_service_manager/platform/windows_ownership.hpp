#pragma once
// Who may change a file or directory, read from its security descriptor (Windows only). The user,
// SYSTEM and the Administrators group are trusted: the last two can take anything over anyway, and
// an elevated user's new files belong to Administrators.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

namespace vetra_service_manager::platform::windows_ownership {

// Why the object behind `handle` (opened with READ_CONTROL) is not ours: its owner is another
// account, or with `check_writers` an access list lets another account write, delete or re-permit
// it. nullopt when it is ours alone. Throws std::system_error naming `path` when it cannot tell.
std::optional<std::string> foreign_control(HANDLE handle, const std::filesystem::path& path, bool check_writers);

// Throws std::runtime_error naming `path` and saying why unless `handle` is a regular file (no
// directory, no reparse point) that a trusted account owns; std::system_error when it cannot tell.
void require_own_regular_file(HANDLE handle, const std::filesystem::path& path);

}  // namespace vetra_service_manager::platform::windows_ownership
