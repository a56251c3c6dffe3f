// The start-up table (e2e/startup.hpp) against the launchctl stand-in, which holds the first
// service's bootstrap for as long as a row asks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "e2e/e2e_fixture.hpp"
#include "e2e/startup.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vsm_e2e::startup;
using vsm_e2e::World;

class StartedBy : public testing::TestWithParam<StartUp> {
protected:
    World world{"Darwin"};
    StartedBy() { World::place_runner(world.runner()); }

    int installed() const {
        const auto services = nlohmann::json::parse(vsm_test::run_cli({"status", "--json"}).out)["services"];
        return (services["vetra_sync_agent"]["installed"] == true) + (services["vetra_api"]["installed"] == true);
    }
};

TEST_P(StartedBy, InstallRunsToItsEndOrStopsAsAskedWhateverItInherits) {
    const StartUp& row = GetParam();
    const fs::path busy = world.root() / "launchd/busy/bootstrap";
    vsm_test::write_file(world.root() / "launchd/slow/bootstrap", row.slow_start + "\n");
    const pid_t install = start_install(row, world.root());
    ASSERT_GT(install, 0);
    pid_t child = 0;
    if (!row.sent.empty()) {
        std::string pid;
        ASSERT_TRUE(vsm_test::eventually([&] { return !(pid = vsm_test::read_file(busy)).empty(); }));
        child = std::stoi(pid);
        for (int signal : row.sent) {
            ::kill(install, signal);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // two pending signals would be one
        }
    }
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(exit_status(install), row.status);
    EXPECT_EQ(vsm_test::read_file(world.root() / "err"), row.err);
    if (row.installed >= 0) {
        EXPECT_EQ(installed(), row.installed);
    }
    if (row.slow_start.ends_with("stubborn")) {
        // Its children too, the one that ignores SIGTERM included, after a short grace.
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));
        EXPECT_TRUE(vsm_test::eventually([&] { return !alive(child); }, 5));
    }
}

INSTANTIATE_TEST_SUITE_P(, StartedBy, testing::ValuesIn(rows), [](const auto& info) { return info.param.name; });

}  // namespace
