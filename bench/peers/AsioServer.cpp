// The line reply served the way an Asio program serves it: asynchronous reads and writes, one
// io_context per core, each run by a thread of its own; the acceptor deals new connections out to
// the contexts in turn, and a connection stays on its context for its whole life.
//
//   AsioServer --port N
//
// Listens on 127.0.0.1; ends with status 0 on SIGTERM or SIGINT, closing every connection.
#include <algorithm>
#include <array>
#include <asio.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LineReply.h"

namespace {

class TSession : public std::enable_shared_from_this<TSession> {
public:
    explicit TSession(asio::ip::tcp::socket ASocket) : FSocket(std::move(ASocket)) {}

    void Read() {
        auto self = shared_from_this();
        FSocket.async_read_some(asio::buffer(FBuffer),
                                [self](std::error_code AError, size_t AGot) { self->Received(AError, AGot); });
    }

private:
    void Received(std::error_code AError, size_t AGot) {
        if (AError) return;
        FPending.append(FBuffer.data(), AGot);
        if (!peers::AnswerLines(FPending, FOut)) return;
        if (FOut.empty()) {
            Read();
        } else {
            Write();
        }
    }

    void Write() {
        asio::async_write(FSocket, asio::buffer(FOut), [self = shared_from_this()](std::error_code AError, size_t) {
            if (AError) return;
            self->FOut.clear();
            self->Read();
        });
    }

    asio::ip::tcp::socket FSocket;
    std::array<char, 4096> FBuffer;
    std::string FPending, FOut;
};

class TServer {
public:
    TServer(int APort, size_t AContexts) : FContexts(AContexts) {
        for (auto& context : FContexts) {
            context = std::make_unique<asio::io_context>(1);
            FGuards.push_back(asio::make_work_guard(*context));
        }
        asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(APort));
        FAcceptor.emplace(*FContexts[0], endpoint);
        FSignals.emplace(*FContexts[0], SIGTERM, SIGINT);
        FSignals->async_wait([this](std::error_code, int) { Stop(); });
        Accept();
    }

    void Run() {
        std::vector<std::thread> threads;
        for (auto& context : FContexts) threads.emplace_back([&context] { context->run(); });
        for (std::thread& t : threads) t.join();
    }

private:
    void Accept() {
        asio::io_context& next = *FContexts[FNext++ % FContexts.size()];
        FAcceptor->async_accept(next, [this](std::error_code AError, asio::ip::tcp::socket ASocket) {
            if (AError == asio::error::operation_aborted) return;
            if (!AError) std::make_shared<TSession>(std::move(ASocket))->Read();
            Accept();
        });
    }

    // The connections go with their contexts: destroying a context destroys the handlers waiting
    // on it, and with them the last references to its sessions and sockets.
    void Stop() {
        FAcceptor->close();
        for (auto& context : FContexts) context->stop();
    }

    std::vector<std::unique_ptr<asio::io_context>> FContexts;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> FGuards;
    std::optional<asio::ip::tcp::acceptor> FAcceptor;
    std::optional<asio::signal_set> FSignals;
    size_t FNext = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const int port = peers::ParsePort(argc, argv);
    if (port == 0) return 2;
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    try {
        TServer server(port, cores);
        std::printf("Listening on 127.0.0.1:%d\n", port);
        std::fflush(stdout);
        server.Run();
    } catch (std::exception& E) {
        std::fprintf(stderr, "%s: %s\n", argv[0], E.what());
        return 1;
    }
    return 0;
}
