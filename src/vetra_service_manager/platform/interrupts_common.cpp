#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/platform/interrupts_os.hpp"

namespace vetra_service_manager::platform::interrupts {
namespace {

std::mutex mutex;
std::condition_variable arrived;
std::atomic<int> first_signal{0};

std::string signal_name(int signal) {
    switch (signal) {
        case SIGNAL_HUP: return "SIGHUP";
        case SIGNAL_INT: return "SIGINT";
        case SIGNAL_TERM: return "SIGTERM";
        default: return "signal " + std::to_string(signal);
    }
}

}  // namespace

Interrupted::Interrupted(int signal) : std::runtime_error("interrupted by " + signal_name(signal)), signal_(signal) {}

int received() noexcept { return first_signal.load(); }

void check() {
    if (const int signal = received()) throw Interrupted(signal);
}

bool wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, timeout, [] { return received() != 0; });
}

bool record(int signal) {
    int none = 0;
    {
        std::lock_guard lock(mutex);
        if (!first_signal.compare_exchange_strong(none, signal)) return false;
    }
    arrived.notify_all();
    return true;
}

}  // namespace vetra_service_manager::platform::interrupts
