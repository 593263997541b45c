// NAT traversal on loopback: two managers find each other through a local
// STUN server, prove the path with checks and open BUD or SCTP on it; the
// server list, relay filtering, and every way an attempt ends.
#include "connection/nat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/log_capture.h"
#include "support/net/nat_pair.h"
#include "support/net/stun_server.h"

namespace {

bool logged(LogCapture &log, const std::string &part) {
    for (const std::string &l : log.lines())
        if (l.find(part) != std::string::npos) return true;
    return false;
}

// Points the built-in servers at a loopback STUN server; never at real names.
class NatLoopback : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(stun_.start(0));
        nat_set_builtin_servers("127.0.0.1", stun_.port(), "", 0);
    }
    StunServer stun_;
};

TEST(NatServers, ListParsingAndRelayFiltering) {
    nat_set_builtin_servers("127.0.0.9", 3478, "", 0);
    struct Row {
        const char *list;
        uint32_t relay;
        std::vector<std::pair<std::string, uint16_t>> expect;
        uint32_t relay_after;
    };
    const Row rows[] = {
        {"a.test@3479,b.test", 0, {{"a.test", 3479}, {"b.test", 3478}, {"127.0.0.9", 3478}}, 0},
        {"a.test@3479,b.test", 1, {{"a.test", 3479}, {"b.test", 3478}}, 1},
        {"", 1, {{"127.0.0.9", 3478}}, 0},
        {"127.0.0.9,c.test@1", 2, {{"c.test", 1}}, 2},
        {"127.0.0.9@3478", 0, {{"127.0.0.9", 3478}}, 0},
    };
    for (const Row &r : rows) {
        NatManager *m = nullptr;
        nat_create(&m, NAT_MODE_CLIENT, r.list, r.relay, 0);
        NatServer s[NAT_MAX_SERVERS];
        uint32_t relay = 99;
        uint32_t n = nat_get_servers(m, s, NAT_MAX_SERVERS, &relay);
        ASSERT_EQ(n, r.expect.size()) << r.list;
        for (uint32_t i = 0; i < n; i++) {
            EXPECT_EQ(s[i].host, r.expect[i].first) << r.list;
            EXPECT_EQ(s[i].port, r.expect[i].second) << r.list;
            EXPECT_EQ(s[i].is_default, r.expect[i].first == "127.0.0.9") << r.list;
        }
        EXPECT_EQ(relay, r.relay_after) << r.list;
        nat_destroy(&m);
        EXPECT_EQ(m, nullptr);
    }
    LogCapture log;
    NatManager *m = nullptr;
    nat_create(&m, NAT_MODE_HOST, "", 1, 0);
    EXPECT_TRUE(logged(log, "Force Relay Mode: Off No relays set"));
    nat_set_servers(m, "r.test", 2, 0);
    EXPECT_TRUE(logged(log, "Force Relay Mode: WAN connections"));
    // Relay mode 2 takes LAN candidates only (and servers'; this one is no server).
    Creds creds{};
    ASSERT_EQ(nat_add_peer(m, "a", NAT_PROTO_BUD, &creds, nullptr, nullptr, 1), 1);
    nat_add_candidate(m, "a", "192.168.1.20", 5000, 1, 0, 0);
    nat_add_candidate(m, "a", "203.0.113.7", 5000, 0, 0, 0);
    EXPECT_TRUE(logged(log, "Adding LAN Candidate from peer (1); 192.168.1.20:5000"));
    EXPECT_TRUE(logged(log, "Rejecting WAN Candidate from peer; 203.0.113.7:5000"));
    uint32_t proto = 0;
    EXPECT_TRUE(nat_get_peer_proto(m, "a", &proto));
    EXPECT_EQ(proto, NAT_PROTO_BUD);
    nat_destroy(&m);
}

struct PairCase {
    uint32_t proto;
    bool v6;
};

class NatPairTest : public NatLoopback, public ::testing::WithParamInterface<PairCase> {};

TEST_P(NatPairTest, PeersFindEachOtherAndOpenTheLink) {
    if (GetParam().v6) nat_set_builtin_servers(nullptr, 0, "::1", stun_.port());
    LogCapture log;
    NatPair pair;
    ASSERT_TRUE(pair.start(GetParam().proto, ""));
    ASSERT_TRUE(pair.wait(20000));
    ASSERT_EQ(pair.host.failed, 0);
    ASSERT_EQ(pair.client.failed, 0);
    EXPECT_EQ(pair.host.record->kind, GetParam().proto == NAT_PROTO_BUD ? TRANSPORT_BUD : TRANSPORT_SCTP);
    EXPECT_TRUE(pair.exchange());
    EXPECT_TRUE(
        logged(log, GetParam().proto == NAT_PROTO_BUD ? "net            = BUD|" : "net            = SCTP|"));
    EXPECT_TRUE(logged(log, "STUN reply from "));
}

INSTANTIATE_TEST_SUITE_P(Protocols, NatPairTest,
                         ::testing::Values(PairCase{NAT_PROTO_BUD, false}, PairCase{NAT_PROTO_SCTP, false},
                                           PairCase{NAT_PROTO_BUD, true}));

// One manager alone; records what its callbacks report.
struct Lone {
    NatManager *nat = nullptr;
    std::mutex mutex;
    std::condition_variable cond;
    int32_t failed = 0;
    uint32_t peers_seen = 99;
    int candidates = 0;

    static void on_candidate(const char *, const char *, uint16_t, uint8_t, uint8_t, uint8_t, void *o) {
        Lone *l = static_cast<Lone *>(o);
        std::lock_guard<std::mutex> lock(l->mutex);
        l->candidates++;
        l->cond.notify_all();
    }
    static void on_connected(const GuestInfo *, TransportRecord *, void *) {}
    // Calls back into its own manager and stops it: neither may deadlock.
    static void on_failed(const GuestInfo *peer, int32_t code, void *o) {
        Lone *l = static_cast<Lone *>(o);
        uint32_t peers = nat_get_peers(l->nat, nullptr, 0);
        nat_stop(l->nat);
        std::lock_guard<std::mutex> lock(l->mutex);
        l->failed = code;
        l->peers_seen = peers;
        EXPECT_EQ(peer->state, GUEST_STATE_FAILED);
        l->cond.notify_all();
    }
    template <class F>
    bool wait(F f) {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, std::chrono::seconds(10), f);
    }
};

TEST_F(NatLoopback, EveryWayAnAttemptEnds) {
    enum Step { kAddOnly, kBegin, kBeginNoStun, kBeginBogusCandidate, kRefused, kCancelled };
    struct Row {
        Step step;
        uint64_t advance_ms;
        int32_t code;
    };
    const Row rows[] = {
        {kAddOnly, 30001, NAT_END_NOT_STARTED}, {kBegin, 7501, NAT_ERR_NO_CANDIDATES},
        {kBeginNoStun, 7501, NAT_ERR_NO_STUN},  {kBeginBogusCandidate, 7501, NAT_ERR_NO_PATH},
        {kRefused, 0, NAT_END_REFUSED},         {kCancelled, 0, NAT_END_CANCELLED},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.step);
        if (r.step == kBeginNoStun)
            nat_set_builtin_servers("127.0.0.1", 9, "", 0);
        else
            nat_set_builtin_servers("127.0.0.1", stun_.port(), "", 0);
        Lone l;
        nat_create(&l.nat, NAT_MODE_CLIENT, "", 0, 0);
        NatCallbacks cb{Lone::on_candidate, Lone::on_connected, Lone::on_failed};
        nat_start(l.nat, &cb, &l);
        Creds creds{};
        std::strcpy(creds.ice_ufrag, "ufrag123");
        std::strcpy(creds.ice_pwd, "password-password-password-12345");
        std::strcpy(creds.fingerprint, "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
        GuestInfo info{};
        ASSERT_EQ(nat_add_peer(l.nat, "attempt", NAT_PROTO_BUD, &creds, &info, nullptr, 1), 1);
        EXPECT_EQ(nat_add_peer(l.nat, "attempt", NAT_PROTO_BUD, &creds, &info, nullptr, 1), 0);
        if (r.step != kAddOnly) nat_begin_p2p(l.nat, "attempt", 0, &creds, nullptr);
        if (r.step == kBegin || r.step == kBeginBogusCandidate) {
            // The reflexive candidate: STUN answered.
            ASSERT_TRUE(l.wait([&] { return l.candidates > 0; }));
        }
        if (r.step == kBeginBogusCandidate) nat_add_candidate(l.nat, "attempt", "127.0.0.1", 9, 1, 0, 0);
        if (r.step == kRefused) nat_set_end_code(l.nat, "attempt", NAT_END_REFUSED);
        if (r.step == kCancelled) nat_set_end_code(l.nat, "attempt", NAT_END_CANCELLED);
        if (r.step == kBeginNoStun) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        nat_advance_clock(l.nat, r.advance_ms);
        ASSERT_TRUE(l.wait([&] { return l.failed != 0; }));
        EXPECT_EQ(l.failed, r.code);
        EXPECT_EQ(l.peers_seen, 0u);  // gone from the map before it is reported
        EXPECT_FALSE(nat_set_end_code(l.nat, "attempt", 9));
        nat_destroy(&l.nat);
    }
}

}  // namespace

namespace {

// An attempt begun while the manager idles is taken up at once: with an idle
// period of a minute, its first STUN request reaches the loopback server and
// the reflexive candidate comes back long before the idle wait could end.
TEST_F(NatLoopback, NewAttemptWakesAnIdleManager) {
    Lone l;
    nat_create(&l.nat, NAT_MODE_CLIENT, "", 0, 0);
    nat_set_idle_ms(l.nat, 60000);
    NatCallbacks cb{Lone::on_candidate, Lone::on_connected, Lone::on_failed};
    nat_start(l.nat, &cb, &l);
    // The thread has nothing to do and is in its idle wait.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (nat_idle_waits(l.nat) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_GT(nat_idle_waits(l.nat), 0u);

    Creds creds{};
    std::strcpy(creds.ice_ufrag, "ufrag123");
    std::strcpy(creds.ice_pwd, "password-password-password-12345");
    GuestInfo info{};
    ASSERT_EQ(nat_add_peer(l.nat, "attempt", NAT_PROTO_BUD, &creds, &info, nullptr, 1), 1);
    nat_begin_p2p(l.nat, "attempt", 0, &creds, nullptr);
    EXPECT_TRUE(l.wait([&] { return l.candidates > 0; }));
    EXPECT_GT(stun_.answered(), 0u);
    nat_destroy(&l.nat);
}

}  // namespace

namespace {

// A UDP socket on 127.0.0.1 that never answers: a STUN server that counts.
struct MuteServer {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
    MuteServer() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~MuteServer() { close(fd); }
    // Requests received since the last call.
    uint32_t drain() {
        uint32_t n = 0;
        char buf[2048];
        while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) n++;
        return n;
    }
};

// Requests the two received, once the first came (within timeout_ms).
uint32_t drain(MuteServer &a, MuteServer &b, int timeout_ms) {
    pollfd p[2] = {{a.fd, POLLIN, 0}, {b.fd, POLLIN, 0}};
    if (timeout_ms && poll(p, 2, timeout_ms) <= 0) return 0;
    return a.drain() + b.drain();
}

// The manager paces its requests to the servers (35 ms, then 10 ms apart):
// a round of several attempts to 20 servers that never answer lasts
// seconds. A caller of the manager gets through while the round goes on.
TEST(NatPacing, CallersDoNotWaitForThePacing) {
    MuteServer builtin, other;
    ASSERT_TRUE(builtin.port && other.port);
    nat_set_builtin_servers("127.0.0.1", builtin.port, "", 0);
    std::string list;
    for (uint32_t i = 0; i + 1 < NAT_MAX_SERVERS; i++)
        list += "127.0.0.1@" + std::to_string(other.port) + ",";
    NatManager *m = nullptr;
    nat_create(&m, NAT_MODE_CLIENT, list.c_str(), 0, 0);
    nat_start(m, nullptr, nullptr);
    Creds creds{};
    std::strcpy(creds.ice_ufrag, "ufrag123");
    std::strcpy(creds.ice_pwd, "password-password-password-12345");
    const uint32_t attempts = 5;
    for (uint32_t i = 0; i < attempts; i++) {
        const std::string id = "a" + std::to_string(i);
        ASSERT_EQ(nat_add_peer(m, id.c_str(), NAT_PROTO_BUD, &creds, nullptr, nullptr, 1), 1);
        nat_begin_p2p(m, id.c_str(), 0, &creds, nullptr);
    }
    uint32_t sent = drain(builtin, other, 10000);
    ASSERT_GT(sent, 0u);
    EXPECT_EQ(nat_get_peers(m, nullptr, 0), attempts);  // takes the manager's mutex
    sent += drain(builtin, other, 0);
    EXPECT_LT(sent, attempts * NAT_MAX_SERVERS / 2) << "the caller waited for the round";
    nat_destroy(&m);
}

}  // namespace
