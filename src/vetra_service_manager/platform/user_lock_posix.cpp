// flock(2). The lock belongs to the open file, so a holder that removes the file leaves those who
// wait on the old one locking nothing: each attempt opens the path anew and checks, once locked,
// that the file is still the one there.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/user_lock_os.hpp"

namespace vetra_service_manager::platform::user_lock {
namespace {

class FileLock : public Lock {
public:
    explicit FileLock(int fd) : fd_(fd) {}
    ~FileLock() override { ::close(fd_); }  // closing releases the lock
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path) {
    throw std::system_error(errno, std::generic_category(), what + " " + to_text(path));
}

bool still_at_path(int fd, const std::filesystem::path& path) {
    struct stat opened {}, named {};
    if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0) return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

std::unique_ptr<Lock> try_lock(const std::filesystem::path& path, std::optional<long>& holder,
                               const Interleaving& between) {
    // Never through a link: whoever could place one would choose which file we create or truncate.
    // Without blocking, so that a FIFO planted there cannot hold us; it is refused just below.
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (fd.get() < 0) fail("cannot open the lock file", path);
    between.after_open();
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) fail("cannot open the lock file", path);
    if (!S_ISREG(opened.st_mode) || opened.st_uid != ::geteuid()) {
        throw std::runtime_error("the lock file " + to_text(path) + " is not a regular file of this user");
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) fail("cannot lock", path);
        char text[32] = {};
        if (::pread(fd.get(), text, sizeof text - 1, 0) > 0) holder = parse_holder(text);
        return nullptr;
    }
    if (!still_at_path(fd.get(), path)) {
        files::create_private_directories(path.parent_path());
        return try_lock(path, holder, between);
    }
    // Written before the old text is cut off, so that a reader never finds the file empty.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0 || ::ftruncate(fd.get(), static_cast<off_t>(pid.size())) != 0)
        fail("cannot write the lock file", path);
    return std::make_unique<FileLock>(fd.release());
}

}  // namespace vetra_service_manager::platform::user_lock
