#pragma once
// More ways to reach the children that run_captured and run_inherited are waiting for (see
// process.hpp), for those who act on an interrupt: the log viewer that passes it on, and a
// process about to exit at a second one.
namespace vetra_service_manager::platform::process {

// Sends `signal` (a POSIX number) to each such child, with all it started when it has a process
// group of its own; its call goes on waiting. On Windows, which has no such signals, they are
// ended as terminate_running_children does.
void signal_running_children(int signal);

// terminate_running_children for a process about to exit, which cannot leave the grace period to
// the waiting calls: returns once each such child has ended, or has been killed (SIGKILL) after a
// short grace.
void end_running_children();

}  // namespace vetra_service_manager::platform::process
