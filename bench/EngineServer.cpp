// The server engine on its own: the line reply service on a bare TIdTCPServer, with no window, no log
// and no console front-end, so that what a hostile client does to the engine can be told apart from
// what it does to the application around it.
//
//   EngineServer [--port N] [--loopback] [--write-timeout S] [--thread-pool N]
//
// Listens on every IPv4 and (where offered) IPv6 address, or with --loopback on 127.0.0.1 and ::1
// only; prints one "Listening on ..." line once it listens; ends with status 0 on SIGTERM or SIGINT
// after the server has stopped and every client thread has ended. With --thread-pool N (N > 0) the
// server runs on the pooled scheduler, which keeps up to N threads of finished clients for the next
// ones (the "pooled engine"); 0, the default, is the default scheduler's new thread per client.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include "app/Unit1.h"
#include <IdFramework/core/IdException.h>
#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/io/IdBuffer.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/runtime/SysUtils.h>
#include <IdFramework/server/IdContext.h>
#include <IdFramework/server/IdTCPServer.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/stack/IdStack.h>
#include <IdFramework/threads/IdSchedulerOfThreadPool.h>

namespace {

using namespace Id;

// A client's reply storage, held as its context's Data.
class TReplyStorage : public TObject {
public:
    std::u16string Text;
};

void Execute(TIdContext* AContext) {
    try {
        TIdIOHandler* io = AContext->Connection()->IOHandler();
        const std::u16string line = io->ReadLn(u"\r\n", 200, -1, nullptr);
        if (line.empty()) return;
        auto* storage = static_cast<TReplyStorage*>(AContext->Data());  // only this function sets it
        if (!storage) {
            storage = new TReplyStorage;
            AContext->SetData(storage);
        }
        WriteReply(*io, line, storage->Text);
    } catch (EIdReadLnMaxLineLengthExceeded&) {
        // The line stays unread, so every later read would fail the same way at once.
        EndClient(AContext);
    } catch (EIdConnClosedGracefully&) {
        EndClient(AContext);
    } catch (Exception&) {
        // A reset or a failed send: the server finds the connection gone and ends the client.
    }
}

int Usage(const char* AProgram) {
    std::fprintf(stderr, "Usage: %s [--port N] [--loopback] [--write-timeout S] [--thread-pool N]\n", AProgram);
    return 2;
}

bool ParseNumber(const char* AText, long AMin, long AMax, long& VValue) {
    char* end = nullptr;
    errno = 0;
    VValue = std::strtol(AText, &end, 10);
    return errno == 0 && end != AText && *end == '\0' && VValue >= AMin && VValue <= AMax;
}

std::string ListeningLine(TIdTCPServer& AServer) {
    std::string line = "Listening on ";
    TIdSocketHandles* bindings = AServer.Bindings();
    for (int i = 0; i < bindings->Count(); ++i) {
        const TIdSocketHandle* b = bindings->Items(i);
        const bool v6 = b->IPVersion() == Id_IPv6;
        std::string ip = ToUtf8(b->IP());
        if (ip.empty() || (v6 && ip.find_first_not_of("0:") == std::string::npos)) ip = v6 ? "::" : "0.0.0.0";
        if (i > 0) line += " and ";
        // Appended piece by piece: GCC 12 at -O3 misreads a concatenation here as overlapping copies.
        if (v6) line.append("[").append(ip).append("]");
        else line += ip;
        line.append(":").append(std::to_string(b->Port()));
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    long port = 8000, writeTimeout = 0, threadPool = 0;
    bool loopback = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 0, 65535, port)) return Usage(argv[0]);
        } else if (arg == "--write-timeout" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 0, std::numeric_limits<int>::max() / 1000, writeTimeout)) return Usage(argv[0]);
        } else if (arg == "--thread-pool" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 0, 100000, threadPool)) return Usage(argv[0]);
        } else if (arg == "--loopback") {
            loopback = true;
        } else {
            return Usage(argv[0]);
        }
    }
    // Every thread the server creates inherits this mask, so the stop signals reach only the
    // sigwait below and the stop runs on an ordinary thread, not in a signal handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    int status = 0;
    {
        // Made before the server and freed after it, as an assigned scheduler must be.
        std::unique_ptr<TIdSchedulerOfThreadPool> pool;
        if (threadPool > 0) {
            pool = std::make_unique<TIdSchedulerOfThreadPool>();
            pool->SetName(u"EngineServerScheduler");
            pool->SetPoolSize(static_cast<int>(threadPool));
        }
        TIdTCPServer server;
        server.SetName(u"EngineServer");
        if (pool) server.SetScheduler(pool.get());
        server.SetListenQueue(std::numeric_limits<int>::max());
        server.SetWriteTimeout(static_cast<int>(writeTimeout * 1000));
        server.SetOnExecute(Execute);
        if (loopback) {
            TIdSocketHandle* v4 = server.Bindings()->Add();
            v4->SetIP(u"127.0.0.1");
            v4->SetPort(static_cast<uint16_t>(port));
            if (GSocketStack && GSocketStack->SupportsIPv6()) {
                TIdSocketHandle* v6 = server.Bindings()->Add();
                v6->SetIPVersion(Id_IPv6);
                v6->SetIP(u"::1");
                v6->SetPort(static_cast<uint16_t>(port));
            }
        } else {
            server.SetDefaultPort(static_cast<uint16_t>(port));
        }
        try {
            server.SetActive(true);
        } catch (Exception& E) {
            std::fprintf(stderr, "%s: %s\n", argv[0], ToUtf8(E.Message()).c_str());
            return 1;
        }
        std::printf("%s\n", ListeningLine(server).c_str());
        std::fflush(stdout);
        int signal = 0;
        while (sigwait(&stopSignals, &signal) != 0) {}
        try {
            server.SetActive(false);
        } catch (Exception& E) {
            std::fprintf(stderr, "%s: %s\n", argv[0], ToUtf8(E.Message()).c_str());
            status = 1;
        }
    }
    return status;
}
