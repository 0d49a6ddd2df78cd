// The BSD-socket-shaped middle layer of the stack: buffer-level transfer, socket creation,
// addresses, connecting and accepting, multicast options and the conversion between binary
// addresses and IP text, written once over raw one-call operations that the concrete stack supplies.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <IdFramework/stack/IdStack.h>

namespace Id {

// A socket address as the OS passes it. Both platforms lay out sockaddr_in and sockaddr_in6 the
// same way (the family in host order at 0, the port in network order at 2, then the IPv4 address
// at 4, or the flow label at 4 and the IPv6 address at 8), so the addresses are filled and read
// here once; each backend checks that layout against its system's own. Large enough for any
// address the OS returns (sockaddr_storage).
struct alignas(8) TIdSockAddr {
    static constexpr int Capacity = 128;
    uint8_t Bytes[Capacity] = {};
    // The address family, 0 when none was filled.
    uint16_t Family() const;
};

// One entry of the resolver's answer (getaddrinfo): its family and address; Length 0 for an entry
// without an address.
struct TIdAddrInfo {
    int Family = 0;
    int Length = 0;
    TIdSockAddr Addr;
};

// The resolver's answer for a name in the shared form, over the system's own entry type (whose
// members are named alike on every system): AGet(hints, list) makes the call and answers its result
// code, AFree frees the list it made.
template <class TEntry, class TGet, class TFree>
int GetAddrInfoInto(int AFamily, int ASocketType, int AFlags, TGet AGet, TFree AFree, std::vector<TIdAddrInfo>& VList) {
    TEntry hints{};
    hints.ai_flags = AFlags;
    hints.ai_family = AFamily;
    hints.ai_socktype = ASocketType;
    TEntry* list = nullptr;
    const int error = AGet(&hints, &list);
    try {
        for (const TEntry* entry = list; error == 0 && entry; entry = entry->ai_next) {
            TIdAddrInfo& item = VList.emplace_back();
            item.Family = entry->ai_family;
            if (entry->ai_addr && entry->ai_addrlen <= TIdSockAddr::Capacity) {
                item.Length = static_cast<int>(entry->ai_addrlen);
                std::memcpy(item.Addr.Bytes, entry->ai_addr, entry->ai_addrlen);
            }
        }
    } catch (...) {
        if (list) AFree(list);
        throw;
    }
    if (list) AFree(list);
    return error;
}

// A system's address look-up result codes (getaddrinfo, getnameinfo) by meaning; a meaning the system
// lacks holds a code it never answers.
struct TIdAddrInfoCodes {
    int AddrFamily, Again, BadFlags, Fail, Family, Memory, NoData, NoName, Service, SockType, Overflow, System;
    // What "no address of that family" stands for: the systems' numberings disagree.
    int AddrFamilyError;
    // The system's own error number behind System.
    int (*SystemError)();
    // The Windows socket error number of a code; any other code passes through unchanged.
    int ToSocketError(int ACode) const;
};

class TIdStackBSDBase : public TIdStack {
public:
    TIdStackBSDBase();
    ~TIdStackBSDBase() override;

    // Raw one-call operations. Results of the WS* calls are the OS results, unchecked, except
    // WSTransmit, which raises on failure.
    virtual int WSCloseHandle(TIdStackSocketHandle ASocket) = 0;
    virtual int WSReceive(TIdStackSocketHandle ASocket, void* VBuffer, int ABufferLength, int AFlags) = 0;
    virtual int WSTransmit(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags) = 0;
    virtual int WSShutdownHandle(TIdStackSocketHandle ASocket, int AHow) = 0;
    using TIdStack::SetSocketOption;
    virtual void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, const void* AOptVal,
                                 int AOptLen) = 0;
    // The port of a service name, or the name read as a number; EIdInvalidServiceName otherwise.
    virtual uint16_t WSGetServByName(const std::u16string& AServiceName);
    // The official name and aliases of the service on a port (a new list owned by the caller).
    virtual TStrings* WSGetServByPort(uint16_t APortNumber);
    // The services database, one call each: the port (host order) of a name, and the official name
    // and aliases of a port; false when it has no entry. Names are in the system's text encoding.
    virtual bool WSServiceByName(const std::string& AName, uint16_t& VPort) = 0;
    virtual bool WSServiceByPort(uint16_t APort, std::vector<std::string>& VNames) = 0;
    // The resolver, one call each: the entries for a name (a family, stream sockets, with the
    // canonical name when asked), and the name of an address (which must have one). 0, or the
    // system's look-up result code (AddrInfoCodes).
    virtual int WSGetAddrInfo(const std::u16string& AName, int AFamily, bool ACanonName,
                              std::vector<TIdAddrInfo>& VList) = 0;
    virtual int WSGetNameInfo(const TIdSockAddr& AAddr, int ALength, std::u16string& VHost) = 0;
    virtual int WSGetHostName(char* VName, int ALength) = 0;
    // Text to and from the system's 8-bit calls.
    virtual std::string ToSystemText(const std::u16string& AText) = 0;
    virtual std::u16string FromSystemText(const char* AText) = 0;
    virtual TIdStackSocketHandle WSSocket(int AFamily, int AStruct, int AProtocol, bool AOverlapped = false) = 0;
    virtual int WSGetSockOpt(TIdStackSocketHandle ASocket, int ALevel, int AOptName, void* AOptVal, int& AOptLen) = 0;
    virtual void SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) = 0;
    // True when the result is neither -1 nor 0, or -1 with "would block"; another error raises.
    virtual bool WouldBlock(int AResult);
    // The address calls, one OS call each (an interrupted call is the backend's to finish): 0 or
    // -1 as the OS answers, Id_INVALID_SOCKET for a failed accept. VLen is the address's length.
    virtual int WSBind(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen) = 0;
    virtual int WSListen(TIdStackSocketHandle ASocket, int ABackLog) = 0;
    virtual int WSConnect(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen) = 0;
    // As WSConnect, waiting at most AMSec ms for the peer: -2 when that passed; the socket blocks
    // again afterwards.
    virtual int WSConnectWithin(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen, int AMSec) = 0;
    virtual TIdStackSocketHandle WSAccept(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) = 0;
    virtual int WSGetSockName(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) = 0;
    virtual int WSGetPeerName(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) = 0;
    virtual int WSRecvFromAddr(TIdStackSocketHandle ASocket, void* VBuffer, int ALength, int AFlags,
                               TIdSockAddr& VFrom) = 0;
    virtual int WSSendToAddr(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags,
                             const TIdSockAddr& ATo, int ALen) = 0;

    using TIdStack::Accept;
    TIdStackSocketHandle Accept(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                                TIdIPVersion& VIPVersion) override;
    void Bind(TIdStackSocketHandle ASocket, const std::u16string& AIP, uint16_t APort,
              TIdIPVersion AIPVersion = Id_IPv4) override;
    void Connect(TIdStackSocketHandle ASocket, const std::u16string& AIP, uint16_t APort,
                 TIdIPVersion AIPVersion = Id_IPv4, int AMSec = 0) override;
    void Listen(TIdStackSocketHandle ASocket, int ABackLog) override;
    // Shuts down for sending, then closes (neither result is checked); in between, the calls still
    // blocked on the socket are woken as by a close of a handle (WakeSocket), before the number goes.
    void Disconnect(TIdStackSocketHandle ASocket) override;
    using TIdStack::GetPeerName;
    void GetPeerName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                     TIdIPVersion& VIPVersion) override;
    using TIdStack::GetSocketName;
    void GetSocketName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                       TIdIPVersion& VIPVersion) override;
    void GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int& AOptVal) override;
    // Byte order by the project's own swaps: the socket library's are imports on some platforms.
    using TIdStack::HostToNetwork;
    uint16_t HostToNetwork(uint16_t AValue) override;
    uint32_t HostToNetwork(uint32_t AValue) override;
    uint64_t HostToNetwork(uint64_t AValue) override;
    using TIdStack::NetworkToHost;
    uint16_t NetworkToHost(uint16_t AValue) override;
    uint32_t NetworkToHost(uint32_t AValue) override;
    uint64_t NetworkToHost(uint64_t AValue) override;
    // A datagram and where it came from (the address is left alone for other families).
    virtual int RecvFrom(TIdStackSocketHandle ASocket, void* VBuffer, int ALength, int AFlags, std::u16string& VIP,
                         uint16_t& VPort, TIdIPVersion& VIPVersion);
    // Raises when the send fails or sends less than the whole datagram.
    virtual void WSSendTo(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags,
                          const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion);
    // Whether a socket of that version can be made.
    virtual bool CheckIPVersionSupport(TIdIPVersion AIPVersion);
    void WriteChecksum(TIdStackSocketHandle s, TIdByteArray& VBuffer, int AOffset, const std::u16string& AIP,
                       uint16_t APort, TIdIPVersion AIPVersion = Id_IPv4) override;

    // The host-not-found text of this layer; the others as the stack has them.
    std::u16string WSTranslateSocketErrorMsg(int AErr) override;
    std::u16string HostByAddress(const std::u16string& AAddress, TIdIPVersion AIPVersion = Id_IPv4) override;

    int Receive(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer) override;
    int Send(TIdStackSocketHandle ASocket, const TIdByteArray& ABuffer, int AOffset = 0, int ASize = -1) override;
    int ReceiveFrom(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, std::u16string& VIP, uint16_t& VPort,
                    TIdIPVersion& VIPVersion) override;
    using TIdStack::SendTo;
    int SendTo(TIdStackSocketHandle ASocket, const TIdByteArray& ABuffer, int AOffset, int ASize,
               const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion = Id_IPv4) override;
    TIdStackSocketHandle NewSocketHandle(int ASocketType, int AProtocol, TIdIPVersion AIPVersion = Id_IPv4,
                                         bool AOverlapped = false) override;
    void SetMulticastTTL(TIdStackSocketHandle AHandle, uint8_t AValue, TIdIPVersion AIPVersion) override;
    void SetLoopBack(TIdStackSocketHandle AHandle, bool AValue, TIdIPVersion AIPVersion) override;
    void DropMulticastMembership(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                                 const std::u16string& ALocalIP, TIdIPVersion AIPVersion) override;
    void AddMulticastMembership(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                                const std::u16string& ALocalIP, TIdIPVersion AIPVersion) override;

    // Binary address (4 bytes for IPv4, 16 for IPv6, as the OS stores them) to text: dotted decimal, or
    // eight upper-case hexadecimal groups without "::" shortening.
    std::u16string TranslateTInAddrToString(const void* AInAddr, TIdIPVersion AIPVersion);
    // Text to binary address; a bad IPv4 component raises EConvertError, a bad IPv6 literal
    // EIdInvalidIPv6Address.
    void TranslateStringToTInAddr(const std::u16string& AIP, void* VInAddr, TIdIPVersion AIPVersion);

    // Fills VAddr (cleared first) for an address and port; answers its length (16 or 28). Without
    // AParseIP the address stays the any-address.
    int FillSockAddr(TIdSockAddr& VAddr, const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion,
                     bool AParseIP = true);
    // Decodes an address the OS filled; any family other than IPv4 and IPv6 raises.
    void DecodeSockAddr(const TIdSockAddr& AAddr, std::u16string& VIP, uint16_t& VPort, TIdIPVersion& VIPVersion);
    static bool IsIPFamily(const TIdSockAddr& AAddr);
    // One control message of a datagram receive (level, type, data) read into APkt: packet
    // information and the hop limit; other kinds are passed over.
    void DecodePacketControl(int ALevel, int AType, const uint8_t* AData, TIdPacketInfo& APkt);

protected:
    // The number of bytes a transfer covers: ASize when 0 <= ASize < what is left after AOffset, else
    // all that is left; never below 0.
    static int TransferCount(const TIdByteArray& ABuffer, int AOffset, int ASize);
    std::u16string NameToAddress(const std::u16string& AHostName, TIdIPVersion AIPVersion) override;
    std::u16string QueryLocalHostName() override;
    // Appends the texts in one update of the list.
    static void AddAddressesToList(TStrings& AAddresses, const std::vector<std::u16string>& ATexts);
    virtual const TIdAddrInfoCodes& AddrInfoCodes() const = 0;
    [[noreturn]] void RaiseAddrInfoError(int AErrorCode);

private:
    void MembershipSockOpt(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                           const std::u16string& ALocalIP, int ASockOpt, TIdIPVersion AIPVersion);
};

// The fixed-capacity handle set of the socket lists, in slot order, as the platform's select
// takes it.
struct TIdFDSet {
    static constexpr uint32_t Capacity = 64;
    uint32_t fd_count = 0;
    std::array<TIdStackSocketHandle, Capacity> fd_array{};
};

// A socket list over a handle set: all but the wait itself, which the platform's class supplies.
class TIdSocketListFDSet : public TIdSocketList {
public:
    // The 65th handle raises EIdStackSetSizeExceeded; duplicates take a slot each.
    void Add(TIdStackSocketHandle AHandle) override;
    TIdSocketList* Clone() override;
    int Count() override;
    // The last handle moves into the freed slot.
    void Remove(TIdStackSocketHandle AHandle) override;
    void Clear() override;
    bool ContainsSocket(TIdStackSocketHandle AHandle) override;
    bool SelectRead(int ATimeout = TimeoutForever) override;
    bool SelectReadList(TIdSocketList*& VSocketList, int ATimeout = TimeoutForever) override;

    void GetFDSet(TIdFDSet& VSet);
    void SetFDSet(const TIdFDSet& ASet);

protected:
    // An empty list of the same class.
    virtual TIdSocketListFDSet* NewList() = 0;
    // Waits on whichever sets are given (nullptr: none) and rewrites each to hold only its ready
    // handles, in order. A negative time-out waits without limit. All sets empty raises 10022.
    virtual bool Wait(TIdFDSet* VReadSet, TIdFDSet* VWriteSet, TIdFDSet* VExceptSet, int ATimeout) = 0;
    TIdStackSocketHandle HandleAt(int AIndex) override;
    bool DoSelect(TIdSocketList* AReadList, TIdSocketList* AWriteList, TIdSocketList* AExceptList,
                  int ATimeout) override;

private:
    TIdFDSet FFDSet;
};

// Raises a socket error through the process's stack, or with the base texts when there is none.
[[noreturn]] void RaiseStackError(int AErr);
// A wait on no handle at all (every set empty or missing) raises 10022, as the system's select does.
void RequireHandles(const TIdFDSet* AReadSet, const TIdFDSet* AWriteSet, const TIdFDSet* AExceptSet);

// The process's BSD stack (the same object as GSocketStack while it exists); the socket lists
// check their waits through it.
extern TIdStackBSDBase* GBSDStack;

}  // namespace Id
