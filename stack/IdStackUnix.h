// The concrete stack over the POSIX socket calls, linked directly, and its socket list, which waits
// with poll(2) so that any descriptor number can be waited on.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "stack/IdStackBSDBase.h"

namespace Id {

// A native error number (errno) as the Windows socket error number of the same meaning; a number
// without an equivalent passes through unchanged.
int TranslateErrnoToSocketError(int AErrno);
// The other way round, for WSSetLastError; a number without an equivalent passes through unchanged.
int TranslateSocketErrorToErrno(int AErr);
// A getaddrinfo/getnameinfo result (EAI_*) as a Windows socket error number.
int AddrInfoErrorToSocketError(int AErrorCode);

class TIdStackUnix : public TIdStackBSDBase {
public:
    TIdStackUnix();
    ~TIdStackUnix() override;

    using TIdStack::Accept;
    TIdStackSocketHandle Accept(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                                TIdIPVersion& VIPVersion) override;
    void Bind(TIdStackSocketHandle ASocket, const std::u16string& AIP, uint16_t APort,
              TIdIPVersion AIPVersion = Id_IPv4) override;
    void Connect(TIdStackSocketHandle ASocket, const std::u16string& AIP, uint16_t APort,
                 TIdIPVersion AIPVersion = Id_IPv4) override;
    void Disconnect(TIdStackSocketHandle ASocket) override;
    int IOControl(TIdStackSocketHandle ASocket, uint32_t ACmd, uint32_t& VArg) override;
    using TIdStack::GetPeerName;
    void GetPeerName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                     TIdIPVersion& VIPVersion) override;
    using TIdStack::GetSocketName;
    void GetSocketName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                       TIdIPVersion& VIPVersion) override;
    std::u16string HostByAddress(const std::u16string& AAddress, TIdIPVersion AIPVersion = Id_IPv4) override;
    using TIdStack::HostToNetwork;
    uint16_t HostToNetwork(uint16_t AValue) override;
    uint32_t HostToNetwork(uint32_t AValue) override;
    uint64_t HostToNetwork(uint64_t AValue) override;
    void Listen(TIdStackSocketHandle ASocket, int ABackLog) override;
    int WSGetLastError() override;
    void WSSetLastError(int AErr) override;
    std::u16string WSTranslateSocketErrorMsg(int AErr) override;
    using TIdStack::NetworkToHost;
    uint16_t NetworkToHost(uint16_t AValue) override;
    uint32_t NetworkToHost(uint32_t AValue) override;
    uint64_t NetworkToHost(uint64_t AValue) override;
    void GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int& AOptVal) override;
    using TIdStackBSDBase::SetSocketOption;
    void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) override;
    void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, const void* AOptVal,
                         int AOptLen) override;
    int ReceiveMsg(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, TIdPacketInfo& APkt) override;
    bool SupportsIPv6() override;
    void WriteChecksum(TIdStackSocketHandle s, TIdByteArray& VBuffer, int AOffset, const std::u16string& AIP,
                       uint16_t APort, TIdIPVersion AIPVersion = Id_IPv4) override;
    void AddLocalAddressesToList(TStrings& AAddresses) override;

    int WSCloseHandle(TIdStackSocketHandle ASocket) override;
    int WSReceive(TIdStackSocketHandle ASocket, void* VBuffer, int ABufferLength, int AFlags) override;
    int WSTransmit(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags) override;
    int WSShutdownHandle(TIdStackSocketHandle ASocket, int AHow) override;
    bool CheckIPVersionSupport(TIdIPVersion AIPVersion) override;
    uint16_t WSGetServByName(const std::u16string& AServiceName) override;
    TStrings* WSGetServByPort(uint16_t APortNumber) override;
    int RecvFrom(TIdStackSocketHandle ASocket, void* VBuffer, int ALength, int AFlags, std::u16string& VIP,
                 uint16_t& VPort, TIdIPVersion& VIPVersion) override;
    void WSSendTo(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags,
                  const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion) override;
    TIdStackSocketHandle WSSocket(int AFamily, int AStruct, int AProtocol, bool AOverlapped = false) override;
    int WSGetSockOpt(TIdStackSocketHandle ASocket, int ALevel, int AOptName, void* AOptVal, int& AOptLen) override;
    void SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) override;
    bool WouldBlock(int AResult) override;

protected:
    std::u16string NameToAddress(const std::u16string& AHostName, TIdIPVersion AIPVersion) override;
    std::u16string QueryLocalHostName() override;

private:
    // Fills a zeroed sockaddr_in / sockaddr_in6; answers its length (16 or 28).
    int FillSockAddr(void* VAddr, const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion, bool AParseIP);
    // Decodes an address the OS filled; any family other than IPv4 and IPv6 raises.
    void DecodeSockAddr(const void* AAddr, std::u16string& VIP, uint16_t& VPort, TIdIPVersion& VIPVersion);
    [[noreturn]] void RaiseAddrInfoError(int AErrorCode);
};

// The fixed-capacity handle set of the socket lists, in slot order.
struct TIdFDSet {
    static constexpr uint32_t Capacity = 64;
    uint32_t fd_count = 0;
    std::array<TIdStackSocketHandle, Capacity> fd_array{};
};

class TIdSocketListUnix : public TIdSocketList {
public:
    TIdSocketListUnix();
    ~TIdSocketListUnix() override;

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

    // Waits with poll(2) on whichever sets are given (nullptr: none) and rewrites each to hold only
    // its ready handles, in order. ATimeout -2 (or any negative value) waits without limit. All
    // sets empty raises 10022, a closed descriptor 10038, as a select on Windows would.
    static bool WaitOnSets(TIdFDSet* VReadSet, TIdFDSet* VWriteSet, TIdFDSet* VExceptSet, int ATimeout);

protected:
    TIdStackSocketHandle HandleAt(int AIndex) override;
    bool DoSelect(TIdSocketList* AReadList, TIdSocketList* AWriteList, TIdSocketList* AExceptList,
                  int ATimeout) override;

private:
    TIdFDSet FFDSet;
};

// The class references that GSocketStackType and GSocketListType hold from program start.
TIdStack* CreateStackUnix();
TIdSocketList* CreateSocketListUnix();
// Sends a whole file with sendfile(2); answers the file size on success, 0 when the file cannot be
// opened or the send fails. A peer that has gone never raises SIGPIPE.
int64_t UnixTransmitFile(TIdStackSocketHandle ASocket, const std::u16string& AFileName);

}  // namespace Id
