// The status wait: when it polls, how often, and what it logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "backends/launchd/launchd_fixture.hpp"

namespace vsm_test {
namespace {

using namespace vetra_service_manager;
using Clock = std::chrono::steady_clock;

class MacOSWaitTest : public LaunchdTest {
protected:
    void SetUp() override { write_file(plist, "<plist version=\"1.0\"><dict/></plist>\n"); }
};

TEST_F(MacOSWaitTest, ZeroTimeoutPollsNothing) {
    auto m = manager();
    int polls = 0;
    LogCapture log;
    EXPECT_FALSE(m._wait_for_service_status([&](const ServiceStatus&) { return ++polls, true; }, 0, 10));
    EXPECT_EQ(polls, 0);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "info vetra_service_manager.backends.launchd.macos: Waiting for service demo_service status to "
                               "change (timeout: 0s)",
                               "warning vetra_service_manager.backends.launchd.macos: Timeout reached while waiting for "
                               "demo_service status change",
                           }));
}

TEST_F(MacOSWaitTest, FirstPollHappensAtOnce) {
    auto m = manager();
    int polls = 0;
    LogCapture log;
    const auto begin = Clock::now();
    // An hour between polls: only an immediate first poll lets this return.
    EXPECT_TRUE(m._wait_for_service_status(
        [&](const ServiceStatus& s) { return ++polls, s.installation_status == InstallationStatus::INSTALLED; }, 30,
        3600 * 1000));
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
    EXPECT_EQ(polls, 1);
    EXPECT_EQ(subcommands(), (std::vector<std::string>{"print-disabled", "print"}));
    const auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().starts_with(
        "info vetra_service_manager.backends.launchd.macos: Service demo_service reached desired status after "))
        << lines.back();
    EXPECT_TRUE(lines.back().ends_with("ms"));
}

TEST_F(MacOSWaitTest, PollsQuicklyAtFirstThenBacksOffUntilTheTimeout) {
    auto m = manager();
    std::vector<Clock::time_point> polls;
    const auto begin = Clock::now();
    EXPECT_FALSE(m._wait_until([&] { return polls.push_back(Clock::now()), false; }, 3, 500));
    EXPECT_GE(Clock::now() - begin, std::chrono::seconds(3));
    // 50 ms apart during the first second (a busy machine oversleeps: at least half of them), a
    // twentieth of the time waited after it: about 130 ms apart by the end.
    const auto first_second = std::count_if(polls.begin(), polls.end(),
                                            [&](Clock::time_point poll) { return poll - begin < std::chrono::seconds(1); });
    EXPECT_GE(first_second, 10);
    ASSERT_GE(polls.size(), 2u);
    EXPECT_GE(polls.back() - polls[polls.size() - 2], std::chrono::milliseconds(100));
}

TEST_F(MacOSWaitTest, ErrorOfThePredicateEndsTheWait) {
    auto m = manager();
    EXPECT_THROW(m._wait_for_service_status([](const ServiceStatus&) -> bool { throw std::logic_error("boom"); }),
                 std::logic_error);
}

}  // namespace
}  // namespace vsm_test
