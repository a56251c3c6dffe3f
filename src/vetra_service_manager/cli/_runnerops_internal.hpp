#pragma once
// What the runner-operation files share and nobody else needs.
#include <filesystem>
#include <string>

#include <spdlog/spdlog.h>

#include "vetra_service_manager/platform/process.hpp"

namespace vetra_service_manager::cli::_runnerops::detail {

spdlog::logger& logger();

// The runner as the process layer must see it: a path, never a bare name that the search path
// would resolve to some other program ("myrunner" is ./myrunner).
std::string runner_program(const std::filesystem::path& runner);

// Where every runner command starts: the runner's own directory, so that nothing in the directory
// the manager was started from (a shared one, say) can reach the runner's environment.
std::filesystem::path runner_directory(const std::filesystem::path& runner);

// "exit status 1", "terminated by signal 9", "timed out after 60s": why a runner command failed.
std::string describe_failure(const platform::process::Completed& result, int timeout_seconds);

}  // namespace vetra_service_manager::cli::_runnerops::detail
