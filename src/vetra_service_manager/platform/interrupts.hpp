#pragma once
// Interrupts (SIGINT, SIGTERM, SIGHUP; on Windows Ctrl-C, Ctrl-Break and closing the console) as
// requests to stop at the next safe point rather than as sudden death: a command finishes the
// step it is in, then stops. A second interrupt ends the process at once, its children with it
// (those that ignore the polite request after a short grace). A signal that was ignored when the
// process started stays ignored.
#include <chrono>
#include <stdexcept>

namespace vetra_service_manager::platform::interrupts {

// The command stopped at a safe point because of an interrupt.
class Interrupted : public std::runtime_error {
public:
    explicit Interrupted(int signal);
    int signal() const noexcept { return signal_; }
    // 128 + the signal's number, as shells report a process ended by it: 130 for SIGINT.
    int exit_status() const noexcept { return 128 + signal_; }

private:
    int signal_;
};

// From now on interrupts are recorded instead of ending the process. Call once, from the main
// thread, before any other thread is started.
void catch_interrupts();
// The number of the first interrupt received (SIGINT, SIGTERM, SIGHUP; Ctrl-C and Ctrl-Break count
// as SIGINT, closing the console as SIGHUP), or 0.
int received() noexcept;
// Throws Interrupted when an interrupt was received: call it where stopping is safe.
void check();
// Sleeps until `timeout` has passed or an interrupt arrives; true when one has.
bool wait_for(std::chrono::milliseconds timeout);

}  // namespace vetra_service_manager::platform::interrupts
