// The per-user lock between real processes: a waiter is told who holds it and gives up in time.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

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

// Whatever else sits at the lock's path is refused before anything is written to it: a FIFO
// (which could also hold an open for reading), and a file of another user (root can open it).
TEST(UserLock, OnlyARegularFileOfOursIsTakenAsTheLock) {
    vsm_test::TempDir dir;
    const fs::path fifo = dir.path() / "fifo", foreign = dir.path() / "foreign";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    vsm_test::write_file(foreign, "1\n");
    const bool can_give_away = ::chown(foreign.c_str(), ::geteuid() + 1, ::getegid()) == 0;
    for (const auto& path : {fifo, foreign}) {
        if (path == foreign && !can_give_away) continue;
        SCOPED_TRACE(path);
        try {
            user_lock::acquire(path, std::chrono::milliseconds(0), [](auto) {});
            ADD_FAILURE() << "took it as the lock";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "the lock file " + path.string() + " is not a regular file of this user");
        }
    }
    EXPECT_EQ(vsm_test::read_file(foreign), "1\n");
}

// `uninstall` may remove the lock's directory at any moment; a command that comes for the lock
// then makes it again rather than failing.
TEST(UserLock, ADirectoryRemovedMeanwhileIsMadeAgain) {
    vsm_test::TempDir dir;
    const fs::path path = dir.path() / "norvale" / "lock";
    std::atomic<bool> done = false;
    std::thread remover([&] {
        while (!done) {
            std::error_code ignored;
            fs::remove_all(path.parent_path(), ignored);
        }
    });
    try {
        for (int i = 0; i < 2000; ++i) user_lock::acquire(path, std::chrono::milliseconds(0), [](auto) {});
    } catch (const std::exception& error) {
        ADD_FAILURE() << error.what();
    }
    done = true;
    remover.join();
}

}  // namespace
