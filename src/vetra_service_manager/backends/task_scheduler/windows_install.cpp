// install and uninstall of the Windows backend: the supervisor script in the service's folder,
// the task that runs it, and through the lifecycle operations the running service.

#include "vetra_service_manager/backends/task_scheduler/windows.hpp"
#include "vetra_service_manager/backends/task_scheduler/windows_formats.hpp"
#include "vetra_service_manager/backends/task_scheduler/wintpl.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/windows_command_line.hpp"

namespace vetra_service_manager::backends::task_scheduler::windows {
namespace fs = std::filesystem;
void WindowsServiceManager::write_script(const std::vector<std::string>& program_arguments) const {
    const std::string command = platform::windows_command_line::build(program_arguments);
    // WScript.Shell.Run expands %NAME% in the command it is given and offers no way to escape it.
    if (command.find('%') != std::string::npos) {
        throw ServiceOperationError(ServiceOperation::INSTALL,
                                    "The service's command line cannot contain '%' (Windows Script Host would expand "
                                    "it as an environment variable): " + command);
    }
    const std::string script = wintpl::fill_supervisor_template({
        .executable = command,
        .pid_file = platform::from_text(windows_formats::windows_path_text(pid_file())),
        .log_file = platform::from_text(windows_formats::windows_path_text(log_file())),
        .working_dir = platform::from_text(windows_formats::windows_path_text(app_dir())),
    });
    logger().info("Writing supervisor script: {}", platform::to_text(script_path()));
    // What the task runs must stay ours: refused in a folder that another account may change.
    try {
        platform::files::ensure_private_directory(app_dir());
        platform::files::ensure_private_directory(service_folder());
    } catch (const platform::files::UnsafeDirectory& error) {
        throw ServiceOperationError(ServiceOperation::INSTALL, error.what());
    }
    // Atomically, so that a failed write never leaves a truncated script for the task.
    platform::files::write_file_atomically(script_path(), windows_formats::utf16le_with_bom(script));
}

void WindowsServiceManager::remove_service_folder() const {
    if (!platform::files::exists(service_folder())) return;
    if (find_task()) {
        logger().error("The task {} could not be deleted: keeping the script it runs in {}", task_name(),
                       platform::to_text(service_folder()));
        return;
    }
    logger().info("Removing service folder: {}", platform::to_text(service_folder()));
    platform::files::remove_tree(service_folder());
}

void WindowsServiceManager::write_definition(const std::vector<std::string>& program_arguments,
                                             const version::Version& version) {
    write_script(program_arguments);
    const std::string xml =
        wintpl::create_scheduled_task_xml(service_name(), task_name(), version.str(),
                                          platform::from_text(windows_formats::windows_path_text(script_path())),
                                          account_.name, account_.sid);
    logger().info("Registering task: {}", task_name());
    try {
        scheduler_->register_task(task_name(), xml);
    } catch (const scheduler::TaskSchedulerError& error) {
        throw ServiceOperationError(ServiceOperation::INSTALL, std::string("Failed to register the task: ") + error.what());
    }
}

std::string WindowsServiceManager::clean_up_failed_install() noexcept {
    ServiceManagerBackend::clean_up_failed_install();
    try {
        // A task left without its script would run a missing file at every logon: the script goes
        // only with the task.
        if (find_task()) {
            return "the task " + task_name() + " could not be deleted, so it and its script in " +
                   platform::to_text(service_folder()) + " are left for uninstall";
        }
        // A task that was never registered leaves uninstall() nothing to do, but the script may exist.
        remove_service_folder();
    } catch (...) {
        log_failed_clean_up();
    }
    return {};
}

void WindowsServiceManager::uninstall(bool raise_if_not_installed) {
    logger().info("Uninstalling service: {}", service_name());
    if (status().installation_status == InstallationStatus::NOT_INSTALLED) {
        logger().info("Service {} is not installed", service_name());
        // A task deleted by hand leaves its folder, and may leave its supervisor and service
        // process running: they go all the same.
        if (platform::files::exists(service_folder())) {
            stop();
            remove_service_folder();
        }
        if (raise_if_not_installed) throw exceptions::ServiceNotInstalledError();
        logger().debug("Service is not installed, skipping");
        return;
    }
    stop();
    logger().info("Deleting task: {}", task_name());
    try {
        scheduler_->remove(task_name());
    } catch (const scheduler::TaskSchedulerError& error) {
        const std::string message = std::string("Failed to delete the task: ") + error.what();
        logger().error("{}", message);
        throw ServiceOperationError(ServiceOperation::UNINSTALL, message);
    }
    try {
        remove_service_folder();
    } catch (const std::exception& error) {
        const std::string message = std::string("Failed to delete the service folder: ") + error.what();
        logger().error("{}", message);
        std::throw_with_nested(ServiceOperationError(ServiceOperation::UNINSTALL, message));
    }
    logger().info("Service {} successfully uninstalled", service_name());
}

}  // namespace vetra_service_manager::backends::task_scheduler::windows
