#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
#include <IdFramework/stack/IdStack.h>
#include <IdFramework/stack/IdStackUnix.h>
#include "stack/StackTestSupport.h"

using namespace Id;

TEST(StackUsage, CountsUsesAndFreesWithTheLast) {
    ASSERT_EQ(GSocketStackUsage, 0);
    ASSERT_EQ(GSocketStack, nullptr);
    TIdStack::IncUsage();
    TIdStack* first = GSocketStack;
    ASSERT_NE(first, nullptr);
    EXPECT_NE(dynamic_cast<TIdStackUnix*>(first), nullptr);  // the platform stack, with no registration
    TIdStack::IncUsage();
    EXPECT_EQ(GSocketStack, first);
    TIdStack::DecUsage();
    EXPECT_EQ(GSocketStack, first);
    EXPECT_EQ(GSocketStackUsage, 1);
    TIdStack::DecUsage();
    EXPECT_EQ(GSocketStack, nullptr);
    EXPECT_EQ(GSocketStackUsage, 0);
    TIdStack::DecUsage();  // below zero does nothing
    EXPECT_EQ(GSocketStackUsage, 0);
    EXPECT_TRUE(GSocketLibraryStarted);
}

TEST(StackUsage, LeftOverInstanceAndMissingClassRaise) {
    GSocketStack = CreateStackUnix();
    try {
        TIdStack::IncUsage();
        FAIL();
    } catch (const EIdException& e) {
        EXPECT_EQ(e.Message(), u"Stack bereits erstellt.");
    }
    EXPECT_EQ(GSocketStackUsage, 0);
    FreeAndNil(GSocketStack);

    const TIdStackClass saved = GSocketStackType;
    GSocketStackType = nullptr;
    try {
        TIdStack::IncUsage();
        FAIL();
    } catch (const EIdException& e) {
        EXPECT_EQ(e.Message(), u"Stack-Klasse ist nicht definiert.");
    }
    GSocketStackType = [] () -> TIdStack* { throw EIdStackInitializationFailed(u"kaputt"); };
    EXPECT_THROW(TIdStack::IncUsage(), EIdStackInitializationFailed);
    GSocketStackType = saved;
    EXPECT_EQ(GSocketStackUsage, 0);
    EXPECT_EQ(GSocketStack, nullptr);
}

class StackErrors : public StackTest {};

TEST_F(StackErrors, MessagesCarryTheNumberAndTheGermanText) {
    EXPECT_EQ(GSocketStack->WSTranslateSocketErrorMsg(10054), u"Socket-Fehler # 10054\r\nVerbindung von Peer zurückgesetzt.");
    EXPECT_EQ(GSocketStack->WSTranslateSocketErrorMsg(10059),
              u"Socket-Fehler # 10059\r\nZu viele Referenzen, Verbindung nicht möglichg.");
    EXPECT_EQ(GSocketStack->WSTranslateSocketErrorMsg(11001), u"Socket-Fehler # 11001\r\nHost nicht gefunden.");
    EXPECT_EQ(GSocketStack->WSTranslateSocketErrorMsg(12345), u"Socket-Fehler # 12345\r\n");
    try {
        GSocketStack->RaiseSocketError(10038);
        FAIL();
    } catch (const EIdNotASocket& e) {
        EXPECT_EQ(e.LastError(), 10038);
        EXPECT_EQ(e.Message(), u"Socket-Fehler # 10038\r\nSocket-Operation mit Nicht-Socket.");
    }
    try {
        GSocketStack->RaiseSocketError(10061);
        FAIL();
    } catch (const EIdNotASocket&) {
        FAIL() << "only 10038 is EIdNotASocket";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10061);
    }
}

TEST_F(StackErrors, CheckForSocketErrorAnswersIgnoredCodesAndRaisesOthers) {
    EXPECT_EQ(GSocketStack->CheckForSocketError(7), 7);
    GSocketStack->WSSetLastError(10054);
    EXPECT_EQ(GSocketStack->CheckForSocketError(-1, {10058, 10053, 10054}), 10054);
    GSocketStack->WSSetLastError(10060);
    try {
        GSocketStack->CheckForSocketError(-1, {10058, 10053, 10054});
        FAIL();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10060);
    }
    errno = EPIPE;  // the platform's own number arrives as the Windows one
    try {
        GSocketStack->CheckForSocketError(-1);
        FAIL();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10058);
    }
}

TEST(ErrorNumbers, NativeNumbersMapToWindowsNumbersAndBack) {
    const std::pair<int, int> table[] = {{EINTR, 10004},        {EBADF, 10009},       {EACCES, 10013},
                                         {EINVAL, 10022},       {EMFILE, 10024},      {EAGAIN, 10035},
                                         {EWOULDBLOCK, 10035},  {EINPROGRESS, 10036}, {ENOTSOCK, 10038},
                                         {EMSGSIZE, 10040},     {EADDRINUSE, 10048},  {EADDRNOTAVAIL, 10049},
                                         {ECONNABORTED, 10053}, {ECONNRESET, 10054},  {ENOBUFS, 10055},
                                         {EISCONN, 10056},      {ENOTCONN, 10057},    {ESHUTDOWN, 10058},
                                         {EPIPE, 10058},        {ETIMEDOUT, 10060},   {ECONNREFUSED, 10061},
                                         {EHOSTUNREACH, 10065}};
    for (const auto& [native, windows] : table) {
        EXPECT_EQ(TranslateErrnoToSocketError(native), windows) << native;
        EXPECT_EQ(TranslateErrnoToSocketError(TranslateSocketErrorToErrno(windows)), windows) << windows;
    }
    EXPECT_EQ(TranslateErrnoToSocketError(EIO), EIO);  // no equivalent: unchanged
    EXPECT_EQ(AddrInfoErrorToSocketError(EAI_NONAME), 11001);
    EXPECT_EQ(AddrInfoErrorToSocketError(EAI_AGAIN), 11002);
    EXPECT_EQ(AddrInfoErrorToSocketError(EAI_SERVICE), 10109);
}

class StackAddresses : public StackTest {};

TEST_F(StackAddresses, IsIPAcceptsOnlyFourDecimalComponents) {
    EXPECT_TRUE(GSocketStack->IsIP(u"1.2.3.4"));
    EXPECT_TRUE(GSocketStack->IsIP(u"1. 2.3.4"));
    EXPECT_TRUE(GSocketStack->IsIP(u"255.0.0.255"));
    for (const char16_t* bad : {u"1.2.3", u"1.2.3.4.5", u"1.2.3.256", u"a.b.c.d", u"", u"1.2.3.$F", u"-1.2.3.4"})
        EXPECT_FALSE(GSocketStack->IsIP(bad)) << ToUtf8(bad);
}

TEST_F(StackAddresses, ResolveHostKeepsLiteralsAndReportsUnknownHosts) {
    EXPECT_EQ(GSocketStack->ResolveHost(u"localhost"), u"127.0.0.1");
    EXPECT_EQ(GSocketStack->ResolveHost(u"10.0.0.1"), u"10.0.0.1");
    EXPECT_EQ(GSocketStack->ResolveHost(u"::1", Id_IPv6), u"0:0:0:0:0:0:0:1");
    EXPECT_EQ(GSocketStack->CanonicalIPv6Text(u"fe80::1"), u"FE80:0:0:0:0:0:0:1");
    EXPECT_EQ(GSocketStack->CanonicalIPv6Text(u"1.2.3.4"), u"");
    try {
        GSocketStack->ResolveHost(u"no-such-host.invalid");
        FAIL();
    } catch (const EIdSocketError& e) {
        // Without a resolver the lookup may only fail temporarily; both are host errors.
        EXPECT_TRUE(e.LastError() == 11001 || e.LastError() == 11002) << e.LastError();
        if (e.LastError() == 11001) {
            EXPECT_EQ(e.Message(), u"Socket-Fehler # 11001\r\nHost nicht gefunden.");
        }
    }
    EXPECT_THROW(GSocketStack->ResolveHost(u"x", static_cast<TIdIPVersion>(7)), EIdIPVersionUnsupported);
}

TEST_F(StackAddresses, MulticastGroups) {
    EXPECT_TRUE(GSocketStack->IsValidIPv4MulticastGroup(u"239.255.255.250"));
    EXPECT_TRUE(GSocketStack->IsValidIPv4MulticastGroup(u"224.0.0.1"));
    EXPECT_FALSE(GSocketStack->IsValidIPv4MulticastGroup(u"240.0.0.1"));
    EXPECT_FALSE(GSocketStack->IsValidIPv4MulticastGroup(u"223.1.1.1"));
    EXPECT_FALSE(GSocketStack->IsValidIPv4MulticastGroup(u"239.1.1"));
    EXPECT_TRUE(GSocketStack->IsValidIPv6MulticastGroup(u"ff02::1"));
    EXPECT_FALSE(GSocketStack->IsValidIPv6MulticastGroup(u"fe80::1"));
    EXPECT_FALSE(GSocketStack->IsValidIPv6MulticastGroup(u"zz"));
}

TEST_F(StackAddresses, LocalAddressesAndNames) {
    TStrings& addresses = GSocketStack->LocalAddresses();
    ASSERT_GT(addresses.Count(), 0);
    for (int i = 0; i < addresses.Count(); ++i) EXPECT_TRUE(GSocketStack->IsIP(addresses[i])) << ToUtf8(addresses[i]);
    EXPECT_EQ(&GSocketStack->LocalAddresses(), &addresses);  // refilled, same list
    EXPECT_EQ(GSocketStack->LocalAddress(), addresses[0]);
    EXPECT_FALSE(GSocketStack->HostName().empty());
}

TEST_F(StackAddresses, ServicesByNameAndPort) {
    auto* bsd = dynamic_cast<TIdStackBSDBase*>(GSocketStack);
    ASSERT_NE(bsd, nullptr);
    EXPECT_EQ(bsd->WSGetServByName(u" 8080 "), 8080);
    try {
        bsd->WSGetServByName(u"no-such-service");
        FAIL();
    } catch (const EIdInvalidServiceName& e) {
        EXPECT_EQ(e.Message(), u"no-such-service ist kein gültiger Service.");
    }
    std::unique_ptr<TStrings> names(bsd->WSGetServByPort(1));
    ASSERT_NE(names, nullptr);  // possibly empty where no services database exists
}

TEST_F(StackAddresses, BinaryAddressTexts) {
    auto* bsd = dynamic_cast<TIdStackBSDBase*>(GSocketStack);
    uint8_t v6[16] = {};
    bsd->TranslateStringToTInAddr(u"2001:db8::a0b", v6, Id_IPv6);
    EXPECT_EQ(v6[0], 0x20);
    EXPECT_EQ(v6[1], 0x01);
    EXPECT_EQ(v6[15], 0x0b);
    EXPECT_EQ(bsd->TranslateTInAddrToString(v6, Id_IPv6), u"2001:DB8:0:0:0:0:0:A0B");
    uint8_t v4[4] = {};
    bsd->TranslateStringToTInAddr(u"10. 1.2.255", v4, Id_IPv4);
    EXPECT_EQ(bsd->TranslateTInAddrToString(v4, Id_IPv4), u"10.1.2.255");
    EXPECT_THROW(bsd->TranslateStringToTInAddr(u"1.2.3", v4, Id_IPv4), EConvertError);
    // A component outside 0-255 names no address: refused as a non-number, never wrapped.
    for (const char16_t* wrapped : {u"999.1.1.1", u"1.2.3.256", u"1.-1.2.3"}) {
        try {
            bsd->TranslateStringToTInAddr(wrapped, v4, Id_IPv4);
            ADD_FAILURE() << "accepted " << ToUtf8(wrapped);
        } catch (const EConvertError& E) {
            EXPECT_NE(E.Message().find(u"ist kein gültiger Integer-Wert"), std::u16string::npos);
        }
    }
    bsd->TranslateStringToTInAddr(u"0x7f.0.0.$1", v4, Id_IPv4);
    EXPECT_EQ(bsd->TranslateTInAddrToString(v4, Id_IPv4), u"127.0.0.1");
    EXPECT_THROW(bsd->TranslateStringToTInAddr(u"1::2::3", v6, Id_IPv6), EIdInvalidIPv6Address);
}

TEST_F(StackAddresses, ByteOrderAndChecksum) {
    const uint16_t word = GSocketStack->HostToNetwork(static_cast<uint16_t>(0x1234));
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&word)[0], 0x12);
    const uint64_t wide = GSocketStack->HostToNetwork(static_cast<uint64_t>(0x0102030405060708ULL));
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&wide)[0], 0x01);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&wide)[7], 0x08);
    EXPECT_EQ(GSocketStack->NetworkToHost(wide), 0x0102030405060708ULL);
    EXPECT_EQ(GSocketStack->NetworkToHost(GSocketStack->HostToNetwork(static_cast<uint32_t>(0xA1B2C3D4))), 0xA1B2C3D4u);
    const TIdIPv6Address groups{1, 2, 3, 4, 5, 6, 7, 0xFF00};
    const TIdIPv6Address net = GSocketStack->HostToNetwork(groups);
    EXPECT_EQ(net[7], GSocketStack->HostToNetwork(static_cast<uint16_t>(0xFF00)));
    EXPECT_EQ(GSocketStack->NetworkToHost(net), groups);

    EXPECT_EQ(GSocketStack->CalcCheckSum({}), 65535);
    EXPECT_EQ(GSocketStack->CalcCheckSum({0x42}), 65535 - 0x42);
    // The example of RFC 1071: stored back in host order, the checksum reads 22 0D on the wire.
    TIdByteArray data{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    TIdByteArray stored(2);
    StoreUInt16(stored, 0, GSocketStack->CalcCheckSum(data));
    EXPECT_EQ(stored, (TIdByteArray{0x22, 0x0D}));
}

// A datagram's sender, its destination and interface, and its hop limit, through the control data
// of the receive; over IPv4 and IPv6.
TEST_F(StackAddresses, ReceivedDatagramsCarryTheirPacketInformation) {
    auto* bsd = dynamic_cast<TIdStackBSDBase*>(GSocketStack);
    struct TCase {
        TIdIPVersion Version;
        const char16_t* Loopback;
        const char16_t* Text;
        int Level;
        int InfoOption;
        int HopsOption;
    };
    const TCase cases[] = {{Id_IPv4, u"127.0.0.1", u"127.0.0.1", IPPROTO_IP, IP_PKTINFO, IP_RECVTTL},
                           {Id_IPv6, u"::1", u"0:0:0:0:0:0:0:1", IPPROTO_IPV6, IPV6_RECVPKTINFO, IPV6_RECVHOPLIMIT}};
    for (const TCase& c : cases) {
        if (c.Version == Id_IPv6 && !GSocketStack->SupportsIPv6()) continue;
        const TIdStackSocketHandle receiver = GSocketStack->NewSocketHandle(Id_SOCK_DGRAM, Id_IPPROTO_UDP, c.Version);
        const TIdStackSocketHandle sender = GSocketStack->NewSocketHandle(Id_SOCK_DGRAM, Id_IPPROTO_UDP, c.Version);
        GSocketStack->SetSocketOption(receiver, c.Level, c.InfoOption, 1);
        GSocketStack->SetSocketOption(receiver, c.Level, c.HopsOption, 1);
        GSocketStack->Bind(receiver, c.Loopback, 0, c.Version);
        GSocketStack->Bind(sender, c.Loopback, 0, c.Version);
        std::u16string ip;
        uint16_t receiverPort = 0, senderPort = 0;
        TIdIPVersion version = Id_IPv4;
        GSocketStack->GetSocketName(receiver, ip, receiverPort, version);
        GSocketStack->GetSocketName(sender, ip, senderPort, version);
        EXPECT_EQ(GSocketStack->SendTo(sender, TIdByteArray{'h', 'i'}, 0, -1, c.Loopback, receiverPort, c.Version), 2);

        TIdByteArray buffer(16);
        TIdPacketInfo info;
        EXPECT_EQ(GSocketStack->ReceiveMsg(receiver, buffer, info), 2);
        EXPECT_EQ(buffer[1], 'i');
        EXPECT_EQ(info.SourceIP, c.Text);
        EXPECT_EQ(info.SourcePort, senderPort);
        EXPECT_EQ(info.SourceIPVersion, c.Version);
        EXPECT_EQ(info.DestIP, c.Text);
        EXPECT_EQ(info.DestIPVersion, c.Version);
        EXPECT_GT(info.DestIF, 0u);  // the loopback interface
        EXPECT_GT(info.TTL, 0);
        bsd->WSCloseHandle(receiver);
        bsd->WSCloseHandle(sender);
    }
}
