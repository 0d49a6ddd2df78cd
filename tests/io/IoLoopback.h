// A real socket pair on the loopback interface: a raw peer socket on one end and an opened
// TIdIOHandlerStack on the other, accepted the way a server accepts a client.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <IdFramework/io/IdIOHandlerStack.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/stack/IdStack.h>

namespace IdTest {

using namespace Id;

// One use of the socket stack for as long as the object lives.
struct TStackUse {
    TStackUse() { TIdStack::IncUsage(); }
    ~TStackUse() { TIdStack::DecUsage(); }
    TStackUse(const TStackUse&) = delete;
    TStackUse& operator=(const TStackUse&) = delete;
};

inline uint32_t ElapsedMs(std::chrono::steady_clock::time_point AStart) {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - AStart).count());
}

class TLoopback {
public:
    // One step of a peer script: after AtMs milliseconds from the script's start, send Data
    // (or close the peer socket when Close is set).
    struct TStep {
        int AtMs;
        std::string Data;
        bool Close = false;
    };

    TLoopback() {
        Listener.SetIPVersion(Id_IPv4);
        Listener.AllocateSocket();
        Listener.SetBinding(u"127.0.0.1", 0);
        Listener.Bind();
        Listener.Listen(5);
        Handler = new TIdIOHandlerStack;
        Handler->Open();
        Peer.AllocateSocket();
        Peer.SetUseNagle(false);
        Peer.SetPeer(Listener.IP(), Listener.Port());
        Peer.Connect();
        if (!Listener.Select(5000) || !Handler->Binding()->Accept(Listener))
            ADD_FAILURE() << "loopback accept failed";
    }

    ~TLoopback() {
        Join();
        delete Handler;
    }

    TLoopback(const TLoopback&) = delete;
    TLoopback& operator=(const TLoopback&) = delete;

    void Send(const std::string& AData) {
        const TIdByteArray bytes(AData.begin(), AData.end());
        int sent = 0;
        while (sent < static_cast<int>(bytes.size())) sent += Peer.Send(bytes, sent);
    }

    // Runs the steps on a thread of their own; Join waits for it.
    void Script(std::vector<TStep> ASteps) {
        Join();
        FScript = std::thread([this, steps = std::move(ASteps)] {
            const auto start = std::chrono::steady_clock::now();
            for (const TStep& step : steps) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(step.AtMs));
                if (step.Close) Peer.CloseSocket();
                else Send(step.Data);
            }
        });
    }

    void Join() {
        if (FScript.joinable()) FScript.join();
    }

    // Everything the peer receives within ATimeout after the last byte.
    std::string PeerReceive(int ATimeout = 2000) {
        std::string all;
        TIdByteArray buffer(65536);
        while (Peer.Readable(ATimeout)) {
            const int n = Peer.Receive(buffer);
            if (n <= 0) break;
            all.append(buffer.begin(), buffer.begin() + n);
            ATimeout = 100;
        }
        return all;
    }

    TStackUse Use;
    TIdSocketHandle Listener;
    TIdSocketHandle Peer;
    TIdIOHandlerStack* Handler = nullptr;

private:
    std::thread FScript;
};

}  // namespace IdTest
