// Identity, status queries, the installed version and the log viewer of the systemd backend.
#include "vetra_service_manager/backends/systemd/linux.hpp"

#include <fstream>
#include <sstream>

#include "vetra_service_manager/backends/systemd/linux_unit.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::systemd::linux {
namespace fs = std::filesystem;
namespace {

constexpr const char* LOGGER_NAME = "vetra_service_manager.backends.systemd.linux";
constexpr const char* UNIT_PREFIX = "com.norvale.";
constexpr const char* UNIT_INTERFACE = "org.freedesktop.systemd1.Unit";

fs::path config_home() {
    if (auto xdg = platform::directory_env("XDG_CONFIG_HOME")) return *xdg;
    return platform::home_dir() / ".config";
}

}  // namespace

LinuxServiceManager::LinuxServiceManager(std::string service_name, fs::path app_dir)
    : ServiceManagerBackend(std::move(service_name), std::move(app_dir), logging::get_logger(LOGGER_NAME)),
      unit_name_(UNIT_PREFIX + this->service_name() + ".service"),
      unit_path_(config_home() / "systemd" / "user" / unit_name_) {
    logger().info("LinuxServiceManager initialized for service: {}", this->service_name());
    logger().debug("unit_path: {}, app_dir: {}", platform::to_text(unit_path_), platform::to_text(this->app_dir()));
}

linux_bus::UserManager LinuxServiceManager::connect(ServiceOperation operation) const {
    try {
        return linux_bus::UserManager::connect();
    } catch (const linux_bus::ConnectError& error) {
        const std::string message = fmt::format(
            "Cannot reach the systemd user manager ({}); it runs only while the user is logged in, or with lingering "
            "enabled (loginctl enable-linger)",
            error.what());
        logger().error("{}", message);
        // The message quotes the whole reason, as launchctl's error text is quoted on macOS.
        throw ServiceOperationError(operation, message);
    }
}

status::ServiceStatus LinuxServiceManager::status() const {
    logger().debug("Checking status of service: {}", service_name());
    ServiceStatus result{InstallationStatus::NOT_INSTALLED, EnablementStatus::DISABLED, RunningStatus::NOT_RUNNING};
    try {
        if (!platform::files::exists(unit_path_)) return result;
    } catch (const fs::filesystem_error& error) {
        logger().error("Cannot look for the unit file: {}", error.what());
        std::throw_with_nested(
            ServiceOperationError(ServiceOperation::GET_STATUS, std::string("Cannot look for the unit file: ") + error.what()));
    }
    logger().debug("Unit file exists, service is installed");
    result.installation_status = InstallationStatus::INSTALLED;

    auto manager = connect(ServiceOperation::GET_STATUS);
    try {
        // One round trip: status is what people and scripts run most.
        auto state = manager.unit_string_properties(unit_name_, UNIT_INTERFACE,
                                                    {"UnitFileState", "ActiveState", "SubState"});
        const std::string& file_state = state["UnitFileState"];
        const std::string& active = state["ActiveState"];
        const std::string& sub = state["SubState"];
        logger().debug("systemd reports UnitFileState={}, ActiveState={}, SubState={}", file_state, active, sub);
        if (file_state == "enabled") result.enablement_status = EnablementStatus::ENABLED;
        if (active == "active" && sub == "running") result.running_status = RunningStatus::RUNNING;
    } catch (const linux_bus::CallError& error) {
        logger().error("{}", error.what());
        throw ServiceOperationError(ServiceOperation::GET_STATUS, error.what());
    }
    logger().info("Service {} status: {}", service_name(), status::to_string(result));
    return result;
}

std::optional<version::Version> LinuxServiceManager::version() const {
    const std::string failure = "Failed to read version from unit file: ";
    const char* not_found = "Unit file not found, service may not be installed";
    try {
        logger().debug("Reading version from unit file: {}", platform::to_text(unit_path_));
        const auto content = platform::files::read_file(unit_path_);
        if (!content) {
            // status asks every service for its version, installed or not: no warning.
            logger().debug(not_found);
            return std::nullopt;
        }
        const auto value = linux_unit::read_version(*content);
        if (!value || value->empty()) {
            logger().debug("The unit file records no version");
            return std::nullopt;
        }
        logger().debug("Version found in unit file: {}", *value);
        return version::Version(*value);
    } catch (const std::exception& error) {
        logger().error("{}{}", failure, error.what());
        std::throw_with_nested(ServiceOperationError(ServiceOperation::GET_VERSION, failure + error.what()));
    }
}

std::vector<std::string> LinuxServiceManager::log_viewer(int lines, bool follow) const {
    std::vector<std::string> argv{"journalctl", "--user", "-u", unit_name_, "-n", std::to_string(lines)};
    if (follow) argv.emplace_back("-f");
    return argv;
}

}  // namespace vetra_service_manager::backends::systemd::linux
