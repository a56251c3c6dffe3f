// The per-user lock between real processes: a waiter is told who holds it and gives up in time.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include <gtest/gtest.h>

#include "e2e/background.hpp"
#include "e2e/e2e_fixture.hpp"
#include "vetra_service_manager/cli/_exclusive.hpp"
#include "vetra_service_manager/platform/user_lock.hpp"
#include "vetra_service_manager/platform/user_lock_os.hpp"

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

// `uninstall` may remove the lock's directory, or the lock file under a waiter, at any moment.
// Each move is made at the one point in an attempt where it does harm.
TEST(UserLock, WhatAnotherCommandRemovesMeanwhileIsMadeAgainAndLocked) {
    vsm_test::TempDir dir;
    const fs::path path = dir.path() / "norvale" / "lock";
    const auto wait = std::chrono::seconds(30);

    // The directory removed between making it and opening the file, more often than any fixed
    // number of tries would allow; the command's own wait is the bound.
    int removals = 0;
    user_lock::Interleaving vanishing;
    vanishing.after_directory = [&] {
        if (removals < 50 && fs::remove_all(path.parent_path()) > 0) ++removals;
    };
    EXPECT_NO_THROW(user_lock::acquire(path, wait, [](auto) {}, [] {}, vanishing));
    EXPECT_EQ(removals, 50);
    vanishing.after_directory = [&] { fs::remove_all(path.parent_path()); };
    EXPECT_THROW(user_lock::acquire(path, std::chrono::milliseconds(200), [](auto) {}, [] {}, vanishing),
                 std::system_error);

    // The holder unlinks the file and lets go between our open and our lock: the file we then lock
    // is no longer the lock, so we must end up locking the one now at the path.
    auto holder = user_lock::acquire(path, wait, [](auto) {});
    user_lock::Interleaving released;
    released.after_open = [&] {
        if (!holder) return;
        fs::remove(path);
        holder.reset();
    };
    auto lock = user_lock::acquire(path, wait, [](auto) {}, [] {}, released);
    ASSERT_TRUE(fs::exists(path));
    EXPECT_THROW(user_lock::acquire(path, std::chrono::milliseconds(0), [](auto) {}), user_lock::Busy);
}

// A holder that has locked its new file but not yet written its id: a waiter that gives up at once
// names nobody, rather than announcing a holder it does not know.
TEST(UserLock, AHolderNotYetWrittenIsNotAnnounced) {
    vsm_test::TempDir dir;
    const fs::path path = dir.path() / "lock";
    vsm_test::write_file(path, "");
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    int told = 0;
    EXPECT_THROW(user_lock::acquire(path, std::chrono::milliseconds(0), [&](auto) { ++told; }), user_lock::Busy);
    EXPECT_EQ(told, 0);
    ::close(fd);
}

}  // namespace
