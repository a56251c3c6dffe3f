// Directories for the user alone. mkdir's mode is cut by the umask, so each new directory is given
// its mode afterwards, through a descriptor that cannot be a link swapped in meanwhile.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/path_trust.hpp"

namespace vetra_service_manager::platform::files {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void fail(int error, const char* what, const fs::path& path) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

}  // namespace

void create_private_directories(const fs::path& path) {
    std::vector<fs::path> missing;  // deepest first
    for (fs::path dir = path; !dir.empty(); dir = dir.parent_path()) {
        struct stat info {};
        if (::stat(dir.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) fail(ENOTDIR, "Cannot create directory", path);
            break;
        }
        if (errno != ENOENT) fail(errno, "Cannot create directory", dir);
        missing.push_back(dir);
        if (dir == dir.parent_path()) break;
    }
    for (auto dir = missing.rbegin(); dir != missing.rend(); ++dir) {
        if (::mkdir(dir->c_str(), 0700) != 0) {
            // Someone else made it meanwhile: not ours to change.
            if (errno == EEXIST) continue;
            fail(errno, "Cannot create directory", *dir);
        }
        const int fd = ::open(dir->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) fail(errno, "Cannot open directory", *dir);
        const int error = ::fchmod(fd, 0700) == 0 ? 0 : errno;
        ::close(fd);
        if (error != 0) fail(error, "Cannot set the mode of", *dir);
    }
}

void ensure_private_directory(const fs::path& path) {
    // Judged before anything is made in it, and again once the directory is there: another user
    // may have made one of its missing parts in between.
    if (auto why = path_trust::first_untrusted(path)) throw UnsafeDirectory(path, *why);
    create_private_directories(path);
    if (auto why = path_trust::first_untrusted(path)) throw UnsafeDirectory(path, *why);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) fail(errno, "Cannot check directory", path);
    // Root's own directories pass the chain; the one we keep our files in must be the user's.
    if (info.st_uid != ::geteuid()) throw UnsafeDirectory(path, "it is owned by uid " + std::to_string(info.st_uid));
}

}  // namespace vetra_service_manager::platform::files
