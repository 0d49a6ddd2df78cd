// The concrete stack over the Windows socket library, reached through the loader's entry pointers
// (nothing is linked against the library), and its socket list, which waits with select.
#pragma once

#include <cstdint>
#include <string>

#include <IdFramework/stack/IdStackBSDBase.h>

namespace Id {

class TIdStackWindows : public TIdStackBSDBase {
public:
    // Starts the socket library on the first construction in the process; a failure to load or
    // start it raises EIdStackInitializationFailed.
    TIdStackWindows();
    ~TIdStackWindows() override;

    int IOControl(TIdStackSocketHandle ASocket, uint32_t ACmd, uint32_t& VArg) override;
    std::u16string HostByAddress(const std::u16string& AAddress, TIdIPVersion AIPVersion = Id_IPv4) override;
    int WSGetLastError() override;
    void WSSetLastError(int AErr) override;
    using TIdStackBSDBase::SetSocketOption;
    void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) override;
    void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, const void* AOptVal,
                         int AOptLen) override;
    int ReceiveMsg(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, TIdPacketInfo& APkt) override;
    bool SupportsIPv6() override;
    void AddLocalAddressesToList(TStrings& AAddresses) override;
    // Shut down for sending and every pending call cancelled, the calls ended so answering as after
    // an orderly close; the final close is the last user's, and the system does not hand a socket
    // value out again while the socket is open (but may at once after it: nothing is parked).
    void WakeSocket(TIdStackSocketHandle ASocket) override;
    bool RetireSocket(TIdStackSocketHandle ASocket) override;
    void FreeParkedSocket(TIdStackSocketHandle ASocket) override;
    void CloseSocketNow(TIdStackSocketHandle ASocket) override;

    int WSCloseHandle(TIdStackSocketHandle ASocket) override;
    int WSReceive(TIdStackSocketHandle ASocket, void* VBuffer, int ABufferLength, int AFlags) override;
    int WSTransmit(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags) override;
    int WSShutdownHandle(TIdStackSocketHandle ASocket, int AHow) override;
    bool WSServiceByName(const std::string& AName, uint16_t& VPort) override;
    bool WSServiceByPort(uint16_t APort, std::vector<std::string>& VNames) override;
    int WSGetAddrInfo(const std::u16string& AName, int AFamily, bool ACanonName,
                      std::vector<TIdAddrInfo>& VList) override;
    int WSGetNameInfo(const TIdSockAddr& AAddr, int ALength, std::u16string& VHost) override;
    int WSGetHostName(char* VName, int ALength) override;
    std::string ToSystemText(const std::u16string& AText) override;
    std::u16string FromSystemText(const char* AText) override;
    TIdStackSocketHandle WSSocket(int AFamily, int AStruct, int AProtocol, bool AOverlapped = false) override;
    int WSGetSockOpt(TIdStackSocketHandle ASocket, int ALevel, int AOptName, void* AOptVal, int& AOptLen) override;
    void SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) override;
    int WSBind(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen) override;
    int WSListen(TIdStackSocketHandle ASocket, int ABackLog) override;
    int WSConnect(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen) override;
    int WSConnectWithin(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen, int AMSec) override;
    TIdStackSocketHandle WSAccept(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) override;
    int WSGetSockName(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) override;
    int WSGetPeerName(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) override;
    int WSRecvFromAddr(TIdStackSocketHandle ASocket, void* VBuffer, int ALength, int AFlags,
                       TIdSockAddr& VFrom) override;
    int WSSendToAddr(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags,
                     const TIdSockAddr& ATo, int ALen) override;

protected:
    // Without the IPv6 look-up functions, the old IPv4-only ones.
    std::u16string NameToAddress(const std::u16string& AHostName, TIdIPVersion AIPVersion) override;
    const TIdAddrInfoCodes& AddrInfoCodes() const override;
};

// The socket list over the system's descriptor set (a count and 64 handles) and select.
class TIdSocketListWindows : public TIdSocketListFDSet {
protected:
    TIdSocketListFDSet* NewList() override;
    bool Wait(TIdFDSet* VReadSet, TIdFDSet* VWriteSet, TIdFDSet* VExceptSet, int ATimeout) override;
};

// The class references that GSocketStackType and GSocketListType hold from program start.
TIdStack* CreateStackWindows();
TIdSocketList* CreateSocketListWindows();

}  // namespace Id
