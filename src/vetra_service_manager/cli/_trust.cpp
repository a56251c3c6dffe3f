#include "vetra_service_manager/cli/_trust.hpp"

#include <stdexcept>

#include "vetra_service_manager/cli/_exclusive.hpp"
#include "vetra_service_manager/platform/path_trust.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/services/_paths.hpp"
#include "vetra_service_manager/services/registry.hpp"

namespace vetra_service_manager::cli::_trust {
namespace path_trust = platform::path_trust;

namespace {

// Task Scheduler's places are checked through their access lists as they are made.
bool checked_here() {
    const platform::System system = platform::system();
    return system == platform::System::macos || system == platform::System::linux;
}

}  // namespace

std::optional<std::string> first_untrusted_place(const backends::factory::Command& command) {
    if (!checked_here()) return std::nullopt;
    const auto refusal = [](const char* verb, const std::filesystem::path& place, const std::string& why) {
        return std::string("Refusing to ") + verb + " " + platform::to_text(place) + ": " + why;
    };
    const auto runner = services::_paths::default_runner_install_location().resolve();
    if (auto why = path_trust::first_untrusted_program(runner)) return refusal("run", runner, *why);
    std::vector<std::filesystem::path> places{_exclusive::lock_path().parent_path()};
    for (const auto* entry : services::registry::install_order) {
        for (auto& place : entry->get_service(command).backend().places_written()) places.push_back(std::move(place));
    }
    for (const auto& place : places) {
        if (auto why = path_trust::first_untrusted(place)) return refusal("use", place, *why);
    }
    return std::nullopt;
}

void refuse_untrusted_places() {
    if (!checked_here()) return;
    if (auto refusal = first_untrusted_place(services::registry::command())) throw std::runtime_error(*refusal);
}

}  // namespace vetra_service_manager::cli::_trust
