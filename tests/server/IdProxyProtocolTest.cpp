#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include <IdFramework/server/IdProxyProtocol.h>

using namespace Id;

namespace {

const std::string kV2Signature("\r\n\r\n\0\r\nQUIT\n", 12);

size_t Parse(const std::string& AData, TIdProxyHeader& VHeader) {
    return ParseProxyHeader(reinterpret_cast<const uint8_t*>(AData.data()), AData.size(), VHeader);
}

// Fed a byte more at a time, as a header arriving in pieces: every beginning asks for more, until
// the header is whole.
size_t ParseInPieces(const std::string& AData, TIdProxyHeader& VHeader) {
    for (size_t n = 0; n <= AData.size(); ++n) {
        const size_t length = ParseProxyHeader(reinterpret_cast<const uint8_t*>(AData.data()), n, VHeader);
        if (length != 0) return length;
    }
    return 0;
}

std::string V2(uint8_t AVersionCommand, uint8_t AFamily, const std::string& APayload) {
    std::string header = kV2Signature;
    header += static_cast<char>(AVersionCommand);
    header += static_cast<char>(AFamily);
    header += static_cast<char>(APayload.size() >> 8);
    header += static_cast<char>(APayload.size() & 0xFF);
    return header + APayload;
}

}  // namespace

TEST(ProxyHeader, Version1NamesTheClientAndLeavesWhatFollows) {
    TIdProxyHeader h;
    const std::string v4 = "PROXY TCP4 192.0.2.10 198.51.100.1 56324 8000\r\n";
    EXPECT_EQ(ParseInPieces(v4 + "hello\r\n", h), v4.size());
    EXPECT_FALSE(h.Local);
    EXPECT_EQ(h.IPVersion, Id_IPv4);
    EXPECT_EQ(std::vector<uint8_t>(h.SourceAddress.begin(), h.SourceAddress.begin() + 4),
              (std::vector<uint8_t>{192, 0, 2, 10}));
    EXPECT_EQ(h.DestinationAddress[3], 1);
    EXPECT_EQ(h.SourcePort, 56324);
    EXPECT_EQ(h.DestinationPort, 8000);

    const std::string v6 = "PROXY TCP6 2001:db8::5 ::1 65535 0\r\n";
    EXPECT_EQ(ParseInPieces(v6, h), v6.size());
    EXPECT_EQ(h.IPVersion, Id_IPv6);
    EXPECT_EQ(h.SourceAddress[0], 0x20);
    EXPECT_EQ(h.SourceAddress[15], 5);
    EXPECT_EQ(h.DestinationAddress[15], 1);
    EXPECT_EQ(h.SourcePort, 65535);

    EXPECT_EQ(Parse("PROXY UNKNOWN ffff::1 ::1 1 2\r\n", h), 31u);
    EXPECT_TRUE(h.Local);
}

TEST(ProxyHeader, Version2NamesTheClientOrMarksTheBalancersOwnConnection) {
    TIdProxyHeader h;
    const std::string v4 = V2(0x21, 0x11, std::string("\xC0\x00\x02\x0A\x7F\x00\x00\x01\xDC\x04\x1F\x40", 12) +
                                              std::string("\x03\x00\x04xyzw", 7));  // an extension, skipped
    EXPECT_EQ(ParseInPieces(v4 + "data", h), v4.size());
    EXPECT_FALSE(h.Local);
    EXPECT_EQ(h.SourceAddress[0], 192);
    EXPECT_EQ(h.SourcePort, 56324);
    EXPECT_EQ(h.DestinationPort, 8000);

    std::string addresses6(36, '\0');
    addresses6[0] = '\x20', addresses6[15] = '\x07', addresses6[31] = '\x01', addresses6[33] = '\x50';
    EXPECT_EQ(ParseInPieces(V2(0x21, 0x21, addresses6), h), 52u);
    EXPECT_EQ(h.IPVersion, Id_IPv6);
    EXPECT_EQ(h.SourceAddress[15], 7);
    EXPECT_EQ(h.DestinationAddress[15], 1);
    EXPECT_EQ(h.SourcePort, 80);

    // LOCAL (a health check) is accepted whatever its family says, and keeps no addresses.
    EXPECT_EQ(Parse(V2(0x20, 0x00, ""), h), 16u);
    EXPECT_TRUE(h.Local);
    EXPECT_EQ(Parse(V2(0x20, 0x31, std::string(216, 'u')), h), 232u);
    EXPECT_TRUE(h.Local);
}

TEST(ProxyHeader, AnythingThatCannotBecomeAHeaderIsRefusedWithItsReason) {
    const std::vector<std::pair<std::string, std::u16string>> cases = {
        {"GET / HTTP/1.1\r\n", RSProxyHeaderSignature},
        {"hello\r\n", RSProxyHeaderSignature},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2" + std::string(90, ' '), RSProxyHeaderTooLong},
        {"PROXY TCP4 999.1.1.1 1.1.1.1 1 2\r\n", RSProxyHeaderMalformed},
        {"PROXY TCP4 1.2.3 1.1.1.1 1 2\r\n", RSProxyHeaderMalformed},
        {"PROXY TCP4 1.2.3.4 1.1.1.1 65536 2\r\n", RSProxyHeaderMalformed},
        {"PROXY TCP4 1.2.3.4 1.1.1.1 01 2\r\n", RSProxyHeaderMalformed},
        {"PROXY TCP4 1.2.3.4 1.1.1.1 1\r\n", RSProxyHeaderMalformed},
        {"PROXY TCP4  1.2.3.4 1.1.1.1 1 2\r\n", RSProxyHeaderMalformed},
        {"PROXY TCP6 1.2.3.4 ::1 1 2\r\n", RSProxyHeaderMalformed},
        {"PROXY TCP6 ::g ::1 1 2\r\n", RSProxyHeaderMalformed},
        {"PROXY TCP4 1.2.3.4 1.1.1.1 1 2\n", RSProxyHeaderMalformed},
        {std::string("PROXY UNKNOWN \0\r\n", 18), RSProxyHeaderMalformed},
        {"PROXY UDP4 1.2.3.4 1.1.1.1 1 2\r\n", RSProxyHeaderFamily},
        {"PROXY \r\n", RSProxyHeaderFamily},
        {std::string("\r\n\r\n\0\r\nQUIX\n", 12), RSProxyHeaderSignature},
        {V2(0x21, 0x12, std::string(12, '\0')), RSProxyHeaderFamily},  // UDP
        {V2(0x21, 0x31, std::string(216, '\0')), RSProxyHeaderFamily},  // UNIX
        {V2(0x21, 0x00, ""), RSProxyHeaderFamily},
        {V2(0x21, 0x11, std::string(11, '\0')), RSProxyHeaderMalformed},  // shorter than its addresses
        {V2(0x21, 0x21, std::string(12, '\0')), RSProxyHeaderMalformed},
    };
    for (const auto& [data, reason] : cases) {
        TIdProxyHeader h;
        try {
            Parse(data, h);
            ADD_FAILURE() << "accepted: " << ::testing::PrintToString(data);
        } catch (const EIdProxyHeaderInvalid& e) {
            EXPECT_EQ(e.Message(), reason) << ::testing::PrintToString(data);
        }
    }
    TIdProxyHeader h;
    EXPECT_THROW(Parse(V2(0x11, 0x11, std::string(12, '\0')), h), EIdProxyHeaderInvalid);  // version 1 binary
    EXPECT_THROW(Parse(V2(0x22, 0x11, std::string(12, '\0')), h), EIdProxyHeaderInvalid);  // command 2
}
