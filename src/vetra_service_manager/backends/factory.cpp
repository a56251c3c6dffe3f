#include "vetra_service_manager/backends/factory.hpp"

#include "vetra_service_manager/backends/unsupported.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::factory {

std::unique_ptr<base::ServiceManagerBackend> make_backend(const std::string& service_name,
                                                          const std::filesystem::path& app_dir) {
    const std::string system = platform::name();
    std::unique_ptr<base::ServiceManagerBackend> backend;
    if (system == "Darwin") backend = make_launchd_backend(service_name, app_dir);
    if (system == "Linux") backend = make_systemd_backend(service_name, app_dir);
    if (system == "Windows") backend = make_task_scheduler_backend(service_name, app_dir);
    if (!backend) backend = std::make_unique<unsupported::UnsupportedServiceManager>(service_name, app_dir);
    return backend;
}

}  // namespace vetra_service_manager::backends::factory
