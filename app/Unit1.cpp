#include "app/Unit1.h"

#include <chrono>
#include <cstdint>
#include <limits>
#include <string_view>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdGlobal.h>
#include <IdFramework/io/IdBuffer.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdServerIOHandlerStack.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/server/IdContext.h>
#include <IdFramework/server/IdTCPServer.h>
#include <IdFramework/stack/IdSocketHandle.h>

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

namespace {

// The controller's view of the real server.
class TIdTCPServerControl : public TServerControl {
public:
    explicit TIdTCPServerControl(TIdTCPServer& AServer) : FServer(AServer) {}
    void SetActive(bool AValue) override { FServer.SetActive(AValue); }
    bool Active() override { return FServer.Active(); }
    void SetDefaultPort(uint16_t AValue) override { FServer.SetDefaultPort(AValue); }

private:
    TIdTCPServer& FServer;
};

// The binding's own texts, not copies: a log entry per line copies them once, into the entry.
const std::u16string& LocalIP(TIdContext* AContext) {
    static const std::u16string none;
    TIdSocketHandle* binding = AContext->Binding();
    return binding ? binding->IP() : none;
}

const std::u16string& PeerIP(TIdContext* AContext) {
    static const std::u16string none;
    TIdSocketHandle* binding = AContext->Binding();
    return binding ? binding->PeerIP() : none;
}

// What the service keeps of a client between calls, held as its context's Data: when it last
// sent anything (for the idle time-out) and the storage of its last reply.
class TClientState : public TObject {
public:
    uint32_t LastTick = TickNow();
    int LastBuffered = 0;
    std::u16string Reply;
};

TClientState& ClientState(TIdContext* AContext) {
    // Asked once per call of the service; nothing but this function sets a client's Data.
    auto* state = static_cast<TClientState*>(AContext->Data());
    if (!state) {
        state = new TClientState;
        AContext->SetData(state);
    }
    return *state;
}

// After a read: whether the client has now sent nothing (no line, no byte) for AIdleMs.
bool IdleTooLong(TClientState& AState, TIdIOHandler& AIO, int AIdleMs) {
    const int buffered = AIO.InputBuffer()->Size();
    if (!AIO.ReadLnTimedout() || buffered != AState.LastBuffered) {
        AState.LastTick = TickNow();
        AState.LastBuffered = buffered;
        return false;
    }
    return TickSpan(AState.LastTick, TickNow()) >= static_cast<uint32_t>(AIdleMs);
}

}  // namespace

void AppendReply(std::u16string& VOut, const std::u16string& ALine) {
    using namespace std::string_view_literals;
    VOut.reserve(VOut.size() + ALine.size() + 32);
    VOut.append(u"Thanks-"sv);
    AppendTimeStamp(VOut, std::chrono::system_clock::now());
    VOut.append(u"-for-"sv).append(ALine).append(u"-Message"sv);
}

namespace {
// Whether a whole line waits in the input buffer, found without asking the connection.
bool HasBufferedLine(TIdIOHandler& AIO) {
    static const TIdByteArray crlf{13, 10};
    const TIdBuffer* buffer = AIO.InputBuffer();
    return buffer && buffer->Size() >= 2 && buffer->IndexOf(crlf) >= 0;
}
}  // namespace

void WriteReply(TIdIOHandler& AIO, const std::u16string& ALine, std::u16string& VStorage,
                const std::function<void()>& ABeforeRead, const std::function<void(const std::u16string&)>& AOnLine) {
    // Storage kept from a long reply would stay with the client for as long as it is connected.
    if (VStorage.capacity() > 4096) std::u16string().swap(VStorage);
    VStorage.clear();
    AppendReply(VStorage, ALine);
    while (HasBufferedLine(AIO)) {
        if (VStorage.size() >= ReplyBatchChars) {
            AIO.WriteLn(VStorage);
            VStorage.clear();
        }
        // Only a failure while reading the next line leaves answers behind to send: a failed send
        // goes on as it is, its batch is not offered to the connection a second time.
        try {
            if (ABeforeRead) ABeforeRead();
            // Complete already: taken from the buffer without a wait or a receive.
            const std::u16string line = AIO.ReadLn(u"\r\n", 0, -1, nullptr);
            if (line.empty()) continue;
            if (AOnLine) AOnLine(line);
            if (!VStorage.empty()) VStorage.append(u"\r\n");
            AppendReply(VStorage, line);
        } catch (...) {
            // What was answered before the line that failed leaves as it would have, line by line.
            if (!VStorage.empty()) AIO.WriteLn(VStorage);
            throw;
        }
    }
    if (!VStorage.empty()) AIO.WriteLn(VStorage);
}

// The unread bytes go (otherwise they alone keep the connection counting as connected) and the
// connection is closed, so the server ends the client with its "Disconnect" entry instead of
// calling the service again at once.
void EndClient(TIdContext* AContext) {
    TIdTCPConnection* connection = AContext->Connection();
    if (!connection) return;
    try {
        if (TIdIOHandler* io = connection->IOHandler()) {
            if (TIdBuffer* buffer = io->InputBuffer()) buffer->Clear();
        }
        connection->Disconnect(false);
    } catch (Exception&) {
        // Already closed from elsewhere; nothing is left to end.
    }
}


TForm1::TForm1(TWindowOperations& AWindow)
    : FWindow(AWindow),
      FLog(AWindow),
      FIdServerIOHandlerStack1(std::make_unique<TIdServerIOHandlerStack>()),
      FIdTCPServer1(std::make_unique<TIdTCPServer>()) {
    FIdServerIOHandlerStack1->SetName(u"IdServerIOHandlerStack1");
    TIdTCPServer& server = *FIdTCPServer1;
    server.SetName(u"IdTCPServer1");
    server.SetDefaultPort(8000);
    // The framework's default queue of 15 overflows under a burst of connects, and the clients it
    // turns away wait seconds for their retry; the system caps this at its own maximum.
    server.SetListenQueue(std::numeric_limits<int>::max());
    server.SetIOHandler(FIdServerIOHandlerStack1.get());
    server.SetOnStatus([this](TObject* ASender, TIdStatus AStatus, const std::u16string& AText) {
        IdTCPServer1Status(ASender, AStatus, AText);
    });
    server.SetOnBeforeBind([this](TIdSocketHandle* AHandle) { IdTCPServer1BeforeBind(AHandle); });
    server.SetOnAfterBind([this](TObject* ASender) { IdTCPServer1AfterBind(ASender); });
    server.SetOnBeforeListenerRun([this](TIdThread* AThread) { IdTCPServer1BeforeListenerRun(AThread); });
    server.SetOnConnect([this](TIdContext* AContext) { IdTCPServer1Connect(AContext); });
    server.SetOnDisconnect([this](TIdContext* AContext) { IdTCPServer1Disconnect(AContext); });
    server.SetOnException([this](TIdContext* AContext, Exception& E) { IdTCPServer1Exception(AContext, E); });
    server.SetOnListenException(
        [this](TIdListenerThread* AThread, Exception& E) { IdTCPServer1ListenException(AThread, E); });
    server.SetOnExecute([this](TIdContext* AContext) { IdTCPServer1Execute(AContext); });
    FOwnServerControl = std::make_unique<TIdTCPServerControl>(server);
    FServer = FOwnServerControl.get();
}

TForm1::TForm1(TWindowOperations& AWindow, TServerControl& AServer) : FWindow(AWindow), FLog(AWindow), FServer(&AServer) {}

TForm1::~TForm1() {
    // The server stops in its destructor and waits for its threads, which log until they end.
    FOwnServerControl.reset();
    FIdTCPServer1.reset();
    FIdServerIOHandlerStack1.reset();
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
        FStartError = E.Message();
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

void TForm1::IdTCPServer1Status(TObject* /*ASender*/, TIdStatus AStatus, const std::u16string& AStatusText) {
    Log(u"Status", IntToStr(static_cast<int>(AStatus)), AStatusText);
}

void TForm1::IdTCPServer1BeforeBind(TIdSocketHandle* AHandle) { Log(u"BeforeBind", AHandle->IP(), AHandle->PeerIP()); }

void TForm1::IdTCPServer1AfterBind(TObject* /*Sender*/) {
    Log(u"AfterBind");
    FWindow.SetButton1Caption(u"Disconnect");
}

void TForm1::IdTCPServer1BeforeListenerRun(TIdThread* /*AThread*/) { Log(u"BeforeListenerRun"); }

namespace {
// Behind a balancer, its health checks come several times a second per instance: they would bury
// the clients' entries, so their connection and end leave no list entry (their "Execute" status
// entries stay, where status entries are shown).
bool IsBalancersOwn(TIdContext* AContext) {
    const auto* context = dynamic_cast<TIdServerContext*>(AContext);
    return context && context->ProxyLocal();
}
}  // namespace

void TForm1::IdTCPServer1Connect(TIdContext* AContext) {
    if (!IsBalancersOwn(AContext)) Log(u"Connect", LocalIP(AContext), PeerIP(AContext));
}

void TForm1::IdTCPServer1Disconnect(TIdContext* AContext) {
    if (!IsBalancersOwn(AContext)) Log(u"Disconnect", LocalIP(AContext), PeerIP(AContext));
}

void TForm1::LogFigures() {
    if (!FIdTCPServer1) return;
    const TIdTCPServer& s = *FIdTCPServer1;
    Log(u"Figures", u"clients now " + IntToStr(s.ClientsNow()) + u", peak " + IntToStr(s.ClientsPeak()) +
                        u", accepted " + IntToStr(s.ClientsAccepted()) + u", refused " +
                        IntToStr(s.ClientsRefused()) + u", timed out " + IntToStr(s.ClientsTimedOut()));
}

void TForm1::IdTCPServer1Exception(TIdContext* /*AContext*/, Exception& AException) {
    Log(u"Exception", AException.Message());
}

void TForm1::IdTCPServer1ListenException(TIdListenerThread* /*AThread*/, Exception& AException) {
    Log(u"ListenException", AException.Message());
}

void TForm1::IdTCPServer1Execute(TIdContext* AContext) {
    if (FWindow.ShowsStatusEntries()) Log(u"Execute", LocalIP(AContext), PeerIP(AContext));
    try {
        TIdIOHandler* io = AContext->Connection()->IOHandler();
        const std::u16string line = io->ReadLn(u"\r\n", 200, -1, nullptr);
        TClientState& state = ClientState(AContext);
        if (const int idle = FIdleTimeout.load(); idle > 0 && IdleTooLong(state, *io, idle)) {
            if (FIdTCPServer1) FIdTCPServer1->CountTimedOut();
            EndClient(AContext);
            return;
        }
        if (line.empty()) return;
        Log(u"Receive", PeerIP(AContext), line);
        // Further lines that came with this one are answered in the same send; their entries
        // are those that a call of the service for each would make.
        const bool status = FWindow.ShowsStatusEntries();
        WriteReply(
            *io, line, state.Reply,
            [&] {
                if (status) Log(u"Execute", LocalIP(AContext), PeerIP(AContext));
            },
            [&](const std::u16string& AFurther) { Log(u"Receive", PeerIP(AContext), AFurther); });
    } catch (EIdReadLnMaxLineLengthExceeded&) {
        // The line stays unread, so every later read would fail the same way at once.
        EndClient(AContext);
    } catch (EIdConnClosedGracefully&) {
        // The client has gone; an unterminated line it left would keep it counted as connected.
        EndClient(AContext);
    } catch (EIdSocketError& E) {
        // A reply that waited the server's write time-out has closed the connection: the client
        // counts as ended by a time-out, as an idle one does.
        if ((E.LastError() == Id_WSAETIMEDOUT || E.LastError() == Id_WSAEWOULDBLOCK) && FIdTCPServer1)
            FIdTCPServer1->CountTimedOut();
    } catch (Exception&) {
        // Any other failure of the exchange ends the call quietly; the server then finds out
        // whether the connection still stands.
    }
}

void TForm1::Log(const std::u16string& aMsg, const std::u16string& aText1, const std::u16string& aText2) {
    // An entry is a status entry when "Execute" stands in it; no separator or time stamp can make
    // the word, so it stands in one of the parts.
    const bool status = ContainsStatusWord(aMsg) || ContainsStatusWord(aText1) || ContainsStatusWord(aText2);
    if (status && !FWindow.ShowsStatusEntries()) return;
    std::u16string entry;
    entry.reserve(14 + aMsg.size() + aText1.size() + aText2.size() + 6);
    AppendTimeStamp(entry, std::chrono::system_clock::now());
    entry += u"> ";
    AppendLogBody(entry, aMsg, aText1, aText2);
    FLog.Add(std::move(entry), status);
}

std::u16string TForm1::GetTimeStamp() { return FormatTimeStamp(std::chrono::system_clock::now()); }

void TForm1::ProcessMessages() {
    FWindow.ProcessMessages();
    FLog.Deliver();
}

}  // namespace Id
