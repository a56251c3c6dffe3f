#include "vetra_service_manager/cli/dispatcher.hpp"

#include <exception>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "vetra_service_manager/cli/_exclusive.hpp"
#include "vetra_service_manager/cli/_trust.hpp"
#include "vetra_service_manager/cli/doctor.hpp"
#include "vetra_service_manager/cli/install.hpp"
#include "vetra_service_manager/cli/logs.hpp"
#include "vetra_service_manager/cli/restart.hpp"
#include "vetra_service_manager/cli/start.hpp"
#include "vetra_service_manager/cli/status.hpp"
#include "vetra_service_manager/cli/stop.hpp"
#include "vetra_service_manager/cli/uninstall.hpp"
#include "vetra_service_manager/config.hpp"
#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/platform/text.hpp"
#include "vetra_service_manager/version.hpp"

namespace vetra_service_manager::cli::dispatcher {
namespace {

// "error: <message>", then "  caused by: <message>" for each error it was chained to; a message
// that ends with a line break (a tool's, quoted) still takes one line, and a cause in the same
// words as the line before it adds nothing and is left out.
void print_error_chain(const std::exception& error, const char* prefix, const std::string& said = {}) {
    const std::string line(platform::text::without_trailing_space(error.what()));
    // Messages quote paths, versions and tools' words: none of their bytes may act on the terminal.
    if (line != said) std::cerr << prefix << platform::text::printable(line) << '\n';
    try {
        std::rethrow_if_nested(error);
    } catch (const std::exception& cause) {
        print_error_chain(cause, "  caused by: ", line);
    } catch (...) {
        std::cerr << "  caused by: unknown error\n";
    }
}

int run_subcommand(int argc, char** argv) {
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
    start::Options start_args;
    auto* start_cmd = app.add_subcommand(
        "start", "start installed services that are not running (default: all, in install order).");
    start::add_arguments(*start_cmd, start_args);
    stop::Options stop_args;
    auto* stop_cmd = app.add_subcommand(
        "stop", "stop running services (default: all, in uninstall order); they start again at the next login.");
    stop::add_arguments(*stop_cmd, stop_args);
    restart::Options restart_args;
    auto* restart_cmd =
        app.add_subcommand("restart", "stop, then start installed services (default: all, in install order).");
    restart::add_arguments(*restart_cmd, restart_args);
    logs::Options logs_args;
    auto* logs_cmd = app.add_subcommand(
        "logs", "show a service's recent output; with --follow, what it writes next until Ctrl-C.");
    logs::add_arguments(*logs_cmd, logs_args);
    doctor::Options doctor_args;
    auto* doctor_cmd =
        app.add_subcommand("doctor", "say why services do not run, and the command that fixes each finding.");
    doctor::add_arguments(*doctor_cmd, doctor_args);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // A word before any subcommand that names no subcommand, or no option when it starts with "-"
        // (CLI11 would only miss the subcommand).
        if (const auto extras = app.remaining(); app.get_subcommands().empty() && !extras.empty()) {
            const bool option = extras.front().starts_with('-');
            std::string names;
            if (option) {
                for (const auto* known : app.get_options()) names += (names.empty() ? "" : ", ") + known->get_name();
            } else {
                for (const auto* subcommand : {install_cmd, status_cmd, uninstall_cmd, start_cmd, stop_cmd, restart_cmd, logs_cmd, doctor_cmd})
                    names += (names.empty() ? "" : ", ") + subcommand->get_name();
            }
            std::cerr << "error: unknown " << (option ? "option" : "subcommand") << " '" << extras.front() << "'; the "
                      << (option ? "options before a subcommand" : "subcommands") << " are: " << names << '\n';
            return 2;
        }
        const int code = app.exit(error);
        return code == 0 ? 0 : 2;
    }

    try {
        logging::set_level(log_level);
        if (status_cmd->parsed()) return status::run(status_args);
        if (doctor_cmd->parsed()) return doctor::run(doctor_args);
        // From here an interrupt lets the command finish its current step (one service) first.
        platform::interrupts::catch_interrupts();
        if (logs_cmd->parsed()) return logs::run(logs_args);
        // Arguments are checked before the lock is taken: a command that fails on them creates nothing.
        if (install_cmd->parsed()) version::Version{install_args.version};
        // Nor is anything written, run or locked where another user could change it.
        _trust::refuse_untrusted_places();
        const auto lock = _exclusive::hold();
        const int status = install_cmd->parsed() ? install::run(install_args)
                           : start_cmd->parsed() ? start::run(start_args)
                           : stop_cmd->parsed()  ? stop::run(stop_args)
                           : restart_cmd->parsed() ? restart::run(restart_args)
                                                   : uninstall::run(uninstall_args);
        // An interrupt that came while the last step ran had nothing left to stop, but whoever sent
        // it (a script's `timeout`, a shell waiting after Ctrl-C) must still learn that it arrived.
        platform::interrupts::check();
        return status;
    } catch (const platform::interrupts::Interrupted& interrupted) {
        std::cout.flush();
        std::cerr << interrupted.what() << '\n';
        return interrupted.exit_status();
    } catch (const std::exception& error) {
        std::cout.flush();
        print_error_chain(error, "error: ");
    } catch (...) {
        std::cout.flush();
        std::cerr << "error: unknown error\n";
    }
    // A step that failed because the user interrupted it (its child ended by the same Ctrl-C).
    if (const int signal = platform::interrupts::received()) return 128 + signal;
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int status = run_subcommand(argc, argv);
    // What a command does does not depend on who reads its output: a reader that went away (or a
    // full disk) is told once, at the end, after the whole command has run.
    std::cout.flush();
    if (!std::cout.fail()) return status;
    std::cerr << "error: write error" << std::endl;
    return status == 0 ? 1 : status;
}

}  // namespace vetra_service_manager::cli::dispatcher
