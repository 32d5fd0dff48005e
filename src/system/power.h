#pragma once
// Switching the machine off or restarting it on the exam server's command. Running programs, the exam
// client included, are closed without a chance to object. Nothing here logs or reports a refusal.
#include <functional>

// Windows: enables SeShutdownPrivilege in the agent's own token; true when the adjustment call succeeded.
// Linux: true when this process may restart the machine (CAP_SYS_BOOT in its effective set).
bool EnableShutdownPrivilege();

constexpr unsigned kExitWindowsReboot = 0x02;        // EWX_REBOOT
constexpr unsigned kExitWindowsForce = 0x04;         // EWX_FORCE
constexpr unsigned kExitWindowsPowerOff = 0x08;      // EWX_POWEROFF
constexpr unsigned kShutdownReasonApplication = 0x00040000;  // SHTDN_REASON_MAJOR_APPLICATION

// Flags 0x0C with the application reason, only when the privilege could be enabled.
void PowerOff();
// Flags 0x06 with the application reason, only when the privilege could be enabled.
void Reboot();

// The one door to the system: ExitWindowsEx on Windows; on Linux the service manager's orderly power-off
// or restart (systemctl). Starts the shutdown and returns at once; true when the system took the request.
// A hook, when set, receives the call instead.
bool ExitWindowsExSeam(unsigned flags, unsigned reason);
using ExitWindowsHook = std::function<bool(unsigned flags, unsigned reason)>;
// For tests, which must never switch off the machine they run on; an empty hook restores the system call.
void SetExitWindowsHook(ExitWindowsHook hook);

// The platform's call behind the seam.
bool SystemExitWindows(unsigned flags, unsigned reason);
