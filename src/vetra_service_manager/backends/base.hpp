#pragma once
// The contract every platform backend fulfils for one service.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/logger.h>

#include "vetra_service_manager/diagnosis.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/process_table.hpp"
#include "vetra_service_manager/status.hpp"
#include "vetra_service_manager/version.hpp"

namespace vetra_service_manager::backends::base {

// A login can delay an agent's first launch by several seconds, so waits allow 30 s before giving
// up (a time-out is only a warning). Most changes come within the first second, so polls start
// FIRST_POLL_INTERVAL_MS apart and spread out as the wait goes on (each interval a twentieth of
// the time waited so far), up to DEFAULT_POLL_INTERVAL_MS: a change is noticed within about 5% of
// the time it took, and a long wait does not hammer the service manager.
inline constexpr int DEFAULT_STATUS_WAIT_TIMEOUT_SECONDS = 30;
inline constexpr int FIRST_POLL_INTERVAL_MS = 50;
inline constexpr int DEFAULT_POLL_INTERVAL_MS = 500;

// A start that changed something counts only once the service has kept running this long after
// it: a runner that fails on its configuration, or forks and exits, has ended by then, while the
// service manager still called the start a success.
inline constexpr std::chrono::milliseconds SETTLING_TIME{1000};

// When a start that changed something is watched for SETTLING_TIME: before the call returns
// (NOW), or by a later settle() (LATER), so that a command starting several services waits out
// their settling times together rather than one after the other.
enum class Settle { NOW, LATER };

// Whether the backends of one command may share their readings of the service manager. A command
// that changes state reads afresh after each change (FRESH); one that only reads (status) may ask
// once for all its services and hand each its part (SHARED).
enum class Readings { FRESH, SHARED };

// A file holding a service's output, shown by `logs` under its heading.
struct LogFile {
    std::string heading;
    std::filesystem::path path;
};

// The text of the exception being handled ("unknown error" for one that is no std::exception).
std::string describe_current_exception();

class ServiceManagerBackend {
public:
    using StatusPredicate = std::function<bool(const status::ServiceStatus&)>;

    ServiceManagerBackend(std::string service_name, std::filesystem::path app_dir,
                          std::shared_ptr<spdlog::logger> logger);
    virtual ~ServiceManagerBackend() = default;
    ServiceManagerBackend(const ServiceManagerBackend&) = delete;
    ServiceManagerBackend& operator=(const ServiceManagerBackend&) = delete;

    const std::string& service_name() const noexcept { return service_name_; }
    const std::filesystem::path& app_dir() const noexcept { return app_dir_; }
    spdlog::logger& logger() const noexcept { return *logger_; }

    // Leaves the service installed, enabled and running. An installed service's definition is not
    // rewritten, whatever version it has: it is only enabled and started through enable() and
    // start_and_settle(), and fails as START if it does not come up or stay up. A fresh one is
    // written by write_definition() and then enabled and started; any failure there, its settling
    // included, is cleaned up by clean_up_failed_install() and reported once: a
    // ServiceOperationError as it is, anything else as "Installation failed: <cause>" with
    // INSTALL, chained to the cause. `when`: when the start it made is settled.
    virtual void install(const std::vector<std::string>& program_arguments, const version::Version& version,
                         bool raise_if_already_installed = false, Settle when = Settle::NOW);
    virtual void uninstall(bool raise_if_not_installed = false) = 0;
    // Raises, as install() would, what stands in the way of an install and can be told before
    // the command changes anything (a service manager that cannot be reached). Default: nothing.
    virtual void check_installable() const {}

    // What a step did: changed the service, found it already so, or found no service to change;
    // STILL_RUNNING: a stop whose wait ran out with the service still running (or restarting), as
    // a reading after the stop says.
    enum class Outcome { CHANGED, ALREADY_SO, NOT_INSTALLED, STILL_RUNNING };
    // The four steps read the service once, skip (or, with the flag, raise the precondition error)
    // when it already is where the step would take it, and otherwise call the backend's own
    // action. enable and start raise ServiceNotInstalledError for a service that is not installed,
    // whatever their flag; so do both when the backend refuses the service (a user's mask), as a
    // ServiceOperationError. start enables a disabled service first; disable stops a running one
    // first (a disabled service keeps running until stopped, on every platform).
    Outcome enable(bool raise_if_already_enabled = false);
    Outcome disable(bool raise_if_already_disabled = false);
    Outcome start(bool raise_if_already_running = false);
    // Not only a running service: also one starting, stopping or waiting to be restarted.
    Outcome stop(bool raise_if_already_stopped = false);
    // start() for the callers that promise "started": a start that changed something is then
    // settled `when` it says. One that found the service running has nothing to settle.
    Outcome start_and_settle(bool raise_if_already_running = false, Settle when = Settle::NOW);
    // Watches the service last started by install() or start_and_settle() with Settle::LATER until
    // SETTLING_TIME has passed since that start, and raises START's ServiceOperationError, with the
    // backend's words on why, when it did not stay up (a fresh install is cleaned up first, as by
    // install()). Nothing to do when no start waits to be settled; each start is settled once.
    void settle();
    // Whether a start waits to be settled.
    bool settle_pending() const noexcept { return pending_settle_.has_value(); }
    // A fresh reading on every call.
    virtual status::ServiceStatus status() const = 0;
    virtual std::optional<version::Version> version() const = 0;

    // Where the service's output can be read: files of ours (default: none), or, where the system
    // keeps it, the argument vector of the system's own viewer showing the last `lines` lines and,
    // with `follow`, new ones as they come (default: none).
    virtual std::vector<LogFile> log_files() const { return {}; }
    // The processes this backend ended so far (default: none it could name), for whoever must wait
    // until they have let go of the runner's files.
    virtual std::vector<platform::process_table::Identity> stopped_processes() const { return {}; }
    virtual std::vector<std::string> log_viewer(int /*lines*/, bool /*follow*/) const { return {}; }
    // The directories the service's files are written in (its working directory, the directory of
    // its definition), which nobody but the user may change. Default: app_dir().
    virtual std::vector<std::filesystem::path> places_written() const { return {app_dir()}; }

    // What `doctor` tells of the service, changing nothing: by default its state as status() reads
    // it; a backend adds why it does not run, in its platform's words.
    virtual diagnosis::Findings diagnose() const;
    // What `doctor` tells of the user's session the services run in (default: nothing).
    virtual diagnosis::Findings diagnose_session() const { return {}; }
    // Of those, what `install` warns of once it is done: what keeps the services from running as
    // long as the user expects (default: nothing).
    virtual diagnosis::Findings install_warnings() const { return {}; }

    // Polls status() at once and then ever less often, at most max_poll_interval_ms apart, until
    // the predicate holds (true) or timeout_seconds have passed (false, with a warning). A time-out
    // of 0 polls nothing.
    bool _wait_for_service_status(const StatusPredicate& predicate,
                                  int timeout_seconds = DEFAULT_STATUS_WAIT_TIMEOUT_SECONDS,
                                  int max_poll_interval_ms = DEFAULT_POLL_INTERVAL_MS) const;
    // The same wait on a condition of the backend's own, for one that can tell what it waits for
    // at less cost than a whole status().
    bool _wait_until(const std::function<bool()>& condition,
                     int timeout_seconds = DEFAULT_STATUS_WAIT_TIMEOUT_SECONDS,
                     int max_poll_interval_ms = DEFAULT_POLL_INTERVAL_MS) const;

protected:
    // Why the service did not stay up from now until `until`, in the backend's words for the error
    // ("systemd reports ..."), or nothing when it did. It was started a moment ago, possibly with
    // another service started since: what happened in between must show as well. Default: polls
    // status() as _stays_up_until() does.
    virtual std::optional<std::string> why_not_settled(std::chrono::steady_clock::time_point until) const;
    // Whether `up` holds at once, at the intervals _wait_until() polls at, and once more at `until`;
    // false as soon as it does not.
    bool _stays_up_until(const std::function<bool()>& up, std::chrono::steady_clock::time_point until) const;

    // What a step decides on, read once at its start.
    struct StepReading {
        status::ServiceStatus status;
        // Something a stop would end: a running process, or one starting, stopping or waiting to
        // be restarted.
        bool stoppable = false;
        // Why the service may be neither enabled nor started, whatever its state (a decision of
        // the user's the backend never undoes); empty when nothing stands in the way.
        std::string refusal;
    };
    // Default: status(), stoppable unless NOT_RUNNING, no refusal.
    virtual StepReading read_step(exceptions::ServiceOperation operation) const;
    // The backends' own actions, called by the steps only when there is something to do; each
    // returns once it is done (start and stop: once the service runs or has stopped, as far as the
    // platform lets them tell), or raises a ServiceOperationError.
    virtual void enable_service() = 0;
    virtual void disable_service() = 0;
    virtual void start_service(const StepReading& current) = 0;
    virtual void stop_service(const StepReading& current) = 0;

    // The service is already where an operation would take it: with `raise`, a warning and the
    // precondition error; otherwise the debug line "<state>, skipping".
    template <class AlreadyError>
    void skip_or_raise(bool raise, const char* state) const {
        if (raise) {
            logger().warn("{}", state);
            throw AlreadyError();
        }
        logger().debug("{}, skipping", state);
    }

    // What the platform keeps of the service (unit file, property list, task), written so that
    // status() then reports it installed. Only called for a service that is not installed.
    virtual void write_definition(const std::vector<std::string>& program_arguments,
                                  const version::Version& version) = 0;
    // The clean-up of a failed install: uninstall(), and what a backend adds. The failure that led
    // here is the one to report, so a clean-up that fails as well (often for the same reason) is
    // only logged. Returns what had to be left behind, in words for the error ("" when nothing).
    virtual std::string clean_up_failed_install() noexcept;
    // Logs a clean-up failure in the words every backend uses (for the exception being handled).
    void log_failed_clean_up() const noexcept;

private:
    void enable_and_start_installed(Settle when);
    // Raises START's error unless why_not_settled() finds the service up until `until`.
    void check_settled(std::chrono::steady_clock::time_point until) const;
    // For a failed fresh install, from within the handler of its failure: cleans up and raises the
    // failure as install() reports it.
    [[noreturn]] void fail_install();
    // The backend's stop, then a reading: CHANGED when it left nothing to stop, else STILL_RUNNING.
    Outcome stop_and_read(const StepReading& current);
    // Raises the reading's refusal, if any, as `operation`'s error.
    void refuse_if_refused(const StepReading& current, exceptions::ServiceOperation operation) const;
    // ServiceNotInstalledError, with a warning, unless the reading says installed.
    void require_installed(const StepReading& current) const;

    std::string service_name_;
    std::filesystem::path app_dir_;
    std::shared_ptr<spdlog::logger> logger_;
    // The start that waits to be settled: when its settling time ends, and whether it is a fresh
    // install's (cleaned up should it not stay up).
    struct PendingSettle {
        std::chrono::steady_clock::time_point until;
        bool fresh_install = false;
    };
    std::optional<PendingSettle> pending_settle_;
};

}  // namespace vetra_service_manager::backends::base
