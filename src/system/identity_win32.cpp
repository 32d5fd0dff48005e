#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "system/identity.h"
#include "system/text.h"

namespace {

// The dotted text inet_ntoa gives, without needing Winsock to be started.
std::string DottedText(DWORD networkOrder) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&networkOrder);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

}  // namespace

int GetLocalIpByRoute(std::string* ip) {
    ULONG size = 0;
    if (GetIpForwardTable(nullptr, &size, TRUE) != ERROR_INSUFFICIENT_BUFFER) return 0;
    auto* routes = static_cast<MIB_IPFORWARDTABLE*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size));
    if (!routes) return 0;
    if (GetIpForwardTable(routes, &size, TRUE) != NO_ERROR) {
        GlobalFree(routes);
        return 0;
    }
    if (routes->dwNumEntries == 0) {
        GlobalFree(routes);
        return -1;
    }
    // Sorted by destination, the default routes stand at the head; the first one seeds the choice and only
    // a strictly smaller metric replaces it, so the earlier row wins a tie.
    DWORD metric = 0;
    DWORD ifIndex = 0;
    for (DWORD i = 0; i < routes->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = routes->table[i];
        if (DottedText(row.dwForwardDest) != "0.0.0.0" || DottedText(row.dwForwardMask) != "0.0.0.0") continue;
        if (i == 0 || row.dwForwardMetric1 < metric) {
            metric = row.dwForwardMetric1;
            ifIndex = row.dwForwardIfIndex;
        }
    }
    GlobalFree(routes);
    if (ifIndex == 0) return 0;

    ULONG addrSize = 0;
    if (GetIpAddrTable(nullptr, &addrSize, TRUE) != ERROR_INSUFFICIENT_BUFFER || addrSize == 0) return 0;
    auto* addresses = static_cast<MIB_IPADDRTABLE*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, addrSize));
    if (!addresses) return 0;
    int result = 0;
    if (GetIpAddrTable(addresses, &addrSize, TRUE) == NO_ERROR) {
        for (DWORD i = 0; i < addresses->dwNumEntries; ++i) {
            if (addresses->table[i].dwIndex != ifIndex) continue;
            *ip = DottedText(addresses->table[i].dwAddr);
            result = 1;
            break;
        }
    }
    GlobalFree(addresses);
    return result;
}

bool GetLocalIpByHostName(std::string* ip) {
    char name[128] = {0};
    if (gethostname(name, sizeof name) != 0) return false;
    hostent* entry = gethostbyname(name);
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list || !entry->h_addr_list[0]) return false;
    DWORD address = 0;
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
    *ip = DottedText(address);
    WSACleanup();
    return true;
}

std::string GetMacByIp(const std::string& ip) {
    if (ip.empty()) return std::string();
    ULONG size = sizeof(IP_ADAPTER_INFO);
    auto* adapters = static_cast<IP_ADAPTER_INFO*>(std::malloc(size));
    if (!adapters) return std::string();
    DWORD rc = GetAdaptersInfo(adapters, &size);
    if (rc == ERROR_BUFFER_OVERFLOW) {
        std::free(adapters);
        adapters = static_cast<IP_ADAPTER_INFO*>(std::malloc(size));
        if (!adapters) return std::string();
        rc = GetAdaptersInfo(adapters, &size);
    }
    std::string found;
    if (rc == NO_ERROR) {
        for (IP_ADAPTER_INFO* adapter = adapters; adapter && found.empty(); adapter = adapter->Next) {
            char mac[20] = {0};
            std::snprintf(mac, sizeof mac, "%02X-%02X-%02X-%02X-%02X-%02X", adapter->Address[0],
                          adapter->Address[1], adapter->Address[2], adapter->Address[3], adapter->Address[4],
                          adapter->Address[5]);
            for (IP_ADDR_STRING* address = &adapter->IpAddressList; address; address = address->Next) {
                if (ip == address->IpAddress.String) {
                    found = mac;
                    break;
                }
            }
        }
    }
    std::free(adapters);
    return found;
}

std::string GetLocalComputerName() {
    wchar_t name[500] = {0};
    DWORD size = 500;
    if (!GetComputerNameW(name, &size)) return std::string();
    return WideToGbk(name);
}

std::string FindLocalIp() {
    std::string ip;
    GetLocalIpByRoute(&ip);
    if (ip.empty()) {
        WSADATA data;
        // A failed lookup leaves Winsock started; end it here so a machine waiting for its cable does not
        // pile up one start per pass.
        if (WSAStartup(2, &data) == 0 && !GetLocalIpByHostName(&ip)) WSACleanup();
    }
    return ip;
}
