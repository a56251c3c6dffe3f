#pragma once
// What the runner-operation files share and nobody else needs.
#include <string>

#include <spdlog/spdlog.h>

#include "vetra_service_manager/platform/process.hpp"

namespace vetra_service_manager::cli::_runnerops::detail {

spdlog::logger& logger();

// "exit status 1", "terminated by signal 9", "timed out after 60s": why a runner command failed.
std::string describe_failure(const platform::process::Completed& result, int timeout_seconds);

}  // namespace vetra_service_manager::cli::_runnerops::detail
