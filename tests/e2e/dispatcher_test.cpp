// The command line as a whole: usage errors, help, and how raised errors reach the user.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

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
    EXPECT_THAT(run_cli({"logs", "-n", "-1"}).err, HasSubstr("0 to 100000"));
    // An option before any subcommand that names none is unknown, not a missing subcommand.
    const auto unknown_option = run_cli({"--bogus"}).err;
    EXPECT_THAT(unknown_option, StartsWith("error: unknown option '--bogus'; the options before a subcommand are: "));
    EXPECT_THAT(unknown_option, HasSubstr("--log-level"));
    EXPECT_EQ(vsm_test::split_lines(unknown_option).size(), 1u) << unknown_option;
}

// The subcommands the parser lists in its help: under "Subcommands:", "  <name>  <what it does>" each.
std::vector<std::string> listed_subcommands(const std::string& help) {
    const auto lines = vsm_test::split_lines(help);
    std::vector<std::string> names;
    auto line = std::find(lines.begin(), lines.end(), "Subcommands:");
    if (line == lines.end()) return names;
    for (++line; line != lines.end() && line->starts_with("  "); ++line) {
        // A description too long for its line goes on under itself, indented further.
        if ((*line)[2] != ' ') names.push_back(line->substr(2, line->find(' ', 2) - 2));
    }
    return names;
}

TEST(Dispatcher, HelpNamesEverySubcommandAndEachHasItsOwn) {
    const auto top = run_cli({"--help"});
    EXPECT_EQ(top.exit_code, 0);
    EXPECT_EQ(top.err, "");
    EXPECT_THAT(top.out, HasSubstr("--log-level"));
    const auto names = listed_subcommands(top.out);
    ASSERT_FALSE(names.empty()) << top.out;

    // An unknown subcommand is answered with the same list, with or without an option before it.
    std::string list;
    for (const auto& name : names) list += (list.empty() ? "" : ", ") + name;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"frobnicate"}, {"--log-level", "info", "frobnicate"}}) {
        EXPECT_EQ(run_cli(args).err, "error: unknown subcommand 'frobnicate'; the subcommands are: " + list + "\n");
    }
    for (const auto& name : names) {
        const auto own = run_cli({name, "--help"});
        EXPECT_EQ(own.exit_code, 0) << name;
        EXPECT_THAT(own.out, HasSubstr("Usage: vetra_service_manager " + name + " ")) << name;
        EXPECT_EQ(own.err, "") << name;
    }
    // install's default version is the manager's own.
    const auto version = vsm_test::split_lines(run_cli({"--version"}).out);
    ASSERT_EQ(version.size(), 1u);
    EXPECT_THAT(run_cli({"install", "--help"}).out, HasSubstr("(default: " + version.front() + ")"));
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
