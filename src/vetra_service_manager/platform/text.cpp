#include "vetra_service_manager/platform/text.hpp"

namespace vetra_service_manager::platform::text {

std::string_view without_trailing_space(std::string_view text) {
    const auto end = text.find_last_not_of(" \t\n\v\f\r");
    return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

}  // namespace vetra_service_manager::platform::text
