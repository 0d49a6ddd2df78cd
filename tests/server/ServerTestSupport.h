// Loopback clients and small waiting helpers for the server tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Wait.h"

namespace IdTest {

// A blocking TCP client socket on loopback; closed with the object. The socket calls are the
// platform's own (ServerClientPosix.cpp, ServerClientWindows.cpp), never the framework's.
class TClient {
public:
    TClient(const char* AIP, uint16_t APort);
    ~TClient() { Close(); }
    TClient(const TClient&) = delete;
    TClient& operator=(const TClient&) = delete;

    bool Connected() const { return FConnected; }
    void Send(const std::string& AData);
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
            const int n = Receive(buf, sizeof buf);
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
            if (Receive(buf, sizeof buf) <= 0) return true;
        }
    }
    void ShutdownWrite();
    void Close();

private:
    bool WaitReadable(int ATimeoutMs);
    // What one receive brought: the count, 0 at the peer's close, below 0 on a failure.
    int Receive(char* VBuffer, int ASize);

    static constexpr uintptr_t NoSocket = ~uintptr_t(0);
    uintptr_t FSocket = NoSocket;
    bool FConnected = false;
    std::string FPending;
};

// Whether this machine can bind the IPv6 loopback address.
bool HaveIPv6Loopback();
// Threads of this process, and the processor time it has used so far (user and system).
int ProcessThreads();
double ProcessCpuMs();
#ifndef _WIN32
// Open descriptors of this process.
int OpenDescriptors();
#endif

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
