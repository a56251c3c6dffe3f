// Identity, status queries, the installed version and the status wait of the Windows backend.
#include "vetra_service_manager/backends/task_scheduler/windows.hpp"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "vetra_service_manager/backends/task_scheduler/windows_formats.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::task_scheduler::windows {
namespace fs = std::filesystem;
namespace {

constexpr const char* LOGGER_NAME = "vetra_service_manager.backends.task_scheduler.windows";

fs::path normalised_folder(const fs::path& app_dir, const std::string& service_name) {
    fs::path folder = fs::absolute(app_dir / service_name).lexically_normal();
    if (!folder.has_filename()) folder = folder.parent_path();
    return folder;
}

}  // namespace

WindowsServiceManager::WindowsServiceManager(std::string service_name, fs::path app_dir,
                                             std::shared_ptr<scheduler::TaskScheduler> scheduler,
                                             std::unique_ptr<platform::process_table::ProcessTable> processes,
                                             platform::account::Account account,
                                             std::shared_ptr<const platform::windows_host::Host> host,
                                             std::chrono::seconds start_timeout)
    : ServiceManagerBackend(std::move(service_name), std::move(app_dir), logging::get_logger(LOGGER_NAME)),
      scheduler_(std::move(scheduler)),
      processes_(std::move(processes)),
      account_(std::move(account)),
      host_(std::move(host)),
      task_name_(this->service_name() + "-" + account_.sid),
      service_folder_(normalised_folder(this->app_dir(), this->service_name())),
      start_timeout_(start_timeout) {
    logger().info("WindowsServiceManager initialized for service: {}", this->service_name());
    logger().debug("task_name: {}, service folder: {}", task_name_, platform::to_text(service_folder_));
}

std::vector<base::LogFile> WindowsServiceManager::log_files() const { return {{"supervisor.log", log_file()}}; }

std::optional<scheduler::RegisteredTask> WindowsServiceManager::find_task() const {
    try {
        return scheduler_->find(task_name_);
    } catch (const scheduler::TaskSchedulerError& error) {
        logger().error("Failed to query the task: {}", error.what());
        throw ServiceOperationError(ServiceOperation::GET_STATUS, std::string("Failed to query the task: ") + error.what());
    }
}

std::optional<WindowsServiceManager::ServiceProcess> WindowsServiceManager::service_process() const {
    const fs::path path = pid_file();
    std::optional<std::string> content;
    try {
        content = platform::files::read_file(path);
    } catch (const std::system_error&) {
        // The supervisor may be rewriting it at this very moment; the next reading will tell.
        logger().warn("Cannot read the PID file {}", platform::to_text(path));
        return std::nullopt;
    }
    if (!content) {
        logger().debug("No PID file, service is not running");
        return std::nullopt;
    }
    const auto record = windows_formats::parse_pid_file(*content);
    if (!record) {
        logger().debug("PID file is corrupt, service is not running");
        return std::nullopt;
    }
    // Without the recorded creation time nothing shows that the ID still names our process.
    const auto recorded = windows_formats::parse_wmi_datetime(record->created);
    if (!recorded) {
        logger().debug("PID file records no usable creation date ({}), service is not running", record->created);
        return std::nullopt;
    }
    const auto created = processes_->creation_time(record->pid);
    if (!created) {
        logger().debug("Service process {} is not running", record->pid);
        return std::nullopt;
    }
    if (!platform::process_table::same_instant(*created, *recorded)) {
        logger().debug("Process {} is not the service process (creation time differs)", record->pid);
        return std::nullopt;
    }
    return ServiceProcess{record->pid, *created};
}

std::string WindowsServiceManager::why_not_running() const {
    const std::string log = " (see " + platform::to_text(log_file()) + ")";
    const auto task = find_task();
    if (!task) return "its task no longer exists";
    if (!task->running) {
        if (task->last_result == scheduler::RegisteredTask::TASK_HAS_NOT_RUN) return "the task has not run";
        // The supervisor never ends on its own: a script error, a Script Host disabled by policy or
        // a wscript.exe blocked by a security program ends it with a failure code.
        return fmt::format("the supervisor ended with code 0x{:08X}", task->last_result) + log;
    }
    std::optional<windows_formats::PidRecord> record;
    try {
        if (const auto content = platform::files::read_file(pid_file())) record = windows_formats::parse_pid_file(*content);
    } catch (const std::system_error&) {
    }
    if (!record) return "the supervisor runs but has recorded no service process" + log;
    return fmt::format("the service process {} that the supervisor started is not running", record->pid) + log;
}

status::ServiceStatus WindowsServiceManager::status() const {
    logger().debug("Checking status of service: {}", service_name());
    ServiceStatus result{InstallationStatus::NOT_INSTALLED, EnablementStatus::DISABLED, RunningStatus::NOT_RUNNING};
    const auto task = find_task();
    if (!task) return result;

    logger().debug("Task exists, service is installed");
    result.installation_status = InstallationStatus::INSTALLED;
    result.enablement_status = task->enabled ? EnablementStatus::ENABLED : EnablementStatus::DISABLED;
    if (service_process()) {
        logger().debug("Service is running");
        result.running_status = RunningStatus::RUNNING;
    } else if (task->running) {
        logger().debug("The supervisor runs without a service process: it starts one after its throttle");
        result.running_status = RunningStatus::RESTARTING;
    }
    logger().info("Service {} status: {}", service_name(), status::to_string(result));
    return result;
}

std::optional<version::Version> WindowsServiceManager::version() const {
    const std::string failure = "Failed to read version from task: ";
    try {
        logger().debug("Reading version from task: {}", task_name_);
        const auto task = scheduler_->find(task_name_);
        if (!task) {
            logger().warn("Task not found, service may not be installed");
            return std::nullopt;
        }
        const auto value = windows_formats::description_version(task->xml);
        if (value && !value->empty()) {
            logger().debug("Version found in task: {}", *value);
            return version::Version(*value);
        }
        logger().error("{}version line missing", failure);
        throw ServiceOperationError(ServiceOperation::GET_VERSION, failure + "version line missing");
    } catch (const ServiceOperationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().error("{}{}", failure, error.what());
        std::throw_with_nested(ServiceOperationError(ServiceOperation::GET_VERSION, failure + error.what()));
    }
}

}  // namespace vetra_service_manager::backends::task_scheduler::windows
