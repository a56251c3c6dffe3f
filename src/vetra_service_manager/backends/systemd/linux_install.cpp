// install and uninstall of the systemd backend: the unit file, and through the manager the unit's
// enablement, start, stop and removal.

#include "vetra_service_manager/backends/systemd/linux.hpp"
#include "vetra_service_manager/backends/systemd/linux_ask.hpp"
#include "vetra_service_manager/backends/systemd/linux_unit.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::systemd::linux {
namespace fs = std::filesystem;

void LinuxServiceManager::write_definition(const std::vector<std::string>& program_arguments,
                                           const version::Version& version) {
    const std::string text = linux_unit::render({service_name(), version.str(), program_arguments,
                                                 platform::to_text(app_dir())});
    // Nothing is written for a manager that cannot be reached: the file would pass for an install.
    auto& manager = connect(ServiceOperation::INSTALL);
    logger().info("Creating directory: {}", platform::to_text(app_dir()));
    platform::files::ensure_private_directory(app_dir());
    logger().info("Creating unit file at {}", platform::to_text(unit_path()));
    // The manager's directory, which may not be the one our environment named when the command
    // checked its places.
    platform::files::ensure_private_directory(unit_path().parent_path());
    platform::files::write_file_atomically(unit_path(), text);
    logger().info("Reloading the systemd user manager");
    manager.reload();
}

void LinuxServiceManager::check_installable() const { connect(ServiceOperation::INSTALL); }

std::string LinuxServiceManager::clean_up_failed_install() noexcept {
    ServiceManagerBackend::clean_up_failed_install();
    // Without a manager to ask, what we wrote is still ours to delete: left behind, the file and its
    // link would start the service at the next login although the install failed.
    std::vector<std::string> left;
    try {
        left = delete_our_files();
    } catch (...) {
        log_failed_clean_up();
    }
    if (left.empty()) return {};
    std::string text = "left behind: " + left.front();
    for (std::size_t i = 1; i < left.size(); ++i) text += ", " + left[i];
    return text;
}

std::vector<std::string> LinuxServiceManager::delete_our_files() const {
    std::vector<std::string> left;
    const fs::path unit = unit_path();
    const fs::path wants = unit.parent_path() / "default.target.wants" / unit.filename();
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(wants, ec)) && fs::read_symlink(wants, ec) == unit) {
        if (!fs::remove(wants, ec) && ec) left.push_back(platform::to_text(wants));
    }
    if (fs::exists(fs::symlink_status(unit, ec)) && !is_mask(unit)) {
        logger().info("Deleting unit file: {}", platform::to_text(unit));
        if (!fs::remove(unit, ec) && ec) left.push_back(platform::to_text(unit));
    }
    return left;
}

void LinuxServiceManager::uninstall(bool raise_if_not_installed) {
    logger().info("Uninstalling service: {}", service_name());
    // Also a unit whose file was deleted by hand while it runs: it is taken down all the same.
    const auto reading = read(ServiceOperation::UNINSTALL);
    if (reading.status.installation_status == InstallationStatus::NOT_INSTALLED) {
        logger().info("Service {} is not installed", service_name());
        // Our file, outranked by another program's unit of the same name since it was written:
        // the manager never loads it, but it is ours, and would be run once the other unit goes.
        if (!reading.foreign.empty()) {
            const auto left = delete_our_files();
            if (!left.empty()) {
                throw ServiceOperationError(ServiceOperation::UNINSTALL, "Failed to delete " + left.front());
            }
        }
        if (raise_if_not_installed) throw exceptions::ServiceNotInstalledError();
        logger().debug("Service is not installed, skipping");
        return;
    }
    auto& manager = connect(ServiceOperation::UNINSTALL);
    // Also a unit waiting to be restarted: it would come back after the file is gone.
    stop_unit(manager, ServiceOperation::UNINSTALL);
    ask(logger(), ServiceOperation::UNINSTALL, "Failed to disable the service", [&] {
        logger().info("Disabling unit {}", unit_name());
        manager.disable_unit_file(unit_name());
    });
    try {
        // systemd removes the enablement link only while it still knows the unit: with our file
        // deleted by hand it may not, and the unit would come back as "not-found" at every login.
        // A link to our file is ours to remove.
        const fs::path wants = unit_path().parent_path() / "default.target.wants" / unit_path().filename();
        std::error_code unreadable;
        if (fs::is_symlink(fs::symlink_status(wants, unreadable)) && fs::read_symlink(wants, unreadable) == unit_path()) {
            logger().info("Deleting enablement link: {}", platform::to_text(wants));
            fs::remove(wants);
        }
        // A link to /dev/null is the user's mask, not our file.
        if (is_mask(unit_path())) {
            logger().info("Leaving the mask {} in place", platform::to_text(unit_path()));
        } else {
            logger().info("Deleting unit file: {}", platform::to_text(unit_path()));
            fs::remove(unit_path());
        }
    } catch (const std::exception& error) {
        logger().error("Failed to delete unit file: {}", error.what());
        std::throw_with_nested(ServiceOperationError(ServiceOperation::UNINSTALL,
                                                     std::string("Failed to delete the unit file: ") + error.what()));
    }
    // The manager forgets the unit once it has reread the files and no failure record keeps it.
    ask(logger(), ServiceOperation::UNINSTALL, "Failed to reload the user manager", [&] {
        logger().info("Reloading the systemd user manager");
        manager.reload();
    });
    ask(logger(), ServiceOperation::UNINSTALL, "Failed to forget the service",
        [&] { manager.reset_failed_unit(unit_name()); });
    logger().info("Service {} successfully uninstalled", service_name());
}

}  // namespace vetra_service_manager::backends::systemd::linux
