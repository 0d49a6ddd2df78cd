// The PROXY protocol header that TCP load balancers put at the start of a connection to pass on the
// real client: version 1 (one text line) and version 2 (binary). Only the parsing lives here; the
// server reads the header before a client's events when it is asked to (ProxyProtocol).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <IdFramework/stack/IdStack.h>

namespace Id {

struct TIdProxyHeader {
    // The balancer's own connection (version 2 LOCAL, version 1 UNKNOWN), a health check for
    // example: the connection keeps its own addresses and the fields below mean nothing.
    bool Local = false;
    TIdIPVersion IPVersion = Id_IPv4;
    // In network order: the first 4 bytes for IPv4, all 16 for IPv6.
    std::array<uint8_t, 16> SourceAddress{};
    std::array<uint8_t, 16> DestinationAddress{};
    uint16_t SourcePort = 0;
    uint16_t DestinationPort = 0;
};

// The protocol's own limits: a version 1 line of at most 107 bytes, CR LF included; a version 2
// header of 16 bytes and at most 65535 more.
constexpr size_t IdProxyV1MaxLength = 107;
constexpr size_t IdProxyV2MaxLength = 16 + 65535;

// Reads the header at the start of the first ASize bytes of AData. Answers 0 while they are a valid
// beginning of a header that is not complete yet; otherwise the header's length, with VHeader
// filled (the bytes after it are the client's own). Anything that cannot become a valid header
// raises EIdProxyHeaderInvalid with the reason: a wrong signature, a malformed or too long
// header, a version or command other than 1 and 2's LOCAL and PROXY, a family other than TCP over
// IPv4 or IPv6.
size_t ParseProxyHeader(const uint8_t* AData, size_t ASize, TIdProxyHeader& VHeader);

}  // namespace Id
