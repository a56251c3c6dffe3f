#include "vetra_service_manager/platform/process_tree.hpp"

namespace vetra_service_manager::platform::process_tree {

std::vector<std::size_t> descendants(const std::vector<Entry>& snapshot, std::uint32_t root_pid,
                                     process_table::Instant root_created) {
    std::vector<std::size_t> found;
    std::vector<bool> taken(snapshot.size(), false);
    // Breadth first: each member of the tree, the root first, adopts the children it has.
    struct Parent {
        std::uint32_t pid;
        process_table::Instant created;
    };
    std::vector<Parent> parents{{root_pid, root_created}};
    for (std::size_t next = 0; next < parents.size(); ++next) {
        const Parent parent = parents[next];
        for (std::size_t i = 0; i < snapshot.size(); ++i) {
            const Entry& entry = snapshot[i];
            // An entry that is its own parent (the idle process) is nobody's child.
            if (taken[i] || entry.pid == entry.parent || entry.parent != parent.pid) continue;
            if (entry.created < parent.created) continue;  // started by an earlier holder of the ID
            taken[i] = true;
            found.push_back(i);
            parents.push_back({entry.pid, entry.created});
        }
    }
    return found;
}

}  // namespace vetra_service_manager::platform::process_tree
