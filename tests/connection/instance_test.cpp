// The client half of the connection instance over real peers: the signaling
// stand-in, STUN on loopback, NAT traversal and BUD. The host end is a second
// instance's host NAT manager and signaling driven by hand.
#include "connection/instance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connection/nat.h"
#include "connection/protocol.h"
#include "host/host.h"
#include "platform/json.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "support/net/signal_server.h"
#include "support/net/stun_server.h"
#include "vdev/vdev.h"

namespace {

using namespace std::chrono_literals;

struct Ends {
    StunServer stun;
    SignalServer server;
    ZarvekInstance *host = nullptr, *client = nullptr;
    SignalContext *hsig = nullptr, *csig = nullptr;
    int answer = 1;  // 1 approve, 0 refuse, -1 never
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> offers;
    std::vector<TransportRecord *> links;
    std::vector<ClientEvent> events;  // all but local candidates, which the poller sends
    std::vector<HostEvent> hevents;
    std::atomic<bool> stop{false};
    std::thread poller;

    template <class T>
    void add(std::vector<T> &v, T x) {
        std::lock_guard<std::mutex> g(mutex);
        v.push_back(x);
        cv.notify_all();
    }
    bool wait(const std::function<bool()> &pred) {
        std::unique_lock<std::mutex> g(mutex);
        return cv.wait_for(g, 20s, pred);
    }

    // hosting: the host instance hosts; else its NAT manager is driven by hand.
    const bool hosting;
    explicit Ends(bool hosting_ = false) : hosting(hosting_) {
        EXPECT_TRUE(stun.start());
        nat_set_builtin_servers("127.0.0.1", stun.port(), "", 0);
        EXPECT_TRUE(server.start());
        ZarvekInit(nullptr, &host);
        ZarvekInit(nullptr, &client);
        SignalCallbacks hcb = {}, ccb = sdk_client_signal_callbacks();
        hcb.on_offer = [](const char *attempt, uint32_t mode, const Creds *creds, const char *from,
                          const char *, SignalPermissions, uint32_t, uint8_t, uint8_t, void *o) {
            Ends *e = static_cast<Ends *>(o);
            GuestInfo info = {};
            info.id = static_cast<uint32_t>(e->offers.size() + 1);
            snprintf(info.attempt_id, sizeof info.attempt_id, "%s", attempt);
            nat_add_peer(e->host->host_nat, attempt, mode, creds, &info, nullptr, 1);
            signal_map_attempt(e->hsig, attempt, from);
            e->add(e->offers, std::string(attempt));
            if (e->answer < 0) return;
            // Without hosting the host NAT manager is driven by hand.
            if (e->hosting)
                signal_send_answer(e->hsig, e->host, attempt, 0, static_cast<uint8_t>(e->answer));
            else
                signal_answer_attempt(e->hsig, e->host->host_nat, attempt, 0,
                                      static_cast<uint8_t>(e->answer));
        };
        hcb.on_candex = [](const char *attempt, const char *ip, uint16_t port, uint8_t lan, uint8_t stun_,
                           uint8_t sync, void *o) {
            nat_add_candidate(static_cast<Ends *>(o)->host->host_nat, attempt, ip, port, lan, stun_, sync);
        };
        signal_create(&hsig, "host", "127.0.0.1", 0, 0, "", &hcb, this);
        signal_create(&csig, "client", "127.0.0.1", 0, 0, "", &ccb, client);
        for (SignalContext *s : {hsig, csig}) signal_set_server(s, "127.0.0.1", server.port(), 0);
        signal_set_session(hsig, "H");
        static const NatCallbacks nat_cb = {
            [](const char *attempt, const char *ip, uint16_t port, uint8_t lan, uint8_t stun_, uint8_t sync,
               void *o) {
                Candidate c = {port, {}, {}, lan, stun_, sync};
                snprintf(c.attempt_id, sizeof c.attempt_id, "%s", attempt);
                snprintf(c.ip, sizeof c.ip, "%s", ip);
                signal_send_candex(static_cast<Ends *>(o)->hsig, &c);
            },
            [](const GuestInfo *, TransportRecord *t, void *o) {
                static_cast<Ends *>(o)->add(static_cast<Ends *>(o)->links, t);
            },
            nullptr,
        };
        if (hosting) {
            vdev_set_backend(&vdev_recording_backend);
            HostHooks hooks{};
            hooks.no_audio_thread = 1;
            host_set_hooks(&hooks);
            EXPECT_EQ(ZarvekHostStart(host, nullptr, nullptr), 0);
        } else {
            nat_start(host->host_nat, &nat_cb, this);
        }
        poller = std::thread([this] {
            ClientEvent ev;
            HostEvent hev;
            while (!stop.load()) {
                if (ZarvekClientPollEvents(client, 10, &ev)) {
                    if (ev.type == CLIENT_EVENT_LOCAL_CANDIDATE)
                        signal_send_candex(csig, &ev.candidate);
                    else
                        add(events, ev);
                }
                if (ZarvekHostPollEvents(host, 0, &hev)) {
                    if (hev.type == HOST_EVENT_CANDIDATE)
                        signal_send_candex(hsig, &hev.candidate);
                    else
                        add(hevents, hev);
                }
            }
        });
    }
    ~Ends() {
        stop = true;
        poller.join();
        signal_destroy(&csig);
        signal_destroy(&hsig);
        ZarvekDestroy(&client);
        ZarvekDestroy(&host);
        for (TransportRecord *t : links) proto_destroy(&t);
        host_set_hooks(nullptr);
        vdev_set_backend(nullptr);
    }

    int32_t connect() { return signal_client_connect(csig, client, nullptr, "H", "C", "secret"); }
    // The first status event from index `from` on must be (code, phase); its index.
    int expect_status(size_t from, int32_t code, uint32_t phase) {
        int found = -1;
        EXPECT_TRUE(wait([&] {
            for (size_t i = from; i < events.size() && found < 0; i++)
                if (events[i].type == CLIENT_EVENT_STATUS) found = static_cast<int>(i);
            return found >= 0;
        })) << code;
        if (found < 0) return -1;
        EXPECT_EQ(events[found].status.code, code);
        EXPECT_EQ(events[found].status.phase, phase);
        return found;
    }
    TransportRecord *link(size_t i) {
        return wait([&] { return links.size() > i; }) ? links[i] : nullptr;
    }
    int32_t status() { return ZarvekClientGetStatus(client, nullptr); }
};

// The header of the link's next control message; type 0 when none came.
ControlHeader next_header(TransportRecord *t) {
    std::vector<uint8_t> buf(PROTO_RECV_BUFFER);
    uint32_t len = 0;
    int32_t r = 2000;
    for (int i = 0; i < 100 && r == 2000; i++)
        r = t->recv(t->ctx, 0, buf.data(), PROTO_RECV_BUFFER, &len, 100);
    return r == 0 && len >= PROTO_HEADER_SIZE ? proto_read_header(buf.data()) : ControlHeader{0, 0, 0, 0};
}

int32_t retry(const std::function<int32_t()> &send) {
    int32_t r = 2000;
    for (int i = 0; i < 500 && (r = send()) == 2000; i++) std::this_thread::sleep_for(5ms);
    return r;
}

TEST(Instance, ConnectUserDataAndBothEnds) {
    Ends e;
    EXPECT_EQ(ZarvekClientSendUserData(e.client, 1, "x"), ZARVEK_ERR_NONE);

    // First cycle: the host ends it.
    ASSERT_EQ(e.connect(), 0);
    EXPECT_EQ(e.connect(), ZARVEK_ERR_BUSY);
    e.expect_status(0, 0, ZARVEK_PHASE_CONNECT);
    ClientStatus st{};
    EXPECT_EQ(ZarvekClientGetStatus(e.client, &st), 0);
    TransportRecord *t = e.link(0);
    ASSERT_TRUE(t);
    EXPECT_EQ(std::string(st.attempt_id), e.offers.at(0));
    for (uint8_t type : {MSG_CLIENT_CONFIG, MSG_CLIENT_CONFIG, MSG_CLIENT_CONFIG, MSG_CLIENT_FLAGS})
        EXPECT_EQ(next_header(t).type, type);

    ASSERT_EQ(proto_send_disconnect(t, 7), 0);
    for (int i = 0; i < 1000 && e.status() != 7; i++) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(e.status(), 7);  // the host's end code, not 0
    ZarvekClientDisconnect(e.client);
    EXPECT_EQ(e.status(), ZARVEK_CLIENT_IDLE);

    // Second cycle: the client ends it (no disconnect status came for the host's end).
    ASSERT_EQ(e.connect(), 0);
    int i = e.expect_status(1, 0, ZARVEK_PHASE_CONNECT);
    TransportRecord *t2 = e.link(1);
    for (int k = 0; k < 4; k++) ASSERT_TRUE(t2 && next_header(t2).type != 0);
    ZarvekClientDisconnect(e.client);
    e.expect_status(i + 1, 0, ZARVEK_PHASE_DISCONNECT);
    ControlHeader h = next_header(t2);
    EXPECT_EQ(h.type * 100 + h.field0, MSG_DISCONNECT * 100u);  // reason 0
}

// The status record: each video stream's picture size as its last message
// carried it, and the streams' metrics, the control stream's refreshed after
// a controller report.
TEST(Instance, StatusRecordHoldsPictureSizesAndMetrics) {
    Ends e;
    ASSERT_EQ(e.connect(), 0);
    e.expect_status(0, 0, ZARVEK_PHASE_CONNECT);
    TransportRecord *t = e.link(0);
    ASSERT_TRUE(t);
    // Video stream 1 (transport stream 3): generation 1, 800 x 600.
    const uint8_t prefix[10] = {1, 0, 0, 0, 0x20, 0x03, 0x58, 0x02, 1, 0};
    const uint8_t frame[32] = {};
    ASSERT_EQ(retry([&] { return t->send(t->ctx, 3, prefix, sizeof prefix, frame, sizeof frame, 0); }), 0);
    ClientStatus st{};
    for (int i = 0; i < 2000 && st.streams[1].width == 0; i++) {
        ASSERT_EQ(ZarvekClientGetStatus(e.client, &st), 0);
        if (st.streams[1].width == 0) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(st.streams[1].width * 10000 + st.streams[1].height, 8000600u);
    EXPECT_EQ(st.streams[0].width + st.streams[2].width, 0u);
    EXPECT_EQ(st.streams[1].decoder_index, 1);

    const uint8_t report[8] = {};
    ASSERT_EQ(retry([&] { return ZarvekClientSendControllerReport(e.client, 0, report, sizeof report); }), 0);
    ASSERT_EQ(ZarvekClientGetStatus(e.client, &st), 0);
    // The three stream configurations, the flags and the report.
    EXPECT_GE(st.metrics[0].packetsSent, 5u);
}

// A client with a fixed public address hands it out as a candidate once the
// host approved: the application sends it as candex like any other.
TEST(Instance, ApprovedAttemptSendsTheFixedAddress) {
    Ends e;
    ZarvekClientSetFixedAddress(e.client, "127.0.0.9");
    ASSERT_EQ(e.connect(), 0);
    e.expect_status(0, 0, ZARVEK_PHASE_CONNECT);
    std::string candex;
    EXPECT_TRUE(e.server.wait([&] {
        for (const std::string &m : e.server.received("C"))
            if (m.find("127.0.0.9") != std::string::npos) candex = m;
        return !candex.empty();
    }));
    VKO_JSON *msg = VKO_JSONParse(candex.c_str());
    ASSERT_TRUE(msg) << candex;
    const VKO_JSON *payload = VKO_JSONObjGetItem(msg, "payload");
    const VKO_JSON *data = VKO_JSONObjGetItem(payload, "data");
    bool lan = false, from_stun = true, sync = true;
    EXPECT_TRUE(VKO_JSONToBool(VKO_JSONObjGetItem(data, "lan"), &lan) && lan) << candex;
    EXPECT_TRUE(VKO_JSONToBool(VKO_JSONObjGetItem(data, "from_stun"), &from_stun) && !from_stun) << candex;
    EXPECT_TRUE(VKO_JSONToBool(VKO_JSONObjGetItem(data, "sync"), &sync) && !sync) << candex;
    const VKO_JSON *attempt = VKO_JSONObjGetItem(payload, "attempt_id");
    const char *attempt_text = VKO_JSONGetString(attempt);
    EXPECT_EQ(std::string(attempt_text ? attempt_text : ""), e.offers.at(0));
    VKO_JSONDestroy(&msg);

    // Cleared, it is forgotten.
    ZarvekClientDisconnect(e.client);
    ZarvekClientSetFixedAddress(e.client, nullptr);
    EXPECT_EQ(e.client->client_fixed_addr[0], '\0');
}

// Attempts that do not connect: refused, never answered (the clock moved past
// the NAT manager's 30 s), cancelled.
TEST(Instance, RefusalTimeOutAndCancel) {
    Ends e;
    e.answer = 0;
    ASSERT_EQ(e.connect(), 0);
    e.expect_status(0, NAT_END_REFUSED, ZARVEK_PHASE_CONNECT);
    EXPECT_EQ(e.status(), NAT_END_REFUSED);
    EXPECT_EQ(e.connect(), ZARVEK_ERR_BUSY);  // a closed client is disconnected first
    ZarvekClientDisconnect(e.client);

    e.answer = -1;
    ASSERT_EQ(e.connect(), 0);
    ASSERT_TRUE(e.wait([&] { return e.offers.size() == 2; }));
    EXPECT_EQ(e.status(), ZARVEK_CLIENT_CONNECTING);
    nat_advance_clock(e.client->client_nat, 31000);
    e.expect_status(1, NAT_END_NOT_STARTED, ZARVEK_PHASE_CONNECT);
    ZarvekClientDisconnect(e.client);

    ASSERT_EQ(e.connect(), 0);
    ASSERT_TRUE(e.wait([&] { return e.offers.size() == 3; }));
    signal_client_cancel(e.csig, e.client);
    EXPECT_EQ(e.status(), ZARVEK_CLIENT_IDLE);
    EXPECT_TRUE(e.server.wait([&] {
        auto got = e.server.received("C");
        return !got.empty() && got.back().find("offer_cancel") != std::string::npos;
    }));
    EXPECT_TRUE(e.wait([&] { return e.events.size() == 2; }));  // nothing connected: no status
}

// Cancels land at every point of connecting while the host approves at once:
// a late connected callback of a cancelled attempt races the next connect.
TEST(Instance, CancelRacesLateCallbacks) {
    Ends e;
    for (int i = 0; i < 8; i++) {
        ASSERT_EQ(e.connect(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 25));
        signal_client_cancel(e.csig, e.client);
    }
    ASSERT_EQ(e.connect(), 0);
    for (int i = 0; i < 2000 && e.status() != 0; i++) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(e.status(), 0);
}

TEST(Instance, FullQueueFreesPayloadAndHostAnnouncements) {
    Ends e;
    ZarvekInstance *z = e.host;
    ClientEvent ev{};
    ev.type = CLIENT_EVENT_PAYLOAD;
    for (uint32_t i = 0; i < ZARVEK_EVENT_SLOTS; i++) ASSERT_EQ(sdk_client_push_event(z, &ev, 0, nullptr), 0);
    EXPECT_EQ(sdk_client_push_event(z, &ev, 77, VKO_Alloc(1, 64)), ZARVEK_QUEUE_FULL);
    EXPECT_EQ(ZarvekTakeUserData(z, 77), nullptr);  // freed with its event; ASan sees no leak

    // Guest operations without a host context; JSON calls that name no guest do nothing.
    EXPECT_EQ(ZarvekHostKickGuest(z, 1, 5), ZARVEK_ERR_NONE);
    EXPECT_EQ(ZarvekHostSetPermissions(z, 1, {1, 1, 1}), ZARVEK_ERR_NONE);
    EXPECT_EQ(ZarvekHostGetGuests(z, 5, nullptr), 0u);
    for (const char *json :
         {"", "{", "{\"function\":\"ZarvekHostKickGuest\"}", "{\"function\":7,\"guestID\":1}"})
        ZarvekJSONCall(z, json);

    // The announcement while hosting; stopping hosting forgets the session.
    z->host_status.mode = 1;
    signal_send_conn_update(e.hsig, z);
    ASSERT_TRUE(
        e.server.wait([&] { return e.server.conn_update("H").find("\"desktop\"") != std::string::npos; }));
    signal_stop_hosting(e.hsig, z, 4);
    EXPECT_EQ(z->host_status.mode, 0u);
    EXPECT_EQ(e.hsig->session_id[0], '\0');
}

// Stopping hosting clears the fixed address and the announcement while
// another thread answers and announces (a race the thread sanitizer build
// sees). Nothing queued before the stop, or asked for after it, goes out.
TEST(Instance, StopHostingWhileAnswering) {
    Ends e(true);
    signal_set_public_addr(e.hsig, "203.0.113.5");
    Creds c{};
    ASSERT_EQ(nat_add_peer(e.host->host_nat, "a", NAT_PROTO_BUD, &c, nullptr, nullptr, 1), 1);
    signal_map_attempt(e.hsig, "a", "C");
    std::atomic<bool> done{false};
    std::atomic<uint32_t> rounds{0};
    std::thread app([&] {
        while (!done.load()) {
            signal_send_answer(e.hsig, e.host, "a", 0, 1);
            signal_send_conn_update(e.hsig, e.host);
            rounds++;
        }
    });
    while (rounds.load() < 2) std::this_thread::yield();
    signal_stop_hosting(e.hsig, e.host, 4);
    const uint32_t at_stop = rounds.load();
    while (rounds.load() < at_stop + 2) std::this_thread::yield();
    done = true;
    app.join();
    signal_set_session(e.hsig, "H2");
    const SignalHostStatus st{1, 1, 0, nullptr, 0};
    signal_queue_conn_update(e.hsig, &st);
    ASSERT_TRUE(e.server.wait([&] { return !e.server.conn_update("H2").empty(); }));
    EXPECT_EQ(e.server.received("H2").size(), 1u);
}

// Hosting takes the client flag bytes (timing messages for video and sound),
// and the whitelist document is replaced whole, its cached answers dropped;
// text that is no JSON object leaves an empty one.
TEST(Instance, HostTakesClientFlagsAndWhitelistDocument) {
    nat_set_builtin_servers("127.0.0.1", 9, "", 0);
    vdev_set_backend(&vdev_recording_backend);
    HostHooks hooks{};
    hooks.no_audio_thread = 1;
    host_set_hooks(&hooks);
    ZarvekInstance *z = nullptr;
    ZarvekInit(nullptr, &z);
    ZarvekHostSetGuestStateJSON(z, "{\"/usr/bin/a\":1}");  // no host: nothing to change
    z->client_flags[0] = 0;
    z->client_flags[1] = 1;
    ASSERT_EQ(ZarvekHostStart(z, nullptr, nullptr), 0);
    HostContext *h = z->host;
    EXPECT_EQ(h->timing_video.load() * 10 + h->timing_audio.load() * 1 + h->audio.timing_audio.load() * 100,
              101);

    const struct {
        const char *json;
        const char *present, *absent;
    } rows[] = {
        {"{\"/usr/bin/game\":1,\"/opt/b\":true}", "/opt/b", "/usr/bin/a"},
        {"{", nullptr, "/opt/b"},
        {"[\"/usr/bin/game\"]", nullptr, "/usr/bin/game"},
        {"{\"/usr/bin/game\":1}", "/usr/bin/game", "/opt/b"},
        {nullptr, nullptr, "/usr/bin/game"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.json ? row.json : "none");
        VKO_HashSetInt(h->whitelist.cache, 77, reinterpret_cast<void *>(uintptr_t{2}));
        ZarvekHostSetGuestStateJSON(z, row.json);
        ASSERT_NE(h->whitelist.paths, nullptr);
        EXPECT_EQ(h->whitelist.paths->type, VKO_JSON_TYPE_OBJECT);
        if (row.present) {
            EXPECT_NE(VKO_JSONObjGetItem(h->whitelist.paths, row.present), nullptr);
        }
        EXPECT_EQ(VKO_JSONObjGetItem(h->whitelist.paths, row.absent), nullptr);
        EXPECT_EQ(VKO_HashGetInt(h->whitelist.cache, 77), nullptr);
    }
    ZarvekHostStop(z, 4);
    z->client_flags[0] = 1;
    z->client_flags[1] = 0;
    ASSERT_EQ(ZarvekHostStart(z, nullptr, nullptr), 0);
    EXPECT_EQ(z->host->timing_video.load() * 10 + z->host->timing_audio.load(), 10);
    ZarvekDestroy(&z);
    host_set_hooks(nullptr);
    vdev_set_backend(nullptr);
}

// The host instance hosts: the client becomes its guest, gets its user data
// and is kicked through a JSON call.
TEST(Instance, HostingTakesTheClientAsGuest) {
    Ends e(true);
    EXPECT_EQ(ZarvekHostStart(e.host, nullptr, nullptr), ZARVEK_ERR_BUSY);
    ASSERT_EQ(e.connect(), 0);
    e.expect_status(0, 0, ZARVEK_PHASE_CONNECT);
    ASSERT_TRUE(e.wait([&] { return !e.hevents.empty(); })) << e.status();
    EXPECT_EQ(e.hevents[0].type, HOST_EVENT_GUEST_STATE);
    EXPECT_EQ(e.hevents[0].state.status, HOST_GUEST_CONNECTED);
    ZarvekHostStatus hs;
    ZarvekHostGetStatus(e.host, &hs);
    EXPECT_EQ(hs.mode * 10 + hs.guests, 11u);
    GuestInfo *list = nullptr;
    ASSERT_EQ(ZarvekHostGetGuests(e.host, 4, &list), 1u);
    uint32_t id = list[0].id;
    VKO_Free(list);

    // The announcement lists the connected guest, with its permissions, as one player.
    signal_send_conn_update(e.hsig, e.host);
    ASSERT_TRUE(e.server.wait([&] { return !e.server.conn_update("H").empty(); }));
    VKO_JSON *update = VKO_JSONParse(e.server.conn_update("H").c_str());
    ASSERT_TRUE(update);
    const VKO_JSON *payload = VKO_JSONObjGetItem(update, "payload");
    int32_t players = -1, guest_id = -1;
    EXPECT_TRUE(VKO_JSONToInt(VKO_JSONObjGetItem(payload, "players"), &players));
    EXPECT_EQ(players, 1);
    const VKO_JSON *guest = VKO_JSONArrayGetItem(VKO_JSONObjGetItem(payload, "guests"), 0);
    EXPECT_TRUE(VKO_JSONToInt(VKO_JSONObjGetItem(guest, "guest_id"), &guest_id));
    EXPECT_EQ(guest_id, static_cast<int32_t>(id));
    EXPECT_EQ(VKO_JSONArrayGetItem(VKO_JSONObjGetItem(payload, "guests"), 1), nullptr);
    VKO_JSONDestroy(&update);

    // User data at the largest size, both ways; one byte more is refused.
    std::string text(PROTO_USER_DATA_MAX - 1, 'u');
    EXPECT_EQ(ZarvekHostSendUserData(e.host, id + 1, 3, "x"), HOST_ERR_NO_GUEST);
    EXPECT_EQ(ZarvekHostSendUserData(e.host, id, 3, (text + "u").c_str()), PROTO_ERR_TOO_LONG);
    EXPECT_EQ(ZarvekClientSendUserData(e.client, 3, (text + "u").c_str()), PROTO_ERR_TOO_LONG);
    EXPECT_EQ(retry([&] { return ZarvekHostSendUserData(e.host, id, 9, text.c_str()); }), 0);
    EXPECT_EQ(retry([&] { return ZarvekClientSendUserData(e.client, 42, text.c_str()); }), 0);
    ASSERT_TRUE(e.wait([&] { return e.events.size() == 2 && e.hevents.size() == 2; }));
    EXPECT_EQ(e.events[1].user_data.message_id * 100 + e.hevents[1].data.data_type, 942u);
    for (void *p : {ZarvekTakeUserData(e.client, e.events[1].user_data.payload_id),
                    ZarvekTakeUserData(e.host, e.hevents[1].data.data_id)}) {
        EXPECT_EQ(static_cast<char *>(p), text);
        VKO_Free(p);
    }

    ZarvekJSONCall(e.host,
                   ("{\"function\":\"ZarvekHostKickGuest\",\"guestID\":" + std::to_string(id) + "}").c_str());
    for (int i = 0; i < 1000 && e.status() != 5; i++) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(e.status(), 5);
}

}  // namespace
