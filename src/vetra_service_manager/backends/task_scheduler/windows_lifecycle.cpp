// enable, disable, start and stop of the Windows backend: each reads the state first, skips or
// refuses when the service is already where it was asked to go, and otherwise makes one
// Task Scheduler call (stop also ends the service process).
#include <system_error>

#include <fmt/format.h>

#include "vetra_service_manager/backends/task_scheduler/windows.hpp"
#include "vetra_service_manager/exceptions.hpp"

namespace vetra_service_manager::backends::task_scheduler::windows {
namespace {

// Task Scheduler's answer is quoted in the error, as one line, like a tool's error output: the
// message then already says everything the user can act on.
template <typename Call>
void scheduler_call(spdlog::logger& logger, ServiceOperation operation, const std::string& failure, Call call) {
    try {
        call();
    } catch (const scheduler::TaskSchedulerError& error) {
        const std::string message = failure + ": " + error.what();
        logger.error("{}", message);
        throw ServiceOperationError(operation, message);
    }
}

}  // namespace

void WindowsServiceManager::enable(bool raise_if_already_enabled) {
    logger().info("Enabling service: {}", service_name());
    const auto current = status();
    if (current.installation_status == InstallationStatus::NOT_INSTALLED) {
        logger().warn("Service is not installed");
        throw exceptions::ServiceNotInstalledError();
    }
    if (current.enablement_status == EnablementStatus::ENABLED) {
        return skip_or_raise<exceptions::ServiceAlreadyEnabledError>(raise_if_already_enabled, "Service is already enabled");
    }
    logger().info("Enabling the task");
    scheduler_call(logger(), ServiceOperation::ENABLE, "Failed to enable the service",
                   [&] { scheduler_->set_enabled(task_name(), true); });
    logger().info("Service {} successfully enabled", service_name());
}

void WindowsServiceManager::disable(bool raise_if_already_disabled) {
    logger().info("Disabling service: {}", service_name());
    // Disabling a task leaves its running instance alone; take the service down first.
    stop();
    if (status().enablement_status == EnablementStatus::DISABLED) {
        return skip_or_raise<exceptions::ServiceAlreadyDisabledError>(raise_if_already_disabled, "Service is already disabled");
    }
    logger().info("Disabling the task");
    scheduler_call(logger(), ServiceOperation::DISABLE, "Failed to disable the service",
                   [&] { scheduler_->set_enabled(task_name(), false); });
    logger().info("Service {} successfully disabled", service_name());
}

void WindowsServiceManager::start(bool raise_if_already_running) {
    logger().info("Starting service: {}", service_name());
    const auto current = status();
    if (current.enablement_status == EnablementStatus::DISABLED) {
        logger().info("Service is disabled, enabling first");
        enable(false);
    }
    if (current.running_status == RunningStatus::RUNNING) {
        return skip_or_raise<exceptions::ServiceAlreadyRunningError>(raise_if_already_running, "Service is already running");
    }
    logger().info("Running the task");
    scheduler_call(logger(), ServiceOperation::START, "Failed to start the service",
                   [&] { scheduler_->run(task_name()); });
    if (!_wait_for_service_status([](const ServiceStatus& s) { return s.running_status == RunningStatus::RUNNING; },
                                  static_cast<int>(start_timeout_.count()))) {
        const std::string message = fmt::format("Failed to start the service: no service process after {}s; {}",
                                                start_timeout_.count(), why_not_running());
        logger().error("{}", message);
        throw ServiceOperationError(ServiceOperation::START, message);
    }
    logger().info("Service {} successfully started", service_name());
}

void WindowsServiceManager::stop(bool raise_if_already_stopped) {
    logger().info("Stopping service: {}", service_name());
    const auto task = find_task();
    const auto process = task ? service_process() : std::nullopt;
    // A supervisor between two starts of the service process is stopped as well: left alone, it
    // would start the service again after its throttle.
    const bool supervisor_running = task && task->running;
    if (!process && !supervisor_running) {
        return skip_or_raise<exceptions::ServiceAlreadyStoppedError>(raise_if_already_stopped, "Service is not running");
    }
    try {
        if (process) {
            logger().info("Terminating service process {} and its children", process->pid);
            processes_->terminate_tree(process->pid, process->created);
        } else if (supervisor_running && task->instance_pid) {
            // Between two starts of the service process (the new one started, its PID not yet
            // recorded) only the supervisor knows it: ending the supervisor with its children
            // leaves nothing behind.
            const auto supervisor = *task->instance_pid;
            if (const auto created = processes_->creation_time(supervisor)) {
                logger().info("Terminating the supervisor {} and its children", supervisor);
                processes_->terminate_tree(supervisor, *created);
            }
        }
    } catch (const std::system_error& error) {
        const std::string message = "Failed to terminate the service process: " + std::string(error.what());
        logger().error("{}", message);
        std::throw_with_nested(ServiceOperationError(ServiceOperation::STOP, message));
    }
    if (supervisor_running) {
        logger().info("Ending the task's running instance");
        scheduler_call(logger(), ServiceOperation::STOP, "Failed to end the task",
                       [&] { scheduler_->end(task_name()); });
    }
    _wait_for_service_status([](const ServiceStatus& s) { return s.running_status == RunningStatus::NOT_RUNNING; });
    logger().info("Service {} successfully stopped", service_name());
}

}  // namespace vetra_service_manager::backends::task_scheduler::windows
