// The per-user lock between real processes: a waiter is told who holds it and gives up in time.
#include <gtest/gtest.h>

#include "e2e/background.hpp"
#include "e2e/e2e_fixture.hpp"
#include "vetra_service_manager/cli/_exclusive.hpp"
#include "vetra_service_manager/platform/user_lock.hpp"

namespace {

namespace fs = std::filesystem;
namespace user_lock = vetra_service_manager::platform::user_lock;

TEST(UserLock, WaiterIsToldTheHolderOnceAndGivesUpAtItsTimeout) {
    vsm_e2e::World world("Darwin");
    vsm_e2e::World::place_runner(world.runner());
    ASSERT_EQ(vsm_test::run_cli({"install", "--version", "1.0"}).exit_code, 0);
    vsm_test::write_file(world.root() / "launchd/slow/bootout", "2\n");
    vsm_e2e::Background holder({"stop"}, world.root());
    ASSERT_TRUE(vsm_test::eventually([&] { return fs::exists(world.root() / "launchd/busy/bootout"); }));

    const auto path = vetra_service_manager::cli::_exclusive::lock_path();
    std::vector<std::optional<long>> told;
    int asked = 0;
    try {
        user_lock::acquire(path, std::chrono::milliseconds(500), [&](auto pid) { told.push_back(pid); },
                           [&] { ++asked; });
        ADD_FAILURE() << "acquired a held lock";
    } catch (const user_lock::Busy& busy) {
        EXPECT_EQ(busy.holder(), holder.pid());
    }
    EXPECT_EQ(told, std::vector<std::optional<long>>{holder.pid()});
    EXPECT_GT(asked, 1);

    EXPECT_EQ(holder.wait(), 0);
    auto lock = user_lock::acquire(path, std::chrono::milliseconds(0), [](auto) { ADD_FAILURE() << "waited"; });
    EXPECT_EQ(vsm_test::read_file(path), std::to_string(::getpid()) + "\n");
}

}  // namespace
