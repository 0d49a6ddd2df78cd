#include <gtest/gtest.h>

#include <IdFramework/client/IdTCPClient.h>
#include <IdFramework/io/IdIOHandler.h>

#include "GlobalServers.h"

namespace IdTest {
Id::TIdTCPServer GServerA;
}  // namespace IdTest

using namespace IdTest;

// Server B is left serving: its destructor stops it after main returns, when every static object
// made after it is gone, and the process must still end cleanly.
TEST(GlobalServers, ServeFromNamespaceScopeAndStopAtExit) {
    const uint16_t portA = StartOnLoopback(GServerA, u"a:");
    const uint16_t portB = StartOnLoopback(GServerB, u"b:");
    Id::TIdTCPClient a;
    a.SetReadTimeout(5000);
    a.Connect(u"127.0.0.1", portA);
    a.IOHandler()->WriteLn(u"one");
    EXPECT_EQ(a.IOHandler()->ReadLn(), u"a:one");
    Id::TIdTCPClient b;
    b.SetReadTimeout(5000);
    b.Connect(u"127.0.0.1", portB);
    b.IOHandler()->WriteLn(u"two");
    EXPECT_EQ(b.IOHandler()->ReadLn(), u"b:two");
    a.Disconnect();
    GServerA.SetActive(false);
}
