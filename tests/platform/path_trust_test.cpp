// What counts as the user's alone, judged on real directories: another user's (uid 2002) ownership,
// group or world write access, and root's sticky directories, at every depth of the path.
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "support/test_support.hpp"
#include "vetra_service_manager/platform/path_trust.hpp"

namespace {

namespace fs = std::filesystem;
namespace path_trust = vetra_service_manager::platform::path_trust;

constexpr uid_t OTHER_USER = 2002;

TEST(PathTrust, EveryDirectoryUpToTheRootIsJudged) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root to give directories to another user";
    struct Case {
        const char* name;
        std::function<void(const fs::path& top)> arrange;  // top/a/b/leaf exists, each 0755, ours
        const char* target;                                // below top
        std::optional<std::string> reason;                 // after "<top>/"
        bool program = false;
    };
    const auto mode = [](const fs::path& path, int bits) { fs::permissions(path, fs::perms(bits)); };
    const auto owner = [](const fs::path& path, uid_t uid) { ASSERT_EQ(::lchown(path.c_str(), uid, -1), 0); };
    const Case cases[] = {
        {"all ours", [](const fs::path&) {}, "a/b/leaf", std::nullopt},
        {"not there yet", [](const fs::path&) {}, "a/b/new/deeper", std::nullopt},
        {"ancestor of another user", [&](const fs::path& top) { owner(top / "a", OTHER_USER); }, "a/b/leaf",
         "a is owned by uid 2002"},
        {"the deepest existing one another user's", [&](const fs::path& top) { owner(top / "a/b", OTHER_USER); },
         "a/b/new", "a/b is owned by uid 2002"},
        {"group-writable ancestor", [&](const fs::path& top) { mode(top / "a", 0775); }, "a/b/leaf",
         "a is writable by its group"},
        {"world-writable leaf", [&](const fs::path& top) { mode(top / "a/b/leaf", 0757); }, "a/b/leaf",
         "a/b/leaf is writable by others"},
        {"root's sticky directory above ours", [&](const fs::path& top) { mode(top / "a", 01777); }, "a/b/leaf",
         std::nullopt},
        {"sticky, but another user's", [&](const fs::path& top) { mode(top / "a", 01777), owner(top / "a", OTHER_USER); },
         "a/b/leaf", "a is owned by uid 2002"},
        {"sticky above another user's", [&](const fs::path& top) { mode(top / "a", 01777), owner(top / "a/b", OTHER_USER); },
         "a/b/leaf", "a/b is owned by uid 2002"},
        {"sticky directory as the path itself", [&](const fs::path& top) { mode(top / "a/b/leaf", 01777); },
         "a/b/leaf", "a/b/leaf is writable by others"},
        {"a link as the path", [](const fs::path& top) { fs::create_directory_symlink(top / "a/b/leaf", top / "link"); },
         "link", "link is a symbolic link"},
        {"a link above: its target judged",
         [&](const fs::path& top) {
             fs::create_directories(top / "open/x");
             mode(top / "open", 0777);
             fs::create_directory_symlink(top / "open", top / "a/b/via");
         },
         "a/b/via/x", "open is writable by others"},
        {"a program's link: followed to a trusted file",
         [](const fs::path& top) { fs::create_symlink(top / "a/b/leaf", top / "a/runner"); }, "a/runner", std::nullopt,
         true},
        {"a program's link: the file it leads to judged",
         [&](const fs::path& top) {
             fs::create_directories(top / "theirs");
             vsm_test::write_file(top / "theirs/runner", "");
             owner(top / "theirs", OTHER_USER);
             fs::create_symlink(top / "theirs/runner", top / "a/runner");
         },
         "a/runner", "theirs is owned by uid 2002", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vsm_test::TempDir dir;
        const fs::path top = dir / "top";
        fs::create_directories(top / "a/b/leaf");
        for (const fs::path& each : {top, top / "a", top / "a/b", top / "a/b/leaf"}) mode(each, 0755);
        c.arrange(top);
        const fs::path target = top / c.target;
        const auto found = c.program ? path_trust::first_untrusted_program(target) : path_trust::first_untrusted(target);
        EXPECT_EQ(found, c.reason ? std::optional((top / *c.reason).string()) : std::nullopt);
    }
}

}  // namespace
