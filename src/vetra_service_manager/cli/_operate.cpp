#include "vetra_service_manager/cli/_operate.hpp"

#include <algorithm>
#include <exception>
#include <optional>

#include "vetra_service_manager/cli/_report.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/services/registry.hpp"
#include "vetra_service_manager/status.hpp"

namespace vetra_service_manager::cli::_operate {
namespace registry = services::registry;

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

// A line that starts with the cross fails the command.
constexpr std::string_view FAILED = "\u2717 ";

std::string still_running(const registry::ServiceHandle& service) {
    const bool restarting = service.status().running_status == status::RunningStatus::RESTARTING;
    return std::string(FAILED) + service.backend().service_name() + " did not stop: it is still " +
           (restarting ? "waiting to be restarted" : "running");
}

// The line for one service, or nothing when it is not installed. A start is left to settle.
std::optional<std::string> apply(Action action, registry::ServiceHandle& service) {
    using Outcome = registry::ServiceHandle::Outcome;
    constexpr auto later = registry::ServiceHandle::Settle::LATER;
    const std::string& name = service.backend().service_name();
    try {
        switch (action) {
            case Action::START:
                return service.start(later) == Outcome::ALREADY_SO ? "- " + name + " already running"
                                                                   : "\u2713 " + name + " started";
            case Action::STOP:
                // Not only a running service: one waiting to be restarted would come back.
                switch (service.stop()) {
                    case Outcome::CHANGED: return "\u2713 " + name + " stopped";
                    case Outcome::ALREADY_SO: return "- " + name + " already stopped";
                    case Outcome::STILL_RUNNING: return still_running(service);
                    case Outcome::NOT_INSTALLED: return std::nullopt;
                }
                break;
            case Action::RESTART:
                switch (service.stop()) {
                    case Outcome::NOT_INSTALLED: return std::nullopt;
                    case Outcome::STILL_RUNNING: return still_running(service);
                    default: break;
                }
                service.start(later);
                return "\u2713 " + name + " restarted";
        }
    } catch (const exceptions::ServiceNotInstalledError&) {
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

void add_service_arguments(CLI::App& parser, std::vector<std::string>& services) {
    std::vector<std::string> names;
    for (const auto* entry : registry::install_order) names.push_back(entry->service_name());
    parser.add_option("SERVICE", services, "Services to act on (default: all)")->check(CLI::IsMember(names));
}

int run(Action action, const std::vector<std::string>& services) {
    int status = 0;
    const auto command = registry::command();
    _report::Report report;
    std::exception_ptr stopped;
    try {
        for (const auto* entry : chosen(action, services)) {
            platform::interrupts::check();
            auto service = entry->get_service(command);
            const auto line = apply(action, service);
            if (!line || line->rfind(FAILED, 0) == 0) status = 1;
            report.add(std::move(service),
                       "  " + line.value_or(std::string(FAILED) + entry->service_name() + " is not installed"));
        }
    } catch (...) {
        // The services started so far are settled and told first.
        stopped = std::current_exception();
    }
    report.finish(stopped);
    return status;
}

}  // namespace vetra_service_manager::cli::_operate
