#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include "system/own_addresses.h"

std::vector<std::string> ListOwnIpv4Addresses() {
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return found;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {0};
        if (inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text))
            found.push_back(text);
    }
    freeifaddrs(list);
    return found;
}
