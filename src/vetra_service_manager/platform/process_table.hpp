#pragma once
// The processes of the current user as the Windows backend needs to see them: whether an ID still
// names the process that was recorded with it, and ending a process with what it started.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace vetra_service_manager::platform::process_table {

using Instant = std::chrono::system_clock::time_point;

// Creation times recorded by different sources (the kernel's 100 ns ticks, WMI's microseconds)
// agree to well within a millisecond; an ID reused within that millisecond is not a real risk.
inline bool same_instant(Instant a, Instant b) {
    const auto difference = a > b ? a - b : b - a;
    return difference < std::chrono::milliseconds(1);
}

// A process as the one it was: IDs are reused, an ID and a creation time are not.
struct Identity {
    std::uint32_t pid;
    Instant created;
};

class ProcessTable {
public:
    virtual ~ProcessTable() = default;
    // When the running process with this ID was created; nullopt when no process of ours runs
    // under it.
    virtual std::optional<Instant> creation_time(std::uint32_t pid) const = 0;
    // Ends the process with this ID, if it is still the one created at `created`, and then every
    // process descended from it; returns those it ended, the root first. Empty when it no longer is
    // (it has ended, or the ID was reused). Throws std::system_error when it cannot be ended.
    virtual std::vector<Identity> terminate_tree(std::uint32_t pid, Instant created) = 0;
    // The running wscript.exe processes of ours whose command line names `script` (compared
    // without regard to case): a supervisor whose task is gone is found only this way.
    virtual std::vector<Identity> script_hosts(const std::filesystem::path& script) const = 0;
};

// The operating system's table (Windows only).
std::unique_ptr<ProcessTable> system_table();

}  // namespace vetra_service_manager::platform::process_table
