#include <IdFramework/io/IdServerIOHandlerSocket.h>

#include <memory>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/stack/IdStack.h>
#include <IdFramework/threads/IdThread.h>

namespace Id {

namespace {

constexpr int kAcceptWaitMs = 250;
// Pause between accept attempts while the process has no descriptor or memory to spare;
// short enough that a stop is still noticed within one wait step.
constexpr int kExhaustedPauseMs = 100;

// Windows numbers of EMFILE and ENOBUFS; ENFILE and ENOMEM have none and keep their own.
bool IsResourceExhaustion(int AError) { return AError == 10024 || AError == 10055 || AError == 23 || AError == 12; }

// Per listener thread: whether the current run of exhausted accepts has been reported.
thread_local bool tExhaustionReported = false;

void PauseUnlessStopped(TIdThread* AListenerThread) {
    for (int waited = 0; waited < kExhaustedPauseMs && !AListenerThread->Stopped(); waited += 10) SleepMs(10);
}

}  // namespace

TIdIOHandler* TIdServerIOHandlerSocket::Accept(TIdSocketHandle* ASocket, TIdThread* AListenerThread, TIdYarn*) {
    if (!FIOHandlerSocketClass) throw EAbstractError();
    std::unique_ptr<TIdIOHandlerSocket> handler(FIOHandlerSocketClass(nullptr));
    handler->Open();
    while (!AListenerThread->Stopped()) {
        if (!ASocket->Select(kAcceptWaitMs)) continue;
        if (handler->Binding()->Accept(*ASocket)) {
            tExhaustionReported = false;
            handler->AfterAccept();
            return handler.release();
        }
        // The pending connection stays pending when the process is out of descriptors or memory,
        // so the listening socket stays readable: without a pause this loop would spin. (A closed
        // listener answers with an error of its own, never with an older failure's.)
        const int error = GSocketStack->WSGetLastError();
        if (IsResourceExhaustion(error)) {
            if (!tExhaustionReported) {
                tExhaustionReported = true;
                GSocketStack->RaiseSocketError(error);
            }
            PauseUnlessStopped(AListenerThread);
        }
    }
    return nullptr;
}

}  // namespace Id
