#include <gtest/gtest.h>

#include <cctype>
#include <iostream>
#include <string>

#include "agent/agent.h"
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

class IdentityTest : public ::testing::Test {
protected:
    void SetUp() override { ResetShared(); }
    void TearDown() override { ResetShared(); }
};

TEST_F(IdentityTest, ThisMachineHasAnAddressAMacAndAName) {
    ASSERT_TRUE(GatherMachineIdentity(1)) << "this machine has a network";
    SharedValues v = SnapshotShared();
    std::cout << "identity: ip=" << v.LocalIp << " mac=" << v.LocalMac << " computer=" << v.LocalComputerName
              << std::endl;
    EXPECT_TRUE(IsDottedIpv4(v.LocalIp)) << v.LocalIp;
    EXPECT_TRUE(IsMacText(v.LocalMac)) << v.LocalMac;
    EXPECT_FALSE(v.LocalComputerName.empty());
    EXPECT_EQ(v.LocalComputerName, GetLocalComputerName());
}

TEST_F(IdentityTest, TheDefaultRouteGivesTheAddress) {
    int found = GetLocalIpByRoute();
    std::cout << "route: " << found << " ip=" << ReadShared(&SharedValues::LocalIp) << std::endl;
    ASSERT_EQ(found, 1) << "this machine has a default route";
    EXPECT_TRUE(IsDottedIpv4(ReadShared(&SharedValues::LocalIp)));
}

TEST_F(IdentityTest, MacLookupNeedsTheExactAddressText) {
    ASSERT_TRUE(GatherMachineIdentity(1));
    const std::string ip = ReadShared(&SharedValues::LocalIp);
    const std::string mac = ReadShared(&SharedValues::LocalMac);
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
