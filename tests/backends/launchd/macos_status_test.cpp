// Identity and status of the launchd backend, read from the simulator's launchctl output.
#include <gtest/gtest.h>

#include <functional>

#include "backends/launchd/launchd_fixture.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace vsm_test {
namespace {

using namespace vetra_service_manager;

ServiceStatus triple(InstallationStatus i, EnablementStatus e, RunningStatus r) { return {i, e, r}; }

class MacOSStatusTest : public LaunchdTest {
protected:
    // A property list that launchd has not loaded.
    void write_plist() const { write_file(plist, "<plist version=\"1.0\"><dict/></plist>\n"); }
};

TEST_F(MacOSStatusTest, IdentityComesFromTheServiceNameAndHomeAndTouchesNothing) {
    LogCapture log;
    auto m = manager();
    EXPECT_EQ(m.user_id(), uid_text());
    EXPECT_EQ(m.bundle_identifier(), LABEL);
    EXPECT_EQ(m.plist_path(), plist);
    EXPECT_EQ(m.log_dir(), log_dir);
    EXPECT_FALSE(fs::exists(home));
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "info vetra_service_manager.backends.launchd.macos: MacOSServiceManager initialized for service: "
                               "demo_service",
                               "debug vetra_service_manager.backends.launchd.macos: plist_path: " + plist.string() +
                                   ", app_dir: " + app_dir.string(),
                           }));
}

TEST_F(MacOSStatusTest, WithoutPropertyListStartsNoProcessAndLogsOneLine) {
    auto m = manager();
    LogCapture log;
    EXPECT_EQ(m.status(), triple(InstallationStatus::NOT_INSTALLED, EnablementStatus::DISABLED,
                                 RunningStatus::NOT_RUNNING));
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "debug vetra_service_manager.backends.launchd.macos: Checking status of service: demo_service"}));
}

TEST_F(MacOSStatusTest, EnablementFollowsTheLabelsOwnEntryOnly) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> marks;
        EnablementStatus expected;
    };
    const std::vector<Case> cases = {
        {"no entry", {}, EnablementStatus::ENABLED},
        {"disabled", {{LABEL, "disabled"}}, EnablementStatus::DISABLED},
        {"enabled", {{LABEL, "enabled"}}, EnablementStatus::ENABLED},
        {"other labels only", {{"com.apple.x", "disabled"}}, EnablementStatus::ENABLED},
        // A dot in the label matches only a dot.
        {"dot replaced", {{"comXnorvale.demo_service", "disabled"}}, EnablementStatus::ENABLED},
        {"dot replaced later", {{"com.norvaleXdemo_service", "disabled"}}, EnablementStatus::ENABLED},
        {"longer label", {{"com.norvale.demo_service2", "disabled"}}, EnablementStatus::ENABLED},
        {"own entry after decoys",
         {{"com.norvaleXdemo_service", "enabled"}, {LABEL, "disabled"}},
         EnablementStatus::DISABLED},
    };
    write_plist();
    auto m = manager();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(state / "marks");
        fs::create_directories(state / "marks");
        for (const auto& [label, word] : c.marks) mark(label, word);
        EXPECT_EQ(m.status(), triple(InstallationStatus::INSTALLED, c.expected, RunningStatus::NOT_RUNNING));
    }
}

TEST_F(MacOSStatusTest, UnknownEnablementWordRaisesGetStatus) {
    write_plist();
    mark(LABEL, "true");
    LogCapture log;
    try {
        (void)manager().status();
        FAIL() << "no error";
    } catch (const ServiceOperationError& error) {
        EXPECT_EQ(error.operation(), ServiceOperation::GET_STATUS);
        EXPECT_STREQ(error.what(), "Unknown service enablement state: true");
    }
    EXPECT_NE(log.text().find("error vetra_service_manager.backends.launchd.macos: Unknown service enablement state: true"),
              std::string::npos);
}

TEST_F(MacOSStatusTest, FailedEnablementQueryCountsAsDisabledButStillReadsRunning) {
    auto m = manager();
    m.install({agent_program().string()}, Version("1.0"));
    queue("print-disabled", "1 Could not print disabled services");
    LogCapture log;
    EXPECT_EQ(m.status(), triple(InstallationStatus::INSTALLED, EnablementStatus::DISABLED, RunningStatus::RUNNING));
    EXPECT_NE(log.text().find("warning vetra_service_manager.backends.launchd.macos: Failed to check service enablement status"),
              std::string::npos);
    EXPECT_NE(log.text().find("info vetra_service_manager.backends.launchd.macos: Service demo_service status: "
                              "ServiceStatus(installation_status=INSTALLED, enablement_status=DISABLED, "
                              "running_status=RUNNING)"),
              std::string::npos);
}

TEST_F(MacOSStatusTest, OnlyTheFirstStateWordRunningCountsAsRunning) {
    auto m = manager();
    m.install({agent_program().string()}, Version("1.0"));
    struct Case {
        std::string forced;
        RunningStatus expected;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {"running", RunningStatus::RUNNING, "Service is running"},
        {"waiting", RunningStatus::NOT_RUNNING, "Service is not running, state: waiting"},
        // launchctl writes "not running" and "spawn scheduled"; the word before the blank is the state.
        {"not running", RunningStatus::NOT_RUNNING, "Service is not running, state: not"},
        {"spawn scheduled", RunningStatus::NOT_RUNNING, "Service is not running, state: spawn"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.forced);
        force_state(c.forced);
        LogCapture log;
        EXPECT_EQ(m.status().running_status, c.expected);
        EXPECT_NE(log.text().find("debug vetra_service_manager.backends.launchd.macos: " + c.logged + "\n"), std::string::npos)
            << log.text();
    }
}

TEST_F(MacOSStatusTest, AgentUnknownToLaunchdIsNotRunning) {
    write_plist();
    LogCapture log;
    EXPECT_EQ(manager().status().running_status, RunningStatus::NOT_RUNNING);
    EXPECT_NE(log.text().find("debug vetra_service_manager.backends.launchd.macos: Service is not found in launchctl"),
              std::string::npos);
    EXPECT_EQ(calls(), (std::vector<std::string>{"print-disabled gui/" + uid_text(),
                                                 "print gui/" + uid_text() + "/" + LABEL}));
}

TEST_F(MacOSStatusTest, LaunchctlThatCannotStartReachesTheCaller) {
    write_plist();
    ScopedEnv no_launchctl("PATH", (tmp / "empty").string());
    EXPECT_THROW((void)manager().status(), vetra_service_manager::platform::process::StartError);
}

// A property list we cannot even look at is no missing one: every operation that asks whether the
// agent is installed fails as itself, with the system's reason, and asks launchd nothing.
TEST_F(MacOSStatusTest, PropertyListThatCannotBeCheckedFailsEachOperationAsItself) {
    fs::create_directories(plist.parent_path());
    fs::create_symlink(plist.filename(), plist);  // a link to itself: ELOOP
    const std::vector<std::pair<ServiceOperation, std::function<void()>>> cases = {
        {ServiceOperation::GET_STATUS, [&] { (void)manager().status(); }},
        {ServiceOperation::GET_VERSION, [&] { (void)manager().version(); }},
        {ServiceOperation::UNINSTALL, [&] { manager().uninstall(); }},
        {ServiceOperation::INSTALL, [&] { manager().install({"/bin/true"}, Version("1.0")); }},
    };
    for (const auto& [operation, call] : cases) {
        SCOPED_TRACE(to_string(operation));
        try {
            call();
            ADD_FAILURE() << "no error";
        } catch (const ServiceOperationError& error) {
            EXPECT_EQ(error.operation(), operation);
            EXPECT_NE(std::string(error.what()).find("Cannot check the property list " + plist.string() + ": " +
                                                     std::make_error_code(std::errc::too_many_symbolic_link_levels).message()),
                      std::string::npos)
                << error.what();
        }
    }
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(fs::is_symlink(plist));
}

}  // namespace
}  // namespace vsm_test
