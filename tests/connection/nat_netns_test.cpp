// NAT traversal across real NATs: two peers in namespaces of their own, each
// behind a router namespace that masquerades (nftables), joined by a chain of
// router namespaces, one of which runs the STUN server. Ordinary masquerade keeps
// one mapping per socket and hole punching succeeds; masquerade with random
// ports maps per destination and the attempt must fail with -6023.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "connection/nat.h"
#include "support/net/nat_pair.h"
#include "support/net/nat_topology.h"

namespace {

#define NEED_NAMESPACES(topo)                                                                   \
    if (!(topo).lab.available()) GTEST_SKIP() << "no network namespaces: " << (topo).lab.why(); \
    ASSERT_TRUE((topo).build(random_ports)) << "namespace topology could not be built"

class NatAcrossNats : public ::testing::TestWithParam<uint32_t> {};

TEST_P(NatAcrossNats, HolePunchingThroughMasquerade) {
    const bool random_ports = false;
    NatTopology topo;
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
    NatTopology topo;
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
