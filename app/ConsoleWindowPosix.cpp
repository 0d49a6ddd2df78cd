// The POSIX side of the console front-end: the wake-up pipe, the stop signals and the standard
// descriptors.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "app/ConsoleWindow.h"

namespace Id {

namespace {

std::atomic<TConsoleWindow*> GStopTarget{nullptr};

std::atomic<bool> GStopSignalled{false};

extern "C" void StopSignalHandler(int ASignal) {
    // A second signal while the stop is still running ends the program at once, as an operator
    // who presses Ctrl+C twice expects.
    if (GStopSignalled.exchange(true)) ::_exit(128 + ASignal);
    if (TConsoleWindow* window = GStopTarget.load()) window->RequestStop();
}

extern "C" void FiguresSignalHandler(int) {
    if (TConsoleWindow* window = GStopTarget.load()) window->RequestFigures();
}

int ReadEnd(const intptr_t* AWake) { return static_cast<int>(AWake[0]); }
int WriteEnd(const intptr_t* AWake) { return static_cast<int>(AWake[1]); }

}  // namespace

std::string ConsoleStopHelp() {
    return "SIGINT or SIGTERM stops the server and ends the program (status 0; a second signal ends it\n"
           "at once)";
}

void PrepareConsoleProcess() {
    // Standard descriptors that the caller left closed would otherwise be reused for our own files,
    // and stray output would land in them.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1) {
            const int opened = ::open("/dev/null", O_RDWR | O_CLOEXEC);
            if (opened >= 0 && opened != fd) {
                ::dup2(opened, fd);
                ::close(opened);
            }
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
}

void TConsoleWindow::OpenWake() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) RaiseLastOSError(errno);
    FWake[0] = fds[0];
    FWake[1] = fds[1];
}

void TConsoleWindow::CloseWake() noexcept {
    TConsoleWindow* self = this;
    GStopTarget.compare_exchange_strong(self, nullptr);
    ::close(ReadEnd(FWake));
    ::close(WriteEnd(FWake));
}

void TConsoleWindow::InstallStopSignals() {
    GStopTarget.store(this);
    struct sigaction sa {};
    sa.sa_handler = StopSignalHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    // SIGUSR1 asks for the server's figures, as often as an operator likes.
    sa.sa_handler = FiguresSignalHandler;
    ::sigaction(SIGUSR1, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void TConsoleWindow::Wake() noexcept {
    const int saved = errno;
    const char c = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(WriteEnd(FWake), &c, 1);
    errno = saved;
}

void TConsoleWindow::WaitForWork(int ATimeoutMs) {
    pollfd fds[2] = {{ReadEnd(FWake), POLLIN, 0}, {FOutput.PendingFd(), POLLOUT, 0}};
    const int ready = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, ATimeoutMs);
    if (ready < 0 && errno != EINTR) RaiseLastOSError(errno);
    char buf[256];
    while (::read(ReadEnd(FWake), buf, sizeof buf) > 0) {}
    if (fds[1].fd >= 0 && fds[1].revents != 0) FOutput.Flush();
}

void TConsoleWindow::WaitForOutput(int ATimeoutMs) {
    if (FOutput.PendingFd() < 0) return;
    pollfd p{FOutput.PendingFd(), POLLOUT, 0};
    ::poll(&p, 1, ATimeoutMs);
}

void TConsoleWindow::WriteStandardError(const std::string& AText) {
    [[maybe_unused]] const ssize_t n = ::write(2, AText.data(), AText.size());
}

}  // namespace Id
