#pragma once
// Questions about paths whose answer must not be guessed.
#include <filesystem>

namespace vetra_service_manager::platform::files {

// Whether something is at `path` (symbolic links followed). Only "no such file or directory"
// (ENOENT, ENOTDIR) means absent: any other failure to look, such as a permission error or a
// symbolic-link loop, throws std::filesystem::filesystem_error, so that an unreadable file is
// never taken for a missing one.
bool exists(const std::filesystem::path& path);

}  // namespace vetra_service_manager::platform::files
