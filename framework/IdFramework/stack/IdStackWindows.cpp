#include <IdFramework/stack/IdStackWindows.h>

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
// clang-format on

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
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

// Raises a socket error through the process's stack, or with the base texts when there is none.
[[noreturn]] void RaiseStackError(int AErr) {
    if (GBSDStack) GBSDStack->RaiseSocketError(AErr);
    const std::u16string message = FormatInvariant(RSStackError, AErr, u"");
    if (AErr == Id_WSAENOTSOCK) throw EIdNotASocket::CreateError(AErr, message);
    throw EIdSocketError::CreateError(AErr, message);
}

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

struct TAddrInfoFree {
    void operator()(ADDRINFOW* AList) const {
        if (AList) Wship6::FreeAddrInfoW(AList);
    }
};
using TAddrInfoList = std::unique_ptr<ADDRINFOW, TAddrInfoFree>;

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
    return static_cast<TIdStackSocketHandle>(result);
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
    return static_cast<TIdStackSocketHandle>(Winsock2::accept(Sock(ASocket), Raw(VAddr), &len));
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
    int len = TIdSockAddr::Capacity;
    return Winsock2::recvfrom(Sock(ASocket), static_cast<char*>(VBuffer), ALength, AFlags, Raw(VFrom), &len);
}

int TIdStackWindows::WSSendToAddr(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags,
                                  const TIdSockAddr& ATo, int ALen) {
    return Winsock2::sendto(Sock(ASocket), static_cast<const char*>(ABuffer), ABufferLength, AFlags, Raw(ATo), ALen);
}

int TIdStackWindows::WSCloseHandle(TIdStackSocketHandle ASocket) { return Winsock2::closesocket(Sock(ASocket)); }

int TIdStackWindows::WSShutdownHandle(TIdStackSocketHandle ASocket, int AHow) {
    return Winsock2::shutdown(Sock(ASocket), AHow);
}

int TIdStackWindows::WSReceive(TIdStackSocketHandle ASocket, void* VBuffer, int ABufferLength, int AFlags) {
    return Winsock2::recv(Sock(ASocket), static_cast<char*>(VBuffer), ABufferLength < 0 ? 0 : ABufferLength, AFlags);
}

int TIdStackWindows::WSTransmit(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags) {
    return CheckForSocketError(Winsock2::send(Sock(ASocket), static_cast<const char*>(ABuffer),
                                              ABufferLength < 0 ? 0 : ABufferLength, AFlags));
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

bool TIdStackWindows::WouldBlock(int AResult) { return CheckForSocketError(AResult, {Id_WSAEWOULDBLOCK}) != 0; }

int TIdStackWindows::WSGetLastError() { return Winsock2::WSAGetLastError(); }

void TIdStackWindows::WSSetLastError(int AErr) { Winsock2::WSASetLastError(AErr); }

std::u16string TIdStackWindows::WSTranslateSocketErrorMsg(int AErr) {
    if (AErr == Id_WSAHOST_NOT_FOUND) return FormatInvariant(RSStackError, AErr, RSStackHOST_NOT_FOUND);
    return TIdStackBSDBase::WSTranslateSocketErrorMsg(AErr);
}

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
    CheckForSocketError(Winsock2::WSARecvMsg(Sock(ASocket), &message, &received, nullptr, nullptr));
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

void TIdStackWindows::RaiseAddrInfoError(int AErrorCode) {
    // The look-up functions answer the socket error numbers themselves; the small numbers are the
    // portable codes some callers pass.
    int code = AErrorCode;
    switch (AErrorCode) {
        case 1: code = 0; break;
        case 2: code = Id_WSATRY_AGAIN; break;
        case 3: code = Id_WSAEINVAL; break;
        case 4: code = Id_WSANO_RECOVERY; break;
        case 5: code = Id_WSAEAFNOSUPPORT; break;
        case 6: code = Id_WSA_NOT_ENOUGH_MEMORY; break;
        case 7: code = Id_WSANO_DATA; break;
        case 8: code = Id_WSAHOST_NOT_FOUND; break;
        case 9: code = Id_WSATYPE_NOT_FOUND; break;
        case 10: code = Id_WSAESOCKTNOSUPPORT; break;
        case 11: RaiseLastOSError(static_cast<int>(GetLastError()));
        default: break;
    }
    RaiseSocketError(code);
    std::abort();  // an override of RaiseSocketError must not return
}

std::u16string TIdStackWindows::NameToAddress(const std::u16string& AHostName, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    if (!GIPv6FunctionsPresent) {
        if (AIPVersion == Id_IPv6) EIdIPv6Unavailable::Toss(RSIPv6Unavailable);
        const hostent* entry = Winsock2::gethostbyname(Ansi(AHostName).c_str());
        if (!entry || !entry->h_addr_list || !entry->h_addr_list[0]) RaiseLastSocketError();
        return TranslateTInAddrToString(entry->h_addr_list[0], Id_IPv4);
    }
    ADDRINFOW hints{};
    hints.ai_family = IdIPFamily(AIPVersion);
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* raw = nullptr;
    const int error = Wship6::GetAddrInfoW(Wide(AHostName), nullptr, &hints, &raw);
    TAddrInfoList list(raw);
    if (error != 0) RaiseAddrInfoError(error);
    if (!list || !list->ai_addr) RaiseSocketError(Id_WSAHOST_NOT_FOUND);
    if (AIPVersion == Id_IPv6)
        return TranslateTInAddrToString(&reinterpret_cast<sockaddr_in6*>(list->ai_addr)->sin6_addr, Id_IPv6);
    return TranslateTInAddrToString(&reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr, Id_IPv4);
}

std::u16string TIdStackWindows::HostByAddress(const std::u16string& AAddress, TIdIPVersion AIPVersion) {
    CheckIPVersion(AIPVersion);
    if (!GIPv6FunctionsPresent) {
        if (AIPVersion == Id_IPv6) EIdIPv6Unavailable::Toss(RSIPv6Unavailable);
        uint8_t address[4] = {};
        TranslateStringToTInAddr(AAddress, address, Id_IPv4);
        const hostent* entry = Winsock2::gethostbyaddr(reinterpret_cast<const char*>(address), 4, AF_INET);
        if (!entry) RaiseLastSocketError();
        return FromAnsi(entry->h_name);
    }
    ADDRINFOW hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_family = IdIPFamily(AIPVersion);
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* raw = nullptr;
    int error = Wship6::GetAddrInfoW(Wide(AAddress), nullptr, &hints, &raw);
    TAddrInfoList list(raw);
    if (error != 0) RaiseAddrInfoError(error);
    if (!list || !list->ai_addr) RaiseSocketError(Id_WSAHOST_NOT_FOUND);
    wchar_t host[1025] = {};
    error = Wship6::GetNameInfoW(list->ai_addr, static_cast<socklen_t>(list->ai_addrlen), host, 1025, nullptr, 0,
                                 NI_NAMEREQD);
    if (error != 0) RaiseAddrInfoError(error);
    return std::u16string(reinterpret_cast<const char16_t*>(host));
}

std::u16string TIdStackWindows::QueryLocalHostName() {
    char name[251] = {};
    Winsock2::gethostname(name, 250);
    name[250] = '\0';
    return FromAnsi(name);
}

void TIdStackWindows::AddLocalAddressesToList(TStrings& AAddresses) {
    const std::u16string host = HostName();
    std::vector<std::u16string> found;
    if (GIPv6FunctionsPresent) {
        ADDRINFOW hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        ADDRINFOW* raw = nullptr;
        const int error = Wship6::GetAddrInfoW(Wide(host), nullptr, &hints, &raw);
        TAddrInfoList list(raw);
        if (error != 0) RaiseAddrInfoError(error);
        for (const ADDRINFOW* entry = list.get(); entry; entry = entry->ai_next) {
            if (entry->ai_addr && entry->ai_family == AF_INET)
                found.push_back(
                    TranslateTInAddrToString(&reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr, Id_IPv4));
        }
    } else {
        const hostent* entry = Winsock2::gethostbyname(Ansi(host).c_str());
        if (!entry) RaiseLastSocketError();
        for (char** address = entry->h_addr_list; address && *address; ++address)
            found.push_back(TranslateTInAddrToString(*address, Id_IPv4));
    }
    AAddresses.BeginUpdate();
    try {
        for (const auto& text : found) AAddresses.Add(text);
    } catch (...) {
        AAddresses.EndUpdate();
        throw;
    }
    AAddresses.EndUpdate();
}

uint16_t TIdStackWindows::WSGetServByName(const std::u16string& AServiceName) {
    if (const servent* found = Winsock2::getservbyname(Ansi(AServiceName).c_str(), nullptr))
        return NetworkToHost(static_cast<uint16_t>(found->s_port));
    try {
        return static_cast<uint16_t>(StrToInt(Trim(AServiceName)));
    } catch (const EConvertError&) {
        EIdInvalidServiceName::Toss(FormatInvariant(RSInvalidServiceName, AServiceName));
    }
}

TStrings* TIdStackWindows::WSGetServByPort(uint16_t APortNumber) {
    auto result = std::make_unique<TStringList>();
    if (const servent* found = Winsock2::getservbyport(HostToNetwork(APortNumber), nullptr)) {
        result->Add(FromAnsi(found->s_name));
        for (char** alias = found->s_aliases; alias && *alias; ++alias) result->Add(FromAnsi(*alias));
    }
    return result.release();
}

// ---------------------------------------------------------------------------------------------
// The close protocol

void TIdStackWindows::WakeSocket(TIdStackSocketHandle ASocket) {
    // A shutdown alone does not end a blocked receive here; cancelling the socket's pending calls
    // does, for every thread, and the shutdown makes the calls that follow return at once.
    Winsock2::shutdown(Sock(ASocket), SD_BOTH);
    CancelIoEx(reinterpret_cast<HANDLE>(Sock(ASocket)), nullptr);
}

bool TIdStackWindows::RetireSocket(TIdStackSocketHandle ASocket) {
    Winsock2::closesocket(Sock(ASocket));
    return false;
}

void TIdStackWindows::FreeParkedSocket(TIdStackSocketHandle ASocket) { Winsock2::closesocket(Sock(ASocket)); }

void TIdStackWindows::CloseSocketNow(TIdStackSocketHandle ASocket) { Winsock2::closesocket(Sock(ASocket)); }

// ---------------------------------------------------------------------------------------------
// Socket list

TIdSocketListFDSet* TIdSocketListWindows::NewList() { return new TIdSocketListWindows; }

bool TIdSocketListWindows::Wait(TIdFDSet* VReadSet, TIdFDSet* VWriteSet, TIdFDSet* VExceptSet, int ATimeout) {
    TIdFDSet* sets[3] = {VReadSet, VWriteSet, VExceptSet};
    fd_set native[3];
    bool any = false;
    for (int s = 0; s < 3; ++s) {
        native[s].fd_count = 0;
        if (!sets[s]) continue;
        for (uint32_t i = 0; i < sets[s]->fd_count; ++i) native[s].fd_array[i] = Sock(sets[s]->fd_array[i]);
        native[s].fd_count = sets[s]->fd_count;
        any = any || sets[s]->fd_count > 0;
    }
    if (!any) RaiseStackError(Id_WSAEINVAL);
    timeval time{};
    timeval* limit = nullptr;
    if (ATimeout >= 0) {
        time.tv_sec = ATimeout / 1000;
        time.tv_usec = (ATimeout % 1000) * 1000;
        limit = &time;
    }
    const int result = Winsock2::select(0, VReadSet ? &native[0] : nullptr, VWriteSet ? &native[1] : nullptr,
                                        VExceptSet ? &native[2] : nullptr, limit);
    if (result == SOCKET_ERROR) RaiseStackError(Winsock2::WSAGetLastError());
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
