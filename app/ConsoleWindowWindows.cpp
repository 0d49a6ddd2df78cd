// The Windows side of the console front-end: the wake-up event and the console's stop keys.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>

#include "app/ConsoleWindow.h"

namespace Id {

namespace {

std::atomic<TConsoleWindow*> GStopTarget{nullptr};

std::atomic<bool> GStopSignalled{false};

HANDLE EventOf(const intptr_t* AWake) { return reinterpret_cast<HANDLE>(AWake[0]); }

// Runs on a thread of its own that the system starts for each console event.
BOOL WINAPI StopHandler(DWORD AEvent) {
    // The exit status of a second stop key: that of the POSIX signal it stands for.
    int signalNumber;
    switch (AEvent) {
        case CTRL_C_EVENT:
            signalNumber = 2;  // SIGINT
            break;
        case CTRL_BREAK_EVENT:
            signalNumber = 15;  // SIGTERM
            break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The process ends as soon as this handler returns: hold it until the main thread has
            // stopped the server and ends the process itself.
            if (TConsoleWindow* window = GStopTarget.load()) window->RequestStop();
            Sleep(INFINITE);
            return TRUE;
        default:
            return FALSE;
    }
    // A second key press while the stop is still running ends the program at once, as an operator
    // who presses Ctrl+C twice expects.
    if (GStopSignalled.exchange(true)) ExitProcess(static_cast<UINT>(128 + signalNumber));
    if (TConsoleWindow* window = GStopTarget.load()) window->RequestStop();
    return TRUE;
}

}  // namespace

std::string ConsoleStopHelp() {
    return "Ctrl+C or Ctrl+Break stops the server and ends the program (status 0; a second press ends it\n"
           "at once, status 130 or 143)";
}

void PrepareConsoleProcess() {}

void TConsoleWindow::OpenWake() {
    // Auto-reset: one wait takes every wake-up that came before it.
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!event) RaiseLastOSError(static_cast<int>(GetLastError()));
    FWake[0] = reinterpret_cast<intptr_t>(event);
}

void TConsoleWindow::CloseWake() noexcept {
    TConsoleWindow* self = this;
    GStopTarget.compare_exchange_strong(self, nullptr);
    CloseHandle(EventOf(FWake));
}

void TConsoleWindow::InstallStopSignals() {
    GStopTarget.store(this);
    SetConsoleCtrlHandler(StopHandler, TRUE);
}

void TConsoleWindow::Wake() noexcept { SetEvent(EventOf(FWake)); }

void TConsoleWindow::WaitForWork(int ATimeoutMs) {
    WaitForSingleObject(EventOf(FWake), ATimeoutMs < 0 ? INFINITE : static_cast<DWORD>(ATimeoutMs));
}

void TConsoleWindow::WaitForOutput(int /*ATimeoutMs*/) {
    // The output's writes finish before they return (ConsoleOutputWindows.cpp): nothing to wait for.
}

void TConsoleWindow::WriteStandardError(const std::string& AText) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), AText.data(), static_cast<DWORD>(AText.size()), &written, nullptr);
}

}  // namespace Id
