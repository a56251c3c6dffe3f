#include <string>
#include <system_error>
#include <thread>

#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/user_lock.hpp"
#include "vetra_service_manager/platform/user_lock_os.hpp"

namespace vetra_service_manager::platform::user_lock {

namespace {
constexpr std::chrono::milliseconds RETRY_INTERVAL{100};
}  // namespace

Busy::Busy(std::optional<long> holder)
    : std::runtime_error(holder ? "locked by process " + std::to_string(*holder) : "locked by another process"),
      holder_(holder) {}

std::optional<long> parse_holder(const std::string& text) {
    try {
        const long pid = std::stol(text);
        return pid > 0 ? std::optional(pid) : std::nullopt;
    } catch (const std::logic_error&) {
        return std::nullopt;
    }
}

std::unique_ptr<Lock> acquire(const std::filesystem::path& path, std::chrono::milliseconds timeout,
                              const std::function<void(std::optional<long>)>& on_wait,
                              const std::function<void()>& keep_waiting) {
    return acquire(path, timeout, on_wait, keep_waiting, Interleaving{});
}

std::unique_ptr<Lock> acquire(const std::filesystem::path& path, std::chrono::milliseconds timeout,
                              const std::function<void(std::optional<long>)>& on_wait,
                              const std::function<void()>& keep_waiting, const Interleaving& between) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool told = false;
    for (int tries = 0;; ++tries) {
        std::optional<long> holder;
        try {
            files::create_private_directories(path.parent_path());
            between.after_directory();
            if (auto lock = try_lock(path, holder, between)) return lock;
        } catch (const std::system_error& error) {
            // The directory (or one it is in) went while we made or opened it (uninstall removes it):
            // make it again, for as long as the caller is prepared to wait.
            if (error.code() != std::errc::no_such_file_or_directory || std::chrono::steady_clock::now() >= deadline)
                throw;
            keep_waiting();
            continue;
        }
        // A new file holds no id until its holder has written it: look once more before telling.
        if (!told && (holder || tries > 0)) {
            on_wait(holder);
            told = true;
        }
        if (std::chrono::steady_clock::now() >= deadline) throw Busy(holder);
        keep_waiting();
        std::this_thread::sleep_for(RETRY_INTERVAL);
    }
}

}  // namespace vetra_service_manager::platform::user_lock
