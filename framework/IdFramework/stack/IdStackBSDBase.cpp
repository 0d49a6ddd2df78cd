#include <IdFramework/stack/IdStackBSDBase.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
#include <IdFramework/core/IdResourceStringsCore.h>

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
        SetSocketOption(AHandle, Id_IPPROTO_IP, Id_IP_MULTICAST_TTL, &value, sizeof(value));
    else
        SetSocketOption(AHandle, Id_IPPROTO_IPv6, Id_IPV6_MULTICAST_HOPS, &value, sizeof(value));
}

void TIdStackBSDBase::SetLoopBack(TIdStackSocketHandle AHandle, bool AValue, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    const int value = AValue ? 1 : 0;
    if (AIPVersion == Id_IPv4)
        SetSocketOption(AHandle, Id_IPPROTO_IP, Id_IP_MULTICAST_LOOP, &value, sizeof(value));
    else
        SetSocketOption(AHandle, Id_IPPROTO_IPv6, Id_IPV6_MULTICAST_LOOP, &value, sizeof(value));
}

void TIdStackBSDBase::DropMulticastMembership(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                                              const std::u16string& ALocalIP, TIdIPVersion AIPVersion) {
    MembershipSockOpt(AHandle, AGroupIP, ALocalIP, AIPVersion == Id_IPv4 ? Id_IP_DROP_MEMBERSHIP : Id_IPV6_DROP_MEMBERSHIP,
                      AIPVersion);
}

void TIdStackBSDBase::AddMulticastMembership(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                                             const std::u16string& ALocalIP, TIdIPVersion AIPVersion) {
    MembershipSockOpt(AHandle, AGroupIP, ALocalIP, AIPVersion == Id_IPv4 ? Id_IP_ADD_MEMBERSHIP : Id_IPV6_ADD_MEMBERSHIP,
                      AIPVersion);
}

void TIdStackBSDBase::MembershipSockOpt(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                                        const std::u16string& ALocalIP, int ASockOpt, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    if (AIPVersion == Id_IPv4) {
        if (!IsValidIPv4MulticastGroup(AGroupIP)) return;
        // ip_mreq: the group, then the local interface's address.
        uint8_t request[8] = {};
        TranslateStringToTInAddr(AGroupIP, request, Id_IPv4);
        if (!ALocalIP.empty()) TranslateStringToTInAddr(ALocalIP, request + 4, Id_IPv4);
        SetSocketOption(AHandle, Id_IPPROTO_IP, ASockOpt, request, sizeof(request));
    } else {
        if (!IsValidIPv6MulticastGroup(AGroupIP)) return;
        // ipv6_mreq: the group, then the interface index (0: the system's choice).
        alignas(4) uint8_t request[20] = {};
        TranslateStringToTInAddr(AGroupIP, request, Id_IPv6);
        SetSocketOption(AHandle, Id_IPPROTO_IPv6, ASockOpt, request, sizeof(request));
    }
}

// ---------------------------------------------------------------------------------------------
// Addresses

namespace {
constexpr int kFamilyOffset = 0;
constexpr int kPortOffset = 2;
constexpr int kIPv4Offset = 4;
constexpr int kIPv6Offset = 8;
constexpr int kIPv4Length = 16;
constexpr int kIPv6Length = 28;
}  // namespace

uint16_t TIdSockAddr::Family() const {
    uint16_t family;
    std::memcpy(&family, Bytes + kFamilyOffset, sizeof(family));
    return family;
}

bool TIdStackBSDBase::IsIPFamily(const TIdSockAddr& AAddr) {
    const uint16_t family = AAddr.Family();
    return family == Id_PF_INET4 || family == Id_PF_INET6;
}

int TIdStackBSDBase::FillSockAddr(TIdSockAddr& VAddr, const std::u16string& AIP, uint16_t APort,
                                  TIdIPVersion AIPVersion, bool AParseIP) {
    CheckIPVersion(AIPVersion);
    VAddr = TIdSockAddr{};
    const uint16_t family = static_cast<uint16_t>(IdIPFamily(AIPVersion));
    std::memcpy(VAddr.Bytes + kFamilyOffset, &family, sizeof(family));
    VAddr.Bytes[kPortOffset] = static_cast<uint8_t>(APort >> 8);
    VAddr.Bytes[kPortOffset + 1] = static_cast<uint8_t>(APort & 0xFF);
    if (AIPVersion == Id_IPv4) {
        if (AParseIP) TranslateStringToTInAddr(AIP, VAddr.Bytes + kIPv4Offset, Id_IPv4);
        return kIPv4Length;
    }
    if (AParseIP) TranslateStringToTInAddr(AIP, VAddr.Bytes + kIPv6Offset, Id_IPv6);
    return kIPv6Length;
}

void TIdStackBSDBase::DecodeSockAddr(const TIdSockAddr& AAddr, std::u16string& VIP, uint16_t& VPort,
                                     TIdIPVersion& VIPVersion) {
    const uint16_t family = AAddr.Family();
    if (family != Id_PF_INET4 && family != Id_PF_INET6) RaiseUnsupportedIPVersion();
    const TIdIPVersion version = family == Id_PF_INET4 ? Id_IPv4 : Id_IPv6;
    VIP = TranslateTInAddrToString(AAddr.Bytes + (version == Id_IPv4 ? kIPv4Offset : kIPv6Offset), version);
    VPort = static_cast<uint16_t>((AAddr.Bytes[kPortOffset] << 8) | AAddr.Bytes[kPortOffset + 1]);
    VIPVersion = version;
}

void TIdStackBSDBase::DecodePacketControl(int ALevel, int AType, const uint8_t* AData, TIdPacketInfo& APkt) {
    constexpr int kIPv6IfIndexOffset = 16;
    const auto readNumber = [AData](int AOffset) {
        uint32_t value;
        std::memcpy(&value, AData + AOffset, sizeof(value));
        return value;
    };
    if (ALevel == Id_IPPROTO_IP && AType == Id_IP_PKTINFO) {
        APkt.DestIP = TranslateTInAddrToString(AData + Id_PKTINFO_ADDR_OFFSET, Id_IPv4);
        APkt.DestIF = readNumber(Id_PKTINFO_IFINDEX_OFFSET);
        APkt.DestIPVersion = Id_IPv4;
    } else if (ALevel == Id_IPPROTO_IPv6 && AType == Id_IPV6_PKTINFO) {
        APkt.DestIP = TranslateTInAddrToString(AData, Id_IPv6);
        APkt.DestIF = readNumber(kIPv6IfIndexOffset);
        APkt.DestIPVersion = Id_IPv6;
    } else if ((ALevel == Id_IPPROTO_IP && AType == Id_IP_TTL) ||
               (ALevel == Id_IPPROTO_IPv6 && AType == Id_IPV6_HOPLIMIT)) {
        APkt.TTL = static_cast<uint8_t>(readNumber(0));
    }
}

void TIdStackBSDBase::Bind(TIdStackSocketHandle ASocket, const std::u16string& AIP, uint16_t APort,
                           TIdIPVersion AIPVersion) {
    TIdSockAddr addr;
    const int len = FillSockAddr(addr, AIP, APort, AIPVersion, !AIP.empty());
    CheckForSocketError(WSBind(ASocket, addr, len));
}

void TIdStackBSDBase::Listen(TIdStackSocketHandle ASocket, int ABackLog) {
    CheckForSocketError(WSListen(ASocket, ABackLog));
}

TIdStackSocketHandle TIdStackBSDBase::Accept(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                                             TIdIPVersion& VIPVersion) {
    TIdSockAddr addr;
    const TIdStackSocketHandle result = WSAccept(ASocket, addr);
    if (result == Id_INVALID_SOCKET) return result;
    if (!IsIPFamily(addr)) {
        WSCloseHandle(result);
        RaiseUnsupportedIPVersion();
    }
    DecodeSockAddr(addr, VIP, VPort, VIPVersion);
    return result;
}

void TIdStackBSDBase::Connect(TIdStackSocketHandle ASocket, const std::u16string& AIP, uint16_t APort,
                              TIdIPVersion AIPVersion, int AMSec) {
    TIdSockAddr addr;
    const int len = FillSockAddr(addr, AIP, APort, AIPVersion, true);
    if (AMSec <= 0) {
        CheckForSocketError(WSConnect(ASocket, addr, len));
        return;
    }
    const int result = WSConnectWithin(ASocket, addr, len, AMSec);
    if (result == -2) EIdConnectTimeout::Toss(RSConnectTimeout);
    CheckForSocketError(result);
}

void TIdStackBSDBase::Disconnect(TIdStackSocketHandle ASocket) {
    WSShutdownHandle(ASocket, Id_SD_Send);
    WakeSocket(ASocket);
    WSCloseHandle(ASocket);
}

void TIdStackBSDBase::GetSocketName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                                    TIdIPVersion& VIPVersion) {
    TIdSockAddr addr;
    CheckForSocketError(WSGetSockName(ASocket, addr));
    DecodeSockAddr(addr, VIP, VPort, VIPVersion);
}

void TIdStackBSDBase::GetPeerName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                                  TIdIPVersion& VIPVersion) {
    TIdSockAddr addr;
    CheckForSocketError(WSGetPeerName(ASocket, addr));
    DecodeSockAddr(addr, VIP, VPort, VIPVersion);
}

void TIdStackBSDBase::GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int& AOptVal) {
    int value = 0;
    int len = sizeof(value);
    CheckForSocketError(WSGetSockOpt(ASocket, ALevel, AOptName, &value, len));
    AOptVal = value;
}

int TIdStackBSDBase::RecvFrom(TIdStackSocketHandle ASocket, void* VBuffer, int ALength, int AFlags,
                              std::u16string& VIP, uint16_t& VPort, TIdIPVersion& VIPVersion) {
    TIdSockAddr addr;
    const int result = WSRecvFromAddr(ASocket, VBuffer, ALength < 0 ? 0 : ALength, AFlags, addr);
    if (result >= 0 && IsIPFamily(addr)) DecodeSockAddr(addr, VIP, VPort, VIPVersion);
    return result;
}

void TIdStackBSDBase::WSSendTo(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags,
                               const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion) {
    TIdSockAddr addr;
    const int len = FillSockAddr(addr, AIP, APort, AIPVersion, true);
    const int result = WSSendToAddr(ASocket, ABuffer, ABufferLength, AFlags, addr, len);
    if (result < 0) {
        if (WSGetLastError() == Id_WSAEMSGSIZE) EIdPackageSizeTooBig::Toss(RSPackageSizeTooBig);
        RaiseLastSocketError();
    }
    if (result < ABufferLength) EIdNotAllBytesSent::Toss(RSNotAllBytesSent);
}

bool TIdStackBSDBase::CheckIPVersionSupport(TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    const TIdStackSocketHandle probe = WSSocket(IdIPFamily(AIPVersion), Id_SOCK_STREAM, 0, false);
    if (probe == Id_INVALID_SOCKET) return false;
    WSCloseHandle(probe);
    return true;
}

void TIdStackBSDBase::WriteChecksum(TIdStackSocketHandle, TIdByteArray& VBuffer, int AOffset,
                                    const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    if (AOffset < 0 || static_cast<size_t>(AOffset) + 2 > VBuffer.size()) return;
    StoreUInt16(VBuffer, AOffset, 0);
    if (AIPVersion == Id_IPv4) {
        StoreUInt16(VBuffer, AOffset, CalcCheckSum(VBuffer));
        return;
    }
    // ICMPv6 is summed over a pseudo-header: source, destination, length, next header. The source
    // is the address the routing table picks for the destination, which a connected datagram
    // socket reveals without sending anything.
    TIdByteArray pseudo(40 + VBuffer.size(), 0);
    TranslateStringToTInAddr(AIP, pseudo.data() + 16, Id_IPv6);
    const TIdStackSocketHandle probe = WSSocket(Id_PF_INET6, Id_SOCK_DGRAM, 0);
    if (probe == Id_INVALID_SOCKET) RaiseLastSocketError();
    try {
        TIdSockAddr addr;
        const int len = FillSockAddr(addr, AIP, APort, Id_IPv6, true);
        CheckForSocketError(WSConnect(probe, addr, len));
        TIdSockAddr local;
        CheckForSocketError(WSGetSockName(probe, local));
        std::memcpy(pseudo.data(), local.Bytes + kIPv6Offset, 16);
    } catch (...) {
        WSCloseHandle(probe);
        throw;
    }
    WSCloseHandle(probe);
    const auto length = static_cast<uint32_t>(VBuffer.size());
    for (int i = 0; i < 4; ++i) pseudo[static_cast<size_t>(32 + i)] = static_cast<uint8_t>(length >> (24 - 8 * i));
    pseudo[39] = static_cast<uint8_t>(Id_IPPROTO_ICMPV6);
    std::memcpy(pseudo.data() + 40, VBuffer.data(), VBuffer.size());
    StoreUInt16(VBuffer, AOffset, CalcCheckSum(pseudo));
}

// ---------------------------------------------------------------------------------------------
// Errors, names and services

int TIdAddrInfoCodes::ToSocketError(int ACode) const {
    if (ACode == 0) return 0;
    if (ACode == AddrFamily) return AddrFamilyError;
    if (ACode == Again) return Id_WSATRY_AGAIN;
    if (ACode == BadFlags) return Id_WSAEINVAL;
    if (ACode == Fail) return Id_WSANO_RECOVERY;
    if (ACode == Family) return Id_WSAEAFNOSUPPORT;
    if (ACode == Memory) return Id_WSA_NOT_ENOUGH_MEMORY;
    if (ACode == NoData) return Id_WSANO_DATA;
    if (ACode == NoName) return Id_WSAHOST_NOT_FOUND;
    if (ACode == Service) return Id_WSATYPE_NOT_FOUND;
    if (ACode == SockType) return Id_WSAESOCKTNOSUPPORT;
    if (ACode == Overflow) return Id_WSAEFAULT;
    return ACode;
}

void RaiseStackError(int AErr) {
    if (GBSDStack) GBSDStack->RaiseSocketError(AErr);
    const std::u16string message = FormatInvariant(RSStackError, AErr, u"");
    if (AErr == Id_WSAENOTSOCK) throw EIdNotASocket::CreateError(AErr, message);
    throw EIdSocketError::CreateError(AErr, message);
}

void RequireHandles(const TIdFDSet* AReadSet, const TIdFDSet* AWriteSet, const TIdFDSet* AExceptSet) {
    for (const TIdFDSet* set : {AReadSet, AWriteSet, AExceptSet})
        if (set && set->fd_count > 0) return;
    RaiseStackError(Id_WSAEINVAL);
}

bool TIdStackBSDBase::WouldBlock(int AResult) { return CheckForSocketError(AResult, {Id_WSAEWOULDBLOCK}) != 0; }

std::u16string TIdStackBSDBase::WSTranslateSocketErrorMsg(int AErr) {
    if (AErr == Id_WSAHOST_NOT_FOUND) return FormatInvariant(RSStackError, AErr, RSStackHOST_NOT_FOUND);
    return TIdStack::WSTranslateSocketErrorMsg(AErr);
}

void TIdStackBSDBase::RaiseAddrInfoError(int AErrorCode) {
    const TIdAddrInfoCodes& codes = AddrInfoCodes();
    if (AErrorCode == codes.System) RaiseLastOSError(codes.SystemError());
    RaiseSocketError(codes.ToSocketError(AErrorCode));
    std::abort();  // an override of RaiseSocketError must not return
}

std::u16string TIdStackBSDBase::NameToAddress(const std::u16string& AHostName, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    std::vector<TIdAddrInfo> list;
    const int error = WSGetAddrInfo(AHostName, IdIPFamily(AIPVersion), false, list);
    if (error != 0) RaiseAddrInfoError(error);
    if (list.empty() || list.front().Length == 0) RaiseSocketError(Id_WSAHOST_NOT_FOUND);
    return TranslateTInAddrToString(list.front().Addr.Bytes + (AIPVersion == Id_IPv6 ? kIPv6Offset : kIPv4Offset),
                                    AIPVersion);
}

std::u16string TIdStackBSDBase::HostByAddress(const std::u16string& AAddress, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    std::vector<TIdAddrInfo> list;
    int error = WSGetAddrInfo(AAddress, IdIPFamily(AIPVersion), true, list);
    if (error != 0) RaiseAddrInfoError(error);
    if (list.empty() || list.front().Length == 0) RaiseSocketError(Id_WSAHOST_NOT_FOUND);
    std::u16string host;
    error = WSGetNameInfo(list.front().Addr, list.front().Length, host);
    if (error != 0) RaiseAddrInfoError(error);
    return host;
}

std::u16string TIdStackBSDBase::QueryLocalHostName() {
    char name[251] = {};
    WSGetHostName(name, 250);
    name[250] = '\0';
    return FromSystemText(name);
}

void TIdStackBSDBase::AddAddressesToList(TStrings& AAddresses, const std::vector<std::u16string>& ATexts) {
    AAddresses.BeginUpdate();
    try {
        for (const auto& text : ATexts) AAddresses.Add(text);
    } catch (...) {
        AAddresses.EndUpdate();
        throw;
    }
    AAddresses.EndUpdate();
}

uint16_t TIdStackBSDBase::WSGetServByName(const std::u16string& AServiceName) {
    uint16_t port = 0;
    if (WSServiceByName(ToSystemText(AServiceName), port)) return port;
    try {
        return static_cast<uint16_t>(StrToInt(Trim(AServiceName)));
    } catch (const EConvertError&) {
        EIdInvalidServiceName::Toss(FormatInvariant(RSInvalidServiceName, AServiceName));
    }
}

TStrings* TIdStackBSDBase::WSGetServByPort(uint16_t APortNumber) {
    auto result = std::make_unique<TStringList>();
    std::vector<std::string> names;
    if (WSServiceByPort(APortNumber, names))
        for (const auto& name : names) result->Add(FromSystemText(name.c_str()));
    return result.release();
}

// ---------------------------------------------------------------------------------------------
// Byte order

namespace {
template <typename T>
T ToBigEndian(T AValue) {
    if constexpr (std::endian::native == std::endian::big) {
        return AValue;
    } else if constexpr (sizeof(T) == 2) {
        return __builtin_bswap16(AValue);
    } else if constexpr (sizeof(T) == 4) {
        return __builtin_bswap32(AValue);
    } else {
        return __builtin_bswap64(AValue);
    }
}
}  // namespace

uint16_t TIdStackBSDBase::HostToNetwork(uint16_t AValue) { return ToBigEndian(AValue); }
uint32_t TIdStackBSDBase::HostToNetwork(uint32_t AValue) { return ToBigEndian(AValue); }
uint64_t TIdStackBSDBase::HostToNetwork(uint64_t AValue) { return ToBigEndian(AValue); }
uint16_t TIdStackBSDBase::NetworkToHost(uint16_t AValue) { return ToBigEndian(AValue); }
uint32_t TIdStackBSDBase::NetworkToHost(uint32_t AValue) { return ToBigEndian(AValue); }
uint64_t TIdStackBSDBase::NetworkToHost(uint64_t AValue) { return ToBigEndian(AValue); }

// ---------------------------------------------------------------------------------------------
// Address text

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
            // A component outside 0-255 is refused: keeping its low 8 bits would bind or connect to
            // another address than the one asked for ("999.1.1.1" to 231.1.1.1).
            for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(StrToIntInRange(Trim(CutToken(rest, u".")), 0, 255));
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

// ---------------------------------------------------------------------------------------------
// Socket list over a handle set

void TIdSocketListFDSet::Add(TIdStackSocketHandle AHandle) {
    std::lock_guard guard(FLock);
    if (FFDSet.fd_count >= TIdFDSet::Capacity) EIdStackSetSizeExceeded::Toss(RSSetSizeExceeded);
    FFDSet.fd_array[FFDSet.fd_count++] = AHandle;
}

void TIdSocketListFDSet::Remove(TIdStackSocketHandle AHandle) {
    std::lock_guard guard(FLock);
    for (uint32_t i = 0; i < FFDSet.fd_count; ++i) {
        if (FFDSet.fd_array[i] == AHandle) {
            FFDSet.fd_array[i] = FFDSet.fd_array[FFDSet.fd_count - 1];
            FFDSet.fd_array[FFDSet.fd_count - 1] = 0;
            --FFDSet.fd_count;
            return;
        }
    }
}

int TIdSocketListFDSet::Count() {
    std::lock_guard guard(FLock);
    return static_cast<int>(FFDSet.fd_count);
}

void TIdSocketListFDSet::Clear() {
    std::lock_guard guard(FLock);
    FFDSet.fd_count = 0;
}

bool TIdSocketListFDSet::ContainsSocket(TIdStackSocketHandle AHandle) {
    std::lock_guard guard(FLock);
    for (uint32_t i = 0; i < FFDSet.fd_count; ++i)
        if (FFDSet.fd_array[i] == AHandle) return true;
    return false;
}

TIdStackSocketHandle TIdSocketListFDSet::HandleAt(int AIndex) {
    std::lock_guard guard(FLock);
    if (AIndex < 0 || static_cast<uint32_t>(AIndex) >= FFDSet.fd_count) EIdStackSetSizeExceeded::Toss(RSSetSizeExceeded);
    return FFDSet.fd_array[static_cast<size_t>(AIndex)];
}

TIdSocketList* TIdSocketListFDSet::Clone() {
    std::unique_ptr<TIdSocketListFDSet> result(NewList());
    result->SetFDSet([this] {
        std::lock_guard guard(FLock);
        return FFDSet;
    }());
    return result.release();
}

void TIdSocketListFDSet::GetFDSet(TIdFDSet& VSet) {
    std::lock_guard guard(FLock);
    VSet = FFDSet;
}

void TIdSocketListFDSet::SetFDSet(const TIdFDSet& ASet) {
    std::lock_guard guard(FLock);
    FFDSet = ASet;
}

bool TIdSocketListFDSet::SelectRead(int ATimeout) {
    TIdFDSet copy;
    GetFDSet(copy);
    Wait(&copy, nullptr, nullptr, ATimeout);
    return copy.fd_count > 0;
}

namespace {
// A list's handles as a set; lists of another class are read through their items.
void ReadSet(TIdSocketList* AList, TIdFDSet& VSet) {
    if (auto* setList = dynamic_cast<TIdSocketListFDSet*>(AList)) {
        setList->GetFDSet(VSet);
        return;
    }
    AList->Lock();
    try {
        VSet.fd_count = 0;
        const int count = AList->Count();
        for (int i = 0; i < count && VSet.fd_count < TIdFDSet::Capacity; ++i) VSet.fd_array[VSet.fd_count++] = AList->Items(i);
    } catch (...) {
        AList->Unlock();
        throw;
    }
    AList->Unlock();
}

void WriteSet(TIdSocketList* AList, const TIdFDSet& ASet) {
    if (auto* setList = dynamic_cast<TIdSocketListFDSet*>(AList)) {
        setList->SetFDSet(ASet);
        return;
    }
    AList->Lock();
    try {
        AList->Clear();
        for (uint32_t i = 0; i < ASet.fd_count; ++i) AList->Add(ASet.fd_array[i]);
    } catch (...) {
        AList->Unlock();
        throw;
    }
    AList->Unlock();
}
}  // namespace

bool TIdSocketListFDSet::SelectReadList(TIdSocketList*& VSocketList, int ATimeout) {
    TIdFDSet copy;
    GetFDSet(copy);
    if (!Wait(&copy, nullptr, nullptr, ATimeout) || copy.fd_count == 0) return false;
    if (!VSocketList) VSocketList = CreateSocketList();
    WriteSet(VSocketList, copy);
    return true;
}

bool TIdSocketListFDSet::DoSelect(TIdSocketList* AReadList, TIdSocketList* AWriteList, TIdSocketList* AExceptList,
                                  int ATimeout) {
    TIdFDSet readSet, writeSet, exceptSet;
    if (AReadList) ReadSet(AReadList, readSet);
    if (AWriteList) ReadSet(AWriteList, writeSet);
    if (AExceptList) ReadSet(AExceptList, exceptSet);
    const bool result = Wait(AReadList ? &readSet : nullptr, AWriteList ? &writeSet : nullptr,
                             AExceptList ? &exceptSet : nullptr, ATimeout);
    if (AReadList) WriteSet(AReadList, readSet);
    if (AWriteList) WriteSet(AWriteList, writeSet);
    if (AExceptList) WriteSet(AExceptList, exceptSet);
    return result;
}

}  // namespace Id
