// The I/O handler's reading and writing rules over a scripted in-memory transport.
#include <gtest/gtest.h>

#include "IoTestSupport.h"
#include <IdFramework/io/IdTCPConnection.h>

using namespace Id;
using namespace IdTest;

namespace {

struct TOpenFake {
    TFakeIOHandler handler;
    TOpenFake() { handler.Open(); }
};

}  // namespace

TEST(IOHandlerRead, LinesTerminatorsAndSplitChunks) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    h.Feed("one\r\ntwo\r\n");
    EXPECT_EQ(h.ReadLn(u"\r\n", 200), u"one");
    const int receives = h.Receives;
    EXPECT_EQ(h.ReadLn(u"\r\n", 200), u"two");  // complete in the buffer: no receive
    EXPECT_EQ(h.Receives, receives);

    h.Feed("abc\r");
    h.Feed("\ndef\n");
    EXPECT_EQ(h.ReadLn(u"\r\n", 200), u"abc");  // terminator split across chunks
    EXPECT_FALSE(h.ReadLnTimedout());
    h.Feed("x\r\n");
    EXPECT_EQ(h.ReadLn(u"\r\n", 200), u"def\nx");  // LF alone is no CR LF

    h.Feed("abc\r\nabc\r\r\n\n");
    EXPECT_EQ(h.ReadLn(), u"abc");          // LF drops one CR before it
    EXPECT_EQ(h.ReadLn(u"\n"), u"abc\r");   // only one
    EXPECT_EQ(h.ReadLn(u""), u"");          // an empty terminator means LF: an empty line
    EXPECT_FALSE(h.ReadLnTimedout());
    h.Feed("a|b||");
    EXPECT_EQ(h.ReadLn(u"||", 200), u"a|b");
}

TEST(IOHandlerRead, TimeOutKeepsPartialData) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    h.Feed("abc");
    EXPECT_EQ(h.ReadLn(u"\r\n", 0), u"");
    EXPECT_TRUE(h.ReadLnTimedout());
    EXPECT_EQ(h.InputBuffer()->Size(), 3);
    EXPECT_EQ(h.ReadLn(u"\r\n", 20), u"");  // the fake is never readable again: a time-out
    EXPECT_TRUE(h.ReadLnTimedout());
    h.Feed("\r\n");
    EXPECT_EQ(h.ReadLn(u"\r\n", 20), u"abc");
    EXPECT_FALSE(h.ReadLnTimedout());
    // With -1 an expired ReadTimeout raises instead.
    h.SetReadTimeout(10);
    EXPECT_THROW(h.ReadLn(u"\r\n"), EIdReadTimeout);
}

TEST(IOHandlerRead, BytesWithoutTerminatorCountAsAnOverlongLineOnceTheyCannotFit) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    h.SetMaxLineLength(100);
    h.Feed(std::string(102, 'x'));  // limit + terminator: could still be a line of 100 and CR LF
    EXPECT_EQ(h.ReadLn(u"\r\n", 20), u"");
    EXPECT_TRUE(h.ReadLnTimedout());
    h.Feed("y");  // 103 bytes without a terminator: over-long now, whatever follows
    EXPECT_THROW(h.ReadLn(u"\r\n", 20), EIdReadLnMaxLineLengthExceeded);
    EXPECT_EQ(h.InputBuffer()->Size(), 103);

    for (int i = 0; i < 1000; ++i) h.Feed(std::string(50, 'z'));
    EXPECT_THROW(h.ReadLn(u"\r\n", 20), EIdReadLnMaxLineLengthExceeded);  // no further receive
    EXPECT_EQ(h.InputBuffer()->Size(), 103);

    bool split = false;
    EXPECT_EQ(h.ReadLnSplit(split, u"\r\n", 20), std::u16string(100, u'x'));
    EXPECT_TRUE(split);
    EXPECT_EQ(h.InputBuffer()->Size(), 3);

    // A limit of 0 means no limit.
    TOpenFake g;
    g.handler.Feed(std::string(50000, 'q') + "\n");
    EXPECT_EQ(g.handler.ReadLn(u"\n", 200, 0).size(), 50000u);
}

TEST(IOHandlerRead, ByteBlocksAndDataChecks) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    EXPECT_FALSE(h.CheckForDataOnSource(0));
    h.Feed("ab");
    h.Feed("cdef");
    TIdByteArray out;
    h.ReadBytes(out, 5);
    EXPECT_EQ(Text(out), "abcde");
    h.ReadBytes(out, 0);
    h.ReadBytes(out, -1);  // whatever is there
    EXPECT_EQ(Text(out), "abcdef");
    h.Feed("gh");
    EXPECT_TRUE(h.CheckForDataOnSource(0));
    EXPECT_EQ(h.InputBufferAsString(), u"gh");

    // Read work is reported as bytes leave the input buffer.
    std::vector<int64_t> work;
    h.SetOnWork([&](TObject*, TWorkMode m, int64_t n) {
        if (m == TWorkMode::wmRead) work.push_back(n);
    });
    h.BeginWork(TWorkMode::wmRead);
    h.Feed("12345");
    h.ReadBytes(out, 2, false);
    h.ReadBytes(out, 3, false);
    h.EndWork(TWorkMode::wmRead);
    EXPECT_EQ(work, (std::vector<int64_t>{2, 5}));

    h.Close();
    EXPECT_THROW(h.ReadBytes(out, 1), EIdConnClosedGracefully);
    EXPECT_FALSE(h.CheckForDataOnSource(0));
}

TEST(IOHandlerRead, InterceptSeesEveryChunkAndMayKeepOneBack) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    TIdConnectionIntercept intercept;
    int seen = 0;
    intercept.SetOnReceive([&](TIdConnectionIntercept*, TIdByteArray& b) {
        if (++seen == 1) b.clear();  // keeps the first chunk back: not a close
        else for (auto& c : b) c = static_cast<uint8_t>(std::toupper(c));
    });
    h.SetIntercept(&intercept);
    h.Feed("lost");
    h.Feed("line\n");
    EXPECT_EQ(h.ReadLn(u"\n", 200), u"LINE");
    EXPECT_FALSE(h.ClosedGracefully());
}

TEST(IOHandlerWrite, LinesLeaveInOneSend) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    std::vector<int64_t> work;
    h.SetOnWork([&](TObject*, TWorkMode, int64_t n) { work.push_back(n); });
    h.BeginWork(TWorkMode::wmWrite);
    h.WriteLn(u"abc");
    ASSERT_EQ(h.Sent.size(), 1u);
    EXPECT_EQ(Text(h.Sent[0]), "abc\r\n");
    h.Write(u"");
    h.Write(TIdByteArray{});
    EXPECT_EQ(h.Sent.size(), 1u);
    EXPECT_EQ(work, (std::vector<int64_t>{5}));
    h.WriteLn();
    h.WriteLnRFC(u".x");
    h.WriteLnRFC(u"y");
    h.Write(u'z');
    EXPECT_EQ(AllSent(h), "abc\r\n\r\n..x\r\ny\r\nz");
    h.EndWork(TWorkMode::wmWrite);
}

TEST(IOHandlerWrite, ALineWrittenFromTheWorkEventLeavesTheLineBeingWrittenWhole) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    h.SetSendLimit(2);
    bool nested = false;
    h.SetOnWork([&](TObject*, TWorkMode, int64_t) {
        if (nested) return;
        nested = true;
        h.WriteLn(u"in");
    });
    h.BeginWork(TWorkMode::wmWrite);
    h.WriteLn(u"outer");
    h.WriteLn(u"next");
    h.EndWork(TWorkMode::wmWrite);
    EXPECT_EQ(AllSent(h), "ouin\r\nter\r\nnext\r\n");
}

TEST(IOHandlerWrite, BufferingThresholdFlushAndCancel) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    h.WriteBufferOpen(10);
    h.Write(Bytes("0123456789ABCDEFGHIJklmno"));
    ASSERT_EQ(h.Sent.size(), 2u);
    EXPECT_EQ(Text(h.Sent[0]), "0123456789");
    EXPECT_EQ(Text(h.Sent[1]), "ABCDEFGHIJ");
    h.WriteBufferFlush();
    ASSERT_EQ(h.Sent.size(), 3u);
    EXPECT_EQ(Text(h.Sent[2]), "klmno");
    h.Write(Bytes("rest"));
    h.WriteBufferClose();
    EXPECT_EQ(Text(h.Sent.back()), "rest");
    EXPECT_FALSE(h.WriteBufferingActive());

    h.Sent.clear();
    h.WriteBufferOpen();
    h.WriteLn(u"dropped");
    h.WriteBufferCancel();
    EXPECT_TRUE(h.Sent.empty());
    EXPECT_FALSE(h.WriteBufferingActive());

    h.WriteBufferOpen();
    h.Write(Bytes("abc"));
    EXPECT_THROW(h.WriteBufferFlush(4), EIdNotEnoughDataInBuffer);
    h.Close();  // clears but keeps buffering on
    EXPECT_TRUE(h.WriteBufferingActive());
    h.Open();
    h.WriteBufferClose();
    EXPECT_TRUE(h.Sent.empty());
}

TEST(IOHandlerWrite, NumbersInBothByteOrders) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    h.Write(int32_t{1}, true);
    h.Write(int32_t{1}, false);
    h.Write(uint16_t{0x0102}, true);
    h.Write(int64_t{0x0102030405060708LL}, true);
    h.Write(uint8_t{0xFE});
    const std::string all = AllSent(h);
    EXPECT_EQ(all.substr(0, 4), std::string("\0\0\0\1", 4));
    EXPECT_EQ(all.substr(4, 4), std::string("\1\0\0\0", 4));  // this host is little-endian
    EXPECT_EQ(all.substr(8, 2), std::string("\1\2", 2));
    EXPECT_EQ(all.substr(10, 8), std::string("\1\2\3\4\5\6\7\10", 8));
    EXPECT_EQ(static_cast<uint8_t>(all[18]), 0xFE);
}

TEST(IOHandlerWrite, StreamsWithCountPrefix) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    h.SetSendBufferSize(30);
    TMemoryStream stream;
    std::string data;
    for (int i = 0; i < 100; ++i) data += static_cast<char>('A' + i % 26);
    stream.WriteBuffer(data.data(), 100);
    stream.SetPosition(50);
    std::vector<int64_t> begins;
    int ends = 0;
    h.SetOnWorkBegin([&](TObject*, TWorkMode m, int64_t n) {
        EXPECT_EQ(m, TWorkMode::wmWrite);
        begins.push_back(n);
    });
    h.SetOnWorkEnd([&](TObject*, TWorkMode) { ++ends; });
    h.Write(stream, 0, true);
    EXPECT_EQ(AllSent(h), std::string("\0\0\0\x64", 4) + data);
    EXPECT_EQ(h.Sent.size(), 1u + 4u);  // the count, then blocks of SendBufferSize
    EXPECT_EQ(begins, (std::vector<int64_t>{100}));
    EXPECT_EQ(ends, 1);

    h.Sent.clear();
    h.SetLargeStream(true);
    stream.SetPosition(90);
    h.Write(stream, -1, true);
    EXPECT_EQ(AllSent(h), std::string("\0\0\0\0\0\0\0\x0A", 8) + data.substr(90));

    h.Sent.clear();
    stream.SetPosition(95);
    EXPECT_THROW(h.Write(stream, 10, false), EIdNoDataToRead);
    EXPECT_EQ(AllSent(h), data.substr(95));
    EXPECT_EQ(ends, 3);  // also on the exception

    h.SetLargeStream(false);
    EXPECT_THROW(h.Write(stream, int64_t{1} << 31, true), EIdIOHandlerRequiresLargeStream);

    EXPECT_THROW(h.WriteFile(u"/nonexistent/file"), EIdFileNotFound);
}

TEST(IOHandlerWrite, ListsAreAllOrNothing) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    TStringList lines;
    lines.Add(u"a");
    lines.Add(u".b");
    h.Write(lines, true);
    ASSERT_EQ(h.Sent.size(), 1u);  // gathered and sent together
    EXPECT_EQ(Text(h.Sent[0]), std::string("\0\0\0\2a\r\n.b\r\n", 11));
    h.Sent.clear();
    h.WriteRFCStrings(lines);
    EXPECT_EQ(AllSent(h), "a\r\n..b\r\n.\r\n");
}

TEST(IOHandlerWrite, PartialSendsOfferTheRemainder) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    std::vector<int64_t> work;
    h.SetOnWork([&](TObject*, TWorkMode, int64_t n) { work.push_back(n); });
    h.BeginWork(TWorkMode::wmWrite);
    h.SetSendLimit(3);
    h.Write(Bytes("12345"));
    ASSERT_EQ(h.Sent.size(), 2u);
    EXPECT_EQ(Text(h.Sent[0]), "123");
    EXPECT_EQ(Text(h.Sent[1]), "45");
    EXPECT_EQ(work, (std::vector<int64_t>{3, 5}));  // running totals: 3, then 2 more
    h.EndWork(TWorkMode::wmWrite);
}

TEST(IOHandlerWrite, ATransportThatTakesNothingEndsTheWrite) {
    TOpenFake f;
    TFakeIOHandler& h = f.handler;
    h.Feed("unread");
    ASSERT_TRUE(h.CheckForDataOnSource(0));
    h.SetSendLimit(0);
    EXPECT_THROW(h.WriteLn(u"x"), EIdConnClosedGracefully);  // no endless retry
    EXPECT_TRUE(h.ClosedGracefully());
    EXPECT_FALSE(h.Opened());
    EXPECT_THROW(h.WriteLn(u"y"), EIdConnClosedGracefully);  // known closed: nothing sent
    EXPECT_TRUE(h.Sent.empty());

    TOpenFake g;
    g.handler.SetSendResult(-1);
    EXPECT_THROW(g.handler.WriteLn(u"x"), EIdSocketError);
}

// A failed send leaves the handler open while the stream is still whole; once part of a write has
// left, nothing sent after it could be read correctly, so the handler closes.
TEST(IOHandlerWrite, AFailedSendClosesTheHandlerOnlyWhenPartOfTheWriteLeft) {
    TOpenFake before;
    before.handler.SetSendRaisesAfter(0, Id_WSAENOBUFS);
    EXPECT_THROW(before.handler.WriteLn(u"whole"), EIdSocketError);
    EXPECT_TRUE(before.handler.Opened());
    EXPECT_FALSE(before.handler.ClosedGracefully());
    before.handler.WriteLn(u"again");  // the transport recovered: the line leaves whole
    EXPECT_EQ(AllSent(before.handler), "again\r\n");

    TOpenFake halfway;
    halfway.handler.SetSendLimit(2);
    halfway.handler.SetSendRaisesAfter(1, Id_WSAENOBUFS);
    EXPECT_THROW(halfway.handler.WriteLn(u"split"), EIdSocketError);
    EXPECT_EQ(AllSent(halfway.handler), "sp");
    EXPECT_FALSE(halfway.handler.Opened());

    // A send time-out tells nothing of what it sent: the stream may already be broken.
    TOpenFake timedOut;
    timedOut.handler.SetSendRaisesAfter(0, Id_WSAETIMEDOUT);
    EXPECT_THROW(timedOut.handler.WriteLn(u"late"), EIdSocketError);
    EXPECT_FALSE(timedOut.handler.Opened());
}

TEST(Intercept, ChainOrderAndCircularLinks) {
    std::vector<std::string> log;
    TIdConnectionIntercept a, b;
    auto hook = [&](const char* name, TIdConnectionIntercept& i) {
        i.SetOnSend([&log, name](TIdConnectionIntercept*, TIdByteArray& bytes) {
            log.push_back(std::string(name) + " send");
            bytes.push_back(static_cast<uint8_t>(name[0]));
        });
        i.SetOnReceive([&log, name](TIdConnectionIntercept*, TIdByteArray&) { log.push_back(std::string(name) + " receive"); });
        i.SetOnConnect([&log, name](TIdConnectionIntercept*) { log.push_back(std::string(name) + " connect"); });
        i.SetOnDisconnect([&log, name](TIdConnectionIntercept*) { log.push_back(std::string(name) + " disconnect"); });
    };
    hook("A", a);
    hook("B", b);
    a.SetIntercept(&b);

    TOpenFake f;
    f.handler.SetIntercept(&a);
    a.Connect(&f.handler);
    EXPECT_EQ(b.Connection(), &f.handler);
    f.handler.Write(Bytes("x"));
    EXPECT_EQ(Text(f.handler.Sent.at(0)), "xAB");  // outermost layer first
    f.handler.Feed("y\n");
    f.handler.ReadLn();
    f.handler.Close();
    EXPECT_EQ(log, (std::vector<std::string>{"A connect", "B connect", "A send", "B send", "B receive", "A receive",
                                             "B disconnect", "A disconnect"}));
    EXPECT_EQ(a.Connection(), nullptr);

    try {
        b.SetIntercept(&a);
        ADD_FAILURE() << "no exception";
    } catch (const EIdInterceptCircularLink& e) {
        EXPECT_EQ(e.Message(), u"TIdConnectionIntercept: Zirkuläre Verknüpfungen sind nicht zulässig");
    }
    EXPECT_EQ(b.Intercept(), nullptr);
    EXPECT_THROW(a.SetIntercept(&a), EIdInterceptCircularLink);
    EXPECT_EQ(a.Intercept(), &b);

    // Freeing a linked intercept clears the links to it.
    auto* c = new TIdConnectionIntercept;
    b.SetIntercept(c);
    f.handler.SetIntercept(c);
    delete c;
    EXPECT_EQ(b.Intercept(), nullptr);
    EXPECT_EQ(f.handler.Intercept(), nullptr);
}

namespace {

// Records its own destruction.
class TTrackedFake : public TFakeIOHandler {
public:
    explicit TTrackedFake(bool* AFreed) : FFreed(AFreed) {}
    ~TTrackedFake() override { *FFreed = true; }

private:
    bool* FFreed;
};

}  // namespace

TEST(TCPConnection, DisconnectReportsInOrderOnce) {
    TIdTCPConnection connection;
    TFakeIOHandler handler;
    handler.Open();
    connection.SetIOHandler(&handler);
    std::vector<std::string> log;
    connection.SetOnStatus([&](TObject*, TIdStatus s, const std::u16string& text) {
        log.push_back(std::to_string(static_cast<int>(s)) + " " + ToUtf8(text) + (handler.Opened() ? " open" : " closed"));
    });
    connection.SetOnDisconnected([&](TObject*) { log.push_back(handler.Opened() ? "event open" : "event closed"); });
    EXPECT_TRUE(connection.Connected());
    connection.Disconnect();
    connection.Disconnect();
    EXPECT_EQ(log, (std::vector<std::string>{"3 Verbindung wird getrennt. open", "event closed",
                                             "4 Verbindung getrennt. closed"}));
    EXPECT_FALSE(connection.Connected());

    // After the handler closed itself on a peer's close: nothing more.
    log.clear();
    handler.Open();
    handler.PeerClose();
    EXPECT_THROW(handler.ReadLn(), EIdConnClosedGracefully);
    connection.Disconnect();
    EXPECT_TRUE(log.empty());
}

TEST(TCPConnection, HandlerOwnershipAndWorkTarget) {
    bool firstFreed = false, secondFreed = false;
    auto* first = new TTrackedFake(&firstFreed);
    auto* second = new TTrackedFake(&secondFreed);
    {
        TIdTCPConnection connection;
        EXPECT_FALSE(connection.Connected());
        try {
            connection.CheckForGracefulDisconnect(true);
            ADD_FAILURE() << "no exception";
        } catch (const EIdException& e) {
            EXPECT_EQ(e.Message(), u"Nicht verbunden");
        }
        connection.CheckForGracefulDisconnect(false);

        connection.SetIOHandler(first);
        connection.SetManagedIOHandler(true);
        EXPECT_EQ(first->WorkTarget(), &connection);
        connection.SetIOHandler(second);  // a managed handler goes with its replacement
        EXPECT_TRUE(firstFreed);
        EXPECT_FALSE(connection.ManagedIOHandler());
        second->Open();
        connection.SetIOHandler(nullptr);  // an unmanaged one stays, detached
        EXPECT_FALSE(secondFreed);
        EXPECT_EQ(second->WorkTarget(), nullptr);
        connection.SetIOHandler(second);
    }
    // Freeing the connection closes an unmanaged handler without freeing it.
    EXPECT_FALSE(secondFreed);
    EXPECT_FALSE(second->Opened());
    delete second;

    // A handler freed elsewhere is forgotten.
    TIdTCPConnection connection;
    auto* third = new TFakeIOHandler;
    connection.SetIOHandler(third);
    delete third;
    EXPECT_EQ(connection.IOHandler(), nullptr);
}

TEST(TCPConnection, InterceptHandOverAndConflicts) {
    TIdTCPConnection connection;
    TIdConnectionIntercept mine, other;
    connection.SetIntercept(&mine);
    EXPECT_EQ(connection.Intercept(), &mine);
    TFakeIOHandler handler;
    connection.SetIOHandler(&handler);
    EXPECT_EQ(handler.Intercept(), &mine);

    TFakeIOHandler foreign;
    foreign.SetIntercept(&other);
    try {
        connection.SetIOHandler(&foreign);
        ADD_FAILURE() << "no exception";
    } catch (const EIdException& e) {
        EXPECT_EQ(e.Message(), u"Dem IOHandler wurde bereits ein anderes Intercept zugewiesen");
    }
    EXPECT_EQ(connection.IOHandler(), &handler);

    // Work events of the handler are the connection's.
    int64_t total = 0;
    connection.SetOnWork([&](TObject* s, TWorkMode, int64_t n) {
        EXPECT_EQ(s, &connection);
        total = n;
    });
    handler.Open();
    connection.BeginWork(TWorkMode::wmWrite);
    handler.WriteLn(u"abc");
    connection.EndWork(TWorkMode::wmWrite);
    EXPECT_EQ(total, 5);
}

namespace {
const TIdIOHandlerClass& FakeClass() {
    static const TIdIOHandlerClass ref{u"TFakeIOHandler", &TIdIOHandler::ClassRef(),
                                       [](TComponent* AOwner) -> TIdIOHandler* { return new TFakeIOHandler(AOwner); }};
    return ref;
}
const TIdIOHandlerClass& UnregisteredClass() {
    static const TIdIOHandlerClass ref{u"TUnregistered", &FakeClass(), nullptr};
    return ref;
}
}  // namespace

TEST(IOHandlerRegistry, MakesRegisteredClassesAndNamesMissingOnes) {
    TIdIOHandler::RegisterIOHandler(FakeClass());
    TIdIOHandler::RegisterIOHandler(FakeClass());
    TComponent owner;
    TIdIOHandler* made = TIdIOHandler::MakeIOHandler(FakeClass(), &owner);
    EXPECT_NE(dynamic_cast<TFakeIOHandler*>(made), nullptr);
    EXPECT_EQ(made->Owner(), &owner);
    try {
        TIdIOHandler::MakeIOHandler(UnregisteredClass());
        ADD_FAILURE() << "no exception";
    } catch (const EIdException& e) {
        EXPECT_EQ(e.Message(), u"Kein IOHandler des Typs TUnregistered installiert.");
    }

    TIdTCPConnection connection;
    connection.CreateIOHandler(&FakeClass());
    EXPECT_TRUE(connection.ManagedIOHandler());
    EXPECT_NE(dynamic_cast<TFakeIOHandler*>(connection.IOHandler()), nullptr);
    connection.IOHandler()->Open();
    try {
        connection.CreateIOHandler(&FakeClass());
        ADD_FAILURE() << "no exception";
    } catch (const EIdException& e) {
        EXPECT_EQ(e.Message(), u"Verbundener IOHandler kann nicht geändert werden.");
    }
}
