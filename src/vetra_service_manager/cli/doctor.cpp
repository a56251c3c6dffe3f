#include "vetra_service_manager/cli/doctor.hpp"

#include <algorithm>
#include <iostream>
#include <utility>

#include "vetra_service_manager/cli/_json.hpp"
#include "vetra_service_manager/cli/_operate.hpp"
#include "vetra_service_manager/cli/_output.hpp"
#include "vetra_service_manager/cli/doctor_checks.hpp"
#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/services/_paths.hpp"
#include "vetra_service_manager/services/registry.hpp"

namespace vetra_service_manager::cli::doctor {
namespace registry = services::registry;
using diagnosis::Finding;
using diagnosis::Findings;
using diagnosis::Level;

namespace {

struct Group {
    std::string heading;
    Findings findings;
};

// A step that could not look is a finding too: the others still get their turn.
Findings guarded(const std::string& check, const std::optional<std::string>& service,
                 const std::function<Findings()>& look) {
    try {
        return look();
    } catch (const std::exception& error) {
        logging::get_logger("vetra_service_manager.cli.doctor")->debug("{} failed: {}", check, error.what());
        return {{check, service, Level::PROBLEM, "cannot tell: " + std::string(error.what()),
                 "vetra_service_manager --log-level debug doctor"}};
    }
}

Findings of_service(const registry::ServiceHandle& service) {
    const std::string& name = service.backend().service_name();
    Findings found = guarded("state", name, [&] { return service.backend().diagnose(); });
    const bool stopped = std::any_of(found.begin(), found.end(), [](const Finding& f) {
        return f.check == "running" && f.level != Level::OK;
    });
    if (stopped) {
        for (auto& finding : guarded("output", name, [&] { return doctor_checks::last_output(service); }))
            found.push_back(std::move(finding));
    }
    for (auto& finding : guarded("version", name, [&] { return doctor_checks::version(service); }))
        found.push_back(std::move(finding));
    return found;
}

const char* mark(Level level) {
    switch (level) {
        case Level::OK: return "\u2713";
        case Level::WARNING: return "!";
        case Level::PROBLEM: break;
    }
    return "\u2717";
}

void print_text(const std::vector<Group>& groups) {
    for (const auto& group : groups) {
        if (group.findings.empty()) continue;
        _output::say(group.heading);
        for (const auto& finding : group.findings) {
            std::string text = "  " + std::string(mark(finding.level)) + " ";
            for (const char c : finding.fact) text += c == '\n' ? std::string("\n      ") : std::string(1, c);
            _output::say(text);
            if (finding.fix) _output::say("      fix: " + *finding.fix);
        }
    }
}

void print_json(const std::vector<Group>& groups) {
    nlohmann::ordered_json findings = nlohmann::ordered_json::array();
    for (const auto& group : groups) {
        for (const auto& finding : group.findings) {
            findings.push_back({
                {"check", finding.check},
                {"service", finding.service ? nlohmann::ordered_json(*finding.service) : nullptr},
                {"level", diagnosis::to_string(finding.level)},
                {"fact", finding.fact},
                {"fix", finding.fix ? nlohmann::ordered_json(*finding.fix) : nullptr},
            });
        }
    }
    std::cout << _json::dumps({{"findings", std::move(findings)}}) << '\n';
}

}  // namespace

void add_arguments(CLI::App& parser, Options& args) {
    parser.add_flag("--json", args.json, "Output a JSON document instead of human-readable text");
    _operate::add_service_arguments(parser, args.services);
}

int run(const Options& args) {
    std::vector<Group> groups;
    const auto runner = services::_paths::default_runner_install_location().resolve();
    // Nothing changes while doctor reads: a backend may ask once for every service.
    const auto command = registry::command(backends::base::Readings::SHARED);
    Findings about_runner{doctor_checks::runner(runner)};
    for (auto& finding : guarded("places", std::nullopt, [&] { return doctor_checks::places(command); })) {
        about_runner.push_back(std::move(finding));
    }
    groups.push_back({"runner", std::move(about_runner)});
    std::vector<const registry::RegistryEntry*> chosen;
    for (const auto& name : args.services) {
        const auto* entry = registry::find(name);
        if (std::find(chosen.begin(), chosen.end(), entry) == chosen.end()) chosen.push_back(entry);
    }
    if (chosen.empty()) chosen = registry::install_order;
    std::optional<registry::ServiceHandle> first;
    for (const auto* entry : chosen) {
        auto service = entry->get_service(command);
        groups.push_back({entry->service_name(), of_service(service)});
        if (!first) first.emplace(std::move(service));
    }
    groups.push_back({"session", guarded("session", std::nullopt, [&] { return first->backend().diagnose_session(); })});
    groups.push_back({"lock", guarded("lock", std::nullopt, [] { return Findings{doctor_checks::lock()}; })});

    args.json ? print_json(groups) : print_text(groups);
    const bool problem = std::any_of(groups.begin(), groups.end(), [](const Group& group) {
        return std::any_of(group.findings.begin(), group.findings.end(),
                           [](const Finding& f) { return f.level == Level::PROBLEM; });
    });
    return problem ? 1 : 0;
}

}  // namespace vetra_service_manager::cli::doctor
