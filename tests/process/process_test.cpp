// The child-process layer against real programs: capture, time limits, start failures, descriptor
// hygiene and detached starts.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
    EXPECT_EQ(result.exit_code, -SIGKILL);
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
