// Identity, status queries, the installed version and the log viewer of the systemd backend.
#include "vetra_service_manager/backends/systemd/linux.hpp"

#include <optional>
#include <set>

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

// No manager could be reached: status can still tell something, unlike every other operation.
class Unreachable : public ServiceOperationError {
    using ServiceOperationError::ServiceOperationError;
};

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
        // status goes on without it and says so as a warning.
        if (operation != ServiceOperation::GET_STATUS) logger().error("{}", message);
        // The message quotes the whole reason, as launchctl's error text is quoted on macOS.
        throw Unreachable(operation, message);
    }
}

void LinuxServiceManager::refuse_if_masked(const Reading& reading, ServiceOperation operation) const {
    if (!reading.masked()) return;
    const std::string message = fmt::format("The service is masked; `systemctl --user unmask {}` allows it to run again",
                                            unit_name_);
    logger().error("{}", message);
    throw ServiceOperationError(operation, message);
}

LinuxServiceManager::Reading LinuxServiceManager::read(ServiceOperation operation) const {
    logger().debug("Checking status of service: {}", service_name());
    Reading reading;
    reading.status = {InstallationStatus::NOT_INSTALLED, EnablementStatus::DISABLED, RunningStatus::NOT_RUNNING};
    bool file = false;
    try {
        // A link to /dev/null (a mask) is there too, though it leads nowhere useful.
        file = fs::exists(fs::symlink_status(unit_path_));
    } catch (const fs::filesystem_error& error) {
        logger().error("Cannot look for the unit file: {}", error.what());
        std::throw_with_nested(
            ServiceOperationError(operation, std::string("Cannot look for the unit file: ") + error.what()));
    }
    std::optional<linux_bus::UserManager> manager;
    if (file) {
        logger().debug("Unit file exists, service is installed");
        reading.status.installation_status = InstallationStatus::INSTALLED;
        manager.emplace(connect(operation));
    } else {
        // Nothing of ours on disk and no manager: nothing to act on either.
        try {
            manager.emplace(linux_bus::UserManager::connect());
        } catch (const linux_bus::ConnectError&) {
            return reading;
        }
    }
    std::string load;
    try {
        // One round trip: status is what people and scripts run most.
        auto state = manager->unit_string_properties(unit_name_, UNIT_INTERFACE,
                                                     {"LoadState", "UnitFileState", "ActiveState", "SubState", "NeedDaemonReload"});
        load = state["LoadState"];
        reading.file_state = state["UnitFileState"];
        reading.active = state["ActiveState"];
        reading.sub = state["SubState"];
        reading.need_reload = state["NeedDaemonReload"] == "yes";
    } catch (const linux_bus::CallError& error) {
        logger().error("{}", error.what());
        throw ServiceOperationError(operation, error.what());
    }
    logger().debug("systemd reports LoadState={}, UnitFileState={}, ActiveState={}, SubState={}", load,
                   reading.file_state, reading.active, reading.sub);
    if (!file && (load == "loaded" || reading.stoppable())) {
        logger().warn("The unit file {} is gone but systemd still has the unit {}", platform::to_text(unit_path_),
                      reading.active);
        reading.status.installation_status = InstallationStatus::INSTALLED;
    }
    static const std::set<std::string> enabled{"enabled", "enabled-runtime", "linked", "linked-runtime", "alias"};
    if (enabled.count(reading.file_state)) reading.status.enablement_status = EnablementStatus::ENABLED;
    if (reading.active == "active" && reading.sub == "running") reading.status.running_status = RunningStatus::RUNNING;
    return reading;
}

status::ServiceStatus LinuxServiceManager::status() const {
    ServiceStatus result;
    try {
        const auto reading = read(ServiceOperation::GET_STATUS);
        if (reading.need_reload) {
            logger().warn("The unit file {} changed since systemd read it; start reloads it",
                          platform::to_text(unit_path_));
        }
        result = reading.status;
    } catch (const Unreachable& error) {
        // Our unit file is there (else no manager is asked): tell what the files say.
        const fs::path wants = unit_path_.parent_path() / "default.target.wants" / unit_name_;
        result = {InstallationStatus::INSTALLED,
                  fs::exists(fs::symlink_status(wants)) ? EnablementStatus::ENABLED : EnablementStatus::DISABLED,
                  RunningStatus::NOT_RUNNING};
        logger().warn("{}; reporting {} from its unit files alone", error.what(), service_name());
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
    // Without a unit file the journal has nothing of ours to show (and journalctl would say so in
    // words of its own).
    if (!platform::files::exists(unit_path_)) return {};
    std::vector<std::string> argv{"journalctl", "--user", "-u", unit_name_, "-n", std::to_string(lines)};
    if (follow) argv.emplace_back("-f");
    return argv;
}

}  // namespace vetra_service_manager::backends::systemd::linux
