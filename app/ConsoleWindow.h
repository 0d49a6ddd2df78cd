// The window operations for a terminal: the console front-end's stand-in for the main window.
// The port text comes from the command line, the button is pressed once at start, log list entries
// (and, when asked for, status-bar entries) are printed one per line, and SIGINT or SIGTERM close
// it as the window's close box would.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "app/ConsoleOutput.h"
#include "app/Unit1.h"
#include "app/WindowOperations.h"

namespace Id {

struct TConsoleOptions {
    std::u16string PortText = u"8000";
    bool ShowStatus = false;
    // How many bytes of log entries may wait for the output before entries are lost.
    size_t LogQueueBytes = size_t{64} << 20;
    // Protection against clients that hold a connection without using it; 0: none (the default).
    int WriteTimeoutSeconds = 0;
    int IdleTimeoutSeconds = 0;
    int MaxConnections = 0;
    // Behind a load balancer: every connection begins with a PROXY protocol header.
    bool ProxyProtocol = false;
    // Finished clients' threads kept for the next clients; 0: a new thread for every client (the
    // server's default scheduler).
    int ThreadPool = 0;
};

enum class TConsoleCommand { ccRun, ccHelp, ccUsageError };

// Reads the command line; VError says what was wrong for ccUsageError.
TConsoleCommand ParseConsoleArgs(int argc, const char* const* argv, TConsoleOptions& VOptions, std::string& VError);
std::string ConsoleUsage(const std::string& AProgram);
// The usage text's sentence on how an operator stops the program, which differs by platform.
std::string ConsoleStopHelp();
// Makes the process fit to serve before anything else runs (standard handles, broken pipes).
void PrepareConsoleProcess();

class TConsoleWindow : public TWindowOperations {
public:
    // How long the output may take to accept the last entries before the program ends anyway.
    static constexpr std::chrono::milliseconds FinalFlushTimeout{500};
    // How long a new log entry waits for others to join it before they are placed together.
    static constexpr std::chrono::milliseconds LogGatherDelay{10};

    explicit TConsoleWindow(const TConsoleOptions& AOptions, int AOutFd = 1);
    ~TConsoleWindow() override;
    TConsoleWindow(const TConsoleWindow&) = delete;
    TConsoleWindow& operator=(const TConsoleWindow&) = delete;

    // Presses the button, then serves until a stop is asked for. Answers the exit status: 0 after a
    // stop, 1 when the start failed.
    int Run(TForm1& AForm);
    // May be called from a signal handler or any thread: stop as closing the window would.
    void RequestStop();
    // Any thread, also a signal handler: the main loop logs the server's figures once (SIGUSR1).
    void RequestFigures();
    // SIGINT and SIGTERM call RequestStop on this window (a second one ends the program at once,
    // status 128 + signal number); SIGPIPE is ignored. On Windows Ctrl+C and Ctrl+Break do the
    // same, as SIGINT and SIGTERM.
    void InstallStopSignals();

    TConsoleOutput& Output() { return FOutput; }

    // TWindowOperations
    std::u16string Button1Caption() override { return FCaption; }
    void SetButton1Caption(const std::u16string& AValue) override { FCaption = AValue; }
    std::u16string EPortText() override { return FOptions.PortText; }
    void DisableEPort() override {}
    int ListBox1Count() override { return FCount; }
    void ListBox1DeleteFirst() override {
        if (FCount > 0) --FCount;
    }
    void ListBox1Append(const std::u16string& AEntry) override;
    void ListBox1Select(int /*AIndex*/) override {}
    void SetStatusBar1Text(const std::u16string& AValue) override;
    void ProcessMessages() override;
    void Close() override { FCloseRequested = true; }
    void NotifyLogPending() override;
    // A console log is the record of what happened: every entry is kept, up to this many bytes
    // waiting for the output.
    size_t LogQueueBytes() const override { return FOptions.LogQueueBytes; }
    bool ShowsStatusEntries() const override { return FOptions.ShowStatus; }
    bool TakesLogEntries() override { return FOutput.Buffered() < TConsoleOutput::MaxBuffered / 2; }

private:
    // The platform's wake-up that the loop sleeps on: a pipe on POSIX, an event on Windows.
    void OpenWake();
    void CloseWake() noexcept;
    void Wake() noexcept;
    // Sleeps until a wake-up, the output takes more (then flushes it) or ATimeoutMs pass (-1: no
    // limit), and consumes the wake-ups.
    void WaitForWork(int ATimeoutMs);
    // Sleeps until the output takes more or ATimeoutMs pass.
    void WaitForOutput(int ATimeoutMs);
    static void WriteStandardError(const std::string& AText);
    // The line that tells an operator (or a script) where the server is ready: every bound address.
    void PrintListening(TForm1& AForm);
    // After the stop: hands over what is still queued and waits up to ATimeout for the output.
    void FinalFlush(TForm1& AForm, std::chrono::milliseconds ATimeout);

    TConsoleOptions FOptions;
    TConsoleOutput FOutput;
    std::u16string FCaption = u"Connect";
    int FCount = 0;  // entries the list would hold
    intptr_t FWake[2] = {-1, -1};  // pipe descriptors, or the event handle in the first
    std::atomic<bool> FStopRequested{false};
    std::atomic<bool> FFiguresRequested{false};
    bool FCloseRequested = false;
};

}  // namespace Id
