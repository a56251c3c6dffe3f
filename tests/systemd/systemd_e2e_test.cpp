// install, status and uninstall on Linux through the testing executable, against a private
// systemd user manager.
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "e2e/background.hpp"
#include "e2e/e2e_fixture.hpp"
#include "systemd/user_manager.hpp"
#include "vetra_service_manager/backends/systemd/linux.hpp"
#include "vetra_service_manager/backends/systemd/linux_bus.hpp"

namespace {

namespace fs = std::filesystem;
using vsm_test::run_cli;

const char* const SERVICES[] = {"vetra_sync_agent", "vetra_api"};

fs::path unit_file(const fs::path& home, const std::string& service) {
    return home / ".config/systemd/user" / ("com.norvale." + service + ".service");
}

// What each start of the recording runner wrote beside it (pid, working directory, arguments),
// by last argument; waits for `count` of them.
std::map<std::string, std::vector<std::string>> records_of(const fs::path& runner, std::size_t count = 2) {
    const std::string prefix = runner.filename().string() + ".record.";
    std::map<std::string, std::vector<std::string>> records;
    vsm_test::eventually([&] {
        records.clear();
        for (const auto& entry : fs::directory_iterator(runner.parent_path())) {
            if (!entry.path().filename().string().starts_with(prefix)) continue;
            auto record = vsm_test::split_nul(vsm_test::read_file(entry.path()));
            records[record.back()] = record;
        }
        return records.size() >= count;
    });
    return records;
}

// Log lines aside, what the user is told: "error: ..." and its "  caused by: ..." lines.
std::vector<std::string> error_lines(const std::string& err) {
    std::vector<std::string> lines;
    for (auto& line : vsm_test::split_lines(err)) {
        if (line.starts_with("error: ") || line.starts_with("  caused by: ")) lines.push_back(line);
    }
    return lines;
}

bool process_alive(const std::string& pid) { return ::kill(std::stoi(pid), 0) == 0; }

// Whether the process is in a write to its standard output (blocked in one, for a full pipe).
bool writing_to_stdout(pid_t pid) {
    std::istringstream fields(vsm_test::read_file("/proc/" + std::to_string(pid) + "/syscall"));
    long number = -1;
    std::string fd;
    fields >> number >> fd;
    return number == SYS_write && fd == "0x1";
}

std::string load_state(const std::string& service) {
    auto manager = vetra_service_manager::backends::systemd::linux_bus::UserManager::connect();
    return manager.unit_property("com.norvale." + service + ".service", "org.freedesktop.systemd1.Unit", "LoadState");
}

std::string sub_state(const std::string& service) {
    auto manager = vetra_service_manager::backends::systemd::linux_bus::UserManager::connect();
    return manager.unit_property("com.norvale." + service + ".service", "org.freedesktop.systemd1.Unit", "SubState");
}

// The standard output of a shell command.
std::string run_command(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
        ::pclose(pipe);
    }
    return out;
}

class SystemdE2E : public ::testing::Test {
protected:
    void SetUp() override { VSM_REQUIRE_USER_MANAGER(manager); }

    void place_recording_runner() const {
        fs::create_directories(world.runner().parent_path());
        fs::copy_file(vsm_test::fakes_dir / "recording-runner", world.runner());
    }

    // Removes what the recording runner wrote so far, so that records_of sees only later starts.
    void forget_records() const {
        for (const auto& entry : fs::directory_iterator(world.runner().parent_path())) {
            if (entry.path().filename().string().find(".record.") != std::string::npos) fs::remove(entry.path());
        }
    }

    vsm_e2e::World world{"Linux"};
    vsm_systemd::UserManager manager{world.home(), world.root() / "run"};
};

TEST_F(SystemdE2E, InstallRunsBothServicesAndStatusReportsThem) {
    place_recording_runner();
    const auto installed = run_cli({"install", "--version", "1.2"});
    ASSERT_EQ(installed.exit_code, 0) << installed.err;

    const auto records = records_of(world.runner());
    for (const char* service : SERVICES) {
        ASSERT_EQ(records.count(service), 1u) << service;
        const auto& record = records.at(service);
        EXPECT_EQ(record, (std::vector<std::string>{record[0], world.runner().parent_path().string(), "run", service}));
        EXPECT_TRUE(process_alive(record[0]));
        EXPECT_EQ(fs::status(unit_file(world.home(), service)).permissions(), static_cast<fs::perms>(0644));
    }

    const auto text = run_cli({"status"});
    EXPECT_NE(text.out.find("  ✓  vetra_sync_agent\n        installed=True  enabled=True  running=True  version=1.2\n"
                            "  ✓  vetra_api\n        installed=True  enabled=True  running=True  version=1.2\n"),
              std::string::npos)
        << text.out;
    const auto json = nlohmann::json::parse(run_cli({"status", "--json"}).out);
    for (const char* service : SERVICES) {
        EXPECT_EQ(json["services"][service],
                  nlohmann::json({{"installed", true}, {"enabled", true}, {"running", true}, {"version", "1.2"}}));
    }
}

TEST_F(SystemdE2E, InstallAgainChangesNothingAndUninstallLeavesNothing) {
    place_recording_runner();
    ASSERT_EQ(run_cli({"install", "--version", "1.2"}).exit_code, 0);
    const auto first = records_of(world.runner());
    ASSERT_EQ(first.size(), 2u);

    const auto again = run_cli({"install", "--version", "2.0"});
    EXPECT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(records_of(world.runner()), first);
    EXPECT_EQ(nlohmann::json::parse(run_cli({"status", "--json"}).out)["services"]["vetra_api"]["version"], "1.2");

    const auto removed = run_cli({"uninstall", "--keep-binary"});
    EXPECT_EQ(removed.exit_code, 0) << removed.err;
    for (const char* service : SERVICES) {
        EXPECT_TRUE(vsm_test::eventually([&] { return !process_alive(first.at(service)[0]); })) << service;
        EXPECT_FALSE(fs::exists(unit_file(world.home(), service))) << service;
        EXPECT_EQ(load_state(service), "not-found") << service;
    }
}

TEST_F(SystemdE2E, InstallWithoutRunnerFailsInOneLineAndLeavesNothing) {
    const auto result = run_cli({"install", "--version", "1.2"});
    EXPECT_EQ(result.exit_code, 1);
    const auto lines = error_lines(result.err);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_EQ(lines[0], "error: Failed to start the service: systemd could not run the runner " +
                            world.runner().string() + " for vetra_sync_agent (missing or not executable)");
    EXPECT_FALSE(fs::exists(unit_file(world.home(), "vetra_sync_agent")));
    EXPECT_EQ(load_state("vetra_sync_agent"), "not-found");
}

// A runner that ends soon after it started is no started service, though systemd called its start
// done (and waits to start it again): install fails as that start, naming systemd's result, and
// leaves nothing; start does not claim it either.
TEST_F(SystemdE2E, RunnerThatEndsSoonAfterItsStartIsNotStarted) {
    const std::string ends = "#!/usr/bin/env bash\n[[ ${1:-} == self ]] && exit 0\nsleep 0.2\nexit 3\n";
    vsm_test::write_file(world.runner(), ends, fs::perms::owner_all);
    const auto install = run_cli({"install", "--version", "1.0"});
    EXPECT_EQ(install.exit_code, 1);
    const auto lines = error_lines(install.err);
    ASSERT_EQ(lines.size(), 1u) << install.err;
    EXPECT_TRUE(lines[0].starts_with("error: Failed to start the service: ")) << lines[0];
    EXPECT_NE(lines[0].find("result \"exit-code\", exit status 3"), std::string::npos) << lines[0];
    for (const char* service : SERVICES) EXPECT_FALSE(fs::exists(unit_file(world.home(), service))) << service;

    fs::remove(world.runner());
    place_recording_runner();
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    ASSERT_EQ(run_cli({"stop", "vetra_api"}).exit_code, 0);
    vsm_test::write_file(world.runner(), ends, fs::perms::owner_all);
    const auto start = run_cli({"start", "vetra_api"});
    EXPECT_EQ(start.exit_code, 1);
    EXPECT_EQ(start.out.find("\u2713"), std::string::npos) << start.out;
    EXPECT_EQ(error_lines(start.err).size(), 1u) << start.err;
}

// A home with every character that means something to systemd or a shell: the runner is started
// through the shell where systemd refuses its path, and still gets exactly its arguments. The
// ".." leads to the same directory, which systemd would refuse as a working directory.
TEST_F(SystemdE2E, HostileHomeInstallsRunsAndUninstalls) {
    const fs::path home = world.root() / "o'brien \"q\" back\\slash $HOME %n ; \xC3\xA9";
    vsm_test::ScopedEnv xdg("XDG_DATA_HOME", (home / "x/..").string());
    const fs::path runner = home / "norvale/services/vetra_service_runner";
    fs::create_directories(home / "x");
    fs::create_directories(runner.parent_path());
    fs::copy_file(vsm_test::fakes_dir / "recording-runner", runner);

    const auto installed = run_cli({"install", "--version", "1.2"});
    ASSERT_EQ(installed.exit_code, 0) << installed.err;
    const auto records = records_of(runner);
    for (const char* service : SERVICES) {
        ASSERT_EQ(records.count(service), 1u) << service;
        const auto& record = records.at(service);
        EXPECT_EQ(record, (std::vector<std::string>{record[0], runner.parent_path().string(), "run", service}));
    }
    const auto removed = run_cli({"uninstall", "--keep-binary"});
    EXPECT_EQ(removed.exit_code, 0) << removed.err;
    for (const char* service : SERVICES) {
        EXPECT_TRUE(vsm_test::eventually([&] { return !process_alive(records.at(service)[0]); })) << service;
        EXPECT_EQ(load_state(service), "not-found") << service;
    }
}

TEST_F(SystemdE2E, StopStartAndRestartDriveTheUnits) {
    place_recording_runner();
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    const auto running = [&](const char* service) {
        return nlohmann::json::parse(run_cli({"status", "--json"}).out)["services"][service]["running"];
    };
    const std::pair<std::vector<std::string>, std::string> steps[] = {
        {{"stop", "vetra_api"}, "  \u2713 vetra_api stopped\n"},
        {{"stop", "vetra_api"}, "  - vetra_api already stopped\n"},
        {{"start"}, "  - vetra_sync_agent already running\n  \u2713 vetra_api started\n"},
        {{"restart", "vetra_api"}, "  \u2713 vetra_api restarted\n"},
    };
    for (const auto& [args, out] : steps) {
        const auto result = run_cli(args);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.out, out);
        EXPECT_EQ(running("vetra_api"), args[0] != "stop") << args[0];
    }
}

// The service as a user may find it; install leaves it running whatever it was.
TEST_F(SystemdE2E, InstallBringsAnInstalledServiceBackUp) {
    place_recording_runner();
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"stopped", [&] { ASSERT_EQ(run_cli({"stop", "vetra_api"}).exit_code, 0); }},
        {"stopped and disabled",
         [&] { vetra_service_manager::backends::systemd::linux::LinuxServiceManager("vetra_api", world.root()).disable(); }},
    };
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    for (const auto& [name, arrange] : cases) {
        SCOPED_TRACE(name);
        arrange();
        const auto again = run_cli({"install", "--version", "1.0"});
        EXPECT_EQ(again.exit_code, 0) << again.err;
        EXPECT_EQ(nlohmann::json::parse(run_cli({"status", "--json"}).out)["services"]["vetra_api"],
                  nlohmann::json({{"installed", true}, {"enabled", true}, {"running", true}, {"version", "1.0"}}));
    }
}

// A unit whose process died waits RestartSec (60 s) to be started again: stop must end that wait,
// and start must not sit it out.
TEST_F(SystemdE2E, UnitWaitingToRestartIsStoppedAndStartedAtOnce) {
    place_recording_runner();
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    const auto kill_runner = [&] {
        const std::string pid = records_of(world.runner()).at("vetra_api")[0];
        ::kill(std::stoi(pid), SIGKILL);
        fs::remove(world.runner().string() + ".record." + pid);
        ASSERT_TRUE(vsm_test::eventually([] { return sub_state("vetra_api") == "auto-restart"; }));
    };
    kill_runner();
    // It was not running, but it would have come back: stopping it is not a no-op.
    const auto stopped = run_cli({"stop", "vetra_api"});
    EXPECT_EQ(stopped.out, "  \u2713 vetra_api stopped\n") << stopped.err;
    EXPECT_EQ(sub_state("vetra_api"), "dead");

    ASSERT_EQ(run_cli({"start", "vetra_api"}).exit_code, 0);
    kill_runner();
    const auto started = run_cli({"start", "vetra_api"});
    EXPECT_EQ(started.out, "  \u2713 vetra_api started\n") << started.err;
    EXPECT_EQ(sub_state("vetra_api"), "running");
}

// systemd gives a unit its own stop time-out (here 32 s, past our 30 s of old) before it kills it:
// uninstall waits that long, says so, and goes on to the end.
TEST_F(SystemdE2E, SlowStopIsWaitedForAsLongAsSystemdAllows) {
    // Marks when it ignores SIGTERM: systemd calls a unit started once it has forked, before bash
    // gets that far.
    vsm_test::write_file(world.runner(), "#!/usr/bin/env bash\n[[ ${1:-} == self ]] && exit 0\n"
                                         "[[ ${2:-} == vetra_api ]] && trap '' TERM && : >\"$0.ready.$2\"\n"
                                         "exec sleep 3600\n",
                         fs::perms::owner_all);
    vsm_test::write_file(unit_file(world.home(), "vetra_api").string() + ".d/slow.conf",
                         "[Service]\nTimeoutStopSec=32\n");
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    ASSERT_TRUE(vsm_test::eventually([&] { return fs::exists(world.runner().string() + ".ready.vetra_api"); }));
    const auto removed = run_cli({"uninstall", "--keep-binary"});
    EXPECT_EQ(removed.exit_code, 0) << removed.err;
    EXPECT_NE(removed.err.find("Waiting for vetra_api to stop (systemd allows it 32 s)"), std::string::npos)
        << removed.err;
    for (const char* service : SERVICES) EXPECT_EQ(load_state(service), "not-found") << service;
}

// A service that fails as it is told to stop leaves its unit "failed", which systemd keeps
// listing until told to forget it: uninstall does, so no unit of ours is left behind.
TEST_F(SystemdE2E, UnitThatFailedAsItStoppedIsForgotten) {
    vsm_test::write_file(world.runner(), "#!/usr/bin/env bash\n[[ ${1:-} == self ]] && exit 0\n"
                                         "trap 'exit 3' TERM\n: >\"$0.ready.$2\"\nsleep 3600 & wait\n",
                         fs::perms::owner_all);
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    // Only a runner that has set its trap fails as it stops.
    for (const char* service : SERVICES) {
        ASSERT_TRUE(vsm_test::eventually([&] { return fs::exists(world.runner().string() + ".ready." + service); }));
    }
    const auto units = [] { return run_command("systemctl --user list-units --all --plain --no-legend 'com.norvale.*'"); };
    EXPECT_EQ(vsm_test::split_lines(units()).size(), 2u);
    const auto removed = run_cli({"uninstall", "--keep-binary"});
    EXPECT_EQ(removed.exit_code, 0) << removed.err;
    EXPECT_EQ(units(), "");
}

// The user linked the unit name to /dev/null: nothing of ours may run, and the mask stays.
TEST_F(SystemdE2E, MaskedUnitIsLeftMasked) {
    place_recording_runner();
    const fs::path unit = unit_file(world.home(), "vetra_sync_agent");
    fs::create_directories(unit.parent_path());
    fs::create_symlink("/dev/null", unit);
    const auto install = run_cli({"install", "--version", "1.0"});
    EXPECT_EQ(install.exit_code, 1);
    const auto lines = error_lines(install.err);
    ASSERT_EQ(lines.size(), 1u) << install.err;
    EXPECT_NE(lines[0].find("masked; `systemctl --user unmask com.norvale.vetra_sync_agent.service`"),
              std::string::npos) << lines[0];
    EXPECT_EQ(nlohmann::json::parse(run_cli({"status", "--json"}).out)["services"]["vetra_sync_agent"]["running"],
              false);
    EXPECT_EQ(run_cli({"uninstall", "--keep-binary"}).exit_code, 0);
    EXPECT_EQ(fs::read_symlink(unit), "/dev/null");
}

// A unit of the same name from another file is another program's: status does not count it, and
// no command stops, disables or replaces it. Ours is installed only where it would be the one that
// runs: not when the other comes first in the search path, or runs.
TEST_F(SystemdE2E, AnotherProgramsUnitOfTheSameNameIsNeverOurs) {
    using vetra_service_manager::backends::systemd::linux_bus::UserManager;
    place_recording_runner();
    const std::string unit = "com.norvale.vetra_api.service";
    const std::tuple<const char*, fs::path, bool> cases[] = {
        {"after ours, stopped", world.home() / ".local/share/systemd/user", false},
        {"before ours, running", world.home() / ".config/systemd/user.control", true},
    };
    for (const auto& [name, directory, runs] : cases) {
        SCOPED_TRACE(name);
        fs::create_directories(directory);
        vsm_test::write_file(directory / unit, "[Service]\nExecStart=/bin/sleep 1000\n", static_cast<fs::perms>(0644));
        UserManager::connect().reload();
        if (runs) {
            ASSERT_EQ(UserManager::connect().start_unit(unit, std::chrono::seconds(30)), "done");
        }

        const auto status = run_cli({"status", "--json"});
        EXPECT_EQ(nlohmann::json::parse(status.out)["services"]["vetra_api"]["installed"], false);
        EXPECT_NE(status.err.find((directory / unit).string()), std::string::npos) << status.err;

        const auto install = run_cli({"install", "--version", "1.0"});
        if (runs) {
            EXPECT_EQ(install.exit_code, 1);
            const auto lines = error_lines(install.err);
            ASSERT_EQ(lines.size(), 1u) << install.err;
            EXPECT_NE(lines[0].find((directory / unit).string()), std::string::npos) << lines[0];
            EXPECT_FALSE(fs::exists(unit_file(world.home(), "vetra_api")));
            EXPECT_EQ(run_cli({"stop", "vetra_api"}).exit_code, 1);
        } else {
            EXPECT_EQ(install.exit_code, 0) << install.err;
            EXPECT_EQ(records_of(world.runner()).count("vetra_api"), 1u);
        }
        EXPECT_EQ(run_cli({"uninstall", "--keep-binary"}).exit_code, 0);
        EXPECT_TRUE(fs::exists(directory / unit));
        EXPECT_EQ(UserManager::connect().unit_property(unit, "org.freedesktop.systemd1.Unit", "ActiveState"),
                  runs ? "active" : "inactive");
        UserManager::connect().stop_unit(unit, std::chrono::seconds(30));
        fs::remove(directory / unit);
        forget_records();
    }

    // Ours came first and was outranked later: uninstall deletes our file, and only ours.
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    const fs::path before = world.home() / ".config/systemd/user.control" / unit;
    vsm_test::write_file(before, "[Service]\nExecStart=/bin/sleep 1000\n", static_cast<fs::perms>(0644));
    UserManager::connect().reload();
    EXPECT_EQ(run_cli({"uninstall", "--keep-binary"}).exit_code, 0);
    EXPECT_FALSE(fs::exists(unit_file(world.home(), "vetra_api")));
    EXPECT_TRUE(fs::exists(before));
}

// Masked for this boot only (a link to /dev/null below the runtime directory, which our file would
// outrank): install and start refuse as for a lasting mask, saying how to lift this one.
TEST_F(SystemdE2E, MaskForThisBootIsRespected) {
    place_recording_runner();
    const fs::path mask = world.root() / "run/systemd/user/com.norvale.vetra_api.service";
    const auto masked = [&](const std::vector<std::string>& args) {
        const auto result = run_cli(args);
        EXPECT_EQ(result.exit_code, 1) << args[0];
        const auto lines = error_lines(result.err);
        ASSERT_EQ(lines.size(), 1u) << result.err;
        EXPECT_NE(lines[0].find("masked for this boot; `systemctl --user unmask --runtime com.norvale.vetra_api.service`"),
                  std::string::npos) << lines[0];
        EXPECT_FALSE(nlohmann::json::parse(run_cli({"status", "--json"}).out)["services"]["vetra_api"]["running"]);
    };
    fs::create_directories(mask.parent_path());
    fs::create_symlink("/dev/null", mask);
    vetra_service_manager::backends::systemd::linux_bus::UserManager::connect().reload();
    masked({"install", "--version", "1.0"});
    EXPECT_FALSE(fs::exists(unit_file(world.home(), "vetra_api")));

    fs::remove(mask);
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    ASSERT_EQ(run_cli({"stop", "vetra_api"}).exit_code, 0);
    fs::create_symlink("/dev/null", mask);
    masked({"start", "vetra_api"});
    EXPECT_EQ(fs::read_symlink(mask), "/dev/null");
}

// Deleted by hand while it runs, link and all or not, with or without systemd having reread its
// files since (after that the unit is no longer loaded, only active): status still counts it as
// installed, and uninstall takes the unit down and leaves no link.
TEST_F(SystemdE2E, UnitWhoseFileIsGoneIsStillUninstalled) {
    place_recording_runner();
    const fs::path unit = unit_file(world.home(), "vetra_api");
    const fs::path link = unit.parent_path() / "default.target.wants" / unit.filename();
    const std::tuple<const char*, bool, bool> cases[] = {{"file deleted", false, false},
                                                         {"file deleted, manager reloaded", false, true},
                                                         {"file and link deleted, manager reloaded", true, true}};
    for (const auto& [name, with_link, reloaded] : cases) {
        SCOPED_TRACE(name);
        ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
        const std::string pid = records_of(world.runner()).at("vetra_api")[0];
        fs::remove(unit);
        if (with_link) fs::remove(link);
        if (reloaded) vetra_service_manager::backends::systemd::linux_bus::UserManager::connect().reload();
        EXPECT_EQ(nlohmann::json::parse(run_cli({"status", "--json"}).out)["services"]["vetra_api"]["installed"], true);
        const auto removed = run_cli({"uninstall", "--keep-binary"});
        EXPECT_EQ(removed.exit_code, 0) << removed.err;
        EXPECT_TRUE(vsm_test::eventually([&] { return !process_alive(pid); }));
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
        EXPECT_EQ(load_state("vetra_api"), "not-found");
        forget_records();
    }
}

// Edited by hand: status warns, and start has systemd read the file again, so that what runs is
// what the file now says, also where systemd still holds the unit as it was read (here: waiting
// to be restarted after its process died).
TEST_F(SystemdE2E, EditedUnitIsReportedAndReloadedByStart) {
    place_recording_runner();
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    ::kill(std::stoi(records_of(world.runner()).at("vetra_api")[0]), SIGKILL);
    ASSERT_TRUE(vsm_test::eventually([] { return sub_state("vetra_api") == "auto-restart"; }));
    const fs::path unit = unit_file(world.home(), "vetra_api");
    std::string text = vsm_test::read_file(unit);
    text.insert(text.find("\nWorkingDirectory="), " edited");
    vsm_test::write_file(unit, text, static_cast<fs::perms>(0644));
    const std::string warning = "changed since systemd read it";
    EXPECT_NE(run_cli({"status"}).err.find(warning), std::string::npos);
    ASSERT_EQ(run_cli({"start", "vetra_api"}).exit_code, 0);
    EXPECT_EQ(run_cli({"status"}).err.find(warning), std::string::npos);
    EXPECT_EQ(records_of(world.runner(), 3).count("edited"), 1u);
}

// Disabled by hand, stopped too: install enables both units again, and the manager agrees with
// status. Uninstall leaves no link, one for this boot included, so the manager forgets the units.
TEST_F(SystemdE2E, EnablementIsWhatTheManagerReports) {
    place_recording_runner();
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    run_command("systemctl --user disable --now com.norvale.vetra_sync_agent.service com.norvale.vetra_api.service");
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    const auto json = nlohmann::json::parse(run_cli({"status", "--json"}).out);
    for (const char* service : SERVICES) {
        EXPECT_EQ(json["services"][service]["enabled"], true) << service;
        EXPECT_EQ(vetra_service_manager::backends::systemd::linux_bus::UserManager::connect().unit_property(
                      "com.norvale." + std::string(service) + ".service", "org.freedesktop.systemd1.Unit",
                      "UnitFileState"),
                  "enabled")
            << service;
    }
    run_command("systemctl --user enable --runtime com.norvale.vetra_api.service 2>/dev/null");
    ASSERT_EQ(run_cli({"uninstall", "--keep-binary"}).exit_code, 0);
    EXPECT_EQ(run_command("systemctl --user list-units --all --plain --no-legend 'com.norvale.*'"), "");
}

// A start whose condition was not met says so: the unit never ran, so no exit status either.
TEST_F(SystemdE2E, StartWhoseConditionFailsSaysSo) {
    place_recording_runner();
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    ASSERT_EQ(run_cli({"stop", "vetra_api"}).exit_code, 0);
    const fs::path drop_in = unit_file(world.home(), "vetra_api").string() + ".d/condition.conf";
    fs::create_directories(drop_in.parent_path());
    vsm_test::write_file(drop_in, "[Unit]\nConditionPathExists=/nonexistent/vsm\n", static_cast<fs::perms>(0644));
    vetra_service_manager::backends::systemd::linux_bus::UserManager::connect().reload();
    const auto result = run_cli({"start", "vetra_api"});
    EXPECT_EQ(result.exit_code, 1) << result.out;
    const auto lines = error_lines(result.err);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    const std::string& condition = lines[0];
    EXPECT_NE(condition.find("its condition ConditionPathExists=/nonexistent/vsm was not met"), std::string::npos)
        << condition;
    EXPECT_EQ(condition.find("exit status"), std::string::npos) << condition;
}

// A unit still on its way up (here in ExecStartPre) when stop comes is stopped, and said so.
TEST_F(SystemdE2E, UnitOnItsWayUpIsStopped) {
    place_recording_runner();
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    ASSERT_EQ(run_cli({"stop", "vetra_api"}).exit_code, 0);
    const fs::path drop_in = unit_file(world.home(), "vetra_api").string() + ".d/slow.conf";
    fs::create_directories(drop_in.parent_path());
    vsm_test::write_file(drop_in, "[Service]\nExecStartPre=/bin/sleep 600\n", static_cast<fs::perms>(0644));
    vetra_service_manager::backends::systemd::linux_bus::UserManager::connect().reload();
    run_command("systemctl --user start --no-block com.norvale.vetra_api.service");
    ASSERT_TRUE(vsm_test::eventually([] {
        return vetra_service_manager::backends::systemd::linux_bus::UserManager::connect().unit_property(
                   "com.norvale.vetra_api.service", "org.freedesktop.systemd1.Unit", "ActiveState") == "activating";
    }));
    const auto stop = run_cli({"stop", "vetra_api"});
    EXPECT_EQ(stop.out, "  \u2713 vetra_api stopped\n") << stop.err;
}

// Enabled for this boot only (a link below the runtime directory) is enabled too.
TEST_F(SystemdE2E, RuntimeEnablementCountsAsEnabled) {
    place_recording_runner();
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    const fs::path unit = unit_file(world.home(), "vetra_api");
    fs::remove(unit.parent_path() / "default.target.wants" / unit.filename());
    const fs::path runtime_wants = world.root() / "run/systemd/user/default.target.wants";
    fs::create_directories(runtime_wants);
    fs::create_symlink(unit, runtime_wants / unit.filename());
    vetra_service_manager::backends::systemd::linux_bus::UserManager::connect().reload();
    EXPECT_EQ(nlohmann::json::parse(run_cli({"status", "--json"}).out)["services"]["vetra_api"]["enabled"], true);
}

// However the manager is reached: through its own socket while the session bus is one it is not
// on (dbus-run-session), or through the user bus alone.
TEST_F(SystemdE2E, ManagerIsReachedThroughItsSocketOrTheUserBus) {
    place_recording_runner();
    const fs::path foreign = world.root() / "session-bus";
    const std::string pid = vsm_test::split_lines(run_command(
        "dbus-daemon --session --fork --print-pid --address=unix:path=" + foreign.string()))[0];
    struct Kill {
        std::string pid;
        ~Kill() { ::kill(std::stoi(pid), SIGTERM); }
    } kill_bus{pid};
    {
        vsm_test::ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + foreign.string());
        const auto installed = run_cli({"install", "--version", "1.0"});
        ASSERT_EQ(installed.exit_code, 0) << installed.err;
    }
    const fs::path socket = world.root() / "run/systemd/private";
    fs::rename(socket, socket.string() + ".hidden");
    EXPECT_EQ(nlohmann::json::parse(run_cli({"status", "--json"}).out)["services"]["vetra_api"]["running"], true);
    const auto removed = run_cli({"uninstall", "--keep-binary"});
    EXPECT_EQ(removed.exit_code, 0) << removed.err;
    EXPECT_FALSE(fs::exists(unit_file(world.home(), "vetra_api")));
}

// Any process on the user bus may send a signal that looks like the manager's: a job ends when
// the manager says so. Here the start waits for a file while another process claims it is done.
TEST_F(SystemdE2E, JobEndsWhenTheManagerSaysSoNotAnotherProcess) {
    place_recording_runner();
    const fs::path go = world.root() / "go";
    vsm_test::write_file(go, "");
    vsm_test::write_file(unit_file(world.home(), "vetra_api").string() + ".d/wait.conf",
                         "[Service]\nExecStartPre=/bin/sh -c 'until [ -e " + go.string() + " ]; do sleep 0.1; done'\n");
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    ASSERT_EQ(run_cli({"stop", "vetra_api"}).exit_code, 0);
    fs::remove(go);
    const fs::path socket = world.root() / "run/systemd/private";
    fs::rename(socket, socket.string() + ".hidden");

    vsm_e2e::Background start({"start", "vetra_api"}, world.root());
    std::string job;
    ASSERT_TRUE(vsm_test::eventually([&] {
        std::istringstream jobs(run_command("systemctl --user list-jobs --no-legend com.norvale.vetra_api.service"));
        return static_cast<bool>(jobs >> job);
    }));
    run_command("dbus-send --bus=unix:path=" + (world.root() / "run/bus").string() +
                " --type=signal /org/freedesktop/systemd1 org.freedesktop.systemd1.Manager.JobRemoved uint32:" + job +
                " objpath:/org/freedesktop/systemd1/job/" + job + " string:com.norvale.vetra_api.service string:done");
    vsm_test::write_file(go, "");
    EXPECT_EQ(start.wait(), 0) << start.err();
    EXPECT_EQ(sub_state("vetra_api"), "running");
}

// A CLI whose XDG_CONFIG_HOME is not the manager's puts the unit where the manager reads it.
TEST_F(SystemdE2E, UnitFileGoesWhereTheManagerReadsIt) {
    place_recording_runner();
    vsm_test::ScopedEnv other("XDG_CONFIG_HOME", (world.root() / "elsewhere").string());
    const auto installed = run_cli({"install", "--version", "1.0"});
    ASSERT_EQ(installed.exit_code, 0) << installed.err;
    EXPECT_TRUE(fs::exists(unit_file(world.home(), "vetra_api")));
    EXPECT_FALSE(fs::exists(world.root() / "elsewhere"));
    const auto removed = run_cli({"uninstall", "--keep-binary"});
    EXPECT_EQ(removed.exit_code, 0) << removed.err;
    EXPECT_FALSE(fs::exists(unit_file(world.home(), "vetra_api")));
    EXPECT_EQ(load_state("vetra_api"), "not-found");
}

// A relative XDG_RUNTIME_DIR names no manager, not even the one it leads to from where we are.
TEST_F(SystemdE2E, RelativeRuntimeDirectoryIsIgnored) {
    place_recording_runner();
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    vsm_test::ScopedCwd cwd(world.root());
    vsm_test::ScopedEnv relative("XDG_RUNTIME_DIR", "run");
    const auto result = run_cli({"status", "--json"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(nlohmann::json::parse(result.out)["services"]["vetra_api"]["running"], false);
    EXPECT_NE(result.err.find("no absolute XDG_RUNTIME_DIR"), std::string::npos) << result.err;
}

// Ctrl-C while the first unit is being set up: that service is finished, the second is not begun.
TEST_F(SystemdE2E, InterruptDuringInstallFinishesTheCurrentServiceAndStops) {
    place_recording_runner();
    vsm_e2e::Background install({"install", "--version", "1.0"}, world.root());
    // A reload alone takes the manager a good part of a second: plenty of time to be caught.
    ASSERT_TRUE(vsm_test::eventually([&] { return fs::exists(unit_file(world.home(), "vetra_sync_agent")); }));
    install.signal(SIGINT);
    EXPECT_EQ(install.wait(), 130);
    const auto state = nlohmann::json::parse(run_cli({"status", "--json"}).out)["services"];
    EXPECT_EQ(state["vetra_sync_agent"]["running"], true);
    EXPECT_EQ(state["vetra_api"]["installed"], false);
    EXPECT_EQ(load_state("vetra_api"), "not-found");
}

// A manager that stopped answering (here: stopped by a signal): the command gives up once, when
// the time all its calls share is over, not after sd-bus's time for each call or handshake.
TEST_F(SystemdE2E, ManagerThatStopsAnsweringIsGivenUpOnce) {
    place_recording_runner();
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    ::kill(manager.pid(), SIGSTOP);
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{manager.pid()};
    const auto result = run_cli({"uninstall", "--keep-binary"});
    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_EQ(error_lines(result.err),
              std::vector<std::string>{
                  "error: Cannot read the state of the user manager: no answer from the user manager within 25 s"});
}

// The manager ends (killed, or told to stop) while install starts the first service, after the
// unit file and its link were written: the failed install leaves neither behind, and says each
// cause once.
class ManagerEndsDuringInstall : public SystemdE2E, public ::testing::WithParamInterface<const char*> {};

TEST_P(ManagerEndsDuringInstall, LeavesNothingBehind) {
    const fs::path unit = unit_file(world.home(), "vetra_sync_agent");
    const fs::path link = unit.parent_path() / "default.target.wants" / unit.filename();
    place_recording_runner();
    // A drop-in of the user's, there before our unit: the start job cannot finish before the manager
    // (the parent of what it runs) has got the signal.
    const fs::path drop_in = unit.string() + ".d/end-manager.conf";
    fs::create_directories(drop_in.parent_path());
    vsm_test::write_file(drop_in, std::string("[Service]\nExecStartPre=/bin/sh -c 'kill -") + GetParam() +
                                      " $$PPID; sleep 600'\n",
                         static_cast<fs::perms>(0644));
    const auto result = run_cli({"install", "--version", "1.0"});
    EXPECT_EQ(result.exit_code, 1);
    const auto lines = error_lines(result.err);
    ASSERT_FALSE(lines.empty()) << result.err;
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size()) << result.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(unit)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

INSTANTIATE_TEST_SUITE_P(Signals, ManagerEndsDuringInstall, ::testing::Values("KILL", "TERM"));

// The 25 s are the whole command's, not each call's: a manager that was slow to answer (here: 15 s
// stopped) and then stops answering for good gets what is left of them. The command's output
// goes to a full pipe, so that it waits to write its first line, between the services, while the
// manager is stopped again.
TEST_F(SystemdE2E, ManagerFrozenAfterSlowAnswersGetsWhatIsLeftOfTheTime) {
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const int capacity = ::fcntl(out[1], F_SETPIPE_SZ, 4096);
    ::fcntl(out[1], F_SETFL, O_NONBLOCK);
    while (::write(out[1], "x", 1) == 1) {
    }
    ::fcntl(out[1], F_SETFL, 0);
    ::kill(manager.pid(), SIGSTOP);
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{manager.pid()};
    const auto begun = std::chrono::steady_clock::now();
    vsm_e2e::Background stop({"stop"}, world.root(), out[1]);
    ::close(out[1]);
    std::this_thread::sleep_for(std::chrono::seconds(15));
    ::kill(manager.pid(), SIGCONT);
    ASSERT_TRUE(vsm_test::eventually([&] { return writing_to_stdout(stop.pid()); }, 60)) << stop.err();
    ::kill(manager.pid(), SIGSTOP);
    std::vector<char> drained(static_cast<std::size_t>(capacity));
    ASSERT_GT(::read(out[0], drained.data(), drained.size()), 0);
    EXPECT_EQ(stop.wait(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(32));
    ::close(out[0]);
    EXPECT_EQ(error_lines(stop.err()),
              std::vector<std::string>{
                  "error: Cannot read the state of the user manager: no answer from the user manager within 25 s"});
}

// However many services and steps: one connection to the manager per command; and status asks
// for both units in one round trip.
TEST_F(SystemdE2E, EachCommandConnectsOnce) {
    place_recording_runner();
    const std::vector<std::string> commands[] = {
        {"install", "--version", "1.0"}, {"status"}, {"stop"}, {"uninstall", "--keep-binary"}};
    for (auto args : commands) {
        args.insert(args.begin(), {"--log-level", "debug"});
        const auto result = run_cli(args);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        std::size_t connections = 0;
        std::vector<std::string> questions;
        for (const auto& line : vsm_test::split_lines(result.err)) {
            connections += line.find("Connected to the systemd user manager") != std::string::npos;
            if (line.find("Asking the user manager for the state of") != std::string::npos) questions.push_back(line);
        }
        EXPECT_EQ(connections, 1u) << args[2];
        if (args[2] == "status") {
            ASSERT_EQ(questions.size(), 1u) << result.err;
            for (const char* service : SERVICES) EXPECT_NE(questions[0].find(service), std::string::npos);
        }
    }
}

// What status says is what systemctl says, in each state the commands and the user bring about:
// ours when systemd loaded the unit from our file (a mask is not ours), enabled when systemd holds
// it enabled (for good or for this boot), running when it is active and running.
TEST_F(SystemdE2E, StatusAgreesWithSystemctl) {
    using vetra_service_manager::backends::systemd::linux_bus::UserManager;
    place_recording_runner();
    const auto unit = [](const std::string& service) { return "com.norvale." + service + ".service"; };
    const fs::path foreign = world.home() / ".local/share/systemd/user" / unit("vetra_api");
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"nothing installed", [] {}},
        {"installed", [] { ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0); }},
        {"stopped", [] { ASSERT_EQ(run_cli({"stop", "vetra_api"}).exit_code, 0); }},
        {"disabled by hand", [&] { run_command("systemctl --user disable -q " + unit("vetra_sync_agent")); }},
        {"enabled for this boot",
         [&] { run_command("systemctl --user enable -q --runtime " + unit("vetra_sync_agent")); }},
        {"file deleted while running, manager reloaded",
         [&] {
             fs::remove(unit_file(world.home(), "vetra_sync_agent"));
             UserManager::connect().reload();
         }},
        {"uninstalled", [] { ASSERT_EQ(run_cli({"uninstall", "--keep-binary"}).exit_code, 0); }},
        {"another program's unit, running",
         [&] {
             fs::create_directories(foreign.parent_path());
             vsm_test::write_file(foreign, "[Service]\nExecStart=/bin/sleep 1000\n", static_cast<fs::perms>(0644));
             UserManager::connect().reload();
             run_command("systemctl --user start " + unit("vetra_api"));
         }},
        {"another program's unit started by hand",
         [&] { run_command("systemd-run -q --user --unit=" + unit("vetra_sync_agent") + " /bin/sleep 1000"); }},
        {"masked", [&] {
             run_command("systemctl --user stop " + unit("vetra_sync_agent"));
             run_command("systemctl --user mask -q " + unit("vetra_sync_agent"));
         }},
    };
    for (const auto& [name, step] : steps) {
        SCOPED_TRACE(name);
        step();
        const auto status = nlohmann::json::parse(run_cli({"status", "--json"}).out)["services"];
        for (const char* service : SERVICES) {
            SCOPED_TRACE(service);
            std::map<std::string, std::string> shown;
            for (const auto& line : vsm_test::split_lines(run_command(
                     "systemctl --user show -p LoadState,ActiveState,SubState,UnitFileState,FragmentPath " +
                     unit(service)))) {
                if (const auto equals = line.find('='); equals != std::string::npos)
                    shown[line.substr(0, equals)] = line.substr(equals + 1);
            }
            // Loaded from our file, or still up under our name after its file went (systemd then
            // forgets where it was loaded from).
            const bool ours =
                (shown["FragmentPath"] == unit_file(world.home(), service).string() && shown["LoadState"] == "loaded") ||
                (shown["FragmentPath"].empty() && shown["ActiveState"] == "active");
            EXPECT_EQ(status[service]["installed"], ours) << shown["FragmentPath"] << " " << shown["LoadState"];
            EXPECT_EQ(status[service]["enabled"], ours && shown["UnitFileState"].starts_with("enabled"))
                << shown["UnitFileState"];
            EXPECT_EQ(status[service]["running"],
                      ours && shown["ActiveState"] == "active" && shown["SubState"] == "running")
                << shown["ActiveState"] << "/" << shown["SubState"];
        }
    }
}

// Needs no manager: the case is that there is none.
TEST(SystemdWithoutManager, StatusTellsWhatTheFilesSayAndInstallWritesNothing) {
    vsm_e2e::World world("Linux");
    const fs::path unit = unit_file(world.home(), "vetra_sync_agent");
    vsm_test::write_file(unit, "[Unit]\n");
    fs::create_directories(unit.parent_path() / "default.target.wants");
    fs::create_symlink(unit, unit.parent_path() / "default.target.wants" / unit.filename());
    const auto result = run_cli({"status", "--json"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(nlohmann::json::parse(result.out)["services"]["vetra_sync_agent"],
              nlohmann::json({{"installed", true}, {"enabled", true}, {"running", false}, {"version", nullptr}}));
    EXPECT_EQ(vsm_test::split_lines(result.err).size(), 1u) << result.err;

    fs::remove(unit);
    fs::remove(unit.parent_path() / "default.target.wants" / unit.filename());
    fs::create_directories(world.runner().parent_path());
    fs::copy_file(vsm_test::fakes_dir / "recording-runner", world.runner());
    const auto install = run_cli({"install", "--version", "1.0"});
    EXPECT_EQ(install.exit_code, 1);
    const auto lines = error_lines(install.err);
    ASSERT_EQ(lines.size(), 1u) << install.err;
    EXPECT_TRUE(lines[0].starts_with("error: Cannot reach the systemd user manager (")) << lines[0];
    // Logged once by the step that failed, not again by each layer it passes through.
    EXPECT_EQ(vsm_test::split_lines(install.err).size(), 2u) << install.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(unit)));

    // A service never installed has no journal of ours to show.
    const auto logs = run_cli({"logs", "vetra_api"});
    EXPECT_EQ(logs.exit_code, 0) << logs.err;
    EXPECT_EQ(logs.out, "No logs for vetra_api yet.\n");
}

// XDG_DATA_HOME another user's, against the user's own manager: the runner in it is the user's own
// today, but that user may rename our directory aside and plant theirs at any time, for systemd to
// run at the next start. install refuses before the manager is told anything; nothing runs.
TEST(PlantedRunner, AnotherUsersDataHomeIsRefusedBeforeTheUserManagerIsTold) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root to act as two users";
    constexpr uid_t USER = 2001, OTHER = 2002;
    vsm_e2e::World world("Linux");
    const fs::path data = world.root() / "data", ran = world.root() / "runner-ran";
    const fs::path runner = data / "norvale/services/vetra_service_runner";
    vsm_test::ScopedEnv data_home("XDG_DATA_HOME", data.string());
    vsm_test::write_script(runner, "#!/bin/sh\ntouch '" + ran.string() + "'\n");
    vsm_e2e::give(world.root(), USER);
    vsm_e2e::give(data, OTHER);
    vsm_e2e::give(data / "norvale", USER);
    vsm_systemd::UserManager manager(world.home(), world.root() / "run", USER);
    VSM_REQUIRE_USER_MANAGER(manager);

    const auto result = vsm_e2e::run_cli_as(USER, {"install"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "error: Refusing to run " + runner.string() + ": " + data.string() + " is owned by uid 2002\n");
    EXPECT_FALSE(fs::exists(ran));
    for (const char* service : SERVICES) {
        EXPECT_FALSE(fs::exists(unit_file(world.home(), service))) << service;
        EXPECT_EQ(load_state(service), "not-found") << service;
    }
}

}  // namespace
