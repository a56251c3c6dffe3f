// doctor on Linux against a private systemd user manager: each state a unit can be in that keeps
// it from running, put there for real, with the finding and the fix doctor gives for it.
#include <signal.h>

#include <functional>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "e2e/doctor_findings.hpp"
#include "e2e/e2e_fixture.hpp"
#include "systemd/user_manager.hpp"
#include "vetra_service_manager/backends/systemd/linux_bus.hpp"

namespace {

namespace fs = std::filesystem;
using vetra_service_manager::backends::systemd::linux_bus::UserManager;
using vsm_doctor::finding;
using vsm_test::run_cli;

const std::string UNIT = "com.norvale.vetra_api.service";
const std::string VERSION = "0.1.0";  // what install writes by default

class SystemdDoctor : public ::testing::Test {
protected:
    void SetUp() override { VSM_REQUIRE_USER_MANAGER(manager); }

    fs::path unit_directory() const { return world.home() / ".config/systemd/user"; }
    std::string active_state() const { return UserManager::connect().unit_property(UNIT, "org.freedesktop.systemd1.Unit", "ActiveState"); }
    void drop_in(const std::string& text) const {
        vsm_test::write_file(unit_directory() / (UNIT + ".d/doctor.conf"), text, static_cast<fs::perms>(0644));
        UserManager::connect().reload();
    }

    vsm_e2e::World world{"Linux"};
    vsm_systemd::UserManager manager{world.home(), world.root() / "run"};
};

// Healthy: only ✓ and exit 0. A definition of another version is a warning with the upgrade
// commands, and install says that version stays; lingering off makes install warn once.
TEST_F(SystemdDoctor, HealthyOlderAndLingerOff) {
    fs::create_directories(world.runner().parent_path());
    fs::copy_file(vsm_test::fakes_dir / "recording-runner", world.runner());
    ASSERT_EQ(run_cli({"install", "--version", "0.0.9"}).exit_code, 0);
    const auto older = run_cli({"doctor", "--json"});
    EXPECT_EQ(older.exit_code, 0) << older.out;
    const auto version = finding(older.out, "version", "vetra_api");
    EXPECT_EQ(version["level"], "warning");
    EXPECT_NE(version["fact"].get<std::string>().find("version 0.0.9"), std::string::npos) << version;
    EXPECT_EQ(version["fix"], "vetra_service_manager uninstall --keep-binary --keep-cache && vetra_service_manager "
                              "install --version " + VERSION);
    const auto again = run_cli({"install"});
    EXPECT_NE(again.out.find("  \u2713 vetra_api (installed, enabled, started)\n    ! vetra_api stays at version 0.0.9:"),
              std::string::npos)
        << again.out;

    ASSERT_EQ(run_cli({"uninstall", "--keep-binary"}).exit_code, 0);
    fs::remove(world.linger_mark());
    const auto install = run_cli({"install"});
    ASSERT_EQ(install.exit_code, 0) << install.err;
    EXPECT_NE(install.out.find("Install complete.\nWarning: lingering is off: services stop when you log out; fix: "
                               "loginctl enable-linger "),
              std::string::npos)
        << install.out;
    vsm_test::write_file(world.linger_mark(), "");
    vsm_doctor::expect_healthy(run_cli({"doctor"}));
}

TEST_F(SystemdDoctor, EachReasonANotRunningUnitHasIsNamedWithItsFix) {
    fs::create_directories(world.runner().parent_path());
    fs::copy_file(vsm_test::fakes_dir / "recording-runner", world.runner());
    // Another program's unit of our name, ahead of ours: ours is not installed.
    const fs::path control = unit_directory().string() + ".control";
    vsm_test::write_file(control / UNIT, "[Service]\nExecStart=/bin/sleep 1000\n", static_cast<fs::perms>(0644));
    UserManager::connect().reload();
    const auto foreign = finding(run_cli({"doctor", "--json"}).out, "not ours", "vetra_api");
    EXPECT_EQ(foreign["level"], "problem");
    EXPECT_NE(foreign["fact"].get<std::string>().find((control / UNIT).string()), std::string::npos) << foreign;
    fs::remove(control / UNIT);
    UserManager::connect().reload();
    ASSERT_EQ(run_cli({"install"}).exit_code, 0);

    const fs::path runtime_mask = world.root() / "run/systemd/user" / UNIT;
    const std::string reset = "systemctl --user reset-failed " + UNIT + " && vetra_service_manager start vetra_api";
    struct Case {
        const char* name;
        std::function<void()> make;
        std::string check, level, fact, fix;
    };
    const Case cases[] = {
        {"masked for this boot",
         [&] {
             run_cli({"stop", "vetra_api"});
             fs::create_directories(runtime_mask.parent_path());
             fs::create_symlink("/dev/null", runtime_mask);
             UserManager::connect().reload();
         },
         "masked", "problem", "masked for this boot", "systemctl --user unmask --runtime " + UNIT},
        {"edited",
         [&] { vsm_test::write_file(unit_directory() / UNIT, vsm_test::read_file(unit_directory() / UNIT) + "# edited\n",
                                    static_cast<fs::perms>(0644)); },
         "reload", "warning", "changed since systemd read it", "systemctl --user daemon-reload"},
        {"failed",
         [&] {
             drop_in("[Service]\nRestart=no\nExecStart=\nExecStart=/bin/sh -c 'exit 3'\n");
             UserManager::connect().restart_unit(UNIT, std::chrono::seconds(30));
             ASSERT_TRUE(vsm_test::eventually([&] { return active_state() == "failed"; }));
         },
         "failed", "problem", "result \"exit-code\"", reset},
        {"at its start limit",
         [&] {
             drop_in("[Unit]\nStartLimitBurst=1\nStartLimitIntervalSec=1h\n[Service]\nRestart=no\nExecStart=\n"
                     "ExecStart=/bin/true\n");
             UserManager::connect().restart_unit(UNIT, std::chrono::seconds(30));
             // A start while the first run is still up would be no start at all.
             ASSERT_TRUE(vsm_test::eventually([&] { return active_state() == "inactive"; }));
             UserManager::connect().start_unit(UNIT, std::chrono::seconds(30));
         },
         "start limit", "problem", "started too often", reset},
        {"condition not met",
         [&] {
             run_cli({"stop", "vetra_api"});
             drop_in("[Unit]\nConditionPathExists=/nonexistent/vsm\n");
             UserManager::connect().start_unit(UNIT, std::chrono::seconds(30));
         },
         "condition", "problem", "ConditionPathExists=/nonexistent/vsm was not met", "systemctl --user cat " + UNIT},
        {"killed, waiting to be restarted",
         [&] {
             const auto main_pid = UserManager::connect().unit_uint32_property(UNIT, "org.freedesktop.systemd1.Service", "MainPID");
             ::kill(static_cast<pid_t>(main_pid), SIGKILL);
             ASSERT_TRUE(vsm_test::eventually([&] { return active_state() == "activating"; }));
         },
         "last run", "ok", "it last was killed by signal 9 (SIGKILL); the next try is at ", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        const auto result = run_cli({"doctor", "--json", "vetra_api"});
        EXPECT_EQ(result.exit_code, c.level == "warning" ? 0 : 1) << result.out;
        const auto found = finding(result.out, c.check, "vetra_api");
        EXPECT_EQ(found["level"], c.level);
        EXPECT_NE(found["fact"].get<std::string>().find(c.fact), std::string::npos) << found;
        if (!c.fix.empty()) {
            EXPECT_NE(found["fix"].get<std::string>().find(c.fix), std::string::npos) << found;
        }
        // Back to running for the next case.
        fs::remove(runtime_mask);
        fs::remove_all(unit_directory() / (UNIT + ".d"));
        UserManager::connect().reload();
        UserManager::connect().reset_failed_unit(UNIT);
        ASSERT_EQ(run_cli({"restart", "vetra_api"}).exit_code, 0);
    }
}

}  // namespace
