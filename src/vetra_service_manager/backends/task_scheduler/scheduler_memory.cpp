#include "vetra_service_manager/backends/task_scheduler/scheduler_memory.hpp"

namespace vetra_service_manager::backends::task_scheduler::scheduler_memory {
using scheduler::RegisteredTask;
using scheduler::TaskSchedulerError;

RegisteredTask& InMemoryTaskScheduler::existing(const std::string& call, const std::string& name) {
    const auto task = tasks.find(name);
    if (task == tasks.end()) {
        throw TaskSchedulerError("Cannot " + call + " task " + name + ": The system cannot find the file specified (0x80070002)");
    }
    return task->second;
}

void InMemoryTaskScheduler::register_task(const std::string& name, const std::string& xml) {
    auto& task = tasks[name];
    task.xml = xml;
    task.enabled = true;
}

std::optional<RegisteredTask> InMemoryTaskScheduler::find(const std::string& name) const {
    const auto task = tasks.find(name);
    if (task == tasks.end()) return std::nullopt;
    return task->second;
}

void InMemoryTaskScheduler::run(const std::string& name) {
    // Running before the hook, which may end the instance again (a supervisor that dies at once).
    auto& task = existing("run", name);
    // One instance at a time: a task that runs already starts no second one.
    if (task.running) return;
    task.running = true;
    task.last_result = RegisteredTask::TASK_RUNNING;
    task.last_run_time = std::chrono::system_clock::now();
    try {
        if (on_run) on_run(name);
    } catch (...) {
        existing("run", name).running = false;
        throw;
    }
}

void InMemoryTaskScheduler::end(const std::string& name) {
    existing("end", name);
    if (on_end) on_end(name);
    existing("end", name).running = false;
}

void InMemoryTaskScheduler::set_enabled(const std::string& name, bool enabled) {
    existing("change", name).enabled = enabled;
}

void InMemoryTaskScheduler::remove(const std::string& name) {
    existing("delete", name);
    if (on_remove) on_remove(name);
    tasks.erase(name);
}

}  // namespace vetra_service_manager::backends::task_scheduler::scheduler_memory
