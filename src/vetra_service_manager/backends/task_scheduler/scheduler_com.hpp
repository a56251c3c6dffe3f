#pragma once
// The Task Scheduler 2.0 COM API behind the task_scheduler interface (Windows only). Errors are
// TaskSchedulerError with the HRESULT as one readable line.
#include <memory>

#include "vetra_service_manager/backends/task_scheduler/scheduler.hpp"

namespace vetra_service_manager::backends::task_scheduler::scheduler_com {

// Connected to the local Task Scheduler service, on the root folder. COM stays initialised on the
// calling thread for the life of the result.
std::unique_ptr<scheduler::TaskScheduler> connect();

}  // namespace vetra_service_manager::backends::task_scheduler::scheduler_com
