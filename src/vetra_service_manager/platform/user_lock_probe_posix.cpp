// A shared flock(2) that cannot be had while the exclusive one is held. When nobody holds it, the
// shared lock is had and dropped at once: a command taking the lock at that very moment finds it
// busy once and tries again 100 ms later, as it does for any holder.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <system_error>

#include "vetra_service_manager/platform/user_lock_os.hpp"
#include "vetra_service_manager/platform/user_lock_probe.hpp"

namespace vetra_service_manager::platform::user_lock {

std::optional<Holding> holding(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::optional<Holding> found;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        char text[32] = {};
        Holding held;
        if (::pread(fd, text, sizeof text - 1, 0) > 0) held.holder = parse_holder(text);
        std::error_code ignored;
        held.since = std::filesystem::last_write_time(path, ignored);
        found = held;
    }
    ::close(fd);  // drops the shared lock, if it was had
    return found;
}

}  // namespace vetra_service_manager::platform::user_lock
