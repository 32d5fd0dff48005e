#include <mutex>

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

void PowerOff() {
    if (EnableShutdownPrivilege())
        ExitWindowsExSeam(kExitWindowsPowerOff | kExitWindowsForce, kShutdownReasonApplication);
}

void Reboot() {
    if (EnableShutdownPrivilege())
        ExitWindowsExSeam(kExitWindowsReboot | kExitWindowsForce, kShutdownReasonApplication);
}
