// The POSIX side of the console output: non-blocking writes to a terminal, pipe, socket or file.
#include "app/ConsoleOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

namespace Id {

TConsoleOutput::TConsoleOutput(int AFd) : FWriteFd(AFd) {
    FTerminal = ::isatty(AFd) == 1;
    struct stat st {};
    if (::fstat(AFd, &st) != 0) {
        FBroken = true;
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        FSocket = true;  // send can be asked not to block, call by call
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // A descriptor of our own on the same pipe or terminal can be non-blocking without changing
        // the one we share with the parent. Where that fails, a write is attempted only when the
        // output reports room, which is as close as the shared descriptor allows.
        const std::string path = "/proc/self/fd/" + std::to_string(AFd);
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            FWriteFd = fd;
            FOwnFd = true;
        } else {
            FPollFirst = true;
        }
    }
    // Regular files take writes without waiting for a reader.
}

TConsoleOutput::~TConsoleOutput() {
    if (FOwnFd) ::close(FWriteFd);
}

bool TConsoleOutput::WriteSome() {
    while (FBufferStart < FBuffer.size()) {
        const char* data = FBuffer.data() + FBufferStart;
        const size_t size = FBuffer.size() - FBufferStart;
        ssize_t n;
        if (FSocket) {
            n = ::send(FWriteFd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else {
            size_t chunk = size;
            if (FPollFirst) {
                pollfd p{FWriteFd, POLLOUT, 0};
                if (::poll(&p, 1, 0) != 1) return true;
                if (p.revents & (POLLERR | POLLNVAL)) return false;
                if (!(p.revents & POLLOUT)) return true;
                // Room for one atomic pipe write is what the readiness promises.
                if (chunk > PIPE_BUF) chunk = PIPE_BUF;
            }
            n = ::write(FWriteFd, data, chunk);
        }
        if (n > 0) {
            FBufferStart += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        } else {
            return false;
        }
    }
    return true;
}

void TConsoleOutput::WaitWritable(std::chrono::milliseconds ATimeout) {
    pollfd p{FWriteFd, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(ATimeout.count()));
}

}  // namespace Id
