// The start-up table (e2e/startup.hpp) once against a private systemd user manager: install is
// busy with the first service from the moment its unit file appears (the manager's reload takes a
// good part of a second). The manager is talked to over D-Bus, so no child of install is waited for.
#include <gtest/gtest.h>

#include <thread>

#include <nlohmann/json.hpp>

#include "e2e/e2e_fixture.hpp"
#include "e2e/startup.hpp"
#include "systemd/user_manager.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vsm_e2e::startup;

class StartedBySystemd : public testing::TestWithParam<StartUp> {
protected:
    void SetUp() override { VSM_REQUIRE_USER_MANAGER(manager); }

    vsm_e2e::World world{"Linux"};
    vsm_systemd::UserManager manager{world.home(), world.root() / "run"};
};

TEST_P(StartedBySystemd, InstallRunsToItsEndOrStopsAsAsked) {
    const StartUp& row = GetParam();
    fs::create_directories(world.runner().parent_path());
    fs::copy_file(vsm_test::fakes_dir / "recording-runner", world.runner());
    const pid_t install = start_install(row, world.root());
    ASSERT_GT(install, 0);
    if (!row.sent.empty()) {
        const fs::path first_unit = world.home() / ".config/systemd/user/com.norvale.vetra_sync_agent.service";
        ASSERT_TRUE(vsm_test::eventually([&] { return fs::exists(first_unit); }));
        for (int signal : row.sent) {
            ::kill(install, signal);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    EXPECT_EQ(exit_status(install), row.status);
    const std::string err = vsm_test::read_file(world.root() / "err");
    if (row.sent.size() > 1) {
        // No child is waited for here: the current service may be done, and the command gone with
        // the first signal's line, before the second signal arrives. Either ending is right.
        EXPECT_TRUE(err == row.err || err == "interrupted by SIGINT\n") << err;
    } else {
        EXPECT_EQ(err, row.err);
    }
    if (row.installed < 0) return;
    const auto services = nlohmann::json::parse(vsm_test::run_cli({"status", "--json"}).out)["services"];
    EXPECT_EQ((services["vetra_sync_agent"]["installed"] == true) + (services["vetra_api"]["installed"] == true),
              row.installed);
}

INSTANTIATE_TEST_SUITE_P(, StartedBySystemd, testing::ValuesIn(rows), [](const auto& info) { return info.param.name; });

}  // namespace
