#pragma once
// Reading and writing the files we own, and questions about paths whose answer must not be guessed.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "vetra_service_manager/platform/tree_removal.hpp"

namespace vetra_service_manager::platform::files {

// Whether something is at `path` (symbolic links followed). Only "no such file or directory"
// (ENOENT, ENOTDIR) means absent: any other failure to look, such as a permission error or a
// symbolic-link loop, throws std::filesystem::filesystem_error, so that an unreadable file is
// never taken for a missing one.
bool exists(const std::filesystem::path& path);

// The whole file as bytes, or nullopt when it does not exist (it may vanish between a check and
// the read). Any other failure throws std::system_error naming the path.
std::optional<std::string> read_file(const std::filesystem::path& path);

// Something at a path we only read from that is not a regular file (a FIFO, a device, a directory).
class NotRegularFile : public std::runtime_error {
public:
    explicit NotRegularFile(const std::filesystem::path& path);
};

// The bytes [from, to) of the regular file at `path` (fewer where it ends sooner) and its size,
// or nullopt when nothing is there. Opened without blocking and checked through the descriptor,
// so that a FIFO or device put there can neither hold us nor be read: anything but a regular file
// throws NotRegularFile. Any other failure throws std::system_error naming the path.
struct Range {
    std::string bytes;
    std::uint64_t size = 0;
};
std::optional<Range> read_range(const std::filesystem::path& path, std::uint64_t from, std::uint64_t to);

// Replaces `path` with `content`: written to a fresh temporary file beside it (created
// exclusively, never through a link), flushed to disk, given `mode` (POSIX permission bits; the
// umask does not apply) and renamed over `path`, then the directory is flushed. A reader sees the
// old file or the new one, never half of one; a link at `path` is replaced, never followed.
// Throws std::system_error naming the path; the temporary file is gone afterwards.
void write_file_atomically(const std::filesystem::path& path, std::string_view content,
                           std::filesystem::perms mode = std::filesystem::perms(0644));

// Deletes `path` and everything below it. A link (on Windows any reparse point: a junction or a
// symbolic link) is deleted as itself and never entered, so nothing outside the tree is touched.
// Nothing at `path`: nothing to do. Throws std::system_error naming the path that resisted; what
// was deleted before stays deleted. The one tree remover: every deletion of a tree goes through it.
void remove_tree(const std::filesystem::path& path);

// remove_tree for clean-ups that go on whatever resists: deletes all it can and returns what it
// could not, deepest first, each that resisted with its error (a directory stays, without one, when
// something in it does). Throws nothing but std::bad_alloc.
std::vector<tree_removal::Left> remove_tree_best_effort(const std::filesystem::path& path);

// Creates `path` and every missing parent for the user alone (POSIX mode 0700 whatever the umask;
// on Windows an access list that grants the user and nobody else). Directories that exist already
// are left as they are. Throws std::filesystem::filesystem_error naming the directory.
void create_private_directories(const std::filesystem::path& path);

// A directory that others could change under us, so that nothing we keep there can be trusted.
class UnsafeDirectory : public std::runtime_error {
public:
    UnsafeDirectory(const std::filesystem::path& path, const std::string& reason);
};

// create_private_directories(path), then makes sure the directory is ours alone: owned by the user,
// and it and every directory above it trusted as path_trust::first_untrusted says, before and after
// the creation (on Windows: owned by the user, SYSTEM or Administrators, and no other account
// allowed to write). Throws UnsafeDirectory saying why not.
void ensure_private_directory(const std::filesystem::path& path);

}  // namespace vetra_service_manager::platform::files
