// The process-wide socket stack. (Being completed: the abstract socket operations,
// socket errors, address helpers and socket lists join this unit.)
#pragma once

#include <cstdint>

#include "runtime/SysUtils.h"
#include "threads/IdThreadSafe.h"

namespace Id {

class TIdStack;
// The class that IncUsage instantiates; set at program start to the platform's stack.
using TIdStackClass = TIdStack* (*)();

class TIdStack : public TObject {
public:
    TIdStack();
    ~TIdStack() override;

    // The first use creates GSocketStack through GSocketStackType; the last frees it.
    static void IncUsage();
    static void DecUsage();
};

extern TIdStack* GSocketStack;
extern TIdStackClass GSocketStackType;
extern int32_t GSocketStackUsage;
extern TIdCriticalSection* GSocketStackLock;

}  // namespace Id
