// What `doctor` finds on Windows: how and when the task last ran, a PID file that names a process
// that has ended or belongs to another program, and what keeps the supervisor from running at all.
#include <system_error>

#include <fmt/format.h>

#include "vetra_service_manager/backends/task_scheduler/windows.hpp"
#include "vetra_service_manager/backends/task_scheduler/windows_formats.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::task_scheduler::windows {
namespace {
using diagnosis::Level;

// Task Scheduler's own result codes, and the common failures of the program it ran.
std::string last_run_in_words(std::uint32_t result) {
    switch (result) {
        case 0: return "its last run ended with exit code 0";
        case 0x00041301: return "it is running";
        case 0x00041303: return "it has not run yet";
        case 0x8004131F: return "a run was refused because an instance was already running";
        case 0x800710E0: return "the operator or administrator refused the run";
        case 0x80070002: return "its last run failed: the program it starts was not found";
        case 0x80070005: return "its last run failed: access denied";
        case 0xC000013A: return "its last run was ended by Ctrl-C or the console closing";
        default: break;
    }
    // The supervisor never ends by itself: any other code is a script error or wscript.exe stopped.
    return fmt::format("its last run ended with code 0x{:08X} (the supervisor ended)", result);
}

}  // namespace

diagnosis::Findings WindowsServiceManager::diagnose() const {
    diagnosis::Findings found = ServiceManagerBackend::diagnose();
    const auto task = find_task();
    if (!task || service_process()) return found;
    const std::string& name = service_name();
    if (!task->running) {
        std::string fact = "the task " + task_name_ + ": " + last_run_in_words(task->last_result);
        if (task->last_run_time && task->last_result != scheduler::RegisteredTask::TASK_HAS_NOT_RUN) {
            fact += " (it last started at " + diagnosis::moment(*task->last_run_time) + ")";
        }
        found.push_back({"last run", name, Level::OK, std::move(fact), std::nullopt});
    }
    std::optional<windows_formats::PidRecord> record;
    try {
        if (const auto content = platform::files::read_file(pid_file())) record = windows_formats::parse_pid_file(*content);
    } catch (const std::system_error&) {
    }
    if (!record) return found;
    const auto created = processes_->creation_time(record->pid);
    const std::string shown = platform::to_text(pid_file());
    // Without a creation date nothing tells whose the process is.
    if (created && !windows_formats::parse_wmi_datetime(record->created)) return found;
    if (!created) {
        found.push_back({"pid file", name, Level::WARNING,
                         fmt::format("{} names process {}, which no longer exists", shown, record->pid),
                         "vetra_service_manager restart " + name});
    } else {
        found.push_back({"pid file", name, Level::WARNING,
                         fmt::format("{} names process {}, which is another program's (created at another time)", shown,
                                     record->pid),
                         "vetra_service_manager restart " + name});
    }
    return found;
}

diagnosis::Findings WindowsServiceManager::diagnose_session() const {
    using platform::windows_host::ScriptHost;
    constexpr const char* SETTINGS = "Software\\Microsoft\\Windows Script Host\\Settings";
    diagnosis::Findings found;
    const ScriptHost script_host = host_->script_host();
    if (script_host == ScriptHost::ENABLED) {
        found.push_back({"script host", std::nullopt, Level::OK, "Windows Script Host is enabled", std::nullopt});
    } else {
        const bool user = script_host == ScriptHost::DISABLED_FOR_USER;
        const std::string key = std::string(user ? "HKCU\\" : "HKLM\\") + SETTINGS;
        found.push_back({"script host", std::nullopt, Level::PROBLEM,
                         fmt::format("Windows Script Host is turned off for {} (Enabled is 0 under {}): the supervisor "
                                     "cannot run",
                                     user ? "your account" : "this machine", key),
                         user ? fmt::format("reg delete \"{}\" /v Enabled /f", key)
                              : fmt::format("as an administrator: reg add \"{}\" /v Enabled /t REG_DWORD /d 1 /f", key)});
    }
    if (host_->vbscript_available()) {
        found.push_back({"vbscript", std::nullopt, Level::OK, "VBScript is installed", std::nullopt});
    } else {
        found.push_back({"vbscript", std::nullopt, Level::PROBLEM,
                         "VBScript is not installed (it is an optional feature of Windows): the supervisor cannot run",
                         "as an administrator: DISM /Online /Add-Capability /CapabilityName:VBSCRIPT~~~~"});
    }
    // The tasks' trigger is the user's logon, and they run with the logged-on user's token.
    try {
        if (host_->logged_on_interactively(account_.name)) {
            found.push_back({"logon session", std::nullopt, Level::OK,
                             account_.name + " is logged on: the tasks start at the logon", std::nullopt});
        } else {
            found.push_back({"logon session", std::nullopt, Level::PROBLEM,
                             account_.name + " is not logged on to Windows (no console or Remote Desktop session): "
                                             "the tasks start only when you log on",
                             "log on at the Windows sign-in screen or over Remote Desktop"});
        }
    } catch (const std::system_error& error) {
        found.push_back({"logon session", std::nullopt, Level::WARNING,
                         std::string("cannot tell whether you are logged on: ") + error.what(),
                         "check that you are signed in to Windows (Task Manager, Users)"});
    }
    return found;
}

}  // namespace vetra_service_manager::backends::task_scheduler::windows
