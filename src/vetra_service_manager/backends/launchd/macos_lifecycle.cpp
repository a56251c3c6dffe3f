// The launchd backend's own actions of enable, disable, start and stop: one launchctl subcommand
// each (the steps around them are the base's).
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

void MacOSServiceManager::enable_service() {
    logger().info("Enabling service with launchctl");
    const auto run = launchctl({"enable", service_target()});
    if (run.exit_code != 0) raise_failed(logger(), ServiceOperation::ENABLE, "Failed to enable the service", run);
}

void MacOSServiceManager::disable_service() {
    logger().info("Disabling service with launchctl");
    const auto run = launchctl({"disable", service_target()});
    if (run.exit_code != 0) raise_failed(logger(), ServiceOperation::DISABLE, "Failed to disable the service", run);
}

void MacOSServiceManager::start_service(const StepReading&) {
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
        if (run.exit_code != 0) raise_failed(logger(), ServiceOperation::START, "Failed to start the service", run);
    }
    // A slow first launch is no failure: the wait leaves its own warning.
    _wait_until([this] { return agent_running(); });
}

void MacOSServiceManager::stop_service(const StepReading&) {
    const auto run = launchctl({"bootout", service_target()});
    if (run.exit_code != 0) raise_failed(logger(), ServiceOperation::STOP, "Failed to bootout the service", run);
    _wait_until([this] { return !agent_running(); });
}

}  // namespace vetra_service_manager::backends::launchd::macos
