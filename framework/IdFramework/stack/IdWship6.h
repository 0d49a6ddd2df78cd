// The optional address-lookup functions of the Windows socket library (IPv6 names). They are part
// of WS2_32.DLL on current systems and of Wship6.dll on some older ones; whether all of the required
// three are found decides GIPv6FunctionsPresent. The security functions of Fwpuclnt.dll are looked up
// alongside. Windows only. Every pointer is nullptr while absent.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace Id::Wship6 {

// Required: all three, from the same library, or none.
extern decltype(&::GetAddrInfoW) GetAddrInfoW;
extern decltype(&::GetNameInfoW) GetNameInfoW;
extern decltype(&::FreeAddrInfoW) FreeAddrInfoW;
// Optional, from the library that has the three.
extern decltype(&::InetPtonW) InetPtonW;
extern decltype(&::InetNtopW) InetNtopW;
extern decltype(&::GetAddrInfoExW) GetAddrInfoExW;
extern decltype(&::SetAddrInfoExW) SetAddrInfoExW;
extern decltype(&::FreeAddrInfoExW) FreeAddrInfoExW;
// From Fwpuclnt.dll, optional (the system headers here lack a declaration of the second).
extern decltype(&::WSASetSocketPeerTargetName) WSASetSocketPeerTargetName;
extern void* WSADeleteSocketPeerTargetName;
extern decltype(&::WSAImpersonateSocketPeer) WSAImpersonateSocketPeer;
extern decltype(&::WSAQuerySocketSecurity) WSAQuerySocketSecurity;
extern decltype(&::WSARevertImpersonation) WSARevertImpersonation;

// Starts the socket library when it is not loaded (which may raise, as StartSocketLibrary), then
// looks the functions up and sets GIPv6FunctionsPresent. Run once, by the first stack construction.
void LoadIPv6Functions();
// Unloads Wship6.dll and Fwpuclnt.dll, clears GIPv6FunctionsPresent and every pointer above.
void UnloadIPv6Functions();

}  // namespace Id::Wship6
