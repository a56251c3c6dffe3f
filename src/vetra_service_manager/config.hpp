#pragma once
// Configuration values of the manager itself: its version and the per-platform runner paths.
#include <filesystem>
#include <string>

namespace vetra_service_manager::config {

// The manager's own version, from the build.
const std::string& package_version();

// One path per platform; resolve() picks the running platform's (Linux's on any other POSIX system).
struct PlatformPath {
    std::filesystem::path darwin;
    std::filesystem::path linux;
    std::filesystem::path windows;

    const std::filesystem::path& resolve() const;
};

}  // namespace vetra_service_manager::config
