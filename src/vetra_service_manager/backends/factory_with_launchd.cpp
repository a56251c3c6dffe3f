// Builds that carry the launchd backend (macOS, and Linux where it is tested).
#include "vetra_service_manager/backends/factory.hpp"
#include "vetra_service_manager/backends/macos.hpp"
#include "vetra_service_manager/backends/unsupported.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::factory {

std::unique_ptr<base::ServiceManagerBackend> make_backend(const std::string& service_name,
                                                          const std::filesystem::path& app_dir) {
    if (platform::name() == "Darwin") return std::make_unique<macos::MacOSServiceManager>(service_name, app_dir);
    return std::make_unique<unsupported::UnsupportedServiceManager>(service_name, app_dir);
}

}  // namespace vetra_service_manager::backends::factory
