#pragma once
// The backend of platforms that cannot register services yet (Linux, Windows): it reports every
// service as absent, refuses to install and has nothing to remove.
#include "vetra_service_manager/backends/base.hpp"

namespace vetra_service_manager::backends::unsupported {

class UnsupportedServiceManager : public base::ServiceManagerBackend {
public:
    UnsupportedServiceManager(std::string service_name, std::filesystem::path app_dir);

    void install(const std::vector<std::string>& program_arguments, const version::Version& version,
                 bool raise_if_already_installed = false, base::Settle when = base::Settle::NOW) override;
    void uninstall(bool raise_if_not_installed = false) override;
    status::ServiceStatus status() const override;
    std::optional<version::Version> version() const override;

private:
    // Never called: nothing is ever installed here.
    void enable_service() override;
    void disable_service() override;
    void start_service(const StepReading& current) override;
    void stop_service(const StepReading& current) override;
    void write_definition(const std::vector<std::string>& program_arguments, const version::Version& version) override;
};

}  // namespace vetra_service_manager::backends::unsupported
