#pragma once
// The machine's identity towards the exam server: its IPv4 address, the MAC address of the adapter holding
// it (the machine key "ecpKey") and its computer name. Worked out once at start-up; nothing here logs.
#include <string>

struct MachineIdentity {
    std::string ip;            // dotted IPv4 text
    std::string mac;           // "0A-00-27-00-00-0C", the machine key "ecpKey"
    std::string computerName;  // "ecpHostName"
};

// Address of the interface behind the default route with the lowest metric (the earlier route on a tie),
// into *ip. 1 found, 0 nothing found or a system call failed (*ip unchanged), -1 no routes.
int GetLocalIpByRoute(std::string* ip);
// First address the machine's own host name resolves to, loopback addresses passed over, into *ip;
// false when there is none.
// On Windows the caller starts Winsock right before, and a successful lookup ends it again.
bool GetLocalIpByHostName(std::string* ip);
// "0A-00-27-00-00-0C" of the adapter that holds exactly this address text, or "".
std::string GetMacByIp(const std::string& ip);
// The computer name in the narrow encoding (code page 936 on Windows, UTF-8 on Linux), or "".
std::string GetLocalComputerName();

// The address lookups of one pass, in this platform's order, each tried only when the ones before found
// nothing; "" when none did.
std::string FindLocalIp();

// One pass of the start-up sequence: the address, then the MAC of the adapter holding it and the computer
// name, into *identity. True when address and MAC are both known.
bool GatherMachineIdentityPass(MachineIdentity* identity);

constexpr int kEveryPass = 0;
constexpr int kIdentityRetryMs = 2000;
// Repeats the pass every 2000 ms until address and MAC are known. A machine without a usable network stays
// here: the server knows it by nothing else. maxPasses bounds the loop (kEveryPass: no bound); true when
// the identity is known.
bool GatherMachineIdentity(MachineIdentity* identity, int maxPasses = kEveryPass);
