// A process-wide object that is made on first use, in storage of its own, and never destroyed.
// Components at namespace scope may use such objects before this unit's static initialisation and
// from their destructors after main has returned. Holding the object in static storage rather than
// on the heap means that making it needs no memory beyond what its own constructor takes: a thread
// whose allocations fail may still be the first to reach a lock or a condition.
#pragma once

#include <new>
#include <utility>

namespace Id {

template <class T>
class TNeverDestroyed {
public:
    template <class... TArgs>
    explicit TNeverDestroyed(TArgs&&... AArgs) {
        ::new (static_cast<void*>(FStorage)) T(std::forward<TArgs>(AArgs)...);
    }
    TNeverDestroyed(const TNeverDestroyed&) = delete;
    TNeverDestroyed& operator=(const TNeverDestroyed&) = delete;

    T& Get() { return *std::launder(reinterpret_cast<T*>(FStorage)); }

private:
    alignas(T) unsigned char FStorage[sizeof(T)];
};

}  // namespace Id
