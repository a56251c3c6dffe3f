#include "vetra_service_manager/backends/base.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

#include <fmt/ranges.h>

#include "vetra_service_manager/exceptions.hpp"

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

namespace {

// Polls start FIRST_POLL_INTERVAL_MS apart and spread out to a twentieth of the time waited so far.
std::chrono::milliseconds poll_interval(std::chrono::milliseconds elapsed, int max_poll_interval_ms) {
    using std::chrono::milliseconds;
    return std::clamp(elapsed / 20, milliseconds(FIRST_POLL_INTERVAL_MS),
                      milliseconds(std::max(max_poll_interval_ms, FIRST_POLL_INTERVAL_MS)));
}

}  // namespace

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
        std::this_thread::sleep_for(poll_interval(elapsed(), max_poll_interval_ms));
    }
    logger().warn("Timeout reached while waiting for {} status change", service_name());
    return false;
}

bool ServiceManagerBackend::_stays_up_until(const std::function<bool()>& up,
                                            std::chrono::steady_clock::time_point until) const {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (!up()) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return true;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start);
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            poll_interval(elapsed, DEFAULT_POLL_INTERVAL_MS), until - now));
    }
}

ServiceManagerBackend::StepReading ServiceManagerBackend::read_step(exceptions::ServiceOperation) const {
    StepReading reading;
    reading.status = status();
    reading.stoppable = reading.status.running_status != status::RunningStatus::NOT_RUNNING;
    return reading;
}

void ServiceManagerBackend::refuse_if_refused(const StepReading& current, exceptions::ServiceOperation operation) const {
    if (current.refusal.empty()) return;
    logger().error("{}", current.refusal);
    throw exceptions::ServiceOperationError(operation, current.refusal);
}

void ServiceManagerBackend::require_installed(const StepReading& current) const {
    if (current.status.installation_status == status::InstallationStatus::INSTALLED) return;
    logger().warn("Service is not installed");
    throw exceptions::ServiceNotInstalledError();
}

ServiceManagerBackend::Outcome ServiceManagerBackend::enable(bool raise_if_already_enabled) {
    using exceptions::ServiceOperation;
    logger().info("Enabling service: {}", service_name());
    const auto current = read_step(ServiceOperation::ENABLE);
    require_installed(current);
    refuse_if_refused(current, ServiceOperation::ENABLE);
    if (current.status.enablement_status == status::EnablementStatus::ENABLED) {
        skip_or_raise<exceptions::ServiceAlreadyEnabledError>(raise_if_already_enabled, "Service is already enabled");
        return Outcome::ALREADY_SO;
    }
    enable_service();
    logger().info("Service {} successfully enabled", service_name());
    return Outcome::CHANGED;
}

ServiceManagerBackend::Outcome ServiceManagerBackend::disable(bool raise_if_already_disabled) {
    using exceptions::ServiceOperation;
    logger().info("Disabling service: {}", service_name());
    const auto current = read_step(ServiceOperation::DISABLE);
    if (current.stoppable) stop_and_read(current);
    if (current.status.enablement_status == status::EnablementStatus::DISABLED) {
        skip_or_raise<exceptions::ServiceAlreadyDisabledError>(raise_if_already_disabled, "Service is already disabled");
        if (current.status.installation_status != status::InstallationStatus::INSTALLED) return Outcome::NOT_INSTALLED;
        return current.stoppable ? Outcome::CHANGED : Outcome::ALREADY_SO;
    }
    disable_service();
    logger().info("Service {} successfully disabled", service_name());
    return Outcome::CHANGED;
}

ServiceManagerBackend::Outcome ServiceManagerBackend::start(bool raise_if_already_running) {
    using exceptions::ServiceOperation;
    logger().info("Starting service: {}", service_name());
    const auto current = read_step(ServiceOperation::START);
    require_installed(current);
    refuse_if_refused(current, ServiceOperation::START);
    if (current.status.enablement_status == status::EnablementStatus::DISABLED) {
        logger().info("Service is disabled, enabling first");
        enable_service();
        logger().info("Service {} successfully enabled", service_name());
    }
    if (current.status.running_status == status::RunningStatus::RUNNING) {
        skip_or_raise<exceptions::ServiceAlreadyRunningError>(raise_if_already_running, "Service is already running");
        return Outcome::ALREADY_SO;
    }
    start_service(current);
    logger().info("Service {} successfully started", service_name());
    return Outcome::CHANGED;
}

ServiceManagerBackend::Outcome ServiceManagerBackend::stop(bool raise_if_already_stopped) {
    logger().info("Stopping service: {}", service_name());
    const auto current = read_step(exceptions::ServiceOperation::STOP);
    if (!current.stoppable) {
        skip_or_raise<exceptions::ServiceAlreadyStoppedError>(raise_if_already_stopped, "Service is not running");
        return current.status.installation_status == status::InstallationStatus::INSTALLED ? Outcome::ALREADY_SO
                                                                                          : Outcome::NOT_INSTALLED;
    }
    return stop_and_read(current);
}

ServiceManagerBackend::Outcome ServiceManagerBackend::stop_and_read(const StepReading& current) {
    stop_service(current);
    // The backends' waits for the end of a stop only warn when they run out.
    const auto after = read_step(exceptions::ServiceOperation::STOP);
    if (after.stoppable) {
        logger().warn("Service {} still runs after its stop ({})", service_name(),
                      status::to_string(after.status.running_status));
        return Outcome::STILL_RUNNING;
    }
    logger().info("Service {} successfully stopped", service_name());
    return Outcome::CHANGED;
}

ServiceManagerBackend::Outcome ServiceManagerBackend::start_and_settle(bool raise_if_already_running, Settle when) {
    const Outcome outcome = start(raise_if_already_running);
    // Timed from the moment the platform called the service started.
    if (outcome == Outcome::CHANGED) pending_settle_ = PendingSettle{std::chrono::steady_clock::now() + SETTLING_TIME};
    if (when == Settle::NOW) settle();
    return outcome;
}

void ServiceManagerBackend::settle() {
    if (!pending_settle_) return;
    const PendingSettle pending = *pending_settle_;
    pending_settle_.reset();
    if (!pending.fresh_install) return check_settled(pending.until);
    try {
        check_settled(pending.until);
    } catch (...) {
        fail_install();
    }
}

void ServiceManagerBackend::check_settled(std::chrono::steady_clock::time_point until) const {
    const double seconds = std::chrono::duration<double>(SETTLING_TIME).count();
    logger().info("Watching service {} until {:g} s have passed since its start", service_name(), seconds);
    const auto why = why_not_settled(until);
    if (!why) {
        logger().info("Service {} stayed up", service_name());
        return;
    }
    const std::string message =
        fmt::format("Failed to start the service: {} did not stay up for {:g} s after its start: {}", service_name(),
                    seconds, *why);
    logger().error("{}", message);
    throw exceptions::ServiceOperationError(exceptions::ServiceOperation::START, message);
}

std::optional<std::string> ServiceManagerBackend::why_not_settled(std::chrono::steady_clock::time_point until) const {
    status::RunningStatus last = status::RunningStatus::RUNNING;
    if (_stays_up_until([&] { return (last = status().running_status) == status::RunningStatus::RUNNING; }, until)) {
        return std::nullopt;
    }
    return "its status became " + status::to_string(last);
}

void ServiceManagerBackend::install(const std::vector<std::string>& program_arguments, const version::Version& version,
                                    bool raise_if_already_installed, Settle when) {
    using exceptions::ServiceOperation;
    using exceptions::ServiceOperationError;
    logger().info("Installing service: {}, version: {} with args: {}", service_name(), version.str(),
                  program_arguments);
    StepReading current;
    try {
        current = read_step(ServiceOperation::INSTALL);
    } catch (const ServiceOperationError& error) {
        if (error.operation() == ServiceOperation::INSTALL) throw;
        std::throw_with_nested(ServiceOperationError(ServiceOperation::INSTALL, error.what()));
    }
    if (current.status.installation_status == status::InstallationStatus::INSTALLED) {
        if (raise_if_already_installed) throw exceptions::ServiceAlreadyInstalledError();
        logger().debug("Service is already installed, skipping");
        // A leftover of a failed install, or a service stopped or disabled since, must not pass
        // for a running one: what was the user's stays, so nothing is cleaned up here.
        enable_and_start_installed(when);
        return;
    }
    // Nothing is written where it would not run, or would undo a decision of the user's.
    refuse_if_refused(current, ServiceOperation::INSTALL);
    try {
        write_definition(program_arguments, version);
        enable();
        start_and_settle(false, Settle::LATER);
    } catch (...) {
        fail_install();
    }
    if (pending_settle_) pending_settle_->fresh_install = true;
    if (when == Settle::NOW) settle();
    logger().info("Successfully installed and started service: {}", service_name());
}

void ServiceManagerBackend::fail_install() {
    using exceptions::ServiceOperation;
    using exceptions::ServiceOperationError;
    // The failure is logged by the step that raised it and reported by whoever catches it: here it
    // is only passed on.
    const std::string cause = describe_current_exception();
    logger().info("Installation failed, cleaning up");
    const std::string left = clean_up_failed_install();
    try {
        throw;
    } catch (const ServiceOperationError& error) {
        if (left.empty()) throw;
        // The same error, telling what stays; chained to what it was chained to.
        ServiceOperationError told(error.operation(), std::string(error.what()) + "; " + left);
        try {
            std::rethrow_if_nested(error);
        } catch (...) {
            std::throw_with_nested(told);
        }
        throw told;
    } catch (...) {
        std::string message = "Installation failed: " + cause;
        if (!left.empty()) message += "; " + left;
        std::throw_with_nested(ServiceOperationError(ServiceOperation::INSTALL, message));
    }
}

void ServiceManagerBackend::enable_and_start_installed(Settle when) {
    enable();
    // A start that found the service running leaves nothing to doubt; one that started it is
    // settled, which also tells one that never came up.
    start_and_settle(false, when);
}

std::string ServiceManagerBackend::clean_up_failed_install() noexcept {
    try {
        uninstall();
    } catch (...) {
        log_failed_clean_up();
    }
    return {};
}

void ServiceManagerBackend::log_failed_clean_up() const noexcept {
    logger().error("Cleanup after the failed installation failed too: {}", describe_current_exception());
}

}  // namespace vetra_service_manager::backends::base
