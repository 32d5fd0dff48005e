#pragma once
// Handing the heap's free pages back to the system. A burst of work (a round of the server's commands: the
// reports, an answer upload) leaves its buffers freed but their pages still held by the allocator; over a
// whole exam day of such rounds the agent's private memory would creep up although nothing leaks.

// Returns whole free pages of every heap to the system. Costs a walk of the free lists: call it after a
// burst, not on a hot path.
void ReturnFreeMemory();
