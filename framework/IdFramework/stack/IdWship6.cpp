#include <IdFramework/stack/IdWship6.h>

#include <atomic>

#include <IdFramework/stack/IdStack.h>
#include <IdFramework/stack/IdWinsock2.h>

namespace Id::Wship6 {

decltype(&::GetAddrInfoW) GetAddrInfoW = nullptr;
decltype(&::GetNameInfoW) GetNameInfoW = nullptr;
decltype(&::FreeAddrInfoW) FreeAddrInfoW = nullptr;
decltype(&::InetPtonW) InetPtonW = nullptr;
decltype(&::InetNtopW) InetNtopW = nullptr;
decltype(&::GetAddrInfoExW) GetAddrInfoExW = nullptr;
decltype(&::SetAddrInfoExW) SetAddrInfoExW = nullptr;
decltype(&::FreeAddrInfoExW) FreeAddrInfoExW = nullptr;
decltype(&::WSASetSocketPeerTargetName) WSASetSocketPeerTargetName = nullptr;
void* WSADeleteSocketPeerTargetName = nullptr;
decltype(&::WSAImpersonateSocketPeer) WSAImpersonateSocketPeer = nullptr;
decltype(&::WSAQuerySocketSecurity) WSAQuerySocketSecurity = nullptr;
decltype(&::WSARevertImpersonation) WSARevertImpersonation = nullptr;

namespace {

std::atomic<HMODULE> GWship6{nullptr};
std::atomic<HMODULE> GFwpuclnt{nullptr};

template <typename TFunction>
void Lookup(HMODULE ALibrary, const char* AName, TFunction& VSlot) {
    VSlot = reinterpret_cast<TFunction>(reinterpret_cast<void*>(GetProcAddress(ALibrary, AName)));
}

}  // namespace

// Every 64-bit Windows is of the NT family, version 5.2 or later, so there is no system to rule out.
void LoadIPv6Functions() {
    GIPv6FunctionsPresent = false;
    Winsock2::StartSocketLibrary();
    HMODULE library = Winsock2::detail::Winsock2Handle();
    Lookup(library, "GetAddrInfoW", GetAddrInfoW);
    if (!GetAddrInfoW) {
        // Systems before XP SP2 kept the functions in a library of their own.
        library = Winsock2::detail::LoadLibraryQuietly(L"Wship6.dll");
        GWship6.store(library);
        if (library) Lookup(library, "GetAddrInfoW", GetAddrInfoW);
    }
    if (GetAddrInfoW) {
        Lookup(library, "GetNameInfoW", GetNameInfoW);
        if (GetNameInfoW) Lookup(library, "FreeAddrInfoW", FreeAddrInfoW);
    }
    if (!GetAddrInfoW || !GetNameInfoW || !FreeAddrInfoW) {
        UnloadIPv6Functions();
        return;
    }
    GIPv6FunctionsPresent = true;
    Lookup(library, "InetPtonW", InetPtonW);
    Lookup(library, "InetNtopW", InetNtopW);
    Lookup(library, "GetAddrInfoExW", GetAddrInfoExW);
    Lookup(library, "SetAddrInfoExW", SetAddrInfoExW);
    Lookup(library, "FreeAddrInfoExW", FreeAddrInfoExW);
    HMODULE security = Winsock2::detail::LoadLibraryQuietly(L"Fwpuclnt.dll");
    GFwpuclnt.store(security);
    if (security) {
        Lookup(security, "WSASetSocketPeerTargetName", WSASetSocketPeerTargetName);
        Lookup(security, "WSADeleteSocketPeerTargetName", WSADeleteSocketPeerTargetName);
        Lookup(security, "WSAImpersonateSocketPeer", WSAImpersonateSocketPeer);
        Lookup(security, "WSAQuerySocketSecurity", WSAQuerySocketSecurity);
        Lookup(security, "WSARevertImpersonation", WSARevertImpersonation);
    }
}

void UnloadIPv6Functions() {
    if (HMODULE library = GWship6.exchange(nullptr)) FreeLibrary(library);
    if (HMODULE library = GFwpuclnt.exchange(nullptr)) FreeLibrary(library);
    GIPv6FunctionsPresent = false;
    GetAddrInfoW = nullptr;
    GetNameInfoW = nullptr;
    FreeAddrInfoW = nullptr;
    InetPtonW = nullptr;
    InetNtopW = nullptr;
    GetAddrInfoExW = nullptr;
    SetAddrInfoExW = nullptr;
    FreeAddrInfoExW = nullptr;
    WSASetSocketPeerTargetName = nullptr;
    WSADeleteSocketPeerTargetName = nullptr;
    WSAImpersonateSocketPeer = nullptr;
    WSAQuerySocketSecurity = nullptr;
    WSARevertImpersonation = nullptr;
}

}  // namespace Id::Wship6
