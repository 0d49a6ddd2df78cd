// The socket library's entries while the library is not loaded. A program of its own, since nothing
// else may have loaded the library first.
#include <gtest/gtest.h>

#include <IdFramework/stack/IdWinsock2.h>

#include <string>

#include <IdFramework/core/IdExceptionCore.h>

using namespace Id;
namespace WS = Id::Winsock2;

namespace {

// ACall must raise 10093 (not initialised) for the entry AName.
template <typename TCall>
void ExpectNotInitialised(TCall ACall, const std::u16string& AName) {
    try {
        ACall();
        ADD_FAILURE() << "no exception";
    } catch (const EIdWinsockStubError& e) {
        const std::u16string title = u"Fehler beim Aufruf der Winsock2-Bibliotheksfunktion " + AName;
        EXPECT_EQ(e.Win32Error(), 10093u);
        EXPECT_EQ(e.Title(), title);
        EXPECT_EQ(e.Message().substr(0, title.size() + 2), title + u": ");
    }
}

}  // namespace

TEST(Winsock2Unloaded, EntriesRaiseNotInitialisedBeforeTheStartAndAfterTheStop) {
    ASSERT_FALSE(WS::Winsock2Loaded());
    ExpectNotInitialised([] { WS::WSAGetLastError(); }, u"WSAGetLastError");
    ExpectNotInitialised([] { WS::TransmitFile(0, nullptr, 0, 0, nullptr, nullptr, 0); }, u"TransmitFile");

    // Resolved while loaded, then stopped: the pointers must not lead into the unloaded library.
    WS::StartSocketLibrary();
    ASSERT_TRUE(WS::Winsock2Loaded());
    WS::WSASetLastError(0);
    EXPECT_EQ(WS::WSAGetLastError(), 0);
    WS::StopSocketLibrary();
    ASSERT_FALSE(WS::Winsock2Loaded());
    ExpectNotInitialised([] { WS::WSAGetLastError(); }, u"WSAGetLastError");
}
