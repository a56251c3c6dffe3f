#pragma once
// What install adds to its lines when the result is not quite what was asked for.
#include <optional>
#include <string>
#include <vector>

#include "vetra_service_manager/services/registry.hpp"
#include "vetra_service_manager/version.hpp"

namespace vetra_service_manager::cli::_install_notes {

// Read once the service is installed: one that already was, with another version, keeps its
// definition, and the user must learn that the version asked for did not arrive. A fresh
// definition records `asked`: nothing then.
std::optional<std::string> kept_version(const services::registry::ServiceHandle& service,
                                        const version::Version& asked);
// What the backend warns of once install is done (Linux: lingering off), one line each.
std::vector<std::string> session_warnings(const backends::factory::Command& command);

}  // namespace vetra_service_manager::cli::_install_notes
