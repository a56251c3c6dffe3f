// install and uninstall of the systemd backend: the unit file, and through the manager the unit's
// enablement, start, stop and removal.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <fmt/ranges.h>

#include "vetra_service_manager/backends/systemd/linux.hpp"
#include "vetra_service_manager/backends/systemd/linux_unit.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::systemd::linux {
namespace fs = std::filesystem;
void LinuxServiceManager::write_unit_file(const std::vector<std::string>& program_arguments,
                                          const version::Version& version) const {
    const std::string text = linux_unit::render({service_name(), version.str(), program_arguments,
                                                 platform::to_text(app_dir())});
    logger().info("Creating directory: {}", platform::to_text(app_dir()));
    platform::files::ensure_private_directory(app_dir());
    logger().info("Creating unit file at {}", platform::to_text(unit_path()));
    platform::files::create_private_directories(unit_path().parent_path());
    platform::files::write_file_atomically(unit_path(), text);
}

void LinuxServiceManager::install(const std::vector<std::string>& program_arguments, const version::Version& version,
                                  bool raise_if_already_installed) {
    logger().info("Installing service: {}, version: {} with args: {}", service_name(), version.str(),
                  program_arguments);
    if (status().installation_status == InstallationStatus::INSTALLED) {
        if (raise_if_already_installed) throw exceptions::ServiceAlreadyInstalledError();
        logger().debug("Service is already installed, skipping");
        return;
    }
    try {
        write_unit_file(program_arguments, version);
        {
            auto manager = connect(ServiceOperation::INSTALL);
            logger().info("Reloading the systemd user manager");
            manager.reload();
        }
        enable();
        start();
        logger().info("Successfully installed and started service: {}", service_name());
    } catch (...) {
        const std::string cause = base::describe_current_exception();
        logger().error("Installation failed, attempting cleanup: {}", cause);
        uninstall_after_failed_install();
        ServiceOperationError failed(ServiceOperation::INSTALL, "Installation failed: " + cause);
        try {
            throw;
        } catch (const ServiceOperationError& inner) {
            // Its message is already in ours: chain what it was chained to, so that nothing is said twice.
            try {
                std::rethrow_if_nested(inner);
            } catch (...) {
                std::throw_with_nested(failed);
            }
            throw failed;
        } catch (const linux_unit::UnitValueError&) {
            throw failed;  // a refusal of ours, already said in full
        } catch (...) {
            std::throw_with_nested(failed);
        }
    }
}

void LinuxServiceManager::uninstall(bool raise_if_not_installed) {
    logger().info("Uninstalling service: {}", service_name());
    if (status().installation_status == InstallationStatus::NOT_INSTALLED) {
        logger().info("Service {} is not installed", service_name());
        if (raise_if_not_installed) throw exceptions::ServiceNotInstalledError();
        logger().debug("Service is not installed, skipping");
        return;
    }
    // The manager may drop a connection that asked for a reload: each step after one gets its own.
    const auto ask = [&](const char* failure, auto&& action) {
        auto manager = connect(ServiceOperation::UNINSTALL);
        try {
            action(manager);
        } catch (const linux_bus::CallError& error) {
            const std::string message = std::string(failure) + ": " + error.what();
            logger().error("{}", message);
            throw ServiceOperationError(ServiceOperation::UNINSTALL, message);
        }
    };
    // Also a unit waiting to be restarted: it would come back after the file is gone.
    ask("Failed to stop the service", [&](linux_bus::UserManager& manager) {
        stop_unit(manager, ServiceOperation::UNINSTALL);
        logger().info("Disabling unit {}", unit_name());
        manager.disable_unit_file(unit_name());
    });
    try {
        logger().info("Deleting unit file: {}", platform::to_text(unit_path()));
        fs::remove(unit_path());
    } catch (const std::exception& error) {
        logger().error("Failed to delete unit file: {}", error.what());
        std::throw_with_nested(ServiceOperationError(ServiceOperation::UNINSTALL,
                                                     std::string("Failed to delete the unit file: ") + error.what()));
    }
    // The manager forgets the unit once it has reread the files and no failure record keeps it.
    ask("Failed to reload the user manager", [&](linux_bus::UserManager& manager) {
        logger().info("Reloading the systemd user manager");
        manager.reload();
    });
    ask("Failed to forget the service", [&](linux_bus::UserManager& manager) { manager.reset_failed_unit(unit_name()); });
    logger().info("Service {} successfully uninstalled", service_name());
}

}  // namespace vetra_service_manager::backends::systemd::linux
