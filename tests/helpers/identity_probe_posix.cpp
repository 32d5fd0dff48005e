// Runs the identity lookups in whatever network and host-name namespace it is started in and prints
// what they found, one "key=value" per line. Each further argument is an address to look a MAC up for:
// printed as "mac[<address>]=<MAC>".
#include <cstdio>
#include <string>

#include "system/identity.h"

int main(int argc, char** argv) {
    std::string routeIp;
    int route = GetLocalIpByRoute(&routeIp);
    std::printf("route=%d\nroute_ip=%s\n", route, routeIp.c_str());

    std::string nameIp;
    bool byName = GetLocalIpByHostName(&nameIp);
    std::printf("hostname=%d\nhostname_ip=%s\n", byName ? 1 : 0, nameIp.c_str());

    for (int i = 1; i < argc; ++i) std::printf("mac[%s]=%s\n", argv[i], GetMacByIp(argv[i]).c_str());

    MachineIdentity v;
    bool known = GatherMachineIdentity(&v, 1);
    std::printf("gather=%d\nip=%s\nmac=%s\ncomputer=%s\n", known ? 1 : 0, v.ip.c_str(), v.mac.c_str(),
                v.computerName.c_str());
    return 0;
}
