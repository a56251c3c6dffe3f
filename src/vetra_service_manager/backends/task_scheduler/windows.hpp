#pragma once
// Windows service manager: one service as a per-user Task Scheduler task that runs the VBScript
// supervisor under wscript.exe; the supervisor starts the service process and records it in its
// PID file. The task is named "<service name>-<user SID>" (the task namespace is machine-wide);
// the script, PID file and supervisor log live in <app_dir>\<service name>\. Nothing needs
// administrator rights. Every question is asked afresh of Task Scheduler, the PID file and the
// process table; an instance remembers only its identity.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vetra_service_manager/backends/base.hpp"
#include "vetra_service_manager/backends/task_scheduler/scheduler.hpp"
#include "vetra_service_manager/platform/account.hpp"
#include "vetra_service_manager/platform/process_table.hpp"
#include "vetra_service_manager/platform/windows_host.hpp"

namespace vetra_service_manager::backends::task_scheduler::windows {

class WindowsServiceManager : public base::ServiceManagerBackend {
public:
    // Touches nothing on disk and registers nothing. `scheduler`: the command's connection, shared
    // by its services. `host`: what the machine says about running the supervisor at all (doctor
    // asks it). `start_timeout`: how long start() waits for
    // the service process before it reports the start as failed.
    WindowsServiceManager(std::string service_name, std::filesystem::path app_dir,
                          std::shared_ptr<scheduler::TaskScheduler> scheduler,
                          std::unique_ptr<platform::process_table::ProcessTable> processes,
                          platform::account::Account account,
                          std::shared_ptr<const platform::windows_host::Host> host,
                          std::chrono::seconds start_timeout = std::chrono::seconds(base::DEFAULT_STATUS_WAIT_TIMEOUT_SECONDS));

    void uninstall(bool raise_if_not_installed = false) override;
    // Installed: the task exists. Enabled: the task is. Running: the PID file names a live process
    // created at the instant it records; restarting: no such process, but the task's instance (the
    // supervisor) runs and will start one. Starts no process.
    status::ServiceStatus status() const override;
    // From the "version=" line of the task's description.
    std::optional<version::Version> version() const override;
    // The supervisor's log. It is UTF-16 LE with a byte-order mark (the script writes Unicode).
    std::vector<base::LogFile> log_files() const override;
    std::vector<platform::process_table::Identity> stopped_processes() const override { return stopped_; }
    // The task's last run result in words and a PID file that names a process gone or another
    // program's (windows_doctor.cpp).
    diagnosis::Findings diagnose() const override;
    // The script host turned off, no VBScript, no logon for the task's trigger.
    diagnosis::Findings diagnose_session() const override;

    // "<service name>-<user SID>"
    const std::string& task_name() const noexcept { return task_name_; }
    // <app_dir>\<service name>, absolute and normalised.
    const std::filesystem::path& service_folder() const noexcept { return service_folder_; }
    std::filesystem::path script_path() const { return service_folder_ / "supervisor.vbs"; }
    std::filesystem::path pid_file() const { return service_folder_ / "supervisor.pid"; }
    std::filesystem::path log_file() const { return service_folder_ / "supervisor.log"; }

private:
    void enable_service() override;
    void disable_service() override;
    // Runs the task, which starts the supervisor, which starts the service process. A service
    // process that has not appeared within the start time-out fails the start, with what the
    // task's last run result and the PID file tell about the reason.
    void start_service(const StepReading& current) override;
    // The service process (with what it started) first, then the task's instance, the supervisor:
    // a supervisor ended first would leave the service process running untracked.
    void stop_service(const StepReading& current) override;
    // The service process the PID file names must be the same one, still alive, until `until`: one
    // the supervisor started again in its place ended all the same.
    std::optional<std::string> why_not_settled(std::chrono::steady_clock::time_point until) const override;
    void write_definition(const std::vector<std::string>& program_arguments, const version::Version& version) override;
    std::string clean_up_failed_install() noexcept override;
    struct ServiceProcess {
        std::uint32_t pid;
        platform::process_table::Instant created;
    };
    std::optional<scheduler::RegisteredTask> find_task() const;
    // Without a task (one deleted by hand), what it may have left running is still stoppable: the
    // service process the PID file names and supervisors running our script.
    StepReading read_step(ServiceOperation operation) const override;
    struct Leftovers {
        std::optional<ServiceProcess> process;
        std::vector<platform::process_table::Identity> supervisors;
        bool any() const { return process || !supervisors.empty(); }
    };
    Leftovers leftovers() const;
    void end_leftovers();
    // Ends the process with what it started, if it is still the one created then, and remembers
    // what it ended; raises STOP's error when it cannot.
    void terminate(std::uint32_t pid, platform::process_table::Instant created);
    // The process the PID file names, when it runs and is the one recorded.
    std::optional<ServiceProcess> service_process() const;
    // One line on why the service process has not appeared.
    std::string why_not_running() const;
    void write_script(const std::vector<std::string>& program_arguments) const;
    // Only once the task is gone: a task left behind would run a script that no longer exists.
    void remove_service_folder() const;

    std::shared_ptr<scheduler::TaskScheduler> scheduler_;
    std::unique_ptr<platform::process_table::ProcessTable> processes_;
    platform::account::Account account_;
    std::shared_ptr<const platform::windows_host::Host> host_;
    std::string task_name_;
    std::filesystem::path service_folder_;
    std::chrono::seconds start_timeout_;
    std::vector<platform::process_table::Identity> stopped_;
};

}  // namespace vetra_service_manager::backends::task_scheduler::windows
