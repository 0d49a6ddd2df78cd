// Components that use the socket stack, report status texts and report work progress.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include <IdFramework/core/IdBaseComponent.h>
#include <IdFramework/core/IdGlobal.h>

namespace Id {

enum class TIdStatus : uint8_t {
    hsResolving,
    hsConnecting,
    hsConnected,
    hsDisconnecting,
    hsDisconnected,
    hsStatusText,
    ftpTransfer,
    ftpReady,
    ftpAborted
};

enum class TWorkMode : uint8_t { wmRead, wmWrite };

using TIdStatusEvent = std::function<void(TObject* ASender, TIdStatus AStatus, const std::u16string& AStatusText)>;
using TWorkBeginEvent = std::function<void(TObject* ASender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TWorkEvent = std::function<void(TObject* ASender, TWorkMode AWorkMode, int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TObject* ASender, TWorkMode AWorkMode)>;

// The status texts, indexed by TIdStatus.
const std::u16string& IdStatusText(TIdStatus AStatus);

namespace detail {
// Holds one use of the process-wide socket stack for the lifetime of the object that derives it:
// taken before the component is built and given back after its owned components are gone.
class TIdStackUsage {
protected:
    TIdStackUsage();
    ~TIdStackUsage();
    TIdStackUsage(const TIdStackUsage&) = delete;
    TIdStackUsage& operator=(const TIdStackUsage&) = delete;
};
}  // namespace detail

class TIdComponent : private detail::TIdStackUsage, public TIdBaseComponent {
public:
    explicit TIdComponent(TComponent* AOwner = nullptr);
    ~TIdComponent() override;

    const TIdStatusEvent& OnStatus() const { return FOnStatus; }
    void SetOnStatus(TIdStatusEvent AValue) { FOnStatus = std::move(AValue); }
    const TWorkEvent& OnWork() const { return FOnWork; }
    void SetOnWork(TWorkEvent AValue) { FOnWork = std::move(AValue); }
    const TWorkBeginEvent& OnWorkBegin() const { return FOnWorkBegin; }
    void SetOnWorkBegin(TWorkBeginEvent AValue) { FOnWorkBegin = std::move(AValue); }
    const TWorkEndEvent& OnWorkEnd() const { return FOnWorkEnd; }
    void SetOnWorkEnd(TWorkEndEvent AValue) { FOnWorkEnd = std::move(AValue); }

    // When set, every work call goes to the target instead (not owned).
    TIdComponent* WorkTarget() const { return FWorkTarget; }
    void SetWorkTarget(TIdComponent* AValue) { FWorkTarget = AValue; }

    virtual void BeginWork(TWorkMode AWorkMode, int64_t ASize = 0);
    virtual void DoWork(TWorkMode AWorkMode, int64_t ACount);
    virtual void EndWork(TWorkMode AWorkMode);

    // Formats the status text only when someone listens; an empty argument list formats with one
    // empty text, so that "%s" becomes empty.
    void ReportStatus(TIdStatus AStatus);
    void ReportStatus(TIdStatus AStatus, const std::vector<TIdFormatArg>& AArgs);

private:
    struct TWorkInfo {
        int64_t Current = 0;
        int64_t Max = 0;
        int32_t Level = 0;
    };

    TIdStatusEvent FOnStatus;
    TWorkEvent FOnWork;
    TWorkBeginEvent FOnWorkBegin;
    TWorkEndEvent FOnWorkEnd;
    std::array<TWorkInfo, 2> FWorkInfos{};
    TIdComponent* FWorkTarget = nullptr;
};

// Lets long waits on the main thread keep a user interface alive. At most one instance per process.
class TIdAntiFreezeBase : public TIdBaseComponent {
public:
    // Raises EIdException when another instance exists (outside design mode).
    explicit TIdAntiFreezeBase(TComponent* AOwner = nullptr, bool ADesigning = false);
    ~TIdAntiFreezeBase() override;

    bool Active() const { return FActive; }
    void SetActive(bool AValue) { FActive = AValue; }
    bool ApplicationHasPriority() const { return FApplicationHasPriority; }
    void SetApplicationHasPriority(bool AValue) { FApplicationHasPriority = AValue; }
    int IdleTimeOut() const { return FIdleTimeOut; }
    // The waits step by this slice; 0 or less would never get through a wait, so it becomes the
    // smallest slice, 1 millisecond.
    void SetIdleTimeOut(int AValue) { FIdleTimeOut = AValue > 0 ? AValue : 1; }
    bool OnlyWhenIdle() const { return FOnlyWhenIdle; }
    void SetOnlyWhenIdle(bool AValue) { FOnlyWhenIdle = AValue; }

    virtual void Process() = 0;

    static TIdAntiFreezeBase* Instance();
    // An instance exists, the caller is the main thread and the instance is active.
    static bool ShouldUse();
    static void DoProcess(bool AIdle = true, bool AOverride = false);
    static void Sleep(int ATimeout);

private:
    bool FActive = true;
    bool FApplicationHasPriority = true;
    int FIdleTimeOut = 250;
    bool FOnlyWhenIdle = true;
};

}  // namespace Id
