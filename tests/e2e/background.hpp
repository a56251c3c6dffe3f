#pragma once
// The testing executable run in the background, so that a test can act while it works: signal
// it, or run a second one beside it. Its output goes to files; the process is killed at the end
// of the scope if still running.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_support.hpp"

extern char** environ;

namespace vsm_e2e {

class Background {
public:
    // With `stdout_fd`, standard output goes there instead of to a file.
    Background(std::vector<std::string> args, const std::filesystem::path& dir, int stdout_fd = -1)
        : out_(dir / "out"), err_(dir / "err") {
        args.insert(args.begin(), vsm_test::testing_binary.string());
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (stdout_fd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("cannot start the testing executable");
    }
    ~Background() {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) const { ::kill(pid_, number); }
    // The exit status (128 + the signal's number for a process killed by one).
    int wait() {
        int status = 0;
        while (status_ < 0 && ::waitpid(pid_, &status, 0) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return status_;
    }
    std::string out() const { return vsm_test::read_file(out_); }
    std::string err() const { return vsm_test::read_file(err_); }

private:
    std::filesystem::path out_, err_;
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace vsm_e2e
