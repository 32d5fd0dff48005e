#pragma once
// The agent's share of the exam lock-down: putting the desktop back after the exam client has ended, and
// switching the two Windows logo keys off and on machine-wide. Nothing here logs.
//
// On Linux the registry values are kept, with the same keys, names, types and bytes, in a registry
// export file beside the agent: <agent folder>registry.reg (see registry_file_posix.h). An operator reads what
// the agent did there; nothing on Linux acts on these values.
#include <string>

// Linux: the agent's folder (with its trailing separator), where the registry export file is kept; told at
// start-up once the folder is known. Nothing on Windows, whose registry is the registry.
void SetRegistryFolder(const std::string& folder);

// Sets the nine user policy values that block Task Manager, logging off, the Run box and the like to 0,
// shows the taskbar and start button and turns the latching-modifier hot key back on. True when the
// Explorer policy key could be opened or created.
bool RestoreDesktop();

// Turns the hot key of the latching-modifier feature (Shift pressed five times) on or off for the current
// session; true when it ends up as asked. On Linux the X keyboard's AccessX keys of the agent's display.
bool SetShiftLatchHotKey(bool on);

// Maps both Windows logo keys to nothing through the "Scancode Map" value (in force from the next start of
// the machine), replacing any map an administrator had set. Always true.
bool DisableWindowsKeys();
// Removes the "Scancode Map" value. Always true, also when there was none.
bool EnableWindowsKeys();
