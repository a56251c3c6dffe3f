#pragma once
// `restart [SERVICE...]`: Stop, then start installed services (e.g. to pick up a new runner environment).
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace vetra_service_manager::cli::restart {

struct Options {
    std::vector<std::string> services;
};

void add_arguments(CLI::App& parser, Options& args);
int run(const Options& args);

}  // namespace vetra_service_manager::cli::restart
