#include <IdFramework/threads/IdThreadSafe.h>

#include <mutex>
#include <vector>

namespace Id {

int32_t TIdThreadSafeInteger::Value() {
    std::lock_guard guard(FCriticalSection);
    return FValue;
}

void TIdThreadSafeInteger::SetValue(int32_t AValue) {
    std::lock_guard guard(FCriticalSection);
    FValue = AValue;
}

int32_t TIdThreadSafeInteger::Increment() { return Increment(1); }

int32_t TIdThreadSafeInteger::Increment(int32_t AValue) {
    std::lock_guard guard(FCriticalSection);
    const int32_t old = FValue;
    FValue = static_cast<int32_t>(static_cast<uint32_t>(FValue) + static_cast<uint32_t>(AValue));
    return old;
}

int32_t TIdThreadSafeInteger::Decrement() { return Decrement(1); }

int32_t TIdThreadSafeInteger::Decrement(int32_t AValue) {
    std::lock_guard guard(FCriticalSection);
    const int32_t old = FValue;
    FValue = static_cast<int32_t>(static_cast<uint32_t>(FValue) - static_cast<uint32_t>(AValue));
    return old;
}

TIdThreadSafeList::~TIdThreadSafeList() {
    if (FOwnsObjects) ClearAndFree();
}

int TIdThreadSafeList::Count() {
    TIdListLock lock(*this);
    return lock.Items().Count();
}

bool TIdThreadSafeList::IsCountLessThan(TIdThreadSafeList* AList, uint32_t AValue) {
    if (!AList) return true;
    TIdListLock lock(*AList);
    return static_cast<uint32_t>(lock.Items().Count()) < AValue;
}

TObject* TIdThreadSafeList::Pop() {
    TIdListLock lock(*this);
    TList& items = lock.Items();
    if (items.Count() == 0) return nullptr;
    TObject* last = items[items.Count() - 1];
    items.Delete(items.Count() - 1);
    return last;
}

TObject* TIdThreadSafeList::Pull() {
    TIdListLock lock(*this);
    TList& items = lock.Items();
    if (items.Count() == 0) return nullptr;
    TObject* first = items[0];
    items.Delete(0);
    return first;
}

void TIdThreadSafeList::Assign(const TList& AList) {
    TIdListLock lock(*this);
    TList& items = lock.Items();
    items.Clear();
    items.SetCapacity(AList.Capacity());
    for (TObject* item : AList.Items()) items.Add(item);
}

void TIdThreadSafeList::Assign(TThreadList& AThreadList) {
    TIdListLock source(AThreadList);
    Assign(source.Items());
}

void TIdThreadSafeList::ClearAndFree() {
    TIdListLock lock(*this);
    TList& items = lock.Items();
    // Taken out before the first one goes: an entry may remove itself from this list as it is
    // freed (a yarn does), which would pull the entries from under a walk over the list itself.
    const std::vector<TObject*> entries = items.Items();
    items.Clear();
    for (TObject* item : entries) delete item;
}

}  // namespace Id
