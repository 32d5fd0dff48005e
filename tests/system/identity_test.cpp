#include <gtest/gtest.h>

#include <cctype>
#include <iostream>
#include <string>
#include <vector>

#include "system/identity.h"

namespace {

bool IsDottedIpv4(const std::string& text) {
    int parts = 0;
    size_t at = 0;
    while (at <= text.size()) {
        size_t dot = text.find('.', at);
        std::string part = text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        if (part.empty() || part.size() > 3) return false;
        for (char c : part)
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        if (std::stoi(part) > 255) return false;
        ++parts;
        if (dot == std::string::npos) break;
        at = dot + 1;
    }
    return parts == 4 && text.size() <= 15;
}

bool IsMacText(const std::string& text) {
    if (text.size() != 17) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2) {
            if (text[i] != '-') return false;
        } else if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
                   std::islower(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

TEST(IdentityTest, ThisMachineHasAnAddressAMacAndAName) {
    MachineIdentity v;
    ASSERT_TRUE(GatherMachineIdentity(&v, 1)) << "this machine has a network";
    std::cout << "identity: ip=" << v.ip << " mac=" << v.mac << " computer=" << v.computerName << std::endl;
    EXPECT_TRUE(IsDottedIpv4(v.ip)) << v.ip;
    EXPECT_TRUE(IsMacText(v.mac)) << v.mac;
    EXPECT_FALSE(v.computerName.empty());
    EXPECT_EQ(v.computerName, GetLocalComputerName());
}

TEST(IdentityTest, TheDefaultRouteGivesTheAddress) {
    std::string ip;
    int found = GetLocalIpByRoute(&ip);
    std::cout << "route: " << found << " ip=" << ip << std::endl;
    ASSERT_EQ(found, 1) << "this machine has a default route";
    EXPECT_TRUE(IsDottedIpv4(ip));
}

TEST(IdentityTest, MacLookupNeedsTheExactAddressText) {
    MachineIdentity v;
    ASSERT_TRUE(GatherMachineIdentity(&v, 1));
    const std::string ip = v.ip;
    const std::string mac = v.mac;
    struct Row {
        std::string asked;
        std::string mac;
    } rows[] = {
        {ip, mac},
        {ip + " ", ""},
        {" " + ip, ""},
        {"", ""},
        {"127.0.0.1", ""},  // the loopback is no adapter
        {"203.0.113.250", ""},
    };
    for (const Row& row : rows) EXPECT_EQ(GetMacByIp(row.asked), row.mac) << "[" << row.asked << "]";
}

// At boot the cable's adapter may still wait for DHCP while a host-only or virtual one has its address.
TEST(IdentityChoice, TheAdapterTowardsTheServerNamesThePcAndOthersOnlyWhenTheyAreCards) {
    const std::vector<unsigned char> mac6 = {0x0A, 0x00, 0x27, 0x00, 0x00, 0x0C};
    const std::vector<unsigned char> mac8 = {0x0A, 0x00, 0x27, 0x00, 0x00, 0x0C, 0xEE, 0xFF};
    // The cable's card, a host-only adapter, loopback, a tunnel, eight and zero bytes of MAC, DHCP not answered
    // yet, a second address that will do.
    struct Row { AdapterFacts adapter; bool usable, usableAsCard; } rows[] = {
        {{7, 6, true, mac6, {"192.168.1.21"}}, true, true}, {{8, 6, false, mac6, {"192.168.56.1"}}, true, false},
        {{1, 24, true, mac6, {"192.168.1.22"}}, false, false}, {{9, 131, true, mac6, {"192.168.1.23"}}, false, false},
        {{10, 6, true, mac8, {"192.168.1.24"}}, false, false}, {{11, 6, true, {0, 0, 0, 0, 0, 0}, {"192.168.1.25"}}, false, false},
        {{12, 6, true, mac6, {"169.254.7.9"}}, false, false}, {{13, 6, true, mac6, {"0.0.0.0", "10.1.2.3"}}, true, true}};
    for (const Row& row : rows) {
        EXPECT_EQ(IdentityAdapterUsable(row.adapter, false), row.usable) << row.adapter.index;
        EXPECT_EQ(IdentityAdapterUsable(row.adapter, true), row.usableAsCard) << row.adapter.index;
    }
    std::vector<AdapterFacts> adapters;
    for (const Row& row : rows) adapters.push_back(row.adapter);
    // The host-only adapter counts when the server's traffic takes it: the server sees the PC through it.
    struct Route { unsigned index; const char* ip; } routes[] = {
        {7, "192.168.1.21"}, {8, "192.168.56.1"}, {13, "10.1.2.3"}, {1, ""}, {9, ""}, {10, ""}, {12, ""}, {0, ""}, {99, ""}};
    for (const Route& route : routes) {
        MachineIdentity chosen;
        EXPECT_EQ(ChooseAdapterTowardsServer(adapters, route.index, &chosen), std::string(route.ip) != "") << route.index;
        EXPECT_EQ(chosen.ip, route.ip);
        EXPECT_EQ(chosen.mac, chosen.ip.empty() ? "" : "0A-00-27-00-00-0C");
    }
}

TEST(IdentityTest, AServerWithoutARouteLeavesTheChoiceToTheLookups) {
    MachineIdentity v, towardsLoopback, plain;
    EXPECT_FALSE(FindAdapterTowardsServer("not-an-address", &v));
    // Windows routes the loopback through its loopback adapter, which names no PC; Wine through the card.
    EXPECT_TRUE(GatherMachineIdentity(&towardsLoopback, 1, "127.0.0.1"));
    EXPECT_TRUE(GatherMachineIdentity(&plain, 1));
    EXPECT_EQ(towardsLoopback.mac, plain.mac);
}

}  // namespace
