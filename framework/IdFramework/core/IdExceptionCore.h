// The framework's exception classes below EIdException.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <IdFramework/core/IdException.h>
#include <IdFramework/core/IdGlobal.h>

namespace Id {

// Socket handles.
ID_DECLARE_EXCEPTION(EIdSocketHandleError, EIdException);
ID_DECLARE_EXCEPTION(EIdPackageSizeTooBig, EIdSocketHandleError);
ID_DECLARE_EXCEPTION(EIdNotAllBytesSent, EIdSocketHandleError);
ID_DECLARE_EXCEPTION(EIdCouldNotBindSocket, EIdSocketHandleError);
ID_DECLARE_EXCEPTION(EIdCanNotBindPortInRange, EIdSocketHandleError);
ID_DECLARE_EXCEPTION(EIdInvalidPortRange, EIdSocketHandleError);
ID_DECLARE_EXCEPTION(EIdCannotSetIPVersionWhenConnected, EIdSocketHandleError);

ID_DECLARE_EXCEPTION(EIdInvalidIPv6Address, EIdException);
ID_DECLARE_EXCEPTION(EIdInvalidServiceName, EIdException);

// Socket library start-up and entry failures: an operating-system code, its text and a title.
class EIdWinsockStubError : public TIdExceptionOf<EIdWinsockStubError, EIdException> {
public:
    // Code 0: the message is the title, as Build makes it for code 0.
    explicit EIdWinsockStubError(std::u16string AMsg) : TIdExceptionOf(AMsg), FTitle(std::move(AMsg)) {}
    // The message is the title, followed by ": " and the system's text when the code is not 0.
    static EIdWinsockStubError Build(uint32_t AWin32Error, std::u16string_view ATitle,
                                     const std::vector<TIdFormatArg>& AArgs);
    uint32_t Win32Error() const noexcept { return FWin32Error; }
    const std::u16string& Win32ErrorMessage() const noexcept { return FWin32ErrorMessage; }
    const std::u16string& Title() const noexcept { return FTitle; }

private:
    uint32_t FWin32Error = 0;
    std::u16string FWin32ErrorMessage;
    std::u16string FTitle;
};

// Stack.
ID_DECLARE_EXCEPTION(EIdStackError, EIdException);
ID_DECLARE_EXCEPTION(EIdStackInitializationFailed, EIdStackError);
ID_DECLARE_EXCEPTION(EIdStackSetSizeExceeded, EIdStackError);
ID_DECLARE_EXCEPTION(EIdIPVersionUnsupported, EIdStackError);
ID_DECLARE_EXCEPTION(EIdIPv6Unavailable, EIdException);

// A failed socket call: the Windows socket error number and its translated text.
class EIdSocketError : public TIdExceptionOf<EIdSocketError, EIdException> {
public:
    EIdSocketError(int AErr, std::u16string AMsg) : TIdExceptionOf(std::move(AMsg)), FLastError(AErr) {}
    // No number known: LastError is 0.
    explicit EIdSocketError(std::u16string AMsg) : EIdSocketError(0, std::move(AMsg)) {}
    static EIdSocketError CreateError(int AErr, const std::u16string& AMsg) { return EIdSocketError(AErr, AMsg); }
    int LastError() const noexcept { return FLastError; }

private:
    int FLastError;
};

class EIdNotASocket : public TIdExceptionOf<EIdNotASocket, EIdSocketError> {
public:
    using TIdExceptionOf::TIdExceptionOf;
    static EIdNotASocket CreateError(int AErr, const std::u16string& AMsg) { return EIdNotASocket(AErr, AMsg); }
};

// Connections and I/O.
ID_DECLARE_EXCEPTION(EIdAlreadyConnected, EIdException);
ID_DECLARE_EXCEPTION(EIdClosedSocket, EIdException);
ID_DECLARE_EXCEPTION(EIdReadTimeout, EIdException);
ID_DECLARE_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException);
ID_DECLARE_EXCEPTION(EIdReadLnWaitMaxAttemptsExceeded, EIdException);
ID_DECLARE_EXCEPTION(EIdPortRequired, EIdException);
ID_DECLARE_EXCEPTION(EIdHostRequired, EIdException);
ID_DECLARE_EXCEPTION(EIdTCPConnectionError, EIdException);
ID_DECLARE_EXCEPTION(EIdObjectTypeNotSupported, EIdTCPConnectionError);
ID_DECLARE_EXCEPTION(EIdNoDataToRead, EIdTCPConnectionError);
ID_DECLARE_EXCEPTION(EIdFileNotFound, EIdTCPConnectionError);
ID_DECLARE_EXCEPTION(EIdNotConnected, EIdException);
ID_DECLARE_EXCEPTION(EIdConnectTimeout, EIdException);
// A connection behind a balancer that did not begin with a valid PROXY protocol header.
ID_DECLARE_EXCEPTION(EIdProxyHeaderInvalid, EIdException);
ID_DECLARE_EXCEPTION(EIdConnectException, EIdException);
ID_DECLARE_EXCEPTION(EIdTransparentProxyCantBind, EIdException);
ID_DECLARE_EXCEPTION(EIdMaxCaptureLineExceeded, EIdException);
ID_DECLARE_EXCEPTION(EIdNotEnoughDataInBuffer, EIdException);
ID_DECLARE_EXCEPTION(EIdTooMuchDataInBuffer, EIdException);
ID_DECLARE_EXCEPTION(EIdInterceptCircularLink, EIdException);
ID_DECLARE_EXCEPTION(EIdIOHandler, EIdException);
ID_DECLARE_EXCEPTION(EIdIOHandlerRequiresLargeStream, EIdIOHandler);
ID_DECLARE_EXCEPTION(EIdIOHandlerStreamDataTooLarge, EIdIOHandler);
ID_DECLARE_EXCEPTION(EIdTransparentProxyCircularLink, EIdException);
ID_DECLARE_EXCEPTION(EIdTransparentProxyUDPNotSupported, EIdException);
ID_DECLARE_EXCEPTION(EIdSocksUDPNotSupportedBySOCKSVersion, EIdException);

// SOCKS proxies (client side).
ID_DECLARE_EXCEPTION(EIdSocksError, EIdException);
ID_DECLARE_EXCEPTION(EIdSocksRequestFailed, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksRequestServerFailed, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksRequestIdentFailed, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksUnknownError, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksServerRespondError, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksAuthMethodError, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksAuthError, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksServerGeneralError, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksServerPermissionError, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksServerNetUnreachableError, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksServerHostUnreachableError, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksServerConnectionRefusedError, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksServerTTLExpiredError, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksServerCommandError, EIdSocksError);
ID_DECLARE_EXCEPTION(EIdSocksServerAddressError, EIdSocksError);

// Protocol replies (client side).
ID_DECLARE_EXCEPTION(EIdReplyError, EIdException);
class EIdReplyRFCError : public TIdExceptionOf<EIdReplyRFCError, EIdReplyError> {
public:
    EIdReplyRFCError(int AErrorCode, std::u16string AReplyMessage)
        : TIdExceptionOf(std::move(AReplyMessage)), FErrorCode(AErrorCode) {}
    // No reply code known: ErrorCode is 0.
    explicit EIdReplyRFCError(std::u16string AReplyMessage) : EIdReplyRFCError(0, std::move(AReplyMessage)) {}
    int ErrorCode() const noexcept { return FErrorCode; }

private:
    int FErrorCode;
};

// Threads, scheduler, server.
ID_DECLARE_EXCEPTION(EIdThreadException, EIdException);
ID_DECLARE_EXCEPTION(EIdThreadTerminateAndWaitFor, EIdThreadException);
ID_DECLARE_EXCEPTION(EIdSchedulerException, EIdException);
ID_DECLARE_EXCEPTION(EIdSchedulerMaxThreadsExceeded, EIdSchedulerException);
ID_DECLARE_EXCEPTION(EIdTCPServerError, EIdException);
ID_DECLARE_EXCEPTION(EIdTCPNoOnExecute, EIdTCPServerError);

}  // namespace Id
