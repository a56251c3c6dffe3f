#include "vetra_service_manager/permissions.hpp"

#include <system_error>

#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace vetra_service_manager::permissions {
namespace fs = std::filesystem;
namespace {

spdlog::logger& logger() {
    static auto instance = logging::get_logger("vetra_service_manager.permissions");
    return *instance;
}

}  // namespace

const fs::path& default_fda_probe() {
    static const fs::path probe = platform::home_dir() / "Library" / "Safari";
    return probe;
}

bool check_full_disk_access(const std::optional<fs::path>& probe_path) {
    if (platform::system() != platform::System::macos) return true;
    const fs::path& target = probe_path ? *probe_path : default_fda_probe();
    std::error_code ec;
    fs::directory_iterator first(target, ec);  // opens the directory and reads its first entry
    if (!ec) return true;
    if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted) {
        logger().debug("Full Disk Access denied for probe path: {}", platform::to_text(target));
        return false;
    }
    if (ec == std::errc::no_such_file_or_directory) {
        logger().warn("FDA probe path does not exist: {}", platform::to_text(target));
        return false;
    }
    throw fs::filesystem_error("Cannot probe Full Disk Access", target, ec);
}

void open_full_disk_access_settings() {
    if (platform::system() != platform::System::macos) return;
    platform::process::run_inherited({"open", FDA_SETTINGS_URL});
}

}  // namespace vetra_service_manager::permissions
