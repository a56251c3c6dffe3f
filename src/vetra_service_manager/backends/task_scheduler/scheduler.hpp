#pragma once
// The few Task Scheduler calls the Windows backend makes, behind an interface of our own: the
// backend's logic runs against the in-memory scheduler (scheduler_memory) in tests, and only
// the COM implementation (scheduler_com) needs Windows. Tasks live in the root folder.
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace vetra_service_manager::backends::task_scheduler::scheduler {

// A call failed. what() is one line naming the call, the task and the system's own message with
// its code, e.g. "Cannot run task x: Not implemented (0x80004001)".
class TaskSchedulerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RegisteredTask {
    std::string xml;       // the definition as Task Scheduler gives it back
    bool enabled = false;
    bool running = false;  // an instance of the task is running
    // How the last run ended: the exit code of the program the task ran, or one of Task
    // Scheduler's own codes (TASK_HAS_NOT_RUN, TASK_RUNNING below).
    std::uint32_t last_result = TASK_HAS_NOT_RUN;
    // When the last run started; nullopt when the task has not run.
    std::optional<std::chrono::system_clock::time_point> last_run_time;
    // The process ID of the running instance's program (the supervisor's wscript.exe), when known.
    std::optional<std::uint32_t> instance_pid;

    static constexpr std::uint32_t TASK_RUNNING = 0x00041301;
    static constexpr std::uint32_t TASK_HAS_NOT_RUN = 0x00041303;
};

class TaskScheduler {
public:
    virtual ~TaskScheduler() = default;
    // Creates the task, or replaces one of that name, to run as the interactive user.
    virtual void register_task(const std::string& name, const std::string& xml) = 0;
    // nullopt when no task of that name exists.
    virtual std::optional<RegisteredTask> find(const std::string& name) const = 0;
    virtual void run(const std::string& name) = 0;
    // Ends the task's running instance.
    virtual void end(const std::string& name) = 0;
    virtual void set_enabled(const std::string& name, bool enabled) = 0;
    virtual void remove(const std::string& name) = 0;
};

}  // namespace vetra_service_manager::backends::task_scheduler::scheduler
