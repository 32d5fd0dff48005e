#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "system/identity.h"

// The kernel's own tables, read over rtnetlink: the main routing table (what `ip route` shows), the IPv4
// addresses and the links with their hardware addresses.

namespace {

struct Route {
    bool isDefault = false;
    unsigned metric = 0;
    int ifIndex = 0;
};

struct Address {
    int ifIndex = 0;
    std::string text;
};

struct Link {
    int index = 0;
    bool loopback = false;
    bool up = false;
    std::vector<unsigned char> hardware;
};

class NetlinkSocket {
public:
    NetlinkSocket() : m_fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
        if (m_fd < 0) return;
        // A kernel that never finishes a dump must not keep the agent from starting.
        timeval limit{2, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~NetlinkSocket() {
        if (m_fd >= 0) close(m_fd);
    }
    NetlinkSocket(const NetlinkSocket&) = delete;
    NetlinkSocket& operator=(const NetlinkSocket&) = delete;

    // One dump request; every answer message goes to `take`. False when the dump did not finish cleanly.
    bool Dump(unsigned short type, const void* header, size_t headerSize,
              const std::function<void(const nlmsghdr*)>& take) {
        if (m_fd < 0) return false;
        std::vector<char> request(NLMSG_SPACE(headerSize), 0);
        auto* h = reinterpret_cast<nlmsghdr*>(request.data());
        h->nlmsg_len = NLMSG_LENGTH(headerSize);
        h->nlmsg_type = type;
        h->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        h->nlmsg_seq = ++m_seq;
        std::memcpy(NLMSG_DATA(h), header, headerSize);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (sendto(m_fd, request.data(), h->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
            return false;

        std::vector<char> buffer(64 * 1024);
        for (;;) {
            sockaddr_nl from{};
            socklen_t fromLength = sizeof from;
            ssize_t got = recvfrom(m_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                                   &fromLength);
            if (got <= 0) return false;
            if (from.nl_pid != 0) continue;  // only the kernel answers a dump
            int left = static_cast<int>(got);
            for (auto* m = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(m, left); m = NLMSG_NEXT(m, left)) {
                if (m->nlmsg_seq != m_seq) continue;
                if (m->nlmsg_type == NLMSG_DONE) return true;
                if (m->nlmsg_type == NLMSG_ERROR) return false;
                take(m);
            }
        }
    }

private:
    int m_fd;
    unsigned m_seq = 0;
};

template <class Header>
void ForEachAttribute(const nlmsghdr* m, const Header* header, const std::function<void(const rtattr*)>& take) {
    int left = static_cast<int>(m->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof(Header)));
    for (auto* a = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(header) + NLMSG_ALIGN(sizeof(Header)));
         RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        take(a);
    }
}

unsigned AttributeU32(const rtattr* a) {
    unsigned value = 0;
    if (RTA_PAYLOAD(a) >= sizeof value) std::memcpy(&value, RTA_DATA(a), sizeof value);
    return value;
}

// IPv4 routes of the main table in the kernel's order; false when the table could not be read.
bool ReadRoutes(NetlinkSocket& netlink, std::vector<Route>* routes) {
    rtmsg request{};
    request.rtm_family = AF_INET;
    return netlink.Dump(RTM_GETROUTE, &request, sizeof request, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWROUTE) return;
        const auto* r = static_cast<const rtmsg*>(NLMSG_DATA(m));
        if (r->rtm_family != AF_INET) return;
        unsigned table = r->rtm_table;
        Route route;
        bool zeroDestination = true;
        ForEachAttribute(m, r, [&](const rtattr* a) {
            switch (a->rta_type) {
                case RTA_TABLE: table = AttributeU32(a); break;
                case RTA_PRIORITY: route.metric = AttributeU32(a); break;
                case RTA_OIF: route.ifIndex = static_cast<int>(AttributeU32(a)); break;
                case RTA_DST: zeroDestination = AttributeU32(a) == 0; break;
                case RTA_MULTIPATH:
                    // A route over several gateways goes out through its first one.
                    if (route.ifIndex == 0 && RTA_PAYLOAD(a) >= sizeof(rtnexthop))
                        route.ifIndex = static_cast<const rtnexthop*>(RTA_DATA(a))->rtnh_ifindex;
                    break;
                default: break;
            }
        });
        if (table != RT_TABLE_MAIN) return;
        route.isDefault = r->rtm_dst_len == 0 && zeroDestination && r->rtm_type == RTN_UNICAST;
        routes->push_back(route);
    });
}

// IPv4 addresses in the kernel's order: per interface, the primary address before the secondary ones.
bool ReadAddresses(NetlinkSocket& netlink, std::vector<Address>* addresses) {
    ifaddrmsg request{};
    request.ifa_family = AF_INET;
    return netlink.Dump(RTM_GETADDR, &request, sizeof request, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWADDR) return;
        const auto* a = static_cast<const ifaddrmsg*>(NLMSG_DATA(m));
        if (a->ifa_family != AF_INET) return;
        in_addr local{}, peer{};
        bool hasLocal = false, hasPeer = false;
        ForEachAttribute(m, a, [&](const rtattr* attribute) {
            if (RTA_PAYLOAD(attribute) < sizeof(in_addr)) return;
            if (attribute->rta_type == IFA_LOCAL) {
                std::memcpy(&local, RTA_DATA(attribute), sizeof local);
                hasLocal = true;
            } else if (attribute->rta_type == IFA_ADDRESS) {
                std::memcpy(&peer, RTA_DATA(attribute), sizeof peer);
                hasPeer = true;
            }
        });
        // On a point-to-point link IFA_ADDRESS is the far end; the machine's own address is IFA_LOCAL.
        if (!hasLocal && !hasPeer) return;
        char text[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, hasLocal ? &local : &peer, text, sizeof text);
        addresses->push_back(Address{static_cast<int>(a->ifa_index), text});
    });
}

bool ReadLinks(NetlinkSocket& netlink, std::vector<Link>* links) {
    ifinfomsg request{};
    request.ifi_family = AF_UNSPEC;
    return netlink.Dump(RTM_GETLINK, &request, sizeof request, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWLINK) return;
        const auto* i = static_cast<const ifinfomsg*>(NLMSG_DATA(m));
        Link link;
        link.index = i->ifi_index;
        link.loopback = (i->ifi_flags & IFF_LOOPBACK) != 0;
        link.up = (i->ifi_flags & IFF_UP) != 0;
        ForEachAttribute(m, i, [&](const rtattr* a) {
            if (a->rta_type != IFLA_ADDRESS) return;
            const auto* bytes = static_cast<const unsigned char*>(RTA_DATA(a));
            link.hardware.assign(bytes, bytes + RTA_PAYLOAD(a));
        });
        links->push_back(link);
    });
}

std::string MacText(std::vector<unsigned char> hardware) {
    // Six bytes whatever the link's address length, as the Windows adapter list gives them.
    hardware.resize(6, 0);
    char text[20] = {0};
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", hardware[0], hardware[1], hardware[2],
                  hardware[3], hardware[4], hardware[5]);
    return text;
}

// First IPv4 address of the up, non-loopback adapter with a hardware address and the lowest interface index,
// into *ip: the last resort of a machine without a default route.
bool GetLocalIpByAdapter(std::string* ip) {
    NetlinkSocket netlink;
    std::vector<Link> links;
    std::vector<Address> addresses;
    if (!ReadLinks(netlink, &links) || !ReadAddresses(netlink, &addresses)) return false;
    const Link* chosen = nullptr;
    for (const Link& link : links) {
        bool hasHardware = false;
        for (unsigned char byte : link.hardware) hasHardware = hasHardware || byte != 0;
        if (link.loopback || !link.up || !hasHardware) continue;
        bool hasAddress = false;
        for (const Address& address : addresses) hasAddress = hasAddress || address.ifIndex == link.index;
        if (hasAddress && (!chosen || link.index < chosen->index)) chosen = &link;
    }
    if (!chosen) return false;
    for (const Address& address : addresses) {
        if (address.ifIndex != chosen->index) continue;
        *ip = address.text;
        return true;
    }
    return false;
}

}  // namespace

int GetLocalIpByRoute(std::string* ip) {
    NetlinkSocket netlink;
    std::vector<Route> routes;
    if (!ReadRoutes(netlink, &routes)) return 0;
    if (routes.empty()) return -1;
    const Route* chosen = nullptr;
    for (const Route& route : routes) {
        // A default route without an interface (unreachable, blackhole) leads to no address.
        if (!route.isDefault || route.ifIndex == 0) continue;
        if (!chosen || route.metric < chosen->metric) chosen = &route;
    }
    if (!chosen) return 0;

    std::vector<Address> addresses;
    if (!ReadAddresses(netlink, &addresses)) return 0;
    for (const Address& address : addresses) {
        if (address.ifIndex != chosen->ifIndex) continue;
        *ip = address.text;
        return 1;
    }
    return 0;
}

bool GetLocalIpByHostName(std::string* ip) {
    char name[128] = {0};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return false;
    std::string text;
    for (const addrinfo* at = found; at && text.empty(); at = at->ai_next) {
        const in_addr& address = reinterpret_cast<const sockaddr_in*>(at->ai_addr)->sin_addr;
        // Debian and Ubuntu map the host name to 127.0.1.1, which no adapter holds.
        if ((ntohl(address.s_addr) >> 24) == 127) continue;
        char buffer[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, &address, buffer, sizeof buffer);
        text = buffer;
    }
    freeaddrinfo(found);
    if (text.empty()) return false;
    *ip = text;
    return true;
}

std::string GetMacByIp(const std::string& ip) {
    if (ip.empty()) return std::string();
    NetlinkSocket netlink;
    std::vector<Link> links;
    std::vector<Address> addresses;
    if (!ReadLinks(netlink, &links) || !ReadAddresses(netlink, &addresses)) return std::string();
    for (const Link& link : links) {
        // The Windows adapter list has no loopback; its all-zero MAC would give every machine one key.
        if (link.loopback) continue;
        for (const Address& address : addresses)
            if (address.ifIndex == link.index && address.text == ip) return MacText(link.hardware);
    }
    return std::string();
}

std::string GetLocalComputerName() {
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) != 0) return std::string();
    // Narrow text on Linux is UTF-8, which is what the server takes.
    return std::string(name);
}

bool FindAdapterTowardsServer(const std::string&, MachineIdentity*) { return false; }

std::string FindLocalIp() {
    std::string ip;
    GetLocalIpByRoute(&ip);
    // An address no adapter holds (an old static entry in /etc/hosts) gives no MAC, and the identity wait
    // would ask the same stale entry for ever: it is no answer.
    if (ip.empty() && GetLocalIpByHostName(&ip) && GetMacByIp(ip).empty()) ip.clear();
    // Exam rooms on an isolated network often have no gateway, and the host name may name no adapter.
    if (ip.empty()) GetLocalIpByAdapter(&ip);
    return ip;
}
