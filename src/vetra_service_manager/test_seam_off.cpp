#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::platform {

std::optional<std::string> test_override(std::string_view) { return std::nullopt; }

}  // namespace vetra_service_manager::platform
