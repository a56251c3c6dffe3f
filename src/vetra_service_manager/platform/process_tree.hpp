#pragma once
// Which processes of a snapshot a process started, directly or through its children. Windows never
// re-parents an orphan and reuses process IDs quickly: a parent ID names the parent only when the
// child was created no earlier than it, and a process whose parent has ended is nobody's.
#include <cstdint>
#include <vector>

#include "vetra_service_manager/platform/process_table.hpp"

namespace vetra_service_manager::platform::process_tree {

struct Entry {
    std::uint32_t pid;
    std::uint32_t parent;
    process_table::Instant created;
};

// The indices into `snapshot` of the descendants, at any depth, of the root process (`root_pid`,
// created at `root_created`), parents before their children; the root itself is not among them.
std::vector<std::size_t> descendants(const std::vector<Entry>& snapshot, std::uint32_t root_pid,
                                     process_table::Instant root_created);

}  // namespace vetra_service_manager::platform::process_tree
