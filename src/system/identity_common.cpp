#include <chrono>
#include <cstdio>
#include <thread>

#include "system/address.h"
#include "system/identity.h"

bool UsableIdentityAddress(const std::string& ip) {
    if (!IsAcceptedIpv4Text(ip)) return false;
    return ip.rfind("0.", 0) != 0 && ip.rfind("127.", 0) != 0 && ip.rfind("169.254.", 0) != 0;
}

std::string SixByteMacText(const std::vector<unsigned char>& mac) {
    if (mac.size() != 6) return std::string();
    bool zero = true;
    for (unsigned char byte : mac) zero = zero && byte == 0;
    if (zero) return std::string();
    char text[20] = {0};
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

bool IdentityAdapterUsable(const AdapterFacts& adapter, bool requireHardware) {
    const unsigned kLoopback = 24, kTunnel = 131;
    if (adapter.type == kLoopback || adapter.type == kTunnel) return false;
    if (requireHardware && !adapter.hardware) return false;
    if (SixByteMacText(adapter.mac).empty()) return false;
    for (const std::string& ip : adapter.ipv4)
        if (UsableIdentityAddress(ip)) return true;
    return false;
}

bool ChooseAdapterTowardsServer(const std::vector<AdapterFacts>& adapters, unsigned routeIndex,
                                MachineIdentity* chosen) {
    if (routeIndex == 0) return false;
    for (const AdapterFacts& adapter : adapters) {
        if (adapter.index != routeIndex) continue;
        if (!IdentityAdapterUsable(adapter, false)) return false;
        for (const std::string& ip : adapter.ipv4) {
            if (!UsableIdentityAddress(ip)) continue;
            chosen->ip = ip;
            chosen->mac = SixByteMacText(adapter.mac);
            return true;
        }
    }
    return false;
}

bool GatherMachineIdentityPass(MachineIdentity* identity, const std::string& serverIp) {
    if (!FindAdapterTowardsServer(serverIp, identity)) {
        identity->ip = FindLocalIp();
        identity->mac = GetMacByIp(identity->ip);
    }
    identity->computerName = GetLocalComputerName();
    return !identity->ip.empty() && !identity->mac.empty();
}

bool GatherMachineIdentity(MachineIdentity* identity, int maxPasses, const std::string& serverIp) {
    for (int pass = 1;; ++pass) {
        if (GatherMachineIdentityPass(identity, serverIp)) return true;
        if (maxPasses != kEveryPass && pass >= maxPasses) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdentityRetryMs));
    }
}
