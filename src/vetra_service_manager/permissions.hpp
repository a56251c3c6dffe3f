#pragma once
// macOS Full Disk Access: probing whether we have it, and opening the pane that grants it.
// Elsewhere the permission does not exist: the check says yes and the opener does nothing.
#include <filesystem>
#include <optional>

namespace vetra_service_manager::permissions {

inline constexpr const char* FDA_SETTINGS_URL =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles";

// ~/Library/Safari, resolved once, on first use.
const std::filesystem::path& default_fda_probe();

// Lists at most the first entry of `probe_path` (default: default_fda_probe()). Denied access and a
// missing directory give false; any other failure (e.g. a regular file) throws
// std::filesystem::filesystem_error.
bool check_full_disk_access(const std::optional<std::filesystem::path>& probe_path = std::nullopt);

// Runs `open` on the Full Disk Access pane and waits for it; its exit status is ignored.
void open_full_disk_access_settings();

}  // namespace vetra_service_manager::permissions

namespace vetra_service_manager {
using permissions::check_full_disk_access;
}
