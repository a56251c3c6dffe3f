// Lingering as the login manager tells it over the system bus: a stand-in of it on a private bus,
// while the linger file says otherwise, so that only the bus can give the answers checked here.
#include <signal.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "e2e/doctor_findings.hpp"
#include "e2e/e2e_fixture.hpp"

namespace {

namespace fs = std::filesystem;
using vsm_doctor::finding;

std::string first_line_of(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[64] = {};
        if (std::fgets(buffer, sizeof buffer, pipe)) out = buffer;
        ::pclose(pipe);
    }
    return out;
}

struct Killed {
    std::string pid;
    ~Killed() {
        if (!pid.empty()) ::kill(std::stoi(pid), SIGTERM);
    }
};

TEST(LoginManager, LingeringIsWhatItSaysOverTheSystemBus) {
    vsm_e2e::World world("Linux");
    fs::remove(world.linger_mark());
    const fs::path socket = world.root() / "system-bus";
    const Killed bus{first_line_of("dbus-daemon --session --fork --print-pid --address=unix:path=" + socket.string())};
    ASSERT_FALSE(bus.pid.empty());
    vsm_test::ScopedEnv system_bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + socket.string());
    const fs::path answer = world.root() / "linger-answer";
    vsm_test::write_file(answer, "yes");
    const Killed login{first_line_of(std::string(VSM_FAKE_LOGIN1) + " " + answer.string())};
    ASSERT_FALSE(login.pid.empty());

    const struct {
        const char* answer;
        const char* level;
    } cases[] = {{"yes", "ok"}, {"no", "warning"}, {"none", "warning"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        vsm_test::write_file(answer, c.answer);
        const auto lingering = finding(vsm_test::run_cli({"doctor", "--json"}).out, "lingering");
        EXPECT_EQ(lingering["level"], c.level) << lingering;
        if (std::string(c.level) == "warning") {
            EXPECT_EQ(lingering["fix"], "loginctl enable-linger " + world.linger_mark().filename().string());
        }
    }
}

}  // namespace
