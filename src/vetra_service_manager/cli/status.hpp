#pragma once
// `status`: report runner + services + permissions state.
#include <CLI/CLI.hpp>

namespace vetra_service_manager::cli::status {

struct Options {
    bool json = false;
};

void add_arguments(CLI::App& parser, Options& args);
int run(const Options& args);

}  // namespace vetra_service_manager::cli::status
