#pragma once
// A thin client of the systemd user manager's D-Bus API. One instance is one connection, opened
// by connect() and closed by the destructor; keep it for one command and never across a fork.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <stdexcept>
#include <string>

struct sd_bus;

namespace vetra_service_manager::backends::systemd::linux_bus {

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

class UserManager {
public:
    // The manager's private socket $XDG_RUNTIME_DIR/systemd/private, else the user bus
    // (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus).
    static UserManager connect();
    ~UserManager();
    UserManager(UserManager&& other) noexcept;
    UserManager(const UserManager&) = delete;
    UserManager& operator=(const UserManager&) = delete;
    UserManager& operator=(UserManager&&) = delete;

    void reload();
    void enable_unit_file(const std::string& unit);
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

    // A property of the unit's object: `interface` "org.freedesktop.systemd1.Unit" or
    // "org.freedesktop.systemd1.Service".
    std::string unit_property(const std::string& unit, const char* interface, const char* property);
    int unit_int_property(const std::string& unit, const char* interface, const char* property);
    std::uint64_t unit_uint64_property(const std::string& unit, const char* interface, const char* property);
    // The string and boolean ("yes", "no") properties among `wanted` of the unit's `interface`, read
    // in one round trip; a property the manager did not report is left out.
    std::map<std::string, std::string> unit_string_properties(const std::string& unit, const char* interface,
                                                              const std::set<std::string>& wanted);

private:
    explicit UserManager(sd_bus* bus) : bus_(bus) {}
    std::string run_job(const char* method, const std::string& unit, std::chrono::seconds timeout,
                        const SlowNotice& slow = {});

    sd_bus* bus_;
};

}  // namespace vetra_service_manager::backends::systemd::linux_bus
