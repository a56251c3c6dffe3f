// enable, disable, start and stop of the launchd backend: each reads the status first, skips or
// refuses when the agent is already where it was asked to go, and otherwise runs one launchctl
// subcommand.
#include <chrono>
#include <thread>

#include "vetra_service_manager/backends/launchd/macos.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/text.hpp"

namespace vetra_service_manager::backends::launchd::macos {
namespace {

// launchctl ends its messages with a line break; the error message is one line.
std::string error_text(const platform::process::Captured& run) {
    return std::string(platform::text::without_trailing_space(run.err));
}

// Logs "<failure>: <launchctl's error>" and raises it for `operation`.
[[noreturn]] void raise_failed(spdlog::logger& logger, ServiceOperation operation, const std::string& failure,
                               const platform::process::Captured& run) {
    const std::string message = failure + ": " + error_text(run);
    logger.error("{}", message);
    throw ServiceOperationError(operation, message);
}

}  // namespace

void MacOSServiceManager::enable(bool raise_if_already_enabled) {
    logger().info("Enabling service: {}", service_name());
    const auto current = status();
    if (current.installation_status == InstallationStatus::NOT_INSTALLED) {
        logger().warn("Service is not installed");
        throw exceptions::ServiceNotInstalledError();
    }
    if (current.enablement_status == EnablementStatus::ENABLED) {
        return skip_or_raise<exceptions::ServiceAlreadyEnabledError>(raise_if_already_enabled, "Service is already enabled");
    }
    logger().info("Enabling service with launchctl");
    const auto run = launchctl({"enable", service_target()});
    if (run.exit_code != 0) {
        raise_failed(logger(), ServiceOperation::ENABLE, "Failed to enable the service", run);
    }
    logger().info("Service {} successfully enabled", service_name());
}

void MacOSServiceManager::disable(bool raise_if_already_disabled) {
    logger().info("Disabling service: {}", service_name());
    // A disabled label keeps running until booted out; take it down first.
    stop();
    if (status().enablement_status == EnablementStatus::DISABLED) {
        return skip_or_raise<exceptions::ServiceAlreadyDisabledError>(raise_if_already_disabled, "Service is already disabled");
    }
    logger().info("Disabling service with launchctl");
    const auto run = launchctl({"disable", service_target()});
    if (run.exit_code != 0) {
        raise_failed(logger(), ServiceOperation::DISABLE, "Failed to disable the service", run);
    }
    logger().info("Service {} successfully disabled", service_name());
}

void MacOSServiceManager::start(bool raise_if_already_running) {
    logger().info("Starting service: {}", service_name());
    const auto current = status();
    if (current.enablement_status == EnablementStatus::DISABLED) {
        logger().info("Service is disabled, enabling first");
        enable(false);
    }
    if (current.running_status == RunningStatus::RUNNING) {
        return skip_or_raise<exceptions::ServiceAlreadyRunningError>(raise_if_already_running, "Service is already running");
    }
    logger().info("Kickstarting service with launchctl");
    const std::vector<std::string> bootstrap{"bootstrap", domain_target(), platform::to_text(plist_path())};
    auto run = launchctl(bootstrap);
    if (run.exit_code != 0) {
        // launchd can refuse a bootstrap briefly, e.g. while a booted-out instance is still going away.
        logger().warn("Failed to start service, retrying in 1s: {}", error_text(run));
        // A label that is still loaded but not running (launchd waiting out the throttle after a
        // crash) refuses every bootstrap: take it out so that the retry loads it afresh.
        if (launchctl({"print", service_target()}).exit_code == 0) launchctl({"bootout", service_target()});
        std::this_thread::sleep_for(std::chrono::seconds(1));
        run = launchctl(bootstrap);
        if (run.exit_code != 0) {
            raise_failed(logger(), ServiceOperation::START, "Failed to start the service", run);
        }
    }
    // A slow first launch is no failure: the wait leaves its own warning.
    _wait_until([this] { return agent_running(); });
    logger().info("Service {} successfully started", service_name());
}

void MacOSServiceManager::stop(bool raise_if_already_stopped) {
    logger().info("Stopping service: {}", service_name());
    if (status().running_status == RunningStatus::NOT_RUNNING) {
        return skip_or_raise<exceptions::ServiceAlreadyStoppedError>(raise_if_already_stopped, "Service is not running");
    }
    const auto run = launchctl({"bootout", service_target()});
    if (run.exit_code != 0) {
        raise_failed(logger(), ServiceOperation::STOP, "Failed to bootout the service", run);
    }
    _wait_until([this] { return !agent_running(); });
    logger().info("Service {} successfully stopped", service_name());
}

}  // namespace vetra_service_manager::backends::launchd::macos
