#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "system/power.h"

extern char** environ;

namespace {

constexpr int kCapSysBoot = 22;

thread_local unsigned long g_lastError = 0;

}  // namespace

bool EnableShutdownPrivilege(unsigned long* error) {
    if (error) *error = EPERM;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 7, "CapEff:") != 0) continue;
        unsigned long long effective = std::strtoull(line.c_str() + 7, nullptr, 16);
        bool held = (effective >> kCapSysBoot) & 1ULL;
        if (held && error) *error = 0;
        return held;
    }
    return false;
}

unsigned long LastPowerError() { return g_lastError; }

bool SystemExitWindows(unsigned flags, unsigned reason) {
    // The service manager stops services and unmounts file systems in order: nothing the exam client wrote
    // is lost to a half-finished shutdown, while no program is asked for its consent.
    const char* action = (flags & kExitWindowsPowerOff) ? "poweroff"
                         : (flags & kExitWindowsReboot) ? "reboot"
                                                        : nullptr;
    if (!action) return false;
    char program[] = "systemctl";
    char verb[16];
    std::snprintf(verb, sizeof verb, "%s", action);
    char* argv[] = {program, verb, nullptr};
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, program, nullptr, nullptr, argv, environ);
    if (spawned != 0) {
        g_lastError = static_cast<unsigned long>(spawned);
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            g_lastError = static_cast<unsigned long>(errno);
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    // systemctl's exit status stands for the refusal.
    g_lastError = WIFEXITED(status) ? static_cast<unsigned long>(WEXITSTATUS(status)) : 0;
    return false;
}
