#include "vetra_service_manager/services/_paths.hpp"

#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::services::_paths {
namespace fs = std::filesystem;

MissingEnvironmentVariable::MissingEnvironmentVariable(const std::string& variable)
    : std::runtime_error("Environment variable " + variable + " is not set to an absolute path") {}

namespace {

fs::path linux_data_dir() {
    if (auto xdg = platform::directory_env("XDG_DATA_HOME")) return *xdg;
    return platform::home_dir() / ".local" / "share";
}

}  // namespace

fs::path get_service_dir() {
    switch (platform::system()) {
        case platform::System::macos:
            return platform::home_dir() / "Library" / "Application Support" / COMPANY_NAME / "services";
        case platform::System::linux:
            return linux_data_dir() / COMPANY_NAME / "services";
        case platform::System::windows: {
            auto local = platform::directory_env("LOCALAPPDATA");
            if (!local) throw MissingEnvironmentVariable("LOCALAPPDATA");
            return *local / COMPANY_NAME / "services";
        }
        case platform::System::other:
            break;
    }
    throw std::invalid_argument("Unsupported platform: " + platform::name());
}

fs::path ensure_service_dir() {
    fs::path dir = get_service_dir();
    platform::files::ensure_private_directory(dir);
    return dir;
}

config::PlatformPath default_runner_install_location() {
    const fs::path home = platform::home_dir();
    const fs::path linux_data = linux_data_dir();
    const fs::path windows_data = [&] {
        if (auto local = platform::directory_env("LOCALAPPDATA")) return *local;
        return home / "AppData" / "Local";
    }();
    return config::PlatformPath{
        .darwin = home / "Applications" / COMPANY_NAME / "Vetra Service.app" / "Contents" / "MacOS" /
                  "vetra_service_runner",
        .linux = linux_data / COMPANY_NAME / "services" / "vetra_service_runner",
        .windows = windows_data / COMPANY_NAME / "services" / "vetra_service_runner.exe",
    };
}

}  // namespace vetra_service_manager::services::_paths
