#pragma once
// A Task Scheduler held in memory, for driving the Windows backend where there is none. Each call
// acts on `tasks` as the real scheduler acts on its store; calls on a missing task fail as there.
#include <functional>
#include <map>

#include "vetra_service_manager/backends/task_scheduler/scheduler.hpp"

namespace vetra_service_manager::backends::task_scheduler::scheduler_memory {

class InMemoryTaskScheduler : public scheduler::TaskScheduler {
public:
    void register_task(const std::string& name, const std::string& xml) override;
    std::optional<scheduler::RegisteredTask> find(const std::string& name) const override;
    void run(const std::string& name) override;
    void end(const std::string& name) override;
    void set_enabled(const std::string& name, bool enabled) override;
    void remove(const std::string& name) override;

    std::map<std::string, scheduler::RegisteredTask> tasks;
    // What a started or ended instance does (a test plays the supervisor here); either may throw
    // TaskSchedulerError to make the call fail.
    std::function<void(const std::string& name)> on_run;
    std::function<void(const std::string& name)> on_end;
    std::function<void(const std::string& name)> on_remove;

private:
    scheduler::RegisteredTask& existing(const std::string& call, const std::string& name);
};

}  // namespace vetra_service_manager::backends::task_scheduler::scheduler_memory
