// The three commands on macOS, end to end: the testing executable against the launchctl stand-in,
// runner stand-ins in real bundles, and a temporary home.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "e2e/e2e_fixture.hpp"

namespace {

namespace fs = std::filesystem;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using vsm_e2e::World;
using vsm_test::run_cli;
using vsm_test::ScopedCwd;
using vsm_test::ScopedEnv;

class DarwinCommands : public testing::Test {
protected:
    World world{"Darwin"};
    fs::path runner = world.runner();
    fs::path bundle = runner.parent_path().parent_path().parent_path();
    fs::path agents = world.home() / "Library/LaunchAgents";

    DarwinCommands() { World::place_runner(runner); }

    std::string header(const std::string& version) const {
        return "Installing Vetra services...\n"
               "  runner:  " + runner.string() + "\n"
               "  version: " + version + "\n";
    }
    static std::string registered() {
        return "\nRegistering services...\n"
               "  \u2713 vetra_sync_agent (installed, enabled, started)\n"
               "  \u2713 vetra_api (installed, enabled, started)\n"
               "\nInstall complete.\n";
    }
    // A previous runner inside `bundle_dir`, listing these packages.
    static fs::path previous_runner(const fs::path& bundle_dir, const std::string& pip_list) {
        const fs::path previous = bundle_dir / "Contents/MacOS/vetra_service_runner";
        World::place_runner(previous);
        vsm_test::write_file(previous.string() + ".pip-list.json", pip_list);
        return previous;
    }
};

TEST_F(DarwinCommands, InstallRegistersBothAgentsAndStatusReportsThem) {
    auto first = run_cli({"install", "--version", "v1.2"});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.out, header("1.2") + registered());
    EXPECT_TRUE(fs::exists(agents / "com.norvale.vetra_sync_agent.plist"));
    EXPECT_TRUE(fs::exists(agents / "com.norvale.vetra_api.plist"));
    // The bash preflight started the runner, blanks in its path and all.
    EXPECT_TRUE(vsm_test::eventually([&] {
        auto calls = World::runner_calls(runner);
        return std::count(calls.begin(), calls.end(), "run vetra_sync_agent") == 1 &&
               std::count(calls.begin(), calls.end(), "run vetra_api") == 1;
    }));

    // One reading of the disabled list serves both agents: three launchctl runs in all.
    fs::remove(world.root() / "launchd/calls");
    auto status = run_cli({"status"});
    EXPECT_EQ(status.exit_code, 0);
    EXPECT_EQ(vsm_test::split_lines(vsm_test::read_file(world.root() / "launchd/calls")).size(), 3u);
    EXPECT_THAT(status.out, HasSubstr("Runner:   " + runner.string() + "  (present)\n"));
    EXPECT_THAT(status.out, HasSubstr("  \u2713  vetra_sync_agent\n"
                                      "        installed=True  enabled=True  running=True  version=1.2\n"
                                      "  \u2713  vetra_api\n"
                                      "        installed=True  enabled=True  running=True  version=1.2\n"));

    // Installing again leaves the registered agents as they are, and says which version stays.
    auto again = run_cli({"install", "--version", "2.0"});
    EXPECT_THAT(again.out, HasSubstr("  \u2713 vetra_api (installed, enabled, started)\n"
                                     "    ! vetra_api stays at version 1.2: install keeps an installed service as it is"));
    EXPECT_THAT(run_cli({"status", "--json"}).out, HasSubstr("\"version\": \"1.2\""));
}

TEST_F(DarwinCommands, StatusShowsStoppedAndDisabledAgents) {
    ASSERT_EQ(run_cli({"install", "--version", "3.0"}).exit_code, 0);
    vsm_test::write_file(world.root() / "launchd/state/com.norvale.vetra_api", "not running\n");
    vsm_test::write_file(world.root() / "launchd/marks/com.norvale.vetra_sync_agent", "disabled\n");
    auto result = run_cli({"status", "--json"});
    EXPECT_THAT(result.out, HasSubstr("    \"vetra_sync_agent\": {\n"
                                      "      \"installed\": true,\n"
                                      "      \"enabled\": false,\n"
                                      "      \"running\": true,\n"
                                      "      \"version\": \"3.0\"\n"
                                      "    },\n"
                                      "    \"vetra_api\": {\n"
                                      "      \"installed\": true,\n"
                                      "      \"enabled\": true,\n"
                                      "      \"running\": false,\n"
                                      "      \"version\": \"3.0\"\n"
                                      "    }\n"));
    auto text = run_cli({"status"});
    EXPECT_THAT(text.out, HasSubstr("  \u2717  vetra_api\n        installed=True  enabled=True  running=False"));
}

TEST_F(DarwinCommands, InvalidVersionFailsBeforeAnyOutput) {
    auto result = run_cli({"install", "--version", "1.2.3-garbage!\xC2\x9B" "31m"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "error: Invalid version: '1.2.3-garbage!\\u009b31m'\n");
    EXPECT_FALSE(fs::exists(agents));
    EXPECT_FALSE(fs::exists(world.root() / "run")) << "not even the lock";
}

TEST_F(DarwinCommands, PreviousBinaryThatIsMissingOrTheCurrentRunnerIsNotMigrated) {
    const fs::path missing = world.root() / "nowhere/vetra_service_runner";
    auto result = run_cli({"install", "--version", "1.0", "--previous-binary", missing.string()});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, header("1.0") + "\n--previous-binary not found at " + missing.string() +
                              "; skipping migration.\n" + registered());

    const fs::path link = world.root() / "link-to-runner";
    fs::create_symlink(runner, link);
    auto same = run_cli({"install", "--version", "1.0", "--previous-binary", link.string(), "--force"});
    EXPECT_EQ(same.out, header("1.0") + "\n--previous-binary " + link.string() +
                            " is the current runner itself; skipping migration.\n" + registered());
    EXPECT_THAT(World::runner_calls(runner), testing::Not(Contains("self remove")));
}

// However it is spelt, a previous binary that is the current runner, or whose bundle holds it, is
// neither migrated from nor removed; the services are registered all the same.
TEST_F(DarwinCommands, PreviousBinaryLeadingToTheCurrentRunnerIsNeverRemoved) {
    World::set_bundle_version(bundle, "4.2.0");
    const fs::path macos = runner.parent_path();
    World::place_runner(bundle / "Contents/Resources/vetra_service_runner");
    const std::string itself = " is the current runner itself; skipping migration.\n";
    const std::string holds = ", which holds the current runner; skipping migration.\n";
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {macos / "../MacOS/vetra_service_runner", itself},
        {bundle / "Contents/Resources/vetra_service_runner", " leads to " + bundle.string() + holds},
        {macos / "..", " leads to " + (bundle / "Contents").string() + holds},
    };
    for (const auto& [previous, line] : cases) {
        SCOPED_TRACE(previous);
        auto result = run_cli({"install", "--version", "1.0", "--previous-binary", previous.string(), "--force"});
        EXPECT_EQ(result.out, header("1.0") + "\n--previous-binary " + previous.string() + line + registered());
    }
    // Through ".." out of the current bundle into a previous directory beside it: the walk must not
    // come back to the current bundle.
    const fs::path beside = bundle.parent_path() / "Vetra Service.app.previous";
    const fs::path previous = previous_runner(beside, "[]");
    const fs::path given = bundle / ".." / beside.filename() / "Contents/MacOS/vetra_service_runner";
    auto result = run_cli({"install", "--previous-binary", given.string(), "--force"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr("\nMigrating from previous install: " + given.string() + "\n"));
    EXPECT_THAT(result.out, testing::Not(HasSubstr("removed previous bundle")));
    EXPECT_THAT(World::runner_calls(previous), Contains("self remove"));
    EXPECT_THAT(World::runner_calls(runner), testing::Not(Contains("self remove")));
    EXPECT_TRUE(fs::exists(runner));
}

TEST_F(DarwinCommands, PreviousBinaryThatCannotBeCheckedIsAnInstallError) {
    const fs::path loop = world.root() / "loop";
    fs::create_symlink(loop.filename(), loop);
    auto result = run_cli({"install", "--version", "1.0", "--previous-binary", loop.string()});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, header("1.0"));
    const std::string reason = std::make_error_code(std::errc::too_many_symbolic_link_levels).message();
    EXPECT_THAT(result.err, testing::StartsWith("error: Cannot check --previous-binary " + loop.string() + ": " +
                                                reason + "\n  caused by: "));
}

TEST_F(DarwinCommands, SameBundleVersionSkipsMigrationUnlessForced) {
    World::set_bundle_version(bundle, "4.2.0");
    const fs::path old_bundle = world.root() / "old/Vetra Service.app";
    const fs::path previous = previous_runner(old_bundle, "[]");
    World::set_bundle_version(old_bundle, "4.2.0\n");

    auto skipped = run_cli({"install", "--previous-binary", previous.string()});
    EXPECT_THAT(skipped.out, HasSubstr("\nPrevious binary at " + previous.string() +
                                       " reports the SAME CFBundleVersion as the new runner \u2014 nothing to "
                                       "migrate. Pass --force to run migration anyway.\n\nRegistering services...\n"));
    EXPECT_TRUE(World::runner_calls(previous).empty());

    // Given relative to where the command runs: every line names it, and its bundle, so.
    ScopedCwd in_root(world.root());
    const fs::path given = previous.lexically_relative(world.root());
    auto forced = run_cli({"install", "--previous-binary", given.string(), "--force"});
    EXPECT_THAT(forced.out, HasSubstr("\nMigrating from previous install: " + given.string() + "\n"
                                      "  (no packages enumerated \u2014 previous env may be unreachable; continuing "
                                      "without extras migration)\n"
                                      "\n  cleaning up previous env via '" + given.string() + " self remove'...\n"
                                      "  \u2713 previous env removed\n"
                                      "  \u2713 removed previous bundle: old/Vetra Service.app\n"
                                      "\nRegistering services...\n"));
    EXPECT_FALSE(fs::exists(old_bundle));
}

TEST_F(DarwinCommands, MigrationCarriesExtrasReportsFailuresAndEditablesThenRemovesTheOldBundle) {
    World::set_bundle_version(bundle, "2.0");
    const fs::path old_bundle = world.root() / "old/Vetra Service.app";
    const fs::path previous = previous_runner(old_bundle, R"([
        {"name": "vetra-sync-agent", "version": "1.0", "editable_project_location": "/src/agent"},
        {"name": "Vetra_Sync_Agent_Foo", "version": "1.2.0"},
        {"name": "requests", "version": "2.31"},
        {"name": "vetra-sync-agent-bar", "version": null},
        {"name": "vetra-sync-agent-qux"},
        {"name": "mylib", "version": "0.1", "editable_project_location": "/src/my\udcfflib\udc9b[31m"},
        {"name": "oldlib", "version": "0.2", "editable_project_location": null},
        {"name": "vetra-sync-agent-native", "version": "1.0"},
        {"name": "vetra-sync-agent-baz", "version": "3.1"},
        {"name": "vetra-sync-agent-x @ https://evil.example/x.whl#", "version": "1.0"},
        {"name": "vetra-sync-agent-", "version": "1.0"},
        {"name": "vetra-sync-agent-y", "version": "--index-url=https://evil.example/"},
        {"name": "vetra-sync-agent-z", "version": "1.0 ; python_version > '3'"},
        {"name": "vetra-sync-agent-\u001b[2Jesc", "version": "1.0"},
        {"name": "vetra-sync-agent-w", "version": "1.0\u009b31m"},
        {"name": "vetra-sync-agent-v", "version": "V2.01-1"},
        {"name": "vetra-sync-agent-num", "version": 2.5},
        {"name": "tool", "version": "1", "editable_project_location": "/src/\u001b]0;title\u0007"}
    ])");
    World::set_bundle_version(old_bundle, "1.0");
    vsm_test::write_file(runner.string() + ".fail-install", "vetra-sync-agent-baz==3.1\n");

    auto result = run_cli({"install", "--version", "2.0", "--previous-binary", previous.string()});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, header("2.0") +
                              "\nMigrating from previous install: " + previous.string() + "\n"
                              "  carrying over 6 extra(s): vetra-sync-agent-foo, vetra-sync-agent-bar, "
                              "vetra-sync-agent-qux, vetra-sync-agent-baz, vetra-sync-agent-v, vetra-sync-agent-num\n"
                              "    \u2713 vetra-sync-agent-foo==1.2.0\n"
                              "    \u2713 vetra-sync-agent-bar\n"
                              "    \u2713 vetra-sync-agent-qux\n"
                              "    \u2717 vetra-sync-agent-baz==3.1  (continuing)\n"
                              "    \u2713 vetra-sync-agent-v==2.1.post1\n"
                              "    \u2713 vetra-sync-agent-num==2.5\n"
                              "\n  WARNING: 1 extra(s) failed to install in the new env:\n"
                              "    - vetra-sync-agent-baz==3.1\n"
                              "  Re-install them manually with: <runner> self pip install <spec>\n"
                              "\n  NOTE: 6 extra(s) NOT migrated (re-install manually if needed):\n"
                              "    - vetra-sync-agent-x @ https://evil.example/x.whl#  (not a valid package name)\n"
                              "    - vetra-sync-agent-  (not a valid package name)\n"
                              "    - vetra-sync-agent-y  (version '--index-url=https://evil.example/' is not a PEP "
                              "440 version)\n"
                              "    - vetra-sync-agent-z  (version '1.0 ; python_version > '3'' is not a PEP 440 "
                              "version)\n"
                              "    - vetra-sync-agent-\\x1b[2jesc  (not a valid package name)\n"
                              "    - vetra-sync-agent-w  (version '1.0\\u009b31m' is not a PEP 440 version)\n"
                              "\n  NOTE: 3 editable install(s) NOT migrated (re-install manually if needed):\n"
                              "    - mylib  (was: /src/my\\xfflib\\x9b[31m)\n"
                              "    - oldlib  (was: ?)\n"
                              "    - tool  (was: /src/\\x1b]0;title\\x07)\n"
                              "\n  cleaning up previous env via '" + previous.string() + " self remove'...\n"
                              "  \u2713 previous env removed\n"
                              "  \u2713 removed previous bundle: " + old_bundle.string() + "\n" +
                              registered());
    auto calls = World::runner_calls(runner);
    EXPECT_THAT(std::vector(calls.begin(), calls.begin() + 6),
                ElementsAre("self pip install vetra-sync-agent-foo==1.2.0", "self pip install vetra-sync-agent-bar",
                            "self pip install vetra-sync-agent-qux", "self pip install vetra-sync-agent-baz==3.1",
                            "self pip install vetra-sync-agent-v==2.1.post1",
                            "self pip install vetra-sync-agent-num==2.5"));
}

TEST_F(DarwinCommands, MigrationRemovesOnlyABundleThatHoldsTheRunnerAsWeInstallIt) {
    const std::pair<const char*, bool> cases[] = {
        {"Site.app/tools/vetra_service_runner", true},
        {"Site.app/Contents/MacOS/vetra_service_runner", false},
        {"Site.app/Contents/MacOS/Site", true},
    };
    for (const auto& [where, info_plist] : cases) {
        SCOPED_TRACE(where);
        const fs::path site = world.root() / "Site.app";
        const fs::path previous = world.root() / where;
        World::place_runner(previous);
        if (info_plist) World::set_bundle_version(site, "0.1");
        vsm_test::write_file(site / "src/main.c", "kept");
        auto result = run_cli({"install", "--version", "1.0", "--previous-binary", previous.string()});
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_THAT(result.out, HasSubstr("\n  - no previous bundle found: " + site.string() +
                                          " does not hold the runner as Contents/MacOS/vetra_service_runner beside "
                                          "Contents/Info.plist; nothing removed\n\nRegistering services...\n"));
        EXPECT_TRUE(fs::exists(site / "src/main.c"));
        fs::remove_all(site);
    }
}

TEST_F(DarwinCommands, InstallRefusesAServiceDirectoryOthersMayWriteAndCreatesItPrivateWhateverTheUmask) {
    const fs::path service_dir = world.home() / "Library/Application Support/norvale/services";
    fs::create_directories(service_dir);
    fs::permissions(service_dir, fs::perms::all);
    auto refused = run_cli({"install", "--version", "1.0"});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_THAT(refused.err, HasSubstr(service_dir.string() + " is writable by others\n"));

    fs::remove_all(world.home() / "Library");
    const mode_t previous_umask = ::umask(0);
    auto result = run_cli({"install", "--version", "1.0"});
    ::umask(previous_umask);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    for (const fs::path& dir : {service_dir, agents}) {
        EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all) << dir;
    }
}

TEST_F(DarwinCommands, MigrationFromAPreviousDirectoryThatIsNoBundleKeepsTheDirectory) {
    World::set_bundle_version(bundle, "2.0");
    const fs::path old_dir = world.root() / "Vetra Service.app.previous";
    const fs::path previous = previous_runner(old_dir, R"([{"name": "vetra-sync-agent", "version": "1.0"}])");
    vsm_test::write_file(previous.string() + ".remove-exit", "1\n");
    auto result = run_cli({"install", "--previous-binary", previous.string()});
    EXPECT_THAT(result.out, HasSubstr("  no PyPI extras found to migrate\n"
                                      "\n  cleaning up previous env via '" + previous.string() + " self remove'...\n"
                                      "  \u2717 'self remove' failed; the previous env may need manual cleanup\n"
                                      "\nRegistering services...\n"));
    EXPECT_TRUE(fs::exists(previous));
}

TEST_F(DarwinCommands, FailedRegistrationReportsTheErrorAndItsCause) {
    // A file where the LaunchAgents directory belongs: the property list cannot be written.
    vsm_test::write_file(agents, "in the way");
    auto result = run_cli({"install", "--version", "1.0"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, header("1.0") + "\nRegistering services...\n");
    // The dispatcher's report ends the output.
    auto lines = vsm_test::split_lines(result.err);
    ASSERT_GE(lines.size(), 2u) << result.err;
    lines.erase(lines.begin(), lines.end() - 2);
    EXPECT_THAT(lines[0], testing::StartsWith("error: Installation failed: "));
    EXPECT_THAT(lines[1], testing::StartsWith("  caused by: "));
    EXPECT_EQ(lines[0].substr(std::string("error: Installation failed: ").size()),
              lines[1].substr(std::string("  caused by: ").size()));
}

TEST_F(DarwinCommands, UninstallRemovesAgentsInReverseOrderThenTheBundle) {
    World::set_bundle_version(bundle, "1.0");
    ASSERT_EQ(run_cli({"install", "--version", "1.0"}).exit_code, 0);
    auto result = run_cli({"uninstall"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out,
              "Uninstalling Vetra services...\n"
              "\nRemoving services...\n"
              "  \u2713 vetra_api removed\n"
              "  \u2713 vetra_sync_agent removed\n"
              "\nKeeping user data (pass --remove-data to wipe).\n"
              "\nRemoving pyapp env / runner binary...\n"
              "  \u2713 done\n"
              "\nUninstall complete.\n");
    EXPECT_FALSE(fs::exists(agents / "com.norvale.vetra_sync_agent.plist"));
    EXPECT_FALSE(fs::exists(agents / "com.norvale.vetra_api.plist"));
    EXPECT_FALSE(fs::exists(bundle));
    EXPECT_FALSE(fs::exists(world.home() / "Library/Application Support/norvale/services"));
    auto status = run_cli({"status"});
    EXPECT_THAT(status.out, HasSubstr("(MISSING)"));
    EXPECT_THAT(status.out, HasSubstr("installed=False  enabled=False  running=False  version=unknown"));
}


// An agent whose property list cannot be looked at may still be loaded: status and uninstall say
// why they cannot tell, and uninstall leaves the runner it would otherwise tear down.
TEST_F(DarwinCommands, PathsThatCannotBeCheckedStopStatusAndUninstall) {
    const std::string reason = std::make_error_code(std::errc::too_many_symbolic_link_levels).message();
    const fs::path plist = agents / "com.norvale.vetra_sync_agent.plist";
    fs::create_directories(agents);
    fs::create_symlink(plist.filename(), plist);
    for (const auto& command : {"status", "uninstall"}) {
        auto result = run_cli({command});
        EXPECT_EQ(result.exit_code, 1) << command;
        EXPECT_THAT(result.err, testing::StartsWith("error: Cannot check the property list " + plist.string() + ": " +
                                                    reason + "\n"));
    }
    EXPECT_TRUE(fs::exists(runner));
    EXPECT_THAT(World::runner_calls(runner), testing::Not(Contains("self remove")));

    fs::remove(plist);
    fs::remove(runner);
    fs::create_symlink(runner.filename(), runner);
    auto status = run_cli({"status"});
    EXPECT_EQ(status.exit_code, 1);
    EXPECT_THAT(status.err, HasSubstr("error: Cannot check the runner " + runner.string() + ": " + reason + "\n"));
}

}  // namespace
