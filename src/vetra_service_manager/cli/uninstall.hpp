#pragma once
// `uninstall`: stop services, remove plists, optional teardown of bundle/env/data.
#include <CLI/CLI.hpp>

namespace vetra_service_manager::cli::uninstall {

struct Options {
    bool remove_data = false;
    bool keep_cache = false;
    bool keep_binary = false;
};

void add_arguments(CLI::App& parser, Options& args);
int run(const Options& args);

}  // namespace vetra_service_manager::cli::uninstall
