// The findings every backend has: the service's state as status() reads it.
#include "vetra_service_manager/backends/base.hpp"

namespace vetra_service_manager::backends::base {

diagnosis::Findings ServiceManagerBackend::diagnose() const {
    using diagnosis::Level;
    const auto state = status();
    const std::string& name = service_name();
    const std::string start = "vetra_service_manager start " + name;
    if (state.installation_status != InstallationStatus::INSTALLED) {
        return {{"installed", name, Level::PROBLEM, name + " is not installed", "vetra_service_manager install"}};
    }
    diagnosis::Findings found;
    if (state.enablement_status != EnablementStatus::ENABLED) {
        found.push_back({"enabled", name, Level::WARNING, name + " is disabled: it does not start at the next login", start});
    }
    switch (state.running_status) {
        case RunningStatus::RUNNING:
            found.push_back({"running", name, Level::OK, name + " is running", std::nullopt});
            break;
        case RunningStatus::RESTARTING:
            found.push_back({"running", name, Level::PROBLEM, name + " ended and waits to be restarted", start});
            break;
        case RunningStatus::NOT_RUNNING:
            found.push_back({"running", name, Level::PROBLEM, name + " is installed but not running", start});
            break;
    }
    return found;
}

}  // namespace vetra_service_manager::backends::base
