// The Windows socket library, loaded at run time. The program has no link-time reference to
// WS2_32.DLL: every entry is reached through a process-wide pointer that starts at a resolving stub,
// so an entry the system lacks fails only when it is first called, and a program runs (without
// sockets) on a system where the library cannot be loaded at all.
//
// Windows only. Never call a socket function by its global name in this code base, and never use
// htons & co or FD_ISSET from the system headers: each of those adds an import of WS2_32.DLL (the
// byte swaps and FD_ISSET silently, through __WSAFDIsSet). A test checks every Windows test program
// for such an import.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <string>
#include <type_traits>

#include <IdFramework/stack/IdStack.h>

// The system headers map the character-set-neutral names to their "A" or "W" entries by macro;
// here they are pointers of their own, resolved to the "W" export.
#undef WSADuplicateSocket
#undef WSAEnumProtocols
#undef WSASocket
#undef WSAAddressToString
#undef WSAStringToAddress
#undef WSALookupServiceBegin
#undef WSALookupServiceNext
#undef WSAInstallServiceClass
#undef WSAGetServiceClassInfo
#undef WSAEnumNameSpaceProviders
#undef WSAGetServiceClassNameByClassId
#undef WSASetService

// The entries looked up by name in WS2_32.DLL, each under exactly its own name.
#define ID_WINSOCK2_PLAIN_ENTRIES(X)                                                                     \
    X(WSAStartup) X(WSACleanup) X(accept) X(bind) X(closesocket) X(connect) X(ioctlsocket) X(getpeername) \
    X(getsockname) X(getsockopt) X(htonl) X(htons) X(inet_addr) X(inet_ntoa) X(listen) X(ntohl) X(ntohs)  \
    X(recv) X(recvfrom) X(select) X(send) X(sendto) X(setsockopt) X(shutdown) X(socket) X(gethostbyaddr)  \
    X(gethostbyname) X(gethostname) X(getservbyport) X(getservbyname) X(getprotobynumber)                 \
    X(getprotobyname) X(WSASetLastError) X(WSAGetLastError) X(WSAIsBlocking) X(WSAUnhookBlockingHook)     \
    X(WSASetBlockingHook) X(WSACancelBlockingCall) X(WSAAsyncGetServByName) X(WSAAsyncGetServByPort)      \
    X(WSAAsyncGetProtoByName) X(WSAAsyncGetProtoByNumber) X(WSAAsyncGetHostByName)                        \
    X(WSAAsyncGetHostByAddr) X(WSACancelAsyncRequest) X(WSAAsyncSelect) X(__WSAFDIsSet) X(WSAAccept)      \
    X(WSACloseEvent) X(WSAConnect) X(WSACreateEvent) X(WSADuplicateSocketA) X(WSADuplicateSocketW)        \
    X(WSAEnumNetworkEvents) X(WSAEnumProtocolsA) X(WSAEnumProtocolsW) X(WSAEventSelect)                   \
    X(WSAGetOverlappedResult) X(WSAGetQOSByName) X(WSAHtonl) X(WSAHtons) X(WSAIoctl) X(WSAJoinLeaf)       \
    X(WSANtohl) X(WSANtohs) X(WSARecv) X(WSARecvDisconnect) X(WSARecvFrom) X(WSAResetEvent) X(WSASend)    \
    X(WSASendDisconnect) X(WSASendTo) X(WSASetEvent) X(WSASocketA) X(WSASocketW)                          \
    X(WSAWaitForMultipleEvents) X(WSAAddressToStringA) X(WSAAddressToStringW) X(WSAStringToAddressA)      \
    X(WSAStringToAddressW) X(WSALookupServiceBeginA) X(WSALookupServiceBeginW) X(WSALookupServiceNextA)   \
    X(WSALookupServiceNextW) X(WSALookupServiceEnd) X(WSANSPIoctl) X(WSAInstallServiceClassA)             \
    X(WSAInstallServiceClassW) X(WSARemoveServiceClass) X(WSAGetServiceClassInfoA)                        \
    X(WSAGetServiceClassInfoW) X(WSAEnumNameSpaceProvidersA) X(WSAEnumNameSpaceProvidersW)                \
    X(WSAGetServiceClassNameByClassIdA) X(WSAGetServiceClassNameByClassIdW) X(WSASetServiceA)             \
    X(WSASetServiceW) X(WSAProviderConfigChange)

// The neutral names (pointer name, export looked up).
#define ID_WINSOCK2_NEUTRAL_ENTRIES(X)                                                                   \
    X(WSADuplicateSocket, WSADuplicateSocketW) X(WSAEnumProtocols, WSAEnumProtocolsW)                     \
    X(WSASocket, WSASocketW) X(WSAAddressToString, WSAAddressToStringW)                                   \
    X(WSAStringToAddress, WSAStringToAddressW) X(WSALookupServiceBegin, WSALookupServiceBeginW)           \
    X(WSALookupServiceNext, WSALookupServiceNextW) X(WSAInstallServiceClass, WSAInstallServiceClassW)     \
    X(WSAGetServiceClassInfo, WSAGetServiceClassInfoW)                                                    \
    X(WSAEnumNameSpaceProviders, WSAEnumNameSpaceProvidersW)                                              \
    X(WSAGetServiceClassNameByClassId, WSAGetServiceClassNameByClassIdW) X(WSASetService, WSASetServiceW)

namespace Id::Winsock2 {

#define ID_WINSOCK2_DECLARE_PLAIN(name) extern decltype(&::name) name;
#define ID_WINSOCK2_DECLARE_NEUTRAL(name, wide) extern decltype(&::wide) name;
ID_WINSOCK2_PLAIN_ENTRIES(ID_WINSOCK2_DECLARE_PLAIN)
ID_WINSOCK2_NEUTRAL_ENTRIES(ID_WINSOCK2_DECLARE_NEUTRAL)
#undef ID_WINSOCK2_DECLARE_PLAIN
#undef ID_WINSOCK2_DECLARE_NEUTRAL

// Extension entries: resolved through WSAIoctl (SIO_GET_EXTENSION_FUNCTION_POINTER) for the socket
// of their first call (AcceptEx resolves GetAcceptExSockaddrs with it; WSAPoll takes the socket of
// its first poll element; GetAcceptExSockaddrs called first, having no socket, resolves with a
// socket of its own).
extern decltype(&::AcceptEx) AcceptEx;
extern decltype(&::GetAcceptExSockaddrs) GetAcceptExSockaddrs;
extern LPFN_CONNECTEX ConnectEx;
extern LPFN_DISCONNECTEX DisconnectEx;
extern decltype(&::TransmitFile) TransmitFile;
extern LPFN_TRANSMITPACKETS TransmitPackets;
extern LPFN_WSARECVMSG WSARecvMsg;
extern decltype(&::WSASendMsg) WSASendMsg;
extern decltype(&::WSAPoll) WSAPoll;
// From MSWSOCK.DLL, loaded on its first call.
extern decltype(&::WSARecvEx) WSARecvEx;

// Loads WS2_32.DLL and starts it (version 2.2); does nothing when it is loaded already. Raises
// EIdWinsockStubError "Fehler beim Laden der Winsock2-Bibliothek (WS2_32.DLL)" with the system's
// error (or WSAStartup's result), leaving the library unloaded.
void StartSocketLibrary();
// Unloads MSWSOCK.DLL and, after WSACleanup, WS2_32.DLL, and points every entry back at its stub, so
// that a later call raises 10093 instead of jumping into the unloaded library. Only while no other
// thread uses the library (program end, tests).
void StopSocketLibrary();
bool Winsock2Loaded();

// Byte order without the library (the system's htons & co are link-time imports).
constexpr uint16_t IdHtons(uint16_t AValue) noexcept {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap16(AValue);
    return AValue;
}
constexpr uint32_t IdHtonl(uint32_t AValue) noexcept {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(AValue);
    return AValue;
}
constexpr uint16_t IdNtohs(uint16_t AValue) noexcept { return IdHtons(AValue); }
constexpr uint32_t IdNtohl(uint32_t AValue) noexcept { return IdHtonl(AValue); }

// FD_ISSET without __WSAFDIsSet.
inline bool IdFDIsSet(SOCKET ASocket, const fd_set& ASet) noexcept {
    for (u_int i = 0; i < ASet.fd_count; ++i)
        if (ASet.fd_array[i] == ASocket) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------
// The stub machinery. Every pointer above is constant-initialised with such a stub, so the pointers
// are valid before any constructor runs. Here so that a pointer with a made-up name can be built
// the same way (the tests do, for an entry that no library exports).
namespace detail {

// LoadLibraryW without the system's dialog for a missing file (error mode 0x8000); the system's
// error stays available through GetLastError.
HMODULE LoadLibraryQuietly(const wchar_t* AName);
// WS2_32.DLL while loaded, else nullptr.
HMODULE Winsock2Handle();

// The address of AName in WS2_32.DLL. Raises 10093 while the library is not loaded, 10022 when it
// does not export the name.
void* ResolvePlainEntry(const char* AName);

// A function pointer may be stored while another thread reads it: both read either the stub or the
// one address the library answers, and the store is atomic.
template <typename TFunction>
inline void StoreEntry(TFunction& VSlot, TFunction AAddress) noexcept {
    std::atomic_ref<TFunction>(VSlot).store(AAddress, std::memory_order_relaxed);
}

// Calling conventions play no part on x86-64, so one pattern covers every entry's signature.
template <auto* ASlot, const char* AName, typename TFunction = std::remove_pointer_t<decltype(ASlot)>>
struct TPlainStub;

template <auto* ASlot, const char* AName, typename TResult, typename... TArgs>
struct TPlainStub<ASlot, AName, TResult (*)(TArgs...)> {
    static TResult Call(TArgs... AArgs) {
        const auto address = reinterpret_cast<TResult (*)(TArgs...)>(ResolvePlainEntry(AName));
        StoreEntry(*ASlot, address);
        return address(AArgs...);
    }
};

}  // namespace detail

}  // namespace Id::Winsock2

namespace Id {

// Sends a whole file on a connected socket with TransmitFile; answers the file size, 0 when the
// file cannot be opened, the send fails or TransmitFile is not available. GTransmitFileHook points
// here from program start.
int64_t WindowsTransmitFile(TIdStackSocketHandle ASocket, const std::u16string& AFileName);

}  // namespace Id
