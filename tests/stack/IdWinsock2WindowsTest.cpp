#include <gtest/gtest.h>

#include <IdFramework/stack/IdWinsock2.h>
#include <IdFramework/stack/IdWship6.h>

#include <cstring>
#include <string>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/stack/IdStack.h>

using namespace Id;
namespace WS = Id::Winsock2;

namespace {

// The library stays loaded until the process ends: under Wine, sockets made after WS2_32.DLL has
// been unloaded and loaded again in the same process are no sockets (10038). The unloaded library
// is tested in a program of its own.
class Winsock2Test : public testing::Test {
protected:
    void SetUp() override { WS::StartSocketLibrary(); }
    void TearDown() override { Wship6::UnloadIPv6Functions(); }
};

// A listening socket on 127.0.0.1 with a system-chosen port, and a client connected to it.
struct TLoopbackPair {
    SOCKET Listener = INVALID_SOCKET;
    SOCKET Client = INVALID_SOCKET;
    SOCKET Server = INVALID_SOCKET;
    uint16_t Port = 0;

    TLoopbackPair() {
        Listener = WS::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_NE(Listener, INVALID_SOCKET);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = WS::IdHtonl(0x7F000001);
        EXPECT_EQ(WS::bind(Listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        EXPECT_EQ(WS::listen(Listener, 1), 0);
        sockaddr_in bound{};
        int length = sizeof(bound);
        EXPECT_EQ(WS::getsockname(Listener, reinterpret_cast<sockaddr*>(&bound), &length), 0);
        EXPECT_EQ(WS::IdNtohl(bound.sin_addr.s_addr), 0x7F000001u);
        Port = WS::IdNtohs(bound.sin_port);
        EXPECT_NE(Port, 0);

        Client = WS::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        addr.sin_port = WS::IdHtons(Port);
        EXPECT_EQ(WS::connect(Client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0)
            << WS::WSAGetLastError();
        Server = WS::accept(Listener, nullptr, nullptr);
        EXPECT_NE(Server, INVALID_SOCKET);
    }
    ~TLoopbackPair() {
        for (SOCKET s : {Client, Server, Listener})
            if (s != INVALID_SOCKET) WS::closesocket(s);
    }

    // Reads until ACount bytes have come or the peer closed; each wait is bounded.
    std::string ReceiveOnServer(size_t ACount) {
        const DWORD timeout = 10000;
        WS::setsockopt(Server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
        std::string received;
        char buffer[4096];
        while (received.size() < ACount) {
            const int n = WS::recv(Server, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            received.append(buffer, static_cast<size_t>(n));
        }
        return received;
    }
};

void ExpectCallError(const EIdWinsockStubError& AError, uint32_t ACode, const std::u16string& AName) {
    const std::u16string title = u"Fehler beim Aufruf der Winsock2-Bibliotheksfunktion " + AName;
    EXPECT_EQ(AError.Win32Error(), ACode);
    EXPECT_EQ(AError.Title(), title);
    EXPECT_EQ(AError.Message().substr(0, title.size() + 2), title + u": ");
}

// No library exports this name; built by the same machinery as the real entries.
constexpr char MissingEntryName[] = "IdNoSuchSocketFunction";
decltype(&::recv) MissingEntry = &WS::detail::TPlainStub<&MissingEntry, MissingEntryName>::Call;

}  // namespace

TEST_F(Winsock2Test, LoopbackTransferThroughTheLoadedEntries) {
    ASSERT_TRUE(WS::Winsock2Loaded());
    TLoopbackPair pair;
    ASSERT_NE(pair.Server, INVALID_SOCKET);
    ASSERT_EQ(WS::send(pair.Client, "hello", 5, 0), 5);

    // The data waits on the server's side only: select with our own membership test.
    fd_set readable;
    readable.fd_count = 2;
    readable.fd_array[0] = pair.Listener;
    readable.fd_array[1] = pair.Server;
    timeval wait{10, 0};
    ASSERT_EQ(WS::select(0, &readable, nullptr, nullptr, &wait), 1);
    EXPECT_TRUE(WS::IdFDIsSet(pair.Server, readable));
    EXPECT_FALSE(WS::IdFDIsSet(pair.Listener, readable));

    EXPECT_EQ(pair.ReceiveOnServer(5), "hello");
}

TEST_F(Winsock2Test, EntriesResolveOnTheirFirstCallAndMissingOnesRaiseOnlyThen) {
    // Started without complaint although one pointer names a function nobody exports.
    ASSERT_TRUE(WS::Winsock2Loaded());
    HMODULE library = WS::detail::Winsock2Handle();
    ASSERT_NE(library, nullptr);

    // A real entry keeps the library's own address after its first call.
    const void* exported = reinterpret_cast<void*>(GetProcAddress(library, "WSAHtons"));
    ASSERT_NE(exported, nullptr);
    EXPECT_NE(reinterpret_cast<void*>(WS::WSAHtons), exported);
    u_short swapped = 0;
    const SOCKET probe = WS::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(WS::WSAHtons(probe, 0x1234, &swapped), 0);
    EXPECT_EQ(swapped, WS::IdHtons(0x1234));
    EXPECT_EQ(reinterpret_cast<void*>(WS::WSAHtons), exported);
    WS::closesocket(probe);

    // The missing one raises 10022 with its name, and again on the next call.
    const auto stub = MissingEntry;
    for (int call = 0; call < 2; ++call) {
        try {
            MissingEntry(0, nullptr, 0, 0);
            ADD_FAILURE() << "no exception";
        } catch (const EIdWinsockStubError& e) {
            ExpectCallError(e, 10022, u"IdNoSuchSocketFunction");
        }
    }
    EXPECT_EQ(MissingEntry, stub);

    // An extension entry that the socket cannot give raises with the provider's error.
    try {
        WS::ConnectEx(INVALID_SOCKET, nullptr, 0, nullptr, 0, nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const EIdWinsockStubError& e) {
        ExpectCallError(e, 10038, u"ConnectEx");
    }
}

TEST_F(Winsock2Test, TransmitFileHookSendsTheWholeFile) {
    ASSERT_EQ(GTransmitFileHook, &WindowsTransmitFile);
    wchar_t folder[MAX_PATH] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
    const std::u16string name = reinterpret_cast<const char16_t*>(folder) + std::u16string(u"id-transmit.bin");
    std::string content;
    for (int i = 0; i < 3000; ++i) content += static_cast<char>('a' + i % 26);
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    CloseHandle(file);

    {
        TLoopbackPair pair;
        ASSERT_NE(pair.Server, INVALID_SOCKET);
        EXPECT_EQ(GTransmitFileHook(static_cast<TIdStackSocketHandle>(pair.Client), name), 3000);
        EXPECT_EQ(GTransmitFileHook(static_cast<TIdStackSocketHandle>(pair.Client), name + u".missing"), 0);
        WS::shutdown(pair.Client, SD_SEND);
        EXPECT_EQ(pair.ReceiveOnServer(content.size() + 1), content);
    }
    // Closed on every path: the file can be deleted at once.
    EXPECT_TRUE(DeleteFileW(reinterpret_cast<const wchar_t*>(name.c_str())));
}

TEST_F(Winsock2Test, IPv6FunctionsComeWithTheLibraryAndGoWithTheirUnload) {
    Wship6::LoadIPv6Functions();
    ASSERT_TRUE(GIPv6FunctionsPresent);
    ASSERT_NE(Wship6::GetAddrInfoW, nullptr);
    ASSERT_NE(Wship6::FreeAddrInfoW, nullptr);
    EXPECT_NE(Wship6::GetNameInfoW, nullptr);
    ADDRINFOW hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_INET6;
    ADDRINFOW* result = nullptr;
    ASSERT_EQ(Wship6::GetAddrInfoW(L"::1", nullptr, &hints, &result), 0);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->ai_family, AF_INET6);
    Wship6::FreeAddrInfoW(result);

    Wship6::UnloadIPv6Functions();
    EXPECT_FALSE(GIPv6FunctionsPresent);
    EXPECT_EQ(Wship6::GetAddrInfoW, nullptr);
    EXPECT_EQ(Wship6::InetPtonW, nullptr);
}
