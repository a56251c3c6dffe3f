// start, stop, restart and logs on macOS, end to end against the launchctl stand-in, and the lock
// that keeps two state-changing commands from running at once.
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/background.hpp"
#include "e2e/e2e_fixture.hpp"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using vsm_e2e::Background;
using vsm_e2e::World;
using vsm_test::run_cli;

class DarwinOperate : public testing::Test {
protected:
    World world{"Darwin"};
    fs::path launchd = world.root() / "launchd";
    fs::path service_dir = world.home() / "Library/Application Support/norvale/services";

    DarwinOperate() { World::place_runner(world.runner()); }

    void install() {
        auto result = run_cli({"install", "--version", "1.0"});
        ASSERT_EQ(result.exit_code, 0) << result.err;
    }
    std::string agent_pid(const std::string& service) const {
        return vsm_test::read_file(launchd / "pid" / ("com.norvale." + service));
    }
    fs::path log(const std::string& service, const std::string& name) const {
        return service_dir / (service + "_logs") / name;
    }
};

TEST_F(DarwinOperate, EachServiceIsActedOnOnceInItsOrderWithOneLine) {
    install();
    const std::string first_agent = agent_pid("vetra_sync_agent");
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"stop", "vetra_api"}, "  \u2713 vetra_api stopped\n"},
        {{"stop"}, "  - vetra_api already stopped\n  \u2713 vetra_sync_agent stopped\n"},
        {{"start", "vetra_api", "vetra_api"}, "  \u2713 vetra_api started\n"},
        {{"start"}, "  \u2713 vetra_sync_agent started\n  - vetra_api already running\n"},
        {{"restart", "vetra_api", "vetra_sync_agent"}, "  \u2713 vetra_api restarted\n  \u2713 vetra_sync_agent restarted\n"},
    };
    for (const auto& c : cases) {
        auto result = run_cli(c.args);
        EXPECT_EQ(result.exit_code, 0) << testing::PrintToString(c.args);
        EXPECT_EQ(result.out, c.out) << testing::PrintToString(c.args);
        EXPECT_EQ(result.err, "") << testing::PrintToString(c.args);
    }
    EXPECT_THAT(run_cli({"status"}).out, HasSubstr("running=True  version=1.0\n  \u2713  vetra_api\n"
                                                   "        installed=True  enabled=True  running=True"));
    EXPECT_NE(agent_pid("vetra_sync_agent"), first_agent);  // restarted: a new process
}

TEST_F(DarwinOperate, ServiceNotInstalledIsReportedAfterTheOthersAreHandled) {
    install();
    ASSERT_EQ(run_cli({"uninstall", "--keep-cache", "--keep-binary"}).exit_code, 0);
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    fs::remove(world.home() / "Library/LaunchAgents/com.norvale.vetra_sync_agent.plist");
    auto result = run_cli({"stop"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "  \u2713 vetra_api stopped\n  \u2717 vetra_sync_agent is not installed\n");
}

TEST_F(DarwinOperate, LogsWithoutAnyLogFileSaySo) {
    auto result = run_cli({"logs", "vetra_api", "--follow"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "No logs for vetra_api yet.\n");
}

TEST_F(DarwinOperate, LogsRefuseALogThatIsNoRegularFileWithoutWaitingOnIt) {
    fs::create_directories(log("vetra_api", "out.log").parent_path());
    vsm_test::write_file(log("vetra_api", "err.log"), "fine\n");
    ASSERT_EQ(::mkfifo(log("vetra_api", "out.log").c_str(), 0600), 0);
    auto result = run_cli({"logs", "vetra_api"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.err, "error: " + log("vetra_api", "out.log").string() + " is not a regular file\n");
}

TEST_F(DarwinOperate, LogsShowTheLastLinesThenFollowThroughATrim) {
    install();
    ASSERT_EQ(run_cli({"stop"}).exit_code, 0);  // nothing else writes the logs now
    const fs::path out_log = log("vetra_sync_agent", "out.log");
    const fs::path err_log = log("vetra_sync_agent", "err.log");
    std::string lines;
    for (int i = 1; i <= 60; ++i) lines += "line " + std::to_string(i) + "\n";
    vsm_test::write_file(out_log, lines);
    vsm_test::write_file(err_log, "");
    const std::string out_heading = "==> standard output: " + out_log.string() + " <==\n";
    const std::string err_heading = "==> standard error: " + err_log.string() + " <==\n";

    auto last = run_cli({"logs", "-n", "2"});
    EXPECT_EQ(last.exit_code, 0);
    EXPECT_EQ(last.out, out_heading + "line 59\nline 60\n\n" + err_heading);

    Background follow({"logs", "-f", "-n", "1"}, world.root());
    ASSERT_TRUE(vsm_test::eventually([&] { return follow.out().find(err_heading) != std::string::npos; }));
    vsm_test::write_file(err_log, "oops\n");
    ASSERT_TRUE(vsm_test::eventually([&] { return follow.out().ends_with("oops\n"); }));
    vsm_test::write_file(out_log, "line 60\nafter trim\n");  // its tail, as the preflight leaves it
    ASSERT_TRUE(vsm_test::eventually([&] { return follow.out().ends_with("after trim\n"); }));
    follow.signal(SIGINT);
    EXPECT_EQ(follow.wait(), 130);
    EXPECT_EQ(follow.out(), out_heading + "line 60\n\n" + err_heading + "oops\n\n" +
                                out_heading + "after trim\n");
}

TEST_F(DarwinOperate, ASecondCommandWaitsForTheFirstAndNamesIt) {
    install();
    vsm_test::write_file(launchd / "slow/bootstrap", "2\n");
    Background first({"restart", "vetra_api"}, world.root());
    ASSERT_TRUE(vsm_test::eventually([&] { return fs::exists(launchd / "busy/bootstrap"); }));

    auto second = run_cli({"stop", "vetra_api"});
    EXPECT_EQ(first.wait(), 0) << first.err();
    EXPECT_EQ(first.out(), "  \u2713 vetra_api restarted\n");
    EXPECT_EQ(second.exit_code, 0) << second.err;
    EXPECT_EQ(second.err, "Waiting for another vetra_service_manager command (process " + std::to_string(first.pid()) +
                              ") to finish...\n");
    // It stopped the agent the first one had started, not one half started.
    EXPECT_EQ(second.out, "  \u2713 vetra_api stopped\n");
}

// The lock lives where no command deletes it and no other user can write; a command that changes
// nothing creates no service directory, and a link placed at the lock's name is not followed.
TEST_F(DarwinOperate, TheLockLivesInThePerUserRuntimeOrCacheDirectory) {
    fs::remove_all(world.home() / "Applications");
    EXPECT_EQ(run_cli({"start"}).exit_code, 1);
    EXPECT_FALSE(fs::exists(service_dir.parent_path()));
    EXPECT_TRUE(fs::is_regular_file(world.root() / "run/norvale/vetra_service_manager.lock"));

    vsm_test::ScopedEnv no_runtime("XDG_RUNTIME_DIR", std::nullopt);
    const fs::path cached = world.home() / "Library/Caches/norvale/vetra_service_manager.lock";
    fs::create_directories(cached.parent_path());
    fs::create_symlink(world.root() / "victim", cached);
    auto linked = run_cli({"stop"});
    EXPECT_EQ(linked.exit_code, 1);
    EXPECT_THAT(linked.err, HasSubstr("cannot open the lock file " + cached.string()));
    EXPECT_FALSE(fs::exists(world.root() / "victim"));
    fs::remove(cached);
    EXPECT_EQ(run_cli({"stop"}).exit_code, 1);
    EXPECT_TRUE(fs::is_regular_file(cached));
}

// At a real terminal (tmux): the lock's waiting line shows while the other command runs, and
// Ctrl-C ends following the logs with 130.
TEST_F(DarwinOperate, AtATerminalTheWaitShowsAndCtrlCEndsFollowing) {
    install();
    vsm_test::write_file(log("vetra_api", "out.log"), "hello from the agent\n");
    // A server of our own, started from this process: it runs commands in this world's environment.
    const std::string socket = (world.root() / "tmux").string();
    const auto tmux = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"tmux", "-S", socket});
        return vetra_service_manager::platform::process::run_captured(args, std::chrono::seconds(10));
    };
    const auto screen = [&](const char* window) { return tmux({"capture-pane", "-p", "-t", window}).out; };
    const auto shows = [&](const char* window, const std::string& text) {
        return vsm_test::eventually([&] { return screen(window).find(text) != std::string::npos; });
    };
    const std::string program = "'" + vsm_test::testing_binary.string() + "'";
    ASSERT_EQ(tmux({"new-session", "-d", "-x", "150", "-y", "20", "-n", "logs",
                    program + " logs vetra_api -f; echo exit=$?; sleep 60"}).exit_code, 0);
    ASSERT_TRUE(shows("logs", "hello from the agent")) << screen("logs");
    tmux({"send-keys", "-t", "logs", "C-c"});
    EXPECT_TRUE(shows("logs", "exit=130")) << screen("logs");

    vsm_test::write_file(launchd / "slow/bootstrap", "3\n");
    Background first({"restart", "vetra_api"}, world.root());
    ASSERT_TRUE(vsm_test::eventually([&] { return fs::exists(launchd / "busy/bootstrap"); }));
    tmux({"new-window", "-d", "-n", "wait", program + " stop vetra_api; echo exit=$?; sleep 60"});
    EXPECT_TRUE(shows("wait", "Waiting for another vetra_service_manager command (process " +
                                  std::to_string(first.pid()) + ") to finish..."))
        << screen("wait");
    EXPECT_EQ(first.wait(), 0) << first.err();
    EXPECT_TRUE(shows("wait", "exit=0")) << screen("wait");
    tmux({"kill-server"});
}

}  // namespace
