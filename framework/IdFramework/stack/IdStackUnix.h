// The concrete stack over the POSIX socket calls, linked directly, and its socket list, which waits
// with poll(2) so that any descriptor number can be waited on.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <IdFramework/stack/IdStackBSDBase.h>

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

    int IOControl(TIdStackSocketHandle ASocket, uint32_t ACmd, uint32_t& VArg) override;
    int WSGetLastError() override;
    void WSSetLastError(int AErr) override;
    using TIdStackBSDBase::SetSocketOption;
    void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) override;
    void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, const void* AOptVal,
                         int AOptLen) override;
    int ReceiveMsg(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, TIdPacketInfo& APkt) override;
    bool WaitsInReceive() const override { return true; }
    bool ReceiveWaiting(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, int AWait, int& VCount) override;
    bool SupportsIPv6() override;
    void AddLocalAddressesToList(TStrings& AAddresses) override;
    // Shut down in both directions (the receive half is what wakes a blocked call here); retired by
    // putting the dead socket on its number.
    void WakeSocket(TIdStackSocketHandle ASocket) override;
    bool RetireSocket(TIdStackSocketHandle ASocket) override;
    void FreeParkedSocket(TIdStackSocketHandle ASocket) override;
    void CloseSocketNow(TIdStackSocketHandle ASocket) override;

    int WSCloseHandle(TIdStackSocketHandle ASocket) override;
    int WSReceive(TIdStackSocketHandle ASocket, void* VBuffer, int ABufferLength, int AFlags) override;
    // A send that waited out the socket's send time-out fails (EAGAIN), even when part of the
    // bytes went out before it.
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
    // An interrupted connect goes on in the background; this waits for its outcome.
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
    const TIdAddrInfoCodes& AddrInfoCodes() const override;

private:
    static bool SendTimedOut(TIdStackSocketHandle ASocket, std::chrono::steady_clock::time_point AStart);
};

// The socket list over poll(2), so that any descriptor number can be waited on.
class TIdSocketListUnix : public TIdSocketListFDSet {
public:
    // Waits with poll(2) on whichever sets are given (nullptr: none) and rewrites each to hold only
    // its ready handles, in order. ATimeout -2 (or any negative value) waits without limit. All
    // sets empty raises 10022, a closed descriptor 10038, as a select on Windows would.
    static bool WaitOnSets(TIdFDSet* VReadSet, TIdFDSet* VWriteSet, TIdFDSet* VExceptSet, int ATimeout);

protected:
    TIdSocketListFDSet* NewList() override;
    bool Wait(TIdFDSet* VReadSet, TIdFDSet* VWriteSet, TIdFDSet* VExceptSet, int ATimeout) override;
};

// The class references that GSocketStackType and GSocketListType hold from program start.
TIdStack* CreateStackUnix();
TIdSocketList* CreateSocketListUnix();
// Sends a whole file with sendfile(2); answers the file size on success, 0 when the file cannot be
// opened or the send fails. A peer that has gone never raises SIGPIPE.
int64_t UnixTransmitFile(TIdStackSocketHandle ASocket, const std::u16string& AFileName);

}  // namespace Id
