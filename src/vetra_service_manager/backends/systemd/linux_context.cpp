#include "vetra_service_manager/backends/systemd/linux_context.hpp"

#include <fmt/ranges.h>

#include "vetra_service_manager/logging.hpp"

namespace vetra_service_manager::backends::systemd::linux_context {

std::string unit_name(const std::string& service_name) { return "com.norvale." + service_name + ".service"; }

LinuxContext::LinuxContext(std::vector<std::string> service_names, base::Readings readings) : readings_(readings) {
    for (const auto& name : service_names) units_.push_back(unit_name(name));
}

linux_bus::UserManager& LinuxContext::manager() {
    if (manager_ && !manager_->is_open()) {
        manager_.reset();
        survey_ = {};
    }
    if (manager_) return *manager_;
    if (failure_) throw linux_bus::ConnectError(*failure_);
    try {
        return manager_.emplace(linux_bus::UserManager::connect());
    } catch (const linux_bus::ConnectError& error) {
        failure_ = error.what();
        throw;
    }
}

LinuxContext::UnitState LinuxContext::state_of(const std::string& unit, const std::set<std::string>& wanted) {
    auto& bus = manager();
    auto found = survey_.units.find(unit);
    if (readings_ == base::Readings::FRESH || survey_generation_ != bus.generation() || found == survey_.units.end()) {
        std::vector<std::string> asked{unit};
        if (readings_ == base::Readings::SHARED) {
            for (const auto& other : units_) {
                if (other != unit) asked.push_back(other);
            }
        }
        logging::get_logger("vetra_service_manager.backends.systemd.linux_context")
            ->debug("Asking the user manager for the state of {}", fmt::join(asked, ", "));
        survey_ = bus.survey(asked, linux_bus::UNIT_INTERFACE, wanted);
        survey_generation_ = bus.generation();
        found = survey_.units.find(unit);
    }
    UnitState state{std::move(found->second), survey_.unit_search_path};
    survey_.units.erase(found);
    return state;
}

}  // namespace vetra_service_manager::backends::systemd::linux_context
