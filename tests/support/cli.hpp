#pragma once
// Runs the testing executable the way a user would, in the current environment.
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace vsm_test {

inline vetra_service_manager::platform::process::Captured run_cli(std::vector<std::string> args) {
    args.insert(args.begin(), testing_binary.string());
    return vetra_service_manager::platform::process::run_captured(args, std::chrono::seconds(60));
}

}  // namespace vsm_test
