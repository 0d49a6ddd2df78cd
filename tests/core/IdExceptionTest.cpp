#include <gtest/gtest.h>

#include "core/IdExceptionCore.h"
#include "core/IdResourceStringsCore.h"
#include "runtime/SysUtils.h"

using namespace Id;

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
