#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "system/address.h"
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

namespace {

// Whether the interface is a network card, as the system tells (MIB_IF_ROW2's HardwareInterface); resolved
// at run time, and "yes" where the system cannot tell, so that no card is passed over for want of an answer.
bool IsHardwareInterface(DWORD index) {
    using GetIfEntry2Fn = DWORD(WINAPI*)(MIB_IF_ROW2*);
    static GetIfEntry2Fn getIfEntry2 = [] {
        HMODULE helper = GetModuleHandleW(L"iphlpapi.dll");
        return helper ? reinterpret_cast<GetIfEntry2Fn>(GetProcAddress(helper, "GetIfEntry2")) : nullptr;
    }();
    if (!getIfEntry2) return true;
    MIB_IF_ROW2 row{};
    row.InterfaceIndex = index;
    if (getIfEntry2(&row) != NO_ERROR) return true;
    return row.InterfaceAndOperStatusFlags.HardwareInterface != FALSE;
}

// Every adapter with its facts; false when the system's list could not be read.
bool ReadAdapterFacts(std::vector<AdapterFacts>* facts) {
    ULONG size = sizeof(IP_ADAPTER_INFO);
    auto* adapters = static_cast<IP_ADAPTER_INFO*>(std::malloc(size));
    if (!adapters) return false;
    DWORD rc = GetAdaptersInfo(adapters, &size);
    if (rc == ERROR_BUFFER_OVERFLOW) {
        std::free(adapters);
        adapters = static_cast<IP_ADAPTER_INFO*>(std::malloc(size));
        if (!adapters) return false;
        rc = GetAdaptersInfo(adapters, &size);
    }
    if (rc == NO_ERROR) {
        for (IP_ADAPTER_INFO* adapter = adapters; adapter; adapter = adapter->Next) {
            AdapterFacts one;
            one.index = adapter->Index;
            one.type = adapter->Type;
            one.hardware = IsHardwareInterface(adapter->Index);
            one.mac.assign(adapter->Address, adapter->Address + std::min<UINT>(adapter->AddressLength, MAX_ADAPTER_ADDRESS_LENGTH));
            for (IP_ADDR_STRING* address = &adapter->IpAddressList; address; address = address->Next)
                one.ipv4.push_back(address->IpAddress.String);
            facts->push_back(one);
        }
    }
    std::free(adapters);
    return rc == NO_ERROR;
}

}  // namespace

// Only a network card names this PC here: the address came from the default route or the host name, which
// at boot may point at a host-only or virtual adapter that is up before the cable has its address.
std::string GetMacByIp(const std::string& ip) {
    if (ip.empty()) return std::string();
    std::vector<AdapterFacts> facts;
    if (!ReadAdapterFacts(&facts)) return std::string();
    for (const AdapterFacts& adapter : facts) {
        for (const std::string& address : adapter.ipv4) {
            if (address != ip) continue;
            if (IdentityAdapterUsable(adapter, true)) return SixByteMacText(adapter.mac);
        }
    }
    return std::string();
}

bool FindAdapterTowardsServer(const std::string& serverIp, MachineIdentity* identity) {
    if (!IsAcceptedIpv4Text(serverIp)) return false;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    unsigned parts[4] = {0, 0, 0, 0};
    std::sscanf(serverIp.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    server.sin_addr.s_addr = htonl((parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3]);
    DWORD index = 0;
    // No route yet (DHCP has not answered): no choice, and the pass falls back to the lookups below.
    if (GetBestInterfaceEx(reinterpret_cast<sockaddr*>(&server), &index) != NO_ERROR) return false;
    std::vector<AdapterFacts> facts;
    if (!ReadAdapterFacts(&facts)) return false;
    return ChooseAdapterTowardsServer(facts, index, identity);
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
