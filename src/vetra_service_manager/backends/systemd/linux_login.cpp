#include "vetra_service_manager/backends/systemd/linux_login.hpp"
#include "vetra_service_manager/backends/systemd/linux_sd_bus.hpp"

#include <pwd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::systemd::linux_login {
namespace {

constexpr const char* LOGIN = "org.freedesktop.login1";
constexpr const char* SYSTEM_BUS = "unix:path=/run/dbus/system_bus_socket";
// The login manager answers at once or not at all: doctor does not wait on it.
constexpr std::uint64_t CALL_TIMEOUT_USEC = 3'000'000;

auto logger() { return logging::get_logger("vetra_service_manager.backends.systemd.linux_login"); }

struct Bus {
    sd_bus* bus = nullptr;
    ~Bus() {
        if (bus) sd_bus_flush_close_unref(bus);
    }
};


// The login manager's answer; nothing when no system bus could be reached.
std::optional<bool> ask_login_manager() {
    const auto given = platform::env("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string address = given && !given->empty() ? *given : SYSTEM_BUS;
    Bus system;
    int code = sd_bus_new(&system.bus);
    if (code >= 0) code = sd_bus_set_address(system.bus, address.c_str());
    if (code >= 0) code = sd_bus_set_bus_client(system.bus, 1);
    if (code >= 0) code = sd_bus_start(system.bus);
    if (code >= 0) code = sd_bus_set_method_call_timeout(system.bus, CALL_TIMEOUT_USEC);
    if (code < 0) {
        logger()->debug("No system bus at {}: {}", address, std::strerror(-code));
        return std::nullopt;
    }
    linux_sd_bus::BusError error;
    linux_sd_bus::Message reply;
    code = sd_bus_call_method(system.bus, LOGIN, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "GetUser",
                              &error.error, &reply.message, "u", static_cast<std::uint32_t>(::getuid()));
    // A user with neither a session nor lingering has no user object at all.
    if (code < 0 && sd_bus_error_has_name(&error.error, "org.freedesktop.login1.NoSuchUser")) return false;
    const char* user = nullptr;
    if (code >= 0) code = sd_bus_message_read(reply.message, "o", &user);
    int linger = 0;
    if (code >= 0) {
        code = sd_bus_get_property_trivial(system.bus, LOGIN, user, "org.freedesktop.login1.User", "Linger",
                                           &error.error, 'b', &linger);
    }
    if (code < 0) {
        logger()->debug("The login manager did not tell whether lingering is on: {}",
                        sd_bus_error_is_set(&error.error) ? error.error.message : std::strerror(-code));
        return std::nullopt;
    }
    return linger != 0;
}

}  // namespace

std::string user_name() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return "";
    return found->pw_name;
}

std::optional<bool> lingering() {
    if (const auto answer = ask_login_manager()) return answer;
    const std::string user = user_name();
    if (user.empty()) return std::nullopt;
    const auto directory = platform::test_override("VSM_TEST_LINGER_DIRECTORY");
    const std::filesystem::path marks = directory ? platform::from_text(*directory) : "/var/lib/systemd/linger";
    std::error_code error;
    const bool on = std::filesystem::exists(marks / user, error);
    if (error) return std::nullopt;
    return on;
}

}  // namespace vetra_service_manager::backends::systemd::linux_login
