#include <IdFramework/threads/IdYarn.h>
// The yarn base is header-only; this unit keeps the one-source-per-header layout.
