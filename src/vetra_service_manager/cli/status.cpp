#include "vetra_service_manager/cli/status.hpp"

#include <iostream>

namespace vetra_service_manager::cli::status {

void add_arguments(CLI::App& parser, Options& args) {
    parser.add_flag("--json", args.json, "Output a JSON document instead of human-readable text");
}

int run(const Options&) {
    std::cout << "not implemented yet" << std::endl;
    return 1;
}

}  // namespace vetra_service_manager::cli::status
