#include "system/memory.h"

#include <malloc.h>

void ReturnFreeMemory() { malloc_trim(0); }
