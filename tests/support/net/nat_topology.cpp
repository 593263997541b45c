#include "support/net/nat_topology.h"

namespace {

constexpr const char *kStunAddress = "192.0.2.2";

}  // namespace

bool NatTopology::build(bool random_ports) {
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

NatPlace NatTopology::place(const std::string &ns) {
    return [this, ns](const std::function<void()> &fn) { lab.in_ns(ns, fn); };
}

NatTopology::~NatTopology() {
    if (stun) stun->stop();
}
