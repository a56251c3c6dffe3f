#include "vetra_service_manager/platform/tree_removal.hpp"

#include <system_error>

namespace vetra_service_manager::platform::tree_removal {
namespace fs = std::filesystem;
namespace {

// The walk of both: `left` is null when the first failure ends it, else where what stays is noted.
void walk(const fs::path& path, Filesystem& filesystem, std::vector<Left>* left) {
    try {
        switch (filesystem.kind(path)) {
        case Kind::missing:
            return;
        case Kind::file:
            return filesystem.remove_file(path);
        case Kind::link:
            return filesystem.remove_link(path);
        case Kind::directory:
            break;
        }
        const std::size_t stayed = left ? left->size() : 0;
        try {
            for (const auto& entry : filesystem.entries(path)) walk(entry, filesystem, left);
        } catch (const std::system_error&) {
            if (!left) throw;
            // Unreadable, it may still be empty, and then it can be deleted.
        }
        // Something in it stays, and so does the directory: deleting it could only fail.
        if (left && left->size() != stayed) return left->push_back({path, {}});
        filesystem.remove_directory(path);
    } catch (const std::system_error& error) {
        if (!left) throw;
        left->push_back({path, error.code()});
    }
}

}  // namespace

void remove_tree(const fs::path& path, Filesystem& filesystem) { walk(path, filesystem, nullptr); }

std::vector<Left> remove_tree_best_effort(const fs::path& path, Filesystem& filesystem) {
    std::vector<Left> left;
    walk(path, filesystem, &left);
    return left;
}

}  // namespace vetra_service_manager::platform::tree_removal
