// The multi-threaded TCP server component: bindings, one listener thread per binding, a scheduler
// that gives each client a thread, and the events raised for listeners and clients.
//
// The life of a client. A listener thread accepts it, applies MaxConnections (a client beyond it is
// closed at once, after MaxConnectionsExceeded), makes its context (ContextClass) and starts a
// thread of its own for it; every client event below runs on that thread, never on the thread that
// started the server, and handlers of different clients run at the same time:
//   1. OnConnect, once.
//   2. OnExecute (TIdTCPServer), again and again for as long as the connection counts as connected.
//      The server calls it in a loop: a handler must wait for input (ReadLn with a time-out, for
//      example) or it spins a processor core. It returns to let the server check the connection.
//   3. OnDisconnect, once, when OnConnect has completed: after the client closed, the handler
//      closed the connection, the server stopped, or an exception escaped a handler.
//   4. OnException, after OnDisconnect, when an exception escaped OnConnect or OnExecute. That
//      includes the normal end of a client that closes while the handler reads:
//      EIdConnClosedGracefully (an EIdSilentException) is raised by the read and, when the handler
//      lets it escape, arrives here too. Test for EIdSilentException to tell a normal end from a
//      failure, or catch it in the handler.
// Then the context leaves Contexts() and the thread frees it with its connection, I/O handler and
// socket. One client's failure never reaches another client or a listener.
//
// Listener events run on the listener threads: OnBeforeListenerRun once per listener,
// OnListenException for an accept pass that failed (the listener goes on). OnBeforeBind and
// OnAfterBind run on the thread that sets Active.
//
// Ownership: the server owns its bindings, its contexts list and what it made itself (the implicit
// scheduler and I/O handler); a scheduler or I/O handler assigned from outside stays its owner's.
// Each context owns its connection: keep neither past OnDisconnect.
//
// SetActive(false), and the destructor, stop the listeners, close every client's connection (a
// read waiting in a handler raises EIdClosedSocket or EIdConnClosedGracefully) and wait until every
// client thread has ended; they must not be called from a client's own handler.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>

#include <IdFramework/core/IdComponent.h>
#include <IdFramework/io/IdIOHandlerSocket.h>
#include <IdFramework/server/IdContext.h>
#include <IdFramework/threads/IdThread.h>
#include <IdFramework/threads/IdThreadSafe.h>

namespace Id {

class TIdCustomTCPServer;
class TIdIOHandler;
class TIdListenerThread;
class TIdScheduler;
class TIdServerContext;
class TIdServerIntercept;
class TIdServerIOHandler;
class TIdSocketHandle;
class TIdSocketHandles;
class TIdTCPConnection;

using TIdServerThreadEvent = std::function<void(TIdContext* AContext)>;
using TIdServerThreadExceptionEvent = std::function<void(TIdContext* AContext, Exception& AException)>;
using TIdListenExceptionEvent = std::function<void(TIdListenerThread* AThread, Exception& AException)>;
using TIdSocketHandleEvent = std::function<void(TIdSocketHandle* AHandle)>;

// The class of the contexts the server creates for its clients.
using TIdServerContextClass =
    std::function<TIdServerContext*(TIdTCPConnection* AConnection, TIdYarn* AYarn, TIdThreadSafeList* AList)>;

// The context class the server creates by default: a context that knows its server.
class TIdServerContext : public TIdContext {
public:
    using TIdContext::TIdContext;
    // Counted out of the server's clients now, if it was counted in.
    ~TIdServerContext() override;
    TIdCustomTCPServer* Server() const { return FServer; }
    void SetServer(TIdCustomTCPServer* AServer) { FServer = AServer; }
    // With ProxyProtocol: the balancer's own connection (a health check) rather than a client's,
    // so that a handler may leave it out of its log. Its Binding keeps the connection's addresses.
    bool ProxyLocal() const { return FProxyLocal; }
    void SetProxyLocal(bool AValue) { FProxyLocal = AValue; }
    // Set when the client's thread began to serve it: it counts among the server's clients now.
    void SetCounted() { FCounted = true; }

private:
    TIdCustomTCPServer* FServer = nullptr;  // not owned
    bool FProxyLocal = false;
    bool FCounted = false;
};

// Waits for clients on one binding and turns each into a context running on a thread of its own.
class TIdListenerThread : public TIdThread {
public:
    // Created suspended and looping, without a name.
    TIdListenerThread(TIdCustomTCPServer* AServer, TIdSocketHandle* ABinding);
    // Ends the body while the object is whole.
    ~TIdListenerThread() override;

    TIdSocketHandle* Binding() const { return FBinding; }
    TIdCustomTCPServer* Server() const { return FServer; }
    const TIdNotifyThreadEvent& OnBeforeRun() const { return FOnBeforeRun; }
    void SetOnBeforeRun(TIdNotifyThreadEvent AValue) { FOnBeforeRun = std::move(AValue); }

protected:
    void PrepareRun() override;
    // One accept pass; every failure is confined to the client concerned.
    void RunStep() override;
    void FinishRun() override;

private:
    // A run of passes that could not get a yarn (thread limit, threads refused by the system):
    // reported once, then waited out in short pauses instead of failing pass after pass.
    bool FAcquireFailing = false;
    TIdSocketHandle* FBinding;     // belongs to the server's Bindings
    TIdCustomTCPServer* FServer;   // not owned
    TIdNotifyThreadEvent FOnBeforeRun;
};

class TIdCustomTCPServer : public TIdComponent {
public:
    explicit TIdCustomTCPServer(TComponent* AOwner = nullptr);
    // Stops the server, frees an implicit I/O handler, then the bindings and the lists.
    ~TIdCustomTCPServer() override;

    bool Active() const { return FActive; }
    void SetActive(bool AValue);
    TIdSocketHandles* Bindings() const { return FBindings; }
    virtual void SetBindings(const TIdSocketHandles& AValue);
    uint16_t DefaultPort() const;
    virtual void SetDefaultPort(uint16_t AValue);
    TIdServerIntercept* Intercept() const { return FIntercept; }
    virtual void SetIntercept(TIdServerIntercept* AValue);
    TIdServerIOHandler* IOHandler() const { return FIOHandler; }
    virtual void SetIOHandler(TIdServerIOHandler* AValue);
    int ListenQueue() const { return FListenQueue; }
    void SetListenQueue(int AValue) { FListenQueue = AValue; }
    // Clients served at once; 0, the default: no limit.
    int MaxConnections() const { return FMaxConnections; }
    void SetMaxConnections(int AValue) { FMaxConnections = AValue; }
    // Milliseconds a reply may take to be handed to the system on an accepted connection before
    // that client is ended (a peer that never reads would hold a thread and memory for ever);
    // 0, the default: no limit. Applies to connections accepted after it is set.
    int WriteTimeout() const { return FWriteTimeout; }
    void SetWriteTimeout(int AValue) { FWriteTimeout = std::max(AValue, 0); }
    // Behind a load balancer: every connection must begin with a PROXY protocol header (version 1
    // or 2), read on the client's thread before OnConnect. The client's Binding then names the
    // header's source as PeerIP and PeerPort and its destination as IP and Port. A connection
    // whose header is missing, malformed or not complete within ProxyHeaderTimeout milliseconds is
    // closed without OnConnect, OnExecute or OnDisconnect and reported once through OnException
    // (EIdProxyHeaderInvalid). Off by default; applies to connections accepted after it is set.
    bool ProxyProtocol() const { return FProxyProtocol; }
    void SetProxyProtocol(bool AValue) { FProxyProtocol = AValue; }
    int ProxyHeaderTimeout() const { return FProxyHeaderTimeout; }
    void SetProxyHeaderTimeout(int AValue) { FProxyHeaderTimeout = std::max(AValue, 1); }
    TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
    void SetReuseSocket(TIdReuseSocket AValue) { FReuseSocket = AValue; }
    bool UseNagle() const { return FUseNagle; }
    void SetUseNagle(bool AValue) { FUseNagle = AValue; }
    // Stored only: stopping waits for its threads without a time limit.
    int TerminateWaitTime() const { return FTerminateWaitTime; }
    void SetTerminateWaitTime(int AValue) { FTerminateWaitTime = AValue; }
    TIdScheduler* Scheduler() const { return FScheduler; }
    virtual void SetScheduler(TIdScheduler* AValue);

    // Figures for an operator, kept without a lock on any client's path and read at any time from
    // any thread: clients served now and at most at once since the server was made, connections
    // accepted, connections closed on arrival by MaxConnections, and clients ended by a time-out
    // (a PROXY header that did not come in time, or a handler's own limit, see CountTimedOut).
    int ClientsNow() const { return FClientsNow.load(std::memory_order_relaxed); }
    int ClientsPeak() const { return FClientsPeak.load(std::memory_order_relaxed); }
    int64_t ClientsAccepted() const { return FClientsAccepted.load(std::memory_order_relaxed); }
    int64_t ClientsRefused() const { return FClientsRefused.load(std::memory_order_relaxed); }
    int64_t ClientsTimedOut() const { return FClientsTimedOut.load(std::memory_order_relaxed); }
    // For a handler that ends a client for a time-out of its own (an idle limit, a write time-out).
    void CountTimedOut() { FClientsTimedOut.fetch_add(1, std::memory_order_relaxed); }
    // Called on the listener's and the client's threads as clients come and go.
    void CountAccepted() { FClientsAccepted.fetch_add(1, std::memory_order_relaxed); }
    void CountRefused() { FClientsRefused.fetch_add(1, std::memory_order_relaxed); }
    void CountClientBegun();
    void CountClientEnded() { FClientsNow.fetch_sub(1, std::memory_order_relaxed); }

    TIdThreadSafeList* Contexts() const { return FContexts; }
    const TIdServerContextClass& ContextClass() const { return FContextClass; }
    void SetContextClass(TIdServerContextClass AValue) { FContextClass = std::move(AValue); }
    bool ImplicitIOHandler() const { return FImplicitIOHandler; }
    bool ImplicitScheduler() const { return FImplicitScheduler; }

    const TIdSocketHandleEvent& OnBeforeBind() const { return FOnBeforeBind; }
    void SetOnBeforeBind(TIdSocketHandleEvent AValue) { FOnBeforeBind = std::move(AValue); }
    const TNotifyEvent& OnAfterBind() const { return FOnAfterBind; }
    void SetOnAfterBind(TNotifyEvent AValue) { FOnAfterBind = std::move(AValue); }
    const TIdNotifyThreadEvent& OnBeforeListenerRun() const { return FOnBeforeListenerRun; }
    void SetOnBeforeListenerRun(TIdNotifyThreadEvent AValue) { FOnBeforeListenerRun = std::move(AValue); }
    // The client events, on the client's own thread (see the top of this file for their order).
    const TIdServerThreadEvent& OnConnect() const { return FOnConnect; }
    void SetOnConnect(TIdServerThreadEvent AValue) { FOnConnect = std::move(AValue); }
    const TIdServerThreadEvent& OnDisconnect() const { return FOnDisconnect; }
    void SetOnDisconnect(TIdServerThreadEvent AValue) { FOnDisconnect = std::move(AValue); }
    // Also raised for EIdConnClosedGracefully that a handler let escape: a client's normal end.
    const TIdServerThreadExceptionEvent& OnException() const { return FOnException; }
    void SetOnException(TIdServerThreadExceptionEvent AValue) { FOnException = std::move(AValue); }
    // On the listener thread whose accept pass failed; that listener goes on with the next pass.
    const TIdListenExceptionEvent& OnListenException() const { return FOnListenException; }
    void SetOnListenException(TIdListenExceptionEvent AValue) { FOnListenException = std::move(AValue); }

    // Binds and listens on every binding that has no listener yet and starts their listeners.
    void StartListening();
    // Stops and frees every listener.
    void StopListening();

    // Raised for a listener or a context; public so that the listener and contexts reach them.
    virtual void AfterContextCreate(TIdContext* AContext) { (void)AContext; }
    virtual void BeginContext(TIdContext* AContext);
    virtual void EndContext(TIdContext* AContext);
    virtual void FireBeforeBind(TIdSocketHandle* AHandle);
    virtual void FireAfterBind();
    virtual void FireBeforeListenerRun(TIdThread* AThread);
    virtual void FireConnect(TIdContext* AContext);
    virtual void FireDisconnect(TIdContext* AContext);
    virtual void FireException(TIdContext* AContext, Exception& AException);
    // Raises OnExecute; answers whether the client is still connected.
    virtual bool FireExecute(TIdContext* AContext);
    virtual void FireListenException(TIdListenerThread* AThread, Exception& AException);
    virtual void MaxConnectionsExceeded(TIdIOHandler* AIOHandler) { (void)AIOHandler; }
    // Called on a client's thread once its context is listed. A stop closes the connections it
    // finds listed; a client accepted just before the stop may list itself only after that walk,
    // so it closes its own connection here instead of reading on while the stop waits for it.
    void ContextListed(TIdContext* AContext);

protected:
    virtual void ValidateActivation() {}
    virtual void Activate();
    virtual void Deactivate();
    // Ends a client's connection when the server stops.
    virtual void StopContext(TIdContext* AContext);
    // Reads and applies the PROXY protocol header at the start of a client's connection.
    virtual void ReadProxyHeader(TIdContext* AContext);
    void Loaded() override;
    void Notification(TComponent* AComponent, TOperation AOperation) override;

    TIdServerThreadEvent FOnExecute;

private:
    bool FActive = false;
    // Set from the beginning of a stop until the next start; read by client threads.
    std::atomic<bool> FStopping{false};
    TIdScheduler* FScheduler = nullptr;       // owned only while FImplicitScheduler
    TIdSocketHandles* FBindings = nullptr;    // owned
    TIdServerContextClass FContextClass;
    bool FImplicitScheduler = false;
    bool FImplicitIOHandler = false;
    TIdServerIntercept* FIntercept = nullptr;  // not owned
    TIdServerIOHandler* FIOHandler = nullptr;  // owned only while FImplicitIOHandler
    TIdThreadSafeList* FListenerThreads = nullptr;  // owned, with its threads
    int FListenQueue = 15;
    int FMaxConnections = 0;
    int FWriteTimeout = 0;
    bool FProxyProtocol = false;
    std::atomic<int> FClientsNow{0};
    std::atomic<int> FClientsPeak{0};
    std::atomic<int64_t> FClientsAccepted{0};
    std::atomic<int64_t> FClientsRefused{0};
    std::atomic<int64_t> FClientsTimedOut{0};
    int FProxyHeaderTimeout = 3000;
    TIdReuseSocket FReuseSocket = TIdReuseSocket::rsOSDependent;
    int FTerminateWaitTime = 5000;
    TIdThreadSafeList* FContexts = nullptr;  // owned (the list, not its members)
    TIdServerThreadEvent FOnConnect;
    TIdServerThreadEvent FOnDisconnect;
    TIdServerThreadExceptionEvent FOnException;
    TIdListenExceptionEvent FOnListenException;
    TIdSocketHandleEvent FOnBeforeBind;
    TNotifyEvent FOnAfterBind;
    TIdNotifyThreadEvent FOnBeforeListenerRun;
    bool FUseNagle = true;
};

}  // namespace Id
