// Locks, a locked integer and a locked object list shared between the framework's threads.
#pragma once

#include <cstdint>

#include <IdFramework/runtime/Classes.h>
#include <IdFramework/runtime/SyncObjs.h>

namespace Id {

// Re-entrant: the same thread may acquire it again while holding it.
class TIdCriticalSection : public TCriticalSection {};

class TIdThreadSafe : public TObject {
public:
    void Lock() { FCriticalSection.Acquire(); }
    void Unlock() { FCriticalSection.Release(); }

protected:
    TIdCriticalSection FCriticalSection;
};

class TIdThreadSafeInteger : public TIdThreadSafe {
public:
    int32_t Value();
    void SetValue(int32_t AValue);
    // Each answers the value before the change.
    int32_t Increment();
    int32_t Increment(int32_t AValue);
    int32_t Decrement();
    int32_t Decrement(int32_t AValue);

private:
    int32_t FValue = 0;
};

// A locked list of object references (duplicates ignored) that may own its entries.
class TIdThreadSafeList : public TThreadList {
public:
    ~TIdThreadSafeList() override;

    int Count();
    // True when ALIST is absent, or when Count < AValue compared as unsigned 32-bit numbers.
    static bool IsCountLessThan(TIdThreadSafeList* AList, uint32_t AValue);
    bool IsCountLessThan(uint32_t AValue) { return IsCountLessThan(this, AValue); }
    static bool IsEmpty(TIdThreadSafeList* AList) { return IsCountLessThan(AList, 1); }
    bool IsEmpty() { return IsEmpty(this); }
    // Remove and answer the last / first entry; nothing when empty.
    TObject* Pop();
    TObject* Pull();
    // Replaces the entries with those of AList, in order.
    void Assign(const TList& AList);
    void Assign(TThreadList& AThreadList);
    // Empties the list, then frees its former entries, first to last; an entry may unlist itself
    // as it goes.
    void ClearAndFree();

    bool OwnsObjects() const { return FOwnsObjects; }
    void SetOwnsObjects(bool AValue) { FOwnsObjects = AValue; }

private:
    bool FOwnsObjects = false;
};

// Holds a locked list for the lifetime of a scope.
class TIdListLock {
public:
    explicit TIdListLock(TThreadList& AList) : FList(AList), FItems(AList.LockList()) {}
    ~TIdListLock() { FList.UnlockList(); }
    TIdListLock(const TIdListLock&) = delete;
    TIdListLock& operator=(const TIdListLock&) = delete;
    TList& Items() { return FItems; }

private:
    TThreadList& FList;
    TList& FItems;
};

}  // namespace Id
