#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <IdFramework/core/IdComponent.h>
#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/stack/IdStack.h>

using namespace Id;

namespace {

struct TStatusLog {
    std::vector<std::pair<TIdStatus, std::u16string>> Entries;
    TIdStatusEvent Handler() {
        return [this](TObject*, TIdStatus AStatus, const std::u16string& AText) { Entries.emplace_back(AStatus, AText); };
    }
};

// Every work event as one line, with its sender.
struct TWorkLog {
    std::vector<std::string> Lines;
    void Attach(TIdComponent& AComponent) {
        AComponent.SetOnWorkBegin([this](TObject* ASender, TWorkMode AMode, int64_t AMax) {
            Lines.push_back(Name(ASender) + " begin " + std::to_string(static_cast<int>(AMode)) + " " + std::to_string(AMax));
        });
        AComponent.SetOnWork([this](TObject* ASender, TWorkMode AMode, int64_t ACount) {
            Lines.push_back(Name(ASender) + " work " + std::to_string(static_cast<int>(AMode)) + " " + std::to_string(ACount));
        });
        AComponent.SetOnWorkEnd([this](TObject* ASender, TWorkMode AMode) {
            Lines.push_back(Name(ASender) + " end " + std::to_string(static_cast<int>(AMode)));
        });
    }
    static std::string Name(TObject* ASender) { return ToUtf8(static_cast<TComponent*>(ASender)->Name()); }
};

class TProbeAntiFreeze : public TIdAntiFreezeBase {
public:
    using TIdAntiFreezeBase::TIdAntiFreezeBase;
    // A wait that never ends would call this for ever; it gives up after a bound.
    void Process() override {
        if (++Calls > 10000) throw EIdException(u"the wait does not end");
    }
    int Calls = 0;
};

}  // namespace

TEST(IdComponent, StatusTextsAreFormattedOnlyForAListener) {
    TIdComponent component;
    component.ReportStatus(TIdStatus::hsResolving);  // nobody listens: nothing is formatted, nothing raised
    TStatusLog log;
    component.SetOnStatus(log.Handler());
    component.ReportStatus(TIdStatus::hsConnected);
    component.ReportStatus(TIdStatus::hsStatusText);
    component.ReportStatus(TIdStatus::hsResolving, {std::u16string(u"example.org")});
    component.ReportStatus(TIdStatus::hsConnecting, {std::u16string(u"10.0.0.1")});
    component.ReportStatus(TIdStatus::hsDisconnecting);
    component.ReportStatus(TIdStatus::hsDisconnected);
    ASSERT_EQ(log.Entries.size(), 6u);
    EXPECT_EQ(log.Entries[0].second, u"Verbunden.");
    EXPECT_EQ(log.Entries[1].second, u"");
    EXPECT_EQ(log.Entries[2].second, u"Host-Name example.org wird aufgelöst.");
    EXPECT_EQ(log.Entries[3].second, u"Verbinden mit 10.0.0.1.");
    EXPECT_EQ(log.Entries[4].second, u"Verbindung wird getrennt.");
    EXPECT_EQ(log.Entries[5].second, u"Verbindung getrennt.");
    EXPECT_EQ(log.Entries[5].first, TIdStatus::hsDisconnected);
    // Arguments that do not fit the text reach the caller.
    EXPECT_THROW(component.ReportStatus(TIdStatus::hsResolving, {int64_t{5}}), EConvertError);
    EXPECT_EQ(component.Version(), u"" ID_FRAMEWORK_VERSION);
}

TEST(IdComponent, WorkNestsAndCountsReadAndWriteApart) {
    TIdComponent component;
    component.SetName(u"c");
    TWorkLog log;
    log.Attach(component);
    component.DoWork(TWorkMode::wmRead, 5);  // no begin: nothing
    component.BeginWork(TWorkMode::wmRead, 100);
    component.BeginWork(TWorkMode::wmRead, 50);
    component.BeginWork(TWorkMode::wmWrite, 7);
    component.DoWork(TWorkMode::wmRead, 10);
    component.DoWork(TWorkMode::wmWrite, 3);
    component.DoWork(TWorkMode::wmRead, 4);
    component.EndWork(TWorkMode::wmRead);
    component.EndWork(TWorkMode::wmWrite);
    component.EndWork(TWorkMode::wmRead);
    EXPECT_EQ(log.Lines, (std::vector<std::string>{"c begin 0 100", "c begin 1 7", "c work 0 10", "c work 1 3",
                                                   "c work 0 14", "c end 1", "c end 0"}));

    // An unmatched end drives the level below zero; the next begin then stays silent.
    log.Lines.clear();
    component.EndWork(TWorkMode::wmRead);
    component.BeginWork(TWorkMode::wmRead, 1);
    EXPECT_TRUE(log.Lines.empty());
}

TEST(IdComponent, WorkIsForwardedToTheTarget) {
    TIdComponent handler, connection;
    handler.SetName(u"handler");
    connection.SetName(u"connection");
    TWorkLog handlerLog, connectionLog;
    handlerLog.Attach(handler);
    connectionLog.Attach(connection);
    handler.SetWorkTarget(&connection);
    handler.BeginWork(TWorkMode::wmWrite, 20);
    handler.DoWork(TWorkMode::wmWrite, 8);
    handler.EndWork(TWorkMode::wmWrite);
    EXPECT_TRUE(handlerLog.Lines.empty());
    EXPECT_EQ(connectionLog.Lines, (std::vector<std::string>{"connection begin 1 20", "connection work 1 8",
                                                             "connection end 1"}));
    // The handler kept no progress of its own: without the target it starts afresh.
    handler.SetWorkTarget(nullptr);
    handler.BeginWork(TWorkMode::wmWrite, 2);
    EXPECT_EQ(handlerLog.Lines, (std::vector<std::string>{"handler begin 1 2"}));
}

TEST(IdComponent, ComponentsHoldTheSocketStack) {
    ASSERT_EQ(GSocketStackUsage, 0);
    {
        TIdComponent owner;
        EXPECT_EQ(GSocketStackUsage, 1);
        ASSERT_NE(GSocketStack, nullptr);
        TIdStack* stack = GSocketStack;
        auto* owned = new TIdComponent(&owner);  // freed by its owner
        (void)owned;
        EXPECT_EQ(GSocketStackUsage, 2);
        {
            TIdComponent other;
            EXPECT_EQ(GSocketStackUsage, 3);
        }
        EXPECT_EQ(GSocketStack, stack);
    }
    EXPECT_EQ(GSocketStackUsage, 0);
    EXPECT_EQ(GSocketStack, nullptr);
    // A later component creates a fresh stack.
    TIdComponent again;
    EXPECT_NE(GSocketStack, nullptr);
}

TEST(IdComponent, StackCreationFailureFailsTheComponent) {
    const TIdStackClass saved = GSocketStackType;
    GSocketStackType = []() -> TIdStack* { throw EIdStackInitializationFailed(u"kein Stack"); };
    EXPECT_THROW(TIdComponent component, EIdStackInitializationFailed);
    GSocketStackType = saved;
    EXPECT_EQ(GSocketStackUsage, 0);
}

TEST(IdAntiFreeze, OnlyOneInstanceOutsideDesignMode) {
    EXPECT_FALSE(TIdAntiFreezeBase::ShouldUse());
    {
        TProbeAntiFreeze first;
        EXPECT_EQ(TIdAntiFreezeBase::Instance(), &first);
        EXPECT_EQ(first.IdleTimeOut(), 250);
        EXPECT_TRUE(first.OnlyWhenIdle());
        try {
            TProbeAntiFreeze second;
            FAIL();
        } catch (const EIdException& e) {
            EXPECT_EQ(e.Message(), u"Pro Anwendung darf nur ein TIdAntiFreeze vorhanden sein.");
        }
        TProbeAntiFreeze designed(nullptr, true);
        EXPECT_EQ(TIdAntiFreezeBase::Instance(), &first);
    }
    EXPECT_EQ(TIdAntiFreezeBase::Instance(), nullptr);
}

// A slice of 0 or less cannot take a wait anywhere; it counts as the smallest one.
TEST(IdAntiFreeze, ANonPositiveIdleSliceStillEndsTheWait) {
    TProbeAntiFreeze antiFreeze;
    ASSERT_TRUE(TIdAntiFreezeBase::ShouldUse());  // the tests run on the main thread
    for (int idle : {0, -5}) {
        antiFreeze.SetIdleTimeOut(idle);
        EXPECT_EQ(antiFreeze.IdleTimeOut(), 1);
        antiFreeze.Calls = 0;
        TIdAntiFreezeBase::Sleep(5);
        EXPECT_EQ(antiFreeze.Calls, 5);
    }
}
