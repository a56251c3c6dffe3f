// Builds without the launchd backend (Windows): no platform there can register services yet.
#include "vetra_service_manager/backends/factory.hpp"
#include "vetra_service_manager/backends/unsupported.hpp"

namespace vetra_service_manager::backends::factory {

std::unique_ptr<base::ServiceManagerBackend> make_backend(const std::string& service_name,
                                                          const std::filesystem::path& app_dir) {
    return std::make_unique<unsupported::UnsupportedServiceManager>(service_name, app_dir);
}

}  // namespace vetra_service_manager::backends::factory
