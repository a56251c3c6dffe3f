#include "vetra_service_manager/cli/uninstall.hpp"

#include <iostream>

namespace vetra_service_manager::cli::uninstall {

void add_arguments(CLI::App& parser, Options& args) {
    parser.add_flag("--remove-data", args.remove_data,
                    "Also remove the App Group container (DESTRUCTIVE \u2014 irreversible)");
    parser.add_flag("--keep-cache", args.keep_cache, "Skip 'runner self remove'; leave pyapp's env on disk");
    parser.add_flag("--keep-binary", args.keep_binary, "Keep the runner .app bundle on disk");
}

int run(const Options&) {
    std::cout << "not implemented yet" << std::endl;
    return 1;
}

}  // namespace vetra_service_manager::cli::uninstall
