#pragma once
// Switching the machine off or restarting it on the exam server's command. Running programs, the exam
// client included, are closed without a chance to object. Nothing here logs: a refusal comes back as an
// outcome with the system's error code, for the caller's log.
#include <functional>
#include <string>

// Windows: enables SeShutdownPrivilege in the agent's own token; true only when the token holds it
// (AdjustTokenPrivileges succeeds without assigning a privilege the account lacks: ERROR_NOT_ALL_ASSIGNED).
// Linux: true when this process may restart the machine (CAP_SYS_BOOT in its effective set).
// *error gets the system's code of a refusal.
bool EnableShutdownPrivilege(unsigned long* error = nullptr);
// The verdict on the adjustment: the call's result and the last error it left.
bool ShutdownPrivilegeHeld(bool adjusted, unsigned long lastError);

constexpr unsigned kExitWindowsReboot = 0x02;        // EWX_REBOOT
constexpr unsigned kExitWindowsForce = 0x04;         // EWX_FORCE
constexpr unsigned kExitWindowsPowerOff = 0x08;      // EWX_POWEROFF
constexpr unsigned kShutdownReasonApplication = 0x00040000;  // SHTDN_REASON_MAJOR_APPLICATION
constexpr unsigned kShutdownReasonPlanned = 0x80000000;      // SHTDN_REASON_FLAG_PLANNED
// The server's order is planned maintenance: an unplanned reason would have Windows write a system-state
// file first (delaying the shutdown) and ask for a reason at the next logon.
constexpr unsigned kShutdownReasonOrdered = kShutdownReasonApplication | kShutdownReasonPlanned;

struct PowerOutcome {
    bool privilege = false;   // the right to shut the machine down is held
    bool started = false;     // the system took the request
    unsigned long error = 0;  // the system's code when either failed
};
// "" when started; otherwise what failed and the system's code, for the log.
std::string PowerOutcomeText(const PowerOutcome& outcome);

// Flags 0x0C with the ordered reason, only when the privilege is held.
PowerOutcome PowerOff();
// Flags 0x06 with the ordered reason, only when the privilege is held.
PowerOutcome Reboot();

// InitiateShutdownW's flags for a request in ExitWindowsEx's terms: every session logged off by force, this
// one included (ExitWindowsEx's force does nothing while terminal services run, as on every Windows 10/11),
// then power off or restart; 0 for anything else.
unsigned InitiateShutdownFlags(unsigned exitWindowsFlags);
// Whether a failed InitiateShutdownW leaves the request to ExitWindowsEx: only where the call does not exist
// (Wine answers ERROR_CALL_NOT_IMPLEMENTED).
bool FallBackToExitWindows(unsigned long initiateResult);

// The one door to the system: InitiateShutdownW on Windows (ExitWindowsEx where it is not implemented); on
// Linux the service manager's orderly power-off or restart (systemctl). Starts the shutdown and returns at
// once; true when the system took the request, else the code is in LastPowerError().
// A hook, when set, receives the call instead.
bool ExitWindowsExSeam(unsigned flags, unsigned reason);
using ExitWindowsHook = std::function<bool(unsigned flags, unsigned reason)>;
// For tests, which must never switch off the machine they run on; an empty hook restores the system call.
void SetExitWindowsHook(ExitWindowsHook hook);

// The platform's call behind the seam.
bool SystemExitWindows(unsigned flags, unsigned reason);
// The code of the platform call's last refusal on this thread.
unsigned long LastPowerError();
