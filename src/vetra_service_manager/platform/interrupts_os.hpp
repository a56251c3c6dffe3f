#pragma once
// Shared by the per-OS interrupt watchers.
namespace vetra_service_manager::platform::interrupts {

// The POSIX numbers, used on every system so that exit statuses agree.
inline constexpr int SIGNAL_HUP = 1;
inline constexpr int SIGNAL_INT = 2;
inline constexpr int SIGNAL_TERM = 15;

// Records an interrupt and wakes wait_for. False when one had already been recorded: the caller
// then ends the process.
bool record(int signal);

}  // namespace vetra_service_manager::platform::interrupts
