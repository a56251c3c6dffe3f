// install, status and uninstall on Linux through the testing executable, against a private
// systemd user manager.
#include <signal.h>

#include <map>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "e2e/background.hpp"
#include "e2e/e2e_fixture.hpp"
#include "systemd/user_manager.hpp"
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

std::string load_state(const std::string& service) {
    auto manager = vetra_service_manager::backends::systemd::linux_bus::UserManager::connect();
    return manager.unit_property("com.norvale." + service + ".service", "org.freedesktop.systemd1.Unit", "LoadState");
}

class SystemdE2E : public ::testing::Test {
protected:
    void SetUp() override { VSM_REQUIRE_USER_MANAGER(manager); }

    void place_recording_runner() const {
        fs::create_directories(world.runner().parent_path());
        fs::copy_file(vsm_test::fakes_dir / "recording-runner", world.runner());
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
    EXPECT_TRUE(lines[0].starts_with("error: Installation failed: Failed to start the service: systemd reports job "
                                     "failed"))
        << lines[0];
    EXPECT_TRUE(lines[0].ends_with("result \"exit-code\", exit status 203")) << lines[0];
    EXPECT_FALSE(fs::exists(unit_file(world.home(), "vetra_sync_agent")));
    EXPECT_EQ(load_state("vetra_sync_agent"), "not-found");
}

TEST_F(SystemdE2E, HostileDataDirectoryReachesTheRunnerExactly) {
    // Quotes and backslashes are tried in working directories by the escaping test: systemd
    // refuses them in a program's path, which install then says in one line.
    const auto install_from = [&](const fs::path& data) {
        vsm_test::ScopedEnv xdg("XDG_DATA_HOME", data.string());
        const fs::path runner = data / "norvale/services/vetra_service_runner";
        fs::create_directories(runner.parent_path());
        fs::copy_file(vsm_test::fakes_dir / "recording-runner", runner);
        return std::pair(run_cli({"install", "--version", "1.2"}), runner);
    };
    const auto [refused, ignored] = install_from(world.root() / "it's");
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(error_lines(refused.err).size(), 1u) << refused.err;
    EXPECT_NE(refused.err.find("error: Installation failed: systemd cannot start a program whose path contains quotes"),
              std::string::npos)
        << refused.err;

    const auto [result, runner] = install_from(world.root() / "da ta $HOME ${X} %n 100% ; é");
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const auto records = records_of(runner);
    ASSERT_EQ(records.count("vetra_api"), 1u);
    const auto& record = records.at("vetra_api");
    EXPECT_EQ(record, (std::vector<std::string>{record[0], runner.parent_path().string(), "run", "vetra_api"}));
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

// Needs no manager: the failure is that there is none.
TEST(SystemdStatus, InstalledUnitWithoutAManagerIsOneErrorLine) {
    vsm_e2e::World world("Linux");
    vsm_test::write_file(unit_file(world.home(), "vetra_sync_agent"), "[Unit]\n");
    const auto result = run_cli({"status"});
    EXPECT_EQ(result.exit_code, 1);
    const auto lines = error_lines(result.err);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_TRUE(lines[0].starts_with("error: Cannot reach the systemd user manager (")) << lines[0];
    EXPECT_NE(lines[0].find("lingering"), std::string::npos) << lines[0];
}

}  // namespace
