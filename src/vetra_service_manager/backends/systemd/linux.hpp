#pragma once
// Linux service manager: one service as a unit of the user's systemd manager, driven over its
// D-Bus API. Every question about the unit is asked of the manager afresh, on a connection opened
// for that command; an instance remembers only its identity.
#include <filesystem>
#include <string>
#include <vector>

#include "vetra_service_manager/backends/base.hpp"
#include "vetra_service_manager/backends/systemd/linux_bus.hpp"
#include "vetra_service_manager/exceptions.hpp"

namespace vetra_service_manager::backends::systemd::linux {

class LinuxServiceManager : public base::ServiceManagerBackend {
public:
    // Touches nothing on disk and connects to nothing.
    LinuxServiceManager(std::string service_name, std::filesystem::path app_dir);

    void install(const std::vector<std::string>& program_arguments, const version::Version& version,
                 bool raise_if_already_installed = false) override;
    void uninstall(bool raise_if_not_installed = false) override;
    void enable(bool raise_if_already_enabled = false) override;
    void disable(bool raise_if_already_disabled = false) override;
    void start(bool raise_if_already_running = false) override;
    void stop(bool raise_if_already_stopped = false) override;
    // Without a unit file: not installed, and no manager is contacted.
    status::ServiceStatus status() const override;
    std::optional<version::Version> version() const override;
    // journalctl --user -u <unit> -n <lines> [-f]: the user journal keeps the service's output.
    std::vector<std::string> log_viewer(int lines, bool follow) const override;

    // "com.norvale.<service name>.service"
    const std::string& unit_name() const noexcept { return unit_name_; }
    // $XDG_CONFIG_HOME/systemd/user/<unit> (~/.config when the variable is unset or empty).
    const std::filesystem::path& unit_path() const noexcept { return unit_path_; }

private:
    // The user manager, or a ServiceOperationError for `operation` saying why none can be reached.
    linux_bus::UserManager connect(ServiceOperation operation) const;
    // Stops the unit whatever it is doing (running or waiting to restart) and waits for the stop.
    void stop_unit(linux_bus::UserManager& manager, ServiceOperation operation);
    void write_unit_file(const std::vector<std::string>& program_arguments, const version::Version& version) const;

    std::string unit_name_;
    std::filesystem::path unit_path_;
};

}  // namespace vetra_service_manager::backends::systemd::linux
