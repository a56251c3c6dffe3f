#pragma once
// `start [SERVICE...]`: Start installed services that are not running.
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace vetra_service_manager::cli::start {

struct Options {
    std::vector<std::string> services;
};

void add_arguments(CLI::App& parser, Options& args);
int run(const Options& args);

}  // namespace vetra_service_manager::cli::start
