#pragma once
// Whether a path is the user's alone: what we run and where we write must not be open to anyone
// else, nor may any directory above it, or another user could rename our files aside and put theirs
// in their place. The rule is the one OpenSSH applies to a user's files: from the path up to `/`,
// each existing component belongs to the user or to root and is writable by neither its group nor
// others; a root-owned directory with the sticky bit (like /tmp) may be writable by all above what
// passes itself (the sticky bit keeps others from renaming the user's or root's entries). On Windows, where
// access lists decide, ensure_private_directory checks what we create, and every path passes here.
#include <filesystem>
#include <optional>
#include <string>

namespace vetra_service_manager::platform::path_trust {

// The first offender from the top, in one line ("/x/data is owned by uid 2002", "/x is writable by
// others"), or nullopt when the path is trusted. Components that do not exist yet pass (whoever
// creates them checks them again); a symbolic link at the path itself is refused, never followed;
// links above it are resolved first and their targets judged. A component that cannot be looked
// at is an offender too.
std::optional<std::string> first_untrusted(const std::filesystem::path& path);

// first_untrusted for a program we are about to run: a symbolic link at the path is followed, and
// both the link and the file it leads to must pass.
std::optional<std::string> first_untrusted_program(const std::filesystem::path& path);

}  // namespace vetra_service_manager::platform::path_trust
