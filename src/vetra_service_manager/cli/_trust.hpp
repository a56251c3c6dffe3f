#pragma once
// What a command runs and where it writes must be the user's alone (platform::path_trust): the
// runner, the lock's directory, and each service's directories. State-changing commands refuse
// before they write or run anything; status only warns.
#include <optional>
#include <string>

#include "vetra_service_manager/backends/factory.hpp"

namespace vetra_service_manager::cli::_trust {

// "Refusing to run <runner>: <reason>" or "Refusing to use <directory>: <reason>" for the first
// place that fails, or nullopt; always nullopt on platforms whose places are checked otherwise.
std::optional<std::string> first_untrusted_place(const backends::factory::Command& command);

// Throws std::runtime_error with first_untrusted_place's line, if any, for a command of its own.
void refuse_untrusted_places();

}  // namespace vetra_service_manager::cli::_trust
