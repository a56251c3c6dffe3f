// The wait a command sleeps in between its polls, woken by a real signal. Catching interrupts
// holds for the whole process and for good, so it is done in a child of the test process.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "vetra_service_manager/platform/interrupts.hpp"

namespace {
using namespace std::chrono;
namespace interrupts = vetra_service_manager::platform::interrupts;

// `logs --follow` and the pager's watcher sit in this wait: a Ctrl-C must end it at once, not
// when its time is up.
TEST(Interrupts, WaitEndsWhenASignalArrives) {
    EXPECT_EXIT(
        {
            interrupts::catch_interrupts();
            // Process-directed, so it reaches the watcher thread, the one that takes it.
            std::thread sender([] {
                std::this_thread::sleep_for(1s);
                ::kill(::getpid(), SIGINT);
            });
            const auto begun = steady_clock::now();
            const bool arrived = interrupts::wait_for(10s);
            const auto waited = duration_cast<milliseconds>(steady_clock::now() - begun).count();
            sender.join();
            std::fprintf(stderr, "arrived=%d received=%d after %lld ms\n", arrived, interrupts::received(),
                         static_cast<long long>(waited));
            ::_exit(arrived && interrupts::received() == SIGINT && waited < 5000 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
