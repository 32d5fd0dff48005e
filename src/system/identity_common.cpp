#include <chrono>
#include <thread>

#include "system/identity.h"

bool GatherMachineIdentity(int maxPasses) {
    for (int pass = 1;; ++pass) {
        if (GatherMachineIdentityPass()) return true;
        if (maxPasses != kEveryPass && pass >= maxPasses) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdentityRetryMs));
    }
}
