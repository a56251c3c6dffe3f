#include "vetra_service_manager/backends/base.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

namespace vetra_service_manager::backends::base {

std::string describe_current_exception() {
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown error";
    }
}

ServiceManagerBackend::ServiceManagerBackend(std::string service_name, std::filesystem::path app_dir,
                                             std::shared_ptr<spdlog::logger> logger)
    : service_name_(std::move(service_name)), app_dir_(std::move(app_dir)), logger_(std::move(logger)) {}

bool ServiceManagerBackend::_wait_for_service_status(const StatusPredicate& predicate, int timeout_seconds,
                                                     int max_poll_interval_ms) const {
    return _wait_until([&] { return predicate(status()); }, timeout_seconds, max_poll_interval_ms);
}

bool ServiceManagerBackend::_wait_until(const std::function<bool()>& condition, int timeout_seconds,
                                        int max_poll_interval_ms) const {
    using std::chrono::milliseconds;
    logger().info("Waiting for service {} status to change (timeout: {}s)", service_name(), timeout_seconds);
    // A monotonic clock: a wall-clock step (NTP, a manual change) must not cut short or stretch the wait.
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start); };
    while (elapsed() < std::chrono::seconds(timeout_seconds)) {
        if (condition()) {
            logger().info("Service {} reached desired status after {}ms", service_name(), elapsed().count());
            return true;
        }
        const auto interval = std::clamp(elapsed() / 20, milliseconds(FIRST_POLL_INTERVAL_MS),
                                         milliseconds(std::max(max_poll_interval_ms, FIRST_POLL_INTERVAL_MS)));
        std::this_thread::sleep_for(interval);
    }
    logger().warn("Timeout reached while waiting for {} status change", service_name());
    return false;
}

void ServiceManagerBackend::uninstall_after_failed_install() noexcept {
    try {
        uninstall();
    } catch (...) {
        logger().error("Cleanup after the failed installation failed too: {}", describe_current_exception());
    }
}

}  // namespace vetra_service_manager::backends::base
