#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "vetra_service_manager/platform/startup.hpp"

namespace vetra_service_manager::platform::startup {

void prepare_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is this one: every lower one is open by now.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0) ::close(opened);
    }
    ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace vetra_service_manager::platform::startup
