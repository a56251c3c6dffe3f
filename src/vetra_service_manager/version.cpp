#include "vetra_service_manager/version.hpp"

namespace vetra_service_manager::version {

InvalidVersion::InvalidVersion(std::string_view input)
    : std::invalid_argument("Invalid version: '" + std::string(input) + "'") {}

// Placeholder until the full grammar lands: accepts anything non-empty.
Version::Version(std::string_view text) : normalized_(text) {
    if (normalized_.empty()) throw InvalidVersion(text);
}

std::ostream& operator<<(std::ostream& out, const Version& value) { return out << value.str(); }

}  // namespace vetra_service_manager::version
