// The socket I/O handler over the process-wide socket stack: the default I/O handler class and
// the class of every handler a server creates for an accepted client.
#pragma once

#include <IdFramework/io/IdIOHandlerSocket.h>

namespace Id {

class TIdIOHandlerStack : public TIdIOHandlerSocket {
public:
    explicit TIdIOHandlerStack(TComponent* AOwner = nullptr);

    static const TIdIOHandlerClass& ClassRef();

    // Polls first (whatever arrived moves into the input buffer, a peer's close is noticed), then
    // the socket handler's answer.
    bool Connected() override;
    // A noticed peer close closes the handler and reports hsDisconnected, once, as soon as the
    // input holds no complete line (no LF): until then the socket stays open, so that the lines
    // the peer sent before it closed can still be answered. The connection is lost after a
    // noticed peer close or when no socket is allocated. Raises EIdConnClosedGracefully when lost,
    // ARaiseExceptionIfDisconnected is set and AIgnoreBuffer is set or nothing is buffered.
    void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true, bool AIgnoreBuffer = false) override;
    // The binding's readiness wait; a socket closed meanwhile raises EIdConnClosedGracefully.
    bool Readable(int AMSec = TimeoutForever) override;

protected:
    // The input holds a complete line: one ended by LF, as CR LF lines are too.
    bool HoldsCompleteLine() const;
    int ReceiveChunk(TIdByteArray& VBuffer) override;
    // Through the binding's ReceiveWithin: one OS call per chunk where the system can wait in it.
    bool ReceiveChunkWithin(TIdByteArray& VBuffer, int ATimeout, int& VCount) override;
    int SendChunk(const TIdByteArray& ABuffer, int AOffset, int ALength) override;
    // Client side only: binds, then connects the binding to Host and Port.
    void ConnectToPeer() override;
};

}  // namespace Id
