#include <IdFramework/server/IdProxyProtocol.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdGlobal.h>
#include <IdFramework/core/IdResourceStringsCore.h>

namespace Id {

namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr size_t kV2FixedLength = 16;

[[noreturn]] void Invalid(const char16_t* AReason) { EIdProxyHeaderInvalid::Toss(AReason); }

// Whether the first ASize bytes agree with the start of APattern (all of it when there are more).
bool StartsLike(const uint8_t* AData, size_t ASize, const uint8_t* APattern, size_t APatternSize) {
    return std::memcmp(AData, APattern, std::min(ASize, APatternSize)) == 0;
}

// A decimal number of 1 to AMaxDigits digits without a leading zero, at most AMax.
bool ParseDecimal(std::string_view AText, uint32_t AMax, size_t AMaxDigits, uint32_t& VValue) {
    if (AText.empty() || AText.size() > AMaxDigits || (AText.size() > 1 && AText[0] == '0')) return false;
    uint32_t value = 0;
    for (const char c : AText) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > AMax) return false;
    VValue = value;
    return true;
}

bool ParseIPv4(std::string_view AText, uint8_t* VBytes) {
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? AText.find('.') : AText.size();
        if (dot == std::string_view::npos) return false;
        uint32_t part = 0;
        if (!ParseDecimal(AText.substr(0, dot), 255, 3, part)) return false;
        VBytes[i] = static_cast<uint8_t>(part);
        AText.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    return true;
}

bool ParseIPv6(std::string_view AText, uint8_t* VBytes) {
    // Only the characters of an IPv6 literal; the framework's parser decides the rest.
    if (AText.empty() || AText.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos) return false;
    TIdIPv6Address groups{};
    bool error = false;
    TryParseIPv6Words(std::u16string(AText.begin(), AText.end()), groups, error);
    if (error) return false;
    for (size_t i = 0; i < groups.size(); ++i) {
        VBytes[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
        VBytes[2 * i + 1] = static_cast<uint8_t>(groups[i] & 0xFF);
    }
    return true;
}

// "PROXY TCP4|TCP6 <source> <destination> <source port> <destination port>\r\n", or
// "PROXY UNKNOWN" with anything up to the line's end.
size_t ParseV1(const uint8_t* AData, size_t ASize, TIdProxyHeader& VHeader) {
    const std::string_view text(reinterpret_cast<const char*>(AData), std::min(ASize, IdProxyV1MaxLength));
    const size_t end = text.find("\r\n");
    // A line feed or a zero byte before the line's end makes a broken line, whatever follows.
    if (text.substr(0, end).find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos)
        Invalid(RSProxyHeaderMalformed);
    if (end == std::string_view::npos) {
        if (text.size() >= IdProxyV1MaxLength) Invalid(RSProxyHeaderTooLong);
        return 0;
    }
    std::vector<std::string_view> fields;
    for (std::string_view rest = text.substr(kV1Prefix.size(), end - kV1Prefix.size());;) {
        const size_t space = rest.find(' ');
        fields.push_back(rest.substr(0, space));
        if (space == std::string_view::npos) break;
        rest.remove_prefix(space + 1);
    }
    TIdProxyHeader header;
    if (fields[0] == "UNKNOWN") {
        header.Local = true;
    } else {
        if (fields[0] != "TCP4" && fields[0] != "TCP6") Invalid(RSProxyHeaderFamily);
        header.IPVersion = fields[0] == "TCP4" ? Id_IPv4 : Id_IPv6;
        const auto parse = header.IPVersion == Id_IPv4 ? &ParseIPv4 : &ParseIPv6;
        uint32_t sourcePort = 0, destinationPort = 0;
        if (fields.size() != 5 || !parse(fields[1], header.SourceAddress.data()) ||
            !parse(fields[2], header.DestinationAddress.data()) || !ParseDecimal(fields[3], 65535, 5, sourcePort) ||
            !ParseDecimal(fields[4], 65535, 5, destinationPort)) {
            Invalid(RSProxyHeaderMalformed);
        }
        header.SourcePort = static_cast<uint16_t>(sourcePort);
        header.DestinationPort = static_cast<uint16_t>(destinationPort);
    }
    VHeader = header;
    return end + 2;
}

uint16_t ReadBigEndian16(const uint8_t* AData) { return static_cast<uint16_t>((AData[0] << 8) | AData[1]); }

// The 12-byte signature, version and command, family and transport, the length of what follows,
// then the addresses and ports (and extensions, which are skipped).
size_t ParseV2(const uint8_t* AData, size_t ASize, TIdProxyHeader& VHeader) {
    if (ASize < kV2FixedLength) return 0;
    const uint8_t versionCommand = AData[12];
    const uint8_t familyTransport = AData[13];
    const size_t length = kV2FixedLength + ReadBigEndian16(AData + 14);
    if ((versionCommand >> 4) != 2 || (versionCommand & 0x0F) > 1)
        EIdProxyHeaderInvalid::Toss(FormatInvariant(RSProxyHeaderVersion, static_cast<int64_t>(versionCommand >> 4),
                                                     static_cast<int64_t>(versionCommand & 0x0F)));
    TIdProxyHeader header;
    header.Local = (versionCommand & 0x0F) == 0;
    size_t addressLength = 0;
    if (!header.Local) {
        // TCP (stream) over IPv4 or IPv6; UDP, UNIX sockets and "unspecified" carry no TCP client.
        if (familyTransport == 0x11) addressLength = 12;
        else if (familyTransport == 0x21) addressLength = 36;
        else Invalid(RSProxyHeaderFamily);
        if (length < kV2FixedLength + addressLength) Invalid(RSProxyHeaderMalformed);
    }
    if (ASize < length) return 0;
    if (!header.Local) {
        const uint8_t* addresses = AData + kV2FixedLength;
        const size_t size = addressLength == 12 ? 4 : 16;
        header.IPVersion = size == 4 ? Id_IPv4 : Id_IPv6;
        std::memcpy(header.SourceAddress.data(), addresses, size);
        std::memcpy(header.DestinationAddress.data(), addresses + size, size);
        header.SourcePort = ReadBigEndian16(addresses + 2 * size);
        header.DestinationPort = ReadBigEndian16(addresses + 2 * size + 2);
    }
    VHeader = header;
    return length;
}

}  // namespace

size_t ParseProxyHeader(const uint8_t* AData, size_t ASize, TIdProxyHeader& VHeader) {
    if (ASize == 0) return 0;
    if (StartsLike(AData, ASize, reinterpret_cast<const uint8_t*>(kV1Prefix.data()), kV1Prefix.size()))
        return ASize < kV1Prefix.size() ? 0 : ParseV1(AData, ASize, VHeader);
    if (StartsLike(AData, ASize, kV2Signature, sizeof(kV2Signature))) return ParseV2(AData, ASize, VHeader);
    Invalid(RSProxyHeaderSignature);
}

}  // namespace Id
