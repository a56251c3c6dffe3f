// The three signals are blocked in every thread and taken by one watcher thread with sigwait, so
// that nothing runs in a signal handler. Children start with an empty mask (the process layer
// resets it), so they still react to the signals themselves.
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/platform/interrupts_os.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace vetra_service_manager::platform::interrupts {

void catch_interrupts() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals, &signal) != 0) continue;
            if (!record(signal)) {
                process::terminate_running_children();
                ::_exit(128 + signal);
            }
        }
    }).detach();
}

}  // namespace vetra_service_manager::platform::interrupts
