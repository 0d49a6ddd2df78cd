// The Windows stack through the framework's own classes, over real loopback sockets: what the
// system's socket library answers must come out as the same addresses, error numbers, German texts
// and wake-ups as on the other platform.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/runtime/SysUtils.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/stack/IdStack.h>
#include <IdFramework/stack/IdStackBSDBase.h>
#include "stack/LoopbackPair.h"
#include <IdFramework/stack/IdStackWindows.h>

using namespace Id;
using Id::Test::ConnectPair;
using Id::Test::ListenOnLoopback;

namespace {

class StackWindowsTest : public testing::Test {
protected:
    void SetUp() override { TIdStack::IncUsage(); }
    void TearDown() override { TIdStack::DecUsage(); }
};


// Sends AData from AFrom and receives it on ATo; answers what arrived.
std::string Exchange(TIdSocketHandle& AFrom, TIdSocketHandle& ATo, const std::string& AData) {
    EXPECT_EQ(AFrom.Send(TIdByteArray(AData.begin(), AData.end())), static_cast<int>(AData.size()));
    std::string received;
    TIdByteArray buffer(64);
    while (received.size() < AData.size() && ATo.Readable(5000)) {
        const int n = ATo.Receive(buffer);
        if (n <= 0) break;
        received.append(buffer.begin(), buffer.begin() + n);
    }
    return received;
}

void ExpectSocketError(const EIdSocketError& AError, int ACode, const std::u16string& AText) {
    EXPECT_EQ(AError.LastError(), ACode);
    EXPECT_EQ(AError.Message(), u"Socket-Fehler # " + IntToStr(ACode) + u"\r\n" + AText);
}

}  // namespace

TEST_F(StackWindowsTest, LoopbackExchangesOverIPv4AndIPv6WithTheirAddressTexts) {
    ASSERT_NE(dynamic_cast<TIdStackWindows*>(GSocketStack), nullptr);
    {
        TIdSocketHandle listener, client, server;
        ListenOnLoopback(listener);
        EXPECT_EQ(listener.IP(), u"127.0.0.1");
        EXPECT_NE(listener.Port(), 0);
        ConnectPair(listener, client, server);
        EXPECT_EQ(server.IPVersion(), Id_IPv4);
        EXPECT_EQ(server.IP(), u"127.0.0.1");
        EXPECT_EQ(server.Port(), listener.Port());
        EXPECT_EQ(server.PeerIP(), u"127.0.0.1");
        EXPECT_EQ(server.PeerPort(), client.Port());
        EXPECT_EQ(client.PeerIP(), u"127.0.0.1");
        EXPECT_EQ(client.PeerPort(), listener.Port());
        EXPECT_EQ(server.SocketType(), Id_SOCK_STREAM);
        EXPECT_EQ(Exchange(client, server, "hello"), "hello");
        EXPECT_EQ(Exchange(server, client, "back"), "back");
        client.CloseSocket();
        ASSERT_TRUE(server.Readable(5000));
        TIdByteArray buffer(4);
        EXPECT_EQ(server.Receive(buffer), 0);  // the peer's orderly close
    }
    if (!GSocketStack->SupportsIPv6()) GTEST_SKIP() << "the socket library offers no IPv6";
    TIdSocketHandle listener, client, server;
    ListenOnLoopback(listener, Id_IPv6);
    EXPECT_EQ(listener.IP(), u"0:0:0:0:0:0:0:1");
    ConnectPair(listener, client, server);
    EXPECT_EQ(server.IPVersion(), Id_IPv6);
    EXPECT_EQ(server.IP(), u"0:0:0:0:0:0:0:1");
    EXPECT_EQ(server.PeerIP(), u"0:0:0:0:0:0:0:1");
    EXPECT_EQ(server.PeerPort(), client.Port());
    EXPECT_EQ(client.PeerIP(), u"0:0:0:0:0:0:0:1");
    EXPECT_EQ(Exchange(client, server, "six"), "six");
    EXPECT_EQ(Exchange(server, client, "xis"), "xis");
}

TEST_F(StackWindowsTest, SystemErrorsArriveWithTheirNumbersAndGermanTexts) {
    // Address in use: the second bind on a port that a socket listens on.
    TIdSocketHandle first;
    ListenOnLoopback(first);
    TIdSocketHandle second;
    second.AllocateSocket();
    try {
        GSocketStack->Bind(second.Handle(), u"127.0.0.1", first.Port(), Id_IPv4);
        FAIL() << "the second bind succeeded";
    } catch (const EIdSocketError& e) {
        ExpectSocketError(e, 10048, u"Adresse wird bereits verwendet.");
    }

    // Would block: a non-blocking receive with nothing there.
    TIdSocketHandle client, server;
    ConnectPair(first, client, server);
    dynamic_cast<TIdStackBSDBase*>(GSocketStack)->SetBlocking(server.Handle(), false);
    TIdByteArray buffer(16);
    try {
        server.Receive(buffer);
        FAIL() << "the receive did not fail";
    } catch (const EIdSocketError& e) {
        ExpectSocketError(e, 10035, u"Operation würde blockieren.");
    }
    EXPECT_EQ(GSocketStack->WSGetLastError(), 10035);

    // Refused: a connect to a port nobody listens on (one that was just free).
    uint16_t closedPort;
    {
        TIdSocketHandle probe;
        probe.AllocateSocket();
        probe.SetBinding(u"127.0.0.1", 0);
        probe.Bind();
        closedPort = probe.Port();
    }
    TIdSocketHandle refused;
    refused.AllocateSocket();
    refused.SetPeer(u"127.0.0.1", closedPort);
    try {
        refused.Connect();
        FAIL() << "the connect succeeded";
    } catch (const EIdNotASocket&) {
        FAIL() << "a refused connect is no socket error of its own class";
    } catch (const EIdSocketError& e) {
        ExpectSocketError(e, 10061, u"Verbindung abgelehnt.");
    }
}

TEST_F(StackWindowsTest, SocketListWaitsOnSixtyFourSocketsAndRefusesTheSixtyFifth) {
    std::unique_ptr<TIdSocketList> list(TIdSocketList::CreateSocketList());
    ASSERT_NE(dynamic_cast<TIdSocketListWindows*>(list.get()), nullptr);
    TIdSocketHandle listener, client, server;
    ListenOnLoopback(listener);
    ConnectPair(listener, client, server);
    ASSERT_EQ(client.Send(TIdByteArray{'x'}), 1);

    // 63 idle sockets and, last, the one with data: the full set goes to the system's select.
    std::vector<std::unique_ptr<TIdSocketHandle>> idle;
    for (int i = 0; i < 63; ++i) {
        idle.push_back(std::make_unique<TIdSocketHandle>());
        idle.back()->AllocateSocket();
        list->Add(idle.back()->Handle());
    }
    list->Add(server.Handle());
    ASSERT_EQ(list->Count(), 64);
    try {
        list->Add(client.Handle());
        FAIL() << "a 65th handle was taken";
    } catch (const EIdStackSetSizeExceeded& e) {
        EXPECT_EQ(e.Message(), u"Set Size Exceeded.");
    }
    EXPECT_EQ(list->Count(), 64);

    TIdSocketList* ready = nullptr;
    ASSERT_TRUE(list->SelectReadList(ready, 5000));
    std::unique_ptr<TIdSocketList> owned(ready);
    ASSERT_EQ(ready->Count(), 1);
    EXPECT_EQ((*ready)[0], server.Handle());
    EXPECT_EQ(list->Count(), 64);  // the list itself stays as it was
}

TEST_F(StackWindowsTest, CloseFromAnotherThreadWakesAWaitWithoutLimitAtOnce) {
    TIdSocketHandle listener, client, server;
    ListenOnLoopback(listener);
    ConnectPair(listener, client, server);

    using TClock = std::chrono::steady_clock;
    std::atomic<bool> waiting{false};
    std::atomic<bool> woke{false};
    std::atomic<TClock::time_point> wokeAt{};
    std::thread waiter([&] {
        waiting = true;
        try {
            server.Readable(TimeoutForever);
        } catch (const EIdConnClosedGracefully&) {
        } catch (const EIdException& e) {
            ADD_FAILURE() << "the woken wait raised: " << ToUtf8(e.Message());
        }
        wokeAt = TClock::now();
        woke = true;
    });
    while (!waiting) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // well inside the system's wait
    ASSERT_FALSE(woke) << "the wait ended before the close";
    const auto closedAt = TClock::now();
    server.CloseSocket();
    // Bounded: a wait the close does not reach is reported, and then ended by the peer's data.
    for (int i = 0; i < 2000 && !woke; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool wokeByClose = woke;
    if (!wokeByClose) client.CloseSocket();
    waiter.join();
    ASSERT_TRUE(wokeByClose) << "the close did not wake the wait";
    EXPECT_LT(wokeAt.load() - closedAt, std::chrono::milliseconds(100));
    EXPECT_THROW(server.Readable(0), EIdConnClosedGracefully);

    // The peer sees the close, and the handle serves again.
    ASSERT_TRUE(client.Readable(5000));
    TIdByteArray buffer(4);
    EXPECT_EQ(client.Receive(buffer), 0);
    TIdSocketHandle next;
    ConnectPair(listener, next, server);
    EXPECT_EQ(Exchange(next, server, "again"), "again");
}

// As on Linux (SocketHandleTest.cpp): a blocked receive answers 0, a send 10058, a wait "readable",
// an accept false with 10022, a datagram receive 0; never "operation aborted" (995).
TEST_F(StackWindowsTest, CloseFromAnotherThreadEndsEveryBlockedCallInOrder) {
    Id::Test::CheckCloseEndsEveryBlockedCallInOrder();
}

// The close shuts the socket down for sending only: the peer sees the end of the data in order, and
// what it still sends is received, not refused (on Windows a receive side shut down while data is
// queued or arriving resets the connection).
TEST_F(StackWindowsTest, CloseShutsDownForSendingOnly) {
    TIdSocketHandle listener, client, server;
    ListenOnLoopback(listener);
    ConnectPair(listener, client, server);
    const TIdStackSocketHandle number = server.Handle();
    GSocketStack->WakeSocket(number);  // what a close does first; the socket stays open

    TIdByteArray buffer(16);
    ASSERT_TRUE(client.Readable(5000));
    EXPECT_EQ(client.Receive(buffer), 0);

    ASSERT_EQ(client.Send(TIdByteArray{'l', 'a', 't', 'e'}), 4);
    std::string received;
    try {
        for (int i = 0; i < 200 && received.size() < 4; ++i) {
            const int n = GSocketStack->Receive(number, buffer);
            if (n > 0)
                received.append(buffer.begin(), buffer.begin() + n);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    } catch (const EIdSocketError& e) {
        ADD_FAILURE() << "the receive side was shut down: " << ToUtf8(e.Message());
    }
    EXPECT_EQ(received, "late");
    server.CloseSocket();
}

// What holds of the numbers here (IdSocketHandle.h): the system may hand a closed socket's number to
// the next socket at once, and a closed handle never reaches that socket through it.
TEST_F(StackWindowsTest, ANumberGivenOutAgainNeverReachesTheClosedHandle) {
    TIdSocketHandles bindings;
    TIdSocketHandle* first = bindings.Add();
    first->AllocateSocket();
    const TIdStackSocketHandle number = first->Handle();
    first->CloseSocket();
    TIdSocketHandle* second = bindings.Add();
    second->AllocateSocket();
    EXPECT_EQ(first->Handle(), Id_INVALID_SOCKET);
    if (second->Handle() == number) {
        EXPECT_EQ(bindings.BindingByHandle(number), second);
    }
    EXPECT_NE(bindings.BindingByHandle(number), first);
    TIdByteArray buffer(4);
    EXPECT_EQ(first->Receive(buffer), 0);
    EXPECT_THROW(first->Send(buffer), EIdSocketError);
    EXPECT_THROW(first->Readable(0), EIdConnClosedGracefully);
    EXPECT_EQ(second->SocketType(), Id_SOCK_STREAM);  // untouched by the closed handle's calls
    RecordProperty("number_reused", second->Handle() == number ? "yes" : "no");
}
