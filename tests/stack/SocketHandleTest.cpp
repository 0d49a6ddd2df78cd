#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/stack/IdStack.h>
#include <IdFramework/stack/IdStackBSDBase.h>
#include "stack/LoopbackPair.h"
#include "stack/StackTestSupport.h"
#include "support/FailingAllocations.h"

using namespace Id;
using Id::Test::ConnectPair;
using Id::Test::ListenOnLoopback;

namespace {


// Holds a use of a handle's descriptor for as long as a test wants: a whole-file send whose hook
// blocks until released. Unlike a wait or a receive, a close does not end it.
class TBlockingTransmit {
public:
    TBlockingTransmit() : FPrevious(GTransmitFileHook) {
        Entered = false;
        Released = false;
        GTransmitFileHook = &Hook;
    }
    ~TBlockingTransmit() { GTransmitFileHook = FPrevious; }  // after the users have been joined
    static bool WaitEntered() {
        std::unique_lock lock(Lock);
        return Signal.wait_for(lock, std::chrono::seconds(5), [] { return Entered; });
    }
    static void Release() {
        std::lock_guard lock(Lock);
        Released = true;
        Signal.notify_all();
    }

private:
    static int64_t Hook(TIdStackSocketHandle, const std::u16string&) {
        std::unique_lock lock(Lock);
        Entered = true;
        Signal.notify_all();
        Signal.wait_for(lock, std::chrono::seconds(10), [] { return Released; });
        return 0;
    }
    TIdTransmitFileHook FPrevious;
    static inline std::mutex Lock;
    static inline std::condition_variable Signal;
    static inline bool Entered = false;
    static inline bool Released = false;
};

// The address family of the socket behind a descriptor number; -1 when the number is free.
int FamilyOf(int AFd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (::fcntl(AFd, F_GETFD) < 0) return -1;
    if (::getsockname(AFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -2;
    return addr.ss_family;
}

}  // namespace

class SocketHandleTest : public StackTest {};

// A port the system just handed out and that nobody holds any more.
static uint16_t FreeLoopbackPort() {
    TIdSocketHandle probe;
    probe.AllocateSocket();
    probe.SetBinding(u"127.0.0.1", 0);
    probe.Bind();
    return probe.Port();
}

TEST_F(SocketHandleTest, LoopbackIPv4TransfersBothWaysWithAddressTexts) {
    TIdSocketHandle listener, client, server;
    ListenOnLoopback(listener);
    EXPECT_EQ(listener.IP(), u"127.0.0.1");
    EXPECT_NE(listener.Port(), 0);
    ConnectPair(listener, client, server);

    EXPECT_EQ(server.PeerIP(), u"127.0.0.1");
    EXPECT_EQ(server.PeerPort(), client.Port());
    EXPECT_EQ(server.Port(), listener.Port());
    EXPECT_EQ(server.IPVersion(), Id_IPv4);
    EXPECT_EQ(client.PeerPort(), listener.Port());
    EXPECT_EQ(server.SocketType(), Id_SOCK_STREAM);
    EXPECT_TRUE(server.UseNagle());

    EXPECT_FALSE(server.Readable(0));
    EXPECT_EQ(client.Send(TIdByteArray{'h', 'e', 'l', 'l', 'o'}, 1, 3), 3);
    ASSERT_TRUE(server.Readable(5000));
    TIdByteArray buffer(16);
    ASSERT_EQ(server.Receive(buffer), 3);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3), "ell");

    EXPECT_EQ(server.Send(u"ok"), 2);
    ASSERT_TRUE(client.Readable(5000));
    ASSERT_EQ(client.Receive(buffer), 2);

    client.CloseSocket();
    ASSERT_TRUE(server.Readable(5000));
    EXPECT_EQ(server.Receive(buffer), 0);  // the peer's orderly close
}

TEST_F(SocketHandleTest, LoopbackIPv6AcceptsWithEightGroupTexts) {
    if (!GSocketStack->SupportsIPv6() || !IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
    TIdSocketHandle listener, client, server;
    ListenOnLoopback(listener, Id_IPv6);
    EXPECT_EQ(listener.IP(), u"0:0:0:0:0:0:0:1");
    ConnectPair(listener, client, server);
    EXPECT_EQ(server.IPVersion(), Id_IPv6);
    EXPECT_EQ(server.PeerIP(), u"0:0:0:0:0:0:0:1");
    EXPECT_EQ(server.PeerPort(), client.Port());
    EXPECT_EQ(client.Send(TIdByteArray{7, 8}), 2);
    ASSERT_TRUE(server.Readable(5000));
    TIdByteArray buffer(4);
    EXPECT_EQ(server.Receive(buffer), 2);
}

TEST_F(SocketHandleTest, IPv4AndIPv6DefaultBindingsShareAPort) {
    if (!IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 here";
    TIdSocketHandles bindings;
    TIdSocketHandle* v4 = bindings.Add();
    v4->AllocateSocket();
    v4->Bind();
    v4->Listen();
    TIdSocketHandle* v6 = bindings.Add();
    v6->SetIPVersion(Id_IPv6);
    v6->SetPort(v4->Port());
    v6->AllocateSocket();
    EXPECT_NO_THROW(v6->Bind());  // an IPv6 socket takes IPv6 traffic only
    EXPECT_EQ(v6->Port(), v4->Port());
    EXPECT_EQ(v6->IP(), u"0:0:0:0:0:0:0:0");
}

TEST_F(SocketHandleTest, BindConflictAndPortRanges) {
    TIdSocketHandle first;
    ListenOnLoopback(first);
    const uint16_t taken = first.Port();

    TIdSocketHandle second;
    second.AllocateSocket();
    second.SetBinding(u"127.0.0.1", taken);
    try {
        second.Bind();
        FAIL();
    } catch (const EIdCouldNotBindSocket& e) {
        EXPECT_EQ(e.Message(), u"Socket konnte nicht gebunden werden. Adresse und Port werden bereits verwendet.");
    }
    EXPECT_TRUE(second.HandleAllocated());  // closing is left to the caller

    // A range whose top is taken goes on downwards (past ports that other programs may hold).
    TIdSocketHandle ranged;
    ranged.AllocateSocket();
    ranged.SetBinding(u"127.0.0.1", 0);
    ranged.SetClientPortMin(static_cast<uint16_t>(taken - 20));
    ranged.SetClientPortMax(taken);
    ranged.Bind();
    EXPECT_LT(ranged.Port(), taken);
    EXPECT_GE(ranged.Port(), taken - 20);

    TIdSocketHandle full;
    full.AllocateSocket();
    full.SetBinding(u"127.0.0.1", 0);
    full.SetClientPortMin(taken);
    full.SetClientPortMax(taken);
    try {
        full.Bind();
        FAIL();
    } catch (const EIdCanNotBindPortInRange& e) {
        EXPECT_EQ(e.Message(), FormatInvariant(u"Port-Bereich (%d - %d) kann nicht eingebunden werden", taken, taken));
    }

    TIdSocketHandle inverted;
    inverted.AllocateSocket();
    inverted.SetClientPortMin(6000);
    inverted.SetClientPortMax(5000);
    try {
        inverted.Bind();
        FAIL();
    } catch (const EIdInvalidPortRange& e) {
        EXPECT_EQ(e.Message(), u"Ungültiger Port-Bereich (6000 - 5000)");
    }

    // Only a maximum: the OS picks the port.
    TIdSocketHandle onlyMax;
    onlyMax.AllocateSocket();
    onlyMax.SetClientPortMax(5000);
    onlyMax.Bind();
    EXPECT_NE(onlyMax.Port(), 0);
}

TEST_F(SocketHandleTest, PortRangeIsTriedFromTheTop) {
    // A port the OS just handed out and that nobody holds now is the top of a free range.
    const uint16_t top = FreeLoopbackPort();
    TIdSocketHandle ranged;
    ranged.AllocateSocket();
    ranged.SetBinding(u"127.0.0.1", 0);
    ranged.SetClientPortMin(static_cast<uint16_t>(top - 2));
    ranged.SetClientPortMax(top);
    ranged.Bind();
    EXPECT_EQ(ranged.Port(), top);
}

TEST_F(SocketHandleTest, RefusedConnectCarriesItsNumberAndText) {
    const uint16_t unused = FreeLoopbackPort();
    TIdSocketHandle client;
    client.AllocateSocket();
    client.SetPeer(u"127.0.0.1", unused);
    try {
        client.Connect();
        FAIL();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10061);
        EXPECT_EQ(e.Message(), u"Socket-Fehler # 10061\r\nVerbindung abgelehnt.");
    }
}

TEST_F(SocketHandleTest, StateRulesOfAHandle) {
    TIdSocketHandles bindings;
    bindings.SetDefaultPort(8123);
    TIdSocketHandle* item = bindings.Add();
    EXPECT_EQ(item->Port(), 8123);
    EXPECT_FALSE(item->HandleAllocated());
    EXPECT_EQ(item->Handle(), Id_INVALID_SOCKET);
    EXPECT_EQ(bindings.BindingByHandle(12345), nullptr);

    item->SetPort(0);
    item->AllocateSocket();
    EXPECT_EQ(bindings.BindingByHandle(item->Handle()), item);
    EXPECT_NO_THROW(item->SetIPVersion(Id_IPv4));
    try {
        item->SetIPVersion(Id_IPv6);
        FAIL();
    } catch (const EIdCannotSetIPVersionWhenConnected& e) {
        EXPECT_EQ(e.Message(), u"Wenn verbunden, kann IPVersion nicht verändert werden");
    }
    item->SetUseNagle(false);
    int noDelay = 0;
    item->GetSockOpt(Id_IPPROTO_TCP, Id_TCP_NODELAY, noDelay);
    EXPECT_NE(noDelay, 0);
    item->SetSockOpt(0xFFFF, 0x0004, 1);  // the Windows level and number of the address-reuse option
    int reuse = 0;
    item->GetSockOpt(Id_SOL_SOCKET, Id_SO_REUSEADDR, reuse);
    EXPECT_NE(reuse, 0);

    item->SetBinding(u"127.0.0.1", 0);
    item->Bind();
    const uint16_t port = item->Port();
    item->CloseSocket();
    item->CloseSocket();  // the second does nothing
    EXPECT_FALSE(item->HandleAllocated());
    EXPECT_EQ(item->Port(), port);  // the ends stay for the next allocation
    EXPECT_THROW(item->Readable(0), EIdConnClosedGracefully);
    try {
        item->Readable(0);
    } catch (const EIdConnClosedGracefully& e) {
        EXPECT_EQ(e.Message(), u"Die Verbindung wurde erfolgreich geschlossen.");
    }
    EXPECT_THROW(item->Select(0), EIdNotASocket);
    TIdByteArray buffer(4);
    EXPECT_EQ(item->Receive(buffer), 0);
    try {
        item->Send(buffer);
        FAIL();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10058);
    }

    TIdSocketHandles copy;
    copy.Assign(bindings);
    ASSERT_EQ(copy.Count(), 1);
    EXPECT_EQ(copy[0]->IP(), u"127.0.0.1");
    EXPECT_EQ(copy[0]->Port(), port);
    EXPECT_FALSE(copy[0]->HandleAllocated());

    delete item;  // leaves its collection
    EXPECT_EQ(bindings.Count(), 0);
}

TEST_F(SocketHandleTest, FailedAcceptAnswersFalse) {
    TIdSocketHandle listener, server;
    ListenOnLoopback(listener);
    auto* bsd = dynamic_cast<TIdStackBSDBase*>(GSocketStack);
    bsd->SetBlocking(listener.Handle(), false);
    EXPECT_FALSE(server.Accept(listener.Handle()));  // nothing pending: would block
    EXPECT_FALSE(server.HandleAllocated());
    listener.CloseSocket();
    EXPECT_FALSE(server.Accept(listener));
}

TEST_F(SocketHandleTest, CloseFromAnotherThreadWakesAWaiterAtOnce) {
    TIdSocketHandle listener, client, server;
    ListenOnLoopback(listener);
    ConnectPair(listener, client, server);

    std::atomic<bool> waiting{false};
    std::atomic<int64_t> wokeAfterMs{-1};
    std::atomic<bool> sawGracefulClose{false};
    std::atomic<std::chrono::steady_clock::time_point> closedAt{};
    std::thread waiter([&] {
        waiting = true;
        server.Readable(TimeoutForever);
        wokeAfterMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - closedAt.load())
                          .count();
        try {
            server.Readable(TimeoutForever);
        } catch (const EIdConnClosedGracefully&) {
            sawGracefulClose = true;
        }
    });
    while (!waiting) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block in the wait
    closedAt = std::chrono::steady_clock::now();
    server.CloseSocket();
    waiter.join();
    EXPECT_GE(wokeAfterMs.load(), 0);
    EXPECT_LT(wokeAfterMs.load(), 100);
    EXPECT_TRUE(sawGracefulClose);
    // The peer sees the close.
    ASSERT_TRUE(client.Readable(5000));
    TIdByteArray buffer(4);
    EXPECT_EQ(client.Receive(buffer), 0);
}

TEST_F(SocketHandleTest, CloseWakesABlockedReceiveAndAListenerWait) {
    TIdSocketHandle listener, client, server;
    ListenOnLoopback(listener);
    ConnectPair(listener, client, server);

    std::atomic<int> received{-1};
    std::thread reader([&] {
        TIdByteArray buffer(16);
        received = server.Receive(buffer);  // no wait first: blocked in the OS receive
    });
    std::atomic<bool> listenerWoke{false};
    std::atomic<bool> acceptedSomething{true};
    std::thread acceptor([&] {
        try {
            listener.Select(TimeoutForever);
        } catch (const EIdException&) {
        }
        TIdSocketHandle next;
        acceptedSomething = next.Accept(listener);
        listenerWoke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.CloseSocket();
    listener.CloseSocket();
    reader.join();
    acceptor.join();
    EXPECT_EQ(received.load(), 0);
    EXPECT_TRUE(listenerWoke);
    EXPECT_FALSE(acceptedSomething);
}

// The calls blocked on a socket that this process closes end as after an orderly close; the same
// case runs on Windows (IdStackWindowsTest.cpp).
TEST_F(SocketHandleTest, CloseFromAnotherThreadEndsEveryBlockedCallInOrder) {
    Id::Test::CheckCloseEndsEveryBlockedCallInOrder();
}

TEST_F(SocketHandleTest, SendToAVanishedPeerIsAnErrorNotASignal) {
    TIdSocketHandle listener, client, server;
    ListenOnLoopback(listener);
    ConnectPair(listener, client, server);
    server.CloseSocket();
    // The test program ignores SIGPIPE; restore the default so that a signal would end the test.
    struct sigaction defaultAction {}, previous{};
    defaultAction.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &defaultAction, &previous);
    int code = 0;
    try {
        const TIdByteArray block(65536, 'x');
        for (int i = 0; i < 200; ++i) {
            client.Send(block);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    } catch (const EIdSocketError& e) {
        code = e.LastError();
    }
    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_TRUE(code == 10054 || code == 10058) << code;
}

TEST_F(SocketHandleTest, TransmitFileSendsTheWholeFile) {
    TIdSocketHandle listener, client, server;
    ListenOnLoopback(listener);
    ConnectPair(listener, client, server);
    char path[] = "/tmp/idstack-transmit-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string content(100000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);

    std::string got;
    std::thread reader([&] {
        TIdByteArray buffer(8192);
        while (got.size() < content.size() && server.Readable(5000)) {
            const int n = server.Receive(buffer);
            if (n <= 0) break;
            got.append(buffer.begin(), buffer.begin() + n);
        }
    });
    EXPECT_EQ(client.TransmitFile(FromUtf8(path)), static_cast<int64_t>(content.size()));
    reader.join();
    EXPECT_EQ(got, content);
    EXPECT_EQ(GTransmitFileHook(client.Handle(), u"/nonexistent/file"), 0);
    ::unlink(path);
}

TEST_F(SocketHandleTest, ReallocatedWhileTheOldSocketIsInUseWaitsOnlyOnTheNewOne) {
    TIdSocketHandle listener, client, firstServer, secondServer;
    ListenOnLoopback(listener);
    ConnectPair(listener, client, firstServer);
    const int oldNumber = static_cast<int>(client.Handle());

    TBlockingTransmit blocking;
    std::thread oldUser([&] { client.TransmitFile(u"any"); });
    ASSERT_TRUE(TBlockingTransmit::WaitEntered());
    // Re-allocated and connected anew while the old descriptor is still in use.
    ConnectPair(listener, client, secondServer);
    ASSERT_NE(static_cast<int>(client.Handle()), oldNumber);

    // Nothing has been sent on the new connection: the wait runs out instead of being answered by
    // the old socket, which is shut down and therefore always readable.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Readable(300));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));

    // A use of the new descriptor running all the while does not hold up the release of the old one.
    std::atomic<int> received{-1};
    std::thread newUser([&] {
        TIdByteArray buffer(8);
        received = client.Receive(buffer);  // blocked in the OS receive on the new socket
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    TBlockingTransmit::Release();
    oldUser.join();
    EXPECT_EQ(FamilyOf(oldNumber), AF_UNIX) << "the old number is parked as soon as its own use ends";

    // The new connection works, and the old peer has seen its close.
    EXPECT_EQ(secondServer.Send(TIdByteArray{1, 2, 3}), 3);
    newUser.join();
    EXPECT_EQ(received.load(), 3);
    TIdByteArray buffer(8);
    ASSERT_TRUE(firstServer.Readable(5000));
    EXPECT_EQ(firstServer.Receive(buffer), 0);
}

TEST_F(SocketHandleTest, DestructorWaitsForAUseInFlightAndWakesWhenItEnds) {
    TIdSocketHandle listener, server;
    auto client = std::make_unique<TIdSocketHandle>();
    ListenOnLoopback(listener);
    ConnectPair(listener, *client, server);

    TBlockingTransmit blocking;
    TIdSocketHandle* raw = client.get();
    std::thread user([raw] { raw->TransmitFile(u"any"); });  // touches the handle no more afterwards
    ASSERT_TRUE(TBlockingTransmit::WaitEntered());
    std::mutex doneLock;
    std::condition_variable doneSignal;
    bool destroyed = false;
    std::thread destroyer([&] {
        client.reset();
        std::lock_guard lock(doneLock);
        destroyed = true;
        doneSignal.notify_all();
    });
    std::unique_lock lock(doneLock);
    EXPECT_FALSE(doneSignal.wait_for(lock, std::chrono::milliseconds(150), [&] { return destroyed; }))
        << "the destructor must wait for the use in flight";
    lock.unlock();
    TBlockingTransmit::Release();
    lock.lock();
    if (!doneSignal.wait_for(lock, std::chrono::seconds(10), [&] { return destroyed; })) {
        std::fprintf(stderr, "the destructor was not woken by the end of the last use\n");
        std::abort();  // it cannot be joined
    }
    lock.unlock();
    destroyer.join();
    user.join();
}

// A close needs no memory: one made while none can be had still releases the descriptor, and the
// handle's end has nothing left to wait for.
TEST_F(SocketHandleTest, ClosingWhileMemoryHasRunOutStillReleasesTheDescriptor) {
    TIdSocketHandle listener, server;
    auto client = std::make_unique<TIdSocketHandle>();
    ListenOnLoopback(listener);
    ConnectPair(listener, *client, server);
    const int number = static_cast<int>(client->Handle());
    bool threw = false;
    IdTest::FailAllocationsOnThisThread(true);
    try {
        client->CloseSocket();
        client.reset();
    } catch (...) {
        threw = true;
    }
    IdTest::FailAllocationsOnThisThread(false);
    EXPECT_FALSE(threw);
    EXPECT_EQ(::fcntl(number, F_GETFD), -1) << "the descriptor's number is still taken";
}

namespace {

// While set, socketpair(2) fails as it does when the process has no descriptors left. (Running out
// of descriptors for real is no good here: the sanitizers' own checks need free descriptors.)
std::atomic<bool> GSocketPairFails{false};

}  // namespace

// Takes the place of the C library's socketpair in this test program; everything else goes through
// to the next definition (the C library's, or a sanitizer's in front of it).
extern "C" int socketpair(int ADomain, int AType, int AProtocol, int AFds[2]) {
    if (GSocketPairFails.load()) {
        errno = EMFILE;
        return -1;
    }
    using TSocketPair = int (*)(int, int, int, int*);
    static const auto next = reinterpret_cast<TSocketPair>(::dlsym(RTLD_NEXT, "socketpair"));
    return next(ADomain, AType, AProtocol, AFds);
}

namespace {

// Runs in a process of its own, whose first socket handle is made while no socket pair can be made.
[[noreturn]] void CheckNumbersStayTakenWithoutDeadSocketAtFirst() {
    const auto fail = [](const char* AWhat) {
        std::fprintf(stderr, "%s\n", AWhat);
        std::_Exit(1);
    };
    {
        GSocketPairFails = true;
        TIdSocketHandle first;  // the first attempt at the dead socket fails
        first.AllocateSocket();
        const int firstNumber = static_cast<int>(first.Handle());
        first.CloseSocket();  // still no dead socket to be had
        if (FamilyOf(firstNumber) != AF_INET) fail("a closed number was handed back while no dead socket could be made");

        GSocketPairFails = false;
        TIdSocketHandle second;
        second.AllocateSocket();
        const int secondNumber = static_cast<int>(second.Handle());
        second.CloseSocket();
        if (FamilyOf(secondNumber) != AF_UNIX) fail("a closed number was not parked once a dead socket could be made");
        if (FamilyOf(firstNumber) != AF_INET) fail("a held number was lost");
    }
    std::_Exit(0);
}

}  // namespace

TEST_F(SocketHandleTest, ClosedNumbersStayTakenWhenTheDeadSocketCouldNotBeMadeAtFirst) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no dead socket made yet
    EXPECT_EXIT(CheckNumbersStayTakenWithoutDeadSocketAtFirst(), testing::ExitedWithCode(0), "");
}
