#include "vetra_service_manager/backends/factory.hpp"
#include "vetra_service_manager/backends/task_scheduler/scheduler_com.hpp"
#include "vetra_service_manager/backends/task_scheduler/windows.hpp"
#include "vetra_service_manager/platform/account.hpp"
#include "vetra_service_manager/platform/process_table.hpp"

namespace vetra_service_manager::backends::factory {

std::unique_ptr<base::ServiceManagerBackend> make_task_scheduler_backend(const std::string& service_name,
                                                                         const std::filesystem::path& app_dir) {
    return std::make_unique<task_scheduler::windows::WindowsServiceManager>(service_name, app_dir, task_scheduler::scheduler_com::connect(),
                                                            platform::process_table::system_table(),
                                                            platform::account::current());
}

}  // namespace vetra_service_manager::backends::factory
