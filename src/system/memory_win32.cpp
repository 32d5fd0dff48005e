#include "system/memory.h"

#include <malloc.h>
#include <windows.h>

void ReturnFreeMemory() {
    // The C runtime's heap first, then the process heap it and the rest of the process allocate from.
    _heapmin();
    HeapCompact(GetProcessHeap(), 0);
}
