// An interrupt during install, end to end: the service being installed is finished, the next
// one is not begun, and the exit status tells which signal it was. Each platform supplies how to
// hold install inside the first service's start for a while and where that step runs; the checks
// go through `status --json` and hold on every platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "e2e/background.hpp"
#include "e2e/e2e_fixture.hpp"

namespace {

namespace fs = std::filesystem;
using vsm_e2e::Background;
using vsm_e2e::World;

struct Platform {
    std::string name;
    // Makes the first service's start take `seconds`.
    std::function<void(const World&, int seconds)> slow_start;
    // The process id of the child busy with that start, once it is.
    std::function<std::optional<pid_t>(const World&)> busy_child;
};

const Platform darwin{
    "Darwin",
    [](const World& world, int seconds) {
        vsm_test::write_file(world.root() / "launchd/slow/bootstrap", std::to_string(seconds) + "\n");
    },
    [](const World& world) -> std::optional<pid_t> {
        const std::string pid = vsm_test::read_file(world.root() / "launchd/busy/bootstrap");
        if (pid.empty()) return std::nullopt;
        return std::stoi(pid);
    },
};

void PrintTo(const Platform& platform, std::ostream* os) { *os << platform.name; }

class InterruptDuringInstall : public testing::TestWithParam<Platform> {
protected:
    World world{GetParam().name};

    InterruptDuringInstall() { World::place_runner(world.runner()); }

    // install in the background, held inside the first service's start.
    std::pair<std::unique_ptr<Background>, pid_t> install_until_busy(int seconds) {
        GetParam().slow_start(world, seconds);
        auto install = std::make_unique<Background>(std::vector<std::string>{"install", "--version", "1.0"}, world.root());
        std::optional<pid_t> child;
        EXPECT_TRUE(vsm_test::eventually([&] { return (child = GetParam().busy_child(world)).has_value(); }));
        return {std::move(install), child.value_or(0)};
    }
    nlohmann::json services() const {
        return nlohmann::json::parse(vsm_test::run_cli({"status", "--json"}).out)["services"];
    }
};

TEST_P(InterruptDuringInstall, FinishesTheCurrentServiceAndStops) {
    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        auto [install, child] = install_until_busy(1);
        install->signal(signal);
        EXPECT_EQ(install->wait(), status);
        EXPECT_EQ(install->out(), "Installing Vetra services...\n  runner:  " + world.runner().string() +
                                      "\n  version: 1.0\n\nRegistering services...\n"
                                      "  \u2713 vetra_sync_agent (installed, enabled, started)\n");
        const auto state = services();
        EXPECT_EQ(state["vetra_sync_agent"]["running"], true);
        EXPECT_EQ(state["vetra_api"]["installed"], false);
        // Done is done: the next install completes the rest.
        ASSERT_EQ(vsm_test::run_cli({"uninstall", "--keep-cache", "--keep-binary"}).exit_code, 0);
    }
}

// Interrupted while at its last service, install has nothing left to skip: it completes, and a
// script that sent the signal still learns that it came.
TEST_P(InterruptDuringInstall, AtTheLastServiceCompletesAndStillEndsAsInterrupted) {
    auto [install, first] = install_until_busy(1);
    std::optional<pid_t> last;
    // The first service's line waits for its start to settle, which runs on while the last is started.
    ASSERT_TRUE(vsm_test::eventually([&] { return (last = GetParam().busy_child(world)).has_value() && *last != first; }));
    install->signal(SIGINT);
    EXPECT_EQ(install->wait(), 130);
    EXPECT_THAT(install->out(), testing::EndsWith("  \u2713 vetra_api (installed, enabled, started)\n\nInstall complete.\n"));
    EXPECT_THAT(install->err(), testing::HasSubstr("interrupted by SIGINT"));
    EXPECT_EQ(services()["vetra_api"]["running"], true);
}

INSTANTIATE_TEST_SUITE_P(, InterruptDuringInstall, testing::Values(darwin),
                         [](const auto& info) { return info.param.name; });

}  // namespace
