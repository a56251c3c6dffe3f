#pragma once
// `doctor`: why a service does not run, and the command that fixes it. Only reads, like status.
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace vetra_service_manager::cli::doctor {

struct Options {
    bool json = false;
    std::vector<std::string> services;  // display names; none: all
};

void add_arguments(CLI::App& parser, Options& args);
// 0 when nothing found is a problem, else 1.
int run(const Options& args);

}  // namespace vetra_service_manager::cli::doctor
