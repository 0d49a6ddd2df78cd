// A yarn: the scheduler's handle for one future execution context. Only its identity matters.
#pragma once

#include <IdFramework/runtime/SysUtils.h>

namespace Id {

class TIdYarn : public TObject {};

}  // namespace Id
