#pragma once
// Deleting a directory tree without ever entering a link: the walk behind files::remove_tree on
// Windows, where the standard library's status calls follow junctions. The walk is apart from
// the system calls, so that its decisions can be tested on any system.
#include <filesystem>
#include <vector>

namespace vetra_service_manager::platform::tree_removal {

// What is at a path itself; a link (on Windows any reparse point: junction, symbolic link) is a
// link whatever it points at.
enum class Kind { missing, file, directory, link };

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

// Deletes `path` and, for a directory, everything below it; a link is deleted as itself. Nothing
// at `path`: nothing to do. Errors of `filesystem` propagate; what was deleted before stays deleted.
void remove_tree(const std::filesystem::path& path, Filesystem& filesystem);

}  // namespace vetra_service_manager::platform::tree_removal
