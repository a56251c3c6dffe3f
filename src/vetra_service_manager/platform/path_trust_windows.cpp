#include "vetra_service_manager/platform/path_trust.hpp"

namespace vetra_service_manager::platform::path_trust {

std::optional<std::string> first_untrusted(const std::filesystem::path&) { return std::nullopt; }
std::optional<std::string> first_untrusted_program(const std::filesystem::path&) { return std::nullopt; }

}  // namespace vetra_service_manager::platform::path_trust
