// Programs planted in the directory a command runs from (a shared one, say): a relative setting
// must never make the manager run them, delete them or put its own files beside them.
#include <gtest/gtest.h>

#include <set>

#include "e2e/e2e_fixture.hpp"

namespace {

namespace fs = std::filesystem;
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

}  // namespace
