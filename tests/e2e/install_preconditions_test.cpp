// What install can tell before it changes anything fails it before anything changes: a previous
// runner is neither run nor removed for an install that could not go on.
#include <gtest/gtest.h>

#include "e2e/e2e_fixture.hpp"

namespace {

namespace fs = std::filesystem;
using vsm_e2e::World;

TEST(InstallPreconditions, AnUnreachableUserManagerFailsItBeforeMigrationTouchesThePreviousRunner) {
    World world("Linux");  // and no user manager in its runtime directory
    World::place_runner(world.runner());
    const fs::path old_bundle = world.root() / "old/Vetra Service.app";
    const fs::path previous = old_bundle / "Contents/MacOS/vetra_service_runner";
    World::place_runner(previous);
    World::set_bundle_version(old_bundle, "0.9");
    auto result = vsm_test::run_cli({"install", "--version", "1.0", "--previous-binary", previous.string()});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("user manager"), std::string::npos) << result.err;
    EXPECT_TRUE(World::runner_calls(previous).empty());
    EXPECT_TRUE(fs::exists(previous));
}

}  // namespace
