#pragma once
// `install`: register services, optionally migrate from a previous install.
#include <filesystem>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace vetra_service_manager::cli::install {

struct Options {
    std::string version;
    std::optional<std::filesystem::path> previous_binary;
    bool force = false;
};

void add_arguments(CLI::App& parser, Options& args);
int run(const Options& args);

}  // namespace vetra_service_manager::cli::install
