#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <system_error>

#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/files_os.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/tree_removal.hpp"

namespace vetra_service_manager::platform::files {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void fail(int error, const std::string& what, const fs::path& path) {
    throw std::system_error(error, std::generic_category(), what + " " + to_text(path));
}

// Writes all of `content`, retrying short and interrupted writes; 0 or the errno of the failure.
int write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t count = ::write(fd, content.data(), content.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return errno;
        content.remove_prefix(static_cast<std::size_t>(count));
    }
    return 0;
}

// A name no other writer uses: a crashed earlier run may have left ".name.XXXXXX.tmp" behind.
fs::path temporary_beside(const fs::path& path) {
    static std::mt19937_64 random{std::random_device{}()};
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(random()));
    std::string name = ".";
    name += path.filename().native();
    name += suffix;
    return path.parent_path() / name;
}

// lstat() describes a symbolic link itself and unlink() deletes it, so the walk never enters one.
// Something already gone is what a removal wants: never an error.
class PosixFilesystem : public tree_removal::Filesystem {
public:
    tree_removal::Kind kind(const fs::path& path) const override {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) return tree_removal::Kind::missing;
            fail(errno, "Cannot examine", path);
        }
        if (S_ISLNK(info.st_mode)) return tree_removal::Kind::link;
        return S_ISDIR(info.st_mode) ? tree_removal::Kind::directory : tree_removal::Kind::file;
    }

    std::vector<fs::path> entries(const fs::path& directory) const override {
        std::vector<fs::path> found;
        std::error_code ec;
        for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
            found.push_back(it->path());
        }
        if (ec && ec != std::errc::no_such_file_or_directory) fail(ec.value(), "Cannot list", directory);
        return found;
    }

    void remove_file(const fs::path& path) override { unlink(path); }
    void remove_link(const fs::path& path) override { unlink(path); }
    void remove_directory(const fs::path& path) override {
        if (::rmdir(path.c_str()) != 0 && errno != ENOENT) fail(errno, "Cannot delete", path);
    }

private:
    static void unlink(const fs::path& path) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail(errno, "Cannot delete", path);
    }
};

}  // namespace

std::optional<std::string> read_file(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        fail(errno, "Cannot open", path);
    }
    std::string content;
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            const int error = errno;
            ::close(fd);
            fail(error, "Cannot read", path);
        }
        if (count == 0) break;
        content.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return content;
}

std::optional<Range> read_range(const fs::path& path, std::uint64_t from, std::uint64_t to) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        fail(errno, "Cannot open", path);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        fail(error, "Cannot examine", path);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        throw NotRegularFile(path);
    }
    Range range = range_within(static_cast<std::uint64_t>(info.st_size), from, to);
    std::size_t done = 0;
    while (done < range.bytes.size()) {
        const ssize_t count = ::pread(fd, range.bytes.data() + done, range.bytes.size() - done,
                                      static_cast<off_t>(from + done));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            const int error = errno;
            ::close(fd);
            fail(error, "Cannot read", path);
        }
        if (count == 0) break;  // cut short meanwhile
        done += static_cast<std::size_t>(count);
    }
    range.bytes.resize(done);
    ::close(fd);
    return range;
}

void write_file_atomically(const fs::path& path, std::string_view content, fs::perms mode) {
    fs::path temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = temporary_beside(path);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && (errno != EEXIST || attempt == 10)) fail(errno, "Cannot create", temporary);
    }
    int error = write_all(fd, content);
    // The umask took bits away from the mode given to open().
    if (error == 0 && ::fchmod(fd, static_cast<mode_t>(mode)) != 0) error = errno;
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        fail(error, "Cannot write", path);
    }
    // The rename itself lasts only once the directory is on disk.
    const fs::path directory = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
}

}  // namespace vetra_service_manager::platform::files

namespace vetra_service_manager::platform::tree_removal {

Filesystem& system_filesystem() {
    static files::PosixFilesystem filesystem;
    return filesystem;
}

}  // namespace vetra_service_manager::platform::tree_removal
