#include <IdFramework/io/IdIOHandlerStack.h>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/stack/IdStack.h>

namespace Id {

TIdIOHandlerStack::TIdIOHandlerStack(TComponent* AOwner) : TIdIOHandlerSocket(AOwner) {}

const TIdIOHandlerClass& TIdIOHandlerStack::ClassRef() {
    // Never destroyed: servers at namespace scope make handlers until their destructors have run.
    static const TIdIOHandlerClass* const ref = new TIdIOHandlerClass{
        u"TIdIOHandlerStack", &TIdIOHandlerSocket::ClassRef(),
        [](TComponent* AOwner) -> TIdIOHandler* { return new TIdIOHandlerStack(AOwner); }};
    return *ref;
}

bool TIdIOHandlerStack::Connected() {
    // A full chunk of unread input already makes the answer true. Polling then would only pull in
    // more: a peer that sends faster than its lines are read would grow the input buffer without
    // bound, one chunk per question, while reads take one line each.
    // Below that, everything ready is taken, up to a chunk: a peer's close that came right behind
    // its last bytes is then noticed by this question, not by some later one.
    // Right after a read whose wait ran out, the socket has just been asked: a close that comes
    // now is found by the next read as soon as by this question, and an idle connection's wake
    // makes one system call instead of two.
    if (WaitTimedOutJustNow()) return TIdIOHandlerSocket::Connected();
    try {
        while (InputBuffer()->Size() < RecvBufferSize() && !ClosedGracefully() && FillInputBuffer(false, 0, false) > 0) {
        }
    } catch (const EIdConnClosedGracefully&) {
        // Closed from another thread meanwhile: answered below.
    }
    return TIdIOHandlerSocket::Connected();
}

void TIdIOHandlerStack::CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) {
    bool lost;
    if (ClosedGracefully()) {
        // A peer that has only finished sending still takes replies: the socket stays open while
        // a complete line waits to be read and answered.
        if (BindingAllocated() && !HoldsCompleteLine()) {
            Close();
            ReportStatus(TIdStatus::hsDisconnected);
        }
        lost = true;
    } else {
        lost = !BindingAllocated();
    }
    if (lost && ARaiseExceptionIfDisconnected && (AIgnoreBuffer || InputBufferIsEmpty()))
        EIdConnClosedGracefully::Toss(RSConnectionClosedGracefully);
}

bool TIdIOHandlerStack::HoldsCompleteLine() const { return InputBuffer()->IndexOf(static_cast<uint8_t>(LF)) >= 0; }

bool TIdIOHandlerStack::Readable(int AMSec) {
    if (!Binding()) EIdConnClosedGracefully::Toss(RSConnectionClosedGracefully);
    return Binding()->Readable(AMSec);
}

int TIdIOHandlerStack::ReceiveChunk(TIdByteArray& VBuffer) { return Binding()->Receive(VBuffer); }

bool TIdIOHandlerStack::ReceiveChunkWithin(TIdByteArray& VBuffer, int ATimeout, int& VCount) {
    if (!Binding()) EIdConnClosedGracefully::Toss(RSConnectionClosedGracefully);
    return Binding()->ReceiveWithin(VBuffer, ATimeout, VCount);
}

int TIdIOHandlerStack::SendChunk(const TIdByteArray& ABuffer, int AOffset, int ALength) {
    return Binding()->Send(ABuffer, AOffset, ALength);
}

void TIdIOHandlerStack::ConnectToPeer() {
    TIdIOHandlerSocket::ConnectToPeer();
    Binding()->SetPeer(GSocketStack->ResolveHost(Host(), IPVersion()), static_cast<uint16_t>(Port()), IPVersion());
    Binding()->Connect(ConnectTimeout());
}

}  // namespace Id
