#include "io/IdIOHandlerStack.h"

#include "core/IdExceptionCore.h"
#include "core/IdResourceStringsCore.h"
#include "stack/IdSocketHandle.h"
#include "stack/IdStack.h"

namespace Id {

TIdIOHandlerStack::TIdIOHandlerStack(TComponent* AOwner) : TIdIOHandlerSocket(AOwner) {}

const TIdIOHandlerClass& TIdIOHandlerStack::ClassRef() {
    static const TIdIOHandlerClass ref{u"TIdIOHandlerStack", &TIdIOHandlerSocket::ClassRef(),
                                       [](TComponent* AOwner) -> TIdIOHandler* { return new TIdIOHandlerStack(AOwner); }};
    return ref;
}

bool TIdIOHandlerStack::Connected() {
    // A full chunk of unread input already makes the answer true. Polling then would only pull in
    // more: a peer that sends faster than its lines are read would grow the input buffer without
    // bound, one chunk per question, while reads take one line each.
    if (InputBuffer()->Size() < RecvBufferSize()) {
        try {
            FillInputBuffer(false, 0, false);
        } catch (const EIdConnClosedGracefully&) {
            // Closed from another thread meanwhile: answered below.
        }
    }
    return TIdIOHandlerSocket::Connected();
}

void TIdIOHandlerStack::CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) {
    bool lost;
    if (ClosedGracefully()) {
        if (BindingAllocated()) {
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

bool TIdIOHandlerStack::Readable(int AMSec) {
    if (!Binding()) EIdConnClosedGracefully::Toss(RSConnectionClosedGracefully);
    return Binding()->Readable(AMSec);
}

int TIdIOHandlerStack::ReceiveChunk(TIdByteArray& VBuffer) { return Binding()->Receive(VBuffer); }

int TIdIOHandlerStack::SendChunk(const TIdByteArray& ABuffer, int AOffset, int ALength) {
    return Binding()->Send(ABuffer, AOffset, ALength);
}

void TIdIOHandlerStack::ConnectToPeer() {
    TIdIOHandlerSocket::ConnectToPeer();
    Binding()->SetPeer(GSocketStack->ResolveHost(Host(), IPVersion()), static_cast<uint16_t>(Port()), IPVersion());
    Binding()->Connect();
}

}  // namespace Id
