#include <IdFramework/io/IdIOHandlerSocket.h>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/stack/IdStack.h>

namespace Id {

TIdIOHandlerSocket::TIdIOHandlerSocket(TComponent* AOwner) : TIdIOHandler(AOwner) {}

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
    if (FBinding) FBinding->CloseSocket();
    FreeAndNil(FBinding);
}

const TIdIOHandlerClass& TIdIOHandlerSocket::ClassRef() {
    // Abstract: a descendant supplies the transfers. Never destroyed, as every class reference.
    static const TIdIOHandlerClass* const ref = new TIdIOHandlerClass{u"TIdIOHandlerSocket", &TIdIOHandler::ClassRef(), nullptr};
    return *ref;
}

bool TIdIOHandlerSocket::BindingAllocated() const { return FBinding && FBinding->HandleAllocated(); }

void TIdIOHandlerSocket::Open() {
    TIdIOHandler::Open();
    if (!FBinding) {
        FBinding = new TIdSocketHandle(nullptr);
    } else {
        // A socket still held from an earlier connection is closed, not just forgotten.
        FBinding->CloseSocket();
        FBinding->Reset(true);
    }
    FBinding->SetClientPortMin(FBoundPortMin);
    FBinding->SetClientPortMax(FBoundPortMax);
    if (!Host().empty() && Port() > 0) ConnectToPeer();
}

void TIdIOHandlerSocket::Close() {
    if (FBinding) FBinding->CloseSocket();
    TIdIOHandler::Close();
}

bool TIdIOHandlerSocket::Connected() {
    return (BindingAllocated() && TIdIOHandler::Connected()) || !InputBufferIsEmpty();
}

int TIdIOHandlerSocket::CheckTransportError(int AErrorCode) {
    return GSocketStack->CheckForSocketError(AErrorCode, {10058, 10053});
}

void TIdIOHandlerSocket::RaiseTransportError(int AErrorCode) {
    GSocketStack->RaiseSocketError(AErrorCode);
    throw EIdSocketError(AErrorCode, u"");  // not reached: the stack raises
}

int64_t TIdIOHandlerSocket::WriteFile(const std::u16string& AFile, bool AEnableTransferFile) {
    if (!FileExists(AFile)) return 0;
    if (GTransmitFileHook && !WriteBufferingActive() && AEnableTransferFile && FBinding)
        return FBinding->TransmitFile(AFile);
    return TIdIOHandler::WriteFile(AFile, AEnableTransferFile);
}

std::u16string TIdIOHandlerSocket::Destination() const {
    std::u16string result = Host();
    // Appended piecewise: GCC 12 at -O3 warns falsely (-Wrestrict) on a "literal + temporary" here.
    if (Port() > 0 && Port() != FDefaultPort) {
        result += u':';
        result += IntToStr(Port());
    }
    return result;
}

void TIdIOHandlerSocket::SetDestination(const std::u16string& AValue) {
    const size_t colon = AValue.rfind(u':');
    if (colon == std::u16string::npos) return;
    SetHost(AValue.substr(0, colon));
    const std::u16string portText = Trim(AValue.substr(colon + 1, 255));
    SetPort(StrToIntTrimmed(portText, FDefaultPort));
}

bool TIdIOHandlerSocket::UseNagle() const { return FBinding ? FBinding->UseNagle() : FUseNagle; }

void TIdIOHandlerSocket::SetUseNagle(bool AValue) {
    FUseNagle = AValue;
    if (FBinding) FBinding->SetUseNagle(AValue);
}

void TIdIOHandlerSocket::ConnectToPeer() {
    NotifyBeforeBind();
    FBinding->SetIPVersion(FIPVersion);
    FBinding->AllocateSocket(Id_SOCK_STREAM);
    NotifySocketAllocated();
    FBinding->SetIP(FBoundIP);
    FBinding->SetPort(FBoundPort);
    FBinding->SetClientPortMin(FBoundPortMin);
    FBinding->SetClientPortMax(FBoundPortMax);
    if (FReuseSocket == rsTrue) FBinding->SetSockOpt(Id_SOL_SOCKET, Id_SO_REUSEADDR, 1);
    FBinding->Bind();
    FBinding->SetUseNagle(FUseNagle);
    NotifyAfterBind();
}

void TIdIOHandlerSocket::NotifyBeforeBind() {
    if (FOnBeforeBind) FOnBeforeBind(this);
}

void TIdIOHandlerSocket::NotifyAfterBind() {
    if (FOnAfterBind) FOnAfterBind(this);
}

void TIdIOHandlerSocket::NotifySocketAllocated() {
    if (FOnSocketAllocated) FOnSocketAllocated(this);
}

}  // namespace Id
