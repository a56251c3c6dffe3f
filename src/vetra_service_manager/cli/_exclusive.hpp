#pragma once
// One state-changing command at a time per user: install, uninstall, start, stop and restart
// hold this lock for their whole run; status and logs only read.
#include <filesystem>
#include <memory>

#include "vetra_service_manager/platform/user_lock.hpp"

namespace vetra_service_manager::cli::_exclusive {

inline constexpr int WAIT_SECONDS = 30;

// The lock file: where no command deletes it and no other user can write. $XDG_RUNTIME_DIR when
// set, otherwise the per-user cache directory (~/.cache or $XDG_CACHE_HOME, ~/Library/Caches,
// %LOCALAPPDATA%); always below the maker's directory.
std::filesystem::path lock_path();

// The lock, once any other such command has ended. While waiting says so once on standard error;
// after WAIT_SECONDS throws a one-line error naming the other command's process. An interrupt
// while waiting throws platform::interrupts::Interrupted.
std::unique_ptr<platform::user_lock::Lock> hold();

}  // namespace vetra_service_manager::cli::_exclusive
