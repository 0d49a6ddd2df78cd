#include <IdFramework/server/IdCustomTCPServer.h>

#include <exception>
#include <memory>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdIOHandlerSocket.h>
#include <IdFramework/io/IdIntercept.h>
#include <IdFramework/io/IdServerIOHandler.h>
#include <IdFramework/io/IdServerIOHandlerStack.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/server/IdProxyProtocol.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/stack/IdStack.h>
#include <IdFramework/stack/IdStackBSDBase.h>
#include <IdFramework/threads/IdScheduler.h>
#include <IdFramework/threads/IdSchedulerOfThread.h>
#include <IdFramework/threads/IdSchedulerOfThreadDefault.h>

namespace Id {

// ---------------------------------------------------------------------------------------------
// Listener thread

TIdListenerThread::TIdListenerThread(TIdCustomTCPServer* AServer, TIdSocketHandle* ABinding)
    : TIdThread(true, true, u""), FBinding(ABinding), FServer(AServer) {}

TIdListenerThread::~TIdListenerThread() { FinishBody(); }

void TIdListenerThread::PrepareRun() {
    TIdThread::PrepareRun();
    if (FOnBeforeRun) FOnBeforeRun(this);
}

void TIdListenerThread::FinishRun() {
    TIdThread::FinishRun();
    FBinding->CloseSocket();
}

namespace {

// Pause before the next attempt to get a yarn after one failed; short enough that a stop is
// noticed within one accept wait step.
constexpr int kAcquireRetryPauseMs = 100;

// A context that a yarn's thread already holds as its task belongs to that thread: it goes
// with the thread, not a second time with the listener.
bool DetachFromYarnThread(TIdYarn* AYarn, TIdContext* AContext) {
    auto* yarn = dynamic_cast<TIdYarnOfThread*>(AYarn);
    TIdThreadWithTask* thread = yarn ? yarn->Thread() : nullptr;
    if (!thread || thread->Task() != AContext) return false;
    thread->SetTask(nullptr);  // frees the context
    return true;
}

// Hears when the component it watches is freed, for as long as it lives.
class TFreeWatch : public TComponent {
public:
    explicit TFreeWatch(TComponent* AWatched) : FWatched(AWatched) { FWatched->FreeNotification(this); }
    ~TFreeWatch() override {
        if (FWatched) FWatched->RemoveFreeNotification(this);
    }
    TFreeWatch(const TFreeWatch&) = delete;
    TFreeWatch& operator=(const TFreeWatch&) = delete;

    bool Freed() const { return FFreed; }

protected:
    void Notification(TComponent* AComponent, TOperation AOperation) override {
        TComponent::Notification(AComponent, AOperation);
        if (AOperation == TOperation::opRemove && AComponent == FWatched) {
            FWatched = nullptr;
            FFreed = true;
        }
    }

private:
    TComponent* FWatched;
    bool FFreed = false;
};

}  // namespace

TIdServerContext::~TIdServerContext() {
    if (FCounted && FServer) FServer->CountClientEnded();
}

void TIdCustomTCPServer::CountClientBegun() {
    const int now = FClientsNow.fetch_add(1, std::memory_order_relaxed) + 1;
    int peak = FClientsPeak.load(std::memory_order_relaxed);
    while (now > peak && !FClientsPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {}
}

void TIdListenerThread::RunStep() {
    TIdScheduler* scheduler = FServer->Scheduler();
    TIdYarn* yarn = nullptr;
    TIdTCPConnection* connection = nullptr;
    TIdServerContext* context = nullptr;
    // Gives back what the pass acquired when it fails.
    auto abandon = [&] {
        if (context) {
            context->SetOwnsConnection(false);
            if (!DetachFromYarnThread(yarn, context)) delete context;
        }
        delete connection;
        if (yarn) scheduler->TerminateYarn(yarn);
    };
    try {
        try {
            yarn = scheduler->AcquireYarn();
        } catch (Exception& e) {
            const bool report = !FAcquireFailing;
            FAcquireFailing = true;
            if (report) FServer->FireListenException(this, e);
            // Nothing was accepted: a waiting client stays pending until a yarn can be had.
            for (int waited = 0; waited < kAcquireRetryPauseMs && !Stopped(); waited += 10) SleepMs(10);
            return;
        }
        FAcquireFailing = false;
        std::unique_ptr<TIdIOHandler> handler(FServer->IOHandler()->Accept(FBinding, this, yarn));
        if (!handler) {
            // Listening is over.
            Stop();
            throw EAbort();
        }
        FServer->CountAccepted();
        connection = new TIdTCPConnection(nullptr);
        TIdIOHandler* accepted = handler.get();
        if (const int writeTimeout = FServer->WriteTimeout(); writeTimeout > 0) {
            if (auto* socket = dynamic_cast<TIdIOHandlerSocket*>(accepted); socket && socket->Binding())
                socket->Binding()->SetSockOpt(Id_SOL_SOCKET, Id_SO_SNDTIMEO, writeTimeout);
        }
        connection->SetIOHandler(handler.release());
        connection->SetManagedIOHandler(true);

        const int limit = FServer->MaxConnections();
        if (limit > 0 && !TIdThreadSafeList::IsCountLessThan(FServer->Contexts(), static_cast<uint32_t>(limit))) {
            FServer->CountRefused();
            FServer->MaxConnectionsExceeded(accepted);
            connection->Disconnect(true);
            throw EAbort();
        }

        {
            // A context class whose constructor raises after the context's base was built has
            // freed the connection with that base; only the pass frees it otherwise.
            TFreeWatch watch(connection);
            try {
                context = FServer->ContextClass()(connection, yarn, FServer->Contexts());
            } catch (...) {
                if (watch.Freed()) connection = nullptr;
                throw;
            }
        }
        context->SetServer(FServer);
        TIdCustomTCPServer* server = FServer;
        context->SetOnBeforeRun([server](TIdContext* AContext) {
            static_cast<TIdServerContext*>(AContext)->SetCounted();
            server->CountClientBegun();
            server->ContextListed(AContext);
            server->BeginContext(AContext);
        });
        context->SetOnRun([server](TIdContext* AContext) { return server->FireExecute(AContext); });
        context->SetOnAfterRun([server](TIdContext* AContext) { server->EndContext(AContext); });
        context->SetOnException(
            [server](TIdContext* AContext, Exception& AException) { server->FireException(AContext, AException); });
        FServer->AfterContextCreate(context);
        scheduler->StartYarn(yarn, context);
    } catch (Exception& e) {
        abandon();
        if (!dynamic_cast<EAbort*>(&e)) FServer->FireListenException(this, e);
    } catch (const std::exception& e) {
        // Failures of other kinds (no memory, an empty context class) are confined to the client
        // all the same; leaving the pass would end the listener for good.
        abandon();
        EIdException wrapped(FromUtf8(e.what()));
        FServer->FireListenException(this, wrapped);
    } catch (...) {
        abandon();
        EIdException wrapped(RSUnknownException);
        FServer->FireListenException(this, wrapped);
    }
}

// ---------------------------------------------------------------------------------------------
// Server

TIdCustomTCPServer::TIdCustomTCPServer(TComponent* AOwner)
    : TIdComponent(AOwner),
      FBindings(new TIdSocketHandles(this)),
      FContextClass([](TIdTCPConnection* AConnection, TIdYarn* AYarn, TIdThreadSafeList* AList) {
          return new TIdServerContext(AConnection, AYarn, AList);
      }),
      FListenerThreads(new TIdThreadSafeList),
      FContexts(new TIdThreadSafeList) {}

TIdCustomTCPServer::~TIdCustomTCPServer() {
    SetActive(false);
    if (FImplicitIOHandler) {
        FImplicitIOHandler = false;
        TIdServerIOHandler* handler = FIOHandler;
        FIOHandler = nullptr;
        delete handler;
    } else if (FIOHandler) {
        FIOHandler->RemoveFreeNotification(this);
        FIOHandler = nullptr;
    }
    FreeAndNil(FBindings);
    FreeAndNil(FContexts);
    FreeAndNil(FListenerThreads);
}

void TIdCustomTCPServer::SetActive(bool AValue) {
    if (ComponentIsLoading() || ComponentIsDesigning()) {
        FActive = AValue;
        return;
    }
    if (AValue == FActive) return;
    if (AValue) {
        ValidateActivation();
        Activate();
    } else {
        Deactivate();
    }
}

void TIdCustomTCPServer::Loaded() {
    TIdComponent::Loaded();
    if (FActive) {
        FActive = false;
        SetActive(true);
    }
}

void TIdCustomTCPServer::SetBindings(const TIdSocketHandles& AValue) { FBindings->Assign(AValue); }

uint16_t TIdCustomTCPServer::DefaultPort() const { return FBindings->DefaultPort(); }

void TIdCustomTCPServer::SetDefaultPort(uint16_t AValue) { FBindings->SetDefaultPort(AValue); }

void TIdCustomTCPServer::SetIntercept(TIdServerIntercept* AValue) {
    if (AValue == FIntercept) return;
    if (FIntercept) FIntercept->RemoveFreeNotification(this);
    FIntercept = AValue;
    if (FIntercept) FIntercept->FreeNotification(this);
}

void TIdCustomTCPServer::SetIOHandler(TIdServerIOHandler* AValue) {
    if (AValue == FIOHandler) return;
    if (FImplicitIOHandler) {
        FImplicitIOHandler = false;
        TIdServerIOHandler* old = FIOHandler;
        FIOHandler = nullptr;
        delete old;
    } else if (FIOHandler) {
        FIOHandler->RemoveFreeNotification(this);
    }
    FIOHandler = AValue;
    if (FIOHandler) {
        FIOHandler->FreeNotification(this);
        FIOHandler->SetScheduler(FScheduler);
    }
}

void TIdCustomTCPServer::SetScheduler(TIdScheduler* AValue) {
    if (FActive) EIdException::Toss(RSTCPServerSchedulerAlreadyActive);
    // Storing the scheduler that is already assigned changes nothing, implicit or not.
    if (AValue == FScheduler) return;
    if (FImplicitScheduler) {
        FImplicitScheduler = false;
        TIdScheduler* old = FScheduler;
        FScheduler = nullptr;
        delete old;
    } else if (FScheduler) {
        FScheduler->RemoveFreeNotification(this);
    }
    FScheduler = AValue;
    if (FScheduler) FScheduler->FreeNotification(this);
    if (FIOHandler) FIOHandler->SetScheduler(FScheduler);
}

void TIdCustomTCPServer::Notification(TComponent* AComponent, TOperation AOperation) {
    TIdComponent::Notification(AComponent, AOperation);
    if (AOperation != TOperation::opRemove) return;
    if (AComponent == FScheduler) {
        FScheduler = nullptr;
        FImplicitScheduler = false;
    }
    if (AComponent == FIOHandler) {
        FIOHandler = nullptr;
        FImplicitIOHandler = false;
    }
    if (AComponent == FIntercept) FIntercept = nullptr;
}

void TIdCustomTCPServer::Activate() {
    // Every client of the last run has ended by now; the clients of this one are not stopping.
    FStopping = false;
    if (FBindings->Count() == 0) {
        FBindings->Add();
        if (GSocketStack->SupportsIPv6()) FBindings->Add()->SetIPVersion(Id_IPv6);
    }
    if (!FIOHandler) {
        SetIOHandler(new TIdServerIOHandlerStack(this));
        FImplicitIOHandler = true;
    }
    FIOHandler->Init();
    if (!FScheduler) {
        auto* scheduler = new TIdSchedulerOfThreadDefault(this);
        SetScheduler(scheduler);
        scheduler->SetName(Name() + u"Scheduler");
        FImplicitScheduler = true;
    }
    FScheduler->Init();
    try {
        StartListening();
    } catch (...) {
        FActive = true;
        SetActive(false);
        throw;
    }
    FActive = true;
}

void TIdCustomTCPServer::Deactivate() {
    FActive = false;
    // Before the walk below takes the context list's lock: a context that lists itself after the
    // walk sees the flag and closes its own connection.
    FStopping = true;
    StopListening();
    {
        TIdListLock lock(*FContexts);
        for (TObject* item : lock.Items().Items()) StopContext(static_cast<TIdContext*>(item));
    }
    // No client thread is waited for while the context list is locked.
    try {
        if (FScheduler) FScheduler->TerminateAllYarns();
    } catch (...) {
        if (FImplicitScheduler) SetScheduler(nullptr);
        throw;
    }
    if (FImplicitScheduler) SetScheduler(nullptr);
    if (FIOHandler) FIOHandler->Shutdown();
}

void TIdCustomTCPServer::ContextListed(TIdContext* AContext) {
    if (FStopping) StopContext(AContext);
}

void TIdCustomTCPServer::StopContext(TIdContext* AContext) {
    // Closing the client's socket wakes its thread at once wherever it waits; the thread that owns
    // the connection then finds it closed and finishes the disconnect itself, so no other thread
    // touches the connection's state while it is in use.
    TIdTCPConnection* connection = AContext->Connection();
    if (!connection) return;
    if (TIdIOHandlerSocket* socket = connection->Socket()) {
        if (TIdSocketHandle* binding = socket->Binding()) binding->CloseSocket();
    }
}

void TIdCustomTCPServer::StartListening() {
    TIdListLock lock(*FListenerThreads);
    TList& listeners = lock.Items();
    const int firstNew = listeners.Count();
    int index = firstNew;
    try {
        while (index < FBindings->Count()) {
            TIdSocketHandle* binding = FBindings->Items(index);
            binding->AllocateSocket(Id_SOCK_STREAM, 0);
            // Left to the system, a port whose earlier connections still linger in TIME_WAIT can be
            // bound again at once, as a restart expects; some systems need the option for that.
            if (FReuseSocket == TIdReuseSocket::rsTrue ||
                (FReuseSocket == TIdReuseSocket::rsOSDependent && Id_RebindNeedsReuseAddr))
                binding->SetSockOpt(Id_SOL_SOCKET, Id_SO_REUSEADDR, 1);
            FireBeforeBind(binding);
            binding->Bind();
            binding->SetUseNagle(FUseNagle);
            ++index;
        }
    } catch (...) {
        // The failing binding keeps its socket until it is next allocated or destroyed.
        for (int k = index - 1; k >= 0; --k) FBindings->Items(k)->CloseSocket();
        throw;
    }
    if (index > firstNew) FireAfterBind();

    for (int i = firstNew; i < FBindings->Count(); ++i) {
        TIdSocketHandle* binding = FBindings->Items(i);
        binding->Listen(FListenQueue);
        auto* thread = new TIdListenerThread(this, binding);
        try {
            thread->SetName(Name() + u" Listener #" + IntToStr(i + 1));
            thread->SetOnBeforeRun([this](TIdThread* AThread) { FireBeforeListenerRun(AThread); });
            thread->SetPriority(TThreadPriority::tpHighest);
            listeners.Add(thread);
        } catch (...) {
            binding->CloseSocket();
            delete thread;
            throw;
        }
        thread->Start();
    }
}

void TIdCustomTCPServer::StopListening() {
    TIdListLock lock(*FListenerThreads);
    TList& listeners = lock.Items();
    while (listeners.Count() > 0) {
        auto* thread = static_cast<TIdListenerThread*>(listeners[0]);
        thread->Terminate();
        thread->Binding()->CloseSocket();
        thread->WaitFor();
        delete thread;
        listeners.Delete(0);
    }
}

void TIdCustomTCPServer::ReadProxyHeader(TIdContext* AContext) {
    TIdIOHandler* io = AContext->Connection()->IOHandler();
    TIdBuffer* input = io->InputBuffer();
    const uint32_t start = TickNow();
    TIdByteArray bytes;
    TIdProxyHeader header;
    size_t length = 0;
    // A header mostly comes in the connection's first packet; each further piece is parsed anew
    // from the start, which the header's length bound keeps cheap.
    while ((length = ParseProxyHeader(bytes.data(), bytes.size(), header)) == 0) {
        const int left = FProxyHeaderTimeout - static_cast<int>(TickSpan(start, TickNow()));
        if (left <= 0 || io->FillInputBuffer(true, left, false) < 0) {
            CountTimedOut();
            EIdProxyHeaderInvalid::Toss(RSProxyHeaderTimeout);
        }
        bytes.resize(static_cast<size_t>(input->Size()));
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = input->PeekByte(static_cast<int>(i));
    }
    // What follows the header is the client's own first bytes.
    input->Remove(static_cast<int>(length));
    if (header.Local) {
        if (auto* context = dynamic_cast<TIdServerContext*>(AContext)) context->SetProxyLocal(true);
        return;
    }
    TIdSocketHandle* binding = AContext->Binding();
    auto* stack = dynamic_cast<TIdStackBSDBase*>(GSocketStack);
    if (!binding || !stack) return;
    // The connection's own IP version stays: it is the socket's, whatever the client's is.
    binding->SetPeer(stack->TranslateTInAddrToString(header.SourceAddress.data(), header.IPVersion),
                     header.SourcePort, binding->IPVersion());
    binding->SetIP(stack->TranslateTInAddrToString(header.DestinationAddress.data(), header.IPVersion));
    binding->SetPort(header.DestinationPort);
}

void TIdCustomTCPServer::BeginContext(TIdContext* AContext) {
    if (FProxyProtocol) ReadProxyHeader(AContext);
    if (FIntercept) {
        TIdTCPConnection* connection = AContext->Connection();
        connection->IOHandler()->SetIntercept(FIntercept->Accept(connection));
        if (TIdConnectionIntercept* installed = connection->IOHandler()->Intercept()) installed->Connect(connection);
    }
    FireConnect(AContext);
}

void TIdCustomTCPServer::EndContext(TIdContext* AContext) {
    FireDisconnect(AContext);
    TIdTCPConnection* connection = AContext->Connection();
    TIdIOHandler* handler = connection ? connection->IOHandler() : nullptr;
    if (handler && handler->Intercept()) {
        TIdConnectionIntercept* intercept = handler->Intercept();
        intercept->Disconnect();
        delete intercept;
        handler->SetIntercept(nullptr);
    }
}

void TIdCustomTCPServer::FireBeforeBind(TIdSocketHandle* AHandle) {
    if (FOnBeforeBind) FOnBeforeBind(AHandle);
}

void TIdCustomTCPServer::FireAfterBind() {
    if (FOnAfterBind) FOnAfterBind(this);
}

void TIdCustomTCPServer::FireBeforeListenerRun(TIdThread* AThread) {
    if (FOnBeforeListenerRun) FOnBeforeListenerRun(AThread);
}

void TIdCustomTCPServer::FireConnect(TIdContext* AContext) {
    if (FOnConnect) FOnConnect(AContext);
}

void TIdCustomTCPServer::FireDisconnect(TIdContext* AContext) {
    if (FOnDisconnect) FOnDisconnect(AContext);
}

void TIdCustomTCPServer::FireException(TIdContext* AContext, Exception& AException) {
    if (FOnException) FOnException(AContext, AException);
}

bool TIdCustomTCPServer::FireExecute(TIdContext* AContext) {
    if (FOnExecute) FOnExecute(AContext);
    return AContext && AContext->Connection() && AContext->Connection()->Connected();
}

void TIdCustomTCPServer::FireListenException(TIdListenerThread* AThread, Exception& AException) {
    if (FOnListenException) FOnListenException(AThread, AException);
}

}  // namespace Id
