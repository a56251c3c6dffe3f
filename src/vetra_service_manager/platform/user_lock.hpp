#pragma once
// An exclusive lock held by one process of this user at a time, on a file that also tells others
// who holds it. The operating system drops the lock when its holder ends, so it never goes stale.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

namespace vetra_service_manager::platform::user_lock {

// On Windows the lock is on this one byte, far beyond the end of the file, so that the process id
// at its start stays readable; another program takes the same lock by locking this byte.
inline constexpr std::uint64_t WINDOWS_LOCKED_BYTE = 0x4000000000000000;

// Another process kept the lock for the whole wait.
class Busy : public std::runtime_error {
public:
    explicit Busy(std::optional<long> holder);
    // The holder's process id as it wrote it into the file, when it could be read.
    std::optional<long> holder() const noexcept { return holder_; }

private:
    std::optional<long> holder_;
};

class Lock {
public:
    virtual ~Lock() = default;
};

// Locks `path` (created, with its directory, when missing) and writes our process id into it.
// When another process holds it, calls `on_wait` once with that process's id and tries again
// until `timeout` has passed, then throws Busy. `keep_waiting` is asked between tries: when it
// throws, so does acquire. The lock is on the file that is at `path` when acquire returns, even
// if the holder removed or replaced it meanwhile.
std::unique_ptr<Lock> acquire(const std::filesystem::path& path, std::chrono::milliseconds timeout,
                              const std::function<void(std::optional<long> holder)>& on_wait,
                              const std::function<void()>& keep_waiting = [] {});

}  // namespace vetra_service_manager::platform::user_lock
