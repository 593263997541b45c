// NAT traversal: finds a working UDP path between the two machines of a
// connection attempt (host candidates, STUN reflexive addresses, low-TTL
// mapping probes, connectivity checks) and builds the transport on it.
//
// Callbacks never run with the manager's lock held, so they may call back into
// any manager (this one included) and take their own locks freely.
#pragma once

#include <cstdint>

#include "connection/guest_info.h"
#include "connection/stun.h"
#include "connection/udp.h"

struct NatManager;
struct VKO_Cert;

constexpr uint32_t NAT_MODE_HOST = 0;    // the host's listener
constexpr uint32_t NAT_MODE_CLIENT = 1;  // the connecting side

constexpr uint32_t NAT_PROTO_BUD = 1;
constexpr uint32_t NAT_PROTO_SCTP = 2;

constexpr uint32_t NAT_MAX_SERVERS = 20;
// Attempts a manager holds at once: well above a room of guests, well below
// the descriptor limit (each started attempt holds a socket).
constexpr uint32_t NAT_MAX_ATTEMPTS = 256;
constexpr uint32_t NAT_MAX_CANDIDATES = 32;
constexpr uint16_t NAT_STUN_PORT = 3478;

// Outcomes of an attempt (besides any transport creation code).
constexpr int32_t NAT_END_NOT_STARTED = 6;  // not started within 30 s
constexpr int32_t NAT_END_REFUSED = 8;      // the host's user refused
constexpr int32_t NAT_END_CANCELLED = 9;    // the client cancelled
constexpr int32_t NAT_ERR_NO_PATH = -6023;
constexpr int32_t NAT_ERR_NO_STUN = -6024;
constexpr int32_t NAT_ERR_INTEGRITY = -6025;
constexpr int32_t NAT_ERR_NO_CANDIDATES = -6033;
constexpr int32_t NAT_ERR_BIND = -6112;

struct NatCallbacks {
    // A local candidate for the signaling to send to the peer.
    void (*on_local_candidate)(const char *attempt_id, const char *ip, uint16_t port, uint8_t lan,
                               uint8_t from_stun, uint8_t sync, void *opaque);
    // The link is up; the callee owns record from now on.
    void (*on_connected)(const GuestInfo *peer, TransportRecord *record, void *opaque);
    void (*on_failed)(const GuestInfo *peer, int32_t code, void *opaque);
};

// mode: NAT_MODE_HOST or NAT_MODE_CLIENT. servers: "host[@port],..." (see
// nat_set_servers). relay_mode: 0 off, 1 all connections, 2 WAN connections.
// fast: no pacing between server requests. The manager starts stopped.
int32_t nat_create(NatManager **out, uint32_t mode, const char *servers, uint32_t relay_mode, uint8_t fast);

// Replaces the server list; the built-in STUN server is added unless relaying.
void nat_set_servers(NatManager *nat, const char *list, uint32_t relay_mode, uint8_t fast);

// (Re)starts the thread; any attempt of a previous run is closed and dropped.
void nat_start(NatManager *nat, const NatCallbacks *callbacks, void *opaque);

// Stops the thread and drops every attempt (closing its socket) without
// reporting it. Called from one of the manager's own callbacks it only asks
// the thread to stop (the thread ends after the current pass).
void nat_stop(NatManager *nat);

// Stops, joins, frees every attempt and the manager; clears *nat.
void nat_destroy(NatManager **nat);

// A new attempt. client_creds: own on the client side, from the offer on the
// host side. peer (may be null) is copied and handed back to the callbacks.
// cert (may be null) is the own DTLS certificate for NAT_PROTO_SCTP, taken
// over in every case (freed when not used). 1 when added, 0 when the attempt
// id exists already, NAT_ADD_FULL when NAT_MAX_ATTEMPTS are held.
constexpr uint8_t NAT_ADD_FULL = 2;
uint8_t nat_add_peer(NatManager *nat, const char *attempt_id, uint32_t proto, const Creds *client_creds,
                     const GuestInfo *peer, VKO_Cert *cert, uint32_t cg_level);

// Starts the attempt: binds its socket at start_port (or one of the next 49,
// else any port) and begins the search. host_creds: own on the host side,
// from the answer on the client side. cert as for nat_add_peer (may be null);
// nothing happens, but cert is freed, when the attempt is unknown or started.
void nat_begin_p2p(NatManager *nat, const char *attempt_id, uint16_t start_port, const Creds *host_creds,
                   VKO_Cert *cert);

// A candidate the peer sent through signaling.
void nat_add_candidate(NatManager *nat, const char *attempt_id, const char *ip, uint16_t port, uint8_t lan,
                       uint8_t from_stun, uint8_t sync);

// Ends an attempt with code (NAT_END_REFUSED, NAT_END_CANCELLED); the thread
// reports it through on_failed. False when the attempt is unknown.
bool nat_set_end_code(NatManager *nat, const char *attempt_id, int32_t code);

// The transport an attempt will build (NAT_PROTO_BUD or NAT_PROTO_SCTP); false
// when the attempt is unknown.
bool nat_get_peer_proto(NatManager *nat, const char *attempt_id, uint32_t *proto);

// The local UDP port a started attempt bound (what its candidates carry);
// false when the attempt is unknown, not started or bound no socket.
bool nat_get_peer_port(NatManager *nat, const char *attempt_id, uint16_t *port);

// Copies the peer records of up to max pending attempts; answers how many exist.
uint32_t nat_get_peers(NatManager *nat, GuestInfo *out, uint32_t max);

// The built-in STUN servers (process-wide): IPv4 host and port, IPv6 host and
// port (an empty IPv6 host skips the IPv6 request). Null keeps a value.
void nat_set_builtin_servers(const char *v4_host, uint16_t v4_port, const char *v6_host, uint16_t v6_port);

// Moves the manager's clock forward (for tests of the 7.5 s and 30 s limits).
void nat_advance_clock(NatManager *nat, uint64_t ms);

// Internals exposed for tests: the stored server entries.
struct NatServer {
    char host[256];
    uint8_t is_default;
    uint16_t port;
};
uint32_t nat_get_servers(NatManager *nat, NatServer *out, uint32_t max, uint32_t *relay_mode);

// Tests: the idle period of the manager's thread (100 ms unless set), and how
// many idle waits it has begun. Any new work ends an idle wait at once.
void nat_set_idle_ms(NatManager *nat, uint32_t ms);
uint64_t nat_idle_waits(NatManager *nat);
