#pragma once
// The only place that starts child processes. Always an argument vector, never a shell.
// argv[0] is either a bare name ("launchctl"), found on the search path, or a path (it holds a
// directory separator), made absolute and started as that very file, never searched for.
// A program that cannot be started at all raises StartError; a started program's exit status,
// whatever it is, is a result. Losing track of a started child (its status cannot be collected)
// raises std::system_error "Cannot wait for <program>: <operating system's message>".
// Children start with no signal blocked and every signal at its default disposition.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace vetra_service_manager::platform::process {

using Timeout = std::optional<std::chrono::milliseconds>;

// The program (or its working directory) could not be started: missing, not executable, ...
// what() is "Cannot start <program>: <operating system's message>".
class StartError : public std::runtime_error {
public:
    StartError(std::error_code code, const std::string& program, const std::string& detail = {});
    std::error_code code() const noexcept { return code_; }
    // True when the program (or the working directory) does not exist.
    bool not_found() const noexcept;

private:
    std::error_code code_;
};

// exit_code: the program's exit status; a program ended by a signal gives minus the signal
// number (on Windows a child killed at its time-out exits with 1). timed_out: the time limit
// passed and the child was ended and reaped. A child is ended with everything it started: on
// POSIX its process group gets SIGTERM, then after a short grace SIGKILL; on Windows its job
// object is terminated.
struct Completed {
    int exit_code = 0;
    bool timed_out = false;
};

struct Captured : Completed {
    std::string out;
    std::string err;
};

// Where a child starts: our own working directory when not given. A directory that is not there
// raises StartError naming it.
using WorkingDirectory = std::optional<std::filesystem::path>;

// Standard output and error captured (read concurrently, so megabytes on both cannot deadlock);
// standard input is the null device. Without a timeout the call waits for the child's end.
Captured run_captured(const std::vector<std::string>& argv, Timeout timeout = std::nullopt,
                      const WorkingDirectory& working_directory = std::nullopt);

// Standard streams inherited from this process (the child talks to the user's terminal). With a
// time limit the child gets a process group of its own (see above), so that Ctrl-C at the terminal
// reaches it only through terminate_running_children; without one it shares ours.
Completed run_inherited(const std::vector<std::string>& argv, Timeout timeout = std::nullopt,
                        const WorkingDirectory& working_directory = std::nullopt);

// Started in `working_directory` with all three standard streams on the null device and no other
// handle inherited; not waited for; it outlives this process. On Windows the child is created
// with `windows_creation_flags` (e.g. CREATE_NO_WINDOW); elsewhere they are ignored.
void start_detached(const std::vector<std::string>& argv, const std::filesystem::path& working_directory,
                    std::uint32_t windows_creation_flags = 0);

// Ends every child that run_captured or run_inherited is waiting for at this moment, with all it
// started, as a time-out would; each such call then returns normally with its child's status
// (timed_out false). Children started later are not affected. Callable from any thread.
void terminate_running_children();

}  // namespace vetra_service_manager::platform::process
