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

// Whether the previous runner's bundle and the current one report the same CFBundleVersion.
bool _versions_match(const std::filesystem::path& previous_binary);
// Carry user-installed PyPI extras from previous env, then remove previous env.
void _migrate_from_previous(const std::filesystem::path& previous_binary,
                            const std::filesystem::path& current_runner);

}  // namespace vetra_service_manager::cli::install
