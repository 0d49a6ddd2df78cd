#include <IdFramework/stack/IdWinsock2.h>

#include <tlhelp32.h>

#include "server/ServerTestSupport.h"

namespace IdTest {

namespace WS = Id::Winsock2;

namespace {
SOCKET Sock(uintptr_t ASocket) { return static_cast<SOCKET>(ASocket); }

// AIP (a numeric address) with APort, in the system's own address record.
bool ToAddress(const char* AIP, uint16_t APort, int AFamily, SOCKADDR_STORAGE& VAddress, int& VLength) {
    std::wstring text(AIP, AIP + std::char_traits<char>::length(AIP));
    VAddress = {};
    VLength = sizeof VAddress;
    if (WS::WSAStringToAddressW(text.data(), AFamily, nullptr, reinterpret_cast<sockaddr*>(&VAddress), &VLength) != 0)
        return false;
    // The port sits at the same place in both families.
    reinterpret_cast<sockaddr_in&>(VAddress).sin_port = WS::IdHtons(APort);
    return true;
}
}  // namespace

TClient::TClient(const char* AIP, uint16_t APort) {
    WS::StartSocketLibrary();
    const int family = std::string(AIP).find(':') != std::string::npos ? AF_INET6 : AF_INET;
    const SOCKET s = WS::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return;
    FSocket = static_cast<uintptr_t>(s);
    SOCKADDR_STORAGE address;
    int length = 0;
    FConnected = ToAddress(AIP, APort, family, address, length) &&
                 WS::connect(s, reinterpret_cast<sockaddr*>(&address), length) == 0;
}

void TClient::Send(const std::string& AData) {
    size_t sent = 0;
    while (sent < AData.size()) {
        const int n = WS::send(Sock(FSocket), AData.data() + sent, static_cast<int>(AData.size() - sent), 0);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

void TClient::ShutdownWrite() { WS::shutdown(Sock(FSocket), SD_SEND); }

void TClient::Close() {
    if (FSocket != NoSocket) WS::closesocket(Sock(FSocket));
    FSocket = NoSocket;
}

bool TClient::WaitReadable(int ATimeoutMs) {
    fd_set readable;
    readable.fd_count = 1;
    readable.fd_array[0] = Sock(FSocket);
    timeval wait{ATimeoutMs / 1000, (ATimeoutMs % 1000) * 1000};
    return WS::select(0, &readable, nullptr, nullptr, &wait) > 0;
}

int TClient::Receive(char* VBuffer, int ASize) { return WS::recv(Sock(FSocket), VBuffer, ASize, 0); }

bool HaveIPv6Loopback() {
    WS::StartSocketLibrary();
    const SOCKET s = WS::socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    SOCKADDR_STORAGE address;
    int length = 0;
    const bool ok = ToAddress("::1", 0, AF_INET6, address, length) &&
                    WS::bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0;
    WS::closesocket(s);
    return ok;
}

int ProcessThreads() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    const DWORD self = GetCurrentProcessId();
    int n = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        n += entry.th32OwnerProcessID == self;
    CloseHandle(snapshot);
    return n;
}

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto ms = [](const FILETIME& ATime) {
        return static_cast<double>((static_cast<uint64_t>(ATime.dwHighDateTime) << 32) | ATime.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

}  // namespace IdTest
