// enable, disable, start and stop against the launchctl simulator: skip-or-raise rules, the
// launchctl runs they make, the bootstrap retry and the status polls.
#include <gtest/gtest.h>

#include "backends/launchd/launchd_fixture.hpp"
#include "vetra_service_manager/exceptions.hpp"

namespace vsm_test {
namespace {

using namespace vetra_service_manager;
namespace ex = vetra_service_manager::exceptions;

class MacOSLifecycleTest : public LaunchdTest {
protected:
    // Installed, enabled and running; the simulator's call log starts empty afterwards.
    void install(backends::launchd::macos::MacOSServiceManager& m) const {
        m.install({agent_program().string(), "serve"}, Version("1.0"));
        forget_calls();
    }
};

TEST_F(MacOSLifecycleTest, WithoutPropertyListNothingRunsLaunchctl) {
    auto m = manager();
    EXPECT_THROW(m.start(), ex::ServiceNotInstalledError);  // through its enable()
    EXPECT_THROW(m.enable(), ex::ServiceNotInstalledError);
    EXPECT_NO_THROW(m.stop());
    EXPECT_NO_THROW(m.disable());
    EXPECT_THROW(m.stop(true), ex::ServiceAlreadyStoppedError);
    EXPECT_THROW(m.disable(true), ex::ServiceAlreadyDisabledError);
    EXPECT_TRUE(calls().empty());
}

TEST_F(MacOSLifecycleTest, AlreadyInRequestedStateSkipsOrRaisesByFlag) {
    auto m = manager();
    install(m);
    {
        LogCapture log;
        EXPECT_NO_THROW(m.enable());
        EXPECT_NO_THROW(m.start());
        EXPECT_NE(log.text().find("debug vetra_service_manager.backends.launchd.macos: Service is already enabled, skipping"),
                  std::string::npos);
        EXPECT_NE(log.text().find("debug vetra_service_manager.backends.launchd.macos: Service is already running, skipping"),
                  std::string::npos);
    }
    EXPECT_THROW(m.enable(true), ex::ServiceAlreadyEnabledError);
    EXPECT_THROW(m.start(true), ex::ServiceAlreadyRunningError);
    const auto reads = subcommands();
    EXPECT_EQ(std::count(reads.begin(), reads.end(), "bootstrap"), 0);
    EXPECT_EQ(std::count(reads.begin(), reads.end(), "enable"), 0);

    m.stop();
    EXPECT_THROW(m.stop(true), ex::ServiceAlreadyStoppedError);
    m.disable();
    EXPECT_THROW(m.disable(true), ex::ServiceAlreadyDisabledError);
    const auto runs = subcommands();
    EXPECT_EQ(std::count(runs.begin(), runs.end(), "bootout"), 1);
    EXPECT_EQ(std::count(runs.begin(), runs.end(), "disable"), 1);
}

TEST_F(MacOSLifecycleTest, StopBootsOutAndWaitsUntilStopped) {
    auto m = manager();
    install(m);
    const auto pid = agent_pid();
    ASSERT_TRUE(pid);
    m.stop();
    EXPECT_FALSE(loaded());
    EXPECT_FALSE(process_alive(*pid));
    EXPECT_EQ(m.status().running_status, RunningStatus::NOT_RUNNING);
    EXPECT_EQ(calls()[2], "bootout gui/" + uid_text() + "/" + LABEL);
}

TEST_F(MacOSLifecycleTest, StartOnDisabledRunningAgentEnablesThenSkips) {
    auto m = manager();
    install(m);
    mark(LABEL, "disabled");
    m.start();
    const std::string service = "gui/" + uid_text() + "/" + LABEL;
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "print-disabled gui/" + uid_text(), "print " + service,  // start's one reading
                           "enable " + service,
                       }));
}

TEST_F(MacOSLifecycleTest, DisableStopsFirstThenMarksTheLabel) {
    auto m = manager();
    install(m);
    m.disable();
    // One reading decides both: the stop, then the mark; another tells what the stop left.
    EXPECT_EQ(subcommands(), (std::vector<std::string>{"print-disabled", "print", "bootout", "print",
                                                       "print-disabled", "print", "disable"}));
    EXPECT_EQ(read_file(state / "marks" / LABEL), "disabled\n");
}

TEST_F(MacOSLifecycleTest, LoadedButNotRunningAgentCountsAsStoppedAndStartsAgain) {
    auto m = manager();
    install(m);
    ::kill(*agent_pid(), SIGKILL);
    ASSERT_TRUE(eventually([&] { return m.status().running_status == RunningStatus::NOT_RUNNING; }));
    forget_calls();
    m.stop();
    EXPECT_EQ(subcommands(), (std::vector<std::string>{"print-disabled", "print"}));
    EXPECT_TRUE(loaded());
    // launchd refuses to bootstrap a label that is still loaded: start takes it out first.
    m.start();
    EXPECT_EQ(m.status().running_status, RunningStatus::RUNNING);
}

TEST_F(MacOSLifecycleTest, LaunchctlFailuresRaiseWithTheirOperationAndStandardError) {
    struct Case {
        const char* subcommand;
        std::function<void(backends::launchd::macos::MacOSServiceManager&)> operation;
        ServiceOperation expected;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"enable", [](auto& m) { m.enable(); }, ServiceOperation::ENABLE, "Failed to enable the service: no enable"},
        {"disable", [](auto& m) { m.disable(); }, ServiceOperation::DISABLE, "Failed to disable the service: no disable"},
        {"bootout", [](auto& m) { m.stop(); }, ServiceOperation::STOP, "Failed to bootout the service: no bootout"},
    };
    auto m = manager();
    install(m);
    m.stop();  // so that disable() does not boot out first, and enable() finds a disabled label
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subcommand);
        if (std::string(c.subcommand) == "bootout") {
            fs::remove(state / "marks" / LABEL);
            m.start();
        } else {
            mark(LABEL, std::string(c.subcommand) == "enable" ? "disabled" : "enabled");
        }
        queue(c.subcommand, std::string("7 no ") + c.subcommand);
        try {
            c.operation(m);
            ADD_FAILURE() << "no error";
        } catch (const ServiceOperationError& error) {
            EXPECT_EQ(error.operation(), c.expected);
            EXPECT_EQ(error.what(), c.message);
        }
    }
}

TEST_F(MacOSLifecycleTest, BootstrapFailingTwiceRunsTwoAttemptsOneSecondApart) {
    auto m = manager();
    install(m);
    m.stop();
    queue("bootstrap", "5 Bootstrap failed: 5: Input/output error");
    queue("bootstrap", "37 Bootstrap failed: 37: Operation already in progress");
    LogCapture log;
    try {
        m.start();
        FAIL() << "no error";
    } catch (const ServiceOperationError& error) {
        EXPECT_EQ(error.operation(), ServiceOperation::START);
        EXPECT_STREQ(error.what(), "Failed to start the service: Bootstrap failed: 37: Operation already in progress");
    }
    const auto times = call_times("bootstrap");
    ASSERT_EQ(times.size(), 2u);
    EXPECT_GE(times[1] - times[0], 0.95);
    EXPECT_NE(log.text().find("warning vetra_service_manager.backends.launchd.macos: Failed to start service, retrying in 1s: "
                              "Bootstrap failed: 5: Input/output error\n"),
              std::string::npos);
    EXPECT_EQ(calls().back(), "bootstrap gui/" + uid_text() + " " + plist.string());
}

TEST_F(MacOSLifecycleTest, StartWaitsForADelayedLaunch) {
    auto m = manager();
    install(m);
    m.stop();
    delay_start(0.8);
    LogCapture log;
    m.start();
    EXPECT_EQ(m.status().running_status, RunningStatus::RUNNING);
    EXPECT_NE(log.text().find("Service is not running, state: spawn"), std::string::npos);
    EXPECT_NE(log.text().find("info vetra_service_manager.backends.launchd.macos: Service demo_service successfully started"),
              std::string::npos);
}

}  // namespace
}  // namespace vsm_test
