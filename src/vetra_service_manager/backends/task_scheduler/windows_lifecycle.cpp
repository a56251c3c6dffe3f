// The Windows backend's own actions of enable, disable, start and stop: one Task Scheduler call
// each (stop also ends the service process), and the watch of a start settling; the steps around
// them are the base's.
#include <system_error>

#include <fmt/format.h>

#include "vetra_service_manager/backends/task_scheduler/windows.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

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

void WindowsServiceManager::enable_service() {
    logger().info("Enabling the task");
    scheduler_call(logger(), ServiceOperation::ENABLE, "Failed to enable the service",
                   [&] { scheduler_->set_enabled(task_name(), true); });
}

void WindowsServiceManager::disable_service() {
    logger().info("Disabling the task");
    scheduler_call(logger(), ServiceOperation::DISABLE, "Failed to disable the service",
                   [&] { scheduler_->set_enabled(task_name(), false); });
}

void WindowsServiceManager::start_service(const StepReading& current) {
    // A supervisor that waits out its throttle before a restart holds the task's one instance, so
    // that running the task would start nothing: it is ended first, with anything it started.
    if (current.status.running_status == RunningStatus::RESTARTING) {
        logger().info("The supervisor runs without a service process: ending it to start afresh");
        stop_service(current);
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
}

std::optional<std::string> WindowsServiceManager::why_not_settled(std::chrono::steady_clock::time_point until) const {
    const auto first = service_process();
    if (!first) return why_not_running();
    const auto same = [&] {
        const auto now = service_process();
        return now && now->pid == first->pid && now->created == first->created;
    };
    if (_stays_up_until(same, until)) return std::nullopt;
    return fmt::format("the service process {} that the supervisor started has ended (see {})", first->pid,
                       platform::to_text(log_file()));
}

base::ServiceManagerBackend::StepReading WindowsServiceManager::read_step(ServiceOperation operation) const {
    StepReading reading = ServiceManagerBackend::read_step(operation);
    if (reading.status.installation_status == InstallationStatus::NOT_INSTALLED) reading.stoppable = leftovers().any();
    return reading;
}

WindowsServiceManager::Leftovers WindowsServiceManager::leftovers() const {
    if (!platform::files::exists(service_folder())) return {};
    return {service_process(), processes_->script_hosts(script_path())};
}

void WindowsServiceManager::terminate(std::uint32_t pid, platform::process_table::Instant created) {
    try {
        for (const auto& ended : processes_->terminate_tree(pid, created)) stopped_.push_back(ended);
    } catch (const std::system_error& error) {
        const std::string message = "Failed to terminate the service process: " + std::string(error.what());
        logger().error("{}", message);
        std::throw_with_nested(ServiceOperationError(ServiceOperation::STOP, message));
    }
}

void WindowsServiceManager::end_leftovers() {
    const auto left = leftovers();
    // The service process first: a supervisor would otherwise restart it after its throttle.
    if (left.process) {
        logger().info("No task, but service process {} still runs: terminating it", left.process->pid);
        terminate(left.process->pid, left.process->created);
    }
    for (const auto& supervisor : left.supervisors) {
        logger().info("No task, but its supervisor {} still runs: terminating it", supervisor.pid);
        terminate(supervisor.pid, supervisor.created);
    }
}

void WindowsServiceManager::stop_service(const StepReading&) {
    // What is ended is looked up right before it is ended.
    const auto task = find_task();
    if (!task) return end_leftovers();
    const auto process = task ? service_process() : std::nullopt;
    // A supervisor between two starts of the service process is stopped as well: left alone, it
    // would start the service again after its throttle.
    const bool supervisor_running = task && task->running;
    if (process) {
        logger().info("Terminating service process {} and its children", process->pid);
        terminate(process->pid, process->created);
    } else if (supervisor_running && task->instance_pid) {
        // Between two starts of the service process (the new one started, its PID not yet
        // recorded) only the supervisor knows it: ending the supervisor with its children
        // leaves nothing behind.
        const auto supervisor = *task->instance_pid;
        if (const auto created = processes_->creation_time(supervisor)) {
            logger().info("Terminating the supervisor {} and its children", supervisor);
            terminate(supervisor, *created);
        }
    }
    if (supervisor_running) {
        logger().info("Ending the task's running instance");
        scheduler_call(logger(), ServiceOperation::STOP, "Failed to end the task",
                       [&] { scheduler_->end(task_name()); });
    }
    _wait_for_service_status([](const ServiceStatus& s) { return s.running_status == RunningStatus::NOT_RUNNING; });
}

}  // namespace vetra_service_manager::backends::task_scheduler::windows
