#pragma once
// One agent per machine. Windows: the named mutex "TavrelAgentMK". Linux: a lock on a file that only the
// agent's own user can create and open (/run/TavrelAgentMK.lock as root), which the kernel releases the
// moment the process dies, however it dies.

// True when this process is the only agent; it then holds the name until ReleaseSingleInstance.
bool ClaimSingleInstance();
void ReleaseSingleInstance();
