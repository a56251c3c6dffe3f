#pragma once
// The two services and the handles through which the commands reach them.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vetra_service_manager/backends/base.hpp"
#include "vetra_service_manager/backends/factory.hpp"

namespace vetra_service_manager::services::registry {

// One service on the running platform. Owns its backend and supplies what the backend needs
// besides the version: name, working directory, the runner's argument list.
class ServiceHandle {
public:
    ServiceHandle(std::unique_ptr<backends::base::ServiceManagerBackend> backend,
                  std::vector<std::string> program_arguments);

    using Settle = backends::base::Settle;
    // Returns once the service is registered, enabled and started; a start it made is settled
    // `when` it says (see backends::base::ServiceManagerBackend::settle).
    void install(const version::Version& version, Settle when = Settle::NOW);
    void uninstall(bool raise_if_not_installed = true);
    // Each a no-op when the service already is in that state; start raises
    // exceptions::ServiceNotInstalledError for a service that is not installed, and settles a start
    // it made `when` it says.
    using Outcome = backends::base::ServiceManagerBackend::Outcome;
    Outcome start(Settle when = Settle::NOW);
    Outcome stop();
    // Settles the start that install or start left to settle LATER, if any.
    void settle();
    bool settle_pending() const noexcept { return backend_->settle_pending(); }
    status::ServiceStatus status() const;
    std::optional<version::Version> version() const;

    backends::base::ServiceManagerBackend& backend() const { return *backend_; }
    const std::vector<std::string>& program_arguments() const { return program_arguments_; }

private:
    std::unique_ptr<backends::base::ServiceManagerBackend> backend_;
    std::vector<std::string> program_arguments_;
};

class RegistryEntry {
public:
    explicit RegistryEntry(std::string service_name) : service_name_(std::move(service_name)) {}
    const std::string& service_name() const noexcept { return service_name_; }
    // A new handle on every call: working directory, runner path and backend are looked up afresh.
    // Its backend shares with the command's others what `command` holds.
    ServiceHandle get_service(const backends::factory::Command& command) const;

private:
    std::string service_name_;
};

extern const RegistryEntry sync_agent;  // "vetra_sync_agent"
extern const RegistryEntry sync_api;    // "vetra_api"

// Both entries, in the order they are installed and started (uninstalled and stopped in reverse).
extern const std::vector<const RegistryEntry*> install_order;
// What the handles of one command share, for every service: made once at the command's start.
// Only a command that changes nothing may share readings.
backends::factory::Command command(backends::base::Readings readings = backends::base::Readings::FRESH);
// The entry with this display name, or nullptr.
const RegistryEntry* find(std::string_view display_name);

}  // namespace vetra_service_manager::services::registry
