#include <IdFramework/stack/IdWinsock2.h>

#include <cstring>
#include <string>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
#include <IdFramework/stack/IdWship6.h>

namespace Id::Winsock2 {

namespace {

// WS2_32.DLL and MSWSOCK.DLL; 0 while not loaded. A stub may read them on any thread.
std::atomic<HMODULE> GWinsock{nullptr};
std::atomic<HMODULE> GMswsock{nullptr};
WSADATA GWSAData{};

std::u16string EntryName(const char* AName) { return std::u16string(AName, AName + std::strlen(AName)); }

[[noreturn]] void RaiseCallError(uint32_t ACode, const char* AName) {
    throw EIdWinsockStubError::Build(ACode, RSWinsockCallError, {EntryName(AName)});
}

}  // namespace

namespace detail {

HMODULE LoadLibraryQuietly(const wchar_t* AName) {
    // A missing library must not stop the program with a system dialog. Only this thread's mode
    // changes, so other threads keep theirs.
    DWORD previous = 0;
    SetThreadErrorMode(SEM_NOOPENFILEERRORBOX, &previous);
    HMODULE library = LoadLibraryW(AName);
    const DWORD error = GetLastError();
    SetThreadErrorMode(previous, nullptr);
    SetLastError(error);
    return library;
}

HMODULE Winsock2Handle() { return GWinsock.load(std::memory_order_acquire); }

void* ResolvePlainEntry(const char* AName) {
    HMODULE library = GWinsock.load(std::memory_order_acquire);
    if (!library) RaiseCallError(WSANOTINITIALISED, AName);
    void* address = reinterpret_cast<void*>(GetProcAddress(library, AName));
    if (!address) RaiseCallError(WSAEINVAL, AName);
    return address;
}

}  // namespace detail

namespace {

// The provider answers the extension's address for this socket. The library must be loaded: the
// WSAIoctl stub would otherwise report itself rather than the entry that was called.
void* ResolveExtensionEntry(SOCKET ASocket, const char* AName, const GUID& AGuid) {
    if (!Winsock2Loaded()) RaiseCallError(WSANOTINITIALISED, AName);
    GUID guid = AGuid;
    void* address = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(ASocket, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof(guid), &address, sizeof(address),
                 &bytes, nullptr, nullptr) != 0)
        RaiseCallError(static_cast<uint32_t>(WSAGetLastError()), AName);
    return address;
}

template <typename... TRest>
SOCKET ExtensionSocket(SOCKET ASocket, TRest...) {
    return ASocket;
}
SOCKET ExtensionSocket(LPWSAPOLLFD AFds, ULONG ACount, INT) {
    return ACount > 0 && AFds ? AFds[0].fd : INVALID_SOCKET;
}

template <auto* ASlot, const char* AName, const GUID* AGuid, void (*ABefore)(SOCKET) = nullptr,
          typename TFunction = std::remove_pointer_t<decltype(ASlot)>>
struct TExtensionStub;

template <auto* ASlot, const char* AName, const GUID* AGuid, void (*ABefore)(SOCKET), typename TResult,
          typename... TArgs>
struct TExtensionStub<ASlot, AName, AGuid, ABefore, TResult (*)(TArgs...)> {
    static TResult Call(TArgs... AArgs) {
        const SOCKET socket = ExtensionSocket(AArgs...);
        if constexpr (ABefore != nullptr) ABefore(socket);
        const auto address = reinterpret_cast<TResult (*)(TArgs...)>(ResolveExtensionEntry(socket, AName, *AGuid));
        detail::StoreEntry(*ASlot, address);
        return address(AArgs...);
    }
};

// The entries' names, as the library exports them.
namespace Names {
#define ID_WINSOCK2_NAME(name) constexpr char name[] = #name;
#define ID_WINSOCK2_NEUTRAL_NAME(name, wide) constexpr char name[] = #wide;
ID_WINSOCK2_PLAIN_ENTRIES(ID_WINSOCK2_NAME)
ID_WINSOCK2_NEUTRAL_ENTRIES(ID_WINSOCK2_NEUTRAL_NAME)
ID_WINSOCK2_NAME(AcceptEx)
ID_WINSOCK2_NAME(GetAcceptExSockaddrs)
ID_WINSOCK2_NAME(ConnectEx)
ID_WINSOCK2_NAME(DisconnectEx)
ID_WINSOCK2_NAME(TransmitFile)
ID_WINSOCK2_NAME(TransmitPackets)
ID_WINSOCK2_NAME(WSARecvMsg)
ID_WINSOCK2_NAME(WSASendMsg)
ID_WINSOCK2_NAME(WSAPoll)
ID_WINSOCK2_NAME(WSARecvEx)
#undef ID_WINSOCK2_NAME
#undef ID_WINSOCK2_NEUTRAL_NAME
}  // namespace Names

namespace Guids {
constexpr GUID AcceptEx = WSAID_ACCEPTEX;
constexpr GUID GetAcceptExSockaddrs = WSAID_GETACCEPTEXSOCKADDRS;
constexpr GUID ConnectEx = WSAID_CONNECTEX;
constexpr GUID DisconnectEx = WSAID_DISCONNECTEX;
constexpr GUID TransmitFile = WSAID_TRANSMITFILE;
constexpr GUID TransmitPackets = WSAID_TRANSMITPACKETS;
constexpr GUID WSARecvMsg = WSAID_WSARECVMSG;
constexpr GUID WSASendMsg = WSAID_WSASENDMSG;
constexpr GUID WSAPoll = WSAID_WSAPOLL;
}  // namespace Guids

// GetAcceptExSockaddrs reads what AcceptEx wrote; resolving both with the accepting socket gives
// them from the same provider.
void ResolveGetAcceptExSockaddrs(SOCKET ASocket);
void StubGetAcceptExSockaddrs(PVOID, DWORD, DWORD, DWORD, sockaddr**, LPINT, sockaddr**, LPINT);
int StubWSARecvEx(SOCKET, char*, int, int*);

}  // namespace

// The stub that each pointer starts at and returns to when the library is stopped.
#define ID_WINSOCK2_PLAIN_STUB(name) &detail::TPlainStub<&name, Names::name>::Call
#define ID_WINSOCK2_EXTENSION_STUB(name) &TExtensionStub<&name, Names::name, &Guids::name>::Call
#define ID_WINSOCK2_ACCEPTEX_STUB \
    &TExtensionStub<&AcceptEx, Names::AcceptEx, &Guids::AcceptEx, &ResolveGetAcceptExSockaddrs>::Call

#define ID_WINSOCK2_DEFINE_PLAIN(name) constinit decltype(&::name) name = ID_WINSOCK2_PLAIN_STUB(name);
#define ID_WINSOCK2_DEFINE_NEUTRAL(name, wide) constinit decltype(&::wide) name = ID_WINSOCK2_PLAIN_STUB(name);
ID_WINSOCK2_PLAIN_ENTRIES(ID_WINSOCK2_DEFINE_PLAIN)
ID_WINSOCK2_NEUTRAL_ENTRIES(ID_WINSOCK2_DEFINE_NEUTRAL)
#undef ID_WINSOCK2_DEFINE_PLAIN
#undef ID_WINSOCK2_DEFINE_NEUTRAL

constinit decltype(&::AcceptEx) AcceptEx = ID_WINSOCK2_ACCEPTEX_STUB;
constinit decltype(&::GetAcceptExSockaddrs) GetAcceptExSockaddrs = &StubGetAcceptExSockaddrs;
constinit LPFN_CONNECTEX ConnectEx = ID_WINSOCK2_EXTENSION_STUB(ConnectEx);
constinit LPFN_DISCONNECTEX DisconnectEx = ID_WINSOCK2_EXTENSION_STUB(DisconnectEx);
constinit decltype(&::TransmitFile) TransmitFile = ID_WINSOCK2_EXTENSION_STUB(TransmitFile);
constinit LPFN_TRANSMITPACKETS TransmitPackets = ID_WINSOCK2_EXTENSION_STUB(TransmitPackets);
constinit LPFN_WSARECVMSG WSARecvMsg = ID_WINSOCK2_EXTENSION_STUB(WSARecvMsg);
constinit decltype(&::WSASendMsg) WSASendMsg = ID_WINSOCK2_EXTENSION_STUB(WSASendMsg);
constinit decltype(&::WSAPoll) WSAPoll = ID_WINSOCK2_EXTENSION_STUB(WSAPoll);
constinit decltype(&::WSARecvEx) WSARecvEx = &StubWSARecvEx;

namespace {

void InstallStubs() {
    using detail::StoreEntry;
#define ID_WINSOCK2_INSTALL_PLAIN(name) StoreEntry(name, ID_WINSOCK2_PLAIN_STUB(name));
#define ID_WINSOCK2_INSTALL_NEUTRAL(name, wide) StoreEntry(name, ID_WINSOCK2_PLAIN_STUB(name));
    ID_WINSOCK2_PLAIN_ENTRIES(ID_WINSOCK2_INSTALL_PLAIN)
    ID_WINSOCK2_NEUTRAL_ENTRIES(ID_WINSOCK2_INSTALL_NEUTRAL)
#undef ID_WINSOCK2_INSTALL_PLAIN
#undef ID_WINSOCK2_INSTALL_NEUTRAL
    StoreEntry(AcceptEx, ID_WINSOCK2_ACCEPTEX_STUB);
    StoreEntry(GetAcceptExSockaddrs, &StubGetAcceptExSockaddrs);
    StoreEntry(ConnectEx, ID_WINSOCK2_EXTENSION_STUB(ConnectEx));
    StoreEntry(DisconnectEx, ID_WINSOCK2_EXTENSION_STUB(DisconnectEx));
    StoreEntry(TransmitFile, ID_WINSOCK2_EXTENSION_STUB(TransmitFile));
    StoreEntry(TransmitPackets, ID_WINSOCK2_EXTENSION_STUB(TransmitPackets));
    StoreEntry(WSARecvMsg, ID_WINSOCK2_EXTENSION_STUB(WSARecvMsg));
    StoreEntry(WSASendMsg, ID_WINSOCK2_EXTENSION_STUB(WSASendMsg));
    StoreEntry(WSAPoll, ID_WINSOCK2_EXTENSION_STUB(WSAPoll));
    StoreEntry(WSARecvEx, &StubWSARecvEx);
}

void ResolveGetAcceptExSockaddrs(SOCKET ASocket) {
    if (GetAcceptExSockaddrs != &StubGetAcceptExSockaddrs) return;
    const auto address = reinterpret_cast<decltype(&::GetAcceptExSockaddrs)>(
        ResolveExtensionEntry(ASocket, Names::GetAcceptExSockaddrs, Guids::GetAcceptExSockaddrs));
    detail::StoreEntry(GetAcceptExSockaddrs, address);
}

// Called before any AcceptEx there is no socket to ask, so a throw-away one answers.
void StubGetAcceptExSockaddrs(PVOID AOutputBuffer, DWORD AReceiveDataLength, DWORD ALocalAddressLength,
                              DWORD ARemoteAddressLength, sockaddr** VLocalSockaddr, LPINT VLocalSockaddrLength,
                              sockaddr** VRemoteSockaddr, LPINT VRemoteSockaddrLength) {
    if (!Winsock2Loaded()) RaiseCallError(WSANOTINITIALISED, Names::GetAcceptExSockaddrs);
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET)
        RaiseCallError(static_cast<uint32_t>(WSAGetLastError()), Names::GetAcceptExSockaddrs);
    try {
        ResolveGetAcceptExSockaddrs(probe);
    } catch (...) {
        closesocket(probe);
        throw;
    }
    closesocket(probe);
    GetAcceptExSockaddrs(AOutputBuffer, AReceiveDataLength, ALocalAddressLength, ARemoteAddressLength, VLocalSockaddr,
                         VLocalSockaddrLength, VRemoteSockaddr, VRemoteSockaddrLength);
}

int StubWSARecvEx(SOCKET ASocket, char* VBuffer, int ALength, int* VFlags) {
    HMODULE library = GMswsock.load(std::memory_order_acquire);
    if (!library) {
        HMODULE loaded = detail::LoadLibraryQuietly(L"MSWSOCK.DLL");
        if (!loaded)
            throw EIdWinsockStubError::Build(GetLastError(), RSWinsockLoadError, {std::u16string(u"MSWSOCK.DLL")});
        // Two first calls at once: one handle is kept, the other reference given back.
        if (GMswsock.compare_exchange_strong(library, loaded, std::memory_order_acq_rel)) {
            library = loaded;
        } else {
            FreeLibrary(loaded);
        }
    }
    const auto address =
        reinterpret_cast<decltype(&::WSARecvEx)>(reinterpret_cast<void*>(GetProcAddress(library, Names::WSARecvEx)));
    if (!address) RaiseCallError(WSAEINVAL, Names::WSARecvEx);
    detail::StoreEntry(WSARecvEx, address);
    return address(ASocket, VBuffer, ALength, VFlags);
}

}  // namespace

void StartSocketLibrary() {
    if (Winsock2Loaded()) return;
    HMODULE library = detail::LoadLibraryQuietly(L"WS2_32.DLL");
    if (!library)
        throw EIdWinsockStubError::Build(GetLastError(), RSWinsockLoadError, {std::u16string(u"WS2_32.DLL")});
    GWinsock.store(library, std::memory_order_release);
    uint32_t result;
    try {
        result = static_cast<uint32_t>(WSAStartup(MAKEWORD(2, 2), &GWSAData));
    } catch (const EIdWinsockStubError& e) {
        result = e.Win32Error();  // a library without WSAStartup
    }
    if (result == 0) return;
    // Unloaded again, and no entry may keep an address inside it: every later call raises 10093.
    GWinsock.store(nullptr, std::memory_order_release);
    FreeLibrary(library);
    InstallStubs();
    throw EIdWinsockStubError::Build(result, RSWinsockLoadError, {std::u16string(u"WS2_32.DLL")});
}

void StopSocketLibrary() {
    if (HMODULE mswsock = GMswsock.exchange(nullptr, std::memory_order_acq_rel)) FreeLibrary(mswsock);
    if (HMODULE library = GWinsock.load(std::memory_order_acquire)) {
        try {
            WSACleanup();
        } catch (const EIdException&) {
            // A library without WSACleanup is unloaded all the same.
        }
        GWinsock.store(nullptr, std::memory_order_release);
        FreeLibrary(library);
    }
    InstallStubs();
}

bool Winsock2Loaded() { return GWinsock.load(std::memory_order_acquire) != nullptr; }

namespace {

// Program end: the library goes with the process, after whoever started it.
struct TSocketLibraryFinalizer {
    ~TSocketLibraryFinalizer() {
        if (!GSocketLibraryStarted) return;
        Wship6::UnloadIPv6Functions();
        StopSocketLibrary();
        GSocketLibraryStarted = false;
    }
};
TSocketLibraryFinalizer GSocketLibraryFinalizer;

}  // namespace

}  // namespace Id::Winsock2

namespace Id {

int64_t WindowsTransmitFile(TIdStackSocketHandle ASocket, const std::u16string& AFileName) {
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(AFileName.c_str()), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    int64_t sent = 0;
    try {
        if (Winsock2::TransmitFile(static_cast<SOCKET>(ASocket), file, 0, 0, nullptr, nullptr, 0)) {
            LARGE_INTEGER size{};
            if (GetFileSizeEx(file, &size)) sent = size.QuadPart;
        }
    } catch (const EIdException&) {
        // TransmitFile not available for this socket: nothing was sent.
    }
    CloseHandle(file);
    return sent;
}

}  // namespace Id
