#pragma once
// `status`: report runner + services + permissions state.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace vetra_service_manager::cli::status {

struct Options {
    bool json = false;
};

void add_arguments(CLI::App& parser, Options& args);
// runner_executable, runner_present, services (display name -> installed, enabled, running,
// version), full_disk_access; in that order.
nlohmann::ordered_json _collect();
int run(const Options& args);

}  // namespace vetra_service_manager::cli::status
