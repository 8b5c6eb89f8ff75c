#include "app/StandardStreams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tamblin::app {

bool openClosedStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is this one, since the lower ones are open by now; inherited
        // by the programs this one starts, as a standard stream is.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened < 0) return false;
        if (opened != fd) {
            const bool moved = ::dup2(opened, fd) == fd;
            ::close(opened);
            if (!moved) return false;
        }
    }
    return true;
}

}  // namespace tamblin::app
