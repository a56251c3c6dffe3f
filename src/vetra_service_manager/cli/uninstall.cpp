#include "vetra_service_manager/cli/uninstall.hpp"

#include "vetra_service_manager/cli/_client_library.hpp"
#include "vetra_service_manager/cli/_output.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/platform/platform.hpp"
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
        if (handle.status().installation_status == InstallationStatus::INSTALLED) {
            handle.uninstall();
            for (const auto& process : handle.backend().stopped_processes()) stopped.push_back(process);
            say("  \u2713 " + entry->service_name() + " removed");
        } else {
            // What a service deleted by hand may have left behind still goes.
            handle.uninstall();
            for (const auto& process : handle.backend().stopped_processes()) stopped.push_back(process);
            say("  - " + entry->service_name() + " not installed");
        }
    }

    platform::interrupts::check();
    const auto runner_executable = services::_paths::default_runner_install_location().resolve();
    bool data_removal_failed = false;
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
        data_removal_failed = true;
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
            say("\nRemoving user data: " + platform::to_text(data_dir));
            platform::files::remove_tree(data_dir);
        } else {
            say("\nUser data dir not present: " + platform::to_text(data_dir));
        }
    }

    if (!(args.keep_cache && args.keep_binary)) {
        say("\nRemoving pyapp env / runner binary...");
        _runnerops::teardown_runner(runner_executable, {services::_paths::get_service_dir()}, !args.keep_cache,
                                    !args.keep_binary, stopped);
        say(platform::system() == platform::System::windows ? "  \u2713 scheduled (completes once this process exits)"
                                              : "  \u2713 done");
    }

    if (data_removal_failed) {
        say("\nUninstall INCOMPLETE: user data could not be removed (see above).");
        return 1;
    }
    say("\nUninstall complete.");
    return 0;
}

}  // namespace vetra_service_manager::cli::uninstall
