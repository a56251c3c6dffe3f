// The handler only writes the signal's number into a pipe; a watcher thread reads it and does
// the rest, outside signal context. The signals are blocked in every other thread, so the handler
// always runs on the watcher: no call of the command's own (a D-Bus round trip, a poll) is ever
// cut short with EINTR. Children start with an empty signal mask and default handling (the
// process layer sees to it), so they still react to the signals themselves.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/platform/interrupts_os.hpp"
#include "vetra_service_manager/platform/process.hpp"
#include "vetra_service_manager/platform/running_children.hpp"

namespace vetra_service_manager::platform::interrupts {
namespace {

int pipe_ends[2] = {-1, -1};

extern "C" void on_signal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = ::write(pipe_ends[1], &byte, 1);
    errno = saved;
}

void watch(sigset_t interrupts) {
    // Started with them blocked (by whoever started us, or by the block below): this thread is
    // the one that takes them.
    ::pthread_sigmask(SIG_UNBLOCK, &interrupts, nullptr);
    for (;;) {
        unsigned char byte = 0;
        const auto n = ::read(pipe_ends[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (!record(byte)) {
            // Ending now: whatever the command would go on to say while its children are ended
            // (a step that failed because they were) is no longer true, so nothing more is said.
            const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (nowhere >= 0) {
                ::dup2(nowhere, STDOUT_FILENO);
                ::dup2(nowhere, STDERR_FILENO);
            }
            process::end_running_children();
            ::_exit(128 + byte);
        }
    }
}

}  // namespace

void catch_interrupts() {
    // pipe and fcntl rather than pipe2, which macOS lacks; no child is started before this returns.
    if (::pipe(pipe_ends) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    for (int fd : pipe_ends) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    sigset_t interrupts;
    sigemptyset(&interrupts);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interrupts, signal);
    std::thread(watch, interrupts).detach();
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // One ignored when we started stays ignored (nohup, a script's background job).
        struct sigaction inherited {};
        ::sigaction(signal, nullptr, &inherited);
        if (inherited.sa_handler != SIG_IGN) ::sigaction(signal, &action, nullptr);
    }
    // The watcher, started above, keeps them unblocked; threads started from here on inherit the block.
    ::pthread_sigmask(SIG_BLOCK, &interrupts, nullptr);
}

}  // namespace vetra_service_manager::platform::interrupts
