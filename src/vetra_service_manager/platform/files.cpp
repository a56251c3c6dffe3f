#include "vetra_service_manager/platform/files.hpp"

#include <algorithm>
#include <system_error>

#include "vetra_service_manager/platform/files_os.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/tree_removal.hpp"

namespace vetra_service_manager::platform::files {
namespace fs = std::filesystem;

bool exists(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) return false;
    if (ec) throw fs::filesystem_error("Cannot check whether it exists", path, ec);
    return status.type() != fs::file_type::not_found;
}

void remove_tree(const fs::path& path) { tree_removal::remove_tree(path, tree_removal::system_filesystem()); }

std::vector<tree_removal::Left> remove_tree_best_effort(const fs::path& path) {
    return tree_removal::remove_tree_best_effort(path, tree_removal::system_filesystem());
}

Range range_within(std::uint64_t size, std::uint64_t from, std::uint64_t to) {
    Range range;
    range.size = size;
    to = std::min(to, size);
    range.bytes.resize(from < to ? static_cast<std::size_t>(to - from) : 0);
    return range;
}

NotRegularFile::NotRegularFile(const fs::path& path) : std::runtime_error(to_text(path) + " is not a regular file") {}

UnsafeDirectory::UnsafeDirectory(const fs::path& path, const std::string& reason)
    : std::runtime_error("Refusing to use " + to_text(path) + ": " + reason) {}

}  // namespace vetra_service_manager::platform::files
