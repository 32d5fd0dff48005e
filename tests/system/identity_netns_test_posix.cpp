// Linux only: the identity lookups against real kernel tables, in network namespaces made for each case.
// The agent's own code runs inside them through the identity_probe helper.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using tavrel::test::HelperPath;
using tavrel::test::TempFolder;
using tavrel::test::WriteFileBytes;

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string Run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[512];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    pclose(pipe);
    return output;
}

struct Adapter {
    std::string name;
    std::string mac;      // as `ip` takes it
    std::string macText;  // as the agent reports it
    std::string address;
};

const Adapter kA{"a0", "02:00:5e:10:0a:01", "02-00-5E-10-0A-01", "10.201.1.2"};
const Adapter kB{"b0", "02:00:5e:10:0b:02", "02-00-5E-10-0B-02", "10.201.2.2"};
const Adapter kC{"c0", "0a:00:27:00:00:0c", "0A-00-27-00-00-0C", "10.201.3.2"};

// A network namespace of its own for one case, removed with everything in it when the object goes.
class Namespace {
public:
    Namespace() {
        static int counter = 0;
        m_name = "tvl-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        if (geteuid() != 0) {
            m_whyNot = "network namespaces need root (CAP_NET_ADMIN); run the suite as root";
            return;
        }
        if (std::system(("ip netns add " + m_name + " >/dev/null 2>&1").c_str()) != 0) {
            m_whyNot = "`ip netns add` failed: no network namespaces here";
            return;
        }
        m_made = true;
        // A live loopback, as on any machine; it adds no route to the main table.
        if (!Ip("link set lo up")) m_whyNot = "cannot bring the namespace's loopback up";
        if (m_whyNot.empty() && std::system("unshare --uts true >/dev/null 2>&1") != 0)
            m_whyNot = "`unshare --uts` does not work here";
    }
    ~Namespace() {
        if (m_made) std::system(("ip netns del " + m_name + " >/dev/null 2>&1").c_str());
    }
    bool Ready() const { return m_made && m_whyNot.empty(); }
    const std::string& WhyNot() const { return m_whyNot; }

    bool Ip(const std::string& arguments) {
        return std::system(("ip -n " + m_name + " " + arguments + " >/dev/null 2>&1").c_str()) == 0;
    }
    // A veth pair with both ends here; the first end gets the hardware address and the address.
    bool AddAdapter(const Adapter& a) {
        const std::string peer = a.name.substr(0, 1) + "1";
        return Ip("link add " + a.name + " type veth peer name " + peer) &&
               Ip("link set " + a.name + " address " + a.mac) && Ip("addr add " + a.address + "/24 dev " + a.name) &&
               Ip("link set " + a.name + " up") && Ip("link set " + peer + " up");
    }
    std::string Gateway(const Adapter& a) const { return a.address.substr(0, a.address.rfind('.')) + ".1"; }
    // The interface of the default route the kernel lists first.
    std::string FirstDefaultRouteDevice() {
        std::string text = Run("ip -n " + m_name + " -4 route show default");
        std::string::size_type dev = text.find(" dev ");
        if (dev == std::string::npos) return "";
        return text.substr(dev + 5, text.find(' ', dev + 5) - dev - 5);
    }

    // Runs identity_probe inside, under its own host name resolved by its own hosts file.
    std::map<std::string, std::string> Probe(const std::string& hostName, const std::string& hosts,
                                             const std::vector<std::string>& macQueries = {}) {
        WriteFileBytes(m_scratch / "hosts", hosts);
        // Name servers only on the namespace's own loopback: a name the hosts file lacks fails at once
        // instead of waiting for a server behind a gateway that is not there.
        WriteFileBytes(m_scratch / "resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
        std::string command =
            "ip netns exec " + m_name + " unshare --uts sh -c " +
            Quote("mount --bind \"$1\" /etc/hosts && { [ ! -e /etc/resolv.conf ] || mount --bind \"$2\" "
                  "/etc/resolv.conf; } && printf %s \"$3\" >/proc/sys/kernel/hostname && shift 3 && exec \"$@\"") +
            " sh " + Quote(m_scratch / "hosts") + " " + Quote(m_scratch / "resolv.conf") + " " + Quote(hostName) +
            " " + Quote(HelperPath("identity_probe"));
        for (const std::string& q : macQueries) command += " " + Quote(q);
        std::map<std::string, std::string> found;
        std::string output = Run(command + " 2>&1");
        std::string::size_type at = 0;
        while (at < output.size()) {
            std::string::size_type end = output.find('\n', at);
            if (end == std::string::npos) end = output.size();
            std::string line = output.substr(at, end - at);
            std::string::size_type eq = line.find('=');
            if (line.compare(0, 4, "mac[") == 0) eq = line.find("]=") + 1;
            if (eq != std::string::npos && eq > 0) found[line.substr(0, eq)] = line.substr(eq + 1);
            at = end + 1;
        }
        if (found.empty()) found["error"] = output;
        return found;
    }

private:
    std::string m_name;
    std::string m_whyNot;
    bool m_made = false;
    TempFolder m_scratch;
};

#define REQUIRE_NAMESPACE(ns) \
    if (!(ns).Ready()) GTEST_SKIP() << "identity against kernel tables not tested: " << (ns).WhyNot()

const std::string kLocalHosts = "127.0.0.1 localhost\n";

TEST(IdentityInNamespaces, TheDefaultRouteWithTheLowerMetricWins) {
    struct Row {
        unsigned metricA, metricB;
        const Adapter& winner;
    } rows[] = {{200, 100, kB}, {100, 200, kA}, {0, 1, kA}, {4294967295u, 7, kB}};
    for (const Row& row : rows) {
        SCOPED_TRACE("metrics a=" + std::to_string(row.metricA) + " b=" + std::to_string(row.metricB));
        Namespace ns;
        REQUIRE_NAMESPACE(ns);
        ASSERT_TRUE(ns.AddAdapter(kA) && ns.AddAdapter(kB));
        ASSERT_TRUE(ns.Ip("route add default via " + ns.Gateway(kA) + " dev a0 metric " + std::to_string(row.metricA)));
        ASSERT_TRUE(ns.Ip("route add default via " + ns.Gateway(kB) + " dev b0 metric " + std::to_string(row.metricB)));
        auto found = ns.Probe("tvl-seat", kLocalHosts);
        std::cout << "namespace: metrics a0=" << row.metricA << " b0=" << row.metricB << " -> ip=" << found["ip"]
                  << " mac=" << found["mac"] << std::endl;
        EXPECT_EQ(found["route"], "1") << found["error"];
        EXPECT_EQ(found["route_ip"], row.winner.address);
        EXPECT_EQ(found["gather"], "1");
        EXPECT_EQ(found["ip"], row.winner.address);
        EXPECT_EQ(found["mac"], row.winner.macText);
    }
}

TEST(IdentityInNamespaces, OnEqualMetricsTheRouteTheKernelListsFirstWins) {
    // `ip route append` lists the new route after the old one, `prepend` before it.
    struct Row {
        const char* how;
        const Adapter& winner;
    } rows[] = {{"append", kA}, {"prepend", kB}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.how);
        Namespace ns;
        REQUIRE_NAMESPACE(ns);
        ASSERT_TRUE(ns.AddAdapter(kA) && ns.AddAdapter(kB));
        ASSERT_TRUE(ns.Ip("route add default via " + ns.Gateway(kA) + " dev a0 metric 50"));
        ASSERT_TRUE(ns.Ip(std::string("route ") + row.how + " default via " + ns.Gateway(kB) + " dev b0 metric 50"));
        ASSERT_EQ(ns.FirstDefaultRouteDevice(), row.winner.name) << "the kernel's own listing";
        auto found = ns.Probe("tvl-seat", kLocalHosts);
        std::cout << "namespace: equal metrics, b0 " << row.how << "ed -> ip=" << found["ip"]
                  << " mac=" << found["mac"] << std::endl;
        EXPECT_EQ(found["route"], "1") << found["error"];
        EXPECT_EQ(found["ip"], row.winner.address);
        EXPECT_EQ(found["mac"], row.winner.macText);
    }
}

TEST(IdentityInNamespaces, ADefaultRouteThatLeadsNowhereIsPassedOver) {
    Namespace ns;
    REQUIRE_NAMESPACE(ns);
    ASSERT_TRUE(ns.AddAdapter(kA));
    ASSERT_TRUE(ns.Ip("route add unreachable default metric 10"));
    ASSERT_TRUE(ns.Ip("route add default via " + ns.Gateway(kA) + " dev a0 metric 100"));
    auto found = ns.Probe("tvl-seat", kLocalHosts);
    EXPECT_EQ(found["route"], "1") << found["error"];
    EXPECT_EQ(found["ip"], kA.address);
}

TEST(IdentityInNamespaces, WithoutADefaultRouteTheHostNameGivesTheAddress) {
    Namespace ns;
    REQUIRE_NAMESPACE(ns);
    ASSERT_TRUE(ns.AddAdapter(kC));
    auto found = ns.Probe("tvl-seat-07", kLocalHosts + kC.address + " tvl-seat-07\n");
    std::cout << "namespace: no default route, host name lookup -> ip=" << found["ip"] << " mac=" << found["mac"]
              << " computer=" << found["computer"] << std::endl;
    EXPECT_EQ(found["route"], "0") << "routes, but no default one; " << found["error"];
    EXPECT_EQ(found["hostname"], "1");
    EXPECT_EQ(found["hostname_ip"], kC.address);
    EXPECT_EQ(found["gather"], "1");
    EXPECT_EQ(found["ip"], kC.address);
    EXPECT_EQ(found["mac"], kC.macText);
    EXPECT_EQ(found["computer"], "tvl-seat-07");
}

TEST(IdentityInNamespaces, AnAdapterWithTwoAddressesMatchesOnEither) {
    Namespace ns;
    REQUIRE_NAMESPACE(ns);
    ASSERT_TRUE(ns.AddAdapter(kA));
    ASSERT_TRUE(ns.Ip("addr add 10.201.5.9/24 dev a0"));
    ASSERT_TRUE(ns.AddAdapter(kB));
    ASSERT_TRUE(ns.Ip("route add default via " + ns.Gateway(kA) + " dev a0"));
    struct Row {
        std::string asked;
        std::string mac;
    } rows[] = {
        {kA.address, kA.macText}, {"10.201.5.9", kA.macText}, {kB.address, kB.macText},
        {kA.address + " ", ""},   {" 10.201.5.9", ""},        {"10.201.1.20", ""},
        {"10.201.1", ""},         {"127.0.0.1", ""},
    };
    std::vector<std::string> queries;
    for (const Row& row : rows) queries.push_back(row.asked);
    auto found = ns.Probe("tvl-seat", kLocalHosts, queries);
    for (const Row& row : rows)
        EXPECT_EQ(found["mac[" + row.asked + "]"], row.mac) << "[" << row.asked << "] " << found["error"];
    EXPECT_EQ(found["ip"], kA.address) << "the primary address of the default route's interface";
}

TEST(IdentityInNamespaces, WithoutANetworkTheIdentityStaysUnknown) {
    struct Row {
        const char* what;
        std::string hosts;
        std::string hostnameIp;
    } rows[] = {
        {"host name unknown", kLocalHosts, ""},
        // Debian maps its own host name to 127.0.1.1, an address no adapter holds: passed over, keep waiting.
        {"host name on the loopback", kLocalHosts + "127.0.1.1 tvl-seat\n", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Namespace ns;
        REQUIRE_NAMESPACE(ns);
        auto found = ns.Probe("tvl-seat", row.hosts);
        EXPECT_EQ(found["route"], "-1") << "no routes at all; " << found["error"];
        EXPECT_EQ(found["hostname_ip"], row.hostnameIp);
        EXPECT_EQ(found["gather"], "0");
        EXPECT_EQ(found["mac"], "");
    }
}

// A stock Debian seat on a room network without a gateway: the host name gives only 127.0.1.1, so the
// address of an adapter is taken instead.
TEST(IdentityInNamespaces, WithoutAGatewayTheFirstLiveAdapterGivesTheAddress) {
    struct Row {
        const char* what;
        std::vector<std::string> commands;  // after b0, then a0, have been added (b0 has the lower index)
        const Adapter* winner;
        const char* hostAddress = "127.0.1.1";  // what the hosts file says of the host name
    } rows[] = {
        {"the lower interface index wins", {}, &kB},
        {"an adapter that is down is passed over", {"link set b0 down"}, &kA},
        {"an adapter without an IPv4 address is passed over", {"addr flush dev b0"}, &kA},
        {"no adapter up: nothing", {"link set b0 down", "link set a0 down"}, nullptr},
        // An old static address that no adapter holds any more: in the same pass, not never.
        {"a stale host name entry is passed over", {}, &kB, "10.201.9.9"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Namespace ns;
        REQUIRE_NAMESPACE(ns);
        ASSERT_TRUE(ns.AddAdapter(kB) && ns.AddAdapter(kA));
        for (const std::string& command : row.commands) ASSERT_TRUE(ns.Ip(command)) << command;
        auto found = ns.Probe("tvl-seat", kLocalHosts + row.hostAddress + " tvl-seat\n");
        std::cout << "namespace: no gateway, " << row.what << " -> ip=" << found["ip"] << " mac=" << found["mac"]
                  << std::endl;
        EXPECT_EQ(found["route"], row.winner ? "0" : "-1") << found["error"];
        const bool loopback = std::string(row.hostAddress).rfind("127.", 0) == 0;
        EXPECT_EQ(found["hostname"], loopback ? "0" : "1") << "127.0.1.1 is no answer";
        EXPECT_EQ(found["gather"], row.winner ? "1" : "0");
        EXPECT_EQ(found["ip"], row.winner ? row.winner->address : "");
        EXPECT_EQ(found["mac"], row.winner ? row.winner->macText : "");
    }
}

TEST(IdentityInNamespaces, ANonAsciiHostNameStaysUtf8) {
    Namespace ns;
    REQUIRE_NAMESPACE(ns);
    ASSERT_TRUE(ns.AddAdapter(kC));
    const std::string name = "\xE8\x80\x83\xE5\x9C\xBA-07";  // 考场-07
    auto found = ns.Probe(name, kLocalHosts);
    EXPECT_EQ(found["gather"], "1") << found["error"];
    EXPECT_EQ(found["computer"], name);
}

}  // namespace
