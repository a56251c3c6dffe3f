#pragma once
// Linux service manager: one service as a unit of the user's systemd manager, driven over its
// D-Bus API, on the one connection of the command (its LinuxContext). Every question about the unit
// is asked of the manager afresh; an instance remembers only its identity and where its unit file is.
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vetra_service_manager/backends/base.hpp"
#include "vetra_service_manager/backends/systemd/linux_bus.hpp"
#include "vetra_service_manager/backends/systemd/linux_context.hpp"
#include "vetra_service_manager/exceptions.hpp"

namespace vetra_service_manager::backends::systemd::linux {

// A link to /dev/null: how a user masks a unit.
bool is_mask(const std::filesystem::path& path);

class LinuxServiceManager : public base::ServiceManagerBackend {
public:
    // Touches nothing on disk and connects to nothing. `context`: what the command's backends
    // share; by default one of its own, with fresh readings.
    LinuxServiceManager(std::string service_name, std::filesystem::path app_dir,
                        std::shared_ptr<linux_context::LinuxContext> context = nullptr);

    void uninstall(bool raise_if_not_installed = false) override;
    // A user manager that cannot be reached.
    void check_installable() const override;
    // With our unit file but no manager to ask: what the files say (enabled when the wants link
    // exists, never running) and a warning. Without the file and without a manager: not installed.
    status::ServiceStatus status() const override;
    std::optional<version::Version> version() const override;
    // journalctl --user -u <unit> -n <lines> [-f]: the user journal keeps the service's output.
    std::vector<std::string> log_viewer(int lines, bool follow) const override;
    // Why the unit does not run, in systemd's terms (linux_doctor.cpp); the session: whether the
    // user manager answers and lingering is on.
    diagnosis::Findings diagnose() const override;
    diagnosis::Findings diagnose_session() const override;
    // Lingering off: the services stop at logout.
    diagnosis::Findings install_warnings() const override;

    // "com.norvale.<service name>.service"
    const std::string& unit_name() const noexcept { return unit_name_; }
    // The unit file in the manager's directory for the user's own units (its
    // $XDG_CONFIG_HOME/systemd/user, whatever ours says); where no manager can be reached, in
    // that directory as our environment names it. Asks the manager on first use.
    const std::filesystem::path& unit_path() const;
    // app_dir() and the unit directory as our environment names it, without asking the manager; the
    // manager's own is checked again when the unit file is written there.
    std::vector<std::filesystem::path> places_written() const override;

private:
    // The unit as the manager sees it, with the presence of our file.
    struct Reading {
        status::ServiceStatus status;
        std::string file_state;  // UnitFileState: "enabled", "disabled", "masked", ...
        std::string active;      // ActiveState
        std::string sub;         // SubState
        bool need_reload = false;  // the files changed since the manager read them
        // A link of the unit's name to /dev/null in a directory the manager reads units from,
        // wherever our file ranks: a decision of the user's we never undo.
        std::optional<std::filesystem::path> mask;
        // The file of a same-named unit the manager loaded from somewhere else: another program's.
        std::string foreign;
        // That unit would still be the one the manager runs once our file is written: its file comes
        // before our directory in the search path (or outside it), or it runs.
        bool foreign_precedes = false;
        bool masked() const { return mask || file_state.starts_with("masked"); }
        // Running, starting, stopping or waiting to be restarted: anything that a stop ends.
        bool stoppable() const { return !active.empty() && active != "inactive" && active != "failed"; }
        // Its process ended and the manager starts it again once RestartSec has passed.
        bool waiting_to_restart() const { return active == "activating" && sub == "auto-restart"; }
    };
    // A unit whose file was deleted by hand while the manager still has it loaded or active
    // counts as installed, so that stop and uninstall take it down.
    Reading read(ServiceOperation operation) const;
    // The command's connection to the user manager, or a ServiceOperationError for `operation`
    // saying why none can be reached.
    linux_bus::UserManager& connect(ServiceOperation operation) const;
    // Remembers where the unit file is, from the manager's unit search path (none: no manager).
    void locate_unit(const std::optional<std::vector<std::string>>& search_path) const;
    // A start's reading first brings the manager up to date with an edited unit file.
    StepReading read_step(ServiceOperation operation) const override;
    void enable_service() override;
    void disable_service() override;
    void start_service(const StepReading& current) override;
    void stop_service(const StepReading& current) override;
    // From the manager's signals; the reason quotes systemd's result and exit status, and the last
    // lines of the service's output where the user journal has them.
    std::optional<std::string> why_not_settled(std::chrono::steady_clock::time_point until) const override;
    // Stops the unit whatever it is doing and waits as long as systemd gives it to stop.
    void stop_unit(linux_bus::UserManager& manager, ServiceOperation operation);
    void write_definition(const std::vector<std::string>& program_arguments, const version::Version& version) override;
    // Also without the manager: the unit file and its link, which are ours to delete.
    std::string clean_up_failed_install() noexcept override;
    // Deletes our unit file (not a mask in its place) and the enablement link to it, without the
    // manager; returns what could not be deleted.
    std::vector<std::string> delete_our_files() const;

    std::shared_ptr<linux_context::LinuxContext> context_;
    std::string unit_name_;
    mutable std::optional<std::filesystem::path> unit_path_;
};

}  // namespace vetra_service_manager::backends::systemd::linux
