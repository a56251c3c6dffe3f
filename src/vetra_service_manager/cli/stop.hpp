#pragma once
// `stop [SERVICE...]`: Stop running services; they stay installed and start again at the next login.
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace vetra_service_manager::cli::stop {

struct Options {
    std::vector<std::string> services;
};

void add_arguments(CLI::App& parser, Options& args);
int run(const Options& args);

}  // namespace vetra_service_manager::cli::stop
