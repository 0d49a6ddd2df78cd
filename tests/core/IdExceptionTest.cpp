#include <gtest/gtest.h>

#include <typeinfo>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include <IdFramework/runtime/SysUtils.h>
#include <IdFramework/threads/IdThread.h>

using namespace Id;

namespace {

template <class... TClasses>
struct TClassList {};

// Every exception class of the framework.
using TExceptionTree = TClassList<
    EIdException, EIdSilentException, EIdConnClosedGracefully, EIdSocketHandleError, EIdPackageSizeTooBig,
    EIdNotAllBytesSent, EIdCouldNotBindSocket, EIdCanNotBindPortInRange, EIdInvalidPortRange,
    EIdCannotSetIPVersionWhenConnected, EIdInvalidIPv6Address, EIdInvalidServiceName, EIdWinsockStubError,
    EIdStackError, EIdStackInitializationFailed, EIdStackSetSizeExceeded, EIdIPVersionUnsupported,
    EIdIPv6Unavailable, EIdSocketError, EIdNotASocket, EIdAlreadyConnected, EIdClosedSocket, EIdReadTimeout,
    EIdReadLnMaxLineLengthExceeded, EIdReadLnWaitMaxAttemptsExceeded, EIdPortRequired, EIdHostRequired,
    EIdTCPConnectionError, EIdObjectTypeNotSupported, EIdNoDataToRead, EIdFileNotFound, EIdNotConnected,
    EIdConnectTimeout, EIdConnectException, EIdTransparentProxyCantBind, EIdMaxCaptureLineExceeded,
    EIdNotEnoughDataInBuffer, EIdTooMuchDataInBuffer, EIdInterceptCircularLink, EIdIOHandler,
    EIdIOHandlerRequiresLargeStream, EIdIOHandlerStreamDataTooLarge, EIdTransparentProxyCircularLink,
    EIdTransparentProxyUDPNotSupported, EIdSocksUDPNotSupportedBySOCKSVersion, EIdSocksError,
    EIdSocksRequestFailed, EIdSocksRequestServerFailed, EIdSocksRequestIdentFailed, EIdSocksUnknownError,
    EIdSocksServerRespondError, EIdSocksAuthMethodError, EIdSocksAuthError, EIdSocksServerGeneralError,
    EIdSocksServerPermissionError, EIdSocksServerNetUnreachableError, EIdSocksServerHostUnreachableError,
    EIdSocksServerConnectionRefusedError, EIdSocksServerTTLExpiredError, EIdSocksServerCommandError,
    EIdSocksServerAddressError, EIdReplyError, EIdReplyRFCError, EIdThreadException,
    EIdThreadTerminateAndWaitFor, EIdSchedulerException, EIdSchedulerMaxThreadsExceeded, EIdTCPServerError,
    EIdTCPNoOnExecute, EIdThreadCreateFailed>;

template <class TClass>
void ExpectTossRaisesExactly() {
    static_assert(CIdTossesItself<TClass>);
    try {
        TClass::Toss(u"m");
    } catch (const EIdException& e) {
        EXPECT_TRUE(typeid(e) == typeid(TClass)) << "raised " << ToUtf8(e.ClassName());
        EXPECT_EQ(e.Message(), u"m");
        return;
    }
    ADD_FAILURE() << typeid(TClass).name() << "::Toss raised nothing";
}

template <class... TClasses>
void ExpectEveryTossRaisesExactly(TClassList<TClasses...>) {
    (ExpectTossRaisesExactly<TClasses>(), ...);
}

}  // namespace

TEST(Exceptions, TossRaisesExactClassCatchableByItsBases) {
    try {
        EIdSchedulerMaxThreadsExceeded::Toss(RSSchedulerMaxThreadsExceeded);
        FAIL();
    } catch (const EIdSchedulerException& e) {
        EXPECT_NE(dynamic_cast<const EIdSchedulerMaxThreadsExceeded*>(&e), nullptr);
        EXPECT_EQ(e.Message(), u"Die maximale Thread-Anzahl für diesen Scheduler ist überschritten.");
        EXPECT_EQ(e.ClassName(), u"EIdSchedulerMaxThreadsExceeded");
        EXPECT_STREQ(e.what(), "Die maximale Thread-Anzahl für diesen Scheduler ist überschritten.");
    }
    EXPECT_THROW(EIdConnClosedGracefully::Toss(RSConnectionClosedGracefully), EIdSilentException);
    EXPECT_THROW(EIdTCPNoOnExecute::Toss(RSNoOnExecute), EIdTCPServerError);
    EXPECT_THROW(EIdIOHandlerStreamDataTooLarge::Toss(u""), EIdIOHandler);
    EXPECT_THROW(EIdSocksServerTTLExpiredError::Toss(u""), EIdSocksError);
    EXPECT_THROW(EIdException::Toss(u""), Exception);
}

// A class that relied on its parent's Toss would raise the parent; the fields of the classes that
// carry more than a message travel with a Toss given them.
TEST(Exceptions, EveryClassTossesExactlyItself) {
    ExpectEveryTossRaisesExactly(TExceptionTree{});
    try {
        EIdNotASocket::Toss(10038, u"x");
    } catch (const EIdSocketError& e) {
        EXPECT_TRUE(typeid(e) == typeid(EIdNotASocket));
        EXPECT_EQ(e.LastError(), 10038);
    }
    try {
        EIdSocketError::Toss(10054, u"y");
    } catch (const EIdException& e) {
        const auto* socketError = dynamic_cast<const EIdSocketError*>(&e);
        ASSERT_NE(socketError, nullptr);
        EXPECT_EQ(socketError->LastError(), 10054);
    }
    try {
        EIdWinsockStubError::Toss(u"T");
    } catch (const EIdWinsockStubError& e) {
        EXPECT_EQ(e.Title(), u"T");
        EXPECT_EQ(e.Win32Error(), 0u);
    }
    try {
        EIdReplyRFCError::Toss(550, u"no");
    } catch (const EIdReplyError& e) {
        const auto* rfc = dynamic_cast<const EIdReplyRFCError*>(&e);
        ASSERT_NE(rfc, nullptr);
        EXPECT_EQ(rfc->ErrorCode(), 550);
    }
}

TEST(Exceptions, SocketErrorsCarryTheirNumber) {
    try {
        throw EIdNotASocket::CreateError(10038, u"x");
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10038);
        EXPECT_NE(dynamic_cast<const EIdNotASocket*>(&e), nullptr);
    }
}

TEST(Exceptions, StubErrorMessageWithAndWithoutCode) {
    const auto plain = EIdWinsockStubError::Build(0, u"Fehler beim Laden der Winsock2-Bibliothek (%s)", {u"lib"});
    EXPECT_EQ(plain.Message(), plain.Title());
    EXPECT_EQ(plain.Title(), u"Fehler beim Laden der Winsock2-Bibliothek (lib)");
    const auto coded = EIdWinsockStubError::Build(22, u"T %s", {u"f"});
    EXPECT_EQ(coded.Win32Error(), 22u);
    EXPECT_FALSE(coded.Win32ErrorMessage().empty());
    EXPECT_EQ(coded.Message(), u"T f: " + coded.Win32ErrorMessage());
}

TEST(Exceptions, ConversionErrorMessage) {
    try {
        StrToInt(u"");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), u"'''' ist kein gültiger Integer-Wert");
    }
    try {
        StrToInt(u"abc");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), u"''abc'' ist kein gültiger Integer-Wert");
    }
    EXPECT_EQ(StrToInt(u"70000"), 70000);
    EXPECT_EQ(StrToInt(u"-2147483648"), INT32_MIN);
    EXPECT_THROW(StrToInt(u"2147483648"), EConvertError);
    EXPECT_EQ(StrToInt(u"$1F"), 31);
    EXPECT_THROW(StrToInt(u"12 "), EConvertError);
}
