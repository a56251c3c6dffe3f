#include "vetra_service_manager/cli/uninstall.hpp"

#include "vetra_service_manager/cli/_client_library.hpp"
#include "vetra_service_manager/cli/_output.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/text.hpp"
#include "vetra_service_manager/services/_paths.hpp"
#include "vetra_service_manager/services/registry.hpp"

namespace vetra_service_manager::cli::uninstall {
namespace fs = std::filesystem;
namespace registry = services::registry;

using _output::say;

void add_arguments(CLI::App& parser, Options& args) {
    parser.add_flag("--remove-data", args.remove_data,
                    "Also remove the App Group container (DESTRUCTIVE \u2014 irreversible)");
    parser.add_flag("--keep-cache", args.keep_cache, "Skip 'runner self remove'; leave pyapp's env on disk");
    parser.add_flag("--keep-binary", args.keep_binary, "Keep the runner .app bundle on disk");
}

int run(const Options& args) {
    say("Uninstalling Vetra services...");
    say("\nRemoving services...");
    const auto command = registry::command();
    std::vector<platform::process_table::Identity> stopped;
    // The reverse of the install order.
    for (const registry::RegistryEntry* entry : {&registry::sync_api, &registry::sync_agent}) {
        platform::interrupts::check();  // a removal once begun is completed
        auto handle = entry->get_service(command);
        const bool installed = handle.status().installation_status == InstallationStatus::INSTALLED;
        // Not installed, a backend may still find something of ours to remove: a unit file that
        // another program's unit of the same name outranks, what a task deleted by hand left running.
        handle.uninstall(/*raise_if_not_installed=*/false);
        for (const auto& process : handle.backend().stopped_processes()) stopped.push_back(process);
        say("  " + std::string(installed ? "\u2713 " : "- ") + entry->service_name() +
            (installed ? " removed" : " not installed"));
    }

    platform::interrupts::check();
    const auto runner_executable = services::_paths::default_runner_install_location().resolve();
    std::vector<std::string> incomplete;  // what stays that the user asked to be removed
    if (!args.remove_data) {
        say("\nKeeping user data (pass --remove-data to wipe).");
    } else if (const auto shared_data_dir = _client_library::load_shared_data_dir(); !shared_data_dir) {
        say("\nERROR: vetra_client not available \u2014 cannot resolve the shared data dir.");
        say("--remove-data was requested but NO user data was removed.");
        std::string places;
        for (const auto& path : _client_library::library_paths()) {
            places += (places.empty() ? "" : " and ") + platform::to_text(path);
        }
        say("  (the client library was looked for at " + places + ")");
        incomplete.push_back("user data");
    } else {
        const fs::path data_dir = shared_data_dir();
        bool present = false;
        try {
            present = platform::files::exists(data_dir);
        } catch (const fs::filesystem_error& error) {
            std::throw_with_nested(ServiceOperationError(ServiceOperation::UNINSTALL,
                                                         "Cannot check the user data dir " +
                                                             platform::to_text(data_dir) + ": " + error.code().message()));
        }
        if (present) {
            say("\nRemoving user data: " + platform::text::printable(platform::to_text(data_dir)));
            platform::files::remove_tree(data_dir);
        } else {
            say("\nUser data dir not present: " + platform::text::printable(platform::to_text(data_dir)));
        }
    }

    if (!(args.keep_cache && args.keep_binary)) {
        say("\nRemoving pyapp env / runner binary...");
        const auto resisted = _runnerops::teardown_runner(runner_executable, {services::_paths::get_service_dir()},
                                                          !args.keep_cache, !args.keep_binary, stopped);
        for (const auto& left : resisted) say("  \u2717 could not remove " + platform::text::printable(left));
        if (!resisted.empty()) incomplete.push_back("some of the runner's files");
        if (resisted.empty()) {
            say(platform::system() == platform::System::windows ? "  \u2713 scheduled (completes once this process exits)"
                                                                : "  \u2713 done");
        }
    }

    if (!incomplete.empty()) {
        std::string what = incomplete.front();
        for (std::size_t i = 1; i < incomplete.size(); ++i) what += " and " + incomplete[i];
        say("\nUninstall INCOMPLETE: " + what + " could not be removed (see above).");
        return 1;
    }
    say("\nUninstall complete.");
    return 0;
}

}  // namespace vetra_service_manager::cli::uninstall
