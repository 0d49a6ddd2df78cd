#include "app/ConsoleWindow.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "core/IdException.h"
#include "runtime/Thread.h"

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

}  // namespace

TConsoleCommand ParseConsoleArgs(int argc, const char* const* argv, TConsoleOptions& VOptions, std::string& VError) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return TConsoleCommand::ccHelp;
        if (arg == "--status") {
            VOptions.ShowStatus = true;
        } else if (arg == "--port") {
            if (i + 1 >= argc) {
                VError = "--port needs a value";
                return TConsoleCommand::ccUsageError;
            }
            VOptions.PortText = FromUtf8(argv[++i]);
        } else if (arg.rfind("--port=", 0) == 0) {
            VOptions.PortText = FromUtf8(arg.substr(7));
        } else {
            VError = "unknown option: " + arg;
            return TConsoleCommand::ccUsageError;
        }
    }
    return TConsoleCommand::ccRun;
}

std::string ConsoleUsage(const std::string& AProgram) {
    return "Usage: " + AProgram +
           " [--port N] [--status] [--help]\n"
           "Serves the line reply service without a window and prints the event log, one entry per line.\n"
           "  --port N   port to listen on, on every local address (default 8000)\n"
           "  --status   also print the status-bar entries (\"Execute\", several a second per client)\n"
           "  --help     show this text\n"
           "SIGINT or SIGTERM stops the server and ends the program (status 0; a second signal ends it\n"
           "at once); a failed start ends it with status 1, a wrong command line with status 2.\n";
}

TConsoleWindow::TConsoleWindow(const TConsoleOptions& AOptions, int AOutFd) : FOptions(AOptions), FOutput(AOutFd) {
    if (::pipe2(FWakePipe, O_NONBLOCK | O_CLOEXEC) != 0) RaiseLastOSError(errno);
    // Calls that other threads queue for the main thread wake the loop as log entries do.
    SetWakeMainThread([this] { Wake(); });
}

TConsoleWindow::~TConsoleWindow() {
    TConsoleWindow* self = this;
    GStopTarget.compare_exchange_strong(self, nullptr);
    SetWakeMainThread(nullptr);
    ::close(FWakePipe[0]);
    ::close(FWakePipe[1]);
}

void TConsoleWindow::InstallStopSignals() {
    GStopTarget.store(this);
    struct sigaction sa {};
    sa.sa_handler = StopSignalHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void TConsoleWindow::Wake() noexcept {
    const int saved = errno;
    const char c = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(FWakePipe[1], &c, 1);
    errno = saved;
}

void TConsoleWindow::RequestStop() {
    FStopRequested.store(true);
    Wake();
}

void TConsoleWindow::NotifyLogPending() { Wake(); }

void TConsoleWindow::DrainWakePipe() {
    char buf[256];
    while (::read(FWakePipe[0], buf, sizeof buf) > 0) {}
}

void TConsoleWindow::ListBox1Append(const std::u16string& AEntry) {
    ++FCount;
    FOutput.WriteLine(AEntry);
}

void TConsoleWindow::SetStatusBar1Text(const std::u16string& AValue) {
    if (FOptions.ShowStatus) FOutput.WriteLine(AValue);
}

void TConsoleWindow::ProcessMessages() { FOutput.FlushIfDue(); }

int TConsoleWindow::Run(TForm1& AForm) {
    AForm.Button1Click(nullptr);
    if (AForm.StartFailed()) {
        AForm.DeliverLog();
        FOutput.FlushFinal(FinalFlushTimeout);
        return 1;
    }
    for (;;) {
        if (FStopRequested.load() || FCloseRequested) {
            FCloseRequested = false;
            bool canClose = false;
            AForm.FormCloseQuery(nullptr, canClose);
            if (canClose) {
                FOutput.FlushFinal(FinalFlushTimeout);
                return 0;
            }
        }
        pollfd fds[2] = {{FWakePipe[0], POLLIN, 0}, {FOutput.PendingFd(), POLLOUT, 0}};
        // Asleep until a wake-up, a batch of output falls due or the output takes more.
        const int timeout = FOutput.MsUntilDue();
        const int ready = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
        if (ready < 0 && errno != EINTR) RaiseLastOSError(errno);
        DrainWakePipe();
        AForm.DeliverLog();
        CheckSynchronize();
        if (fds[1].fd >= 0 && fds[1].revents != 0) FOutput.Flush();
        FOutput.FlushIfDue();
    }
}

}  // namespace Id
