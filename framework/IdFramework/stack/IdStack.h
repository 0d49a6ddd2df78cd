// The process-wide socket stack: the abstract socket operations every framework object goes
// through, socket errors as exceptions with the Windows socket error numbers, address-text helpers,
// and the abstract socket list that waits for readiness.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include <IdFramework/core/IdGlobal.h>
#include <IdFramework/runtime/Classes.h>
#include <IdFramework/runtime/SysUtils.h>
#include <IdFramework/threads/IdThreadSafe.h>

// The platform's values of the symbolic constants that callers pass to the option and socket calls.
#if defined(_WIN32)
#include <IdFramework/stack/IdStackConstsWindows.h>
#else
#include <IdFramework/stack/IdStackConstsPosix.h>
#endif

namespace Id {

enum class TIdIPVersion : uint8_t { Id_IPv4, Id_IPv6 };
constexpr TIdIPVersion Id_IPv4 = TIdIPVersion::Id_IPv4;
constexpr TIdIPVersion Id_IPv6 = TIdIPVersion::Id_IPv6;

// A socket as the OS names it: a descriptor number here, a 64-bit handle on Win64, whose invalid
// value is all bits set in either case.
#if defined(_WIN32)
using TIdStackSocketHandle = uint64_t;
#else
using TIdStackSocketHandle = uint32_t;
#endif
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = ~TIdStackSocketHandle{0};
// What a failed OS socket call answers.
constexpr int Id_SOCKET_ERROR = -1;

// Socket error numbers as the framework reports them, whatever the platform (LastError, ignore lists).
constexpr int Id_WSAEINTR = 10004;
constexpr int Id_WSAEBADF = 10009;
constexpr int Id_WSAEACCES = 10013;
constexpr int Id_WSAEFAULT = 10014;
constexpr int Id_WSAEINVAL = 10022;
constexpr int Id_WSAEMFILE = 10024;
constexpr int Id_WSAEWOULDBLOCK = 10035;
constexpr int Id_WSAEINPROGRESS = 10036;
constexpr int Id_WSAEALREADY = 10037;
constexpr int Id_WSAENOTSOCK = 10038;
constexpr int Id_WSAEDESTADDRREQ = 10039;
constexpr int Id_WSAEMSGSIZE = 10040;
constexpr int Id_WSAEPROTOTYPE = 10041;
constexpr int Id_WSAENOPROTOOPT = 10042;
constexpr int Id_WSAEPROTONOSUPPORT = 10043;
constexpr int Id_WSAESOCKTNOSUPPORT = 10044;
constexpr int Id_WSAEOPNOTSUPP = 10045;
constexpr int Id_WSAEPFNOSUPPORT = 10046;
constexpr int Id_WSAEAFNOSUPPORT = 10047;
constexpr int Id_WSAEADDRINUSE = 10048;
constexpr int Id_WSAEADDRNOTAVAIL = 10049;
constexpr int Id_WSAENETDOWN = 10050;
constexpr int Id_WSAENETUNREACH = 10051;
constexpr int Id_WSAENETRESET = 10052;
constexpr int Id_WSAECONNABORTED = 10053;
constexpr int Id_WSAECONNRESET = 10054;
constexpr int Id_WSAENOBUFS = 10055;
constexpr int Id_WSAEISCONN = 10056;
constexpr int Id_WSAENOTCONN = 10057;
constexpr int Id_WSAESHUTDOWN = 10058;
constexpr int Id_WSAETOOMANYREFS = 10059;
constexpr int Id_WSAETIMEDOUT = 10060;
constexpr int Id_WSAECONNREFUSED = 10061;
constexpr int Id_WSAELOOP = 10062;
constexpr int Id_WSAENAMETOOLONG = 10063;
constexpr int Id_WSAEHOSTDOWN = 10064;
constexpr int Id_WSAEHOSTUNREACH = 10065;
constexpr int Id_WSAENOTEMPTY = 10066;
constexpr int Id_WSAEUSERS = 10068;
constexpr int Id_WSAEDQUOT = 10069;
constexpr int Id_WSAESTALE = 10070;
constexpr int Id_WSAEREMOTE = 10071;
constexpr int Id_WSATYPE_NOT_FOUND = 10109;
constexpr int Id_WSAHOST_NOT_FOUND = 11001;
constexpr int Id_WSATRY_AGAIN = 11002;
constexpr int Id_WSANO_RECOVERY = 11003;
constexpr int Id_WSANO_DATA = 11004;
constexpr int Id_WSA_NOT_ENOUGH_MEMORY = 8;

// The OS address family of an IP version.
int IdIPFamily(TIdIPVersion AIPVersion);

// What a datagram receive with packet information reports.
struct TIdPacketInfo {
    std::u16string SourceIP;
    uint16_t SourcePort = 0;
    TIdIPVersion SourceIPVersion = Id_IPv4;
    std::u16string DestIP;
    uint16_t DestPort = 0;
    TIdIPVersion DestIPVersion = Id_IPv4;
    uint32_t DestIF = 0;
    uint8_t TTL = 0;
};

class TIdStack;
// The class that IncUsage instantiates; points at the platform's stack from program start.
using TIdStackClass = TIdStack* (*)();

class TIdStack : public TObject {
public:
    TIdStack();
    ~TIdStack() override;

    // The first use creates GSocketStack through GSocketStackType; the last frees it.
    static void IncUsage();
    static void DecUsage();

    virtual TIdStackSocketHandle Accept(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                                        TIdIPVersion& VIPVersion) = 0;
    TIdStackSocketHandle Accept(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort);
    virtual void Bind(TIdStackSocketHandle ASocket, const std::u16string& AIP, uint16_t APort,
                      TIdIPVersion AIPVersion = Id_IPv4) = 0;
    // AMSec above 0 limits the wait for the peer: a connection not made within it raises
    // EIdConnectTimeout. 0 or less waits as long as the system keeps trying.
    virtual void Connect(TIdStackSocketHandle ASocket, const std::u16string& AIP, uint16_t APort,
                         TIdIPVersion AIPVersion = Id_IPv4, int AMSec = 0) = 0;
    // Shuts the socket down and closes it; never raises.
    virtual void Disconnect(TIdStackSocketHandle ASocket) = 0;
    virtual int IOControl(TIdStackSocketHandle ASocket, uint32_t ACmd, uint32_t& VArg) = 0;
    virtual void GetPeerName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                             TIdIPVersion& VIPVersion) = 0;
    void GetPeerName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort);
    virtual void GetSocketName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort,
                               TIdIPVersion& VIPVersion) = 0;
    void GetSocketName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort);
    virtual std::u16string HostByAddress(const std::u16string& AAddress, TIdIPVersion AIPVersion = Id_IPv4) = 0;

    virtual uint16_t HostToNetwork(uint16_t AValue) = 0;
    virtual uint32_t HostToNetwork(uint32_t AValue) = 0;
    virtual uint64_t HostToNetwork(uint64_t AValue) = 0;
    virtual TIdIPv6Address HostToNetwork(const TIdIPv6Address& AValue);
    virtual void Listen(TIdStackSocketHandle ASocket, int ABackLog) = 0;
    // The calling thread's last socket error, as a Windows socket error number.
    virtual int WSGetLastError() = 0;
    virtual void WSSetLastError(int AErr) = 0;
    // "Socket-Fehler # <code>" CR LF "<text>"; the text is empty for a code without one.
    virtual std::u16string WSTranslateSocketErrorMsg(int AErr);
    // EIdNotASocket for 10038, EIdSocketError otherwise.
    [[noreturn]] virtual void RaiseSocketError(int AErr);
    virtual TIdStackSocketHandle NewSocketHandle(int ASocketType, int AProtocol, TIdIPVersion AIPVersion = Id_IPv4,
                                                 bool AOverlapped = false) = 0;
    virtual uint16_t NetworkToHost(uint16_t AValue) = 0;
    virtual uint32_t NetworkToHost(uint32_t AValue) = 0;
    virtual uint64_t NetworkToHost(uint64_t AValue) = 0;
    virtual TIdIPv6Address NetworkToHost(const TIdIPv6Address& AValue);
    virtual void GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int& AOptVal) = 0;
    virtual void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) = 0;
    // Receives into the whole buffer (its size is the most it takes); answers the count, 0 when the
    // peer closed in order.
    virtual int Receive(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer) = 0;
    // Whether a receive can do its own waiting, bounded by the socket's receive time-out
    // (SO_RCVTIMEO), and be woken by WakeSocket like any wait: a reader then needs one call per
    // chunk instead of a wait and a receive. False here; a system that can says so.
    virtual bool WaitsInReceive() const { return false; }
    // Only where WaitsInReceive: receives into the whole buffer, waiting at most the socket's receive
    // time-out, which the caller gave it as AWait ms (< 0: none), or not at all with AWait 0. True
    // with VCount the byte count (0: closed in order) or -1 when nothing came; false when the socket
    // answered at once although it should have waited (its user made it non-blocking): the caller
    // then waits for it first.
    virtual bool ReceiveWaiting(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, int AWait, int& VCount);
    // ASize -1: everything from AOffset. Answers what the OS accepted (possibly fewer bytes).
    virtual int Send(TIdStackSocketHandle ASocket, const TIdByteArray& ABuffer, int AOffset = 0, int ASize = -1) = 0;
    virtual int ReceiveFrom(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, std::u16string& VIP, uint16_t& VPort,
                            TIdIPVersion& VIPVersion) = 0;
    virtual int SendTo(TIdStackSocketHandle ASocket, const TIdByteArray& ABuffer, int AOffset, int ASize,
                       const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion = Id_IPv4) = 0;
    int SendTo(TIdStackSocketHandle ASocket, const TIdByteArray& ABuffer, int AOffset, const std::u16string& AIP,
               uint16_t APort, TIdIPVersion AIPVersion = Id_IPv4);
    virtual int ReceiveMsg(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, TIdPacketInfo& APkt) = 0;
    virtual bool SupportsIPv6() = 0;
    virtual void SetMulticastTTL(TIdStackSocketHandle AHandle, uint8_t AValue, TIdIPVersion AIPVersion) = 0;
    virtual void SetLoopBack(TIdStackSocketHandle AHandle, bool AValue, TIdIPVersion AIPVersion) = 0;
    virtual void DropMulticastMembership(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                                         const std::u16string& ALocalIP, TIdIPVersion AIPVersion) = 0;
    virtual void AddMulticastMembership(TIdStackSocketHandle AHandle, const std::u16string& AGroupIP,
                                        const std::u16string& ALocalIP, TIdIPVersion AIPVersion) = 0;
    // The Internet checksum (RFC 1071) over the words in host order.
    virtual uint16_t CalcCheckSum(const TIdByteArray& AData);
    virtual void WriteChecksum(TIdStackSocketHandle s, TIdByteArray& VBuffer, int AOffset, const std::u16string& AIP,
                               uint16_t APort, TIdIPVersion AIPVersion = Id_IPv4) = 0;
    // Appends the machine's IPv4 addresses; does not clear the list first.
    virtual void AddLocalAddressesToList(TStrings& AAddresses) = 0;

    // The close protocol of the socket handles, which must wake a socket's waiters at once and yet
    // never let a thread call the OS with a socket value that was closed and given to another
    // socket. WakeSocket shuts the socket down for sending (never for receiving as far as the peer can
    // tell) and makes every call blocked on the socket (wait, receive, send, accept) and every later
    // one return at once, with what they answer after an orderly close: a receive 0 (or what is still
    // queued), a send EIdSocketError 10058, a wait "ready", an accept no socket and 10022 as the last
    // error; the socket stays open. RetireSocket is called once nobody uses
    // the socket any more: it gives the socket up and answers true when its value stays reserved
    // ("parked") until FreeParkedSocket, for platforms whose OS reuses socket values at once.
    virtual void WakeSocket(TIdStackSocketHandle ASocket) = 0;
    virtual bool RetireSocket(TIdStackSocketHandle ASocket) = 0;
    virtual void FreeParkedSocket(TIdStackSocketHandle ASocket) = 0;
    // Closes a socket that never reached a handle.
    virtual void CloseSocketNow(TIdStackSocketHandle ASocket) = 0;

    // -1 raises the calling thread's last socket error; any other result is answered unchanged.
    int CheckForSocketError(int AResult);
    // As above, but a last error found in AIgnore is answered (instead of -1) without raising.
    int CheckForSocketError(int AResult, std::initializer_list<int> AIgnore);
    [[noreturn]] void RaiseLastSocketError();

    // Dotted-quad IPv4 text: four decimal components 0..255 (each trimmed), nothing more.
    bool IsIP(std::u16string AIP);
    // A literal as it is, "LOCALHOST" as 127.0.0.1, anything else through the resolver.
    std::u16string ResolveHost(const std::u16string& AHost, TIdIPVersion AIPVersion = Id_IPv4);
    // Eight upper-case groups, or empty when AAddr is no IPv6 literal.
    std::u16string CanonicalIPv6Text(const std::u16string& AAddr);
    bool IsValidIPv4MulticastGroup(const std::u16string& Value);
    bool IsValidIPv6MulticastGroup(const std::u16string& Value);

    std::u16string HostName() { return QueryLocalHostName(); }
    std::u16string LocalAddress();
    // Refilled on every read; owned by the stack, not safe for concurrent readers.
    TStrings& LocalAddresses();

protected:
    virtual std::u16string NameToAddress(const std::u16string& AHostName, TIdIPVersion AIPVersion) = 0;
    virtual std::u16string QueryLocalHostName() = 0;
    [[noreturn]] void RaiseUnsupportedIPVersion();
    // Raises EIdIPVersionUnsupported for a value that is neither Id_IPv4 nor Id_IPv6.
    void CheckIPVersion(TIdIPVersion AIPVersion);

private:
    std::unique_ptr<TStringList> FLocalAddresses;
};

extern TIdStack* GSocketStack;
extern TIdStackClass GSocketStackType;
extern int32_t GSocketStackUsage;

// Set by the first stack construction once the platform's socket library is loaded and started;
// cleared when it is stopped at program end.
extern bool GSocketLibraryStarted;
// Whether the address-lookup functions that resolve IPv6 names are there; decided by the first
// stack construction.
extern bool GIPv6FunctionsPresent;

// ---------------------------------------------------------------------------------------------
// Socket lists: a small locked set of handles that is waited on for readiness.

class TIdSocketList;
using TIdSocketListClass = TIdSocketList* (*)();

class TIdSocketList : public TObject {
public:
    TIdSocketList();
    ~TIdSocketList() override;

    virtual void Add(TIdStackSocketHandle AHandle) = 0;
    virtual TIdSocketList* Clone() = 0;
    virtual int Count() = 0;
    virtual void Remove(TIdStackSocketHandle AHandle) = 0;
    virtual void Clear() = 0;
    virtual bool ContainsSocket(TIdStackSocketHandle AHandle) = 0;
    // Waits until a handle of any given list is ready (read, write, exceptional data); afterwards each
    // given list holds only its ready handles. Missing lists are passed as nullptr.
    static bool Select(TIdSocketList* AReadList, TIdSocketList* AWriteList, TIdSocketList* AExceptList,
                       int ATimeout = TimeoutForever);
    // Waits until a handle of this list is readable; the list is not changed.
    virtual bool SelectRead(int ATimeout = TimeoutForever) = 0;
    // As SelectRead; when something is readable, VSocketList (created when nullptr, owned by the caller)
    // receives the readable handles. Left as it was when nothing is readable.
    virtual bool SelectReadList(TIdSocketList*& VSocketList, int ATimeout = TimeoutForever) = 0;

    TIdStackSocketHandle Items(int AIndex) { return HandleAt(AIndex); }
    TIdStackSocketHandle operator[](int AIndex) { return HandleAt(AIndex); }
    void Lock() { FLock.Acquire(); }
    void Unlock() { FLock.Release(); }

    // A new list of the class GSocketListType (owned by the caller).
    static TIdSocketList* CreateSocketList();

protected:
    virtual TIdStackSocketHandle HandleAt(int AIndex) = 0;
    // The wait behind Select, supplied by the concrete class; the base answers false.
    virtual bool DoSelect(TIdSocketList* AReadList, TIdSocketList* AWriteList, TIdSocketList* AExceptList,
                          int ATimeout);

    TIdCriticalSection FLock;
};

extern TIdSocketListClass GSocketListType;

// ---------------------------------------------------------------------------------------------
// Whole-file send on a connected socket; answers the bytes sent, 0 when the file could not be
// opened or sent.
using TIdTransmitFileHook = int64_t (*)(TIdStackSocketHandle, const std::u16string& AFileName);
extern TIdTransmitFileHook GTransmitFileHook;

}  // namespace Id
