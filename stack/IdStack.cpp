#include "stack/IdStack.h"

#include <mutex>

#include "core/IdExceptionCore.h"
#include "core/IdResourceStrings.h"

namespace Id {

TIdStack* GSocketStack = nullptr;
TIdStackClass GSocketStackType = nullptr;
int32_t GSocketStackUsage = 0;
// Lives until the process ends: users may release the stack from static destructors.
TIdCriticalSection* GSocketStackLock = new TIdCriticalSection;

TIdStack::TIdStack() = default;
TIdStack::~TIdStack() = default;

void TIdStack::IncUsage() {
    std::lock_guard guard(*GSocketStackLock);
    if (GSocketStackUsage == 0) {
        if (GSocketStack) EIdException::Toss(RSStackAlreadyCreated);
        if (!GSocketStackType) EIdException::Toss(RSStackClassUndefined);
        GSocketStack = GSocketStackType();
    }
    ++GSocketStackUsage;
}

void TIdStack::DecUsage() {
    std::lock_guard guard(*GSocketStackLock);
    if (GSocketStackUsage > 0) {
        --GSocketStackUsage;
        if (GSocketStackUsage == 0) FreeAndNil(GSocketStack);
    }
}

}  // namespace Id
