#include "support/FailingAllocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> GFailOnNewThreads{false};
// Taken from the above at the thread's first allocation.
thread_local bool GFail = GFailOnNewThreads.load();
}  // namespace

namespace IdTest {
void FailAllocationsOnThisThread(bool AFail) { GFail = AFail; }
void FailAllocationsOnNewThreads(bool AFail) { GFailOnNewThreads = AFail; }
}  // namespace IdTest

// Every form of new that the library's delete would otherwise release is replaced, with its delete,
// so that memory never passes between this allocator and a sanitizer's with a mismatch.
void* operator new(std::size_t ASize) {
    if (!GFail) {
        if (void* p = std::malloc(ASize ? ASize : 1)) return p;
    }
    throw std::bad_alloc();
}

void* operator new(std::size_t ASize, const std::nothrow_t&) noexcept {
    return GFail ? nullptr : std::malloc(ASize ? ASize : 1);
}

void operator delete(void* APointer) noexcept { std::free(APointer); }
void operator delete(void* APointer, std::size_t) noexcept { std::free(APointer); }
void operator delete(void* APointer, const std::nothrow_t&) noexcept { std::free(APointer); }
