// enable, disable, start and stop of the systemd backend: each reads the status first, skips or
// refuses when the unit is already where it was asked to go, and otherwise asks the manager.
// Start and stop wait for their job to finish rather than polling.
#include <algorithm>
#include <chrono>
#include <cstdint>

#include "vetra_service_manager/backends/systemd/linux.hpp"
#include "vetra_service_manager/backends/systemd/linux_ask.hpp"
#include "vetra_service_manager/exceptions.hpp"

namespace vetra_service_manager::backends::systemd::linux {
namespace {

constexpr std::chrono::seconds JOB_TIMEOUT{base::DEFAULT_STATUS_WAIT_TIMEOUT_SECONDS};
// Past systemd's own kill, the time SIGKILL and the clean-up take.
constexpr std::chrono::seconds STOP_MARGIN{10};
// A stop time-out of "infinity" is waited for this long at most.
constexpr std::chrono::microseconds LONGEST_STOP{std::chrono::hours(1)};

}  // namespace

void LinuxServiceManager::enable(bool raise_if_already_enabled) {
    logger().info("Enabling service: {}", service_name());
    const auto current = read(ServiceOperation::ENABLE);
    if (current.status.installation_status == InstallationStatus::NOT_INSTALLED) {
        logger().warn("Service is not installed");
        throw exceptions::ServiceNotInstalledError();
    }
    refuse_if_masked(current, ServiceOperation::ENABLE);
    if (current.status.enablement_status == EnablementStatus::ENABLED) {
        return skip_or_raise<exceptions::ServiceAlreadyEnabledError>(raise_if_already_enabled, "Service is already enabled");
    }
    auto& manager = connect(ServiceOperation::ENABLE);
    logger().info("Enabling unit {}", unit_name());
    // The link in default.target.wants matters when the manager next starts; a reload (slow) would
    // only make the running manager notice it sooner.
    ask(logger(), ServiceOperation::ENABLE, "Failed to enable the service",
        [&] { manager.enable_unit_file(unit_name()); });
    logger().info("Service {} successfully enabled", service_name());
}

void LinuxServiceManager::disable(bool raise_if_already_disabled) {
    logger().info("Disabling service: {}", service_name());
    // A disabled unit keeps running until stopped; take it down first, as on every platform.
    stop();
    if (status().enablement_status == EnablementStatus::DISABLED) {
        return skip_or_raise<exceptions::ServiceAlreadyDisabledError>(raise_if_already_disabled, "Service is already disabled");
    }
    auto& manager = connect(ServiceOperation::DISABLE);
    logger().info("Disabling unit {}", unit_name());
    ask(logger(), ServiceOperation::DISABLE, "Failed to disable the service",
        [&] { manager.disable_unit_file(unit_name()); });
    logger().info("Service {} successfully disabled", service_name());
}

void LinuxServiceManager::start(bool raise_if_already_running) {
    logger().info("Starting service: {}", service_name());
    const auto current = read(ServiceOperation::START);
    if (current.status.installation_status == InstallationStatus::NOT_INSTALLED) {
        logger().warn("Service is not installed");
        throw exceptions::ServiceNotInstalledError();
    }
    refuse_if_masked(current, ServiceOperation::START);
    if (current.need_reload) {
        // Else systemd would go on running, or start, what the file said before it was edited.
        auto& manager = connect(ServiceOperation::START);
        logger().info("Reloading the systemd user manager");
        ask(logger(), ServiceOperation::START, "Failed to reload the user manager", [&] { manager.reload(); });
    }
    if (current.status.enablement_status == EnablementStatus::DISABLED) {
        logger().info("Service is disabled, enabling first");
        enable(false);
    }
    if (current.status.running_status == RunningStatus::RUNNING) {
        return skip_or_raise<exceptions::ServiceAlreadyRunningError>(raise_if_already_running, "Service is already running");
    }
    auto& manager = connect(ServiceOperation::START);
    const auto started = std::chrono::steady_clock::now();
    std::string job, active, sub, result;
    int exit_status = 0;
    ask(logger(), ServiceOperation::START, "Failed to start the service", [&] {
        // A unit waiting out RestartSec would take a start job as one more wait: restart it now.
        if (current.waiting_to_restart()) {
            logger().info("Restarting unit {}, which waits to be restarted", unit_name());
            job = manager.restart_unit(unit_name(), JOB_TIMEOUT);
        } else {
            logger().info("Starting unit {}", unit_name());
            job = manager.start_unit(unit_name(), JOB_TIMEOUT);
        }
        active = manager.unit_property(unit_name(), linux_bus::UNIT_INTERFACE, "ActiveState");
        sub = manager.unit_property(unit_name(), linux_bus::UNIT_INTERFACE, "SubState");
        if (active == "active" && sub == "running") return;
        result = manager.unit_property(unit_name(), linux_bus::SERVICE_INTERFACE, "Result");
        exit_status = manager.unit_int_property(unit_name(), linux_bus::SERVICE_INTERFACE, "ExecMainStatus");
    });
    if (active != "active" || sub != "running") {
        const std::string message =
            fmt::format("Failed to start the service: systemd reports job {}, state {}/{}, result \"{}\", exit status {}",
                        job, active, sub, result, exit_status);
        logger().error("{}", message);
        throw ServiceOperationError(ServiceOperation::START, message);
    }
    logger().info("Service {} reached desired status after {:.0f}ms", service_name(),
                  std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
    logger().info("Service {} successfully started", service_name());
}

void LinuxServiceManager::stop(bool raise_if_already_stopped) {
    logger().info("Stopping service: {}", service_name());
    // Not only a running unit: one waiting to be restarted would come back within RestartSec.
    if (!read(ServiceOperation::STOP).stoppable()) {
        return skip_or_raise<exceptions::ServiceAlreadyStoppedError>(raise_if_already_stopped, "Service is not running");
    }
    auto& manager = connect(ServiceOperation::STOP);
    stop_unit(manager, ServiceOperation::STOP);
    logger().info("Service {} successfully stopped", service_name());
}

void LinuxServiceManager::stop_unit(linux_bus::UserManager& manager, ServiceOperation operation) {
    std::string job, active;
    ask(logger(), operation, "Failed to stop the service", [&] {
        // Also true of a unit the manager could not load: there is nothing to stop.
        active = manager.unit_property(unit_name(), linux_bus::UNIT_INTERFACE, "ActiveState");
        if (active == "inactive" || active == "failed") return;
        // systemd gives the unit its TimeoutStopUSec before it kills it; giving up sooner would
        // report a failure for a stop that is still on its way.
        const auto allowed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::microseconds(
            std::min<std::uint64_t>(manager.unit_uint64_property(unit_name(), linux_bus::SERVICE_INTERFACE, "TimeoutStopUSec"),
                                    LONGEST_STOP.count())));
        logger().info("Stopping unit {}", unit_name());
        job = manager.stop_unit(unit_name(), allowed + STOP_MARGIN, [&] {
            logger().warn("Waiting for {} to stop (systemd allows it {} s)", service_name(), allowed.count());
        });
        active = manager.unit_property(unit_name(), linux_bus::UNIT_INTERFACE, "ActiveState");
    });
    if (active != "inactive" && active != "failed") {
        const std::string message =
            fmt::format("Failed to stop the service: systemd reports job {}, state {}", job, active);
        logger().error("{}", message);
        throw ServiceOperationError(operation, message);
    }
}

}  // namespace vetra_service_manager::backends::systemd::linux
