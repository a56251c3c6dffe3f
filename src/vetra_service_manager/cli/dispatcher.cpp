#include "vetra_service_manager/cli/dispatcher.hpp"

#include <cctype>
#include <exception>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "vetra_service_manager/cli/install.hpp"
#include "vetra_service_manager/cli/status.hpp"
#include "vetra_service_manager/cli/uninstall.hpp"
#include "vetra_service_manager/config.hpp"
#include "vetra_service_manager/logging.hpp"

namespace vetra_service_manager::cli::dispatcher {
namespace {

std::string one_line(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

// "error: <message>", then "  caused by: <message>" for each error it was chained to.
void print_error_chain(const std::exception& error, const char* prefix) {
    std::cerr << prefix << one_line(error.what()) << '\n';
    try {
        std::rethrow_if_nested(error);
    } catch (const std::exception& cause) {
        print_error_chain(cause, "  caused by: ");
    } catch (...) {
        std::cerr << "  caused by: unknown error\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Registers, starts, reports on and removes the Vetra background services of this user.",
                 "vetra_service_manager"};
    app.require_subcommand(1, 1);
    app.set_version_flag("--version", config::package_version());
    std::string log_level = "warning";
    app.add_option("--log-level", log_level, "Log level: debug, info, warning or error (default: warning)")
        ->check(CLI::IsMember({"debug", "info", "warning", "error"}, CLI::ignore_case));

    install::Options install_args;
    auto* install_cmd = app.add_subcommand("install", "register services, optionally migrate from a previous install.");
    install::add_arguments(*install_cmd, install_args);
    status::Options status_args;
    auto* status_cmd = app.add_subcommand("status", "report runner + services + permissions state.");
    status::add_arguments(*status_cmd, status_args);
    uninstall::Options uninstall_args;
    auto* uninstall_cmd =
        app.add_subcommand("uninstall", "stop services, remove plists, optional teardown of bundle/env/data.");
    uninstall::add_arguments(*uninstall_cmd, uninstall_args);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : 2;
    }

    try {
        logging::set_level(log_level);
        if (install_cmd->parsed()) return install::run(install_args);
        if (status_cmd->parsed()) return status::run(status_args);
        return uninstall::run(uninstall_args);
    } catch (const std::exception& error) {
        std::cout.flush();
        print_error_chain(error, "error: ");
    } catch (...) {
        std::cout.flush();
        std::cerr << "error: unknown error\n";
    }
    return 1;
}

}  // namespace vetra_service_manager::cli::dispatcher
