#include "app/Unit1.h"

#include <chrono>
#include <cstdint>

namespace Id {

TForm1* Form1 = nullptr;

namespace {

// Marks the UI thread as inside a start, stop or close for the length of a scope.
class TBusyScope {
public:
    explicit TBusyScope(bool& AFlag) : FFlag(AFlag) { FFlag = true; }
    ~TBusyScope() { FFlag = false; }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    bool& FFlag;
};

}  // namespace

TForm1::TForm1(TWindowOperations& AWindow, TServerControl& AServer) : FWindow(AWindow), FServer(&AServer), FLog(AWindow) {}

TForm1::~TForm1() {
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::Button1Click(TObject* /*Sender*/) {
    // Logging handles window events, so a click can arrive while a start or stop is still running;
    // acting on it would start or stop the server from inside its own start or stop.
    if (FBusy || FClosing) return;
    {
        TBusyScope busy(FBusy);
        if (SameText(FWindow.Button1Caption(), u"Disconnect")) {
            FServer->SetActive(false);
            FWindow.SetButton1Caption(u"Connect");
        } else {
            FWindow.DisableEPort();
            StartServer();
        }
    }
    if (FCloseRequested) {
        FCloseRequested = false;
        FWindow.Close();
    }
}

void TForm1::StartServer() {
    FServer->SetActive(false);
    try {
        const int32_t port = StrToInt(FWindow.EPortText());
        // The port keeps the low 16 bits of whatever number was typed.
        FServer->SetDefaultPort(static_cast<uint16_t>(static_cast<uint32_t>(port)));
        FServer->SetActive(true);
        FStartFailed = false;
    } catch (Exception& E) {
        FStartFailed = true;
        Log(u"Error", E.Message(), u"");
    }
}

void TForm1::FormCloseQuery(TObject* /*Sender*/, bool& CanClose) {
    if (FBusy) {
        FCloseRequested = true;
        CanClose = false;
        return;
    }
    {
        TBusyScope busy(FBusy);
        FServer->SetActive(false);
        ProcessMessages();
    }
    FClosing = true;
    CanClose = true;
}

void TForm1::IdTCPServer1AfterBind(TObject* /*Sender*/) {
    Log(u"AfterBind");
    FWindow.SetButton1Caption(u"Disconnect");
}

void TForm1::Log(const std::u16string& aMsg, const std::u16string& aText1, const std::u16string& aText2) {
    std::u16string entry = GetTimeStamp();
    entry += u"> ";
    entry += BuildLogBody(aMsg, aText1, aText2);
    FLog.Add(std::move(entry));
}

std::u16string TForm1::GetTimeStamp() { return FormatTimeStamp(std::chrono::system_clock::now()); }

void TForm1::ProcessMessages() {
    FWindow.ProcessMessages();
    FLog.Deliver();
}

}  // namespace Id
