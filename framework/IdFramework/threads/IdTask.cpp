#include <IdFramework/threads/IdTask.h>

namespace Id {

TIdTask::~TIdTask() { FreeAndNil(FData); }

}  // namespace Id
