#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::platform {

std::string native_name();  // per-platform file

std::string name() {
    if (auto forced = test_override("VSM_TEST_PLATFORM"); forced && !forced->empty()) return *forced;
    return native_name();
}

System system() {
    const std::string kernel = name();
    if (kernel == "Darwin") return System::macos;
    if (kernel == "Linux") return System::linux;
    if (kernel == "Windows") return System::windows;
    return System::other;
}

std::optional<std::filesystem::path> directory_env(std::string_view variable) {
    const auto value = env(variable);
    if (!value) return std::nullopt;
    std::filesystem::path path = from_text(*value);
    if (!path.is_absolute()) return std::nullopt;
    return path;
}

}  // namespace vetra_service_manager::platform
