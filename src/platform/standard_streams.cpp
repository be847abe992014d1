// Standard streams on POSIX.
#include "platform/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace speckmend {

void prepareStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        const int placeholder = open("/dev/null", O_RDONLY);
        if (placeholder >= 0 && placeholder != fd) {
            dup2(placeholder, fd);
            close(placeholder);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
}

bool consoleIntact() {
    const bool flushed = std::fflush(stdout) == 0;
    return flushed && !std::ferror(stdout);
}

}  // namespace speckmend
