#include "stack/IdStackBSDBase.h"

#include <arpa/inet.h>

#include <cstring>

#include "core/IdExceptionCore.h"
#include "core/IdResourceStrings.h"

namespace Id {

TIdStackBSDBase* GBSDStack = nullptr;

TIdStackBSDBase::TIdStackBSDBase() { GBSDStack = this; }

TIdStackBSDBase::~TIdStackBSDBase() {
    if (GBSDStack == this) GBSDStack = nullptr;
}

int TIdStackBSDBase::TransferCount(const TIdByteArray& ABuffer, int AOffset, int ASize) {
    const int left = static_cast<int>(ABuffer.size()) - AOffset;
    if (left <= 0 || AOffset < 0) return 0;
    return (ASize >= 0 && ASize < left) ? ASize : left;
}

int TIdStackBSDBase::Receive(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer) {
    return CheckForSocketError(WSReceive(ASocket, VBuffer.data(), static_cast<int>(VBuffer.size()), 0));
}

int TIdStackBSDBase::Send(TIdStackSocketHandle ASocket, const TIdByteArray& ABuffer, int AOffset, int ASize) {
    const int count = TransferCount(ABuffer, AOffset, ASize);
    if (count <= 0) return count;
    return WSTransmit(ASocket, ABuffer.data() + AOffset, count, 0);
}

int TIdStackBSDBase::ReceiveFrom(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, std::u16string& VIP,
                                 uint16_t& VPort, TIdIPVersion& VIPVersion) {
    return CheckForSocketError(
        RecvFrom(ASocket, VBuffer.data(), static_cast<int>(VBuffer.size()), 0, VIP, VPort, VIPVersion));
}

int TIdStackBSDBase::SendTo(TIdStackSocketHandle ASocket, const TIdByteArray& ABuffer, int AOffset, int ASize,
                            const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion) {
    const int count = TransferCount(ABuffer, AOffset, ASize);
    // An empty datagram is a valid datagram; only a negative count means nothing to do.
    if (count < 0) return count;
    WSSendTo(ASocket, count > 0 ? ABuffer.data() + AOffset : nullptr, count, 0, AIP, APort, AIPVersion);
    return count;
}

TIdStackSocketHandle TIdStackBSDBase::NewSocketHandle(int ASocketType, int AProtocol, TIdIPVersion AIPVersion,
                                                      bool AOverlapped) {
    CheckIPVersion(AIPVersion);
    const TIdStackSocketHandle result = WSSocket(IdIPFamily(AIPVersion), ASocketType, AProtocol, AOverlapped);
    if (result == Id_INVALID_SOCKET) RaiseLastSocketError();
    return result;
}

void TIdStackBSDBase::SetMulticastTTL(TIdStackSocketHandle AHandle, uint8_t AValue, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    const int value = AValue;
    if (AIPVersion == Id_IPv4)
        SetSocketOption(AHandle, IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof(value));
    else
        SetSocketOption(AHandle, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &value, sizeof(value));
}

void TIdStackBSDBase::SetLoopBack(TIdStackSocketHandle AHandle, bool AValue, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    const int value = AValue ? 1 : 0;
    if (AIPVersion == Id_IPv4)
        SetSocketOption(AHandle, IPPROTO_IP, IP_MULTICAST_LOOP, &value, sizeof(value));
    else
        SetSocketOption(AHandle, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &value, sizeof(value));
}

void TIdStackBSDBase::DropMulticastMembership(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                                              const std::u16string& ALocalIP, TIdIPVersion AIPVersion) {
    MembershipSockOpt(AHandle, AGroupIP, ALocalIP, AIPVersion == Id_IPv4 ? IP_DROP_MEMBERSHIP : IPV6_LEAVE_GROUP,
                      AIPVersion);
}

void TIdStackBSDBase::AddMulticastMembership(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                                             const std::u16string& ALocalIP, TIdIPVersion AIPVersion) {
    MembershipSockOpt(AHandle, AGroupIP, ALocalIP, AIPVersion == Id_IPv4 ? IP_ADD_MEMBERSHIP : IPV6_JOIN_GROUP,
                      AIPVersion);
}

void TIdStackBSDBase::MembershipSockOpt(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                                        const std::u16string& ALocalIP, int ASockOpt, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    if (AIPVersion == Id_IPv4) {
        if (!IsValidIPv4MulticastGroup(AGroupIP)) return;
        ip_mreq request{};
        TranslateStringToTInAddr(AGroupIP, &request.imr_multiaddr, Id_IPv4);
        if (!ALocalIP.empty()) TranslateStringToTInAddr(ALocalIP, &request.imr_interface, Id_IPv4);
        SetSocketOption(AHandle, IPPROTO_IP, ASockOpt, &request, sizeof(request));
    } else {
        if (!IsValidIPv6MulticastGroup(AGroupIP)) return;
        ipv6_mreq request{};
        TranslateStringToTInAddr(AGroupIP, &request.ipv6mr_multiaddr, Id_IPv6);
        request.ipv6mr_interface = 0;
        SetSocketOption(AHandle, IPPROTO_IPV6, ASockOpt, &request, sizeof(request));
    }
}

std::u16string TIdStackBSDBase::TranslateTInAddrToString(const void* AInAddr, TIdIPVersion AIPVersion) {
    switch (AIPVersion) {
        case Id_IPv4: {
            const auto* bytes = static_cast<const uint8_t*>(AInAddr);
            std::u16string result;
            for (int i = 0; i < 4; ++i) {
                if (i > 0) result += u'.';
                result += IntToStr(bytes[i]);
            }
            return result;
        }
        case Id_IPv6: {
            const auto* bytes = static_cast<const uint8_t*>(AInAddr);
            std::u16string result;
            for (int i = 0; i < 8; ++i) {
                if (i > 0) result += u':';
                const unsigned group = (static_cast<unsigned>(bytes[2 * i]) << 8) | bytes[2 * i + 1];
                result += FormatInvariant(u"%X", group);
            }
            return result;
        }
    }
    RaiseUnsupportedIPVersion();
}

void TIdStackBSDBase::TranslateStringToTInAddr(const std::u16string& AIP, void* VInAddr, TIdIPVersion AIPVersion) {
    switch (AIPVersion) {
        case Id_IPv4: {
            std::u16string rest = AIP;
            auto* bytes = static_cast<uint8_t*>(VInAddr);
            for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(StrToInt(Trim(CutToken(rest, u"."))) & 0xFF);
            return;
        }
        case Id_IPv6: {
            TIdIPv6Address groups{};
            ParseIPv6Words(AIP, groups);
            auto* bytes = static_cast<uint8_t*>(VInAddr);
            for (int i = 0; i < 8; ++i) {
                bytes[2 * i] = static_cast<uint8_t>(groups[static_cast<size_t>(i)] >> 8);
                bytes[2 * i + 1] = static_cast<uint8_t>(groups[static_cast<size_t>(i)] & 0xFF);
            }
            return;
        }
    }
    RaiseUnsupportedIPVersion();
}

}  // namespace Id
