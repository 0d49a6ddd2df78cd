#include <IdFramework/stack/IdStackWindows.h>

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
// clang-format on

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
#include <IdFramework/runtime/NeverDestroyed.h>
#include <IdFramework/stack/IdWinsock2.h>
#include <IdFramework/stack/IdWship6.h>

namespace Id {

// The system lays its addresses out as the shared address record does.
static_assert(sizeof(SOCKADDR_STORAGE) <= TIdSockAddr::Capacity);
static_assert(offsetof(sockaddr_in, sin_family) == 0 && sizeof(sockaddr_in::sin_family) == 2);
static_assert(offsetof(sockaddr_in, sin_port) == 2 && offsetof(sockaddr_in, sin_addr) == 4);
static_assert(offsetof(sockaddr_in6, sin6_port) == 2 && offsetof(sockaddr_in6, sin6_addr) == 8);
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr_in6) == 28);
static_assert(sizeof(SOCKET) == sizeof(TIdStackSocketHandle) && INVALID_SOCKET == Id_INVALID_SOCKET);
static_assert(FD_SETSIZE == TIdFDSet::Capacity);
static_assert(offsetof(IN_PKTINFO, ipi_addr) == Id_PKTINFO_ADDR_OFFSET);
static_assert(offsetof(IN_PKTINFO, ipi_ifindex) == Id_PKTINFO_IFINDEX_OFFSET);
static_assert(offsetof(IN6_PKTINFO, ipi6_addr) == 0 && offsetof(IN6_PKTINFO, ipi6_ifindex) == 16);

namespace {

inline SOCKET Sock(TIdStackSocketHandle ASocket) { return static_cast<SOCKET>(ASocket); }
inline sockaddr* Raw(TIdSockAddr& AAddr) { return reinterpret_cast<sockaddr*>(AAddr.Bytes); }
inline const sockaddr* Raw(const TIdSockAddr& AAddr) { return reinterpret_cast<const sockaddr*>(AAddr.Bytes); }

const wchar_t* Wide(const std::u16string& AText) { return reinterpret_cast<const wchar_t*>(AText.c_str()); }

// The names the 8-bit entries take, in the system's code page.
std::string Ansi(const std::u16string& AText) {
    if (AText.empty()) return {};
    const int length =
        WideCharToMultiByte(CP_ACP, 0, Wide(AText), static_cast<int>(AText.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_ACP, 0, Wide(AText), static_cast<int>(AText.size()), result.data(), length, nullptr,
                            nullptr);
    return result;
}

std::u16string FromAnsi(const char* AText) {
    if (!AText || !*AText) return {};
    const int length = MultiByteToWideChar(CP_ACP, 0, AText, -1, nullptr, 0);
    std::u16string result(static_cast<size_t>(length > 0 ? length : 1), u'\0');
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, AText, -1, reinterpret_cast<wchar_t*>(result.data()), length);
    result.resize(result.size() - 1);  // the terminating zero
    return result;
}

int SystemLastError() { return static_cast<int>(GetLastError()); }

// The look-up functions answer the socket error numbers themselves; the small numbers are the
// portable codes some callers pass.
constexpr TIdAddrInfoCodes kAddrInfoCodes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, INT_MIN, 11, 0, &SystemLastError};

// ---------------------------------------------------------------------------------------------
// Closes of our own, as the socket calls see them
//
// A close shuts the socket down for sending only (a receive side shut down while data is queued or
// arriving resets the connection here). That ends a blocked send, and every later one, with 10058,
// but leaves a receive, a wait or an accept blocked: the system's cancellation (CancelIoEx) ends
// those, for every thread, with "operation aborted" (995). So the sockets this stack makes are
// tracked until they are closed: a socket woken by a close makes no further receive-type call, a
// call cancelled by the close answers what it answers on the other platform after the same close
// (a receive 0, an accept 10022, a send 10058, a wait "ready"), and the close cancels again until no
// receive-type call that entered before it is left, so that one which was about to start when the
// close came cannot block after it.

class TClosingSockets {
public:
    // A socket made or accepted by this stack; false when it cannot be tracked (no memory).
    bool Opened(SOCKET ASocket) {
        std::lock_guard guard(FLock);
        try {
            FSockets[ASocket] = TEntry{};
        } catch (...) {
            return false;
        }
        return true;
    }
    // Just before the socket is given back to the system.
    void Closing(SOCKET ASocket) {
        std::lock_guard guard(FLock);
        FSockets.erase(ASocket);
    }
    // Enters a receive-type call on the socket: false when a close woke it already (make no call).
    bool Enter(SOCKET ASocket, bool& VEntered) {
        std::lock_guard guard(FLock);
        VEntered = false;
        const auto it = FSockets.find(ASocket);
        if (it == FSockets.end()) return true;  // not ours: calls as the system answers them
        if (it->second.Woken) return false;
        ++it->second.Calls;
        VEntered = true;
        return true;
    }
    void Leave(SOCKET ASocket) {
        std::lock_guard guard(FLock);
        const auto it = FSockets.find(ASocket);
        if (it != FSockets.end() && it->second.Calls > 0) --it->second.Calls;
    }
    bool Woken(SOCKET ASocket) {
        std::lock_guard guard(FLock);
        const auto it = FSockets.find(ASocket);
        return it != FSockets.end() && it->second.Woken;
    }
    void Wake(SOCKET ASocket) {
        {
            std::lock_guard guard(FLock);
            const auto it = FSockets.find(ASocket);
            if (it != FSockets.end()) it->second.Woken = true;
        }
        Winsock2::shutdown(ASocket, SD_SEND);
        const auto handle = reinterpret_cast<HANDLE>(ASocket);
        CancelIoEx(handle, nullptr);
        // Bounded: a call the cancellation cannot reach keeps the close no longer than that.
        for (int i = 0; i < 2000 && Calls(ASocket) > 0; ++i) {
            Sleep(i < 20 ? 0 : 1);
            CancelIoEx(handle, nullptr);
        }
    }

private:
    struct TEntry {
        int Calls = 0;
        bool Woken = false;
    };
    int Calls(SOCKET ASocket) {
        std::lock_guard guard(FLock);
        const auto it = FSockets.find(ASocket);
        return it == FSockets.end() ? 0 : it->second.Calls;
    }
    std::mutex FLock;
    std::unordered_map<SOCKET, TEntry> FSockets;
};

TClosingSockets& ClosingSockets() {
    static TNeverDestroyed<TClosingSockets> sockets;
    return sockets.Get();
}

// A system call that a cancellation ended.
bool WasCancelled(int AResult) {
    if (AResult != SOCKET_ERROR) return false;
    const int error = Winsock2::WSAGetLastError();
    return error == WSA_OPERATION_ABORTED || error == WSAEINTR;
}

// One receive-type call on a socket, entered for its length.
class TSocketCall {
public:
    explicit TSocketCall(SOCKET ASocket) : FSocket(ASocket), FMayCall(ClosingSockets().Enter(ASocket, FEntered)) {}
    ~TSocketCall() {
        if (FEntered) ClosingSockets().Leave(FSocket);
    }
    TSocketCall(const TSocketCall&) = delete;
    TSocketCall& operator=(const TSocketCall&) = delete;
    // False when a close of our own came first: the call is answered without the system.
    bool MayCall() const { return FMayCall; }
    // Whether a result of the system is a cancellation by a close of our own.
    bool EndedByClose(int AResult) const { return WasCancelled(AResult) && ClosingSockets().Woken(FSocket); }

private:
    SOCKET FSocket;
    bool FEntered = false;
    bool FMayCall;
};

// What a receive answers on a socket that a close of our own woke: what is still queued, else 0,
// as a socket shut down for receiving does.
template <typename TReceive>
int ReceiveAfterClose(SOCKET ASocket, TReceive AReceive) {
    u_long queued = 0;
    if (Winsock2::ioctlsocket(ASocket, FIONREAD, &queued) == 0 && queued > 0) return AReceive();
    Winsock2::WSASetLastError(0);
    return 0;
}

// A send ended by a close of our own fails as a send on a socket shut down for sending does.
int SendResult(SOCKET ASocket, int AResult) {
    if (WasCancelled(AResult) && ClosingSockets().Woken(ASocket)) Winsock2::WSASetLastError(WSAESHUTDOWN);
    return AResult;
}

// A socket made or accepted here, tracked; one that cannot be is given back (out of memory).
SOCKET Tracked(SOCKET ASocket) {
    if (ASocket == INVALID_SOCKET || ClosingSockets().Opened(ASocket)) return ASocket;
    Winsock2::closesocket(ASocket);
    Winsock2::WSASetLastError(WSAENOBUFS);
    return INVALID_SOCKET;
}

int CloseNow(SOCKET ASocket) {
    ClosingSockets().Closing(ASocket);
    return Winsock2::closesocket(ASocket);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The stack

TIdStack* CreateStackWindows() { return new TIdStackWindows; }
TIdSocketList* CreateSocketListWindows() { return new TIdSocketListWindows; }

TIdStackWindows::TIdStackWindows() {
    // Constructed under the stack lock (IncUsage), so the start runs once.
    if (GSocketLibraryStarted) return;
    try {
        Winsock2::StartSocketLibrary();
        Wship6::LoadIPv6Functions();
    } catch (Exception& E) {
        EIdStackInitializationFailed::Toss(E.Message());
    }
    GSocketLibraryStarted = true;
}

TIdStackWindows::~TIdStackWindows() = default;

TIdStackSocketHandle TIdStackWindows::WSSocket(int AFamily, int AStruct, int AProtocol, bool AOverlapped) {
    const SOCKET result = AOverlapped
                              ? Winsock2::WSASocketW(AFamily, AStruct, AProtocol, nullptr, 0, WSA_FLAG_OVERLAPPED)
                              : Winsock2::socket(AFamily, AStruct, AProtocol);
    return static_cast<TIdStackSocketHandle>(Tracked(result));
}

int TIdStackWindows::WSBind(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen) {
    return Winsock2::bind(Sock(ASocket), Raw(AAddr), ALen);
}

int TIdStackWindows::WSListen(TIdStackSocketHandle ASocket, int ABackLog) {
    return Winsock2::listen(Sock(ASocket), ABackLog);
}

int TIdStackWindows::WSConnect(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen) {
    return Winsock2::connect(Sock(ASocket), Raw(AAddr), ALen);
}

int TIdStackWindows::WSConnectWithin(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen, int AMSec) {
    const SOCKET s = Sock(ASocket);
    u_long nonBlocking = 1;
    if (Winsock2::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return -1;
    int result = Winsock2::connect(s, Raw(AAddr), ALen);
    if (result != 0 && Winsock2::WSAGetLastError() == WSAEWOULDBLOCK) {
        // Made by hand: FD_ISSET would import the socket library at link time.
        fd_set writable{}, failed{};
        writable.fd_count = failed.fd_count = 1;
        writable.fd_array[0] = failed.fd_array[0] = s;
        timeval limit{AMSec / 1000, (AMSec % 1000) * 1000};
        const int ready = Winsock2::select(0, nullptr, &writable, &failed, &limit);
        if (ready == 0) {
            result = -2;
        } else if (ready > 0 && failed.fd_count > 0) {
            int error = 0;
            int errorLen = sizeof(error);
            Winsock2::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &errorLen);
            Winsock2::WSASetLastError(error);
            result = -1;
        } else if (ready > 0) {
            result = 0;
        }
    }
    const int error = Winsock2::WSAGetLastError();
    u_long blocking = 0;
    Winsock2::ioctlsocket(s, FIONBIO, &blocking);
    Winsock2::WSASetLastError(error);
    return result;
}

TIdStackSocketHandle TIdStackWindows::WSAccept(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) {
    int len = TIdSockAddr::Capacity;
    TSocketCall call(Sock(ASocket));
    SOCKET result = INVALID_SOCKET;
    if (call.MayCall()) result = Winsock2::accept(Sock(ASocket), Raw(VAddr), &len);
    if (!call.MayCall() || (result == INVALID_SOCKET && call.EndedByClose(SOCKET_ERROR))) {
        // As an accept on a listener shut down by the close answers on the other platform.
        Winsock2::WSASetLastError(WSAEINVAL);
        return Id_INVALID_SOCKET;
    }
    return static_cast<TIdStackSocketHandle>(Tracked(result));
}

int TIdStackWindows::WSGetSockName(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) {
    int len = TIdSockAddr::Capacity;
    return Winsock2::getsockname(Sock(ASocket), Raw(VAddr), &len);
}

int TIdStackWindows::WSGetPeerName(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) {
    int len = TIdSockAddr::Capacity;
    return Winsock2::getpeername(Sock(ASocket), Raw(VAddr), &len);
}

int TIdStackWindows::WSRecvFromAddr(TIdStackSocketHandle ASocket, void* VBuffer, int ALength, int AFlags,
                                    TIdSockAddr& VFrom) {
    const SOCKET s = Sock(ASocket);
    const auto receive = [&] {
        int len = TIdSockAddr::Capacity;
        return Winsock2::recvfrom(s, static_cast<char*>(VBuffer), ALength, AFlags, Raw(VFrom), &len);
    };
    TSocketCall call(s);
    if (!call.MayCall()) return ReceiveAfterClose(s, receive);
    const int result = receive();
    return call.EndedByClose(result) ? ReceiveAfterClose(s, receive) : result;
}

int TIdStackWindows::WSSendToAddr(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags,
                                  const TIdSockAddr& ATo, int ALen) {
    return SendResult(Sock(ASocket), Winsock2::sendto(Sock(ASocket), static_cast<const char*>(ABuffer), ABufferLength,
                                                      AFlags, Raw(ATo), ALen));
}

int TIdStackWindows::WSCloseHandle(TIdStackSocketHandle ASocket) { return CloseNow(Sock(ASocket)); }

int TIdStackWindows::WSShutdownHandle(TIdStackSocketHandle ASocket, int AHow) {
    return Winsock2::shutdown(Sock(ASocket), AHow);
}

int TIdStackWindows::WSReceive(TIdStackSocketHandle ASocket, void* VBuffer, int ABufferLength, int AFlags) {
    const SOCKET s = Sock(ASocket);
    const auto receive = [&] {
        return Winsock2::recv(s, static_cast<char*>(VBuffer), ABufferLength < 0 ? 0 : ABufferLength, AFlags);
    };
    TSocketCall call(s);
    if (!call.MayCall()) return ReceiveAfterClose(s, receive);
    const int result = receive();
    return call.EndedByClose(result) ? ReceiveAfterClose(s, receive) : result;
}

int TIdStackWindows::WSTransmit(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags) {
    const SOCKET s = Sock(ASocket);
    return CheckForSocketError(
        SendResult(s, Winsock2::send(s, static_cast<const char*>(ABuffer), ABufferLength < 0 ? 0 : ABufferLength, AFlags)));
}

int TIdStackWindows::IOControl(TIdStackSocketHandle ASocket, uint32_t ACmd, uint32_t& VArg) {
    u_long arg = VArg;
    const int result = Winsock2::ioctlsocket(Sock(ASocket), static_cast<long>(ACmd), &arg);
    VArg = static_cast<uint32_t>(arg);
    return result;
}

void TIdStackWindows::SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) {
    // Time-outs are milliseconds in a 4-byte number here, as callers pass them.
    SetSocketOption(ASocket, ALevel, AOptName, &AOptVal, sizeof(AOptVal));
}

void TIdStackWindows::SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, const void* AOptVal,
                                      int AOptLen) {
    CheckForSocketError(
        Winsock2::setsockopt(Sock(ASocket), ALevel, AOptName, static_cast<const char*>(AOptVal), AOptLen));
}

int TIdStackWindows::WSGetSockOpt(TIdStackSocketHandle ASocket, int ALevel, int AOptName, void* AOptVal,
                                  int& AOptLen) {
    return Winsock2::getsockopt(Sock(ASocket), ALevel, AOptName, static_cast<char*>(AOptVal), &AOptLen);
}

void TIdStackWindows::SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) {
    u_long value = ABlocking ? 0 : 1;
    CheckForSocketError(Winsock2::ioctlsocket(Sock(ASocket), FIONBIO, &value));
}

int TIdStackWindows::WSGetLastError() { return Winsock2::WSAGetLastError(); }

void TIdStackWindows::WSSetLastError(int AErr) { Winsock2::WSASetLastError(AErr); }

int TIdStackWindows::ReceiveMsg(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, TIdPacketInfo& APkt) {
    TIdSockAddr source;
    WSABUF data{static_cast<u_long>(VBuffer.size()), reinterpret_cast<char*>(VBuffer.data())};
    alignas(WSACMSGHDR) char control[256];
    WSAMSG message{};
    message.name = Raw(source);
    message.namelen = TIdSockAddr::Capacity;
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    message.Control = WSABUF{sizeof(control), control};
    DWORD received = 0;
    const SOCKET s = Sock(ASocket);
    const auto receive = [&] {
        message.namelen = TIdSockAddr::Capacity;
        message.Control.len = sizeof(control);
        return Winsock2::WSARecvMsg(s, &message, &received, nullptr, nullptr);
    };
    {
        TSocketCall call(s);
        int result = call.MayCall() ? receive() : SOCKET_ERROR;
        if (!call.MayCall() || call.EndedByClose(result)) {
            // Nothing, no sender and no control data, unless something is still queued.
            source = TIdSockAddr{};
            received = 0;
            message.Control.len = 0;
            result = ReceiveAfterClose(s, receive);
        }
        CheckForSocketError(result);
    }
    APkt = TIdPacketInfo{};
    if (IsIPFamily(source)) DecodeSockAddr(source, APkt.SourceIP, APkt.SourcePort, APkt.SourceIPVersion);
    for (WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message); header; header = WSA_CMSG_NXTHDR(&message, header))
        DecodePacketControl(header->cmsg_level, header->cmsg_type, WSA_CMSG_DATA(header), APkt);
    return static_cast<int>(received);
}

bool TIdStackWindows::SupportsIPv6() {
    DWORD length = 0;
    if (Winsock2::WSAEnumProtocolsW(nullptr, nullptr, &length) != SOCKET_ERROR || length == 0) return false;
    std::vector<uint8_t> buffer(length);
    auto* records = reinterpret_cast<WSAPROTOCOL_INFOW*>(buffer.data());
    const int count = Winsock2::WSAEnumProtocolsW(nullptr, records, &length);
    for (int i = 0; i < count; ++i)
        if (records[i].iAddressFamily == AF_INET6) return true;
    return false;
}

const TIdAddrInfoCodes& TIdStackWindows::AddrInfoCodes() const { return kAddrInfoCodes; }

int TIdStackWindows::WSGetAddrInfo(const std::u16string& AName, int AFamily, bool ACanonName,
                                   std::vector<TIdAddrInfo>& VList) {
    return GetAddrInfoInto<ADDRINFOW>(
        AFamily, SOCK_STREAM, ACanonName ? AI_CANONNAME : 0,
        [&AName](const ADDRINFOW* AHints, ADDRINFOW** VList) {
            return Wship6::GetAddrInfoW(Wide(AName), nullptr, AHints, VList);
        },
        [](ADDRINFOW* AList) { Wship6::FreeAddrInfoW(AList); }, VList);
}

int TIdStackWindows::WSGetNameInfo(const TIdSockAddr& AAddr, int ALength, std::u16string& VHost) {
    wchar_t host[1025] = {};
    const int error = Wship6::GetNameInfoW(Raw(AAddr), static_cast<socklen_t>(ALength), host, 1025, nullptr, 0, NI_NAMEREQD);
    if (error == 0) VHost = reinterpret_cast<const char16_t*>(host);
    return error;
}

int TIdStackWindows::WSGetHostName(char* VName, int ALength) { return Winsock2::gethostname(VName, ALength); }

std::string TIdStackWindows::ToSystemText(const std::u16string& AText) { return Ansi(AText); }

std::u16string TIdStackWindows::FromSystemText(const char* AText) { return FromAnsi(AText); }

std::u16string TIdStackWindows::NameToAddress(const std::u16string& AHostName, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    if (GIPv6FunctionsPresent) return TIdStackBSDBase::NameToAddress(AHostName, AIPVersion);
    if (AIPVersion == Id_IPv6) EIdIPv6Unavailable::Toss(RSIPv6Unavailable);
    const hostent* entry = Winsock2::gethostbyname(Ansi(AHostName).c_str());
    if (!entry || !entry->h_addr_list || !entry->h_addr_list[0]) RaiseLastSocketError();
    return TranslateTInAddrToString(entry->h_addr_list[0], Id_IPv4);
}

std::u16string TIdStackWindows::HostByAddress(const std::u16string& AAddress, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    if (GIPv6FunctionsPresent) return TIdStackBSDBase::HostByAddress(AAddress, AIPVersion);
    if (AIPVersion == Id_IPv6) EIdIPv6Unavailable::Toss(RSIPv6Unavailable);
    uint8_t address[4] = {};
    TranslateStringToTInAddr(AAddress, address, Id_IPv4);
    const hostent* entry = Winsock2::gethostbyaddr(reinterpret_cast<const char*>(address), 4, AF_INET);
    if (!entry) RaiseLastSocketError();
    return FromAnsi(entry->h_name);
}

void TIdStackWindows::AddLocalAddressesToList(TStrings& AAddresses) {
    const std::u16string host = HostName();
    std::vector<std::u16string> found;
    if (GIPv6FunctionsPresent) {
        std::vector<TIdAddrInfo> list;
        const int error = WSGetAddrInfo(host, AF_INET, false, list);
        if (error != 0) RaiseAddrInfoError(error);
        for (const TIdAddrInfo& entry : list)
            if (entry.Length > 0 && entry.Family == AF_INET)
                found.push_back(TranslateTInAddrToString(
                    &reinterpret_cast<const sockaddr_in*>(entry.Addr.Bytes)->sin_addr, Id_IPv4));
    } else {
        const hostent* entry = Winsock2::gethostbyname(Ansi(host).c_str());
        if (!entry) RaiseLastSocketError();
        for (char** address = entry->h_addr_list; address && *address; ++address)
            found.push_back(TranslateTInAddrToString(*address, Id_IPv4));
    }
    AddAddressesToList(AAddresses, found);
}

bool TIdStackWindows::WSServiceByName(const std::string& AName, uint16_t& VPort) {
    const servent* found = Winsock2::getservbyname(AName.c_str(), nullptr);
    if (found) VPort = NetworkToHost(static_cast<uint16_t>(found->s_port));
    return found != nullptr;
}

bool TIdStackWindows::WSServiceByPort(uint16_t APort, std::vector<std::string>& VNames) {
    const servent* found = Winsock2::getservbyport(HostToNetwork(APort), nullptr);
    if (!found) return false;
    VNames.emplace_back(found->s_name ? found->s_name : "");
    for (char** alias = found->s_aliases; alias && *alias; ++alias) VNames.emplace_back(*alias);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The close protocol

void TIdStackWindows::WakeSocket(TIdStackSocketHandle ASocket) { ClosingSockets().Wake(Sock(ASocket)); }

bool TIdStackWindows::RetireSocket(TIdStackSocketHandle ASocket) {
    // Given back at once: a socket kept open to hold its number would keep a listener listening and
    // a peer's connection half open for as long as the handle lives (IdSocketHandle.h).
    CloseNow(Sock(ASocket));
    return false;
}

void TIdStackWindows::FreeParkedSocket(TIdStackSocketHandle ASocket) { CloseNow(Sock(ASocket)); }

void TIdStackWindows::CloseSocketNow(TIdStackSocketHandle ASocket) { CloseNow(Sock(ASocket)); }

// ---------------------------------------------------------------------------------------------
// Socket list

namespace {

// What a wait answers when a close of our own woke one of its sockets, as the same wait answers
// after the same close on the other platform: each woken socket ready for reading and for writing
// (not for exceptional data), the others as they are now.
bool ReadyAfterClose(TIdFDSet* const (&ASets)[3]) {
    bool woken[3][TIdFDSet::Capacity] = {};
    fd_set rest[3];
    bool anyRest = false;
    for (int s = 0; s < 3; ++s) {
        rest[s].fd_count = 0;
        if (!ASets[s]) continue;
        for (uint32_t i = 0; i < ASets[s]->fd_count; ++i) {
            const SOCKET socket = Sock(ASets[s]->fd_array[i]);
            woken[s][i] = ClosingSockets().Woken(socket);
            if (!woken[s][i]) rest[s].fd_array[rest[s].fd_count++] = socket;
        }
        anyRest = anyRest || rest[s].fd_count > 0;
    }
    if (anyRest) {
        timeval now{};
        if (Winsock2::select(0, ASets[0] ? &rest[0] : nullptr, ASets[1] ? &rest[1] : nullptr,
                             ASets[2] ? &rest[2] : nullptr, &now) == SOCKET_ERROR)
            RaiseStackError(Winsock2::WSAGetLastError());
    }
    bool any = false;
    for (int s = 0; s < 3; ++s) {
        if (!ASets[s]) continue;
        TIdFDSet ready;
        for (uint32_t i = 0; i < ASets[s]->fd_count; ++i) {
            const SOCKET socket = Sock(ASets[s]->fd_array[i]);
            bool isReady = woken[s][i] && s < 2;
            for (u_int k = 0; !woken[s][i] && k < rest[s].fd_count && !isReady; ++k) isReady = rest[s].fd_array[k] == socket;
            if (isReady) ready.fd_array[ready.fd_count++] = ASets[s]->fd_array[i];
        }
        *ASets[s] = ready;
        any = any || ready.fd_count > 0;
    }
    return any;
}

bool AnyWoken(TIdFDSet* const (&ASets)[3]) {
    for (TIdFDSet* set : ASets)
        for (uint32_t i = 0; set && i < set->fd_count; ++i)
            if (ClosingSockets().Woken(Sock(set->fd_array[i]))) return true;
    return false;
}

}  // namespace

TIdSocketListFDSet* TIdSocketListWindows::NewList() { return new TIdSocketListWindows; }

bool TIdSocketListWindows::Wait(TIdFDSet* VReadSet, TIdFDSet* VWriteSet, TIdFDSet* VExceptSet, int ATimeout) {
    RequireHandles(VReadSet, VWriteSet, VExceptSet);
    TIdFDSet* const sets[3] = {VReadSet, VWriteSet, VExceptSet};
    fd_set native[3];
    SOCKET only = INVALID_SOCKET;
    bool single = true;
    for (int s = 0; s < 3; ++s) {
        native[s].fd_count = 0;
        if (!sets[s]) continue;
        for (uint32_t i = 0; i < sets[s]->fd_count; ++i) {
            native[s].fd_array[i] = Sock(sets[s]->fd_array[i]);
            if (only == INVALID_SOCKET) only = native[s].fd_array[i];
            single = single && native[s].fd_array[i] == only;
        }
        native[s].fd_count = sets[s]->fd_count;
    }
    // The wait of a handle, on its one socket, is entered as a receive is, so that a close reaches
    // it even when it was about to begin. A wait on several sockets is not (cancelling one of them
    // need not end it), but it still answers for a socket that a close woke before or during it.
    std::optional<TSocketCall> call;
    if (single) call.emplace(only);
    if (call ? !call->MayCall() : AnyWoken(sets)) return ReadyAfterClose(sets);
    timeval time{};
    timeval* limit = nullptr;
    if (ATimeout >= 0) {
        time.tv_sec = ATimeout / 1000;
        time.tv_usec = (ATimeout % 1000) * 1000;
        limit = &time;
    }
    const int result = Winsock2::select(0, VReadSet ? &native[0] : nullptr, VWriteSet ? &native[1] : nullptr,
                                        VExceptSet ? &native[2] : nullptr, limit);
    if (result == SOCKET_ERROR) {
        const int error = Winsock2::WSAGetLastError();
        if (WasCancelled(result) && AnyWoken(sets)) return ReadyAfterClose(sets);
        RaiseStackError(error);
    }
    // The system leaves only the ready handles in each set, in their order.
    for (int s = 0; s < 3; ++s) {
        if (!sets[s]) continue;
        TIdFDSet ready;
        for (u_int i = 0; i < native[s].fd_count && i < TIdFDSet::Capacity; ++i)
            ready.fd_array[ready.fd_count++] = static_cast<TIdStackSocketHandle>(native[s].fd_array[i]);
        *sets[s] = ready;
    }
    return result > 0;
}

}  // namespace Id
