#pragma once
// One agent per machine. Windows: the named mutex "TavrelAgentMK". Linux: an abstract local socket of the
// same name, which the kernel releases the moment the process dies, however it dies.

// True when this process is the only agent; it then holds the name until ReleaseSingleInstance.
bool ClaimSingleInstance();
void ReleaseSingleInstance();
