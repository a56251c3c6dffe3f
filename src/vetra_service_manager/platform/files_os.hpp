#pragma once
// What the read_range of each operating system shares.
#include <cstdint>

#include "vetra_service_manager/platform/files.hpp"

namespace vetra_service_manager::platform::files {

// For a file of `size` bytes: that size, and room for the part of [from, to) that lies within it.
Range range_within(std::uint64_t size, std::uint64_t from, std::uint64_t to);

}  // namespace vetra_service_manager::platform::files
