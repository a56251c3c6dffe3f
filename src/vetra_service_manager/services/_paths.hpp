#pragma once
// Where, per platform, the per-user service files and the shared runner live.
#include <filesystem>
#include <stdexcept>
#include <string>

#include "vetra_service_manager/config.hpp"

namespace vetra_service_manager::services::_paths {

inline constexpr const char* COMPANY_NAME = "norvale";

// A variable that the platform's convention requires is not set.
class MissingEnvironmentVariable : public std::runtime_error {
public:
    explicit MissingEnvironmentVariable(const std::string& variable);
};

// ~/Library/Application Support/norvale/services, $XDG_DATA_HOME/norvale/services,
// %LOCALAPPDATA%\norvale\services. Throws std::invalid_argument "Unsupported platform: <name>"
// elsewhere, MissingEnvironmentVariable without an absolute LOCALAPPDATA on Windows. An empty or
// relative XDG_DATA_HOME counts as unset.
std::filesystem::path get_service_dir();
// get_service_dir(), created with its parents for the user alone if missing; refused (files::UnsafeDirectory)
// when it exists but others could change it.
std::filesystem::path ensure_service_dir();
// The runner's default location on every platform; never fails.
config::PlatformPath default_runner_install_location();

}  // namespace vetra_service_manager::services::_paths
