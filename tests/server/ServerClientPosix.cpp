#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/ServerTestSupport.h"

namespace IdTest {

namespace {
int Fd(uintptr_t ASocket) { return static_cast<int>(static_cast<intptr_t>(ASocket)); }

int CountEntries(const char* ADir) {
    int n = 0;
    if (DIR* d = ::opendir(ADir)) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}
}  // namespace

TClient::TClient(const char* AIP, uint16_t APort) {
    const bool v6 = std::string(AIP).find(':') != std::string::npos;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FSocket = static_cast<uintptr_t>(static_cast<intptr_t>(fd));
    if (fd < 0) return;
    if (v6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(APort);
        inet_pton(AF_INET6, AIP, &a.sin6_addr);
        FConnected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(APort);
        inet_pton(AF_INET, AIP, &a.sin_addr);
        FConnected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
}

void TClient::Send(const std::string& AData) {
    size_t sent = 0;
    while (sent < AData.size()) {
        const ssize_t n = ::send(Fd(FSocket), AData.data() + sent, AData.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

void TClient::ShutdownWrite() { ::shutdown(Fd(FSocket), SHUT_WR); }

void TClient::Close() {
    if (FSocket != NoSocket) ::close(Fd(FSocket));
    FSocket = NoSocket;
}

bool TClient::WaitReadable(int ATimeoutMs) {
    pollfd p{Fd(FSocket), POLLIN, 0};
    return ::poll(&p, 1, ATimeoutMs) > 0;
}

int TClient::Receive(char* VBuffer, int ASize) {
    return static_cast<int>(::recv(Fd(FSocket), VBuffer, static_cast<size_t>(ASize), 0));
}

bool HaveIPv6Loopback() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

int ProcessThreads() { return CountEntries("/proc/self/task"); }

double ProcessCpuMs() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
}

int OpenDescriptors() { return CountEntries("/proc/self/fd"); }

}  // namespace IdTest
