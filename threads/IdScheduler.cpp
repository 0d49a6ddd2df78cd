#include "threads/IdScheduler.h"

#include "core/IdGlobal.h"
#include "runtime/Thread.h"

namespace Id {

namespace {

constexpr uint32_t GTerminatePollInterval = 500;

// Sleeps for the poll interval; the main thread answers Synchronize calls meanwhile, so that a
// thread that is ending through one cannot hold the poll loop up for ever.
void PollPause() {
    if (!IsMainThread()) {
        SleepMs(GTerminatePollInterval);
        return;
    }
    const uint32_t start = TickNow();
    for (;;) {
        const uint32_t elapsed = TickSpan(start, TickNow());
        if (elapsed >= GTerminatePollInterval) return;
        CheckSynchronize(static_cast<int>(GTerminatePollInterval - elapsed));
    }
}

}  // namespace

TIdScheduler::TIdScheduler(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

TIdScheduler::~TIdScheduler() = default;

void TIdScheduler::ReleaseYarn(TIdYarn* AYarn) { FActiveYarns.Remove(AYarn); }

void TIdScheduler::TerminateAllYarns() {
    for (;;) {
        {
            TIdListLock lock(FActiveYarns);
            TList& yarns = lock.Items();
            if (yarns.Count() == 0) return;
            // Backwards: a yarn released here leaves the list on this thread while it is locked.
            for (int i = yarns.Count() - 1; i >= 0; --i) {
                if (i >= yarns.Count()) continue;
                TerminateYarn(static_cast<TIdYarn*>(yarns[i]));
            }
        }
        // Unlocked, so that threads that are ending can take their yarns out.
        PollPause();
    }
}

}  // namespace Id
