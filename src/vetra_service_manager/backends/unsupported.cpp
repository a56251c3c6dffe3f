#include "vetra_service_manager/backends/unsupported.hpp"

#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::unsupported {
namespace {

[[noreturn]] void refuse(ServiceOperation operation) {
    throw ServiceOperationError(operation, "Registering services is not supported on this platform yet (" +
                                               platform::name() + ")");
}

}  // namespace

UnsupportedServiceManager::UnsupportedServiceManager(std::string service_name, std::filesystem::path app_dir)
    : ServiceManagerBackend(std::move(service_name), std::move(app_dir),
                            logging::get_logger("vetra_service_manager.backends.unsupported")) {}

void UnsupportedServiceManager::install(const std::vector<std::string>&, const version::Version&, bool, base::Settle) {
    refuse(ServiceOperation::INSTALL);
}

void UnsupportedServiceManager::write_definition(const std::vector<std::string>&, const version::Version&) {
    refuse(ServiceOperation::INSTALL);
}

void UnsupportedServiceManager::uninstall(bool raise_if_not_installed) {
    if (raise_if_not_installed) throw exceptions::ServiceNotInstalledError();
}

void UnsupportedServiceManager::enable_service() { refuse(ServiceOperation::ENABLE); }

void UnsupportedServiceManager::disable_service() { refuse(ServiceOperation::DISABLE); }

void UnsupportedServiceManager::start_service(const StepReading&) { refuse(ServiceOperation::START); }

void UnsupportedServiceManager::stop_service(const StepReading&) { refuse(ServiceOperation::STOP); }

status::ServiceStatus UnsupportedServiceManager::status() const {
    return {InstallationStatus::NOT_INSTALLED, EnablementStatus::DISABLED, RunningStatus::NOT_RUNNING};
}

std::optional<version::Version> UnsupportedServiceManager::version() const { return std::nullopt; }

}  // namespace vetra_service_manager::backends::unsupported
