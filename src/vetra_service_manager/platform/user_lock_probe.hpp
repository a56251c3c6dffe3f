#pragma once
// Whether someone holds the user lock, for a command that only reads and must never wait for it.
#include <filesystem>
#include <optional>

namespace vetra_service_manager::platform::user_lock {

struct Holding {
    std::optional<long> holder;                  // the process id the holder wrote, when readable
    std::filesystem::file_time_type since;       // when it wrote it: when it took the lock
};

// Who holds the lock on `path`, or nothing when the file is missing or nobody holds it. Never
// creates, writes or waits; a file that cannot be opened counts as not held.
std::optional<Holding> holding(const std::filesystem::path& path);

}  // namespace vetra_service_manager::platform::user_lock
