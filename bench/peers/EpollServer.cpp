// The floor: the line reply from one thread over epoll, with nothing else in the way. Every
// connection's bytes are read as they come, and the replies to all the whole lines of one read
// leave in one send. It is what this machine can do at all, not a design to copy: no time-outs,
// no limits beyond the line length, and a client that does not read what it is sent is dropped.
//
//   EpollServer --port N
//
// Listens on 127.0.0.1; ends with status 0 on SIGTERM or SIGINT, closing every connection.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>

#include "LineReply.h"

namespace {

struct TClient {
    std::string Pending, Out;
};

// Sends all of AOut or gives up on the client: the floor never waits for a slow reader.
bool SendAll(int AFd, const std::string& AOut) {
    size_t sent = 0;
    while (sent < AOut.size()) {
        const ssize_t n = ::send(AFd, AOut.data() + sent, AOut.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int port = peers::ParsePort(argc, argv);
    if (port == 0) return 2;
    const sigset_t stops = peers::BlockStopSignals();
    const int stopFd = ::signalfd(-1, &stops, SFD_CLOEXEC);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (stopFd < 0 || listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, SOMAXCONN) != 0) {
        std::perror("EpollServer");
        return 1;
    }
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    event.data.fd = stopFd;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, stopFd, &event);

    std::unordered_map<int, std::unique_ptr<TClient>> clients;
    const auto drop = [&](int AFd) {
        ::epoll_ctl(poller, EPOLL_CTL_DEL, AFd, nullptr);
        ::close(AFd);
        clients.erase(AFd);
    };
    char buffer[65536];
    epoll_event ready[256];
    for (bool running = true; running;) {
        const int count = ::epoll_wait(poller, ready, 256, -1);
        if (count < 0 && errno == EINTR) continue;
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == stopFd) {
                running = false;
            } else if (fd == listener) {
                for (int client; (client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    event.data.fd = client;
                    ::epoll_ctl(poller, EPOLL_CTL_ADD, client, &event);
                    clients.emplace(client, std::make_unique<TClient>());
                }
            } else {
                TClient& client = *clients.at(fd);
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (got <= 0) {
                    drop(fd);
                    continue;
                }
                client.Pending.append(buffer, static_cast<size_t>(got));
                client.Out.clear();
                if (!peers::AnswerLines(client.Pending, client.Out) || !SendAll(fd, client.Out)) drop(fd);
            }
        }
    }
    for (auto& [fd, client] : clients) ::close(fd);
    ::close(listener);
    return 0;
}
