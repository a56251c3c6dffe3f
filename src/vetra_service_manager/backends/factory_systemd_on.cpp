#include "vetra_service_manager/backends/factory.hpp"
#include "vetra_service_manager/backends/systemd/linux.hpp"

namespace vetra_service_manager::backends::factory {

std::unique_ptr<base::ServiceManagerBackend> make_systemd_backend(const std::string& service_name,
                                                                  const std::filesystem::path& app_dir) {
    return std::make_unique<systemd::linux::LinuxServiceManager>(service_name, app_dir);
}

}  // namespace vetra_service_manager::backends::factory
