#include <IdFramework/core/IdBaseComponent.h>
// The component bases are header-only; this unit keeps the one-source-per-header layout.
