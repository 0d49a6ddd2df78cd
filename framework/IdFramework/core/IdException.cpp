#include <IdFramework/core/IdException.h>
// The root class is header-only; this unit keeps the one-source-per-header layout.
