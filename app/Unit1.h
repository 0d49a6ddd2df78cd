// The main window's controller: starting and stopping the server from the button, closing, and the
// event log. It drives the window only through TWindowOperations, so the same logic serves the Qt
// window, the console front-end and the tests.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "app/EventLog.h"
#include "app/WindowOperations.h"
#include <IdFramework/core/IdComponent.h>
#include <IdFramework/runtime/SysUtils.h>

namespace Id {

class TIdContext;
class TIdIOHandler;
class TIdListenerThread;
class TIdServerIOHandlerStack;
class TIdSocketHandle;
class TIdTCPServer;
class TIdThread;

// Ends a client of the line reply service whose input can never be read (a line over the limit,
// or one cut off by the client's close): its unread bytes go and the connection is closed, so that
// its thread does not fail the same read again and again.
void EndClient(TIdContext* AContext);

// The line reply service's answer to a request line, appended to VOut: "Thanks-", the time stamp
// taken now, "-for-", the line and "-Message" (without CR LF, which WriteLn adds).
void AppendReply(std::u16string& VOut, const std::u16string& ALine);
// Writes the answer to ALine, and to every further line already complete in AIO's input buffer,
// built in VStorage: a client's own, kept from its last reply, so that answering line after line
// allocates nothing. (Not a thread_local: its first use on a thread registers its destructor, and
// the C library ends the process if that finds no memory.) Lines that arrived together are
// answered together, in as few sends as ReplyBatchChars allows; a line still to come is never
// waited for. For each further line, ABeforeRead (when set) runs before it is read, as a new call
// of the service would begin, and AOnLine (when set) gets it when it is not empty, before its
// answer; an empty line gets no answer. Answers already built are sent before a failing read's
// exception goes on.
void WriteReply(TIdIOHandler& AIO, const std::u16string& ALine, std::u16string& VStorage,
                const std::function<void()>& ABeforeRead = {},
                const std::function<void(const std::u16string&)>& AOnLine = {});
// The answers gathered for one send, at most (in characters, before encoding): a client that sends
// many lines at once gets them in sends of this size.
constexpr size_t ReplyBatchChars = 32 * 1024;

class TForm1 : public TObject {
public:
    // The program's controller: creates the server IdTCPServer1 (inactive, port 8000) with its I/O
    // handler IdServerIOHandlerStack1 and the nine handlers wired to it.
    explicit TForm1(TWindowOperations& AWindow);
    // A controller over a server that the caller owns and keeps alive longer (no handlers wired).
    TForm1(TWindowOperations& AWindow, TServerControl& AServer);
    // Destroys the server first, which stops it; its threads may log until then.
    ~TForm1() override;

    // The components of the window; none when the controller drives an outside server.
    TIdTCPServer* IdTCPServer1() const { return FIdTCPServer1.get(); }
    TIdServerIOHandlerStack* IdServerIOHandlerStack1() const { return FIdServerIOHandlerStack1.get(); }

    void Button1Click(TObject* Sender);
    // Stops the server, delivers what its threads logged on the way out and allows the close. A close
    // asked for while a start or stop is running (the window handles events while it logs) is
    // carried out through TWindowOperations::Close as soon as that start or stop has returned.
    void FormCloseQuery(TObject* Sender, bool& CanClose);

    // The server's handlers, each on the thread the server raises its event on.
    void IdTCPServer1Status(TObject* ASender, TIdStatus AStatus, const std::u16string& AStatusText);
    void IdTCPServer1BeforeBind(TIdSocketHandle* AHandle);
    void IdTCPServer1AfterBind(TObject* Sender);
    void IdTCPServer1BeforeListenerRun(TIdThread* AThread);
    void IdTCPServer1Connect(TIdContext* AContext);
    void IdTCPServer1Disconnect(TIdContext* AContext);
    void IdTCPServer1Exception(TIdContext* AContext, Exception& AException);
    void IdTCPServer1ListenException(TIdListenerThread* AThread, Exception& AException);
    // The line reply service: one line read (or a 200 ms wait for one) and answered per call.
    void IdTCPServer1Execute(TIdContext* AContext);

    // Any thread: one "Figures" entry with the server's counts of clients.
    void LogFigures();
    // Any thread. Empty texts count as absent.
    void Log(const std::u16string& aMsg, const std::u16string& aText1 = std::u16string(),
             const std::u16string& aText2 = std::u16string());

    // UI thread: places the entries handed over by other threads (after NotifyLogPending).
    void DeliverLog() { FLog.Deliver(); }
    TEventLog& EventLog() { return FLog; }

    // Whether the most recent start ended in an "Error" entry.
    bool StartFailed() const { return FStartFailed; }
    // The message of that "Error" entry.
    const std::u16string& StartError() const { return FStartError; }
    // Milliseconds a client may send nothing before the line service ends it; 0, the default: no
    // limit. Set before the start.
    int IdleTimeout() const { return FIdleTimeout; }
    void SetIdleTimeout(int AValue) { FIdleTimeout = AValue > 0 ? AValue : 0; }
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
    // Declared before the server, so that it outlives the server's threads.
    TEventLog FLog;
    std::unique_ptr<TIdServerIOHandlerStack> FIdServerIOHandlerStack1;
    std::unique_ptr<TIdTCPServer> FIdTCPServer1;
    std::unique_ptr<TServerControl> FOwnServerControl;  // over FIdTCPServer1
    TServerControl* FServer;                            // FOwnServerControl or the caller's
    bool FBusy = false;
    bool FCloseRequested = false;
    bool FClosing = false;
    bool FStartFailed = false;
    std::u16string FStartError;
    // Read by the clients' threads.
    std::atomic<int> FIdleTimeout{0};
};

// The program's one window controller, set while the window exists.
extern TForm1* Form1;

}  // namespace Id
