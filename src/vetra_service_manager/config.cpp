#include "vetra_service_manager/config.hpp"

#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::config {

const std::string& package_version() {
    static const std::string value = VSM_PACKAGE_VERSION;
    return value;
}

const std::filesystem::path& PlatformPath::resolve() const {
    const platform::System system = platform::system();
    if (system == platform::System::macos) return darwin;
    if (system == platform::System::windows) return windows;
    return linux;
}

}  // namespace vetra_service_manager::config
