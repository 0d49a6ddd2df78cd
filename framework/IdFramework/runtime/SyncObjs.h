// Re-entrant lock of the runtime: the same thread may take it again while it holds it.
#pragma once

#include <mutex>

namespace Id {

class TCriticalSection {
public:
    TCriticalSection() = default;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    void Acquire() { FMutex.lock(); }
    void Release() { FMutex.unlock(); }
    void Enter() { Acquire(); }
    void Leave() { Release(); }
    bool TryEnter() { return FMutex.try_lock(); }

    // BasicLockable, so that std::lock_guard / std::unique_lock work on it.
    void lock() { Acquire(); }
    void unlock() { Release(); }
    bool try_lock() { return TryEnter(); }

private:
    std::recursive_mutex FMutex;
};

}  // namespace Id
