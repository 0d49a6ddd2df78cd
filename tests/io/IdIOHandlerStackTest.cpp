// The stack I/O handler over a real loopback socket pair. Timing assertions leave wide margins.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>

#include "IoLoopback.h"
#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/stack/IdStackBSDBase.h>

using namespace Id;
using namespace IdTest;
using Clock = std::chrono::steady_clock;

namespace {
const std::u16string CRLF = u"\r\n";

// Waits until the handler holds at least ABytes unread bytes (or 5 seconds passed).
bool WaitForBuffered(TIdIOHandler& AHandler, int ABytes) {
    const auto start = Clock::now();
    while (AHandler.InputBuffer()->Size() < ABytes && ElapsedMs(start) < 5000) AHandler.CheckForDataOnSource(50);
    return AHandler.InputBuffer()->Size() >= ABytes;
}
}  // namespace

TEST(IOHandlerStackReadLn, TimeOutWithAndWithoutPartialData) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    auto start = Clock::now();
    EXPECT_EQ(h.ReadLn(CRLF, 200), u"");
    EXPECT_TRUE(h.ReadLnTimedout());
    EXPECT_GE(ElapsedMs(start), 180u);
    EXPECT_LT(ElapsedMs(start), 2000u);
    EXPECT_EQ(h.InputBuffer()->Size(), 0);

    pair.Send("abc");
    ASSERT_TRUE(WaitForBuffered(h, 3));
    EXPECT_EQ(h.ReadLn(CRLF, 200), u"");
    EXPECT_TRUE(h.ReadLnTimedout());
    EXPECT_EQ(h.InputBuffer()->Size(), 3);  // the partial line stays
    pair.Send("\r\n");
    EXPECT_EQ(h.ReadLn(CRLF, 2000), u"abc");
    EXPECT_FALSE(h.ReadLnTimedout());

    // Partial data within the call does not extend it: the terminator only comes afterwards.
    pair.Script({{0, "def"}});
    EXPECT_EQ(h.ReadLn(CRLF, 200), u"");
    EXPECT_TRUE(h.ReadLnTimedout());
    pair.Join();
    pair.Send("\r\n");
    EXPECT_EQ(h.ReadLn(CRLF, 5000), u"def");
}

TEST(IOHandlerStackReadLn, LinesArrivingInPiecesWithinTheTimeOut) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    // The terminator split across packets.
    pair.Script({{0, "abc\r"}, {100, "\n"}});
    EXPECT_EQ(h.ReadLn(CRLF, 3000), u"abc");
    pair.Join();

    // LF alone is no CR LF; CR LF read with LF loses the CR; two lines in one packet.
    pair.Send("x\ny\r\n");
    EXPECT_EQ(h.ReadLn(CRLF, 3000), u"x\ny");
    pair.Send("p\r\nq\r\r\n");
    EXPECT_EQ(h.ReadLn(u"\n", 3000), u"p");
    const auto start = Clock::now();
    EXPECT_EQ(h.ReadLn(u"\n", 3000), u"q\r");
    EXPECT_LT(ElapsedMs(start), 1000u);  // already buffered

    // A slow trickle ends the call after its time-out, not after two.
    std::vector<TLoopback::TStep> trickle;
    for (int i = 0; i < 60; ++i) trickle.push_back({i * 50, "z"});
    pair.Script(trickle);
    const auto trickleStart = Clock::now();
    EXPECT_EQ(h.ReadLn(CRLF, 400), u"");
    EXPECT_TRUE(h.ReadLnTimedout());
    EXPECT_LT(ElapsedMs(trickleStart), 2000u);  // the trickle lasts 3000
    pair.Join();
}

TEST(IOHandlerStackReadLn, TimeOutZeroOnlyTakesWhatIsComplete) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    EXPECT_EQ(h.ReadLn(CRLF, 0), u"");
    EXPECT_TRUE(h.ReadLnTimedout());
    pair.Send("abc\r\n");
    ASSERT_TRUE(WaitForBuffered(h, 5));
    EXPECT_EQ(h.ReadLn(CRLF, 0), u"abc");
    EXPECT_FALSE(h.ReadLnTimedout());
}

TEST(IOHandlerStackReadLn, LimitsSplitAndUnboundedInput) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    pair.Send(std::string(16384, 'a') + "\r\n");
    EXPECT_EQ(h.ReadLn(CRLF, 5000), std::u16string(16384, u'a'));
    pair.Send(std::string(16385, 'b') + "\r\n");
    EXPECT_THROW(h.ReadLn(CRLF, 5000), EIdReadLnMaxLineLengthExceeded);
    h.InputBuffer()->Clear();

    pair.Send("0123456789ABCDEFGHIJklmno\r\n");
    bool split = false;
    EXPECT_EQ(h.ReadLnSplit(split, CRLF, 5000, 10), u"0123456789");
    EXPECT_TRUE(split);
    EXPECT_EQ(h.ReadLnSplit(split, CRLF, 5000, 10), u"ABCDEFGHIJ");
    EXPECT_TRUE(split);
    EXPECT_EQ(h.ReadLnSplit(split, CRLF, 5000, 10), u"klmno");
    EXPECT_FALSE(split);

    // A peer that streams bytes without a terminator: the read fails once the bytes cannot be a
    // line of the limit, and the buffer holds at most the limit, the terminator and one chunk.
    h.SetMaxLineLength(1000);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        const TIdByteArray block(4096, 'x');
        try {
            for (int i = 0; i < 2000 && !stop; ++i) pair.Peer.Send(block);
        } catch (const EIdException&) {
        }
    });
    EXPECT_THROW(h.ReadLn(CRLF, 5000), EIdReadLnMaxLineLengthExceeded);
    EXPECT_LE(h.InputBuffer()->Size(), 1000 + 2 + h.RecvBufferSize());
    EXPECT_EQ(h.ReadLnSplit(split, CRLF, 5000), std::u16string(1000, u'x'));
    EXPECT_TRUE(split);
    stop = true;
    pair.Peer.CloseSocket();
    flood.join();
}

TEST(IOHandlerStackReadLn, LongLineInOneBytePieces) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    std::thread sender([&] {
        for (int i = 0; i < 16384; ++i) pair.Peer.Send(TIdByteArray{'w'});
        pair.Peer.Send(TIdByteArray{'\r', '\n'});
    });
    EXPECT_EQ(h.ReadLn(CRLF, 30000), std::u16string(16384, u'w'));
    sender.join();
}

TEST(IOHandlerStackReadLn, PeerCloseWithAndWithoutACompleteLine) {
    {
        TLoopback pair;
        TIdIOHandlerStack& h = *pair.Handler;
        int reports = 0;
        h.SetOnStatus([&](TObject*, TIdStatus s, const std::u16string& text) {
            EXPECT_EQ(s, TIdStatus::hsDisconnected);
            EXPECT_EQ(text, u"Verbindung getrennt.");
            ++reports;
        });
        pair.Send("abc");
        pair.Peer.CloseSocket();
        EXPECT_THROW(h.ReadLn(CRLF, 5000), EIdConnClosedGracefully);
        EXPECT_EQ(reports, 1);
        EXPECT_FALSE(h.BindingAllocated());
        EXPECT_TRUE(h.Connected());  // the unread bytes keep it connected
        EXPECT_THROW(h.ReadLn(CRLF, 5000), EIdConnClosedGracefully);
        EXPECT_EQ(h.InputBufferAsString(), u"abc");
        EXPECT_FALSE(h.Connected());
        EXPECT_EQ(reports, 1);
    }
    {
        TLoopback pair;
        TIdIOHandlerStack& h = *pair.Handler;
        pair.Send("abc\r\n");
        pair.Peer.CloseSocket();
        EXPECT_EQ(h.ReadLn(CRLF, 5000), u"abc");
        EXPECT_THROW(h.ReadLn(CRLF, 5000), EIdConnClosedGracefully);
    }
    {
        TLoopback pair;
        TIdIOHandlerStack& h = *pair.Handler;
        pair.Send("abc");
        pair.Peer.CloseSocket();
        TIdByteArray out;
        EXPECT_THROW(h.ReadBytes(out, 4), EIdConnClosedGracefully);
        EXPECT_EQ(h.InputBuffer()->Size(), 3);
    }
}

TEST(IOHandlerStack, GracefulClosePathThroughConnected) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    int reports = 0;
    h.SetOnStatus([&](TObject*, TIdStatus, const std::u16string&) { ++reports; });
    EXPECT_FALSE(h.CheckForDataOnSource(0));  // idle: false at once, no exception
    pair.Send("abc");
    pair.Peer.CloseSocket();
    // Each poll takes at most one chunk: the bytes first, the close on a later call.
    const auto start = Clock::now();
    while (h.BindingAllocated() && ElapsedMs(start) < 5000) {
        EXPECT_TRUE(h.Connected());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(h.BindingAllocated());
    EXPECT_EQ(reports, 1);
    EXPECT_TRUE(h.Connected());
    h.CheckForDisconnect(true, false);  // unread input: no exception
    EXPECT_THROW(h.CheckForDisconnect(true, true), EIdConnClosedGracefully);
    EXPECT_EQ(h.InputBufferAsString(), u"abc");
    EXPECT_FALSE(h.Connected());
    EXPECT_EQ(reports, 1);
    EXPECT_FALSE(h.CheckForDataOnSource(0));
}

// A peer that sends its lines and then shuts down only its sending side still reads: every
// complete line is answered, and only then does the handler close, reporting it once.
TEST(IOHandlerStack, PeerThatOnlyStopsSendingGetsEveryCompleteLineAnswered) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    int reports = 0;
    h.SetOnStatus([&](TObject*, TIdStatus s, const std::u16string&) { reports += s == TIdStatus::hsDisconnected; });
    pair.Send("a\r\nb\r\nc\r\nrest");
    static_cast<TIdStackBSDBase*>(GSocketStack)->WSShutdownHandle(pair.Peer.Handle(), Id_SD_Send);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The bytes and the close behind them are both taken by one question.
    EXPECT_TRUE(h.Connected());
    EXPECT_TRUE(h.ClosedGracefully());
    EXPECT_TRUE(h.BindingAllocated());
    std::u16string answered;
    try {
        while (h.Connected()) {
            const std::u16string line = h.ReadLn(CRLF, 2000);
            ASSERT_FALSE(h.ReadLnTimedout());
            h.WriteLn(u"re:" + line);
            answered += line;
        }
    } catch (const EIdConnClosedGracefully&) {
        // the unterminated rest
    }
    EXPECT_EQ(answered, u"abc");
    EXPECT_FALSE(h.BindingAllocated());
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(pair.PeerReceive(), "re:a\r\nre:b\r\nre:c\r\n");
    EXPECT_THROW(h.WriteLn(u"late"), EIdConnClosedGracefully);
    EXPECT_EQ(reports, 1);
}

// Right after a read whose wait ran out, Connected may leave the socket unasked; a close is then
// found by the next read, and once the moment has passed Connected asks again.
TEST(IOHandlerStack, ACloseAfterAReadTimedOutIsFoundByTheNextReadOrQuestion) {
    for (const bool askLater : {false, true}) {
        SCOPED_TRACE(askLater ? "question later" : "next read");
        TLoopback pair;
        TIdIOHandlerStack& h = *pair.Handler;
        EXPECT_EQ(h.ReadLn(CRLF, 20), u"");
        ASSERT_TRUE(h.ReadLnTimedout());
        pair.Peer.CloseSocket();
        if (askLater) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_FALSE(h.Connected());
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(h.ReadLn(CRLF, 5000), EIdConnClosedGracefully);
        EXPECT_LT(ElapsedMs(start), 4000u);
        EXPECT_FALSE(h.Connected());
    }
}

// Before its first input a handler waits for readiness; afterwards it may wait inside its receive.
TEST(IOHandlerStack, CloseFromAnotherThreadEndsAWaitingRead) {
    for (const bool afterInput : {false, true}) {
        SCOPED_TRACE(afterInput ? "after input" : "before input");
        TLoopback pair;
        TIdIOHandlerStack& h = *pair.Handler;
        if (afterInput) {
            pair.Send("a\r\n");
            ASSERT_EQ(h.ReadLn(CRLF, 2000), u"a");
        }
        std::thread closer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            h.Close();
        });
        const auto start = Clock::now();
        EXPECT_THROW(h.ReadLn(CRLF, TimeoutForever), EIdException);
        EXPECT_LT(ElapsedMs(start), 3000u);
        closer.join();
        EXPECT_FALSE(h.Connected());
    }
}

// Where a wait is done inside the receive, through the socket's own receive time-out, each read
// still waits exactly as long as it asks, whatever the reads before it asked or the socket's user
// changed.
TEST(IOHandlerStack, WaitsAfterTheFirstInputKeepTheirOwnTimeOuts) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    pair.Send("a\r\n");
    ASSERT_EQ(h.ReadLn(CRLF, 2000), u"a");

    auto start = Clock::now();
    EXPECT_EQ(h.ReadLn(CRLF, 100), u"");
    EXPECT_TRUE(h.ReadLnTimedout());
    EXPECT_GE(ElapsedMs(start), 90u);
    // The 100 ms of the read before must not cut this one short.
    pair.Script({{300, "b\r\n"}});
    EXPECT_EQ(h.ReadLn(CRLF, TimeoutForever), u"b");
    EXPECT_FALSE(h.ReadLnTimedout());

    // A socket its user made non-blocking answers a receive at once: the read still waits.
    auto* stack = static_cast<TIdStackBSDBase*>(GSocketStack);
    stack->SetBlocking(h.Binding()->Handle(), false);
    start = Clock::now();
    EXPECT_EQ(h.ReadLn(CRLF, 150), u"");
    EXPECT_GE(ElapsedMs(start), 140u);
    pair.Script({{100, "c\r\n"}});
    EXPECT_EQ(h.ReadLn(CRLF, 3000), u"c");
    stack->SetBlocking(h.Binding()->Handle(), true);

    // A receive time-out the socket's user set stays theirs.
    h.Binding()->SetSockOpt(Id_SOL_SOCKET, Id_SO_RCVTIMEO, 50);
    pair.Script({{100, "d\r\n"}});
    EXPECT_EQ(h.ReadLn(CRLF, TimeoutForever), u"d");
    pair.Script({{2000, "e"}});  // frees a receive that would wait without limit
    TIdByteArray buffer(16);
    start = Clock::now();
    EXPECT_THROW(h.Binding()->Receive(buffer), EIdSocketError);
    EXPECT_LT(ElapsedMs(start), 1500u);
}

// Close is the one call another thread may make; it must not meet the owning thread's buffered
// writes or its intercept half-way (the sanitizer builds see it when it does).
TEST(IOHandlerStack, CloseFromAnotherThreadDuringBufferedWritesThroughAnIntercept) {
    for (int round = 0; round < 40; ++round) {
        TLoopback pair;
        TIdIOHandlerStack& h = *pair.Handler;
        TIdConnectionIntercept intercept;
        size_t seen = 0;
        intercept.SetOnSend([&](TObject*, TIdByteArray& ABytes) { seen += ABytes.size(); });
        intercept.SetOnDisconnect([&](TObject*) { seen = 0; });
        h.SetIntercept(&intercept);
        std::atomic<bool> writing{false};
        std::thread writer([&] {
            writing = true;
            try {
                for (int i = 0; i < 500; ++i) {
                    h.WriteBufferOpen(64);
                    h.Write(std::u16string(100, u'x'));
                    h.WriteBufferClose();
                }
            } catch (const EIdException&) {
                // the close reached the writes
            }
        });
        while (!writing) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 8)));
        h.Close();
        writer.join();
        EXPECT_FALSE(h.Connected());
    }
}

TEST(IOHandlerStack, WritesArriveAndAGonePeerRaisesNoSignal) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    h.WriteLn(u"Thanks-abc-Message");
    h.Write(int32_t{258}, true);
    EXPECT_EQ(pair.PeerReceive(), std::string("Thanks-abc-Message\r\n\0\0\1\2", 24));

    pair.Peer.CloseSocket();
#ifdef SIGPIPE
    // With the default action a broken pipe would end the process instead of raising.
    const auto previous = std::signal(SIGPIPE, SIG_DFL);
#endif
    bool raised = false;
    for (int i = 0; i < 200 && !raised; ++i) {
        try {
            h.WriteLn(u"into the void");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } catch (const EIdSocketError&) {
            raised = true;
        } catch (const EIdConnClosedGracefully&) {
            raised = true;
        }
    }
#ifdef SIGPIPE
    std::signal(SIGPIPE, previous);
#endif
    EXPECT_TRUE(raised);
}

TEST(IOHandlerStack, WriteFileSendsTheWholeFile) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    char name[] = "/tmp/idio-writefile-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::string content(70000, 'f');
    std::ofstream(name, std::ios::binary) << content;
    const std::u16string file = FromUtf8(name);
    EXPECT_EQ(h.WriteFile(file, true), 70000);  // through the transmit hook
    EXPECT_EQ(pair.PeerReceive().size(), 70000u);
    EXPECT_EQ(h.WriteFile(file, false), 70000);  // through the stream write
    EXPECT_EQ(pair.PeerReceive().size(), 70000u);
    std::remove(name);
    EXPECT_EQ(h.WriteFile(file, true), 0);  // missing: nothing, no exception
}

TEST(IOHandlerStack, ClientSideConnectDestinationAndNagle) {
    TStackUse use;
    TIdSocketHandle listener;
    listener.AllocateSocket();
    listener.SetBinding(u"127.0.0.1", 0);
    listener.Bind();
    listener.Listen(5);

    TIdIOHandlerStack client;
    client.SetDestination(u"127.0.0.1:" + IntToStr(listener.Port()));
    EXPECT_EQ(client.Host(), u"127.0.0.1");
    EXPECT_EQ(client.Port(), listener.Port());
    client.SetUseNagle(false);
    client.Open();
    EXPECT_TRUE(client.BindingAllocated());
    EXPECT_FALSE(client.UseNagle());
    TIdSocketHandle accepted;
    ASSERT_TRUE(listener.Select(5000));
    ASSERT_TRUE(accepted.Accept(listener));
    client.WriteLn(u"hi");
    ASSERT_TRUE(accepted.Readable(5000));
    TIdByteArray buffer(16);
    EXPECT_EQ(accepted.Receive(buffer), 4);

    TIdIOHandlerStack other;
    other.SetDefaultPort(80);
    other.SetDestination(u"no-colon");  // nothing changes
    EXPECT_EQ(other.Host(), u"");
    other.SetDestination(u"2001:DB8::1:8080");
    EXPECT_EQ(other.Host(), u"2001:DB8::1");
    EXPECT_EQ(other.Port(), 8080);
    EXPECT_EQ(other.Destination(), u"2001:DB8::1:8080");
    other.SetDestination(u"host: junk ");
    EXPECT_EQ(other.Port(), 80);
    EXPECT_EQ(other.Destination(), u"host");
}

TEST(IOHandlerStack, DefaultClassAndConnectionOverASocket) {
    TStackUse use;
    TIdIOHandler* made = TIdIOHandler::MakeDefaultIOHandler();
    EXPECT_NE(dynamic_cast<TIdIOHandlerStack*>(made), nullptr);
    delete made;
    made = TIdIOHandler::MakeIOHandler(TIdIOHandlerSocket::ClassRef());
    EXPECT_NE(dynamic_cast<TIdIOHandlerStack*>(made), nullptr);
    delete made;

    TLoopback pair;
    TIdTCPConnection connection;
    TIdIOHandlerStack* handler = pair.Handler;
    pair.Handler = nullptr;  // the connection owns it now
    connection.SetIOHandler(handler);
    connection.SetManagedIOHandler(true);
    EXPECT_EQ(connection.Socket(), handler);
    std::vector<TIdStatus> statuses;
    connection.SetOnStatus([&](TObject*, TIdStatus s, const std::u16string&) { statuses.push_back(s); });
    EXPECT_TRUE(connection.Connected());
    pair.Send("line\r\n");
    EXPECT_EQ(connection.IOHandler()->ReadLn(CRLF, 5000), u"line");

    // A stop from another thread while the owner waits in a read.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        connection.Disconnect(false);
    });
    EXPECT_THROW(connection.IOHandler()->ReadLn(CRLF, 5000), EIdException);
    stopper.join();
    EXPECT_EQ(statuses, (std::vector<TIdStatus>{TIdStatus::hsDisconnecting, TIdStatus::hsDisconnected}));
    EXPECT_FALSE(connection.Connected());
    EXPECT_EQ(pair.PeerReceive(), "");  // the peer sees the close
}

// The server asks Connected before every line it reads; a peer that sends faster than its lines
// are read must not make those questions pile its input up in memory.
TEST(IOHandlerStackConnected, AskingDoesNotPileUpInputFromAFastSender) {
    TLoopback pair;
    std::string burst;
    for (int i = 0; i < 20000; ++i) burst += "line " + std::to_string(i) + "\r\n";
    std::thread sender([&] { pair.Send(burst); });
    int lines = 0;
    int largest = 0;
    while (lines < 20000) {
        ASSERT_TRUE(pair.Handler->Connected());
        largest = std::max(largest, pair.Handler->InputBuffer()->Size());
        const std::u16string line = pair.Handler->ReadLn(u"\r\n", 2000);
        ASSERT_FALSE(pair.Handler->ReadLnTimedout()) << "after " << lines << " lines";
        ASSERT_EQ(line, u"line " + IntToStr(lines));
        ++lines;
    }
    sender.join();
    // Never more than a chunk beyond a chunk, however long the burst.
    EXPECT_LT(largest, 2 * pair.Handler->RecvBufferSize());
}
