// The BSD-socket-shaped middle layer of the stack: buffer-level transfer, socket creation,
// multicast options and the conversion between binary addresses and IP text, written once over
// raw one-call operations that the concrete stack supplies.
#pragma once

#include <cstdint>
#include <string>

#include "stack/IdStack.h"

namespace Id {

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
    virtual bool CheckIPVersionSupport(TIdIPVersion AIPVersion) = 0;
    using TIdStack::SetSocketOption;
    virtual void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, const void* AOptVal,
                                 int AOptLen) = 0;
    // The port of a service name, or the name read as a number; EIdInvalidServiceName otherwise.
    virtual uint16_t WSGetServByName(const std::u16string& AServiceName) = 0;
    // The official name and aliases of the service on a port (a new list owned by the caller).
    virtual TStrings* WSGetServByPort(uint16_t APortNumber) = 0;
    virtual int RecvFrom(TIdStackSocketHandle ASocket, void* VBuffer, int ALength, int AFlags, std::u16string& VIP,
                         uint16_t& VPort, TIdIPVersion& VIPVersion) = 0;
    virtual void WSSendTo(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags,
                          const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion) = 0;
    virtual TIdStackSocketHandle WSSocket(int AFamily, int AStruct, int AProtocol, bool AOverlapped = false) = 0;
    virtual int WSGetSockOpt(TIdStackSocketHandle ASocket, int ALevel, int AOptName, void* AOptVal, int& AOptLen) = 0;
    virtual void SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) = 0;
    // True when the result is neither -1 nor 0, or -1 with "would block"; another error raises.
    virtual bool WouldBlock(int AResult) = 0;

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

protected:
    // The number of bytes a transfer covers: ASize when 0 <= ASize < what is left after AOffset, else
    // all that is left; never below 0.
    static int TransferCount(const TIdByteArray& ABuffer, int AOffset, int ASize);

private:
    void MembershipSockOpt(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                           const std::u16string& ALocalIP, int ASockOpt, TIdIPVersion AIPVersion);
};

// The process's BSD stack (the same object as GSocketStack while it exists); the socket lists
// check their waits through it.
extern TIdStackBSDBase* GBSDStack;

}  // namespace Id
