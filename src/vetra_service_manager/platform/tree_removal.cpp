#include "vetra_service_manager/platform/tree_removal.hpp"

namespace vetra_service_manager::platform::tree_removal {

void remove_tree(const std::filesystem::path& path, Filesystem& filesystem) {
    switch (filesystem.kind(path)) {
    case Kind::missing:
        return;
    case Kind::file:
        return filesystem.remove_file(path);
    case Kind::link:
        return filesystem.remove_link(path);
    case Kind::directory:
        for (const auto& entry : filesystem.entries(path)) remove_tree(entry, filesystem);
        return filesystem.remove_directory(path);
    }
}

}  // namespace vetra_service_manager::platform::tree_removal
