// An I/O handler over one TCP socket, its Binding, which it owns. All socket calls go through the
// process-wide socket stack.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/stack/IdStack.h>

namespace Id {

class TIdSocketHandle;
class TIdIOHandlerSocket;

// Whether a client sets the address-reuse option before it binds (the server's ReuseSocket too).
enum class TIdReuseSocket : uint8_t { rsOSDependent, rsTrue, rsFalse };
constexpr TIdReuseSocket rsOSDependent = TIdReuseSocket::rsOSDependent;
constexpr TIdReuseSocket rsTrue = TIdReuseSocket::rsTrue;
constexpr TIdReuseSocket rsFalse = TIdReuseSocket::rsFalse;

using TIdIOHandlerSocketClass = std::function<TIdIOHandlerSocket*(TComponent* AOwner)>;
using TIdIOHandlerSocketNotifyEvent = std::function<void(TObject* ASender)>;

class TIdIOHandlerSocket : public TIdIOHandler {
public:
    explicit TIdIOHandlerSocket(TComponent* AOwner = nullptr);
    // Frees the binding (closing its socket), then the handler.
    ~TIdIOHandlerSocket() override;

    static const TIdIOHandlerClass& ClassRef();

    // Created by the first Open, reset by every later one; owned.
    TIdSocketHandle* Binding() const { return FBinding; }
    // A binding exists and its socket is allocated.
    bool BindingAllocated() const;

    // Resets (or first creates) the binding without a socket; a client with Host and Port
    // connects.
    void Open() override;
    // Closes the socket, then the handler part (intercept, Opened, write buffer).
    void Close() override;
    // Allocated and connected, or holding unread bytes.
    bool Connected() override;
    // Sends the file through the stack's transmit hook when there is one, write buffering is off
    // and AEnableTransferFile is set; otherwise as any handler. A missing file sends nothing and
    // answers 0.
    int64_t WriteFile(const std::u16string& AFile, bool AEnableTransferFile = false) override;

    // Host, and ":" Port when Port is set and differs from DefaultPort.
    std::u16string Destination() const override;
    // "host:port"; the text after the last colon is the port. Without a colon nothing changes.
    void SetDestination(const std::u16string& AValue) override;

    const std::u16string& BoundIP() const { return FBoundIP; }
    void SetBoundIP(const std::u16string& AValue) { FBoundIP = AValue; }
    uint16_t BoundPort() const { return FBoundPort; }
    void SetBoundPort(uint16_t AValue) { FBoundPort = AValue; }
    uint16_t BoundPortMax() const { return FBoundPortMax; }
    void SetBoundPortMax(uint16_t AValue) { FBoundPortMax = AValue; }
    uint16_t BoundPortMin() const { return FBoundPortMin; }
    void SetBoundPortMin(uint16_t AValue) { FBoundPortMin = AValue; }
    uint16_t DefaultPort() const { return FDefaultPort; }
    void SetDefaultPort(uint16_t AValue) { FDefaultPort = AValue; }
    TIdIPVersion IPVersion() const { return FIPVersion; }
    void SetIPVersion(TIdIPVersion AValue) { FIPVersion = AValue; }
    TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
    void SetReuseSocket(TIdReuseSocket AValue) { FReuseSocket = AValue; }
    // The binding's setting when there is a binding, else the wish for the next socket.
    bool UseNagle() const;
    void SetUseNagle(bool AValue);

    const TIdIOHandlerSocketNotifyEvent& OnBeforeBind() const { return FOnBeforeBind; }
    void SetOnBeforeBind(TIdIOHandlerSocketNotifyEvent AValue) { FOnBeforeBind = std::move(AValue); }
    const TIdIOHandlerSocketNotifyEvent& OnAfterBind() const { return FOnAfterBind; }
    void SetOnAfterBind(TIdIOHandlerSocketNotifyEvent AValue) { FOnAfterBind = std::move(AValue); }
    const TIdIOHandlerSocketNotifyEvent& OnSocketAllocated() const { return FOnSocketAllocated; }
    void SetOnSocketAllocated(TIdIOHandlerSocketNotifyEvent AValue) { FOnSocketAllocated = std::move(AValue); }

protected:
    // Client side: allocates, configures and binds the socket; a descendant connects it.
    virtual void ConnectToPeer();
    virtual void NotifyBeforeBind();
    virtual void NotifyAfterBind();
    virtual void NotifySocketAllocated();

    bool HasSource() override { return BindingAllocated(); }
    // 10058 and 10053 come back as an orderly loss; any other failure raises.
    int CheckTransportError(int AErrorCode) override;
    [[noreturn]] void RaiseTransportError(int AErrorCode) override;

private:
    // Owned.
    TIdSocketHandle* FBinding = nullptr;
    std::u16string FBoundIP;
    uint16_t FBoundPort = 0;
    uint16_t FBoundPortMax = 0;
    uint16_t FBoundPortMin = 0;
    uint16_t FDefaultPort = 0;
    TIdIOHandlerSocketNotifyEvent FOnBeforeBind;
    TIdIOHandlerSocketNotifyEvent FOnAfterBind;
    TIdIOHandlerSocketNotifyEvent FOnSocketAllocated;
    bool FUseNagle = true;
    TIdReuseSocket FReuseSocket = rsOSDependent;
    TIdIPVersion FIPVersion = Id_IPv4;
};

}  // namespace Id
