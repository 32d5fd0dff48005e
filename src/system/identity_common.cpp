#include <chrono>
#include <thread>

#include "system/identity.h"

bool GatherMachineIdentityPass(MachineIdentity* identity) {
    identity->ip = FindLocalIp();
    identity->mac = GetMacByIp(identity->ip);
    identity->computerName = GetLocalComputerName();
    return !identity->ip.empty() && !identity->mac.empty();
}

bool GatherMachineIdentity(MachineIdentity* identity, int maxPasses) {
    for (int pass = 1;; ++pass) {
        if (GatherMachineIdentityPass(identity)) return true;
        if (maxPasses != kEveryPass && pass >= maxPasses) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdentityRetryMs));
    }
}
