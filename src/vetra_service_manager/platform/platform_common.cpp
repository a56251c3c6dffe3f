#include <algorithm>
#include <cctype>

#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::platform {

std::string native_name();  // per-platform file

std::string name() {
    if (auto forced = test_override("VSM_TEST_PLATFORM"); forced && !forced->empty()) return *forced;
    return native_name();
}

std::optional<std::filesystem::path> directory_env(std::string_view variable) {
    const auto value = env(variable);
    if (!value) return std::nullopt;
    std::filesystem::path path = from_text(*value);
    if (!path.is_absolute()) return std::nullopt;
    return path;
}

std::string identifier() {
    const std::string system = name();
    if (system == "Windows") return "win32";
    std::string lowered = system;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered;
}

}  // namespace vetra_service_manager::platform
