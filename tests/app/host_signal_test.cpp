// The host callbacks over real peers: the signaling stand-in relays offers
// from client instances (each its own session, with the user record the
// server holds for it) to a hosting instance; NAT traversal, STUN and BUD run
// on loopback.
#include "app/host_signal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "connection/bud.h"
#include "connection/instance.h"
#include "connection/nat.h"
#include "connection/udp.h"
#include "host/host.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "support/net/signal_server.h"
#include "support/net/stun_server.h"
#include "util/config.h"

#include <unistd.h>
#include "vdev/vdev.h"

namespace {

using namespace std::chrono_literals;

struct Peer {
    ZarvekInstance *z = nullptr;
    SignalContext *sig = nullptr;
    std::string session;
};

struct Hosting {
    StunServer stun;
    SignalServer server;
    ZarvekInstance *host = nullptr;
    HostSignaling *hs = nullptr;
    std::array<Peer, 2> guests;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<HostingEvent> asks;
    std::vector<HostEvent> hevents;                  // all but local candidates, which the poller sends
    std::vector<uint16_t> host_ports, client_ports;  // of the local candidates
    std::atomic<bool> stop{false};
    std::atomic<bool> take_asks{true};  // false: the test polls the asks itself
    std::thread poller;

    explicit Hosting(int32_t cg_level) {
        EXPECT_TRUE(stun.start());
        nat_set_builtin_servers("127.0.0.1", stun.port(), "", 0);
        EXPECT_TRUE(server.start());
        vdev_set_backend(&vdev_recording_backend);
        HostHooks hooks{};
        hooks.no_audio_thread = 1;
        host_set_hooks(&hooks);
        ZarvekInit(nullptr, &host);
        HostConfig hc;
        config_host_defaults(&hc);
        hc.cg_level = cg_level;
        EXPECT_EQ(ZarvekHostStart(host, nullptr, &hc), 0);
        host_signaling_create(&hs, host, "127.0.0.1", 0, 0, "");
        signal_set_server(hs->signal, "127.0.0.1", server.port(), 0);
        signal_set_backoff(hs->signal, 50);
        const SignalCallbacks ccb = sdk_client_signal_callbacks();
        for (size_t i = 0; i < guests.size(); i++) {
            Peer &g = guests[i];
            g.session = "C" + std::to_string(i + 1);
            ZarvekInit(nullptr, &g.z);
            signal_create(&g.sig, "client", "127.0.0.1", 0, 0, "", &ccb, g.z);
            signal_set_server(g.sig, "127.0.0.1", server.port(), 0);
        }
        poller = std::thread([this] {
            ClientEvent ev;
            HostEvent hev;
            HostingEvent ask;
            while (!stop.load()) {
                for (Peer &g : guests)
                    if (ZarvekClientPollEvents(g.z, 0, &ev) && ev.type == CLIENT_EVENT_LOCAL_CANDIDATE) {
                        signal_send_candex(g.sig, &ev.candidate);
                        add(client_ports, ev.candidate.port);
                    }
                if (ZarvekHostPollEvents(host, 0, &hev)) {
                    if (hev.type == HOST_EVENT_CANDIDATE) {
                        signal_send_candex(hs->signal, &hev.candidate);
                        add(host_ports, hev.candidate.port);
                    } else {
                        add(hevents, hev);
                    }
                }
                if (!take_asks.load())
                    std::this_thread::sleep_for(5ms);  // pacing the poller
                else if (host_signaling_poll(hs, 5, &ask))
                    add(asks, ask);
            }
        });
    }
    ~Hosting() {
        stop = true;
        poller.join();
        for (Peer &g : guests) signal_destroy(&g.sig);
        host_signaling_destroy(&hs);
        for (Peer &g : guests) ZarvekDestroy(&g.z);
        ZarvekDestroy(&host);
        host_set_hooks(nullptr);
        vdev_set_backend(nullptr);
    }
    // Starts the signaling round once the server knows the users.
    void go() { signal_set_session(hs->signal, "H"); }

    template <class T>
    void add(std::vector<T> &v, const T &x) {
        std::lock_guard<std::mutex> l(mutex);
        v.push_back(x);
        cv.notify_all();
    }
    bool wait(const std::function<bool()> &pred) {
        std::unique_lock<std::mutex> l(mutex);
        return cv.wait_for(l, 20s, pred);
    }
    int32_t connect(Peer &g) {
        return signal_client_connect(g.sig, g.z, nullptr, "H", g.session.c_str(), "secret");
    }
    // Polls until the client's status is `want`; the last status seen.
    static int32_t await_status(Peer &g, int32_t want) {
        int32_t s = ZarvekClientGetStatus(g.z, nullptr);
        for (int i = 0; i < 2000 && s != want; i++) {
            std::this_thread::sleep_for(10ms);
            s = ZarvekClientGetStatus(g.z, nullptr);
        }
        return s;
    }
    // Polls until pred holds; false after 20 s.
    static bool eventually(const std::function<bool()> &pred) {
        for (int i = 0; i < 4000; i++) {
            if (pred()) return true;
            std::this_thread::sleep_for(5ms);
        }
        return pred();
    }
    uint32_t pending() { return ZarvekHostGetGuests(host, 1, nullptr); }
    std::string peer_of(const std::string &attempt) {
        char *p = signal_attempt_peer(hs->signal, attempt.c_str());
        std::string r = p;
        VKO_Free(p);
        return r;
    }
    // An offer as the server relays it from peer "X".
    void push_offer(const std::string &attempt, uint32_t mode, bool skip_approval) {
        server.push("H", R"({"action":"offer_relay","payload":{"from":"X","attempt_id":")" + attempt +
                             R"(","is_owner":false,"skip_approval":)" + (skip_approval ? "true" : "false") +
                             R"(,"permissions":{"gamepad":true,"keyboard":true,"mouse":true},)"
                             R"("user":{"name":"x","id":5},"data":{"creds":{"ice_ufrag":"uuuu","ice_pwd":)"
                             R"("pppppppppppppppppppppppppppppppp","fingerprint":"f","aes256":"a"},"mode":)" +
                             std::to_string(mode) + "}}}");
    }
    // The answers the host sent: attempt id -> approved.
    std::map<std::string, bool> answers() {
        std::map<std::string, bool> r;
        for (const std::string &m : server.received("H")) {
            rapidjson::Document d;
            d.Parse(m.c_str());
            if (d.HasParseError() || std::string(d["action"].GetString()) != "answer") continue;
            r[d["payload"]["attempt_id"].GetString()] = d["payload"]["approved"].GetBool();
        }
        return r;
    }
    // The code of the attempt's guest-state event, 0 until it came.
    int32_t ended_code(const std::string &attempt) {
        std::lock_guard<std::mutex> l(mutex);
        for (const HostEvent &e : hevents)
            if (e.type == HOST_EVENT_GUEST_STATE && e.state.guest.attempt_id == attempt) return e.state.code;
        return 0;
    }
    std::vector<GuestInfo> guest_list(uint32_t mask) {
        GuestInfo *list = nullptr;
        uint32_t n = ZarvekHostGetGuests(host, mask, &list);
        std::vector<GuestInfo> v(list, list + n);
        VKO_Free(list);
        return v;
    }
};

const GuestInfo *by_user(const std::vector<GuestInfo> &list, uint32_t user) {
    for (const GuestInfo &g : list)
        if (g.userID == user) return &g;
    return nullptr;
}

// A UDP port that is free now and below the kernel's ephemeral range, so no
// socket bound to port 0 can take it.
uint16_t free_fixed_port(uint16_t from) {
    for (uint16_t p = from; p < 32000; p++) {
        int s = -1;
        if (network_udp_socket(&s, p) == 0) {
            close(s);
            return p;
        }
    }
    return 0;
}

uint32_t perms(const GuestInfo &g) {
    return g.gamepad * 100u + g.keyboard * 10u + g.mouse;
}

// Two guests with different users and permissions: one may skip approval, the
// other's request reaches the host's user as a hosting event and is approved.
// Each gets an id of its own and its own permissions, and every BUD link the
// host accepts runs at the configured congestion level. A JSON call relayed
// as an "sdk" message changes one guest's permissions.
TEST(HostSignal, GuestsGetTheirOwnIdsPermissionsAndLevel) {
    Hosting h(2);  // not the default level
    SignalServer::User ann;
    ann.name = "ann";
    ann.id = 11;
    ann.is_owner = true;
    ann.keyboard = ann.mouse = false;
    SignalServer::User bob;
    bob.name = "bob";
    bob.id = 22;
    bob.skip_approval = true;
    bob.gamepad = false;
    h.server.set_user(h.guests[0].session, ann);
    h.server.set_user(h.guests[1].session, bob);
    h.go();
    ASSERT_TRUE(h.server.wait([&] { return !h.server.conn_update("H").empty(); }));  // on connecting

    ASSERT_EQ(h.connect(h.guests[1]), 0);
    ASSERT_EQ(Hosting::await_status(h.guests[1], 0), 0);
    ASSERT_EQ(h.connect(h.guests[0]), 0);
    ASSERT_TRUE(h.wait([&] { return !h.asks.empty(); }));
    const HostingEvent ask = h.asks[0];
    EXPECT_EQ(ask.type, HOSTING_EVENT_GUEST_ASKS);
    EXPECT_EQ(ask.guest.state, GUEST_STATE_WAITING);
    EXPECT_EQ(ask.guest.userID, 11u);
    EXPECT_EQ(ask.guest.owner, 1);
    EXPECT_STREQ(ask.guest.name, "ann");
    EXPECT_EQ(perms(ask.guest), 100u);
    ClientStatus st{};
    EXPECT_EQ(ZarvekClientGetStatus(h.guests[0].z, &st), ZARVEK_CLIENT_CONNECTING);  // not answered yet
    EXPECT_STREQ(ask.guest.attempt_id, st.attempt_id);
    std::vector<GuestInfo> pending = h.guest_list(1);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].id, ask.guest.id);
    host_signaling_answer(h.hs, ask.guest.attempt_id, 1);
    ASSERT_EQ(Hosting::await_status(h.guests[0], 0), 0);

    std::vector<GuestInfo> list;
    for (int i = 0; i < 2000 && (list = h.guest_list(4)).size() < 2; i++) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(list.size(), 2u);
    const GuestInfo *a = by_user(list, 11), *b = by_user(list, 22);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->id, b->id);
    EXPECT_EQ(a->id, ask.guest.id);
    EXPECT_EQ(perms(*a) * 1000 + perms(*b), 100011u);
    EXPECT_EQ(a->owner * 10 + b->owner, 10);
    EXPECT_STREQ(b->name, "bob");
    ClientStatus bob_st{};
    ZarvekClientGetStatus(h.guests[1].z, &bob_st);
    EXPECT_EQ(h.peer_of(ask.guest.attempt_id) + h.peer_of(bob_st.attempt_id), "") << "connected: forgotten";

    // Each BUD link's level, as kind * 10 + level.
    std::vector<uint32_t> levels;
    VKO_RWLockReader(h.host->host_lock);
    host_lock_streams(h.host->host);
    for (VKO_ListNode *n = VKO_ListGetFirst(h.host->host->guests); n; n = n->next) {
        TransportRecord *t = static_cast<Guest *>(n->value)->conn;
        levels.push_back(t->kind * 10 +
                         (t->kind == TRANSPORT_BUD ? bud_congestion_level(static_cast<BUD *>(t->ctx)) : 9));
    }
    host_unlock_streams(h.host->host);
    VKO_RWLockUnlock(h.host->host_lock);
    EXPECT_EQ(levels, (std::vector<uint32_t>{TRANSPORT_BUD * 10 + 2, TRANSPORT_BUD * 10 + 2}));

    h.server.push_sdk("H", "{\"function\":\"ZarvekHostSetPermissions\",\"guestID\":" + std::to_string(b->id) +
                               ",\"perms\":{\"gamepad\":true,\"keyboard\":false,\"mouse\":false}}");
    const uint32_t bob_id = b->id;
    uint32_t got = 0;
    for (int i = 0; i < 2000 && got != 100; i++) {
        list = h.guest_list(4);
        for (const GuestInfo &g : list)
            if (g.id == bob_id) got = perms(g);
        if (got != 100) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(got, 100u);
}

// The client cancels while the host's user has not answered: its attempt ends
// at once with the cancel code, and a late approval finds nothing to start.
TEST(HostSignal, CancelledOfferEndsItsAttempt) {
    Hosting h(1);
    h.go();
    Peer &g = h.guests[0];
    ASSERT_EQ(h.connect(g), 0);
    ASSERT_TRUE(h.wait([&] { return !h.asks.empty(); }));
    const std::string attempt = h.asks[0].guest.attempt_id;
    EXPECT_EQ(ZarvekHostGetGuests(h.host, 1, nullptr), 1u);
    signal_client_cancel(g.sig, g.z);
    int32_t code = 0;
    ASSERT_TRUE(h.wait([&] {
        for (const HostEvent &e : h.hevents)
            if (e.type == HOST_EVENT_GUEST_STATE && e.state.guest.attempt_id == attempt) code = e.state.code;
        return code != 0;
    }));
    EXPECT_EQ(code, NAT_END_CANCELLED);
    EXPECT_EQ(ZarvekHostGetGuests(h.host, 1, nullptr), 0u);
    EXPECT_EQ(h.peer_of(attempt), "") << "cancelled: forgotten";
    host_signaling_answer(h.hs, attempt.c_str(), 1);
    EXPECT_EQ(ZarvekHostGetGuests(h.host, 5, nullptr), 0u);
}

// The server says the host's session is no longer valid: hosting stops with
// reason 4, which the guest is told, and the signaling forgets the session.
// Other errors leave hosting alone.
TEST(HostSignal, UnauthorizedSessionStopsHosting) {
    Hosting h(1);
    SignalServer::User u;
    u.skip_approval = true;
    h.server.set_user(h.guests[0].session, u);
    h.go();
    ASSERT_EQ(h.connect(h.guests[0]), 0);
    ASSERT_EQ(Hosting::await_status(h.guests[0], 0), 0);

    h.server.push_close("H", "TEAM_DEACTIVATED");
    ASSERT_TRUE(h.server.wait([&] { return h.server.queries("H").size() == 2; }));  // back after the error
    ZarvekHostStatus st;
    ZarvekHostGetStatus(h.host, &st);
    EXPECT_EQ(st.hosting * 10 + st.guests, 11u);

    h.server.push_close("H", "INVALID_SESSION");
    for (int i = 0; i < 2000 && st.hosting; i++) {
        std::this_thread::sleep_for(10ms);
        ZarvekHostGetStatus(h.host, &st);
    }
    EXPECT_EQ(st.hosting * 10 + st.mode, 0u);
    EXPECT_EQ(Hosting::await_status(h.guests[0], 4), 4);
    VKO_MutexLock(h.hs->signal->session_mutex);
    EXPECT_STREQ(h.hs->signal->session_id, "");
    VKO_MutexUnlock(h.hs->signal->session_mutex);
}

// The host starts an approved attempt at the configured server start port;
// a start port outside 1..65535 means any port, never the value cut to 16 bits.
TEST(HostSignal, StartPortsFromTheSettings) {
    const uint16_t server_port = free_fixed_port(static_cast<uint16_t>(24000 + getpid() % 3000 * 2));
    const uint16_t client_port = free_fixed_port(static_cast<uint16_t>(server_port + 1));
    ASSERT_TRUE(server_port && client_port);
    ASSERT_TRUE(config_create());
    ASSERT_TRUE(config_set_int(CONFIG_LAYER_STARTUP, "network_server_start_port", 0, server_port));
    ASSERT_TRUE(config_set_int(CONFIG_LAYER_STARTUP, "network_client_start_port", 0, 65536 + client_port));
    {
        Hosting h(1);
        h.go();
        ASSERT_EQ(h.connect(h.guests[0]), 0);
        ASSERT_TRUE(h.wait([&] { return !h.asks.empty(); }));
        host_signaling_answer(h.hs, h.asks[0].guest.attempt_id, 1);
        ASSERT_EQ(Hosting::await_status(h.guests[0], 0), 0);
        std::lock_guard<std::mutex> l(h.mutex);
        ASSERT_FALSE(h.host_ports.empty() || h.client_ports.empty());
        auto has = [](const std::vector<uint16_t> &v, uint16_t p) {
            return std::find(v.begin(), v.end(), p) != v.end();
        };
        EXPECT_TRUE(has(h.host_ports, server_port)) << server_port;
        EXPECT_FALSE(has(h.client_ports, client_port)) << client_port;
    }
    config_destroy();
}

// Hosting stops while a guest's request waits for the user: the request is
// dropped, a late approval starts and sends nothing (not even on the next
// hosting's session), and an offer that comes while not hosting is refused.
TEST(HostSignal, StopEndsEveryAttemptAndAsk) {
    Hosting h(1);
    h.take_asks = false;
    h.go();
    ASSERT_EQ(h.connect(h.guests[0]), 0);
    ASSERT_TRUE(Hosting::eventually([&] { return h.pending() == 1; }));
    ClientStatus st{};
    ZarvekClientGetStatus(h.guests[0].z, &st);
    const std::string attempt = st.attempt_id;

    h.server.push_close("H", "INVALID_SESSION");
    ASSERT_TRUE(Hosting::eventually([&] {  // the stop has dropped the attempt
        ZarvekHostStatus hst;
        ZarvekHostGetStatus(h.host, &hst);
        return hst.hosting == 0 && h.pending() == 0;
    }));
    HostingEvent ask;
    EXPECT_FALSE(host_signaling_poll(h.hs, 0, &ask)) << "the stop left an ask to answer";
    host_signaling_answer(h.hs, attempt.c_str(), 1);
    EXPECT_EQ(h.pending(), 0u);
    EXPECT_EQ(h.peer_of(attempt), "");

    signal_set_session(h.hs->signal, "H");  // the session back, hosting not yet
    ASSERT_EQ(h.connect(h.guests[1]), 0);
    EXPECT_EQ(Hosting::await_status(h.guests[1], NAT_END_REFUSED), NAT_END_REFUSED);
    EXPECT_EQ(h.pending(), 0u);
    ASSERT_EQ(ZarvekHostStart(h.host, nullptr, nullptr), 0);
    ZarvekClientGetStatus(h.guests[1].z, &st);
    const std::map<std::string, bool> only_refusal = {{st.attempt_id, false}};
    EXPECT_EQ(h.answers(), only_refusal);
}

// Offers that cannot be taken up are answered with a refusal and never asked:
// an unknown transport, and more attempts than the host holds at once (a
// peer that may skip approval floods it). An attempt forgets its peer when
// refused or failed, and its offer relayed again is not asked twice.
TEST(HostSignal, OffersThatCannotBeTakenUpAreRefused) {
    Hosting h(1);
    h.go();
    h.push_offer("R1", SIGNAL_MODE_BUD, false);
    ASSERT_TRUE(h.wait([&] { return h.asks.size() == 1; }));
    host_signaling_answer(h.hs, "R1", 0);
    ASSERT_TRUE(Hosting::eventually([&] { return h.ended_code("R1") == NAT_END_REFUSED; }));
    EXPECT_EQ(h.peer_of("R1"), "") << "refused: forgotten";
    h.push_offer("R1", SIGNAL_MODE_BUD, false);
    h.push_offer("R2", SIGNAL_MODE_BUD, false);
    ASSERT_TRUE(h.wait([&] { return h.asks.size() >= 2; }));
    EXPECT_STREQ(h.asks[1].guest.attempt_id, "R2") << "R1 asked a second time";
    nat_advance_clock(h.host->host_nat, 31000);  // R2 never answered
    ASSERT_TRUE(Hosting::eventually([&] { return h.ended_code("R2") == NAT_END_NOT_STARTED; }));
    EXPECT_EQ(h.peer_of("R2"), "") << "failed: forgotten";

    for (uint32_t mode : {0u, 3u, 7u}) h.push_offer("M" + std::to_string(mode), mode, false);
    const uint32_t flood = NAT_MAX_ATTEMPTS + 20;
    for (uint32_t i = 0; i < flood; i++) h.push_offer("F" + std::to_string(i), SIGNAL_MODE_BUD, true);
    ASSERT_TRUE(h.server.wait([&] { return h.answers().size() == 1 + 3 + flood; }, 20000))
        << h.answers().size();
    uint32_t approved = 0, refused = 0;
    for (const auto &[id, yes] : h.answers()) {
        if (id[0] == 'M') {
            EXPECT_FALSE(yes) << id;
        }
        if (id[0] == 'F') (yes ? approved : refused)++;
    }
    EXPECT_EQ(approved, NAT_MAX_ATTEMPTS);
    EXPECT_EQ(refused, flood - NAT_MAX_ATTEMPTS);
    EXPECT_EQ(h.pending(), NAT_MAX_ATTEMPTS);
    std::lock_guard<std::mutex> l(h.mutex);
    EXPECT_EQ(h.asks.size(), 2u);
}

}  // namespace
