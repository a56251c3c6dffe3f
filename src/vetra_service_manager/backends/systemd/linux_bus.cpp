#include "vetra_service_manager/backends/systemd/linux_bus.hpp"
#include "vetra_service_manager/backends/systemd/linux_sd_bus.hpp"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::systemd::linux_bus {
namespace {

constexpr const char* LOGGER_NAME = "vetra_service_manager.backends.systemd.linux_bus";
constexpr const char* DESTINATION = "org.freedesktop.systemd1";
constexpr const char* MANAGER_PATH = "/org/freedesktop/systemd1";
constexpr const char* MANAGER_INTERFACE = "org.freedesktop.systemd1.Manager";
constexpr const char* PROPERTIES = "org.freedesktop.DBus.Properties";
constexpr const char* NO_SUCH_UNIT = "org.freedesktop.systemd1.NoSuchUnit";
// A job running longer than this is worth a word to the user.
constexpr std::chrono::seconds SLOW_JOB{5};

using linux_sd_bus::BusError;
using linux_sd_bus::Message;

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

struct SlotGuard {
    sd_bus_slot* slot = nullptr;
    SlotGuard(sd_bus_slot* owned) : slot(owned) {}
    SlotGuard(SlotGuard&& other) noexcept : slot(other.slot) { other.slot = nullptr; }
    SlotGuard(const SlotGuard&) = delete;
    ~SlotGuard() { sd_bus_slot_unref(slot); }
};

// The answer to one of several calls sent together.
struct Pending {
    Message reply;
};

int on_answer(sd_bus_message* message, void* userdata, sd_bus_error*) {
    static_cast<Pending*>(userdata)->reply.message = sd_bus_message_ref(message);
    return 0;
}

// An answer that is an error becomes a CallError saying `what` could not be done.
void check_answer(sd_bus_message* answer, const std::string& what) {
    if (const sd_bus_error* failure = sd_bus_message_get_error(answer)) {
        raise_call(what, -sd_bus_error_get_errno(failure), failure);
    }
}

// The string and boolean ("yes", "no") properties among `wanted` in an answer to GetAll.
Properties read_properties(sd_bus_message* reply, const std::set<std::string>& wanted, const std::string& what) {
    Properties found;
    check(sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{sv}"), what);
    for (;;) {
        const int entered = sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "sv");
        check(entered, what);
        if (entered == 0) break;
        const char* name = nullptr;
        check(sd_bus_message_read(reply, "s", &name), what);
        const char* value = nullptr;
        int flag = 0;
        // A wanted name whose value is neither a string nor a boolean is skipped like any other.
        if (wanted.count(name) && sd_bus_message_read(reply, "v", "s", &value) >= 0) {
            found.emplace(name, value);
        } else if (wanted.count(name) && sd_bus_message_read(reply, "v", "b", &flag) >= 0) {
            found.emplace(name, flag ? "yes" : "no");
        } else {
            check(sd_bus_message_skip(reply, "v"), what);
        }
        check(sd_bus_message_exit_container(reply), what);
    }
    check(sd_bus_message_exit_container(reply), what);
    return found;
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

// What the signals of a watched unit told: the first state it was in that is not active/running.
struct UnitWatch {
    std::optional<UserManager::ActiveState> left;
    // A signal told of a change without the new values: they are asked for.
    bool reread = false;

    void seen(const std::string& active, const std::string& sub) {
        if (!left && (active != "active" || sub != "running")) left = UserManager::ActiveState{active, sub};
    }
};

int on_properties_changed(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& watch = *static_cast<UnitWatch*>(userdata);
    const char* interface = nullptr;
    if (sd_bus_message_read(message, "s", &interface) < 0) {
        watch.reread = true;
        return 0;
    }
    // The Service interface's changes (Result, ExecMainStatus, ...) come as signals of their own.
    if (std::strcmp(interface, UNIT_INTERFACE) != 0) return 0;
    try {
        auto changed = read_properties(message, {"ActiveState", "SubState"}, "PropertiesChanged");
        if (changed.count("ActiveState") && changed.count("SubState")) {
            watch.seen(changed["ActiveState"], changed["SubState"]);
        } else {
            watch.reread = true;
        }
    } catch (const CallError&) {
        watch.reread = true;
    }
    return 0;
}

}  // namespace

CallError::CallError(const std::string& message, std::string error_name)
    : std::runtime_error(message), error_name_(std::move(error_name)) {}

namespace {

// A path in a D-Bus address: every byte but [-0-9A-Za-z_/.\*] as %xx.
std::string escaped(const std::string& path) {
    constexpr std::string_view plain = "-_/.\\*";
    std::string out;
    for (const char byte : path) {
        const bool alnum = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
        out += alnum || plain.find(byte) != std::string_view::npos
                   ? std::string(1, byte)
                   : fmt::format("%{:02x}", static_cast<unsigned char>(byte));
    }
    return out;
}

// Where the manager may be reached, as the environment says now.
struct Addresses {
    std::optional<std::string> socket;    // the manager's private socket (a path)
    std::optional<std::string> user_bus;  // a D-Bus address
    std::optional<std::string> user_bus_path;  // its socket, when we made the address from a path
};

Addresses addresses() {
    Addresses found;
    const auto runtime_dir = platform::directory_env("XDG_RUNTIME_DIR");
    if (runtime_dir) found.socket = platform::to_text(*runtime_dir / "systemd" / "private");
    if (auto session = platform::env("DBUS_SESSION_BUS_ADDRESS"); session && !session->empty()) {
        found.user_bus = std::move(*session);
    } else if (runtime_dir) {
        found.user_bus_path = platform::to_text(*runtime_dir / "bus");
        found.user_bus = "unix:path=" + escaped(*found.user_bus_path);
    }
    return found;
}

// A connection started at `address`, or the error code. A socket that is not there is told
// without loading libsystemd: that is all `status` needs to learn where no manager runs, and
// loading the library would cost it more than the rest of its work.
int open_at(const std::string& address, const std::optional<std::string>& socket, bool bus_client, sd_bus** opened) {
    if (socket && ::access(socket->c_str(), F_OK) != 0) return -errno;
    sd_bus* bus = nullptr;
    int code = sd_bus_new(&bus);
    if (code >= 0) code = sd_bus_set_address(bus, address.c_str());
    if (code >= 0) code = sd_bus_set_bus_client(bus, bus_client);
    if (code >= 0) code = sd_bus_start(bus);
    if (code < 0) {
        sd_bus_unref(bus);
        return code;
    }
    *opened = bus;
    return code;
}

}  // namespace

UserManager UserManager::connect() {
    // As `systemctl --user` does: the manager's own socket first, then the user bus, which may be
    // a session bus the manager is not on (dbus-launch, dbus-run-session).
    const Addresses where = addresses();
    sd_bus* bus = nullptr;
    std::string private_failure = "no absolute XDG_RUNTIME_DIR";
    const auto connected = [&](const std::string& how) {
        logging::get_logger(LOGGER_NAME)->info("Connected to the systemd user manager through {}", how);
        UserManager manager(bus);
        manager.reached_through_ = how;
        return manager;
    };
    if (where.socket) {
        const int code = open_at("unix:path=" + escaped(*where.socket), where.socket, false, &bus);
        if (code >= 0) return connected(*where.socket);
        private_failure = fmt::format("{}: {}", *where.socket, plain_reason(code));
    }
    const int code = where.user_bus ? open_at(*where.user_bus, where.user_bus_path, true, &bus) : -ENOMEDIUM;
    if (code >= 0) return connected("the user bus " + *where.user_bus);
    throw ConnectError(fmt::format("no user bus ({}), and no manager socket ({})", plain_reason(code),
                                   private_failure));
}

UserManager::UserManager(sd_bus* bus) : bus_(bus) {}

UserManager::~UserManager() {
    if (!bus_) return;
    // Flushing waits for the handshake first, 90 s with a manager that never answered; such a
    // connection has nothing to send anyway.
    if (sd_bus_is_ready(bus_) > 0) {
        sd_bus_flush_close_unref(bus_);
    } else {
        sd_bus_close(bus_);
        sd_bus_unref(bus_);
    }
}

UserManager::UserManager(UserManager&& other) noexcept
    : bus_(other.bus_), reached_through_(std::move(other.reached_through_)), allowance_(other.allowance_), generation_(other.generation_), subscribed_(other.subscribed_) {
    other.bus_ = nullptr;
}

bool UserManager::is_open() const { return bus_ && sd_bus_is_open(bus_) > 0; }

void UserManager::changed() { ++generation_; }

int UserManager::ordinary(const std::string& what, const std::function<int()>& call) {
    using namespace std::chrono;
    const auto begun = steady_clock::now();
    const auto deadline = begun + allowance_;
    // sd-bus would wait for a new connection's handshake as long as it likes (90 s), whatever the
    // call's time-out: the handshake draws on the allowance like the calls.
    int code = 0;
    while (code >= 0 && (code = sd_bus_is_ready(bus_)) == 0) {
        const auto now = steady_clock::now();
        code = now >= deadline ? -ETIMEDOUT : sd_bus_process(bus_, nullptr);
        if (code == 0) {
            code = sd_bus_wait(bus_, static_cast<std::uint64_t>(duration_cast<microseconds>(deadline - now).count()));
        }
    }
    if (code >= 0) {
        // 0 would mean sd-bus's default: at least a microsecond.
        const auto left = duration_cast<microseconds>(deadline - steady_clock::now()).count();
        code = left > 0 ? sd_bus_set_method_call_timeout(bus_, static_cast<std::uint64_t>(left)) : -ETIMEDOUT;
    }
    if (code >= 0) code = call();
    allowance_ -= steady_clock::now() - begun;
    if (code == -ETIMEDOUT) {
        throw CallError(fmt::format("{}: no answer from the user manager within {} s", what, CALL_ALLOWANCE.count()),
                        {});
    }
    return code;
}

void UserManager::reload() {
    changed();
    BusError error;
    sd_bus_set_method_call_timeout(bus_, std::chrono::duration_cast<std::chrono::microseconds>(RELOAD_TIMEOUT).count());
    const int code =
        sd_bus_call_method(bus_, DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, "Reload", &error.error, nullptr, "");
    if (code == -ETIMEDOUT) {
        throw CallError(fmt::format("Cannot reload the user manager: no answer within {} min", RELOAD_TIMEOUT.count()),
                        {});
    }
    check(code, "Cannot reload the user manager", &error.error);
}

void UserManager::enable_unit_file(const std::string& unit) {
    changed();
    const std::string what = "Cannot enable " + unit;
    BusError error;
    Message reply;
    // Not runtime-only, and replacing a stale link of the same name.
    check(ordinary(what, [&] {
              return sd_bus_call_method(bus_, DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, "EnableUnitFiles",
                                        &error.error, &reply.message, "asbb", 1, unit.c_str(), 0, 1);
          }),
          what, &error.error);
}

void UserManager::disable_unit_file(const std::string& unit) {
    changed();
    const std::string what = "Cannot disable " + unit;
    // The lasting links, then those for this boot (below the runtime directory): each call removes
    // only one kind.
    for (const int runtime : {0, 1}) {
        BusError failure;
        Message answer;
        const int code = ordinary(what, [&] {
            return sd_bus_call_method(bus_, DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, "DisableUnitFiles",
                                      &failure.error, &answer.message, "asb", 1, unit.c_str(), runtime);
        });
        // A unit whose file is gone has no link left to remove.
        if (code < 0 && sd_bus_error_has_name(&failure.error, NO_SUCH_UNIT)) continue;
        check(code, what, &failure.error);
    }
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
    changed();
    const std::string what = fmt::format("{} {}", method, unit);
    // Listen before asking: the job may finish before the reply that names it is read.
    FinishedJobs finished;
    sd_bus_slot* slot = nullptr;
    check(sd_bus_match_signal(bus_, &slot, sd_bus_is_bus_client(bus_) > 0 ? DESTINATION : nullptr, MANAGER_PATH,
                              MANAGER_INTERFACE, "JobRemoved", on_job_removed, &finished),
          "Cannot watch the jobs of the user manager");
    const SlotGuard guard{slot};

    BusError error;
    Message reply;
    check(ordinary(what, [&] {
              return sd_bus_call_method(bus_, DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, method, &error.error,
                                        &reply.message, "ss", unit.c_str(), "replace");
          }),
          what, &error.error);
    const char* job_text = nullptr;
    check(sd_bus_message_read(reply.message, "o", &job_text), what);
    const std::string job(job_text);

    // The job's own time, not the allowance of the calls: it is the unit that takes this long.
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
            // Sent without waiting for the answer: a manager this slow would only make us wait more.
            sd_bus_call_method_async(bus_, nullptr, DESTINATION, job.c_str(), "org.freedesktop.systemd1.Job", "Cancel",
                                     nullptr, nullptr, "");
            sd_bus_flush(bus_);
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
    changed();
    const std::string what = "Cannot reset the failed state of " + unit;
    BusError error;
    const int code = ordinary(what, [&] {
        return sd_bus_call_method(bus_, DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, "ResetFailedUnit", &error.error,
                                  nullptr, "s", unit.c_str());
    });
    if (code < 0 && sd_bus_error_has_name(&error.error, NO_SUCH_UNIT)) return;
    check(code, what, &error.error);
}

std::string UserManager::unit_property(const std::string& unit, const char* interface, const char* property) {
    const std::string what = fmt::format("Cannot read {} of {}", property, unit);
    BusError error;
    char* value = nullptr;
    check(ordinary(what, [&] {
              return sd_bus_get_property_string(bus_, DESTINATION, unit_path(unit).c_str(), interface, property,
                                                &error.error, &value);
          }),
          what, &error.error);
    std::string result(value);
    std::free(value);
    return result;
}

int UserManager::unit_int_property(const std::string& unit, const char* interface, const char* property) {
    const std::string what = fmt::format("Cannot read {} of {}", property, unit);
    BusError error;
    std::int32_t value = 0;
    check(ordinary(what, [&] {
              return sd_bus_get_property_trivial(bus_, DESTINATION, unit_path(unit).c_str(), interface, property,
                                                 &error.error, 'i', &value);
          }),
          what, &error.error);
    return value;
}

namespace {

// A property of a fixed-size D-Bus type: `type` its signature letter, T its C type.
template <class T>
T trivial_property(const std::function<int(const std::string&, const std::function<int()>&)>& ordinary, sd_bus* bus, const std::string& unit, const char* interface, const char* property, char type) {
    const std::string what = fmt::format("Cannot read {} of {}", property, unit);
    BusError error;
    T value{};
    check(ordinary(what, [&] {
              return sd_bus_get_property_trivial(bus, DESTINATION, unit_path(unit).c_str(), interface, property,
                                                 &error.error, type, &value);
          }),
          what, &error.error);
    return value;
}

}  // namespace

std::uint64_t UserManager::unit_uint64_property(const std::string& unit, const char* interface, const char* property) {
    return trivial_property<std::uint64_t>([this](const std::string& what, const std::function<int()>& call) {
        return ordinary(what, call);
    }, bus_, unit, interface, property, 't');
}

std::uint32_t UserManager::unit_uint32_property(const std::string& unit, const char* interface, const char* property) {
    return trivial_property<std::uint32_t>([this](const std::string& what, const std::function<int()>& call) {
        return ordinary(what, call);
    }, bus_, unit, interface, property, 'u');
}

std::string UserManager::exec_program(const std::string& unit) {
    const std::string what = fmt::format("Cannot read ExecStart of {}", unit);
    BusError error;
    Message reply;
    check(ordinary(what, [&] {
              return sd_bus_get_property(bus_, DESTINATION, unit_path(unit).c_str(), SERVICE_INTERFACE, "ExecStart",
                                         &error.error, &reply.message, "a(sasbttttuii)");
          }),
          what, &error.error);
    const char* program = nullptr;
    check(sd_bus_message_enter_container(reply.message, SD_BUS_TYPE_ARRAY, "(sasbttttuii)"), what);
    const int entered = sd_bus_message_enter_container(reply.message, SD_BUS_TYPE_STRUCT, "sasbttttuii");
    check(entered, what);
    if (entered > 0) check(sd_bus_message_read(reply.message, "s", &program), what);
    return program ? program : "";
}

std::string UserManager::failed_condition(const std::string& unit) {
    const std::string what = fmt::format("Cannot read the conditions of {}", unit);
    BusError error;
    Message reply;
    check(ordinary(what, [&] {
              return sd_bus_get_property(bus_, DESTINATION, unit_path(unit).c_str(), UNIT_INTERFACE, "Conditions",
                                         &error.error, &reply.message, "a(sbbsi)");
          }),
          what, &error.error);
    check(sd_bus_message_enter_container(reply.message, SD_BUS_TYPE_ARRAY, "(sbbsi)"), what);
    for (;;) {
        const char *type = nullptr, *parameter = nullptr;
        int trigger = 0, negate = 0, state = 0;
        const int read = sd_bus_message_read(reply.message, "(sbbsi)", &type, &trigger, &negate, &parameter, &state);
        check(read, what);
        if (read == 0) return "";
        // The state of its last check: positive passed, negative failed, zero not checked.
        if (state < 0) return fmt::format("{}={}{}", type, negate ? "!" : "", parameter);
    }
}

std::optional<UserManager::ActiveState> UserManager::watch_running(const std::string& unit,
                                                                  std::chrono::steady_clock::time_point deadline) {
    const std::string what = "Cannot watch " + unit;
    const bool bus_client = sd_bus_is_bus_client(bus_) > 0;
    // The manager sends a unit's changes to every connection on its private socket, but on the
    // bus only to the clients that subscribed.
    if (bus_client && !subscribed_) {
        BusError error;
        const int code = ordinary(what, [&] {
            return sd_bus_call_method(bus_, DESTINATION, MANAGER_PATH, MANAGER_INTERFACE, "Subscribe", &error.error,
                                      nullptr, "");
        });
        if (code < 0 && !sd_bus_error_has_name(&error.error, "org.freedesktop.systemd1.AlreadySubscribed")) {
            check(code, what, &error.error);
        }
        subscribed_ = true;
    }
    // Listen before reading: a change right after the reading must not pass unseen. On the bus,
    // only the manager's own signals count (any client may send one that looks like them).
    UnitWatch watch;
    sd_bus_slot* slot = nullptr;
    check(sd_bus_match_signal(bus_, &slot, bus_client ? DESTINATION : nullptr, unit_path(unit).c_str(), PROPERTIES,
                              "PropertiesChanged", on_properties_changed, &watch),
          what);
    const SlotGuard guard{slot};
    const auto read_state = [&] {
        watch.reread = false;
        const std::string active = unit_property(unit, UNIT_INTERFACE, "ActiveState");
        watch.seen(active, unit_property(unit, UNIT_INTERFACE, "SubState"));
    };
    read_state();
    const std::string lost = "Lost the user manager while watching " + unit;
    while (!watch.left) {
        const int processed = sd_bus_process(bus_, nullptr);
        check(processed, lost);
        if (processed > 0) continue;
        if (watch.reread) {
            read_state();
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
        // An interrupt (the user's Ctrl-C) ends the wait early: the watch goes on to its end.
        const int waited = sd_bus_wait(bus_, static_cast<std::uint64_t>(micros));
        if (waited != -EINTR) check(waited, lost);
    }
    return watch.left;
}

UserManager::Survey UserManager::survey(const std::vector<std::string>& units, const char* interface,
                                        const std::set<std::string>& wanted) {
    const std::string what = "Cannot read the state of the user manager";
    // Every question is sent before any answer is read: one round trip for them all.
    std::vector<Pending> answers(units.size() + 1);
    std::vector<SlotGuard> slots;
    slots.reserve(answers.size());
    const auto ask = [&](Pending& answer, const std::string& path, const char* member, const char* argument_1,
                         const char* argument_2) {
        sd_bus_slot* slot = nullptr;
        const int code = argument_2 ? sd_bus_call_method_async(bus_, &slot, DESTINATION, path.c_str(), PROPERTIES,
                                                               member, on_answer, &answer, "ss", argument_1, argument_2)
                                    : sd_bus_call_method_async(bus_, &slot, DESTINATION, path.c_str(), PROPERTIES,
                                                               member, on_answer, &answer, "s", argument_1);
        slots.push_back(SlotGuard{slot});
        return code;
    };
    check(ordinary(what, [&]() -> int {
              int code = ask(answers[0], MANAGER_PATH, "Get", MANAGER_INTERFACE, "UnitPath");
              for (std::size_t i = 0; code >= 0 && i < units.size(); ++i) {
                  code = ask(answers[i + 1], unit_path(units[i]), "GetAll", interface, nullptr);
              }
              const auto answered = [&] {
                  return std::all_of(answers.begin(), answers.end(), [](const Pending& a) { return a.reply.message; });
              };
              while (code >= 0 && !answered()) {
                  code = sd_bus_process(bus_, nullptr);
                  // sd-bus answers a call whose time is over itself, and may report that as nothing
                  // done: a wait for the last answer after it came would have no time-out left.
                  if (code == 0 && !answered()) code = sd_bus_wait(bus_, UINT64_MAX);
              }
              if (code < 0) return code;
              // An answer that never came is one sd-bus made up when the time was over.
              for (const auto& answer : answers) {
                  const sd_bus_error* failure = sd_bus_message_get_error(answer.reply.message);
                  if (failure && sd_bus_error_get_errno(failure) == ETIMEDOUT) return -ETIMEDOUT;
              }
              return 0;
          }),
          what);

    Survey found;
    sd_bus_message* search_path = answers[0].reply.message;
    check_answer(search_path, "Cannot read the unit search path of the user manager");
    check(sd_bus_message_enter_container(search_path, SD_BUS_TYPE_VARIANT, "as"), what);
    char** entries = nullptr;
    check(sd_bus_message_read_strv(search_path, &entries), what);
    for (char** entry = entries; entry && *entry; ++entry) {
        found.unit_search_path.emplace_back(*entry);
        std::free(*entry);
    }
    std::free(entries);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::string unit_what = fmt::format("Cannot read the state of {}", units[i]);
        sd_bus_message* reply = answers[i + 1].reply.message;
        check_answer(reply, unit_what);
        found.units[units[i]] = read_properties(reply, wanted, unit_what);
    }
    return found;
}

}  // namespace vetra_service_manager::backends::systemd::linux_bus
