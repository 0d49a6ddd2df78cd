// The line reply served the way a POCO Net program serves it: a TCPServer hands every connection to
// a thread of its pool, and that thread reads and answers with blocking calls until the client
// leaves. The pool is as large as the number of clients, so every connection has a thread.
//
//   PocoServer --port N
//
// Listens on 127.0.0.1; ends with status 0 on SIGTERM or SIGINT once every connection has ended.
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/Net/TCPServerParams.h>
#include <Poco/ThreadPool.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "LineReply.h"

namespace {

constexpr int kMaxClients = 4096;

// The descriptors of the connections being served, so that a stop can wake their threads from
// their blocking reads. A thread takes its descriptor out before the socket is closed, under the
// same lock, so a stop never touches a descriptor that has been reused.
std::mutex GLiveMutex;
std::set<int> GLive;
bool GStopping = false;

class TLineConnection : public Poco::Net::TCPServerConnection {
public:
    using Poco::Net::TCPServerConnection::TCPServerConnection;

    void run() override {
        Poco::Net::StreamSocket& s = socket();
        const int fd = s.impl()->sockfd();
        {
            std::lock_guard<std::mutex> lock(GLiveMutex);
            if (GStopping) return;
            GLive.insert(fd);
        }
        try {
            Serve(s);
        } catch (Poco::Exception&) {
            // A reset or a failed send: the client has gone.
        }
        std::lock_guard<std::mutex> lock(GLiveMutex);
        GLive.erase(fd);
    }

private:
    static void Serve(Poco::Net::StreamSocket& s) {
        char buffer[4096];
        std::string pending, out;
        for (;;) {
            const int got = s.receiveBytes(buffer, sizeof buffer);
            if (got <= 0) return;
            pending.append(buffer, static_cast<size_t>(got));
            if (!peers::AnswerLines(pending, out)) return;
            size_t sent = 0;
            while (sent < out.size()) {
                sent += static_cast<size_t>(s.sendBytes(out.data() + sent, static_cast<int>(out.size() - sent)));
            }
            out.clear();
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int port = peers::ParsePort(argc, argv);
    if (port == 0) return 2;
    const sigset_t stopSignals = peers::BlockStopSignals();
    signal(SIGPIPE, SIG_IGN);

    Poco::ThreadPool pool(2, kMaxClients);
    auto* params = new Poco::Net::TCPServerParams;
    params->setMaxThreads(kMaxClients);
    params->setMaxQueued(kMaxClients);
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)), 4096);
    Poco::Net::TCPServer server(new Poco::Net::TCPServerConnectionFactoryImpl<TLineConnection>(), pool, listener,
                                params);
    server.start();
    std::printf("Listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {}
    server.stop();
    {
        std::lock_guard<std::mutex> lock(GLiveMutex);
        GStopping = true;
        for (const int fd : GLive) ::shutdown(fd, SHUT_RDWR);
    }
    pool.joinAll();
    return 0;
}
