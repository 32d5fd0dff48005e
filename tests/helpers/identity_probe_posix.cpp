// Runs the identity lookups in whatever network and host-name namespace it is started in and prints
// what they found, one "key=value" per line. Each further argument is an address to look a MAC up for:
// printed as "mac[<address>]=<MAC>".
#include <cstdio>
#include <string>

#include "agent/agent.h"
#include "system/identity.h"

int main(int argc, char** argv) {
    ResetShared();
    int route = GetLocalIpByRoute();
    std::printf("route=%d\nroute_ip=%s\n", route, ReadShared(&SharedValues::LocalIp).c_str());

    ResetShared();
    bool byName = GetLocalIpByHostName();
    std::printf("hostname=%d\nhostname_ip=%s\n", byName ? 1 : 0, ReadShared(&SharedValues::LocalIp).c_str());

    for (int i = 1; i < argc; ++i) std::printf("mac[%s]=%s\n", argv[i], GetMacByIp(argv[i]).c_str());

    ResetShared();
    bool known = GatherMachineIdentity(1);
    SharedValues v = SnapshotShared();
    std::printf("gather=%d\nip=%s\nmac=%s\ncomputer=%s\n", known ? 1 : 0, v.LocalIp.c_str(), v.LocalMac.c_str(),
                v.LocalComputerName.c_str());
    return 0;
}
