// install and uninstall of the launchd backend: the property list, the log directory, and through
// the lifecycle operations the agent's registration with launchd.
#include "vetra_service_manager/backends/launchd/macos.hpp"
#include "vetra_service_manager/backends/launchd/plist.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::launchd::macos {
namespace fs = std::filesystem;
namespace {

constexpr std::uint64_t THROTTLE_INTERVAL_SECONDS = 60;

}  // namespace

void MacOSServiceManager::write_definition(const std::vector<std::string>& program_arguments,
                                           const version::Version& version) {
    // Refused before anything is written, and named as given rather than inside the preflight.
    plist::check_string("WorkingDirectory", platform::to_text(app_dir()));
    for (const auto& argument : program_arguments) plist::check_string("ProgramArguments", argument);
    const fs::path logs = log_dir();
    logger().info("Creating directories: {} and {}", platform::to_text(app_dir()), platform::to_text(logs));
    platform::files::ensure_private_directory(app_dir());
    platform::files::create_private_directories(logs);
    const fs::path out_log = logs / "out.log";
    const fs::path err_log = logs / "err.log";
    const auto wrapped = _build_program_arguments_with_log_rotation(program_arguments, out_log, err_log);

    // Keys in sorted order, as launchd's own tools write them.
    plist::Dict agent;
    agent.set_bool("KeepAlive", true);
    agent.set_string("Label", bundle_identifier());
    agent.set_string_array("ProgramArguments", wrapped);
    agent.set_bool("RunAtLoad", true);
    agent.set_string("StandardErrorPath", platform::to_text(err_log));
    agent.set_string("StandardOutPath", platform::to_text(out_log));
    agent.set_integer("ThrottleInterval", THROTTLE_INTERVAL_SECONDS);
    agent.set_string("Version", version.str());
    agent.set_string("WorkingDirectory", platform::to_text(app_dir()));

    logger().info("Creating plist file at {}", platform::to_text(plist_path()));
    platform::files::ensure_private_directory(plist_path().parent_path());
    // Given its mode through its descriptor before the rename: a chmod by path afterwards would
    // follow whatever link had been put there meanwhile.
    agent.write_xml_file(plist_path());
}

std::vector<fs::path> MacOSServiceManager::places_written() const { return {app_dir(), plist_path().parent_path()}; }

std::string MacOSServiceManager::clean_up_failed_install() noexcept {
    try {
        if (launchctl({"print", service_target()}).exit_code == 0) launchctl({"bootout", service_target()});
    } catch (...) {
        log_failed_clean_up();
    }
    return ServiceManagerBackend::clean_up_failed_install();
}

void MacOSServiceManager::uninstall(bool raise_if_not_installed) {
    logger().info("Uninstalling service: {}", service_name());
    ServiceStatus current;
    try {
        current = status();
    } catch (const ServiceOperationError& error) {
        std::throw_with_nested(ServiceOperationError(ServiceOperation::UNINSTALL, error.what()));
    }
    if (current.installation_status == InstallationStatus::NOT_INSTALLED) {
        logger().info("Service {} is not installed", service_name());
        if (raise_if_not_installed) throw exceptions::ServiceNotInstalledError();
        logger().debug("Service is not installed, skipping");
        return;
    }
    if (current.running_status == RunningStatus::RUNNING) {
        logger().info("Service is running, stopping first");
        stop();
    }
    if (current.enablement_status == EnablementStatus::ENABLED) {
        logger().info("Service is enabled, disabling first");
        disable();
    }
    try {
        if (platform::files::exists(plist_path())) {
            logger().info("Deleting plist file: {}", platform::to_text(plist_path()));
            fs::remove(plist_path());
        } else {
            logger().info("Plist file not found. Service is not installed.");
        }
    } catch (const std::exception& error) {
        logger().error("Failed to delete plist file: {}", error.what());
        std::throw_with_nested(ServiceOperationError(ServiceOperation::UNINSTALL,
                                                     std::string("Failed to delete the plist file: ") + error.what()));
    }
    const fs::path logs = log_dir();
    // The logs are removed as far as possible, and what resists stays unreported; a log directory
    // we cannot even look at stays with a warning.
    try {
        if (platform::files::exists(logs)) {
            logger().info("Removing service log dir: {}", platform::to_text(logs));
            platform::files::remove_tree_best_effort(logs);
        }
    } catch (const fs::filesystem_error& error) {
        logger().warn("Cannot remove service log dir {}: {}", platform::to_text(logs), error.code().message());
    }
    logger().info("Service {} successfully uninstalled", service_name());
}

}  // namespace vetra_service_manager::backends::launchd::macos
