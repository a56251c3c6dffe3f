// A stand-in of the login manager on the bus at DBUS_SYSTEM_BUS_ADDRESS, for as much as doctor
// asks of it: Manager.GetUser(uid) and the user's Linger property. Its one argument is a file that
// says, at each call, "yes" or "no" (the user's Linger) or "none" (no such user). It detaches once
// it owns its name, printing its process id, and ends when the bus does.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

const char* state_file = nullptr;

std::string state() {
    std::string word;
    std::ifstream(state_file) >> word;
    return word;
}

int get_user(sd_bus_message* call, void*, sd_bus_error* error) {
    std::uint32_t uid = 0;
    if (const int code = sd_bus_message_read(call, "u", &uid); code < 0) return code;
    if (state() == "none") return sd_bus_error_set(error, "org.freedesktop.login1.NoSuchUser", "No user by that UID");
    return sd_bus_reply_method_return(call, "o", ("/org/freedesktop/login1/user/_" + std::to_string(uid)).c_str());
}

int get_linger(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "b", state() == "yes" ? 1 : 0);
}

const sd_bus_vtable manager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetUser", "u", "o", get_user, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable user[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Linger", "b", get_linger, 0, 0),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    state_file = argv[1];
    int ready[2];
    if (::pipe(ready) != 0) return 1;
    const pid_t child = ::fork();
    if (child > 0) {
        // Returns once the child owns the name, so that a test asks only then.
        ::close(ready[1]);
        char byte = 0;
        if (::read(ready[0], &byte, 1) != 1) return 1;
        std::printf("%d\n", child);
        return 0;
    }
    ::close(ready[0]);
    sd_bus* bus = nullptr;
    sd_bus_slot* slots[2] = {};
    if (sd_bus_open_system(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, &slots[0], "/org/freedesktop/login1", "org.freedesktop.login1.Manager", manager,
                                 nullptr) < 0 ||
        sd_bus_add_fallback_vtable(bus, &slots[1], "/org/freedesktop/login1/user", "org.freedesktop.login1.User", user,
                                   nullptr, nullptr) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0) {
        return 1;
    }
    if (::write(ready[1], "r", 1) != 1) return 1;
    ::close(ready[1]);
    for (;;) {
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) return 0;
        if (processed == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 0;
    }
}
