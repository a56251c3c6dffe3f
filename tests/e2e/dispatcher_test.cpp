// The command line as a whole: usage errors, help, and how raised errors reach the user.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/cli.hpp"

namespace {

using testing::HasSubstr;
using testing::StartsWith;
using vsm_test::run_cli;
using vsm_test::ScopedEnv;

TEST(Dispatcher, UsageErrorsExitTwoWithTheParsersMessageOnStandardError) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"--bogus"},
        {"status", "--bogus"},
        {"--log-level", "loud", "status"},
        {"status", "uninstall"},
        {"install", "--version"},
        {"start", "vetra_api", "vetra_nope"},
        {"logs", "-n", "-1"},
        {"logs", "-n", "100001"},
        {"logs", "vetra_api", "vetra_sync_agent"},
    };
    for (const auto& args : cases) {
        auto result = run_cli(args);
        EXPECT_EQ(result.exit_code, 2) << testing::PrintToString(args);
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(result.err.empty());
    }
    EXPECT_THAT(run_cli({"stop", "vetra_nope"}).err, HasSubstr("{vetra_sync_agent,vetra_api}"));
    EXPECT_EQ(run_cli({"--log-level", "info", "frobnicate"}).err,
              "error: unknown subcommand 'frobnicate'; the subcommands are: "
              "install, status, uninstall, start, stop, restart, logs\n");
    EXPECT_THAT(run_cli({"logs", "-n", "-1"}).err, HasSubstr("0 to 100000"));
    // An option before any subcommand that names none is unknown, not a missing subcommand.
    const auto unknown_option = run_cli({"--bogus"}).err;
    EXPECT_THAT(unknown_option, StartsWith("error: unknown option '--bogus'; the options before a subcommand are: "));
    EXPECT_THAT(unknown_option, HasSubstr("--log-level"));
    EXPECT_EQ(vsm_test::split_lines(unknown_option).size(), 1u) << unknown_option;
}

TEST(Dispatcher, HelpAtEachLevel) {
    auto top = run_cli({"--help"});
    EXPECT_EQ(top.exit_code, 0);
    EXPECT_THAT(top.out, HasSubstr("report runner + services + permissions state."));
    EXPECT_THAT(top.out, HasSubstr("--log-level"));
    auto install = run_cli({"install", "--help"});
    EXPECT_EQ(install.exit_code, 0);
    EXPECT_THAT(install.out, HasSubstr("Version string written to the LaunchAgent plist (default: "));
    EXPECT_THAT(install.out, HasSubstr("--previous-binary"));
    auto uninstall = run_cli({"uninstall", "--help"});
    EXPECT_THAT(uninstall.out, HasSubstr("Also remove the App Group container (DESTRUCTIVE \u2014 irreversible)"));
    EXPECT_THAT(run_cli({"status", "--help"}).out, HasSubstr("Output a JSON document instead of human-readable text"));
    EXPECT_THAT(top.out, HasSubstr("stop, then start installed services"));
    EXPECT_THAT(run_cli({"logs", "--help"}).out, HasSubstr("-f,--follow"));
}

TEST(Dispatcher, CommandErrorsAreOneLineOnStandardErrorAndExitOne) {
    vsm_test::TempDir home;
    ScopedEnv home_env("HOME", home.path().string());
    ScopedEnv platform("VSM_TEST_PLATFORM", "FreeBSD");
    auto result = run_cli({"status", "--json"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "error: Unsupported platform: FreeBSD\n");
}

TEST(Dispatcher, ProductIgnoresTheTestSeam) {
    ScopedEnv platform("VSM_TEST_PLATFORM", "FreeBSD");
    auto result = vetra_service_manager::platform::process::run_captured({vsm_test::product_binary.string(), "status"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_THAT(result.out, StartsWith("Runner:   "));
}

}  // namespace
