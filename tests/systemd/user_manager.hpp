#pragma once
// A private systemd user manager for one test: /lib/systemd/systemd --user in a mount namespace of
// its own (a tmpfs over /run/systemd, so the host's manager is never seen or touched), with the
// given HOME and XDG directories. The test process is its parent: the destructor stops it and
// waits for it, and it receives SIGTERM should the test process die first. Run for another `user`,
// the manager runs as that uid in a cgroup of its own delegated to it (systemd moves itself within
// it), and the home and runtime directories are given to it.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vsm_systemd {

class UserManager {
public:
    // Starts the manager and waits until its private socket answers. Check ready() afterwards:
    // where this cannot be done (not root, no mount namespaces) skip_reason() says why.
    UserManager(const std::filesystem::path& home, const std::filesystem::path& runtime_dir,
                std::optional<uid_t> user = std::nullopt);
    ~UserManager();
    UserManager(const UserManager&) = delete;
    UserManager& operator=(const UserManager&) = delete;

    bool ready() const { return !skip_reason_; }
    const std::string& skip_reason() const { return *skip_reason_; }
    pid_t pid() const { return pid_; }

private:
    // One manager at a time on the whole machine, not only within one ctest run (its resource
    // lock): managers started from one cgroup share it, and the units of one would be stopped by
    // the other's, two suites at once (a build and its sanitizer build) included.
    class MachineWideTurn {
    public:
        MachineWideTurn();
        ~MachineWideTurn();
        MachineWideTurn(const MachineWideTurn&) = delete;
        MachineWideTurn& operator=(const MachineWideTurn&) = delete;

    private:
        int fd_ = -1;
    };

    MachineWideTurn turn_;  // first: released only after the manager is gone
    pid_t pid_ = -1;
    std::vector<std::filesystem::path> cgroups_;  // delegated to `user`, removed after the manager
    std::optional<std::string> skip_reason_;
};

}  // namespace vsm_systemd

// Skips the current test, loudly, unless the manager is running.
#define VSM_REQUIRE_USER_MANAGER(manager)                                                            \
    do {                                                                                             \
        if (!(manager).ready()) {                                                                    \
            std::fprintf(stderr, "SKIPPED: no private systemd user manager: %s\n",                   \
                         (manager).skip_reason().c_str());                                           \
            GTEST_SKIP() << "no private systemd user manager: " << (manager).skip_reason();          \
        }                                                                                            \
    } while (false)
