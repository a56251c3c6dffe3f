#include "vetra_service_manager/backends/systemd/linux_bus.hpp"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::systemd::linux_bus {
namespace {

constexpr const char* DESTINATION = "org.freedesktop.systemd1";
constexpr const char* MANAGER_PATH = "/org/freedesktop/systemd1";
constexpr const char* MANAGER_INTERFACE = "org.freedesktop.systemd1.Manager";
constexpr const char* NO_SUCH_UNIT = "org.freedesktop.systemd1.NoSuchUnit";
// A job running longer than this is worth a word to the user.
constexpr std::chrono::seconds SLOW_JOB{5};

struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
};

struct Message {
    sd_bus_message* message = nullptr;
    ~Message() { sd_bus_message_unref(message); }
};

[[noreturn]] void raise_call(const std::string& what, int code, const sd_bus_error* error = nullptr) {
    if (error && sd_bus_error_is_set(error)) {
        throw CallError(fmt::format("{}: {}", what, error->message ? error->message : error->name), error->name);
    }
    throw CallError(fmt::format("{}: {}", what, std::strerror(-code)), {});
}

// Why a connection failed, in words a user knows: sd-bus reports a missing bus address as
// ENOMEDIUM ("No medium found").
std::string plain_reason(int code) {
    if (code == -ENOMEDIUM) return "no address known";
    if (code == -ENOENT) return "no such socket";
    if (code == -ECONNREFUSED) return "nobody listens";
    return std::strerror(-code);
}

void check(int code, const std::string& what, const sd_bus_error* error = nullptr) {
    if (code < 0) raise_call(what, code, error);
}

std::string unit_path(const std::string& unit) {
    char* path = nullptr;
    check(sd_bus_path_encode("/org/freedesktop/systemd1/unit", unit.c_str(), &path), "Cannot name " + unit);
    std::string result(path);
    std::free(path);
    return result;
}

// The jobs the manager reported finished, collected while we wait for ours.
struct FinishedJobs {
    std::vector<std::pair<std::string, std::string>> path_and_result;
};

int on_job_removed(sd_bus_message* message, void* userdata, sd_bus_error*) {
    std::uint32_t id = 0;
    const char *path = nullptr, *unit = nullptr, *result = nullptr;
    if (sd_bus_message_read(message, "uoss", &id, &path, &unit, &result) >= 0) {
        static_cast<FinishedJobs*>(userdata)->path_and_result.emplace_back(path, result);
    }
    return 0;
}

}  // namespace

CallError::CallError(const std::string& message, std::string error_name)
    : std::runtime_error(message), error_name_(std::move(error_name)) {}

UserManager UserManager::connect() {
    // As `systemctl --user` does: the manager's own socket first, then the user bus, which may be
    // a session bus the manager is not on (dbus-launch, dbus-run-session).
    sd_bus* bus = nullptr;
    const auto runtime_dir = platform::env("XDG_RUNTIME_DIR");
    std::string private_failure = "XDG_RUNTIME_DIR is not set";
    if (runtime_dir && !runtime_dir->empty()) {
        const std::string socket = *runtime_dir + "/systemd/private";
        int code = sd_bus_new(&bus);
        if (code >= 0) code = sd_bus_set_address(bus, ("unix:path=" + socket).c_str());
        if (code >= 0) code = sd_bus_start(bus);
        if (code >= 0) return UserManager(bus);
        sd_bus_unref(bus);
        bus = nullptr;
        private_failure = fmt::format("{}: {}", socket, plain_reason(code));
    }
    const int user_bus = sd_bus_open_user(&bus);
    if (user_bus >= 0) return UserManager(bus);
    throw ConnectError(fmt::format("no user bus ({}), and no manager socket ({})", plain_reason(user_bus),
                                   private_failure));
}

UserManager::~UserManager() {
    if (bus_) sd_bus_flush_close_unref(bus_);
}

UserManager::UserManager(UserManager&& other) noexcept : bus_(other.bus_) { other.bus_ = nullptr; }

void UserManager::reload() {
    BusError error;
    check(sd_bus_call_method(bus_, DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, "Reload", &error.error, nullptr, ""),
          "Cannot reload the user manager", &error.error);
}

void UserManager::enable_unit_file(const std::string& unit) {
    BusError error;
    Message reply;
    // Not runtime-only, and replacing a stale link of the same name.
    check(sd_bus_call_method(bus_, DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, "EnableUnitFiles", &error.error,
                             &reply.message, "asbb", 1, unit.c_str(), 0, 1),
          "Cannot enable " + unit, &error.error);
}

void UserManager::disable_unit_file(const std::string& unit) {
    BusError error;
    Message reply;
    const int code = sd_bus_call_method(bus_, DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, "DisableUnitFiles",
                                        &error.error, &reply.message, "asb", 1, unit.c_str(), 0);
    // A unit whose file is gone has no link left to remove.
    if (code < 0 && sd_bus_error_has_name(&error.error, NO_SUCH_UNIT)) return;
    check(code, "Cannot disable " + unit, &error.error);
}

std::string UserManager::start_unit(const std::string& unit, std::chrono::seconds timeout) {
    return run_job("StartUnit", unit, timeout);
}

std::string UserManager::restart_unit(const std::string& unit, std::chrono::seconds timeout) {
    return run_job("RestartUnit", unit, timeout);
}

std::string UserManager::stop_unit(const std::string& unit, std::chrono::seconds timeout, const SlowNotice& slow) {
    return run_job("StopUnit", unit, timeout, slow);
}

std::string UserManager::run_job(const char* method, const std::string& unit, std::chrono::seconds timeout,
                                 const SlowNotice& slow) {
    const std::string what = fmt::format("{} {}", method, unit);
    // Listen before asking: the job may finish before the reply that names it is read.
    FinishedJobs finished;
    sd_bus_slot* slot = nullptr;
    check(sd_bus_match_signal(bus_, &slot, sd_bus_is_bus_client(bus_) > 0 ? DESTINATION : nullptr, MANAGER_PATH,
                              MANAGER_INTERFACE, "JobRemoved", on_job_removed, &finished),
          "Cannot watch the jobs of the user manager");
    struct SlotGuard {
        sd_bus_slot* slot;
        ~SlotGuard() { sd_bus_slot_unref(slot); }
    } guard{slot};

    BusError error;
    Message reply;
    check(sd_bus_call_method(bus_, DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, method, &error.error, &reply.message,
                             "ss", unit.c_str(), "replace"),
          what, &error.error);
    const char* job_text = nullptr;
    check(sd_bus_message_read(reply.message, "o", &job_text), what);
    const std::string job(job_text);

    const auto now = std::chrono::steady_clock::now();
    const auto deadline = now + timeout;
    auto notice = slow ? now + SLOW_JOB : deadline;
    for (;;) {
        for (const auto& [path, result] : finished.path_and_result) {
            if (path == job) return result;
        }
        const int processed = sd_bus_process(bus_, nullptr);
        check(processed, "Lost the user manager while waiting for " + what);
        if (processed > 0) continue;
        const auto current = std::chrono::steady_clock::now();
        if (current >= deadline) {
            // Left queued, the job would still run later, long after the command said it failed.
            BusError ignored;
            sd_bus_call_method(bus_, DESTINATION, job.c_str(), "org.freedesktop.systemd1.Job", "Cancel",
                               &ignored.error, nullptr, "");
            throw CallError(fmt::format("{}: no answer from the user manager within {} s (job {} canceled)", what,
                                        timeout.count(), job),
                            {});
        }
        if (current >= notice) {
            slow();
            notice = deadline;
        }
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(std::min(deadline, notice) - current).count();
        check(sd_bus_wait(bus_, static_cast<std::uint64_t>(micros)), "Lost the user manager while waiting for " + what);
    }
}

void UserManager::reset_failed_unit(const std::string& unit) {
    BusError error;
    const int code = sd_bus_call_method(bus_, DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, "ResetFailedUnit",
                                        &error.error, nullptr, "s", unit.c_str());
    if (code < 0 && sd_bus_error_has_name(&error.error, NO_SUCH_UNIT)) return;
    check(code, "Cannot reset the failed state of " + unit, &error.error);
}

std::string UserManager::unit_property(const std::string& unit, const char* interface, const char* property) {
    BusError error;
    char* value = nullptr;
    check(sd_bus_get_property_string(bus_, DESTINATION, unit_path(unit).c_str(), interface, property, &error.error,
                                     &value),
          fmt::format("Cannot read {} of {}", property, unit), &error.error);
    std::string result(value);
    std::free(value);
    return result;
}

int UserManager::unit_int_property(const std::string& unit, const char* interface, const char* property) {
    BusError error;
    std::int32_t value = 0;
    check(sd_bus_get_property_trivial(bus_, DESTINATION, unit_path(unit).c_str(), interface, property, &error.error,
                                      'i', &value),
          fmt::format("Cannot read {} of {}", property, unit), &error.error);
    return value;
}

std::uint64_t UserManager::unit_uint64_property(const std::string& unit, const char* interface, const char* property) {
    BusError error;
    std::uint64_t value = 0;
    check(sd_bus_get_property_trivial(bus_, DESTINATION, unit_path(unit).c_str(), interface, property, &error.error,
                                      't', &value),
          fmt::format("Cannot read {} of {}", property, unit), &error.error);
    return value;
}

std::map<std::string, std::string> UserManager::unit_string_properties(const std::string& unit, const char* interface,
                                                                      const std::set<std::string>& wanted) {
    const std::string what = fmt::format("Cannot read the state of {}", unit);
    BusError error;
    Message reply;
    check(sd_bus_call_method(bus_, DESTINATION, unit_path(unit).c_str(), "org.freedesktop.DBus.Properties", "GetAll",
                             &error.error, &reply.message, "s", interface),
          what, &error.error);
    std::map<std::string, std::string> found;
    check(sd_bus_message_enter_container(reply.message, SD_BUS_TYPE_ARRAY, "{sv}"), what);
    for (;;) {
        const int entered = sd_bus_message_enter_container(reply.message, SD_BUS_TYPE_DICT_ENTRY, "sv");
        check(entered, what);
        if (entered == 0) break;
        const char* name = nullptr;
        check(sd_bus_message_read(reply.message, "s", &name), what);
        const char* value = nullptr;
        int flag = 0;
        // A wanted name whose value is neither a string nor a boolean is skipped like any other.
        if (wanted.count(name) && sd_bus_message_read(reply.message, "v", "s", &value) >= 0) {
            found.emplace(name, value);
        } else if (wanted.count(name) && sd_bus_message_read(reply.message, "v", "b", &flag) >= 0) {
            found.emplace(name, flag ? "yes" : "no");
        } else {
            check(sd_bus_message_skip(reply.message, "v"), what);
        }
        check(sd_bus_message_exit_container(reply.message), what);
    }
    check(sd_bus_message_exit_container(reply.message), what);
    return found;
}

}  // namespace vetra_service_manager::backends::systemd::linux_bus
