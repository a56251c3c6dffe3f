// POSIX child processes: posix_spawn, a poll loop over both pipes, and a child's process group
// ended (SIGTERM, then SIGKILL) at its time-out or on request.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include "vetra_service_manager/platform/process.hpp"
#include "vetra_service_manager/platform/running_children.hpp"

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
    // Our standard streams, named so that they survive a spawn that closes every descriptor it is
    // not told to keep (Apple's CLOEXEC_DEFAULT); a dup onto itself also clears close-on-exec.
    // One we have closed stays closed: naming it would fail the spawn.
    void inherit_standard_streams() {
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
            if (::fcntl(fd, F_GETFD) == -1) continue;
#if defined(__APPLE__)
            posix_spawn_file_actions_addinherit_np(&actions_, fd);
#else
            posix_spawn_file_actions_adddup2(&actions_, fd, fd);
#endif
        }
    }
    // The child's working directory, through posix_spawn's chdir action where the C library has
    // one (glibc 2.29, macOS 10.15): it is looked up at run time, since the release binaries are
    // built for glibc 2.28. False without it.
    bool change_directory(const std::string& directory) {
        using AddChdir = int (*)(posix_spawn_file_actions_t*, const char*);
        static const auto add_chdir =
            reinterpret_cast<AddChdir>(::dlsym(RTLD_DEFAULT, "posix_spawn_file_actions_addchdir_np"));
        return add_chdir && add_chdir(&actions_, directory.c_str()) == 0;
    }
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
        // Nothing of our signal handling reaches the child: we may block signals for a watcher
        // thread or ignore some, and an ignored disposition would otherwise survive the exec.
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        posix_spawnattr_setsigmask(&attr_, &none);
        posix_spawnattr_setsigdefault(&attr_, &all);
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

// The program `name` in the first directory of PATH that holds it as an executable file. Only
// absolute entries are searched: an empty or relative one would mean the current directory, where
// anyone may have put a program of that name. Without PATH, the system's default search path.
std::string search_path(const std::string& name) {
    const char* variable = std::getenv("PATH");
    std::string path = variable ? variable : "";
    if (!variable) {
        path.resize(::confstr(_CS_PATH, nullptr, 0));
        if (!path.empty()) ::confstr(_CS_PATH, path.data(), path.size());
        path.resize(path.find('\0') == std::string::npos ? path.size() : path.find('\0'));
    }
    int error = ENOENT;
    for (std::size_t start = 0; !name.empty() && start <= path.size();) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        std::string dir = path.substr(start, end - start);
        start = end + 1;
        if (dir.empty() || dir.front() != '/') continue;
        if (dir.back() != '/') dir += '/';
        const std::string candidate = dir + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        error = EACCES;  // as the shell: go on looking, report this if nothing better turns up
    }
    throw StartError(errno_code(error), name);
}

// What to execute for argv[0]: a bare name found on the search path, a path made absolute, so
// that it is that file and no other, whatever a working directory change.
std::string executable(const std::vector<std::string>& argv) {
    if (argv.empty()) throw StartError(errno_code(EINVAL), "", "empty argument vector");
    if (argv[0].find('/') == std::string::npos) return search_path(argv[0]);
    std::error_code ec;
    auto path = std::filesystem::absolute(argv[0], ec);
    if (ec) throw StartError(ec, argv[0]);
    return path.string();
}

// Always a path by now: posix_spawn never searches.
int spawn_raw(pid_t* pid, const std::string& program, FileActions& actions, Attributes& attributes, char** args) {
    return posix_spawn(pid, program.c_str(), actions.get(), attributes.get(), args, environ);
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return -1;
}

[[noreturn]] void throw_wait_error(int error, const std::string& program) {
    throw std::system_error(errno_code(error), "Cannot wait for " + program);
}

// Only reaps; for the intermediate child of start_detached, which exits at once.
void reap_quietly(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// posix_spawn reports a missing working directory as ENOENT, indistinguishable from a missing
// program: it is checked first so that the error names the right culprit.
void check_working_directory(const std::vector<std::string>& argv, const std::filesystem::path& working_directory) {
    std::error_code ec;
    if (std::filesystem::is_directory(working_directory, ec)) return;
    const auto code = errno_code(std::filesystem::exists(working_directory, ec) ? ENOTDIR : ENOENT);
    throw StartError(code, argv[0], "working directory " + working_directory.string() + ": " + code.message());
}

constexpr auto GRACE = std::chrono::seconds(2);
constexpr auto LONGEST_PAUSE = std::chrono::milliseconds(20);

class Child;
std::mutex running_mutex;
std::vector<Child*> running;  // every child a call is waiting for

// A started child that a call waits for, known to terminate_running_children until it is reaped.
// It is reaped only after it has left that list, so a signal sent from the list never reaches a
// process that merely reuses its id.
class Child {
public:
    Child(const std::vector<std::string>& argv, FileActions& actions, Attributes& attributes, bool own_group,
          const WorkingDirectory& working_directory)
        : path_(executable(argv)), program_(argv[0]), own_group_(own_group) {
        auto args = c_argv(argv);
        if (working_directory) check_working_directory(argv, *working_directory);
        const std::string directory = working_directory ? working_directory->string() : std::string();
        const bool moved = working_directory && !actions.change_directory(directory);
        std::lock_guard lock(running_mutex);
        // Without the chdir action the child inherits ours, so we move there for the spawn and come
        // back; every spawn holds this lock, and the paths we use elsewhere are all absolute.
        Fd back(moved ? ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
        if (moved && (back.get() < 0 || ::chdir(directory.c_str()) != 0)) throw StartError(errno_code(errno), argv[0]);
        const int rc = spawn_raw(&pid_, path_, actions, attributes, args.data());
        if (moved && ::fchdir(back.get()) != 0) std::abort();  // nowhere safe to go on from
        if (rc != 0) throw StartError(errno_code(rc), argv[0]);
        running.push_back(this);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Leaving early (an exception): the child must not outlive the call.
    ~Child() {
        if (!reaped_) {
            try {
                end();
            } catch (const std::system_error&) {
            }
        }
    }

    // Signals at once, so that a caller about to exit leaves nothing running; the waiting call
    // then finishes the job (grace period, SIGKILL, reaping).
    void request_stop() {
        stop_requested_ = true;
        send(SIGTERM);
        send(SIGCONT);
    }
    bool stop_requested() const { return stop_requested_; }
    void send(int number) const { ::kill(own_group_ ? -pid_ : pid_, number); }

    // True once the child has ended; it stays unreaped (a zombie holding its id and group).
    bool ended() {
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            forget();
            reaped_ = true;  // gone already (an ignored SIGCHLD reaps for us): nothing to signal
            throw_wait_error(error, program_);
        }
        return info.si_pid == pid_;
    }

    // Waits until the child ends, `deadline` passes or a stop is requested. The status, or nullopt
    // at the deadline.
    std::optional<int> wait(std::optional<Clock::time_point> deadline) {
        auto pause = std::chrono::microseconds(200);
        for (;;) {
            if (ended()) return reap();
            if (stop_requested()) return end();
            const auto now = Clock::now();
            if (deadline && now >= *deadline) return std::nullopt;
            auto nap = std::chrono::duration_cast<Clock::duration>(pause);
            if (deadline) nap = std::min<Clock::duration>(nap, *deadline - now);
            std::this_thread::sleep_for(nap);
            pause = std::min<std::chrono::microseconds>(pause * 2, LONGEST_PAUSE);
        }
    }

    // Ends the child, with its whole process group when it has one: SIGTERM, a grace period, then
    // SIGKILL for whatever is left (a stopped child is woken to take the first). Returns its status.
    int end() {
        send(SIGTERM);
        send(SIGCONT);
        const auto give_up = Clock::now() + GRACE;
        while (!ended() && Clock::now() < give_up) std::this_thread::sleep_for(LONGEST_PAUSE);
        send(SIGKILL);
        return reap();
    }

    int reap() {
        forget();
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0) {
            if (errno == EINTR) continue;
            reaped_ = true;
            throw_wait_error(errno, program_);
        }
        reaped_ = true;
        return decode_status(status);
    }

private:
    void forget() {
        std::lock_guard lock(running_mutex);
        std::erase(running, this);
    }

    std::string path_;
    std::string program_;
    bool own_group_;
    pid_t pid_ = -1;
    std::atomic<bool> stop_requested_ = false;
    bool reaped_ = false;
};

std::optional<Clock::time_point> deadline_for(Timeout timeout) {
    if (!timeout) return std::nullopt;
    return Clock::now() + *timeout;
}

}  // namespace

Captured run_captured(const std::vector<std::string>& argv, Timeout timeout, const WorkingDirectory& working_directory) {
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
    Child child(argv, actions, attributes, /*own_group=*/true, working_directory);
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
        if (child.stop_requested()) {
            result.exit_code = child.end();
            return result;
        }
        // Short naps, so that a request to stop is seen even while the child is silent.
        auto wait = std::chrono::milliseconds(50);
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) {
                result.exit_code = child.end();
                result.timed_out = true;
                return result;
            }
            wait = std::min(wait, left);
        }
        int ready = ::poll(fds, count, static_cast<int>(wait.count()));
        if (ready < 0 && errno != EINTR) throw std::system_error(errno_code(errno), "poll");
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
    if (auto code = child.wait(deadline)) {
        result.exit_code = *code;
    } else {
        result.exit_code = child.end();
        result.timed_out = true;
    }
    return result;
}

Completed run_inherited(const std::vector<std::string>& argv, Timeout timeout, const WorkingDirectory& working_directory) {
    const auto deadline = deadline_for(timeout);
    FileActions actions;
    actions.inherit_standard_streams();
    actions.close_others();
    // With a time limit, its own process group, so that the limit ends all it started; without
    // one, ours, so that Ctrl-C at the terminal reaches it too.
    const bool own_group = timeout.has_value();
    Attributes attributes(own_group);
    Child child(argv, actions, attributes, own_group, working_directory);
    Completed result;
    if (auto code = child.wait(deadline)) {
        result.exit_code = *code;
    } else {
        result.exit_code = child.end();
        result.timed_out = true;
    }
    return result;
}

void terminate_running_children() {
    std::lock_guard lock(running_mutex);
    for (Child* child : running) child->request_stop();
}

void signal_running_children(int signal) {
    std::lock_guard lock(running_mutex);
    for (Child* child : running) child->send(signal);
}

void end_running_children() {
    terminate_running_children();
    // The waiting calls reap what ends (it then leaves the list); what is still there at the end
    // of the grace is not reaped yet, so its id is still its own.
    const auto give_up = Clock::now() + GRACE;
    for (;;) {
        {
            std::lock_guard lock(running_mutex);
            if (running.empty()) return;
            if (Clock::now() >= give_up) {
                for (Child* child : running) child->send(SIGKILL);
                return;
            }
        }
        std::this_thread::sleep_for(LONGEST_PAUSE);
    }
}

void start_detached(const std::vector<std::string>& argv, const std::filesystem::path& working_directory,
                    std::uint32_t /*windows_creation_flags*/) {
    const std::string program = executable(argv);
    check_working_directory(argv, working_directory);
    FileActions actions;
    actions.null_stream(STDIN_FILENO, O_RDONLY);
    actions.null_stream(STDOUT_FILENO, O_WRONLY);
    actions.null_stream(STDERR_FILENO, O_WRONLY);
    actions.close_others();
    Attributes attributes(/*own_process_group=*/false);
    auto args = c_argv(argv);
    const std::string directory = working_directory.string();
    Pipe report = make_pipe();

    // Double start: an intermediate child starts a new session, spawns the program and exits at
    // once, so the program is adopted by init (no zombie of ours) and outlives us.
    const pid_t middle = ::fork();
    if (middle < 0) throw StartError(errno_code(errno), argv[0]);
    if (middle == 0) {
        ::setsid();
        // The intermediate child changes directory for the program: posix_spawn's own chdir action
        // is missing from the older C libraries the release binaries run on.
        pid_t pid = -1;
        int rc = ::chdir(directory.c_str()) == 0 ? spawn_raw(&pid, program, actions, attributes, args.data()) : errno;
        (void)!::write(report.write.get(), &rc, sizeof rc);
        ::_exit(0);
    }
    report.write.reset();
    int rc = 0;
    ssize_t n;
    do {
        n = ::read(report.read.get(), &rc, sizeof rc);
    } while (n < 0 && errno == EINTR);
    reap_quietly(middle);
    if (n != static_cast<ssize_t>(sizeof rc)) throw StartError(errno_code(ECHILD), argv[0]);
    if (rc != 0) throw StartError(errno_code(rc), argv[0]);
}

}  // namespace vetra_service_manager::platform::process
