// Programs planted in the directory a command runs from (a shared one, say): a relative setting
// must never make the manager run them, delete them or put its own files beside them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "e2e/e2e_fixture.hpp"

namespace {

namespace fs = std::filesystem;
using vsm_e2e::give;
using vsm_e2e::run_cli_as;
using vsm_e2e::World;
using vsm_test::run_cli;
using vsm_test::ScopedCwd;
using vsm_test::ScopedEnv;

std::set<fs::path> tree(const fs::path& dir) {
    std::set<fs::path> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) entries.insert(entry.path());
    return entries;
}

TEST(PlantedPrograms, ARelativeSettingNeverReachesTheWorkingDirectory) {
    struct Case {
        const char* platform;
        const char* variable;
        std::string value;  // PATH: put before the world's own search path
        const char* planted;
        std::vector<std::string> command;
    };
    const Case cases[] = {
        {"Linux", "XDG_DATA_HOME", "rel", "rel/norvale/services/vetra_service_runner", {"uninstall"}},
        {"Linux", "XDG_DATA_HOME", "rel", "rel/norvale/vetra/user-data",
         {"uninstall", "--remove-data", "--keep-cache", "--keep-binary"}},
        {"Darwin", "PATH", ":", "launchctl", {"install", "--version", "1.0"}},
        {"Darwin", "PATH", ".:", "launchctl", {"install", "--version", "1.0"}},
        {"Darwin", "PATH", "bin:", "bin/launchctl", {"install", "--version", "1.0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.variable) + "=" + c.value + " " + c.planted);
        World world(c.platform);
        const fs::path shared = world.root() / "shared";
        const fs::path ran = world.root() / "planted-program-ran";
        vsm_test::write_script(shared / c.planted, "#!/bin/sh\ntouch '" + ran.string() + "'\n");
        const std::string value = c.variable == std::string("PATH") ? c.value + std::getenv("PATH") : c.value;
        ScopedEnv setting(c.variable, value);
        const auto before = tree(shared);
        {
            ScopedCwd in_shared(shared);
            run_cli(c.command);
        }
        EXPECT_FALSE(fs::exists(ran));
        EXPECT_EQ(tree(shared), before);
    }
}

// Another user (uid 2002) who can change a directory on the way to what we run or write could swap
// in their own runner or definition: the command refuses in one line before it runs or writes
// anything; status says the same and goes on.
TEST(PlantedPrograms, AnotherUsersHandOnTheWayIsRefusedBeforeAnythingRuns) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root to act as two users";
    constexpr uid_t USER = 2001, OTHER = 2002;
    struct Case {
        const char* name;
        const char* platform;
        std::vector<std::string> command;
        // Sets the scene as root (the world is the user's afterwards); returns the refusal.
        std::function<std::string(World& world, const fs::path& planted)> arrange;
    };
    const auto sticky = [](const fs::path& dir) {
        fs::create_directories(dir);
        fs::permissions(dir, fs::perms(01777));
        return dir;
    };
    const Case cases[] = {
        {"a home in a shared sticky directory, its Applications made by another user", "Darwin", {"install"},
         [&](World& world, const fs::path& planted) {
             const fs::path home = sticky(world.root() / "shared") / "home";
             setenv("HOME", home.c_str(), 1);
             fs::create_directories(home);
             give(world.root(), USER);
             give(world.root() / "shared", 0);
             give(home, USER);
             const fs::path runner = home / "Applications/norvale/Vetra Service.app/Contents/MacOS/vetra_service_runner";
             fs::create_directories(runner.parent_path());
             fs::copy_file(planted, runner);
             fs::create_directories(home / "Library");
             fs::permissions(home / "Library", fs::perms::all);
             give(home / "Applications", OTHER);
             give(home / "Library", OTHER);
             return "Refusing to run " + runner.string() + ": " + (home / "Applications").string() +
                    " is owned by uid 2002";
         }},
        {"LaunchAgents writable by the user's group", "Darwin", {"install"},
         [&](World& world, const fs::path&) {
             const fs::path agents = world.home() / "Library/LaunchAgents";
             fs::create_directories(agents);
             fs::permissions(agents, fs::perms(0775));
             World::place_runner(world.runner());
             give(world.root(), USER);
             return "Refusing to use " + agents.string() + ": " + agents.string() + " is writable by its group";
         }},
        {"the lock's directory made by another user in a shared runtime directory", "Darwin", {"install"},
         [&](World& world, const fs::path&) {
             const fs::path theirs = sticky(world.root() / "run") / "norvale";
             fs::create_directories(theirs);
             fs::permissions(theirs, fs::perms::all);
             World::place_runner(world.runner());
             give(world.root(), USER);
             give(world.root() / "run", 0);
             give(theirs, OTHER);
             return "Refusing to use " + theirs.string() + ": " + theirs.string() + " is owned by uid 2002";
         }},
        {"XDG_DATA_HOME another user's, with their runner in it", "Linux", {"uninstall"},
         [&](World& world, const fs::path& planted) {
             const fs::path data = world.root() / "data";
             setenv("XDG_DATA_HOME", data.c_str(), 1);
             give(world.root(), USER);
             const fs::path runner = data / "norvale/services/vetra_service_runner";
             fs::create_directories(runner.parent_path());
             fs::copy_file(planted, runner);
             give(data, OTHER);
             return "Refusing to run " + runner.string() + ": " + data.string() + " is owned by uid 2002";
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World world(c.platform);
        ScopedEnv home("HOME", world.home().string()), data("XDG_DATA_HOME", std::nullopt);
        const fs::path ran = world.root() / "planted-program-ran";
        const fs::path planted = world.root() / "planted";
        vsm_test::write_script(planted, "#!/bin/sh\ntouch '" + ran.string() + "'\n");
        const std::string refusal = c.arrange(world, planted);
        const auto result = run_cli_as(USER, c.command);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.err, "error: " + refusal + "\n");
        const auto status = run_cli_as(USER, {"status"});
        EXPECT_EQ(status.exit_code, 0) << status.err;
        EXPECT_THAT(status.err, testing::HasSubstr(refusal));
        EXPECT_FALSE(fs::exists(ran));
        EXPECT_TRUE(World::runner_calls(world.runner()).empty());
        EXPECT_FALSE(fs::exists(fs::path(std::getenv("HOME")) / "Library/LaunchAgents/com.norvale.vetra_sync_agent.plist"));
    }
}

}  // namespace
