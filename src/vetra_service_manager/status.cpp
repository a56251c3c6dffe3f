#include "vetra_service_manager/status.hpp"

namespace vetra_service_manager::status {

std::string to_string(InstallationStatus value) {
    return value == InstallationStatus::INSTALLED ? "INSTALLED" : "NOT_INSTALLED";
}

std::string to_string(EnablementStatus value) {
    return value == EnablementStatus::ENABLED ? "ENABLED" : "DISABLED";
}

std::string to_string(RunningStatus value) {
    switch (value) {
        case RunningStatus::RUNNING: return "RUNNING";
        case RunningStatus::RESTARTING: return "RESTARTING";
        case RunningStatus::NOT_RUNNING: break;
    }
    return "NOT_RUNNING";
}

std::string to_string(const ServiceStatus& value) {
    return "ServiceStatus(installation_status=" + to_string(value.installation_status) +
           ", enablement_status=" + to_string(value.enablement_status) +
           ", running_status=" + to_string(value.running_status) + ")";
}

std::ostream& operator<<(std::ostream& out, const ServiceStatus& value) { return out << to_string(value); }

}  // namespace vetra_service_manager::status
