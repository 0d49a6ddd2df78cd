// The main window's controller: starting and stopping the server from the button, closing, and the
// event log. It drives the window only through TWindowOperations, so the same logic serves the Qt
// window, the console front-end and the tests.
#pragma once

#include <string>

#include "app/EventLog.h"
#include "app/WindowOperations.h"
#include "runtime/SysUtils.h"

namespace Id {

class TForm1 : public TObject {
public:
    // A controller over a window and a server that the caller owns and keeps alive longer.
    TForm1(TWindowOperations& AWindow, TServerControl& AServer);
    ~TForm1() override;

    void Button1Click(TObject* Sender);
    // Stops the server, delivers what its threads logged on the way out and allows the close. A close
    // asked for while a start or stop is running (the window handles events while it logs) is
    // carried out through TWindowOperations::Close as soon as that start or stop has returned.
    void FormCloseQuery(TObject* Sender, bool& CanClose);
    void IdTCPServer1AfterBind(TObject* Sender);

    // Any thread. Empty texts count as absent.
    void Log(const std::u16string& aMsg, const std::u16string& aText1 = std::u16string(),
             const std::u16string& aText2 = std::u16string());

    // UI thread: places the entries handed over by other threads (after NotifyLogPending).
    void DeliverLog() { FLog.Deliver(); }
    TEventLog& EventLog() { return FLog; }

    // Whether the most recent start ended in an "Error" entry.
    bool StartFailed() const { return FStartFailed; }
    // A start, stop or close is running on the UI thread.
    bool Busy() const { return FBusy; }
    // The close has been allowed; the window is going.
    bool Closing() const { return FClosing; }

private:
    void StartServer();
    std::u16string GetTimeStamp();
    // Window events once, then whatever the server's threads have handed over until now.
    void ProcessMessages();

    TWindowOperations& FWindow;
    TServerControl* FServer;  // not owned
    TEventLog FLog;
    bool FBusy = false;
    bool FCloseRequested = false;
    bool FClosing = false;
    bool FStartFailed = false;
};

// The program's one window controller, set while the window exists.
extern TForm1* Form1;

}  // namespace Id
