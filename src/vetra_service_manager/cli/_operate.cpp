#include "vetra_service_manager/cli/_operate.hpp"

#include <algorithm>

#include "vetra_service_manager/cli/_output.hpp"
#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/services/registry.hpp"
#include "vetra_service_manager/status.hpp"

namespace vetra_service_manager::cli::_operate {
namespace registry = services::registry;

using _output::say;

namespace {

std::vector<const registry::RegistryEntry*> chosen(Action action, const std::vector<std::string>& names) {
    std::vector<const registry::RegistryEntry*> entries;
    for (const auto& name : names) {
        const auto* entry = registry::find(name);
        if (std::find(entries.begin(), entries.end(), entry) == entries.end()) entries.push_back(entry);
    }
    if (entries.empty()) {
        entries = registry::install_order;
        if (action == Action::STOP) std::reverse(entries.begin(), entries.end());
    }
    return entries;
}

// The line for one installed service in state `state`.
std::string apply(Action action, registry::ServiceHandle& service, const ServiceStatus& state) {
    const std::string& name = service.backend().service_name();
    const bool running = state.running_status == RunningStatus::RUNNING;
    switch (action) {
        case Action::START:
            if (running) return "- " + name + " already running";
            service.start();
            return "\u2713 " + name + " started";
        case Action::STOP:
            // Asked even when not running: a service waiting to be restarted would come back.
            service.stop();
            return running || state.running_status == RunningStatus::RESTARTING ? "\u2713 " + name + " stopped"
                                                                                 : "- " + name + " already stopped";
        case Action::RESTART:
            if (running) service.stop();
            service.start();
            return "\u2713 " + name + " restarted";
    }
    return {};
}

}  // namespace

void add_service_arguments(CLI::App& parser, std::vector<std::string>& services) {
    std::vector<std::string> names;
    for (const auto* entry : registry::install_order) names.push_back(entry->service_name());
    parser.add_option("SERVICE", services, "Services to act on (default: all)")->check(CLI::IsMember(names));
}

int run(Action action, const std::vector<std::string>& services) {
    int status = 0;
    for (const auto* entry : chosen(action, services)) {
        platform::interrupts::check();
        auto service = entry->get_service();
        const ServiceStatus state = service.status();
        if (state.installation_status != InstallationStatus::INSTALLED) {
            say("  \u2717 " + entry->service_name() + " is not installed");
            status = 1;
            continue;
        }
        say("  " + apply(action, service, state));
    }
    return status;
}

}  // namespace vetra_service_manager::cli::_operate
