#pragma once
// Deleting a directory tree without ever entering a link: the walk behind files::remove_tree and
// files::remove_tree_best_effort on every system (on Windows the standard library's status calls
// follow junctions, so its own removal cannot be used there). The walk is apart from the system
// calls, so that its decisions can be tested on any system.
#include <filesystem>
#include <system_error>
#include <vector>

namespace vetra_service_manager::platform::tree_removal {

// What is at a path itself; a link (on Windows any reparse point: junction, symbolic link) is a
// link whatever it points at.
enum class Kind { missing, file, directory, link };

// The system calls the walk makes; each throws std::system_error when it fails.
class Filesystem {
public:
    virtual ~Filesystem() = default;
    virtual Kind kind(const std::filesystem::path& path) const = 0;
    virtual std::vector<std::filesystem::path> entries(const std::filesystem::path& directory) const = 0;
    virtual void remove_file(const std::filesystem::path& path) = 0;
    // An empty directory.
    virtual void remove_directory(const std::filesystem::path& path) = 0;
    // The link itself, never its target.
    virtual void remove_link(const std::filesystem::path& path) = 0;
};

// This system's own files: lstat() and unlink() on POSIX, the Win32 calls that do not follow a
// reparse point on Windows. Stateless, and so shared.
Filesystem& system_filesystem();

// Deletes `path` and, for a directory, everything below it; a link is deleted as itself. Nothing
// at `path`: nothing to do. Errors of `filesystem` propagate; what was deleted before stays deleted.
void remove_tree(const std::filesystem::path& path, Filesystem& filesystem);

// A path a best-effort removal left: one that resisted, with the error it gave, or a directory that
// stays because something in it does (no error).
struct Left {
    std::filesystem::path path;
    std::error_code error;
    bool operator==(const Left&) const = default;
};

// The same walk, going on past every failure of `filesystem`: what could be deleted is, and the
// paths that stay are returned, deepest first; a directory stays when something in it does.
std::vector<Left> remove_tree_best_effort(const std::filesystem::path& path, Filesystem& filesystem);

}  // namespace vetra_service_manager::platform::tree_removal
