#pragma once
// install started the ways scripts and pipelines start it: what it does must not depend on who
// reads its output, on which streams are open, or on the signal state it inherits. Each row
// starts install, acts on it while it is busy with the first service, and checks its exit status
// and which services it installed. Each platform's test says how install is held and when it is
// busy.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>
#include <thread>

#include "support/test_support.hpp"

extern char** environ;

namespace vsm_e2e::startup {

enum class Stdout { FILE, CLOSED_PIPE, CLOSED };

struct StartUp {
    std::string name;
    Stdout out;
    bool stdin_closed;
    int ignored;             // a signal ignored when install starts, or 0
    int blocked;             // a signal blocked when install starts, or 0
    std::string slow_start;  // how the first start is held: "SECONDS", "SECONDS stubborn" ignores SIGTERM
    std::vector<int> sent;   // signals sent, 200 ms apart, once install is busy
    int status;
    int installed;  // services installed at the end, -1 when it does not matter
    std::string err;
};

inline const StartUp rows[] = {
    {"ClosedPipe", Stdout::CLOSED_PIPE, false, 0, 0, "0", {}, 1, 2, "error: write error\n"},
    {"ClosedStreams", Stdout::CLOSED, true, 0, 0, "0", {}, 0, 2, ""},
    {"Nohup", Stdout::FILE, false, SIGHUP, 0, "1", {SIGHUP}, 0, 2, ""},
    {"BlockedSignal", Stdout::FILE, false, 0, SIGINT, "1", {SIGINT}, 130, 1, "interrupted by SIGINT\n"},
    {"SecondSignal", Stdout::FILE, false, 0, 0, "60 stubborn", {SIGINT, SIGINT}, 130, -1, ""},
};

inline void PrintTo(const StartUp& row, std::ostream* os) { *os << row.name; }

// Running, not merely a zombie that nobody has reaped yet.
inline bool alive(pid_t pid) {
    const std::string stat = vsm_test::read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto state = stat.rfind(") ");
    return state != std::string::npos && stat[state + 2] != 'Z';
}

// Starts install with the row's streams and signal state; only async-signal-safe calls between
// fork and exec.
inline pid_t start_install(const StartUp& row, const std::filesystem::path& dir) {
    const std::string binary = vsm_test::testing_binary.string();
    const char* argv[] = {binary.c_str(), "install", "--version", "1.0", nullptr};
    const int err = ::open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int out = -1;
    if (row.out == Stdout::FILE) out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (row.out == Stdout::CLOSED_PIPE) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
        ::close(ends[0]);  // nobody will read
        out = ends[1];
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(err, STDERR_FILENO);
        if (out >= 0) ::dup2(out, STDOUT_FILENO); else ::close(STDOUT_FILENO);
        if (row.stdin_closed) ::close(STDIN_FILENO);
        if (row.ignored) ::signal(row.ignored, SIG_IGN);
        if (row.blocked) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, row.blocked);
            ::sigprocmask(SIG_BLOCK, &set, nullptr);
        }
        ::execve(argv[0], const_cast<char**>(argv), environ);
        ::_exit(127);
    }
    ::close(err);
    if (out >= 0) ::close(out);
    return pid;
}

inline int exit_status(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace vsm_e2e::startup
