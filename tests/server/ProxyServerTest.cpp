#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/server/IdTCPServer.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include "server/ServerTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

const std::string kV2Signature("\r\n\r\n\0\r\nQUIT\n", 12);

// A server behind a balancer: OnConnect records the addresses the client's binding names, each
// line is answered with "echo:" + line, OnException records the class of what ended a client.
class ProxyServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        FServer = std::make_unique<TIdTCPServer>();
        FServer->SetProxyProtocol(true);
        FServer->SetProxyHeaderTimeout(300);
        FServer->SetOnConnect([this](TIdContext* AContext) {
            TIdSocketHandle* b = AContext->Binding();
            const bool local = static_cast<TIdServerContext*>(AContext)->ProxyLocal();
            FEvents.Add((local ? "local " : "connect ") + ToUtf8(b->PeerIP()) + " " + std::to_string(b->PeerPort()) +
                        " " + ToUtf8(b->IP()) + " " + std::to_string(b->Port()));
        });
        FServer->SetOnExecute([](TIdContext* AContext) {
            TIdIOHandler* io = AContext->Connection()->IOHandler();
            const std::u16string line = io->ReadLn(u"\r\n", 200);
            if (!line.empty()) io->WriteLn(u"echo:" + line);
        });
        FServer->SetOnException([this](TIdContext*, Exception& AException) {
            if (dynamic_cast<EIdProxyHeaderInvalid*>(&AException)) FEvents.Add("refused " + ToUtf8(AException.Message()));
        });
        TIdSocketHandle* binding = FServer->Bindings()->Add();
        binding->SetIP(u"127.0.0.1");
        binding->SetPort(0);
        FServer->SetActive(true);
        FPort = FServer->Bindings()->Items(0)->Port();
    }
    void TearDown() override { FServer.reset(); }

    // Sends AHeader (in pieces of APiece bytes when given) and a line; answers the reply.
    std::string Exchange(const std::string& AHeader, size_t APiece = 0) {
        TClient c("127.0.0.1", FPort);
        for (size_t at = 0; APiece && at < AHeader.size(); at += APiece) {
            c.Send(AHeader.substr(at, APiece));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        c.Send((APiece ? "" : AHeader) + "hi\r\n");
        return c.ReadLine();
    }

    std::string LastEvent() {
        EXPECT_TRUE(WaitUntil([this] { return !FEvents.Events().empty(); }, 5000));
        const auto events = FEvents.Events();
        return events.empty() ? "" : events.back();
    }

    std::unique_ptr<TIdTCPServer> FServer;
    uint16_t FPort = 0;
    TRecorder FEvents;
};

std::string V2(char ACommand, char AFamily, const std::string& AAddresses) {
    return kV2Signature + ACommand + AFamily + static_cast<char>(AAddresses.size() >> 8) +
           static_cast<char>(AAddresses.size() & 0xFF) + AAddresses;
}

}  // namespace

TEST_F(ProxyServerTest, HeadersNameTheClientAndTheBytesBehindThemAreTheClientsOwn) {
    EXPECT_EQ(Exchange("PROXY TCP4 192.0.2.10 198.51.100.1 56324 8000\r\n"), "echo:hi");
    EXPECT_EQ(LastEvent(), "connect 192.0.2.10 56324 198.51.100.1 8000");

    // In pieces: the header is read whole before the client's events.
    EXPECT_EQ(Exchange("PROXY TCP6 2001:db8::5 ::1 4000 80\r\n", 7), "echo:hi");
    EXPECT_EQ(LastEvent(), "connect 2001:DB8:0:0:0:0:0:5 4000 0:0:0:0:0:0:0:1 80");

    EXPECT_EQ(Exchange(V2('\x21', '\x11', std::string("\x0A\x00\x00\x07\x7F\x00\x00\x01\x00\x50\x1F\x40", 12)), 5),
              "echo:hi");
    EXPECT_EQ(LastEvent(), "connect 10.0.0.7 80 127.0.0.1 8000");

    std::string v6(36, '\0');
    v6[0] = '\xFE', v6[1] = '\x80', v6[15] = '\x09', v6[31] = '\x01', v6[33] = '\x16', v6[35] = '\x17';
    EXPECT_EQ(Exchange(V2('\x21', '\x21', v6)), "echo:hi");
    EXPECT_EQ(LastEvent(), "connect FE80:0:0:0:0:0:0:9 22 0:0:0:0:0:0:0:1 23");

    // The balancer's own connections keep their addresses and are marked as such.
    EXPECT_EQ(Exchange(V2('\x20', '\x00', "")), "echo:hi");
    EXPECT_EQ(LastEvent().rfind("local 127.0.0.1 ", 0), 0u);
    EXPECT_EQ(Exchange("PROXY UNKNOWN\r\n"), "echo:hi");
    EXPECT_EQ(LastEvent().rfind("local 127.0.0.1 ", 0), 0u);
}

TEST_F(ProxyServerTest, AConnectionWithoutAValidHeaderIsClosedAndReportedOnceAndOthersGoOn) {
    const std::string cases[] = {"hello\r\n", "PROXY TCP4 999.0.0.1 1.1.1.1 1 2\r\n",
                                 V2('\x21', '\x12', std::string(12, '\0')), std::string(200, 'P')};
    int refused = 0;
    for (const std::string& data : cases) {
        TClient c("127.0.0.1", FPort);
        c.Send(data);
        EXPECT_TRUE(c.WaitClosed(5000));
        ++refused;
        EXPECT_TRUE(WaitUntil([&] { return static_cast<int>(FEvents.Events().size()) == refused; }, 5000));
    }
    // A header that never completes ends with the header's time-out; no client thread is left.
    {
        TClient c("127.0.0.1", FPort);
        c.Send("PROXY TCP4 1.2.3.4");
        EXPECT_TRUE(c.WaitClosed(5000));
    }
    EXPECT_TRUE(WaitUntil([this] { return FEvents.Events().size() == 5; }, 5000));
    EXPECT_EQ(LastEvent(), "refused PROXY-Protokoll: der Kopf kam nicht rechtzeitig.");
    EXPECT_EQ(FServer->ClientsTimedOut(), 1);
    for (const std::string& e : FEvents.Events()) EXPECT_EQ(e.rfind("refused ", 0), 0u) << e;
    EXPECT_TRUE(WaitUntil([this] { return FServer->Contexts()->Count() == 0; }, 5000));

    EXPECT_EQ(Exchange("PROXY TCP4 192.0.2.1 192.0.2.2 1 2\r\n"), "echo:hi");
    EXPECT_EQ(LastEvent(), "connect 192.0.2.1 1 192.0.2.2 2");
}
