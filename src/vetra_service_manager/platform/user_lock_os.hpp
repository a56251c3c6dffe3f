#pragma once
// What each operating system supplies to user_lock: one attempt, without waiting.
#include <filesystem>
#include <memory>
#include <optional>

#include "vetra_service_manager/platform/user_lock.hpp"

namespace vetra_service_manager::platform::user_lock {

// The lock on the file now at `path` (created with our process id in it), or nullptr when another
// process holds it; then `holder` is the id written in the file, when readable.
std::unique_ptr<Lock> try_lock(const std::filesystem::path& path, std::optional<long>& holder);

// The process id at the start of a lock file's text.
std::optional<long> parse_holder(const std::string& text);

}  // namespace vetra_service_manager::platform::user_lock
