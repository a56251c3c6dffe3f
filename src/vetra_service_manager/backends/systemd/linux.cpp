// Identity, status queries, the installed version and the log viewer of the systemd backend.
#include "vetra_service_manager/backends/systemd/linux.hpp"
#include "vetra_service_manager/backends/systemd/linux_ask.hpp"

#include <algorithm>
#include <optional>
#include <set>

#include "vetra_service_manager/backends/systemd/linux_unit.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::systemd::linux {
namespace fs = std::filesystem;
namespace {

constexpr const char* LOGGER_NAME = "vetra_service_manager.backends.systemd.linux";

// No manager could be reached: status can still tell something, unlike every other operation.
class Unreachable : public ServiceOperationError {
    using ServiceOperationError::ServiceOperationError;
};

// Where our environment says the user's unit directory is: a guess, for when no manager can be
// asked.
fs::path guessed_unit_directory() {
    const auto config = platform::directory_env("XDG_CONFIG_HOME");
    return (config ? *config : platform::home_dir() / ".config") / "systemd" / "user";
}

// The user's own configuration directory in the manager's unit search path: the first entry
// ".../systemd/user" with its control directory ".../systemd/user.control" also listed (the
// persistent one, $XDG_CONFIG_HOME/systemd/user, comes before the runtime one). Nothing when the
// search path was set by hand without one.
std::optional<fs::path> user_unit_directory(const std::vector<std::string>& search_path) {
    const std::set<std::string> listed(search_path.begin(), search_path.end());
    for (const auto& entry : search_path) {
        if (entry.ends_with("/systemd/user") && listed.count(entry + ".control")) return platform::from_text(entry);
    }
    return std::nullopt;
}

const std::set<std::string> WANTED{"LoadState",        "UnitFileState", "ActiveState", "SubState",
                                   "NeedDaemonReload", "FragmentPath"};

// Where in the search path `directory` is; past the end when it is not there.
std::size_t rank(const std::vector<std::string>& search_path, const fs::path& directory) {
    const auto found = std::find(search_path.begin(), search_path.end(), platform::to_text(directory));
    return static_cast<std::size_t>(found - search_path.begin());
}

}  // namespace

void ask(spdlog::logger& logger, ServiceOperation operation, const std::string& failure,
         const std::function<void()>& action) {
    try {
        action();
    } catch (const linux_bus::CallError& error) {
        const std::string message = failure + ": " + error.what();
        logger.error("{}", message);
        throw ServiceOperationError(operation, message);
    }
}

bool is_mask(const fs::path& path) {
    std::error_code ignored;
    return fs::is_symlink(fs::symlink_status(path, ignored)) && fs::read_symlink(path, ignored) == "/dev/null";
}

LinuxServiceManager::LinuxServiceManager(std::string service_name, fs::path app_dir,
                                         std::shared_ptr<linux_context::LinuxContext> context)
    : ServiceManagerBackend(std::move(service_name), std::move(app_dir), logging::get_logger(LOGGER_NAME)),
      context_(context ? std::move(context)
                       : std::make_shared<linux_context::LinuxContext>(std::vector{this->service_name()})),
      unit_name_(linux_context::unit_name(this->service_name())) {
    logger().info("LinuxServiceManager initialized for service: {}", this->service_name());
    logger().debug("app_dir: {}", platform::to_text(this->app_dir()));
}

const fs::path& LinuxServiceManager::unit_path() const {
    if (!unit_path_) {
        std::optional<std::vector<std::string>> search_path;
        try {
            search_path = context_->manager().survey({}, linux_bus::UNIT_INTERFACE, {}).unit_search_path;
        } catch (const linux_bus::ConnectError&) {
            // status tells what the files say, where our environment says they are.
        }
        locate_unit(search_path);
    }
    return *unit_path_;
}

std::vector<fs::path> LinuxServiceManager::places_written() const { return {app_dir(), guessed_unit_directory()}; }

void LinuxServiceManager::locate_unit(const std::optional<std::vector<std::string>>& search_path) const {
    std::optional<fs::path> directory;
    if (search_path) {
        directory = user_unit_directory(*search_path);
        if (!directory) logger().warn("The user manager's unit search path has no directory of the user's own");
    }
    unit_path_ = directory.value_or(guessed_unit_directory()) / unit_name_;
    logger().debug("unit_path: {}", platform::to_text(*unit_path_));
}

linux_bus::UserManager& LinuxServiceManager::connect(ServiceOperation operation) const {
    try {
        return context_->manager();
    } catch (const linux_bus::ConnectError& error) {
        const std::string message = fmt::format(
            "Cannot reach the systemd user manager ({}); it runs only while the user is logged in, or with lingering "
            "enabled (loginctl enable-linger)",
            error.what());
        // status goes on without it and says so as a warning.
        if (operation != ServiceOperation::GET_STATUS) logger().error("{}", message);
        // The message quotes the whole reason, as launchctl's error text is quoted on macOS.
        throw Unreachable(operation, message);
    }
}

LinuxServiceManager::Reading LinuxServiceManager::read(ServiceOperation operation) const {
    logger().debug("Checking status of service: {}", service_name());
    Reading reading;
    reading.status = {InstallationStatus::NOT_INSTALLED, EnablementStatus::DISABLED, RunningStatus::NOT_RUNNING};
    const auto has_file = [&] {
        try {
            // A link to /dev/null in its place is the user's mask, not our unit: systemd loads
            // nothing from it.
            return fs::exists(fs::symlink_status(unit_path())) && !is_mask(unit_path());
        } catch (const fs::filesystem_error& error) {
            logger().error("Cannot look for the unit file: {}", error.what());
            std::throw_with_nested(
                ServiceOperationError(operation, std::string("Cannot look for the unit file: ") + error.what()));
        }
    };
    try {
        context_->manager();
    } catch (const linux_bus::ConnectError&) {
        // Nothing of ours on disk and no manager: nothing to act on either.
        if (!has_file()) return reading;
        connect(operation);  // says why the manager cannot be reached
    }
    linux_bus::Properties state;
    std::vector<std::string> search_path;
    try {
        auto found = context_->state_of(unit_name_, WANTED);
        state = std::move(found.properties);
        search_path = std::move(found.unit_search_path);
        if (!unit_path_) locate_unit(search_path);
    } catch (const linux_bus::CallError& error) {
        logger().error("{}", error.what());
        throw ServiceOperationError(operation, error.what());
    }
    const bool file = has_file();
    if (file) {
        logger().debug("Unit file exists, service is installed");
        reading.status.installation_status = InstallationStatus::INSTALLED;
    }
    const std::string load = state["LoadState"];
    reading.file_state = state["UnitFileState"];
    reading.active = state["ActiveState"];
    reading.sub = state["SubState"];
    reading.need_reload = state["NeedDaemonReload"] == "yes";
    const std::string fragment = state["FragmentPath"];
    logger().debug("systemd reports LoadState={}, UnitFileState={}, ActiveState={}, SubState={}, FragmentPath={}", load,
                   reading.file_state, reading.active, reading.sub, fragment);
    for (const auto& directory : search_path) {
        const fs::path candidate = platform::from_text(directory) / unit_name_;
        if (is_mask(candidate)) {
            reading.mask = candidate;
            break;
        }
    }
    if (!reading.masked() && !fragment.empty() && fragment != platform::to_text(unit_path())) {
        // Its state is another program's business, not our service's.
        reading.foreign = fragment;
        // A file outside the search path is linked in under our name: not ours to replace either.
        const auto other = rank(search_path, platform::from_text(fragment).parent_path());
        reading.foreign_precedes = other == search_path.size() || other < rank(search_path, unit_path().parent_path());
        // Running, it would go on running under our name: its process is not ours to end.
        reading.foreign_precedes = reading.foreign_precedes || reading.stoppable();
        reading.status.installation_status = InstallationStatus::NOT_INSTALLED;
        reading.active.clear();
        reading.sub.clear();
        reading.file_state.clear();
        return reading;
    }
    if (!file && (load == "loaded" || reading.stoppable())) {
        logger().warn("The unit file {} is gone but systemd still has the unit {}", platform::to_text(unit_path()),
                      reading.active);
        reading.status.installation_status = InstallationStatus::INSTALLED;
    }
    static const std::set<std::string> enabled{"enabled", "enabled-runtime", "linked", "linked-runtime", "alias"};
    if (enabled.count(reading.file_state)) reading.status.enablement_status = EnablementStatus::ENABLED;
    if (reading.active == "active" && reading.sub == "running") {
        reading.status.running_status = RunningStatus::RUNNING;
    } else if (reading.waiting_to_restart()) {
        reading.status.running_status = RunningStatus::RESTARTING;
    }
    return reading;
}

status::ServiceStatus LinuxServiceManager::status() const {
    ServiceStatus result;
    try {
        const auto reading = read(ServiceOperation::GET_STATUS);
        if (reading.need_reload) {
            logger().warn("The unit file {} changed since systemd read it; start reloads it",
                          platform::to_text(unit_path()));
        }
        if (!reading.foreign.empty()) {
            logger().warn("systemd has another program's unit named {}, from {}; {} is not installed", unit_name_,
                          reading.foreign, service_name());
        }
        result = reading.status;
    } catch (const Unreachable& error) {
        // Our unit file is there (else no manager is asked): tell what the files say.
        const fs::path wants = unit_path().parent_path() / "default.target.wants" / unit_name_;
        result = {InstallationStatus::INSTALLED,
                  fs::exists(fs::symlink_status(wants)) ? EnablementStatus::ENABLED : EnablementStatus::DISABLED,
                  RunningStatus::NOT_RUNNING};
        logger().warn("{}; reporting {} from its unit files alone", error.what(), service_name());
    }
    logger().info("Service {} status: {}", service_name(), status::to_string(result));
    return result;
}

std::optional<version::Version> LinuxServiceManager::version() const {
    const std::string failure = "Failed to read version from unit file: ";
    const char* not_found = "Unit file not found, service may not be installed";
    try {
        logger().debug("Reading version from unit file: {}", platform::to_text(unit_path()));
        const auto content = platform::files::read_file(unit_path());
        if (!content) {
            // status asks every service for its version, installed or not: no warning.
            logger().debug(not_found);
            return std::nullopt;
        }
        const auto value = linux_unit::read_version(*content);
        if (!value || value->empty()) {
            logger().debug("The unit file records no version");
            return std::nullopt;
        }
        logger().debug("Version found in unit file: {}", *value);
        return version::Version(*value);
    } catch (const std::exception& error) {
        logger().error("{}{}", failure, error.what());
        std::throw_with_nested(ServiceOperationError(ServiceOperation::GET_VERSION, failure + error.what()));
    }
}

std::vector<std::string> LinuxServiceManager::log_viewer(int lines, bool follow) const {
    // Without a unit file the journal has nothing of ours to show (and journalctl would say so in
    // words of its own).
    if (!platform::files::exists(unit_path())) return {};
    std::vector<std::string> argv{"journalctl", "--user", "-u", unit_name_, "-n", std::to_string(lines)};
    if (follow) argv.emplace_back("-f");
    return argv;
}

}  // namespace vetra_service_manager::backends::systemd::linux
