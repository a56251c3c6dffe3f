#pragma once
// `logs [SERVICE] [-n N] [-f|--follow]`: a service's recent output and, when following, what it
// writes next until interrupted.
#include <string>

#include <CLI/CLI.hpp>

namespace vetra_service_manager::cli::logs {

inline constexpr int DEFAULT_LINES = 50;
// More lines than anyone reads on a terminal, few enough to hold in memory.
inline constexpr int MAX_LINES = 100000;

struct Options {
    std::string service = "vetra_sync_agent";
    int lines = DEFAULT_LINES;
    bool follow = false;
};

void add_arguments(CLI::App& parser, Options& args);
// Shows the backend's log files, each under a heading, or hands the terminal over to the
// system's own log viewer. A service without logs is told in one line, exit 0. Following files
// ends at an interrupt, with 128 + its number; a viewer gets the interrupt, and its exit status
// is ours.
int run(const Options& args);

}  // namespace vetra_service_manager::cli::logs
