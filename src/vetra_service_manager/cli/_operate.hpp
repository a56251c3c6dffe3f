#pragma once
// What start, stop and restart share: the SERVICE... arguments and one line per service.
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace vetra_service_manager::cli::_operate {

enum class Action { START, STOP, RESTART };

// SERVICE...: display names; an unknown one is a usage error that lists the valid names.
void add_service_arguments(CLI::App& parser, std::vector<std::string>& services);

// Applies `action` to the named services, or to all of them (install order; stop: the reverse),
// in that order and each once. Prints one line per service, a start's once it has settled (the
// next service is meanwhile acted on). Returns 1 when one was not installed (after handling the
// others), else 0. A start that did not stay up raises its error once the others were handled.
// Stops with platform::interrupts::Interrupted between services once interrupted.
int run(Action action, const std::vector<std::string>& services);

}  // namespace vetra_service_manager::cli::_operate
