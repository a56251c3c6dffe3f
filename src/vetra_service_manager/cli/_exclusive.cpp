#include "vetra_service_manager/cli/_exclusive.hpp"

#include <iostream>
#include <stdexcept>
#include <string>

#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/services/_paths.hpp"

namespace vetra_service_manager::cli::_exclusive {
namespace {

std::string who(const std::optional<long>& holder) {
    return holder ? " (process " + std::to_string(*holder) + ")" : "";
}

// An absolute directory named by `variable`: a relative one would depend on where we were started.
std::optional<std::filesystem::path> directory_from(const char* variable) {
    const auto value = platform::env(variable);
    if (!value || value->empty()) return std::nullopt;
    auto path = platform::from_text(*value);
    return path.is_absolute() ? std::optional(path) : std::nullopt;
}

std::filesystem::path lock_directory() {
    const platform::System system = platform::system();
    if (system == platform::System::windows) {
        if (auto local = directory_from("LOCALAPPDATA")) return *local;
        throw services::_paths::MissingEnvironmentVariable("LOCALAPPDATA");
    }
    if (auto runtime = directory_from("XDG_RUNTIME_DIR")) return *runtime;
    if (system == platform::System::macos) return platform::home_dir() / "Library" / "Caches";
    if (auto cache = directory_from("XDG_CACHE_HOME")) return *cache;
    return platform::home_dir() / ".cache";
}

}  // namespace

std::filesystem::path lock_path() {
    return lock_directory() / services::_paths::COMPANY_NAME / "vetra_service_manager.lock";
}

std::unique_ptr<platform::user_lock::Lock> hold() {
    const auto path = lock_path();
    try {
        return platform::user_lock::acquire(
            path, std::chrono::seconds(WAIT_SECONDS),
            [](std::optional<long> holder) {
                std::cerr << "Waiting for another vetra_service_manager command" << who(holder) << " to finish..."
                          << std::endl;
            },
            platform::interrupts::check);
    } catch (const platform::user_lock::Busy& busy) {
        throw std::runtime_error("another vetra_service_manager command" + who(busy.holder()) +
                                 " is still running after " + std::to_string(WAIT_SECONDS) +
                                 " s; try again once it has finished");
    }
}

}  // namespace vetra_service_manager::cli::_exclusive
