#include <IdFramework/threads/IdScheduler.h>

#include <algorithm>
#include <chrono>

#include <IdFramework/core/IdGlobal.h>
#include <IdFramework/runtime/Thread.h>

namespace Id {

namespace {

constexpr uint32_t GTerminatePollInterval = 500;

}  // namespace

TIdScheduler::TIdScheduler(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

TIdScheduler::~TIdScheduler() = default;

void TIdScheduler::ReleaseYarn(TIdYarn* AYarn) {
    FActiveYarns.Remove(AYarn);
    if (!TIdThreadSafeList::IsEmpty(&FActiveYarns)) return;
    // Notified under the lock, so that a waiter cannot go on (and free the scheduler) before the
    // notification is done. A thread that releases its own yarn is waited for by the scheduler's
    // destructor in any case.
    std::lock_guard lock(FEmptyLock);
    ++FEmptyings;
    FEmptied.notify_all();
}

// The main thread answers Synchronize calls meanwhile, so that a thread that is ending through one
// cannot hold the poll loop up for ever; it looks at the list between short waits for them.
void TIdScheduler::PollPause() {
    const uint64_t seen = FEmptyings.load();
    if (TIdThreadSafeList::IsEmpty(&FActiveYarns)) return;
    if (!IsMainThread()) {
        std::unique_lock lock(FEmptyLock);
        FEmptied.wait_for(lock, std::chrono::milliseconds(GTerminatePollInterval),
                          [&] { return FEmptyings.load() != seen; });
        return;
    }
    constexpr uint32_t kSynchronizeStep = 10;
    const uint32_t start = TickNow();
    for (;;) {
        const uint32_t elapsed = TickSpan(start, TickNow());
        if (elapsed >= GTerminatePollInterval || FEmptyings.load() != seen) return;
        CheckSynchronize(static_cast<int>(std::min(kSynchronizeStep, GTerminatePollInterval - elapsed)));
    }
}

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
