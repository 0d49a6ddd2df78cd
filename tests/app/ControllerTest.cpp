#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "FakeWindow.h"
#include "app/Unit1.h"
#include <IdFramework/core/IdExceptionCore.h>

namespace Id::Test {
namespace {

// The controller over a fake server that raises the bind event inside its start, like the real one.
class Controller : public testing::Test {
protected:
    Controller() {
        Server.OnStart = [this] { Form.IdTCPServer1AfterBind(nullptr); };
    }
    std::vector<std::u16string> Bodies() const {
        std::vector<std::u16string> out;
        for (const auto& e : Window.List) out.push_back(Body(e));
        return out;
    }

    TFakeWindow Window;
    TFakeServer Server;
    TForm1 Form{Window, Server};
};

TEST_F(Controller, ConnectDisconnectConnect) {
    Form.Button1Click(nullptr);
    EXPECT_TRUE(Server.IsActive);
    EXPECT_EQ(Server.Port, 8000);
    EXPECT_EQ(Window.Caption, u"Disconnect");
    EXPECT_FALSE(Window.PortEnabled);
    EXPECT_EQ(Bodies(), std::vector<std::u16string>{u"AfterBind"});

    Form.Button1Click(nullptr);
    EXPECT_FALSE(Server.IsActive);
    EXPECT_EQ(Window.Caption, u"Connect");
    EXPECT_EQ(Window.List.size(), 1u);  // stopping logs nothing of its own
    EXPECT_FALSE(Window.PortEnabled);   // the port never becomes editable again

    Window.PortText = u"9000";  // not reachable through the window, but a restart reads the text again
    Form.Button1Click(nullptr);
    EXPECT_TRUE(Server.IsActive);
    EXPECT_EQ(Server.Port, 9000);
    EXPECT_EQ(Server.StartCount, 2);
    EXPECT_FALSE(Form.StartFailed());
}

// The programs publish their form through Form1 for as long as it lives; a form that ends takes
// the pointer with it, so nothing after main's scope reaches a destroyed form.
TEST(ControllerForm, TheProcessWidePointerEndsWithTheForm) {
    TFakeWindow window;
    TFakeServer server;
    auto form = std::make_unique<TForm1>(window, server);
    Form1 = form.get();
    form.reset();
    EXPECT_EQ(Form1, nullptr);
}

TEST_F(Controller, PortKeepsTheLowSixteenBits) {
    Window.PortText = u"70000";
    Form.Button1Click(nullptr);
    EXPECT_EQ(Server.Port, 4464);
    EXPECT_TRUE(Server.IsActive);

    TFakeWindow w2;
    TFakeServer s2;
    TForm1 f2(w2, s2);
    w2.PortText = u"-1";
    f2.Button1Click(nullptr);
    EXPECT_EQ(s2.Port, 65535);
    w2.PortText = u"0";
    s2.IsActive = false;
    w2.Caption = u"Connect";
    f2.Button1Click(nullptr);
    EXPECT_EQ(s2.Port, 0);
}

TEST_F(Controller, FailedStartBeforeAndAfterBind) {
    Server.OnStart = [] {
        EIdCouldNotBindSocket::Toss(u"Socket konnte nicht gebunden werden. Adresse und Port werden bereits verwendet.");
    };
    Form.Button1Click(nullptr);
    EXPECT_EQ(Bodies(), std::vector<std::u16string>{
                            u"Error / Socket konnte nicht gebunden werden. Adresse und Port werden bereits verwendet."});
    EXPECT_EQ(Window.Caption, u"Connect");  // Start failed
    EXPECT_FALSE(Server.IsActive);
    EXPECT_TRUE(Form.StartFailed());

    // A failure after the bind event: the caption has already switched.
    Window.List.clear();
    Server.OnStart = [this] {
        Form.IdTCPServer1AfterBind(nullptr);
        EIdSocketError::Toss(u"listen failed");
    };
    Form.Button1Click(nullptr);
    EXPECT_EQ(Bodies(), (std::vector<std::u16string>{u"AfterBind", u"Error / listen failed"}));
    EXPECT_EQ(Window.Caption, u"Disconnect");
    EXPECT_FALSE(Server.IsActive);
    // The next click stops (a no-op) and leads to Stopped.
    Form.Button1Click(nullptr);
    EXPECT_EQ(Window.Caption, u"Connect");
    EXPECT_EQ(Server.StartCount, 2);
}

TEST_F(Controller, ClickDuringAStartOrStopIsIgnored) {
    // A click delivered while the start logs (the window handles events in every placement).
    Window.OnProcessMessages = [this] { Form.Button1Click(nullptr); };
    Form.Button1Click(nullptr);
    EXPECT_EQ(Server.StartCount, 1);
    EXPECT_TRUE(Server.IsActive);
    EXPECT_EQ(Window.Caption, u"Disconnect");

    Window.OnProcessMessages = nullptr;
    Server.OnStop = [this] { Form.Button1Click(nullptr); };
    Form.Button1Click(nullptr);
    EXPECT_FALSE(Server.IsActive);
    EXPECT_EQ(Server.StartCount, 1);
    EXPECT_EQ(Window.Caption, u"Connect");
}

TEST_F(Controller, CloseWhileServingStopsFirstAndDeliversTheLastEntries) {
    Form.Button1Click(nullptr);
    // The clients' threads log their ends while the server stops.
    Server.OnStop = [this] { std::thread([this] { Form.Log(u"Disconnect", u"127.0.0.1", u"127.0.0.1"); }).join(); };
    bool canClose = false;
    Form.FormCloseQuery(nullptr, canClose);
    EXPECT_TRUE(canClose);
    EXPECT_FALSE(Server.IsActive);
    EXPECT_EQ(Bodies().back(), u"Disconnect / 127.0.0.1 = 127.0.0.1");
    EXPECT_TRUE(Form.Closing());
    // A click that still arrives does nothing.
    Form.Button1Click(nullptr);
    EXPECT_FALSE(Server.IsActive);
}

TEST_F(Controller, CloseDuringAStartWaitsForIt) {
    Window.OnProcessMessages = [this] {
        bool canClose = true;
        Form.FormCloseQuery(nullptr, canClose);
        EXPECT_FALSE(canClose);
    };
    Form.Button1Click(nullptr);
    EXPECT_TRUE(Server.IsActive);
    // The window is asked to close again once the start has returned, through its normal path.
    EXPECT_EQ(Window.CloseCount, 1);
    Window.OnProcessMessages = nullptr;
    bool canClose = false;
    Form.FormCloseQuery(nullptr, canClose);
    EXPECT_TRUE(canClose);
    EXPECT_FALSE(Server.IsActive);
}

}  // namespace
}  // namespace Id::Test
