#pragma once
// The shared vocabulary for the state of one service.
#include <ostream>
#include <string>

namespace vetra_service_manager::status {

enum class InstallationStatus { INSTALLED, NOT_INSTALLED };
enum class EnablementStatus { ENABLED, DISABLED };
// RESTARTING: not running now, but its process ended and the service manager starts it again by
// itself shortly (systemd's RestartSec); stopping it is not a no-op.
enum class RunningStatus { RUNNING, NOT_RUNNING, RESTARTING };

// Mutable on purpose: a backend starts from the pessimistic triple and overwrites fields as it learns.
struct ServiceStatus {
    InstallationStatus installation_status;
    EnablementStatus enablement_status;
    RunningStatus running_status;

    bool operator==(const ServiceStatus&) const = default;
};

std::string to_string(InstallationStatus value);
std::string to_string(EnablementStatus value);
std::string to_string(RunningStatus value);
// "ServiceStatus(installation_status=INSTALLED, enablement_status=ENABLED, running_status=RUNNING)"
std::string to_string(const ServiceStatus& value);
std::ostream& operator<<(std::ostream& out, const ServiceStatus& value);

}  // namespace vetra_service_manager::status

namespace vetra_service_manager {
using status::EnablementStatus;
using status::InstallationStatus;
using status::RunningStatus;
using status::ServiceStatus;
}  // namespace vetra_service_manager
