#pragma once
// A thin client of the systemd user manager's D-Bus API. One instance is one connection, closed
// by the destructor; keep it for one command and never across a fork.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sd_bus;

namespace vetra_service_manager::backends::systemd::linux_bus {

// The interfaces whose properties describe a unit, and a service unit in particular.
inline constexpr const char* UNIT_INTERFACE = "org.freedesktop.systemd1.Unit";
inline constexpr const char* SERVICE_INTERFACE = "org.freedesktop.systemd1.Service";

// The manager's ordinary calls on one connection (all but Reload and the waits for jobs) share
// this much time together: sd-bus's 25 s per call would add up on a manager that stopped
// answering, once per call of every clean-up step.
inline constexpr std::chrono::seconds CALL_ALLOWANCE{25};
// A reload rereads every unit file and regenerates: on a loaded system it can take minutes.
inline constexpr std::chrono::minutes RELOAD_TIMEOUT{3};

// No user manager could be reached. what() names both ways tried and why each failed.
class ConnectError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A call the manager refused or could not answer; what() is "<what was asked>: <its reason>".
class CallError : public std::runtime_error {
public:
    CallError(const std::string& message, std::string error_name);
    // The D-Bus error name, e.g. "org.freedesktop.systemd1.NoSuchUnit" (empty for local failures).
    const std::string& error_name() const noexcept { return error_name_; }

private:
    std::string error_name_;
};

// The string and boolean ("yes", "no") properties of a unit that were asked for, by name.
using Properties = std::map<std::string, std::string>;

class UserManager {
public:
    // The manager's private socket $XDG_RUNTIME_DIR/systemd/private, else the user bus
    // (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus). Only an absolute XDG_RUNTIME_DIR
    // counts: a relative one would name a socket wherever we happen to be started.
    static UserManager connect();
    ~UserManager();
    UserManager(UserManager&& other) noexcept;
    UserManager(const UserManager&) = delete;
    UserManager& operator=(const UserManager&) = delete;
    UserManager& operator=(UserManager&&) = delete;

    // False once the manager has dropped the connection (it restarted, or ended).
    bool is_open() const;
    // How it was reached: its socket's path, or "the user bus <address>".
    const std::string& reached_through() const noexcept { return reached_through_; }

    void reload();
    void enable_unit_file(const std::string& unit);
    // Removes the unit's enablement links, lasting ones and those for this boot alike.
    void disable_unit_file(const std::string& unit);
    // Called once when a job has taken longer than a few seconds.
    using SlowNotice = std::function<void()>;
    // Queue a job for the unit and wait until the manager reports it finished (at most `timeout`);
    // returns the job's result: "done", "failed", "canceled", "timeout", "dependency", ... A job
    // still unfinished at the time-out is canceled, so that nothing stays queued.
    std::string start_unit(const std::string& unit, std::chrono::seconds timeout);
    std::string restart_unit(const std::string& unit, std::chrono::seconds timeout);
    std::string stop_unit(const std::string& unit, std::chrono::seconds timeout, const SlowNotice& slow = {});
    // A unit the manager does not know has nothing to reset.
    void reset_failed_unit(const std::string& unit);
    // Tells readings apart: it changes with every call on this connection that may change a unit's
    // state (reload, enablement, jobs). A reading taken under another generation may be out of date.
    std::uint64_t generation() const noexcept { return generation_; }

    // A property of the unit's object: `interface` "org.freedesktop.systemd1.Unit" or
    // "org.freedesktop.systemd1.Service".
    std::string unit_property(const std::string& unit, const char* interface, const char* property);
    int unit_int_property(const std::string& unit, const char* interface, const char* property);
    std::uint64_t unit_uint64_property(const std::string& unit, const char* interface, const char* property);
    std::uint32_t unit_uint32_property(const std::string& unit, const char* interface, const char* property);

    // The program the unit's first ExecStart= command runs ("" when it has none).
    std::string exec_program(const std::string& unit);
    // The first of the unit's conditions that failed when it was last checked, as the unit file
    // writes it ("ConditionPathExists=!/x"); "" when none did.
    std::string failed_condition(const std::string& unit);
    struct ActiveState {
        std::string active;  // ActiveState
        std::string sub;     // SubState
    };
    // Watches the unit from now until `deadline` through the manager's PropertiesChanged signals,
    // not by asking again and again: the first state it is in that is not active/running, or
    // nothing when it stayed so throughout.
    std::optional<ActiveState> watch_running(const std::string& unit, std::chrono::steady_clock::time_point deadline);

    struct Survey {
        // The directories the manager reads unit files from, first to last (its UnitPath).
        std::vector<std::string> unit_search_path;
        // By unit: the string and boolean properties among those wanted; a property the manager
        // did not report is left out.
        std::map<std::string, Properties> units;
    };
    // The unit search path and the `wanted` properties of each unit's `interface`, all asked for
    // at once and read together: one round trip however many units.
    Survey survey(const std::vector<std::string>& units, const char* interface, const std::set<std::string>& wanted);

private:
    explicit UserManager(sd_bus* bus);
    // Called before every call that may change a unit's state.
    void changed();
    // Runs a call that draws on the allowance: it may take what remains of it.
    int ordinary(const std::string& what, const std::function<int()>& call);
    std::string run_job(const char* method, const std::string& unit, std::chrono::seconds timeout,
                        const SlowNotice& slow = {});

    sd_bus* bus_;
    std::string reached_through_;
    std::chrono::steady_clock::duration allowance_ = CALL_ALLOWANCE;
    std::uint64_t generation_ = 0;
    bool subscribed_ = false;  // to the manager's signals, on the user bus
};

}  // namespace vetra_service_manager::backends::systemd::linux_bus
