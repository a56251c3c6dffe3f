#include "vetra_service_manager/services/registry.hpp"

#include "vetra_service_manager/backends/factory.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/services/_paths.hpp"

namespace vetra_service_manager::services::registry {

const RegistryEntry sync_agent("vetra_sync_agent");
const RegistryEntry sync_api("vetra_api");
const std::vector<const RegistryEntry*> install_order{&sync_agent, &sync_api};

const RegistryEntry* find(std::string_view display_name) {
    for (const RegistryEntry* entry : install_order) {
        if (entry->service_name() == display_name) return entry;
    }
    return nullptr;
}

ServiceHandle::ServiceHandle(std::unique_ptr<backends::base::ServiceManagerBackend> backend,
                             std::vector<std::string> program_arguments)
    : backend_(std::move(backend)), program_arguments_(std::move(program_arguments)) {}

void ServiceHandle::install(const version::Version& version, Settle when) {
    backend_->install(program_arguments_, version, false, when);
}

void ServiceHandle::uninstall(bool raise_if_not_installed) { backend_->uninstall(raise_if_not_installed); }

ServiceHandle::Outcome ServiceHandle::start(Settle when) { return backend_->start_and_settle(false, when); }

void ServiceHandle::settle() { backend_->settle(); }

ServiceHandle::Outcome ServiceHandle::stop() { return backend_->stop(); }

status::ServiceStatus ServiceHandle::status() const { return backend_->status(); }

std::optional<version::Version> ServiceHandle::version() const { return backend_->version(); }

backends::factory::Command command(backends::base::Readings readings) {
    std::vector<std::string> names;
    for (const RegistryEntry* entry : install_order) names.push_back(entry->service_name());
    return backends::factory::Command(std::move(names), readings);
}

ServiceHandle RegistryEntry::get_service(const backends::factory::Command& command) const {
    const auto runner = _paths::default_runner_install_location().resolve();
    return ServiceHandle(command.make_backend(service_name_, _paths::get_service_dir()),
                         {platform::to_text(runner), "run", service_name_});
}

}  // namespace vetra_service_manager::services::registry
