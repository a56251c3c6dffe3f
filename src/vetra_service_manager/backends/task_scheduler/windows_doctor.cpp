// What `doctor` finds on Windows: how the task last ended, in words, and a PID file that names a
// process that has ended or belongs to another program.
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
        found.push_back({"last run", name, Level::OK, "the task " + task_name_ + ": " + last_run_in_words(task->last_result),
                         std::nullopt});
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

}  // namespace vetra_service_manager::backends::task_scheduler::windows
