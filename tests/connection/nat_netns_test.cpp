// NAT traversal across real NATs: two peers in namespaces of their own, each
// behind a router namespace that masquerades (nftables), joined by a chain of
// router namespaces, one of which runs the STUN server. Ordinary masquerade keeps
// one mapping per socket and hole punching succeeds; masquerade with random
// ports maps per destination and the attempt must fail with -6023.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "connection/nat.h"
#include "support/net/nat_pair.h"
#include "support/net/netns.h"
#include "support/net/stun_server.h"

namespace {

constexpr const char *kStunAddress = "192.0.2.2";

// peer A (10.0.1.2) - natA - r1 - r2 (STUN) - r3 - natB - peer B (10.0.2.2).
// Three routers between the NATs: a mapping probe (TTL 4) expires before it
// reaches the peer's NAT, as it would on the Internet.
struct Topology {
    NetnsLab lab;
    std::string a, nat_a, r1, r2, r3, nat_b, b;
    std::unique_ptr<StunServer> stun;

    bool build(bool random_ports) {
        for (auto [ns, tag] : {std::pair{&a, "a"},
                               {&nat_a, "na"},
                               {&r1, "r1"},
                               {&r2, "r2"},
                               {&r3, "r3"},
                               {&nat_b, "nb"},
                               {&b, "b"}})
            if ((*ns = lab.add(tag)).empty()) return false;
        std::string masq = random_ports ? "masquerade random" : "masquerade";
        bool ok = lab.link(a, "a0", "10.0.1.2/24", nat_a, "a1", "10.0.1.1/24") &&
                  lab.link(nat_a, "pub", "198.51.100.1/24", r1, "ia", "198.51.100.254/24") &&
                  lab.link(r1, "x", "192.0.2.1/30", r2, "x", "192.0.2.2/30") &&
                  lab.link(r2, "y", "192.0.2.5/30", r3, "y", "192.0.2.6/30") &&
                  lab.link(r3, "ib", "203.0.113.254/24", nat_b, "pub", "203.0.113.1/24") &&
                  lab.link(b, "b0", "10.0.2.2/24", nat_b, "b1", "10.0.2.1/24") &&
                  lab.run(a, "ip route add default via 10.0.1.1") &&
                  lab.run(b, "ip route add default via 10.0.2.1") &&
                  lab.run(nat_a, "ip route add default via 198.51.100.254") &&
                  lab.run(nat_b, "ip route add default via 203.0.113.254") &&
                  lab.run(r1, "ip route add default via 192.0.2.2") &&
                  lab.run(r3, "ip route add default via 192.0.2.5") &&
                  lab.run(r2, "ip route add 198.51.100.0/24 via 192.0.2.1") &&
                  // Answers to peer B leave from the server's address too.
                  lab.run(r2, "ip route add 203.0.113.0/24 via 192.0.2.6 src 192.0.2.2");
        for (const std::string &router : {r1, r2, r3})
            ok = ok && lab.run(router, "sysctl -qw net.ipv4.ip_forward=1");
        for (const std::string &nat : {nat_a, nat_b})
            ok = ok && lab.run(nat, "sysctl -qw net.ipv4.ip_forward=1") &&
                 lab.run(nat,
                         "nft add table ip nat && nft add chain ip nat post { type nat hook postrouting "
                         "priority 100 \\; } && nft add rule ip nat post oifname pub " +
                             masq);
        if (!ok) return false;
        stun = std::make_unique<StunServer>();
        bool started = false;
        lab.in_ns(r2, [&] { started = stun->start(NAT_STUN_PORT); });
        nat_set_builtin_servers(kStunAddress, NAT_STUN_PORT, "", 0);
        return started;
    }

    NatPlace place(const std::string &ns) {
        return [this, ns](const std::function<void()> &fn) { lab.in_ns(ns, fn); };
    }

    ~Topology() {
        if (stun) stun->stop();
    }
};

#define NEED_NAMESPACES(topo)                                                                   \
    if (!(topo).lab.available()) GTEST_SKIP() << "no network namespaces: " << (topo).lab.why(); \
    ASSERT_TRUE((topo).build(random_ports)) << "namespace topology could not be built"

class NatAcrossNats : public ::testing::TestWithParam<uint32_t> {};

TEST_P(NatAcrossNats, HolePunchingThroughMasquerade) {
    const bool random_ports = false;
    Topology topo;
    NEED_NAMESPACES(topo);
    NatPair pair;
    ASSERT_TRUE(pair.start(GetParam(), "", topo.place(topo.a), topo.place(topo.b)));
    ASSERT_TRUE(pair.wait(20000));
    EXPECT_EQ(pair.host.failed, 0);
    EXPECT_EQ(pair.client.failed, 0);
    EXPECT_TRUE(pair.exchange());
}

INSTANTIATE_TEST_SUITE_P(Protocols, NatAcrossNats, ::testing::Values(NAT_PROTO_BUD, NAT_PROTO_SCTP));

TEST(NatAcrossNats, PortsPerDestinationDefeatHolePunching) {
    const bool random_ports = true;
    Topology topo;
    NEED_NAMESPACES(topo);
    NatPair pair;
    ASSERT_TRUE(pair.start(NAT_PROTO_BUD, "", topo.place(topo.a), topo.place(topo.b)));
    // Candidates exchanged and checks under way, then the no-progress limit.
    for (int i = 0; i < 200 && !pair.candidates_exchanged(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(pair.candidates_exchanged());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    nat_advance_clock(pair.host.nat, 7600);
    nat_advance_clock(pair.client.nat, 7600);
    ASSERT_TRUE(pair.wait(10000, true));
    EXPECT_EQ(pair.host.failed, NAT_ERR_NO_PATH);
    EXPECT_EQ(pair.client.failed, NAT_ERR_NO_PATH);
    EXPECT_EQ(pair.host.record, nullptr);
}

}  // namespace
