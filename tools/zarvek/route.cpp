// Candidate routing: the event poller hands each instance's local candidates
// here and they are passed to the other side through signaling, only those on
// loopback; with loss or delay asked for, the relay is set up between the
// first pair and each side is pointed at it.
//
// Threads: the event poller alone calls from_client and from_host and so owns
// the route's fields and starts the relay; the main thread stops the relay
// after the poller has been joined.
#include "route.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "connection/udp.h"

namespace zv {
namespace {

bool loopback(const char *ip) {
    return std::strcmp(ip, "127.0.0.1") == 0 || std::strcmp(ip, "::1") == 0 ||
           std::strcmp(ip, "::ffff:127.0.0.1") == 0;
}

void point_at(Candidate *c, const sockaddr_in6 &a) {
    std::snprintf(c->ip, sizeof c->ip, "127.0.0.1");
    c->port = ntohs(a.sin6_port);
}

// A fixed address is announced as a LAN candidate not learnt from STUN; on
// loopback no other candidate is.
bool fixed_address(const Candidate &c) {
    return c.lan && !c.from_stun;
}

}  // namespace

void CandidateRoute::from_client(const Candidate &c) {
    if (!loopback(c.ip) || (fixed_only && !c.sync && !fixed_address(c))) return;
    if (!relay_on || c.sync) return signal_send_candex(sig->client, &c);
    if (have_client) return;
    client = c;
    have_client = true;
    start();
}

void CandidateRoute::from_host(const Candidate &c) {
    if (!loopback(c.ip) || (fixed_only && !c.sync && !fixed_address(c))) return;
    if (!relay_on || c.sync) return signal_send_candex(sig->host, &c);
    if (have_host) return;
    host = c;
    have_host = true;
    start();
}

void CandidateRoute::start() {
    if (started || !have_host || !have_client) return;
    sockaddr_in6 a{}, b{};
    if (!network_make_addr(host.ip, host.port, &a) || !network_make_addr(client.ip, client.port, &b)) return;
    relay = std::make_unique<LossyRelay>(1);
    relay->set_rules(LossyRelay::AtoB, rules);
    relay->set_rules(LossyRelay::BtoA, rules);
    if (!relay->start(a, b)) return;
    started = true;
    Candidate to_host = client, to_client = host;
    point_at(&to_host, relay->address_for_a());    // the host reaches the client here
    point_at(&to_client, relay->address_for_b());  // and the client the host here
    signal_send_candex(sig->client, &to_host);
    signal_send_candex(sig->host, &to_client);
}

}  // namespace zv
