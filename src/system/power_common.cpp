#include <mutex>
#include <string>

#include "system/power.h"

namespace {

std::mutex g_hookLock;
ExitWindowsHook g_hook;

}  // namespace

void SetExitWindowsHook(ExitWindowsHook hook) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_hook = std::move(hook);
}

bool ExitWindowsExSeam(unsigned flags, unsigned reason) {
    ExitWindowsHook hook;
    {
        std::lock_guard<std::mutex> lock(g_hookLock);
        hook = g_hook;
    }
    if (hook) return hook(flags, reason);
    return SystemExitWindows(flags, reason);
}

namespace {

constexpr unsigned long kNotAllAssigned = 1300;      // ERROR_NOT_ALL_ASSIGNED
constexpr unsigned long kCallNotImplemented = 120;   // ERROR_CALL_NOT_IMPLEMENTED
constexpr unsigned long kProcNotFound = 127;         // ERROR_PROC_NOT_FOUND

PowerOutcome Shutdown(unsigned flags) {
    PowerOutcome outcome;
    outcome.privilege = EnableShutdownPrivilege(&outcome.error);
    if (!outcome.privilege) return outcome;
    outcome.started = ExitWindowsExSeam(flags | kExitWindowsForce, kShutdownReasonOrdered);
    outcome.error = outcome.started ? 0 : LastPowerError();
    return outcome;
}

}  // namespace

bool ShutdownPrivilegeHeld(bool adjusted, unsigned long lastError) {
    // The call succeeds even when the account lacks the privilege; only the last error tells.
    return adjusted && lastError != kNotAllAssigned;
}

unsigned InitiateShutdownFlags(unsigned exitWindowsFlags) {
    const unsigned forceOthers = 0x01, forceSelf = 0x02, restart = 0x04, powerOff = 0x08;
    if (exitWindowsFlags & kExitWindowsPowerOff) return forceOthers | forceSelf | powerOff;
    if (exitWindowsFlags & kExitWindowsReboot) return forceOthers | forceSelf | restart;
    return 0;
}

bool FallBackToExitWindows(unsigned long initiateResult) {
    return initiateResult == kCallNotImplemented || initiateResult == kProcNotFound;
}

std::string PowerOutcomeText(const PowerOutcome& outcome) {
    if (outcome.started) return std::string();
    if (!outcome.privilege) return "no shutdown privilege, error " + std::to_string(outcome.error);
    return "shutdown refused, error " + std::to_string(outcome.error);
}

PowerOutcome PowerOff() { return Shutdown(kExitWindowsPowerOff); }

PowerOutcome Reboot() { return Shutdown(kExitWindowsReboot); }
