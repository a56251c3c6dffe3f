// POSIX child processes: posix_spawnp, a poll loop over both pipes, SIGKILL and waitpid on time-out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <utility>

#include "vetra_service_manager/platform/process.hpp"

extern char** environ;

namespace vetra_service_manager::platform::process {
namespace {

using Clock = std::chrono::steady_clock;

std::error_code errno_code(int value) { return {value, std::generic_category()}; }

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read, write;
};

Pipe make_pipe() {
    int fds[2];
#if defined(__APPLE__)
    if (::pipe(fds) != 0) throw std::system_error(errno_code(errno), "pipe");
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#else
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno_code(errno), "pipe2");
#endif
    return {Fd(fds[0]), Fd(fds[1])};
}

// argv as the C API wants it; the strings stay owned by the caller's vector.
std::vector<char*> c_argv(const std::vector<std::string>& argv) {
    std::vector<char*> result;
    result.reserve(argv.size() + 1);
    for (const auto& arg : argv) result.push_back(const_cast<char*>(arg.c_str()));
    result.push_back(nullptr);
    return result;
}

class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }
    void null_stream(int fd, int flags) { posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null", flags, 0); }
    void dup_to(int from, int to) { posix_spawn_file_actions_adddup2(&actions_, from, to); }
    void chdir(const std::string& dir) { posix_spawn_file_actions_addchdir_np(&actions_, dir.c_str()); }
    // Our own descriptors are close-on-exec; this also closes any a library left inheritable.
    void close_others() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
#endif
    }

private:
    posix_spawn_file_actions_t actions_;
};

class Attributes {
public:
    explicit Attributes(bool own_process_group) {
        posix_spawnattr_init(&attr_);
        short flags = 0;
#if defined(__APPLE__)
        flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
        if (own_process_group) {
            flags |= POSIX_SPAWN_SETPGROUP;
            posix_spawnattr_setpgroup(&attr_, 0);
        }
        posix_spawnattr_setflags(&attr_, flags);
    }
    ~Attributes() { posix_spawnattr_destroy(&attr_); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    posix_spawnattr_t* get() { return &attr_; }

private:
    posix_spawnattr_t attr_;
};

pid_t spawn(const std::vector<std::string>& argv, FileActions& actions, Attributes& attributes) {
    if (argv.empty()) throw StartError(errno_code(EINVAL), "", "empty argument vector");
    auto args = c_argv(argv);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], actions.get(), attributes.get(), args.data(), environ);
    if (rc != 0) throw StartError(errno_code(rc), argv[0]);
    return pid;
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return -1;
}

int wait_blocking(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return decode_status(status);
}

// Waits for the child until `deadline`; nullopt when it is still running then.
std::optional<int> wait_until(pid_t pid, std::optional<Clock::time_point> deadline) {
    if (!deadline) return wait_blocking(pid);
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return decode_status(status);
        if (done < 0 && errno != EINTR) return -1;
        auto now = Clock::now();
        if (now >= *deadline) return std::nullopt;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, *deadline - now));
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
}

int kill_and_reap(pid_t pid, bool whole_group) {
    if (whole_group) ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    return wait_blocking(pid);
}

std::optional<Clock::time_point> deadline_for(Timeout timeout) {
    if (!timeout) return std::nullopt;
    return Clock::now() + *timeout;
}

}  // namespace

Captured run_captured(const std::vector<std::string>& argv, Timeout timeout) {
    const auto deadline = deadline_for(timeout);
    Pipe out = make_pipe();
    Pipe err = make_pipe();
    FileActions actions;
    actions.null_stream(STDIN_FILENO, O_RDONLY);
    actions.dup_to(out.write.get(), STDOUT_FILENO);
    actions.dup_to(err.write.get(), STDERR_FILENO);
    actions.close_others();
    // Its own process group, so that a time-out also ends the grandchildren holding the pipes.
    Attributes attributes(/*own_process_group=*/true);
    const pid_t pid = spawn(argv, actions, attributes);
    out.write.reset();
    err.write.reset();

    Captured result;
    struct Stream {
        Fd& fd;
        std::string& text;
    };
    Stream streams[] = {{out.read, result.out}, {err.read, result.err}};
    char buffer[65536];
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        Stream* by_index[2];
        for (auto& stream : streams) {
            if (stream.fd.get() < 0) continue;
            fds[count] = {stream.fd.get(), POLLIN, 0};
            by_index[count++] = &stream;
        }
        if (count == 0) break;
        int wait_ms = -1;
        if (deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) {
                result.exit_code = kill_and_reap(pid, true);
                result.timed_out = true;
                return result;
            }
            wait_ms = static_cast<int>(std::min<long long>(left, 1 << 30));
        }
        int ready = ::poll(fds, count, wait_ms);
        if (ready < 0 && errno != EINTR) {
            kill_and_reap(pid, true);
            throw std::system_error(errno_code(errno), "poll");
        }
        for (nfds_t i = 0; ready > 0 && i < count; ++i) {
            if (fds[i].revents == 0) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                by_index[i]->text.append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                by_index[i]->fd.reset();
            }
        }
    }
    if (auto code = wait_until(pid, deadline)) {
        result.exit_code = *code;
    } else {
        result.exit_code = kill_and_reap(pid, true);
        result.timed_out = true;
    }
    return result;
}

Completed run_inherited(const std::vector<std::string>& argv, Timeout timeout) {
    const auto deadline = deadline_for(timeout);
    FileActions actions;
    actions.close_others();
    // Same process group as ours: Ctrl-C at the terminal reaches the child too.
    Attributes attributes(/*own_process_group=*/false);
    const pid_t pid = spawn(argv, actions, attributes);
    Completed result;
    if (auto code = wait_until(pid, deadline)) {
        result.exit_code = *code;
    } else {
        result.exit_code = kill_and_reap(pid, false);
        result.timed_out = true;
    }
    return result;
}

void start_detached(const std::vector<std::string>& argv, const std::filesystem::path& working_directory,
                    std::uint32_t /*windows_creation_flags*/) {
    if (argv.empty()) throw StartError(errno_code(EINVAL), "", "empty argument vector");
    // posix_spawn reports a missing working directory as ENOENT, indistinguishable from a missing
    // program: check it first so that the error names the right culprit.
    std::error_code ec;
    if (!std::filesystem::is_directory(working_directory, ec)) {
        throw StartError(errno_code(std::filesystem::exists(working_directory) ? ENOTDIR : ENOENT), argv[0],
                         "working directory " + working_directory.string() + ": " +
                             errno_code(std::filesystem::exists(working_directory) ? ENOTDIR : ENOENT).message());
    }
    FileActions actions;
    actions.null_stream(STDIN_FILENO, O_RDONLY);
    actions.null_stream(STDOUT_FILENO, O_WRONLY);
    actions.null_stream(STDERR_FILENO, O_WRONLY);
    actions.chdir(working_directory.string());
    actions.close_others();
    Attributes attributes(/*own_process_group=*/false);
    auto args = c_argv(argv);
    Pipe report = make_pipe();

    // Double start: an intermediate child starts a new session, spawns the program and exits at
    // once, so the program is adopted by init (no zombie of ours) and outlives us.
    const pid_t middle = ::fork();
    if (middle < 0) throw StartError(errno_code(errno), argv[0]);
    if (middle == 0) {
        ::setsid();
        pid_t pid = -1;
        int rc = posix_spawnp(&pid, args[0], actions.get(), attributes.get(), args.data(), environ);
        (void)!::write(report.write.get(), &rc, sizeof rc);
        ::_exit(0);
    }
    report.write.reset();
    int rc = 0;
    ssize_t n;
    do {
        n = ::read(report.read.get(), &rc, sizeof rc);
    } while (n < 0 && errno == EINTR);
    wait_blocking(middle);
    if (n != static_cast<ssize_t>(sizeof rc)) throw StartError(errno_code(ECHILD), argv[0]);
    if (rc != 0) throw StartError(errno_code(rc), argv[0]);
}

}  // namespace vetra_service_manager::platform::process
