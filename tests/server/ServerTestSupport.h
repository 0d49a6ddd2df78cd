// Loopback clients and small waiting helpers for the server tests.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Wait.h"

namespace IdTest {

// A blocking TCP client socket on loopback; closed with the object.
class TClient {
public:
    TClient(const char* AIP, uint16_t APort) {
        const bool v6 = std::string(AIP).find(':') != std::string::npos;
        FFd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (v6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(APort);
            inet_pton(AF_INET6, AIP, &a.sin6_addr);
            FConnected = ::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(APort);
            inet_pton(AF_INET, AIP, &a.sin_addr);
            FConnected = ::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        }
    }
    ~TClient() { Close(); }
    TClient(const TClient&) = delete;
    TClient& operator=(const TClient&) = delete;

    bool Connected() const { return FConnected; }
    void Send(const std::string& AData) {
        size_t sent = 0;
        while (sent < AData.size()) {
            const ssize_t n = ::send(FFd, AData.data() + sent, AData.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }
    // One line up to CR LF (without it), or what arrived before the time-out or the peer's close.
    std::string ReadLine(int ATimeoutMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
        for (;;) {
            const auto pos = FPending.find("\r\n");
            if (pos != std::string::npos) {
                std::string line = FPending.substr(0, pos);
                FPending.erase(0, pos + 2);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || !WaitReadable(static_cast<int>(left))) return {};
            char buf[4096];
            const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
            if (n <= 0) return {};
            FPending.append(buf, static_cast<size_t>(n));
        }
    }
    // Whether the server closed the connection within the time-out (reads and drops data meanwhile).
    bool WaitClosed(int ATimeoutMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || !WaitReadable(static_cast<int>(left))) return false;
            char buf[4096];
            const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
            if (n <= 0) return true;
        }
    }
    void ShutdownWrite() { ::shutdown(FFd, SHUT_WR); }
    void Close() {
        if (FFd >= 0) ::close(FFd);
        FFd = -1;
    }
    int Fd() const { return FFd; }

private:
    bool WaitReadable(int ATimeoutMs) {
        pollfd p{FFd, POLLIN, 0};
        return ::poll(&p, 1, ATimeoutMs) > 0;
    }
    int FFd = -1;
    bool FConnected = false;
    std::string FPending;
};

inline int CountEntries(const char* ADir) {
    int n = 0;
    if (DIR* d = ::opendir(ADir)) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}
inline int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
inline int ProcessThreads() { return CountEntries("/proc/self/task"); }

inline bool HaveIPv6Loopback() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// Thread-safe record of what happened, in order.
class TRecorder {
public:
    void Add(std::string AEvent) {
        std::lock_guard g(FLock);
        FEvents.push_back(std::move(AEvent));
    }
    std::vector<std::string> Events() {
        std::lock_guard g(FLock);
        return FEvents;
    }
    int Count(const std::string& AEvent) {
        std::lock_guard g(FLock);
        int n = 0;
        for (const auto& e : FEvents) n += e == AEvent;
        return n;
    }

private:
    std::mutex FLock;
    std::vector<std::string> FEvents;
};

}  // namespace IdTest
