#include "vetra_service_manager/cli/status.hpp"

#include <iostream>

#include "vetra_service_manager/cli/_json.hpp"
#include "vetra_service_manager/cli/_trust.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/permissions.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/text.hpp"
#include "vetra_service_manager/services/_paths.hpp"
#include "vetra_service_manager/services/registry.hpp"

namespace vetra_service_manager::cli::status {
namespace {

using nlohmann::ordered_json;
namespace registry = services::registry;

const char* python_bool(bool value) { return value ? "True" : "False"; }

}  // namespace

void add_arguments(CLI::App& parser, Options& args) {
    parser.add_flag("--json", args.json, "Output a JSON document instead of human-readable text");
}

ordered_json _collect() {
    const auto runner = services::_paths::default_runner_install_location().resolve();
    ordered_json services = ordered_json::object();
    // Nothing changes while status reads: a backend may ask once for every service.
    const auto command = registry::command(backends::base::Readings::SHARED);
    // Reading changes nothing, so status still tells what it finds; the other commands would refuse.
    if (auto refusal = _trust::first_untrusted_place(command)) {
        logging::get_logger("vetra_service_manager.cli.status")->warn("{}", platform::text::printable(*refusal));
    }
    for (const registry::RegistryEntry* entry : {&registry::sync_agent, &registry::sync_api}) {
        const auto handle = entry->get_service(command);
        const ServiceStatus state = handle.status();
        const auto version = handle.version();
        services[entry->service_name()] = {
            {"installed", state.installation_status == InstallationStatus::INSTALLED},
            {"enabled", state.enablement_status == EnablementStatus::ENABLED},
            {"running", state.running_status == RunningStatus::RUNNING},
            {"version", version ? ordered_json(version->str()) : ordered_json(nullptr)},
        };
    }
    ordered_json state = ordered_json::object();
    state["runner_executable"] = platform::to_text(runner);
    try {
        state["runner_present"] = platform::files::exists(runner);
    } catch (const std::filesystem::filesystem_error& error) {
        std::throw_with_nested(ServiceOperationError(
            ServiceOperation::GET_STATUS, "Cannot check the runner " + platform::to_text(runner) + ": " +
                                              error.code().message()));
    }
    state["services"] = std::move(services);
    state["full_disk_access"] = check_full_disk_access();
    return state;
}

int run(const Options& args) {
    const ordered_json state = _collect();
    if (args.json) {
        std::cout << _json::dumps(state) << '\n';
        return 0;
    }
    std::cout << "Runner:   " << platform::text::printable(state["runner_executable"].get_ref<const std::string&>()) << "  "
              << (state["runner_present"].get<bool>() ? "(present)" : "(MISSING)") << '\n';
    std::cout << "Full Disk Access: " << (state["full_disk_access"].get<bool>() ? "GRANTED" : "DENIED") << '\n';
    std::cout << '\n';
    for (const auto& [name, entry] : state["services"].items()) {
        const auto& version = entry["version"];
        const std::string version_text =
            version.is_string() && !version.get_ref<const std::string&>().empty() ? version.get<std::string>()
                                                                                  : "unknown";
        std::cout << "  " << (entry["running"].get<bool>() ? "\u2713" : "\u2717") << "  " << name << '\n';
        std::cout << "        installed=" << python_bool(entry["installed"].get<bool>())
                  << "  enabled=" << python_bool(entry["enabled"].get<bool>())
                  << "  running=" << python_bool(entry["running"].get<bool>()) << "  version=" << version_text
                  << '\n';
    }
    return 0;
}

}  // namespace vetra_service_manager::cli::status
