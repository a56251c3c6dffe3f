#include "systemd/user_manager.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace vsm_systemd {
namespace fs = std::filesystem;
namespace {

constexpr const char* SYSTEMD = "/lib/systemd/systemd";

// Reports the failed step and errno to the parent through `fd`, then ends the child.
[[noreturn]] void child_fail(int fd, int step) {
    const int report[2] = {step, errno};
    [[maybe_unused]] auto ignored = ::write(fd, report, sizeof report);
    ::_exit(127);
}

const char* step_name(int step) {
    static const char* names[] = {"unshare(CLONE_NEWNS)", "making / private", "mounting a tmpfs over /run/systemd",
                                  "creating /run/systemd/system", "executing /lib/systemd/systemd",
                                  "entering the delegated cgroup", "becoming the user"};
    return names[step];
}

// The hierarchies systemd tracks its processes in: the cgroup2 one, and on a hybrid machine the
// named v1 one beside it.
std::vector<fs::path> hierarchies() {
    if (fs::exists("/sys/fs/cgroup/cgroup.procs")) return {"/sys/fs/cgroup"};
    std::vector<fs::path> found;
    for (const char* name : {"unified", "systemd"}) {
        if (fs::exists(fs::path("/sys/fs/cgroup") / name / "cgroup.procs")) found.push_back(fs::path("/sys/fs/cgroup") / name);
    }
    return found;
}

// Depth first: a cgroup goes only once it has no children (and no processes).
void remove_cgroup(const fs::path& cgroup) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(cgroup, error)) {
        if (entry.is_directory(error) && !entry.is_symlink(error)) remove_cgroup(entry.path());
    }
    ::rmdir(cgroup.c_str());
}

// The socket file appears at bind(), a moment before the manager listens on it: only a connection
// that is taken says it answers.
bool listening(const fs::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socket.string();
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool taken = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return taken;
}

bool reaped(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

UserManager::MachineWideTurn::MachineWideTurn()
    : fd_(::open("/run/lock/vsm-private-systemd-user-manager", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);  // without /run/lock (not root): as before, ctest's lock only
}

UserManager::MachineWideTurn::~MachineWideTurn() {
    if (fd_ >= 0) ::close(fd_);
}

UserManager::UserManager(const fs::path& home, const fs::path& runtime_dir, std::optional<uid_t> user) {
    if (::geteuid() != 0) {
        skip_reason_ = "needs root (a mount namespace and a tmpfs over /run/systemd)";
        return;
    }
    if (::access(SYSTEMD, X_OK) != 0) {
        skip_reason_ = std::string(SYSTEMD) + " is missing (scripts/deps installs systemd)";
        return;
    }
    fs::create_directories(home / ".config");
    fs::create_directories(home / ".local/share");
    fs::create_directories(runtime_dir);
    fs::permissions(runtime_dir, fs::perms::owner_all);
    std::vector<int> cgroup_procs;  // opened here, entered by the child
    if (user) {
        for (const fs::path& dir : {home, home / ".config", home / ".local", home / ".local/share", runtime_dir}) {
            if (::chown(dir.c_str(), *user, *user) != 0) throw std::system_error(errno, std::generic_category(), dir.string());
        }
        for (const auto& hierarchy : hierarchies()) {
            const fs::path cgroup = hierarchy / ("vsm-user-" + std::to_string(*user) + "-" + std::to_string(::getpid()));
            fs::create_directory(cgroup);
            cgroups_.push_back(cgroup);
            for (const char* file : {"", "cgroup.procs", "cgroup.threads", "cgroup.subtree_control", "tasks"}) {
                const fs::path path = cgroup / file;
                if (fs::exists(path) && ::chown(path.c_str(), *user, *user) != 0) {
                    throw std::system_error(errno, std::generic_category(), path.string());
                }
            }
            const int fd = ::open((cgroup / "cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) throw std::system_error(errno, std::generic_category(), (cgroup / "cgroup.procs").string());
            cgroup_procs.push_back(fd);
        }
    }

    // Everything the child needs is prepared before fork(): after it, only system calls.
    std::vector<std::string> environment{"HOME=" + home.string(),
                                         "XDG_CONFIG_HOME=" + (home / ".config").string(),
                                         "XDG_DATA_HOME=" + (home / ".local/share").string(),
                                         "XDG_RUNTIME_DIR=" + runtime_dir.string(),
                                         "PATH=/usr/local/bin:/usr/bin:/bin",
                                         "LANG=C.UTF-8"};
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    char arg0[] = "systemd";
    char arg1[] = "--user";
    char* argv[] = {arg0, arg1, nullptr};
    const std::string log = (runtime_dir.parent_path() / "user-manager.log").string();

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        if (::unshare(CLONE_NEWNS) != 0) child_fail(report[1], 0);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) child_fail(report[1], 1);
        if (::mount("tmpfs", "/run/systemd", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
            child_fail(report[1], 2);
        }
        // systemd refuses to run a user instance on a system it does not believe it manages.
        if (::mkdir("/run/systemd/system", 0755) != 0) child_fail(report[1], 3);
        for (const int fd : cgroup_procs) {
            if (::write(fd, "0", 1) != 1) child_fail(report[1], 5);
        }
        if (user && (::setgroups(0, nullptr) != 0 || ::setgid(*user) != 0 || ::setuid(*user) != 0)) {
            child_fail(report[1], 6);
        }
        ::execve(SYSTEMD, argv, envp.data());
        child_fail(report[1], 4);
    }
    ::close(report[1]);
    for (const int fd : cgroup_procs) ::close(fd);
    int failure[2] = {0, 0};
    const auto count = ::read(report[0], failure, sizeof failure);
    ::close(report[0]);
    if (count == sizeof failure) {
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        skip_reason_ = std::string(step_name(failure[0])) + " failed: " + std::strerror(failure[1]);
        return;
    }
    const fs::path socket = runtime_dir / "systemd" / "private";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!listening(socket)) {
        if (reaped(pid_)) {
            pid_ = -1;
            for (const auto& cgroup : cgroups_) remove_cgroup(cgroup);
            throw std::runtime_error("the private systemd user manager ended at start-up; see " + log);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            for (const auto& cgroup : cgroups_) remove_cgroup(cgroup);
            throw std::runtime_error("the private systemd user manager did not come up in 20 s; see " + log);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

UserManager::~UserManager() {
    if (pid_ > 0) {
        // SIGTERM: the manager stops its units and exits.
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!reaped(pid_)) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    for (const auto& cgroup : cgroups_) remove_cgroup(cgroup);
}

}  // namespace vsm_systemd
