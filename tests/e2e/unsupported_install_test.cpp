// `install` where no service backend exists yet: the header, then one clear error line.
#include <gtest/gtest.h>

#include "e2e/e2e_fixture.hpp"

namespace {

TEST(InstallWithoutBackend, PrintsTheHeaderThenFailsAtTheFirstService) {
    for (const char* platform : {"Windows"}) {
        vsm_e2e::World world(platform);
        auto result = vsm_test::run_cli({"install", "--version", "2.0.DEV"});
        EXPECT_EQ(result.exit_code, 1) << platform;
        EXPECT_EQ(result.out, "Installing Vetra services...\n"
                              "  runner:  " + world.runner().string() + "\n"
                              "  version: 2.0.dev0\n"
                              "\nRegistering services...\n");
        EXPECT_EQ(result.err, std::string("error: Registering services is not supported on this platform yet (") +
                                  platform + ")\n");
    }
}

}  // namespace
