// Threads and shared state of a NAT manager:
// - one thread per manager (nat_thread) does all the network work of its
//   attempts; signaling threads add attempts, credentials and candidates.
// - mutex guards the peers map, every NatPeer in it, the server entries,
//   relay_mode, fast, last_send (the pacing time shared by all sends) and
//   work: a count raised (with a notice on wake) by every call that gives the
//   thread something to do. The thread notes work under the same lock as its
//   pass and ends an idle wait as soon as it changes, so new work is never
//   left waiting for the idle period.
// - Nobody sleeps or resolves a name while holding mutex: the thread's
//   pacing waits and look-ups release it, and nat_begin_p2p binds its socket
//   before taking it. While the thread runs it alone removes attempts from
//   the map, so its pass keeps its NatPeer pointers across those waits;
//   attempts added meanwhile are taken up by the next pass.
// - The map holds at most NAT_MAX_ATTEMPTS attempts (each may hold a socket).
// - idle_ms (the idle period) and idle_waits (idle waits begun, for tests)
//   are atomics.
// - state is 1 while a thread runs and 3 when stopped, changed by
//   compare-and-swap; stop asks the thread to end after its pass. Both may be
//   set from the manager's own callbacks, which never join.
// - thread (the std::thread object) is touched only by callers other than the
//   manager's own thread, serialised by control. A stop that joins the thread
//   also drops every attempt left, closing its socket.
// - Callbacks are collected under mutex and fired after it is released, so a
//   callback may call into any manager and take any lock.
// - An attempt leaves the map before its outcome is reported: once removed,
//   nothing else refers to it.
#include "connection/nat.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "connection/bud.h"
#include "connection/protocol.h"
#include "connection/sctp.h"
#include "platform/dtls.h"
#include "platform/log.h"
#include "platform/thread.h"

namespace {

constexpr uint64_t kNotStartedMs = 30000;
constexpr uint64_t kNoProgressMs = 7500;
constexpr uint64_t kRequestEveryMs = 500;
constexpr uint64_t kPaceMs = 35;
constexpr uint64_t kPaceNextServerMs = 10;
constexpr int kPollMs = 20;
constexpr int kIdleMs = 100;
constexpr uint32_t kMaxWatched = 20;
constexpr uint32_t kBindTries = 50;
constexpr int kSocketBuffer = 0x500000;
constexpr int32_t kErrNotStun = -34001;
constexpr int32_t kErrServerReply = -34002;

struct NatCandidate {
    uint64_t last_check;
    char ip[72];
    uint16_t port;
    uint8_t lan;
    uint8_t from_stun;
};

struct ServerState {
    uint8_t replied;
    uint16_t mapped_port;
};

struct Builtin {
    std::mutex mutex;
    std::string v4_host = "stun.zarvek.net";
    uint16_t v4_port = NAT_STUN_PORT;
    std::string v6_host = "stun6.zarvek.net";
    uint16_t v6_port = NAT_STUN_PORT;
};
Builtin g_builtin;

uint64_t steady_ms() {
    return static_cast<uint64_t>(VKO_GetTime() / 1000000);
}

}  // namespace

struct NatPeer {
    std::unordered_map<std::string, const char *> transactions;
    char attempt_id[56];
    uint32_t mode;
    Creds client_creds;
    Creds host_creds;
    GuestInfo peer_info;
    NatCandidate candidates[NAT_MAX_CANDIDATES];
    uint64_t candidate_count;
    VKO_Cert *certificate;
    PacketInfo path_local;
    uint16_t local_port;
    int32_t end_code;
    uint32_t cg_level;
    sockaddr_in6 path_remote;
    int socket;
    PacketInfo local_v4, local_v6;
    uint64_t last_progress;
    uint64_t created;
    uint64_t last_server_request;
    ServerState server_state[NAT_MAX_SERVERS];
    uint8_t announce_pending, integrity_failed, started, stun_replied, candidate_received, v6_or_checked,
        probe_sent, peer_synced, path_chosen, have_local_v4, have_local_v6;
};

struct NatManager {
    std::thread thread;
    std::atomic<std::thread::id> thread_id{};
    std::mutex control;
    std::mutex mutex;
    std::condition_variable wake;
    uint64_t last_send = 0;
    std::atomic<int32_t> state{3};
    std::unordered_map<std::string, NatPeer *> peers;
    NatCallbacks callbacks{};
    void *opaque = nullptr;
    uint8_t fast = 0;
    std::atomic<bool> stop{false};
    uint32_t relay_mode = 0;
    NatServer servers[NAT_MAX_SERVERS];
    uint32_t server_count = 0;
    uint32_t mode = 0;
    std::atomic<uint64_t> clock_offset{0};
    uint64_t work = 0;
    std::atomic<uint32_t> idle_ms{kIdleMs};
    std::atomic<uint64_t> idle_waits{0};
};

namespace {
// New work for the thread; the caller holds the mutex.
void notify_work(NatManager *m) {
    m->work++;
    m->wake.notify_all();
}
}  // namespace

namespace {

// One callback to fire once the mutex is released.
struct Event {
    enum Kind { kCandidate, kConnected, kFailed } kind;
    char attempt_id[56];
    char ip[72];
    uint16_t port;
    uint8_t lan, from_stun, sync;
    GuestInfo peer;
    TransportRecord *record;
    int32_t code;
};
using Events = std::vector<Event>;

uint64_t now_ms(const NatManager *m) {
    return steady_ms() + m->clock_offset.load(std::memory_order_relaxed);
}

void copy_text(char *dst, size_t size, const char *src) {
    std::snprintf(dst, size, "%s", src ? src : "");
}

void push_candidate(Events &ev, const NatPeer *p, const char *ip, uint16_t port, uint8_t lan,
                    uint8_t from_stun, uint8_t sync) {
    Event e{};
    e.kind = Event::kCandidate;
    copy_text(e.attempt_id, sizeof e.attempt_id, p->attempt_id);
    copy_text(e.ip, sizeof e.ip, ip);
    e.port = port;
    e.lan = lan;
    e.from_stun = from_stun;
    e.sync = sync;
    ev.push_back(e);
}

void nat_free_record(TransportRecord *rec) {
    rec->close(rec->ctx);
    VKO_MutexDestroy(&rec->send_lock);
    delete rec;
}

void fire(NatManager *m, Events &ev) {
    for (Event &e : ev) {
        switch (e.kind) {
            case Event::kCandidate:
                if (m->callbacks.on_local_candidate)
                    m->callbacks.on_local_candidate(e.attempt_id, e.ip, e.port, e.lan, e.from_stun, e.sync,
                                                    m->opaque);
                break;
            case Event::kConnected:
                if (m->callbacks.on_connected)
                    m->callbacks.on_connected(&e.peer, e.record, m->opaque);
                else
                    nat_free_record(e.record);
                break;
            case Event::kFailed:
                if (m->callbacks.on_failed) m->callbacks.on_failed(&e.peer, e.code, m->opaque);
                break;
        }
    }
    ev.clear();
}

const Creds &own_creds(const NatManager *m, const NatPeer *p) {
    return m->mode == NAT_MODE_CLIENT ? p->client_creds : p->host_creds;
}

const Creds &peer_creds(const NatManager *m, const NatPeer *p) {
    return m->mode == NAT_MODE_CLIENT ? p->host_creds : p->client_creds;
}

bool is_private_v4(const uint8_t a[4]) {
    return a[0] == 10 || (a[0] == 172 && (a[1] & 0xF0) == 16) || (a[0] == 192 && a[1] == 168);
}

bool is_v4_mapped(const sockaddr_in6 &a) {
    static constexpr uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(a.sin6_addr.s6_addr, kPrefix, 12) == 0;
}

// The address text without the v4-mapped prefix.
void plain_text(const char *ip, char *out, size_t size) {
    copy_text(out, size, std::strncmp(ip, "::ffff:", 7) == 0 && std::strchr(ip + 7, '.') ? ip + 7 : ip);
}

// Waits until gap_ms passed since the manager's last send, with the mutex
// released; false when the manager is stopping.
bool nat_pace_wait(NatManager *m, std::unique_lock<std::mutex> &lock, uint64_t gap_ms) {
    uint64_t now = steady_ms();
    if (m->last_send && now < m->last_send + gap_ms)
        m->wake.wait_for(lock, std::chrono::milliseconds(m->last_send + gap_ms - now),
                         [&] { return m->stop.load(); });
    m->last_send = steady_ms();
    return !m->stop.load();
}

void close_socket(int &fd) {
    if (fd == NET_INVALID_SOCKET) return;
    shutdown(fd, SHUT_RDWR);
    close(fd);
    fd = NET_INVALID_SOCKET;
}

void nat_peer_free(NatPeer *p, bool close_sock) {
    if (close_sock) close_socket(p->socket);
    VKO_CertDestroy(&p->certificate);
    delete p;
}

// Index of the server entry with this address and port (the server's own, or
// the one it reported to this attempt), or -1. Addresses compare exactly.
int nat_find_server(const NatManager *m, const NatPeer *p, const char *ip, uint16_t port) {
    char plain[72];
    plain_text(ip, plain, sizeof plain);
    for (uint32_t i = 0; i < m->server_count; i++) {
        char host[256];
        plain_text(m->servers[i].host, host, sizeof host);
        if (std::strcmp(host, plain) != 0) continue;
        if (m->servers[i].port == port ||
            (p && p->server_state[i].replied && p->server_state[i].mapped_port == port))
            return static_cast<int>(i);
    }
    return -1;
}

void nat_peer_add_candidate(NatPeer *p, const char *ip, uint16_t port, uint8_t lan, uint8_t from_stun) {
    if (p->candidate_count >= NAT_MAX_CANDIDATES) return;
    for (uint64_t i = 0; i < p->candidate_count; i++)
        if (p->candidates[i].port == port && std::strcmp(p->candidates[i].ip, ip) == 0) return;
    NatCandidate &c = p->candidates[p->candidate_count++];
    std::memset(&c, 0, sizeof c);
    copy_text(c.ip, sizeof c.ip, ip);
    c.port = port;
    c.lan = lan;
    c.from_stun = from_stun;
}

const PacketInfo *nat_local_address_for(const NatPeer *p, const char *ip) {
    bool v4 = !std::strchr(ip, ':') || std::strncmp(ip, "::ffff:", 7) == 0;
    if (v4) return p->have_local_v4 ? &p->local_v4 : nullptr;
    return p->have_local_v6 ? &p->local_v6 : nullptr;
}

// Numeric address of a host name in the family asked; false when none.
bool resolve(const char *host, int family, char *out, size_t size) {
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return false;
    bool ok = false;
    if (family == AF_INET)
        ok = inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr, out,
                       static_cast<socklen_t>(size)) != nullptr;
    else
        ok = inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(res->ai_addr)->sin6_addr, out,
                       static_cast<socklen_t>(size)) != nullptr;
    freeaddrinfo(res);
    return ok;
}

// resolve() with the mutex released (a look-up may wait on the network).
bool resolve_unlocked(std::unique_lock<std::mutex> &lock, const char *host, int family, char *out,
                      size_t size) {
    lock.unlock();
    bool ok = resolve(host, family, out, size);
    lock.lock();
    return ok;
}

// Releases the mutex while it waits; p stays valid (only this thread removes attempts).
void nat_stun_request(NatManager *m, std::unique_lock<std::mutex> &lock, NatPeer *p, uint64_t now) {
    if (p->last_server_request && now - p->last_server_request < kRequestEveryMs) return;
    p->last_server_request = now;
    char txid[25];

    if (!p->have_local_v6 && !p->v6_or_checked) {
        std::string host;
        uint16_t port;
        {
            std::lock_guard<std::mutex> b(g_builtin.mutex);
            host = g_builtin.v6_host;
            port = g_builtin.v6_port;
        }
        char addr[INET6_ADDRSTRLEN];
        if (!host.empty() && resolve_unlocked(lock, host.c_str(), AF_INET6, addr, sizeof addr)) {
            if (!nat_pace_wait(m, lock, kPaceMs)) return;
            if (stun_send_request(p->socket, addr, port, nullptr, 128, &own_creds(m, p), &peer_creds(m, p),
                                  nullptr, txid) > 0)
                p->transactions[txid] = STUN_TAG_RFLX;
        }
    }

    if (m->server_count == 0) return;
    uint32_t start = static_cast<uint32_t>(std::random_device{}() % m->server_count);
    bool first = true;
    // The list may change while the mutex is released: read it afresh each time.
    for (uint32_t k = 0; k < m->server_count; k++) {
        uint32_t i = (start + k) % m->server_count;
        if (p->server_state[i].replied) continue;
        if (!m->fast && !nat_pace_wait(m, lock, first ? kPaceMs : kPaceNextServerMs)) return;
        first = false;
        if (i >= m->server_count) continue;
        char host[sizeof m->servers[i].host], addr[INET_ADDRSTRLEN];
        copy_text(host, sizeof host, m->servers[i].host);
        const uint16_t port = m->servers[i].port;
        if (!resolve_unlocked(lock, host, AF_INET, addr, sizeof addr)) continue;
        if (i < m->server_count && std::strcmp(m->servers[i].host, host) == 0)
            copy_text(m->servers[i].host, sizeof m->servers[i].host, addr);
        char mapped[32];
        std::snprintf(mapped, sizeof mapped, "::ffff:%s", addr);
        if (stun_send_request(p->socket, mapped, port, nullptr, 128, &own_creds(m, p), &peer_creds(m, p),
                              nullptr, txid) > 0)
            p->transactions[txid] = STUN_TAG_RFLX;
    }
}

// As nat_stun_request, releases the mutex while it paces.
void nat_send_p2p_check(NatManager *m, std::unique_lock<std::mutex> &lock, NatPeer *p, NatCandidate &c,
                        uint64_t now, Events &ev) {
    char txid[25];
    if (!p->probe_sent && c.from_stun) {
        // Opens the own NAT's mapping; the low TTL lets it expire on the way.
        if (!nat_pace_wait(m, lock, kPaceMs)) return;
        if (stun_send_request(p->socket, c.ip, c.port, nat_local_address_for(p, c.ip), 4, &own_creds(m, p),
                              &peer_creds(m, p), peer_creds(m, p).ice_pwd, txid) > 0)
            p->transactions[txid] = STUN_TAG_P2P;
        p->probe_sent = 1;
        push_candidate(ev, p, c.ip, c.port, 0, 0, 1);
    }
    if (!c.lan && !p->peer_synced) return;
    if (p->path_chosen || (c.last_check && now - c.last_check < kRequestEveryMs)) return;
    c.last_check = now;
    if (!nat_pace_wait(m, lock, kPaceMs)) return;
    if (stun_send_request(p->socket, c.ip, c.port, nat_local_address_for(p, c.ip), 128, &own_creds(m, p),
                          &peer_creds(m, p), peer_creds(m, p).ice_pwd, txid) > 0)
        p->transactions[txid] = STUN_TAG_P2P;
}

void nat_on_peer_request(NatManager *m, NatPeer *p, const uint8_t *msg, uint32_t n, const sockaddr_in6 &from,
                         const PacketInfo &local, uint64_t now) {
    char ip[72];
    network_addr_text(&from, ip, sizeof ip, true);
    uint16_t port = ntohs(from.sin6_port);
    bool lan = is_v4_mapped(from) && is_private_v4(from.sin6_addr.s6_addr + 12);
    if (m->relay_mode && !((m->relay_mode == 2 && lan) || nat_find_server(m, p, ip, port) >= 0)) {
        VKO_Log("nat_on_peer_request", "Rejecting Candidate; %s:%d", ip, port);
        return;
    }
    VKO_Log("nat_on_peer_request", "Adding %s Candidate from peer (2); %s:%d", lan ? "LAN" : "WAN", ip, port);
    nat_peer_add_candidate(p, ip, port, lan, 0);

    bool request = msg[0] == 0x00 && msg[1] == 0x01;
    if (request || p->mode == NAT_PROTO_BUD)
        stun_send_success(p->socket, msg, n, &from, &local, own_creds(m, p).ice_pwd);
    if (!request) {
        p->v6_or_checked = 1;
        for (ServerState &s : p->server_state) s.replied = 1;
        if (!p->path_chosen) {
            p->path_remote = from;
            p->path_local = local;
            p->path_chosen = 1;
            p->last_progress = now;
        }
    }
}

// False after a receive error: the caller waits 1 ms once the mutex is released.
bool nat_read_packet(NatManager *m, NatPeer *p, Events &ev) {
    uint8_t buf[2000];
    sockaddr_in6 from{};
    PacketInfo local{};
    int32_t n = network_recvmsg(p->socket, buf, sizeof buf, &from, &local);
    if (n < 0) {
        int32_t code = NET_ERROR_BASE - n;
        if (code == NET_WOULDBLOCK) return true;
        if (code != NET_NETRESET) VKO_Log("nat_read_packet", "* %s[%d] = %d", "nat_read_packet", __LINE__, n);
        return false;
    }
    uint32_t len = static_cast<uint32_t>(n);
    uint16_t type = len >= 2 ? static_cast<uint16_t>(buf[0] << 8 | buf[1]) : 0;
    if (len < 20 || (type != STUN_BINDING_REQUEST && type != STUN_BINDING_SUCCESS)) {
        VKO_Log("nat_read_packet", "* %s[%d] = %d", "nat_read_packet", __LINE__, kErrNotStun);
        return true;
    }
    char txid[25];
    stun_txid_hex(buf, txid);
    auto it = p->transactions.find(txid);
    const char *tag = it == p->transactions.end() ? nullptr : it->second;
    uint64_t now = now_ms(m);

    if (tag != STUN_TAG_RFLX) {
        if (type == STUN_BINDING_SUCCESS && tag != STUN_TAG_P2P) return true;
        const char *pwd = type == STUN_BINDING_REQUEST ? own_creds(m, p).ice_pwd : peer_creds(m, p).ice_pwd;
        if (!stun_check_request(buf, len, pwd)) {
            p->integrity_failed = 1;
            return true;
        }
        p->transactions[txid] = STUN_TAG_P2P;
        nat_on_peer_request(m, p, buf, len, from, local, now);
        p->last_progress = now;
        return true;
    }

    uint8_t addr[16];
    uint16_t port;
    if (!stun_parse_server_reply(buf, len, addr, &port)) {
        VKO_Log("nat_read_packet", "* %s[%d] = %d", "nat_read_packet", __LINE__, kErrServerReply);
        return true;
    }
    p->stun_replied = 1;
    char sender[72];
    network_addr_text(&from, sender, sizeof sender, true);
    uint16_t sender_port = ntohs(from.sin6_port);
    VKO_Log("nat_read_packet", "STUN reply from %s:%d", sender, sender_port);

    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    std::memcpy(mapped.sin6_addr.s6_addr, addr, 16);
    char ip[72];
    network_addr_text(&mapped, ip, sizeof ip, true);
    if (is_v4_mapped(mapped)) {
        int idx = nat_find_server(m, p, sender, sender_port);
        if (idx < 0) return true;
        p->local_v4 = local;
        p->have_local_v4 = 1;
        p->server_state[idx] = {1, port};
        uint8_t is_default = m->servers[idx].is_default;
        VKO_Log("nat_read_packet", "Sending Candidate; %s:%d", ip, port);
        push_candidate(ev, p, ip, port, !is_default, is_default, 0);
        if (is_default && port != p->local_port) push_candidate(ev, p, ip, p->local_port, 0, 0, 0);
    } else {
        p->local_v6 = local;
        p->have_local_v6 = 1;
        push_candidate(ev, p, ip, port, 1, 0, 0);
    }
    p->last_progress = now;
    return true;
}

int32_t nat_init_proto(NatManager *m, NatPeer *p, TransportRecord **out) {
    *out = nullptr;
    const Creds &own = own_creds(m, p), &peer = peer_creds(m, p);
    void *ctx = nullptr;
    int32_t r;
    uint32_t kind;
    if (p->mode == NAT_PROTO_BUD) {
        kind = TRANSPORT_BUD;
        uint8_t aes = peer.aes256[0] != 0;
        const char *key = aes ? p->host_creds.aes256 : p->host_creds.fingerprint;
        BUD *bud = nullptr;
        r = bud_create(&bud, p->socket, &p->path_remote, &p->path_local, key, aes, m->mode == NAT_MODE_HOST,
                       own.ice_pwd, p->cg_level);
        ctx = bud;
    } else {
        kind = TRANSPORT_SCTP;
        SctpTransport *sctp = nullptr;
        r = sctpp_create(&sctp, p->socket, p->certificate, &p->path_remote, &p->path_local,
                         m->mode == NAT_MODE_CLIENT, own.ice_pwd, peer.fingerprint);
        ctx = sctp;
    }
    if (r != 0) {
        VKO_Log("nat_init_proto", "* %s[%d] = %d", "nat_init_proto", __LINE__, r);
        return r;
    }
    char addr[72], value[128];
    network_addr_text(&p->path_remote, addr, sizeof addr, false);
    std::snprintf(value, sizeof value, "%s|%s|%u", kind == TRANSPORT_BUD ? "BUD" : "SCTP", addr,
                  ntohs(p->path_remote.sin6_port));
    VKO_Log("nat_init_proto", "%-14s = %s", "net", value);

    TransportRecord *rec = kind == TRANSPORT_BUD
                               ? proto_create(kind, ctx, bud_recv, bud_send, bud_close)
                               : proto_create(kind, ctx, sctpp_recv, sctpp_send, sctpp_destroy);
    *out = rec;
    return 0;
}

// Announces the machine's private IPv4 addresses as LAN candidates.
void announce_lan(NatPeer *p, Events &ev) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return;
    for (ifaddrs *a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        const sockaddr_in *sin = reinterpret_cast<const sockaddr_in *>(a->ifa_addr);
        const uint8_t *b = reinterpret_cast<const uint8_t *>(&sin->sin_addr);
        if (!is_private_v4(b)) continue;
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sin->sin_addr, ip, sizeof ip);
        push_candidate(ev, p, ip, p->local_port, 1, 0, 0);
    }
    freeifaddrs(list);
}

void fail_event(Events &ev, NatPeer *p, int32_t code) {
    Event e{};
    e.kind = Event::kFailed;
    p->peer_info.state = GUEST_STATE_FAILED;
    e.peer = p->peer_info;
    e.code = code;
    ev.push_back(e);
}

struct Watched {
    int fd;
    std::string attempt;
};

// One pass over every attempt, under the mutex, which the pacing waits
// release: the pass works on a list of the attempts taken at its start.
void nat_pass(NatManager *m, std::unique_lock<std::mutex> &lock, std::vector<NatPeer *> &peers, Events &ev,
              std::vector<Watched> &watch) {
    peers.clear();
    for (auto &kv : m->peers) peers.push_back(kv.second);
    for (NatPeer *p : peers) {
        if (m->stop.load()) return;
        uint64_t now = now_ms(m);
        if (p->end_code) {
            fail_event(ev, p, p->end_code);
            m->peers.erase(p->attempt_id);
            nat_peer_free(p, true);
            continue;
        }
        if (!p->started && now - p->created > kNotStartedMs) {
            p->end_code = NAT_END_NOT_STARTED;
        } else if (p->started && now - p->last_progress > kNoProgressMs) {
            p->end_code = !p->stun_replied         ? NAT_ERR_NO_STUN
                          : !p->candidate_received ? NAT_ERR_NO_CANDIDATES
                          : p->integrity_failed    ? NAT_ERR_INTEGRITY
                                                   : NAT_ERR_NO_PATH;
        }
        if (p->end_code || !p->started) continue;
        if (p->announce_pending) {
            announce_lan(p, ev);
            p->announce_pending = 0;
        }
        if (!p->path_chosen) {
            nat_stun_request(m, lock, p, now);
            if (watch.size() < kMaxWatched) watch.push_back({p->socket, p->attempt_id});
            for (uint64_t i = 0; i < p->candidate_count && !p->path_chosen && !m->stop.load(); i++)
                nat_send_p2p_check(m, lock, p, p->candidates[i], now_ms(m), ev);
            continue;
        }
        TransportRecord *rec = nullptr;
        int32_t r = nat_init_proto(m, p, &rec);
        if (r != 0) {
            p->end_code = r;
            continue;
        }
        Event e{};
        e.kind = Event::kConnected;
        e.peer = p->peer_info;
        e.record = rec;
        ev.push_back(e);
        m->peers.erase(p->attempt_id);
        p->socket = NET_INVALID_SOCKET;  // the transport owns it now
        nat_peer_free(p, false);
    }
}

void nat_thread(NatManager *m) {
    m->thread_id = std::this_thread::get_id();
    Events ev;
    std::vector<NatPeer *> peers;
    std::vector<Watched> watch;
    std::vector<pollfd> fds;
    while (!m->stop.load()) {
        watch.clear();
        uint64_t seen;
        {
            std::unique_lock<std::mutex> lock(m->mutex);
            seen = m->work;
            nat_pass(m, lock, peers, ev, watch);
        }
        fire(m, ev);
        if (m->stop.load()) break;

        if (watch.empty()) {
            std::unique_lock<std::mutex> lock(m->mutex);
            m->idle_waits++;
            m->wake.wait_for(lock, std::chrono::milliseconds(m->idle_ms.load()),
                             [&] { return m->stop.load() || m->work != seen; });
            continue;
        }
        fds.clear();
        for (const Watched &w : watch) fds.push_back({w.fd, POLLIN, 0});
        int r = poll(fds.data(), fds.size(), kPollMs);
        if (r < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        bool receive_error = false;
        for (size_t i = 0; i < fds.size() && r > 0; i++) {
            if (!(fds[i].revents & POLLIN)) continue;
            std::lock_guard<std::mutex> lock(m->mutex);
            auto it = m->peers.find(watch[i].attempt);
            if (it == m->peers.end() || it->second->socket != fds[i].fd) continue;
            // Everything waiting, a bounded number at a time.
            for (int k = 0; k < 16 && !receive_error; k++) {
                pollfd one{fds[i].fd, POLLIN, 0};
                if (poll(&one, 1, 0) <= 0) break;
                receive_error = !nat_read_packet(m, it->second, ev);
            }
        }
        fire(m, ev);
        if (receive_error) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m->thread_id = std::thread::id();
}

void free_peers(NatManager *m) {
    std::lock_guard<std::mutex> lock(m->mutex);
    for (auto &kv : m->peers) nat_peer_free(kv.second, true);
    m->peers.clear();
}

bool on_own_thread(const NatManager *m) {
    return m->thread_id.load() == std::this_thread::get_id();
}

NatPeer *find_peer(NatManager *m, const char *attempt_id) {
    if (!attempt_id) return nullptr;
    auto it = m->peers.find(attempt_id);
    return it == m->peers.end() ? nullptr : it->second;
}

}  // namespace

int32_t nat_create(NatManager **out, uint32_t mode, const char *servers, uint32_t relay_mode, uint8_t fast) {
    NatManager *m = new NatManager;
    m->mode = mode;
    m->peers.reserve(100);
    nat_set_servers(m, servers, relay_mode, fast);
    *out = m;
    return 0;
}

void nat_set_servers(NatManager *m, const char *list, uint32_t relay_mode, uint8_t fast) {
    std::lock_guard<std::mutex> lock(m->mutex);
    NatServer old[NAT_MAX_SERVERS];
    uint32_t old_count = m->server_count, old_relay = m->relay_mode;
    std::memcpy(old, m->servers, sizeof old);
    std::string builtin;
    uint16_t builtin_port;
    {
        std::lock_guard<std::mutex> b(g_builtin.mutex);
        builtin = g_builtin.v4_host;
        builtin_port = g_builtin.v4_port;
    }
    m->server_count = 0;
    m->relay_mode = relay_mode;
    m->fast = fast;
    std::string text = list ? list : "";
    size_t pos = 0;
    while (pos <= text.size() && m->server_count < NAT_MAX_SERVERS) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos) end = text.size();
        std::string entry = text.substr(pos, end - pos);
        pos = end + 1;
        if (entry.empty()) continue;
        uint16_t port = NAT_STUN_PORT;
        size_t at = entry.find('@');
        if (at != std::string::npos) {
            port = static_cast<uint16_t>(std::strtoul(entry.c_str() + at + 1, nullptr, 10));
            entry.resize(at);
        }
        if (entry == builtin && port == builtin_port) continue;  // added again below
        NatServer &s = m->servers[m->server_count++];
        std::memset(&s, 0, sizeof s);
        copy_text(s.host, sizeof s.host, entry.c_str());
        s.port = port;
    }
    bool asked_relay = relay_mode != 0;
    if (m->server_count == 0 || (m->relay_mode == 0 && m->server_count < NAT_MAX_SERVERS)) {
        NatServer &s = m->servers[m->server_count++];
        std::memset(&s, 0, sizeof s);
        copy_text(s.host, sizeof s.host, builtin.c_str());
        s.port = builtin_port;
        s.is_default = 1;
        m->relay_mode = 0;
    }
    bool changed = old_count != m->server_count || (old_relay != 0) != (m->relay_mode != 0);
    for (uint32_t i = 0; i < m->server_count && !changed; i++)
        changed = std::strcmp(old[i].host, m->servers[i].host) != 0;
    if (!changed) return;
    if (m->relay_mode)
        VKO_Log("nat_set_servers", "Force Relay Mode: %s",
                m->relay_mode == 1 ? "All connections" : "WAN connections");
    else
        VKO_Log("nat_set_servers", "Force Relay Mode: Off%s", asked_relay ? " No relays set" : "");
}

void nat_start(NatManager *m, const NatCallbacks *callbacks, void *opaque) {
    int32_t running = 1;
    if (m->state.compare_exchange_strong(running, 3)) m->stop = true;
    if (on_own_thread(m)) return;  // a thread cannot restart itself
    std::lock_guard<std::mutex> control(m->control);
    int32_t stopped = 3;
    if (!m->state.compare_exchange_strong(stopped, 1)) return;
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        m->stop = true;
        m->wake.notify_all();
    }
    if (m->thread.joinable()) m->thread.join();
    free_peers(m);
    m->callbacks = callbacks ? *callbacks : NatCallbacks{};
    m->opaque = opaque;
    m->stop = false;
    m->thread = std::thread(nat_thread, m);
}

void nat_stop(NatManager *m) {
    if (!m) return;
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        m->stop = true;
        m->wake.notify_all();
    }
    m->state = 3;
    if (on_own_thread(m)) return;
    std::lock_guard<std::mutex> control(m->control);
    if (m->thread.joinable()) m->thread.join();
    free_peers(m);  // nothing would ever end them
}

void nat_destroy(NatManager **nat) {
    if (!nat || !*nat) return;
    NatManager *m = *nat;
    nat_stop(m);
    free_peers(m);
    delete m;
    *nat = nullptr;
}

uint8_t nat_add_peer(NatManager *m, const char *attempt_id, uint32_t proto, const Creds *client_creds,
                     const GuestInfo *peer, VKO_Cert *cert, uint32_t cg_level) {
    std::lock_guard<std::mutex> lock(m->mutex);
    if (!attempt_id || find_peer(m, attempt_id) || m->peers.size() >= NAT_MAX_ATTEMPTS) {
        VKO_CertDestroy(&cert);  // taken over in every case
        return attempt_id && !find_peer(m, attempt_id) ? NAT_ADD_FULL : 0;
    }
    NatPeer *p = new NatPeer{};
    copy_text(p->attempt_id, sizeof p->attempt_id, attempt_id);
    p->mode = proto;
    if (client_creds) p->client_creds = *client_creds;
    if (peer) p->peer_info = *peer;
    p->certificate = cert;
    p->cg_level = cg_level;
    p->socket = NET_INVALID_SOCKET;
    p->created = now_ms(m);
    m->peers[p->attempt_id] = p;
    notify_work(m);
    return 1;
}

namespace {

// The attempt's socket: start_port or one of the next 49, else any port;
// its buffers set. The port bound, or 0 with an error code.
int32_t bind_attempt_socket(uint16_t start_port, int *fd, uint16_t *port) {
    int32_t r = -1;
    for (uint32_t i = 0; i < kBindTries && r != 0; i++) {
        if (start_port + i > 65535) break;
        r = network_udp_socket(fd, static_cast<uint16_t>(start_port + i));
        // A port in use stays in use: only other failures wait before the next try.
        if (r != 0 && r != NET_ERROR_BASE - NET_ADDRINUSE)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (r != 0) r = network_udp_socket(fd, 0);
    *port = 0;
    if (r != 0) {
        VKO_Log("nat_begin_p2p", "* %s[%d] = %d", "nat_begin_p2p", __LINE__, r);
        return r;
    }
    // Candidates carry the port actually bound.
    sockaddr_in6 bound{};
    socklen_t len = sizeof bound;
    if (getsockname(*fd, reinterpret_cast<sockaddr *>(&bound), &len) == 0) *port = ntohs(bound.sin6_port);
    int size = kSocketBuffer;
    if (setsockopt(*fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0 ||
        setsockopt(*fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0)
        VKO_Log("nat_create_socket", "* %s[%d] = %d", "nat_create_socket", __LINE__,
                NET_ERROR_BASE - network_error_code(errno));
    return 0;
}

}  // namespace

void nat_begin_p2p(NatManager *m, const char *attempt_id, uint16_t start_port, const Creds *host_creds,
                   VKO_Cert *cert) {
    auto startable = [&](NatPeer *p) {
        if (p && !p->started && !p->end_code) return true;
        if (!p || cert != p->certificate) VKO_CertDestroy(&cert);  // taken over in every case
        return false;
    };
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        if (!startable(find_peer(m, attempt_id))) return;
    }
    // Bound before the attempt is taken up: the waits between tries keep no
    // caller of the manager waiting.
    int fd = NET_INVALID_SOCKET;
    uint16_t port = 0;
    int32_t r = bind_attempt_socket(start_port, &fd, &port);

    std::lock_guard<std::mutex> lock(m->mutex);
    NatPeer *p = find_peer(m, attempt_id);
    if (!startable(p)) {  // ended or started meanwhile
        close_socket(fd);
        return;
    }
    p->started = 1;
    p->announce_pending = 1;
    p->last_progress = now_ms(m);
    if (host_creds) p->host_creds = *host_creds;
    if (cert && cert != p->certificate) {
        VKO_CertDestroy(&p->certificate);
        p->certificate = cert;
    }
    p->peer_info.state = GUEST_STATE_CONNECTING;
    p->socket = fd;
    p->local_port = port;
    if (r != 0) p->end_code = NAT_ERR_BIND;  // reported at once
    notify_work(m);
}

void nat_add_candidate(NatManager *m, const char *attempt_id, const char *ip, uint16_t port, uint8_t lan,
                       uint8_t from_stun, uint8_t sync) {
    if (!ip) return;
    std::lock_guard<std::mutex> lock(m->mutex);
    NatPeer *p = find_peer(m, attempt_id);
    if (!p) return;
    if (m->relay_mode && !((m->relay_mode == 2 && lan) || nat_find_server(m, p, ip, port) >= 0)) {
        VKO_Log("nat_add_candidate", "Rejecting %s Candidate from peer; %s:%d", lan ? "LAN" : "WAN", ip,
                port);
        return;
    }
    p->candidate_received = 1;
    if (sync) {
        p->peer_synced = 1;
    } else {
        VKO_Log("nat_add_candidate", "Adding %s Candidate from peer (1); %s:%d", lan ? "LAN" : "WAN", ip,
                port);
        nat_peer_add_candidate(p, ip, port, lan, from_stun);
    }
    if (p->started) p->last_progress = now_ms(m);
    notify_work(m);
}

bool nat_set_end_code(NatManager *m, const char *attempt_id, int32_t code) {
    std::lock_guard<std::mutex> lock(m->mutex);
    NatPeer *p = find_peer(m, attempt_id);
    if (!p) return false;
    p->end_code = code;
    notify_work(m);
    return true;
}

bool nat_get_peer_proto(NatManager *m, const char *attempt_id, uint32_t *proto) {
    std::lock_guard<std::mutex> lock(m->mutex);
    NatPeer *p = find_peer(m, attempt_id);
    if (!p) return false;
    if (proto) *proto = p->mode;
    return true;
}

bool nat_get_peer_port(NatManager *m, const char *attempt_id, uint16_t *port) {
    std::lock_guard<std::mutex> lock(m->mutex);
    NatPeer *p = find_peer(m, attempt_id);
    if (!p || !p->started || !p->local_port) return false;
    if (port) *port = p->local_port;
    return true;
}

uint32_t nat_get_peers(NatManager *m, GuestInfo *out, uint32_t max) {
    std::lock_guard<std::mutex> lock(m->mutex);
    uint32_t n = 0;
    for (auto &kv : m->peers) {
        if (out && n < max) out[n] = kv.second->peer_info;
        n++;
    }
    return n;
}

void nat_set_builtin_servers(const char *v4_host, uint16_t v4_port, const char *v6_host, uint16_t v6_port) {
    std::lock_guard<std::mutex> lock(g_builtin.mutex);
    if (v4_host) {
        g_builtin.v4_host = v4_host;
        g_builtin.v4_port = v4_port;
    }
    if (v6_host) {
        g_builtin.v6_host = v6_host;
        g_builtin.v6_port = v6_port;
    }
}

void nat_advance_clock(NatManager *m, uint64_t ms) {
    m->clock_offset += ms;
    std::lock_guard<std::mutex> lock(m->mutex);
    notify_work(m);
}

uint32_t nat_get_servers(NatManager *m, NatServer *out, uint32_t max, uint32_t *relay_mode) {
    std::lock_guard<std::mutex> lock(m->mutex);
    for (uint32_t i = 0; i < m->server_count && i < max; i++) out[i] = m->servers[i];
    if (relay_mode) *relay_mode = m->relay_mode;
    return m->server_count;
}

void nat_set_idle_ms(NatManager *m, uint32_t ms) {
    m->idle_ms = ms;
}

uint64_t nat_idle_waits(NatManager *m) {
    return m->idle_waits.load();
}
