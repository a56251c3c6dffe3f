#pragma once
// How deep the arrays and dictionaries of a property list nest, found without recursion before
// libplist reads it: its readers recurse once per level, and a list nested a few hundred thousand
// levels deep would exhaust the stack.
#include <string_view>

namespace vetra_service_manager::backends::launchd::plist {

// No LaunchAgent or Info.plist comes near it.
inline constexpr int MAX_NESTING = 64;

// Whether arrays and dictionaries (in binary form also sets) nest deeper than MAX_NESTING: counted
// over the tags of XML, over the object references of the binary form. Bytes whose structure this
// cannot follow are left to libplist to refuse.
bool nested_too_deep(std::string_view bytes);

}  // namespace vetra_service_manager::backends::launchd::plist
