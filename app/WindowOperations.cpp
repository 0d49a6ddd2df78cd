#include "app/WindowOperations.h"
