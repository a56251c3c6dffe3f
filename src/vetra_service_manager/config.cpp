#include "vetra_service_manager/config.hpp"

#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::config {

const std::string& package_version() {
    static const std::string value = VSM_PACKAGE_VERSION;
    return value;
}

const std::filesystem::path& PlatformPath::resolve() const {
    const std::string system = platform::name();
    if (system == "Darwin") return darwin;
    if (system == "Windows") return windows;
    return linux;
}

}  // namespace vetra_service_manager::config
