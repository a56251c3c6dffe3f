// Each component is looked at with lstat(2), never through a link. Links above the path are
// resolved first (realpath, as OpenSSH does), so that the directories judged are the ones the
// system walks through; one swapped in afterwards sits in a directory that fails the check itself.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "vetra_service_manager/platform/path_trust.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::platform::path_trust {
namespace fs = std::filesystem;
namespace {

struct Component {
    fs::path path;
    struct stat info {};
};

// Why `info`, the component at `path`, lets someone else change it or what lies below it. `leaf`:
// it is the path itself, where others must not even add entries.
std::optional<std::string> judge(const fs::path& path, const struct stat& info, bool leaf) {
    if (info.st_uid != ::geteuid() && info.st_uid != 0) {
        return to_text(path) + " is owned by uid " + std::to_string(info.st_uid);
    }
    // Like /tmp: others may add entries but not rename or delete the user's or root's, so what lies
    // below is safe once it passes itself (another user's is refused as theirs); one not made yet
    // is checked by whoever makes it.
    const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0 && info.st_uid == 0;
    if (sticky && !leaf) return std::nullopt;
    if ((info.st_mode & S_IWOTH) != 0) return to_text(path) + " is writable by others";
    if ((info.st_mode & S_IWGRP) != 0) return to_text(path) + " is writable by its group";
    return std::nullopt;
}

// `path` with the links in its directories resolved, as far as they exist; the last name kept.
fs::path resolved(const fs::path& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec).lexically_normal();
    if (absolute.has_parent_path() && absolute.filename().empty()) absolute = absolute.parent_path();
    if (absolute == absolute.root_path()) return absolute;
    fs::path missing;  // the names below the deepest directory that exists
    fs::path existing = absolute.parent_path();
    struct stat info {};
    while (existing != existing.root_path() && ::stat(existing.c_str(), &info) != 0) {
        missing = existing.filename() / missing;
        existing = existing.parent_path();
    }
    const fs::path real = fs::canonical(existing, ec);
    return (ec ? existing : real) / missing / absolute.filename();
}

std::optional<std::string> check(const fs::path& given, bool follow_leaf) {
    const fs::path path = resolved(given);
    std::vector<Component> chain;  // from the root down, as far as it exists
    fs::path walked;
    for (const auto& name : path) {
        walked /= name;
        Component component{walked};
        if (::lstat(walked.c_str(), &component.info) != 0) {
            // Not there yet, or a file in the way that the creation will report.
            if (errno == ENOENT || errno == ENOTDIR) break;
            return to_text(walked) + " cannot be examined: " + std::strerror(errno);
        }
        const bool leaf = walked == path;
        if (S_ISLNK(component.info.st_mode) && !(leaf && follow_leaf)) {
            return to_text(walked) + " is a symbolic link";
        }
        chain.push_back(component);
    }
    for (std::size_t i = 0; i < chain.size(); ++i) {
        // A link's own mode means nothing; who may replace it is its directory's question.
        if (S_ISLNK(chain[i].info.st_mode)) continue;
        if (auto why = judge(chain[i].path, chain[i].info, chain[i].path == path)) return why;
    }
    if (chain.empty() || chain.back().path != path || !S_ISLNK(chain.back().info.st_mode)) return std::nullopt;
    std::error_code ec;
    const fs::path target = fs::canonical(path, ec);
    if (ec) return to_text(path) + " leads nowhere: " + ec.message();
    return check(target, false);
}

}  // namespace

std::optional<std::string> first_untrusted(const fs::path& path) { return check(path, false); }
std::optional<std::string> first_untrusted_program(const fs::path& path) { return check(path, true); }

}  // namespace vetra_service_manager::platform::path_trust
