#pragma once
// What each operating system supplies to user_lock: one attempt, without waiting.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "vetra_service_manager/platform/user_lock.hpp"

namespace vetra_service_manager::platform::user_lock {

// Two moments inside one attempt at which another process may remove or replace what we have just
// made or opened; tests make those moves happen exactly there.
struct Interleaving {
    std::function<void()> after_directory = [] {};  // the lock's directory made, the file not yet opened
    std::function<void()> after_open = [] {};       // the file opened, not yet locked
};

// acquire, with `between` run at its moments of every attempt.
std::unique_ptr<Lock> acquire(const std::filesystem::path& path, std::chrono::milliseconds timeout,
                              const std::function<void(std::optional<long> holder)>& on_wait,
                              const std::function<void()>& keep_waiting, const Interleaving& between);

// The lock on the file now at `path` (created with our process id in it), or nullptr when another
// process holds it; then `holder` is the id written in the file, when readable.
std::unique_ptr<Lock> try_lock(const std::filesystem::path& path, std::optional<long>& holder,
                               const Interleaving& between);

// The process id at the start of a lock file's text.
std::optional<long> parse_holder(const std::string& text);

}  // namespace vetra_service_manager::platform::user_lock
