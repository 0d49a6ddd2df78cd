#include <IdFramework/core/IdComponent.h>

#include <atomic>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
#include <IdFramework/stack/IdStack.h>

namespace Id {

const std::u16string& IdStatusText(TIdStatus AStatus) {
    // Never destroyed: a server at namespace scope reports statuses while it stops after main.
    static const auto* const texts = new std::array<std::u16string, 9>{
        RSStatusResolving, RSStatusConnecting, RSStatusConnected, RSStatusDisconnecting, RSStatusDisconnected,
        RSStatusText,      RSStatusText,       RSStatusText,      RSStatusText};
    return texts->at(static_cast<size_t>(AStatus));
}

namespace detail {
TIdStackUsage::TIdStackUsage() { TIdStack::IncUsage(); }
TIdStackUsage::~TIdStackUsage() { TIdStack::DecUsage(); }
}  // namespace detail

TIdComponent::TIdComponent(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

TIdComponent::~TIdComponent() = default;

void TIdComponent::ReportStatus(TIdStatus AStatus) { ReportStatus(AStatus, {}); }

void TIdComponent::ReportStatus(TIdStatus AStatus, const std::vector<TIdFormatArg>& AArgs) {
    if (!FOnStatus) return;
    const std::u16string text =
        AArgs.empty() ? FormatInvariantArgs(IdStatusText(AStatus), {std::u16string()}) : FormatInvariantArgs(IdStatusText(AStatus), AArgs);
    FOnStatus(this, AStatus, text);
}

void TIdComponent::BeginWork(TWorkMode AWorkMode, int64_t ASize) {
    if (FWorkTarget) {
        FWorkTarget->BeginWork(AWorkMode, ASize);
        return;
    }
    TWorkInfo& info = FWorkInfos[static_cast<size_t>(AWorkMode)];
    ++info.Level;
    if (info.Level == 1) {
        info.Max = ASize;
        info.Current = 0;
        if (FOnWorkBegin) FOnWorkBegin(this, AWorkMode, ASize);
    }
}

void TIdComponent::DoWork(TWorkMode AWorkMode, int64_t ACount) {
    if (FWorkTarget) {
        FWorkTarget->DoWork(AWorkMode, ACount);
        return;
    }
    TWorkInfo& info = FWorkInfos[static_cast<size_t>(AWorkMode)];
    if (info.Level > 0) {
        info.Current += ACount;
        if (FOnWork) FOnWork(this, AWorkMode, info.Current);
    }
}

void TIdComponent::EndWork(TWorkMode AWorkMode) {
    if (FWorkTarget) {
        FWorkTarget->EndWork(AWorkMode);
        return;
    }
    TWorkInfo& info = FWorkInfos[static_cast<size_t>(AWorkMode)];
    if (info.Level == 1 && FOnWorkEnd) FOnWorkEnd(this, AWorkMode);
    --info.Level;
}

namespace {
std::atomic<TIdAntiFreezeBase*> GAntiFreeze{nullptr};
}

TIdAntiFreezeBase::TIdAntiFreezeBase(TComponent* AOwner, bool ADesigning) : TIdBaseComponent(AOwner) {
    SetDesigning(ADesigning);
    if (!ADesigning) {
        TIdAntiFreezeBase* expected = nullptr;
        if (!GAntiFreeze.compare_exchange_strong(expected, this)) EIdException::Toss(RSOnlyOneAntiFreeze);
    }
}

TIdAntiFreezeBase::~TIdAntiFreezeBase() {
    TIdAntiFreezeBase* self = this;
    GAntiFreeze.compare_exchange_strong(self, nullptr);
}

TIdAntiFreezeBase* TIdAntiFreezeBase::Instance() { return GAntiFreeze.load(); }

bool TIdAntiFreezeBase::ShouldUse() {
    TIdAntiFreezeBase* instance = GAntiFreeze.load();
    return instance && OnMainThread() && instance->Active();
}

void TIdAntiFreezeBase::DoProcess(bool AIdle, bool AOverride) {
    if (ShouldUse()) {
        TIdAntiFreezeBase* instance = GAntiFreeze.load();
        if (AIdle || !instance->OnlyWhenIdle() || AOverride) instance->Process();
    }
}

void TIdAntiFreezeBase::Sleep(int ATimeout) {
    if (!ShouldUse()) {
        if (ATimeout > 0) SleepMs(static_cast<uint32_t>(ATimeout));
        return;
    }
    const int idle = GAntiFreeze.load()->IdleTimeOut();
    while (ATimeout > idle) {
        SleepMs(static_cast<uint32_t>(idle));
        ATimeout -= idle;
        DoProcess(true, false);
    }
    if (ATimeout > 0) SleepMs(static_cast<uint32_t>(ATimeout));
    DoProcess(true, false);
}

}  // namespace Id
