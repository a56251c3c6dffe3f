#include "vetra_service_manager/cli/install.hpp"

#include <iostream>

#include "vetra_service_manager/config.hpp"

namespace vetra_service_manager::cli::install {

void add_arguments(CLI::App& parser, Options& args) {
    args.version = config::package_version();
    parser.add_option("--version", args.version,
                      "Version string written to the LaunchAgent plist (default: " + config::package_version() + ")");
    parser.add_option("--previous-binary", args.previous_binary,
                      "Path to a previous runner binary (typically inside an 'Vetra Service.app.previous' bundle "
                      "left by the postinstall) whose env should be migrated and removed. Migration carries over "
                      "user-installed extras (PyPI-only); editable installs are skipped with a notice.");
    parser.add_flag("--force", args.force,
                    "Re-install even if the previous bundle has the same CFBundleVersion as the current one. By "
                    "default, same-version installs are a no-op.");
}

int run(const Options&) {
    std::cout << "not implemented yet" << std::endl;
    return 1;
}

}  // namespace vetra_service_manager::cli::install
