#include <functional>

#include <gtest/gtest.h>

#include "cli/fake_programs.hpp"
#include "support/test_support.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace ops = vetra_service_manager::cli::_runnerops;
using namespace runnerops_test;
using vsm_test::LogCapture;
using vsm_test::TempDir;

namespace {

// "'<runner> <command>' failed: <why>" as logged.
std::string failed(const fs::path& runner, const std::string& command, const std::string& why) {
    std::string message = "'";
    message.append(runner.string()).append(" ").append(command).append("' failed: ").append(why);
    return warning(message);
}

using SelfCommands = RunnerScriptTest;

TEST_F(SelfCommands, PipInstallHandsTheSpecifierOverAsOneUnchangedArgument) {
    const std::string spec = "vetra-sync-agent-foo[extra] >=1.0, <2; $(touch pwned) `id` 'q' \"dq\" | & *\n";
    const auto runner = runner_with("exit 0");
    LogCapture logs;
    EXPECT_TRUE(ops::runner_self_pip_install(runner, spec));
    EXPECT_EQ(recorded_args(record), (std::vector<std::string>{"self", "pip", "install", spec}));
    EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
    EXPECT_EQ(logs.text(), "");
}

TEST_F(SelfCommands, FailuresGiveFalseAndOneWarning) {
    const auto runner = runner_with("exit 1");
    LogCapture logs;
    EXPECT_FALSE(ops::runner_self_remove(runner));
    EXPECT_FALSE(ops::runner_self_pip_install(runner, "pkg==1.0"));
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{
                                failed(runner, "self remove", "exit status 1"),
                                failed(runner, "self pip install pkg==1.0", "exit status 1"),
                            }));
}

TEST_F(SelfCommands, CommandPastTheLimitIsKilled) {
    const auto runner = runner_with("exec sleep 60");
    LogCapture logs;
    EXPECT_FALSE(ops::runner_self_pip_install(runner, "pkg", 1));
    EXPECT_FALSE(ops::runner_self_remove(runner, 1));
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{
                                failed(runner, "self pip install pkg", "timed out after 1s"),
                                failed(runner, "self remove", "timed out after 1s"),
                            }));
}

// `--previous-binary myrunner` names the file here; another program of that name on PATH must not run.
TEST_F(SelfCommands, RunnerNamedWithoutADirectoryIsTheOneHereNotOneOnThePath) {
    runner_with("echo '[]'");
    write_recording_script(dir / "bin" / "vetra_service_runner", dir / "impostor", "echo '[]'");
    vsm_test::ScopedEnv path("PATH", (dir / "bin").string() + ":/usr/bin:/bin");
    vsm_test::ScopedCwd cwd(dir.path());
    const fs::path bare = "vetra_service_runner";
    const std::function<void()> calls[] = {
        [&] { ops::pip_list_via_runner(bare); },
        [&] { ops::runner_self_remove(bare); },
        [&] { ops::runner_self_pip_install(bare, "pkg"); },
    };
    for (const auto& call : calls) {
        fs::remove(record);
        call();
        EXPECT_TRUE(fs::exists(record));
    }
    EXPECT_FALSE(fs::exists(dir / "impostor"));
}

TEST_F(SelfCommands, EveryCommandRunsInTheRunnersOwnDirectory) {
    const fs::path seen = dir / "working-directories";
    const auto runner = runner_with("pwd >>'" + seen.string() + "'; echo '[]'");
    fs::create_directories(dir / "elsewhere");
    vsm_test::ScopedCwd cwd(dir / "elsewhere");
    ops::pip_list_via_runner(runner);
    ops::runner_self_remove(runner);
    ops::runner_self_pip_install(runner, "pkg");
    EXPECT_EQ(vsm_test::split_lines(vsm_test::read_file(seen)), std::vector<std::string>(3, dir.path().string()));
}

TEST_F(SelfCommands, RunnerThatCannotStartReachesTheCaller) {
    EXPECT_THROW(ops::runner_self_remove(dir / "missing"), vetra_service_manager::platform::process::StartError);
    vsm_test::write_file(dir / "not-executable", "#!/bin/bash\nexit 0\n");
    EXPECT_THROW(ops::runner_self_pip_install(dir / "not-executable", "pkg"),
                 vetra_service_manager::platform::process::StartError);
}

}  // namespace
