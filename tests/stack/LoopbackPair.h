// Connected socket handles on loopback for the stack's tests, on every platform.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
#include <IdFramework/runtime/SysUtils.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/stack/IdStack.h>

namespace Id::Test {

// A listening handle on loopback, port chosen by the OS.
inline void ListenOnLoopback(TIdSocketHandle& AListener, TIdIPVersion AVersion = Id_IPv4) {
    AListener.SetIPVersion(AVersion);
    AListener.AllocateSocket();
    AListener.SetBinding(AVersion == Id_IPv4 ? u"127.0.0.1" : u"::1", 0, AVersion);
    AListener.Bind();
    AListener.Listen(5);
}

// Connects AClient to AListener and accepts into AServer.
inline void ConnectPair(TIdSocketHandle& AListener, TIdSocketHandle& AClient, TIdSocketHandle& AServer) {
    AClient.SetIPVersion(AListener.IPVersion());
    AClient.AllocateSocket();
    AClient.SetPeer(AListener.IP(), AListener.Port(), AListener.IPVersion());
    AClient.Connect();
    ASSERT_TRUE(AListener.Select(5000));
    ASSERT_TRUE(AServer.Accept(AListener));
}

// A call on a thread of its own that is to block in the system until a close from this thread
// ends it. The call has blocked once its progress (bytes sent, say) stays the same for 200 ms.
class TBlockedCall {
public:
    explicit TBlockedCall(std::function<void()> ACall, std::function<int64_t()> AProgress = [] { return int64_t{0}; })
        : FThread([this, ACall] {
              ACall();
              FEnded = true;
          }) {
        int64_t last = AProgress();
        for (int i = 0; i < 50; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const int64_t now = AProgress();
            if (now == last) break;
            last = now;
        }
        FBlocked = !FEnded;
    }
    ~TBlockedCall() {
        if (FThread.joinable()) FThread.join();
    }
    // Whether the call was still running when the close came.
    bool Blocked() const { return FBlocked; }
    // Whether the call ended within 2 s after the close; when it did not, AUnblock ends it otherwise.
    bool EndedByClose(const std::function<void()>& AUnblock) {
        for (int i = 0; i < 2000 && !FEnded; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const bool ended = FEnded;
        if (!ended) AUnblock();
        FThread.join();
        return ended;
    }

private:
    std::atomic<bool> FEnded{false};
    bool FBlocked = false;
    std::thread FThread;
};

// What a close from another thread does to each kind of call blocked on the socket, the same on
// every platform, as a socket shut down in order answers: a receive 0 (closed in order), a send
// EIdSocketError 10058 (shut down), a wait "readable" (the next wait raises EIdConnClosedGracefully),
// an accept false with 10022 as the thread's last error, a datagram receive 0.
inline void CheckCloseEndsEveryBlockedCallInOrder() {
    TIdSocketHandle listener;
    ListenOnLoopback(listener);
    {
        SCOPED_TRACE("receive");
        TIdSocketHandle client, server;
        ConnectPair(listener, client, server);
        int received = -1;
        std::string raised;
        TBlockedCall call([&] {
            try {
                TIdByteArray buffer(16);
                received = server.Receive(buffer);
            } catch (const Exception& E) {
                raised = ToUtf8(E.Message());
            }
        });
        EXPECT_TRUE(call.Blocked());
        server.CloseSocket();
        EXPECT_TRUE(call.EndedByClose([&] { client.CloseSocket(); })) << "the close left the receive blocked";
        EXPECT_EQ(raised, "");
        EXPECT_EQ(received, 0);
    }
    {
        SCOPED_TRACE("send");
        TIdSocketHandle client, server;
        ConnectPair(listener, client, server);
        server.SetSockOpt(Id_SOL_SOCKET, Id_SO_SNDBUF, 4096);
        std::atomic<int64_t> sent{0};
        int code = 0;
        std::u16string message;
        std::string other;
        TBlockedCall call(
            [&] {
                const TIdByteArray block(65536, 'x');
                try {
                    for (;;) sent += server.Send(block);  // the peer reads nothing
                } catch (const EIdSocketError& E) {
                    code = E.LastError();
                    message = E.Message();
                } catch (const Exception& E) {
                    other = ToUtf8(E.Message());
                }
            },
            [&] { return sent.load(); });
        EXPECT_TRUE(call.Blocked());
        server.CloseSocket();
        EXPECT_TRUE(call.EndedByClose([&] { client.CloseSocket(); })) << "the close left the send blocked";
        EXPECT_EQ(other, "");
        EXPECT_EQ(code, Id_WSAESHUTDOWN);
        EXPECT_EQ(ToUtf8(message), ToUtf8(FormatInvariant(RSStackError, Id_WSAESHUTDOWN, RSStackESHUTDOWN)));
    }
    {
        SCOPED_TRACE("wait");
        TIdSocketHandle client, server;
        ConnectPair(listener, client, server);
        bool readable = false;
        std::string raised;
        TBlockedCall call([&] {
            try {
                readable = server.Readable(TimeoutForever);
            } catch (const Exception& E) {
                raised = ToUtf8(E.Message());
            }
        });
        EXPECT_TRUE(call.Blocked());
        server.CloseSocket();
        EXPECT_TRUE(call.EndedByClose([&] { client.CloseSocket(); })) << "the close left the wait blocked";
        EXPECT_EQ(raised, "");
        EXPECT_TRUE(readable);
        EXPECT_THROW(server.Readable(0), EIdConnClosedGracefully);
    }
    {
        SCOPED_TRACE("accept");
        TIdSocketHandle closing;
        ListenOnLoopback(closing);
        const uint16_t port = closing.Port();
        bool accepted = true;
        int error = 0;
        std::string raised;
        TBlockedCall call([&] {
            try {
                TIdSocketHandle next;
                accepted = next.Accept(closing);  // no wait first: blocked in the system's accept
                error = GSocketStack->WSGetLastError();
            } catch (const Exception& E) {
                raised = ToUtf8(E.Message());
            }
        });
        EXPECT_TRUE(call.Blocked());
        closing.CloseSocket();
        EXPECT_TRUE(call.EndedByClose([&] {
            TIdSocketHandle late;
            late.AllocateSocket();
            late.SetPeer(u"127.0.0.1", port);
            try {
                late.Connect();
            } catch (const Exception&) {
            }
        })) << "the close left the accept blocked";
        EXPECT_EQ(raised, "");
        EXPECT_FALSE(accepted);
        EXPECT_EQ(error, Id_WSAEINVAL);
    }
    {
        SCOPED_TRACE("datagram receive");
        TIdSocketHandle datagrams;
        datagrams.AllocateSocket(Id_SOCK_DGRAM);
        datagrams.SetBinding(u"127.0.0.1", 0);
        datagrams.Bind();
        const uint16_t port = datagrams.Port();
        int received = -1;
        std::string raised;
        TBlockedCall call([&] {
            try {
                TIdByteArray buffer(16);
                std::u16string ip;
                uint16_t from = 0;
                TIdIPVersion version = Id_IPv4;
                received = datagrams.RecvFrom(buffer, ip, from, version);
            } catch (const Exception& E) {
                raised = ToUtf8(E.Message());
            }
        });
        EXPECT_TRUE(call.Blocked());
        datagrams.CloseSocket();
        EXPECT_TRUE(call.EndedByClose([&] {
            TIdSocketHandle sender;
            sender.AllocateSocket(Id_SOCK_DGRAM);
            sender.SendTo(u"127.0.0.1", port, TIdByteArray{'x', 'y'});
        })) << "the close left the datagram receive blocked";
        EXPECT_EQ(raised, "");
        EXPECT_EQ(received, 0);
    }
}

}  // namespace Id::Test
