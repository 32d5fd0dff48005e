#pragma once
// The machine's identity towards the exam server: its IPv4 address, the MAC address of the adapter holding
// it (the machine key "ecpKey") and its computer name. Worked out once at start-up; nothing here logs.
#include <string>
#include <vector>

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

// An adapter as the system lists it, for the choice of the one that names this PC.
struct AdapterFacts {
    unsigned index = 0;
    unsigned type = 0;                // IF_TYPE_*: 24 software loopback, 131 tunnel
    bool hardware = true;             // a network card (a virtual machine's included), not a host's software adapter
    std::vector<unsigned char> mac;   // the physical address, as long as the adapter's
    std::vector<std::string> ipv4;    // dotted texts, in the adapter's order
};
// An address that can name this PC to the room: not unset, loopback or self-assigned (169.254/16, what an
// adapter holds while DHCP has not answered).
bool UsableIdentityAddress(const std::string& ip);
// "0A-00-27-00-00-0C" of a six-byte address; "" for any other length or all zeros (a leftover of a longer
// or shorter address would name every such PC alike).
std::string SixByteMacText(const std::vector<unsigned char>& mac);
// Loopback and tunnel adapters never name this PC, nor one without a six-byte MAC or a usable address;
// requireHardware passes over software adapters too (host-only and virtual switches, up before the cable).
bool IdentityAdapterUsable(const AdapterFacts& adapter, bool requireHardware);
// The adapter the server's traffic takes (routeIndex from the system's best route to the server), when it
// is usable; a software adapter counts there, since the server sees this PC through it. False otherwise.
bool ChooseAdapterTowardsServer(const std::vector<AdapterFacts>& adapters, unsigned routeIndex,
                                MachineIdentity* chosen);
// This platform's adapter towards the configured server into ip and mac; false when the server is not an
// address, has no route yet, or its adapter is unusable (Linux: never; its lookups below skip loopback).
bool FindAdapterTowardsServer(const std::string& serverIp, MachineIdentity* identity);

// One pass of the start-up sequence: the adapter towards the server, else the address lookups and the MAC
// of the adapter holding the address; and the computer name, into *identity. True when address and MAC are
// both known.
bool GatherMachineIdentityPass(MachineIdentity* identity, const std::string& serverIp = std::string());

constexpr int kEveryPass = 0;
constexpr int kIdentityRetryMs = 2000;
// Repeats the pass every 2000 ms until address and MAC are known. A machine without a usable network stays
// here: the server knows it by nothing else. maxPasses bounds the loop (kEveryPass: no bound); true when
// the identity is known. serverIp is the configured server ("" when none).
bool GatherMachineIdentity(MachineIdentity* identity, int maxPasses = kEveryPass,
                           const std::string& serverIp = std::string());
