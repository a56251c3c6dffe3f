#include "vetra_service_manager/backends/factory.hpp"
#include "vetra_service_manager/backends/launchd/macos.hpp"

namespace vetra_service_manager::backends::factory {

std::unique_ptr<base::ServiceManagerBackend> make_launchd_backend(const std::string& service_name,
                                                                  const std::filesystem::path& app_dir) {
    return std::make_unique<launchd::macos::MacOSServiceManager>(service_name, app_dir);
}

}  // namespace vetra_service_manager::backends::factory
