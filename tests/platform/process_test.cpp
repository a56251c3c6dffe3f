// The child-process layer against real programs: capture, time limits, start failures, descriptor
// hygiene and detached starts.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using vetra_service_manager::platform::process::run_captured;
using vetra_service_manager::platform::process::run_inherited;
using vetra_service_manager::platform::process::start_detached;
using vetra_service_manager::platform::process::StartError;
using vetra_service_manager::platform::process::terminate_running_children;

// True when this process has no child left, neither running nor unreaped.
bool no_children_left() {
    errno = 0;
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

TEST(ProcessCaptured, SeparatesStreamsAndReportsExitStatus) {
    auto result = run_captured({"/bin/sh", "-c", "printf 'out\\n'; printf 'err' >&2; exit 3"});
    EXPECT_EQ(result.out, "out\n");
    EXPECT_EQ(result.err, "err");
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_FALSE(result.timed_out);
    EXPECT_TRUE(no_children_left());
}

TEST(ProcessCaptured, ArgumentsArriveUnchangedWithoutAShell) {
    const std::string tricky = "a b 'c' \"d\" $HOME `id` ; | > \n \xc3\xa9";
    auto result = run_captured({"printf", "%s", tricky});
    EXPECT_EQ(result.out, tricky);
}

TEST(ProcessCaptured, SignalDeathIsANegativeStatus) {
    auto result = run_captured({"/bin/sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(result.exit_code, -SIGTERM);
}

TEST(ProcessCaptured, MegabytesOnBothPipesDoNotDeadlock) {
    auto result = run_captured(
        {"/bin/sh", "-c", "head -c 4000000 /dev/zero; head -c 3000000 /dev/zero >&2; head -c 1000000 /dev/zero"},
        20s);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.out.size(), 5000000u);
    EXPECT_EQ(result.err.size(), 3000000u);
}

TEST(ProcessCaptured, TimeLimitKillsAndReapsTheChildAndItsChildren) {
    vsm_test::TempDir dir;
    const auto marker = dir / "survivor";
    const auto start = std::chrono::steady_clock::now();
    // The grandchild holds the pipes open; it must not keep us waiting, nor outlive the limit.
    auto result = run_captured({"/bin/sh", "-c", "(sleep 2; touch '" + marker.string() + "') & echo started; sleep 5"}, 1s);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(result.timed_out);
    EXPECT_EQ(result.exit_code, -SIGTERM);
    EXPECT_EQ(result.out, "started\n");
    EXPECT_GE(elapsed, 1s);
    EXPECT_LT(elapsed, 4s);
    EXPECT_TRUE(no_children_left());
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(ProcessCaptured, StandardInputIsTheNullDevice) {
    auto result = run_captured({"/bin/sh", "-c", "cat; echo done"}, 5s);
    EXPECT_EQ(result.out, "done\n");
}

TEST(ProcessStartErrors, MissingProgramIsAStartErrorNamingIt) {
    try {
        run_captured({"vsm-no-such-program-anywhere"});
        FAIL() << "expected StartError";
    } catch (const StartError& error) {
        EXPECT_TRUE(error.not_found());
        EXPECT_THAT(error.what(), HasSubstr("vsm-no-such-program-anywhere"));
        EXPECT_THAT(error.what(), HasSubstr("No such file or directory"));
    }
    EXPECT_THROW(run_inherited({"/nonexistent/dir/prog"}), StartError);
    EXPECT_TRUE(no_children_left());
}

TEST(ProcessStartErrors, NonExecutableFileIsAStartErrorButNotNotFound) {
    vsm_test::TempDir dir;
    vsm_test::write_file(dir / "plain", "#!/bin/sh\necho hi\n");
    try {
        run_captured({(dir / "plain").string()});
        FAIL() << "expected StartError";
    } catch (const StartError& error) {
        EXPECT_FALSE(error.not_found());
        EXPECT_THAT(error.what(), HasSubstr("Permission denied"));
    }
}

TEST(ProcessStartErrors, EmptyArgumentVectorIsRejected) {
    EXPECT_THROW(run_captured({}), StartError);
    EXPECT_THROW(start_detached({}, "/"), StartError);
}

TEST(ProcessHygiene, ChildInheritsNoDescriptorBeyondTheStandardThree) {
    // A descriptor opened without close-on-exec, as a careless library might.
    const int stray = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 3);
    const std::string probe = "test -e /proc/$$/fd/" + std::to_string(stray) + " && echo leaked || echo clean";
    auto captured = run_captured({"/bin/sh", "-c", probe});
    vsm_test::TempDir dir;
    const auto listing = dir / "fds";
    auto inherited = run_inherited({"/bin/sh", "-c", probe + " > '" + listing.string() + "'"});
    ::close(stray);
    EXPECT_EQ(captured.out, "clean\n");
    EXPECT_EQ(inherited.exit_code, 0);
    EXPECT_EQ(vsm_test::read_file(listing), "clean\n");
}

TEST(ProcessInherited, ReportsExitStatusAndEnforcesTheLimit) {
    EXPECT_EQ(run_inherited({"/bin/sh", "-c", "exit 7"}).exit_code, 7);
    const auto start = std::chrono::steady_clock::now();
    auto result = run_inherited({"sleep", "5"}, 1s);
    EXPECT_TRUE(result.timed_out);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_TRUE(no_children_left());
}

// Every child we wait for, however started, and what the caller sees of it.
const std::vector<std::pair<const char*, std::function<int(const std::vector<std::string>&)>>> RUNS = {
    {"captured", [](const auto& argv) { return run_captured(argv).exit_code; }},
    {"inherited", [](const auto& argv) { return run_inherited(argv).exit_code; }},
};

TEST(ProcessInherited, ChildHasOurStandardStreamsEvenWhenTheyAreCloseOnExec) {
    vsm_test::TempDir dir;
    vsm_test::write_file(dir / "in", "typed\n");
    const int in = ::open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int err = ::open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    // What a spawn that closes every descriptor it is not told to keep does to them.
    int saved[3];
    for (int fd : {0, 1, 2}) saved[fd] = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::dup3(in, 0, O_CLOEXEC);
    ::dup3(out, 1, O_CLOEXEC);
    ::dup3(err, 2, O_CLOEXEC);
    auto result = run_inherited({"/bin/sh", "-c", "cat; echo out; echo err >&2"}, 5s);
    for (int fd : {0, 1, 2}) {
        ::dup2(saved[fd], fd);
        ::close(saved[fd]);
    }
    for (int fd : {in, out, err}) ::close(fd);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(vsm_test::read_file(dir / "out"), "typed\nout\n");
    EXPECT_EQ(vsm_test::read_file(dir / "err"), "err\n");
}

TEST(ProcessInherited, TimeLimitEndsEverythingTheChildStarted) {
    vsm_test::TempDir dir;
    const auto pid_file = dir / "pid";
    // A grandchild that shrugs off SIGTERM: only the SIGKILL after the grace period ends it.
    auto result = run_inherited(
        {"/bin/sh", "-c", "(trap '' TERM; exec sleep 30) & echo $! > '" + pid_file.string() + "'; wait"}, 1s);
    EXPECT_TRUE(result.timed_out);
    EXPECT_EQ(result.exit_code, -SIGTERM);
    EXPECT_TRUE(no_children_left());
    const pid_t grandchild = std::stoi(vsm_test::read_file(pid_file));
    EXPECT_TRUE(vsm_test::eventually([&] { return ::kill(grandchild, 0) != 0; }, 5)) << "grandchild still running";
}

TEST(ProcessTermination, EndsEveryChildWeWaitForAndTheCallReturnsItsStatus) {
    vsm_test::TempDir dir;
    const std::filesystem::path ready = dir / "ready";
    // Each child marks when it is set up (the trap in place), so that the interrupt comes after.
    const std::string mark = ": >'" + ready.string() + "'; ";
    const struct {
        std::vector<std::string> argv;
        int status;
    } cases[] = {
        {{"/bin/sh", "-c", mark + "exec sleep 30"}, -SIGTERM},
        {{"/bin/sh", "-c", "trap '' TERM; " + mark + "sleep 30"}, -SIGKILL},  // after the grace period
    };
    for (const auto& [name, run] : RUNS) {
        for (const auto& c : cases) {
            SCOPED_TRACE(name + (" " + c.argv.back()));
            std::filesystem::remove(ready);
            std::thread interrupt([&] {
                vsm_test::eventually([&] { return std::filesystem::exists(ready); }, 30);
                terminate_running_children();
            });
            const auto start = std::chrono::steady_clock::now();
            const int status = run(c.argv);
            interrupt.join();
            EXPECT_EQ(status, c.status);
            EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
            EXPECT_TRUE(no_children_left());
        }
    }
}

TEST(ProcessHygiene, ChildStartsWithNoSignalBlockedOrIgnored) {
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&blocked, number);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    auto old_pipe = std::signal(SIGPIPE, SIG_IGN);
    auto old_int = std::signal(SIGINT, SIG_IGN);
    auto result = run_captured({"/bin/sh", "-c", "exec grep -E '^Sig(Blk|Ign)' /proc/self/status"});
    std::signal(SIGINT, old_int);
    std::signal(SIGPIPE, old_pipe);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    const auto lines = vsm_test::split_lines(result.out);
    ASSERT_EQ(lines.size(), 2u) << result.out;
    // The C library keeps its own real-time signals (32 and up) as it likes; 1 to 31 are ours.
    for (const auto& line : lines) EXPECT_EQ(std::stoull(line.substr(7), nullptr, 16) & 0x7fffffffu, 0u) << line;
}

TEST(ProcessHygiene, FailedWaitIsReportedAsSuch) {
    // With SIGCHLD ignored the system reaps our children itself: there is no status to collect.
    auto old = std::signal(SIGCHLD, SIG_IGN);
    for (const auto& [name, run] : RUNS) {
        SCOPED_TRACE(name);
        try {
            run({"true"});
            ADD_FAILURE() << "expected a wait error";
        } catch (const std::system_error& error) {
            EXPECT_EQ(std::string(error.what()), "Cannot wait for true: No child processes");
        }
    }
    std::signal(SIGCHLD, old);
}

TEST(ProcessDetached, RelativeProgramPathIsFromOurDirectoryNotItsOwn) {
    vsm_test::TempDir dir;
    std::filesystem::create_directories(dir / "elsewhere");
    vsm_test::write_script(dir / "tool", "#!/bin/sh\ntouch \"$1\"\n");
    vsm_test::ScopedCwd cwd(dir.path());
    start_detached({"./tool", (dir / "ran").string()}, dir / "elsewhere");
    EXPECT_TRUE(vsm_test::eventually([&] { return std::filesystem::exists(dir / "ran"); }, 10));
}

TEST(ProcessDetached, RunsInItsDirectoryWithNullStreamsAndIsNotOurChild) {
    vsm_test::TempDir dir;
    const auto work = dir / "work dir";
    std::filesystem::create_directories(work);
    start_detached({"/bin/sh", "-c",
                    "sleep 0.2; in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1); err=$(readlink /proc/$$/fd/2); "
                    "{ pwd; echo \"$PPID\"; echo \"$in\"; echo \"$out\"; echo \"$err\"; } > record.tmp && "
                    "mv record.tmp record"},
                   work);
    // Not our child: nothing to reap, even before it ends.
    EXPECT_TRUE(no_children_left());
    const auto record = work / "record";
    for (int i = 0; i < 100 && !std::filesystem::exists(record); ++i) std::this_thread::sleep_for(50ms);
    auto lines = vsm_test::split_lines(vsm_test::read_file(record));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], work.string());
    EXPECT_NE(lines[1], std::to_string(::getpid()));
    EXPECT_EQ(lines[2], "/dev/null");
    EXPECT_EQ(lines[3], "/dev/null");
    EXPECT_EQ(lines[4], "/dev/null");
}

TEST(ProcessDetached, MissingWorkingDirectoryOrProgramIsAStartError) {
    vsm_test::TempDir dir;
    try {
        start_detached({"/bin/true"}, dir / "missing");
        FAIL() << "expected StartError";
    } catch (const StartError& error) {
        EXPECT_TRUE(error.not_found());
        EXPECT_THAT(error.what(), HasSubstr("missing"));
    }
    EXPECT_THROW(start_detached({"vsm-no-such-program-anywhere"}, dir.path()), StartError);
    EXPECT_TRUE(no_children_left());
}

}  // namespace
