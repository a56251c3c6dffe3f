// `uninstall` end to end: the order of its steps, each option, the client library, and the
// deferred teardown on Windows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "e2e/e2e_fixture.hpp"

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using vsm_e2e::World;
using vsm_test::run_cli;
using vsm_test::ScopedEnv;

const std::string kHeader =
    "Uninstalling Vetra services...\n"
    "\n"
    "Removing services...\n"
    "  - vetra_api not installed\n"
    "  - vetra_sync_agent not installed\n";

TEST(UninstallCommand, DefaultsRemoveEnvironmentRunnerAndServiceDirectory) {
    World world("Linux");
    World::place_runner(world.runner());
    const fs::path service_dir = world.runner().parent_path();
    vsm_test::write_file(service_dir / "leftover" / "file", "x");
    auto result = run_cli({"uninstall"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, kHeader +
                              "\nKeeping user data (pass --remove-data to wipe).\n"
                              "\nRemoving pyapp env / runner binary...\n"
                              "  \u2713 done\n"
                              "\nUninstall complete.\n");
    EXPECT_FALSE(fs::exists(service_dir));
}

// What the user cannot delete either (run as an unprivileged user: root deletes anything) stays
// and is named, and the command says it is incomplete.
TEST(UninstallCommand, WhatCannotBeRemovedIsNamedAndMakesItIncomplete) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root to act as another user";
    for (const char* platform : {"Linux", "Darwin"}) {
        SCOPED_TRACE(platform);
        World world(platform);
        World::place_runner(world.runner());
        const fs::path macos = world.runner().parent_path(), contents = macos.parent_path();
        if (platform == std::string("Darwin")) World::set_bundle_version(contents.parent_path(), "1.0");
        // In the service directory on Linux, in the bundle on macOS.
        const fs::path stuck = (platform == std::string("Darwin") ? contents : macos) / "sub/stuck";
        vsm_test::write_file(stuck / "file", "x");
        fs::permissions(stuck, fs::perms(0555));
        vsm_e2e::give(world.root(), 2001);
        auto result = vsm_e2e::run_cli_as(2001, {"uninstall"});
        EXPECT_EQ(result.exit_code, 1) << result.err;
        EXPECT_THAT(result.out, testing::EndsWith("\nRemoving pyapp env / runner binary...\n"
                                                  "  \u2717 could not remove " + (stuck / "file").string() +
                                                  ": Permission denied\n"
                                                  "\nUninstall INCOMPLETE: some of the runner's files could not be "
                                                  "removed (see above).\n"));
        EXPECT_TRUE(fs::exists(stuck / "file"));
    }
}

TEST(UninstallCommand, KeepOptionsChooseWhatTheTeardownDoes) {
    struct Case {
        std::vector<std::string> options;
        bool self_remove, runner_kept, teardown_line;
    };
    const Case cases[] = {
        {{"--keep-cache"}, false, false, true},
        {{"--keep-binary"}, true, true, true},
        {{"--keep-cache", "--keep-binary"}, false, true, false},
    };
    for (const auto& c : cases) {
        World world("Linux");
        World::place_runner(world.runner());
        // The stand-in records its calls beside itself: keep the record outside what gets deleted.
        fs::path record = world.root() / "calls";
        fs::create_symlink(record, world.runner().string() + ".calls");
        std::vector<std::string> args = {"uninstall"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        auto result = run_cli(args);
        const std::string label = testing::PrintToString(c.options);
        EXPECT_EQ(result.exit_code, 0) << label << result.err;
        EXPECT_EQ(fs::exists(record), c.self_remove) << label;
        EXPECT_EQ(fs::exists(world.runner()), c.runner_kept) << label;
        EXPECT_EQ(result.out.find("Removing pyapp env / runner binary...") != std::string::npos, c.teardown_line)
            << label;
    }
}

TEST(UninstallCommand, RemoveDataWithoutTheClientLibraryIsIncomplete) {
    World world("Linux");
    World::place_runner(world.runner());
    ScopedEnv no_library("VSM_TEST_CLIENT_LIBRARY", (world.root() / "no-such-library.so").string());
    auto result = run_cli({"uninstall", "--remove-data"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, kHeader +
                              "\nERROR: vetra_client not available \u2014 cannot resolve the shared data dir.\n"
                              "--remove-data was requested but NO user data was removed.\n"
                              "  (the client library was looked for at " + (world.root() / "no-such-library.so").string() + ")\n"
                              "\nRemoving pyapp env / runner binary...\n"
                              "  \u2713 done\n"
                              "\nUninstall INCOMPLETE: user data could not be removed (see above).\n");
    EXPECT_FALSE(fs::exists(world.runner())) << "the runner is torn down all the same";
}

TEST(UninstallCommand, RemoveDataAsksTheClientLibraryWhereTheDataLives) {
    World world("Linux");
    ScopedEnv xdg("XDG_DATA_HOME", (world.root() / "data").string());
    const fs::path data_dir = world.root() / "data/norvale/vetra";
    vsm_test::write_file(data_dir / "db" / "state.sqlite", "x");

    auto removed = run_cli({"uninstall", "--remove-data", "--keep-cache", "--keep-binary"});
    EXPECT_EQ(removed.exit_code, 0) << removed.err;
    EXPECT_EQ(removed.out, kHeader + "\nRemoving user data: " + data_dir.string() + "\n\nUninstall complete.\n");
    EXPECT_FALSE(fs::exists(data_dir));

    auto absent = run_cli({"uninstall", "--remove-data", "--keep-cache", "--keep-binary"});
    EXPECT_EQ(absent.out, kHeader + "\nUser data dir not present: " + data_dir.string() + "\n\nUninstall complete.\n");
}

TEST(UninstallCommand, WindowsSchedulesAHiddenHelperInTheTempDirectory) {
    World world("Windows");
    World::place_runner(world.runner());
    const fs::path record = world.root() / "powershell-record";
    vsm_test::write_script(world.root() / "bin/powershell.exe",
                           "#!/bin/bash\n{ pwd; printf '%s\\n' \"$@\"; } > '" + record.string() + ".tmp'\n"
                           "mv '" + record.string() + ".tmp' '" + record.string() + "'\n");
    ScopedEnv path("PATH", (world.root() / "bin").string() + ":" + std::getenv("PATH"));
    auto result = run_cli({"uninstall", "--keep-cache"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_THAT(result.out, testing::EndsWith("\nRemoving pyapp env / runner binary...\n"
                                              "  \u2713 scheduled (completes once this process exits)\n"
                                              "\nUninstall complete.\n"));
    for (int i = 0; i < 200 && !fs::exists(record); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    auto lines = vsm_test::split_lines(vsm_test::read_file(record));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], (world.root() / "tmp").string());
    EXPECT_THAT(std::vector(lines.begin() + 1, lines.begin() + 4), ElementsAre("-NoProfile", "-NonInteractive", "-Command"));
    EXPECT_THAT(lines[4], testing::HasSubstr(";$exe='" + world.runner().string() + "';"));
    EXPECT_TRUE(fs::exists(world.runner())) << "nothing is removed in process on Windows";
}

}  // namespace
