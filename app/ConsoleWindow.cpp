#include "app/ConsoleWindow.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include <IdFramework/core/IdException.h>
#include <IdFramework/server/IdTCPServer.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/runtime/Thread.h>
#include <IdFramework/threads/IdSchedulerOfThreadPool.h>

namespace Id {

// A port as an operator types it: decimal digits only, 1 to 65535.
static bool ParsePort(const std::string& AText, uint16_t& VPort) {
    if (AText.empty() || AText.size() > 10) return false;
    uint32_t value = 0;
    for (const char c : AText) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value < 1 || value > 65535) return false;
    VPort = static_cast<uint16_t>(value);
    return true;
}

// A whole number as an operator types it: decimal digits only, 0 to AMax.
static bool ParseWhole(const std::string& AText, int AMax, int& VValue) {
    if (AText.empty() || AText.size() > 10) return false;
    int64_t value = 0;
    for (const char c : AText) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > AMax) return false;
    VValue = static_cast<int>(value);
    return true;
}

TConsoleWindow::TConsoleWindow(const TConsoleOptions& AOptions, int AOutFd) : FOptions(AOptions), FOutput(AOutFd) {
    OpenWake();
    // Calls that other threads queue for the main thread wake the loop as log entries do.
    SetWakeMainThread([this] { Wake(); });
}

TConsoleWindow::~TConsoleWindow() {
    SetWakeMainThread(nullptr);
    CloseWake();
}

TConsoleCommand ParseConsoleArgs(int argc, const char* const* argv, TConsoleOptions& VOptions, std::string& VError) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return TConsoleCommand::ccHelp;
    }
    // The options that take a value: what the value must be, said as the usage error says it.
    constexpr int kMaxSeconds = INT32_MAX / 1000;
    // The idle list is made at the start, a pointer per thread.
    constexpr int kMaxThreadPool = 100000;
    struct TValued {
        const char* Name;
        const char* Rule;
        std::function<bool(const std::string&)> Take;
    };
    const TValued valued[] = {
        {"--port", "a port is a number from 1 to 65535",
         [&](const std::string& V) {
             uint16_t port = 0;
             if (!ParsePort(V, port)) return false;
             VOptions.PortText = IntToStr(port);
             return true;
         }},
        {"--write-timeout", "seconds, a whole number from 0 to 2147483; 0 is none",
         [&](const std::string& V) { return ParseWhole(V, kMaxSeconds, VOptions.WriteTimeoutSeconds); }},
        {"--idle-timeout", "seconds, a whole number from 0 to 2147483; 0 is none",
         [&](const std::string& V) { return ParseWhole(V, kMaxSeconds, VOptions.IdleTimeoutSeconds); }},
        {"--max-connections", "a whole number from 0 to 2147483647; 0 is no limit",
         [&](const std::string& V) { return ParseWhole(V, INT32_MAX, VOptions.MaxConnections); }},
        {"--thread-pool", "a whole number from 0 to 100000; 0 is a new thread for every client",
         [&](const std::string& V) { return ParseWhole(V, kMaxThreadPool, VOptions.ThreadPool); }},
    };
    std::vector<std::string> seen;
    const auto once = [&](const std::string& AName) {
        if (std::find(seen.begin(), seen.end(), AName) != seen.end()) {
            VError = AName + " given twice";
            return false;
        }
        seen.push_back(AName);
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--status" || arg == "--proxy-protocol") {
            if (!once(arg)) return TConsoleCommand::ccUsageError;
            (arg == "--status" ? VOptions.ShowStatus : VOptions.ProxyProtocol) = true;
            continue;
        }
        const TValued* option = nullptr;
        std::string value;
        for (const TValued& candidate : valued) {
            const std::string name = candidate.Name;
            if (arg == name) {
                if (i + 1 >= argc) {
                    VError = name + " needs a value";
                    return TConsoleCommand::ccUsageError;
                }
                option = &candidate;
                value = argv[++i];
            } else if (arg.rfind(name + "=", 0) == 0) {
                option = &candidate;
                value = arg.substr(name.size() + 1);
            }
            if (option) break;
        }
        if (!option) {
            VError = "unknown option: " + arg;
            return TConsoleCommand::ccUsageError;
        }
        if (!once(option->Name)) return TConsoleCommand::ccUsageError;
        if (!option->Take(value)) {
            VError = std::string("invalid value for ") + option->Name + ": '" + value + "' (" + option->Rule + ")";
            return TConsoleCommand::ccUsageError;
        }
    }
    return TConsoleCommand::ccRun;
}

std::string ConsoleUsage(const std::string& AProgram) {
    return "Usage: " + AProgram +
           " [--port N] [--status] [--write-timeout S] [--idle-timeout S] [--max-connections N] [--proxy-protocol]"
           " [--thread-pool N] [--help]\n"
           "Serves the line reply service without a window and prints the event log, one entry per line.\n"
           "  --port N             port to listen on, 1 to 65535, on every local address (default 8000)\n"
           "  --status             also print the status-bar entries (\"Execute\", several a second per client)\n"
           "  --write-timeout S    end a client whose reply cannot be sent within S seconds (it does not read)\n"
           "  --idle-timeout S     end a client that has sent nothing for S seconds\n"
           "  --max-connections N  serve at most N clients at once; more are closed on arrival\n"
           "                       (for these three, 0 means no limit, the default)\n"
           "  --proxy-protocol     behind a load balancer: every connection begins with a PROXY protocol\n"
           "                       header (version 1 or 2) naming the real client, which the log shows;\n"
           "                       the balancer's health checks are not logged\n"
           "  --thread-pool N      keep up to N threads of finished clients for the next ones, instead of\n"
           "                       a new thread for every client (0, the default)\n"
           "  --help               show this text\n"
           "Once it listens it prints one line naming every address and port (\"Listening on ...\").\n"
           + ConsoleStopHelp() + "; a failed start ends it with status 1, a wrong command line with status 2.\n";
}

void TConsoleWindow::RequestStop() {
    FStopRequested.store(true);
    Wake();
}

void TConsoleWindow::RequestFigures() {
    FFiguresRequested.store(true);
    Wake();
}

void TConsoleWindow::NotifyLogPending() { Wake(); }

void TConsoleWindow::ListBox1Append(const std::u16string& AEntry) {
    ++FCount;
    FOutput.WriteLine(AEntry);
}

void TConsoleWindow::SetStatusBar1Text(const std::u16string& AValue) {
    if (FOptions.ShowStatus) FOutput.WriteLine(AValue);
}

void TConsoleWindow::ProcessMessages() { FOutput.FlushIfDue(); }

void TConsoleWindow::PrintListening(TForm1& AForm) {
    TIdTCPServer* server = AForm.IdTCPServer1();
    if (!server) return;
    std::u16string line = u"Listening on ";
    TIdSocketHandles* bindings = server->Bindings();
    for (int i = 0; i < bindings->Count(); ++i) {
        const TIdSocketHandle* b = bindings->Items(i);
        const bool v6 = b->IPVersion() == Id_IPv6;
        std::u16string ip = b->IP();
        // The unspecified address in the form operators know it.
        if (ip.empty() || (v6 && ip.find_first_not_of(u"0:") == std::u16string::npos)) ip = v6 ? u"::" : u"0.0.0.0";
        if (i > 0) line += i + 1 == bindings->Count() ? u" and " : u", ";
        if (v6) line += u'[';
        line += ip;
        if (v6) line += u']';
        line += u':';
        line += IntToStr(b->Port());
    }
    FOutput.WriteLine(line);
}

void TConsoleWindow::FinalFlush(TForm1& AForm, std::chrono::milliseconds ATimeout) {
    const auto deadline = std::chrono::steady_clock::now() + ATimeout;
    for (;;) {
        AForm.DeliverLog();
        const bool allHandedOver = AForm.EventLog().PendingCount() == 0;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (allHandedOver || left.count() <= 0 || FOutput.Broken()) {
            FOutput.FlushFinal(std::max(left, std::chrono::milliseconds(0)));
            return;
        }
        FOutput.Flush();
        if (!TakesLogEntries()) WaitForOutput(static_cast<int>(left.count()));
    }
}

int TConsoleWindow::Run(TForm1& AForm) {
    if (TIdTCPServer* server = AForm.IdTCPServer1()) {
        server->SetWriteTimeout(FOptions.WriteTimeoutSeconds * 1000);
        server->SetMaxConnections(FOptions.MaxConnections);
        server->SetProxyProtocol(FOptions.ProxyProtocol);
        if (FOptions.ThreadPool > 0) {
            // Owned by the server, named as the scheduler it would make itself, so that the
            // threads carry the same names.
            auto* scheduler = new TIdSchedulerOfThreadPool(server);
            scheduler->SetName(server->Name() + u"Scheduler");
            scheduler->SetPoolSize(FOptions.ThreadPool);
            server->SetScheduler(scheduler);
        }
    }
    AForm.SetIdleTimeout(FOptions.IdleTimeoutSeconds * 1000);
    AForm.Button1Click(nullptr);
    if (AForm.StartFailed()) {
        FinalFlush(AForm, FinalFlushTimeout);
        std::string message = EscapeControls(AForm.StartError());
        message = "the server could not start on port " + ToUtf8(FOptions.PortText) + ": " + message + "\n";
        WriteStandardError(message);
        return 1;
    }
    PrintListening(AForm);
    for (;;) {
        if (FStopRequested.load() || FCloseRequested) {
            FCloseRequested = false;
            bool canClose = false;
            AForm.FormCloseQuery(nullptr, canClose);
            if (canClose) {
                // The server's figures over its whole run close the log.
                AForm.LogFigures();
                FinalFlush(AForm, FinalFlushTimeout);
                return 0;
            }
        }
        // Asleep until a wake-up, a batch of output falls due or the output takes more; not at all
        // while entries wait that the output has room for.
        const bool moreToPlace = TakesLogEntries() && AForm.EventLog().PendingCount() > 0;
        WaitForWork(moreToPlace ? 0 : FOutput.MsUntilDue());
        // Woken by a new entry: a moment's pause lets the entries that follow it gather, so that
        // under load the server threads wake this thread once per batch rather than once per
        // entry, each time a system call and a thread switch on their reply path. The output holds
        // entries for longer than that anyway (FlushDelay). A stop, or a queue half full, ends
        // the pause.
        if (!moreToPlace && !FStopRequested.load() && AForm.EventLog().PendingCount() > 0)
            WaitForWork(static_cast<int>(LogGatherDelay.count()));
        if (FFiguresRequested.exchange(false)) AForm.LogFigures();
        AForm.DeliverLog();
        CheckSynchronize();
        FOutput.FlushIfDue();
    }
}

}  // namespace Id
