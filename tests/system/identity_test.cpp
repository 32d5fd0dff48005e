#include <gtest/gtest.h>

#include <cctype>
#include <iostream>
#include <string>

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

}  // namespace
