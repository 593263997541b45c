// Two peers behind masquerading NATs, in network namespaces:
// peer A (10.0.1.2) - natA - r1 - r2 (STUN) - r3 - natB - peer B (10.0.2.2).
// Three routers between the NATs: a mapping probe (TTL 4) expires before it
// reaches the peer's NAT, as it would on the Internet. The built-in STUN
// server of every NAT manager points at r2 once built.
#pragma once

#include <memory>
#include <string>

#include "support/net/nat_pair.h"
#include "support/net/netns.h"
#include "support/net/stun_server.h"

struct NatTopology {
    NetnsLab lab;
    std::string a, nat_a, r1, r2, r3, nat_b, b;
    std::unique_ptr<StunServer> stun;

    // random_ports: the NATs map each destination to a port of its own.
    bool build(bool random_ports);
    // Runs a side's work inside namespace ns.
    NatPlace place(const std::string &ns);
    ~NatTopology();
};
