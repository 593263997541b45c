#include "connection/signal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "connection/nat.h"
#include "platform/dtls.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "support/net/signal_server.h"
#include "support/net/stun_server.h"
#include "util/logger.h"

namespace {

using Clock = std::chrono::steady_clock;

// Every callback as one line of text, in arrival order.
struct Recorder {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> events;
    std::vector<Clock::time_point> times;

    void add(const std::string &e) {
        std::lock_guard<std::mutex> g(mutex);
        events.push_back(e);
        times.push_back(Clock::now());
        cv.notify_all();
    }
    // Index of the first event from `from` on that begins with prefix, or -1 after the timeout.
    int wait(const std::string &prefix, size_t from = 0, int timeout_ms = 10000) {
        std::unique_lock<std::mutex> g(mutex);
        int found = -1;
        cv.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
            for (size_t i = from; i < events.size(); i++)
                if (events[i].rfind(prefix, 0) == 0) return (found = (int)i) >= 0;
            return false;
        });
        return found;
    }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> g(mutex);
        return events;
    }
};

std::string creds_text(const Creds *c) {
    return std::string(c->ice_ufrag) + "/" + c->ice_pwd + "/" + c->fingerprint + "/" + c->aes256;
}

SignalCallbacks recording_callbacks() {
    SignalCallbacks cb = {};
    cb.on_connected = [](void *o) { ((Recorder *)o)->add("connected"); };
    cb.on_error = [](int32_t code, void *o) { ((Recorder *)o)->add("error " + std::to_string(code)); };
    cb.on_offer = [](const char *attempt, uint32_t mode, const Creds *c, const char *from, const char *name,
                     SignalPermissions p, uint32_t uid, uint8_t owner, uint8_t skip, void *o) {
        char line[1024];
        snprintf(line, sizeof line, "offer %s %u %s %s %d%d%d %u %d %d %s", attempt, mode, from, name,
                 p.gamepad, p.keyboard, p.mouse, uid, owner, skip, creds_text(c).c_str());
        ((Recorder *)o)->add(line);
    };
    cb.on_offer_cancel = [](const char *attempt, void *o) {
        ((Recorder *)o)->add(std::string("cancel ") + attempt);
    };
    cb.on_answer = [](const char *attempt, uint8_t approved, const Creds *c, void *o) {
        ((Recorder *)o)
            ->add(std::string("answer ") + attempt + " " + std::to_string(approved) + " " + creds_text(c));
    };
    cb.on_candex = [](const char *attempt, const char *ip, uint16_t port, uint8_t lan, uint8_t stun,
                      uint8_t sync, void *o) {
        char line[512];
        snprintf(line, sizeof line, "candex %s %s:%u %d%d%d", attempt, ip, port, lan, stun, sync);
        ((Recorder *)o)->add(line);
    };
    cb.on_sdk_message = [](const char *payload, void *o) {
        ((Recorder *)o)->add(std::string("sdk ") + payload);
    };
    return cb;
}

// Lines logged through the application log.
struct LogLines {
    static inline std::mutex mutex;
    static inline std::vector<std::string> lines;
    LogLines() {
        log_set_sink(log_sink_format, nullptr);
        log_set_line_writer([](uint32_t, const char *text, void *) {
            std::lock_guard<std::mutex> g(mutex);
            lines.push_back(text);
        });
        clear();
    }
    ~LogLines() { log_set_sink(nullptr, nullptr); }
    void clear() {
        std::lock_guard<std::mutex> g(mutex);
        lines.clear();
    }
    bool has(const std::string &start) {
        std::lock_guard<std::mutex> g(mutex);
        for (auto &l : lines)
            if (l.rfind(start, 0) == 0) return true;
        return false;
    }
};

// A context on a local plain-ws stand-in.
struct Peer {
    Recorder rec;
    SignalContext *ctx = nullptr;
    Peer(const char *role, const SignalServer &server, const char *session, uint32_t backoff = 0) {
        SignalCallbacks cb = recording_callbacks();
        signal_create(&ctx, role, "127.0.0.1", 7, 9, "device-1", &cb, &rec);
        signal_set_server(ctx, "127.0.0.1", server.port(), 0);
        signal_set_backoff(ctx, backoff);
        signal_set_session(ctx, session);
    }
    ~Peer() { signal_destroy(&ctx); }
};

Creds make_creds(const char *tag) {
    Creds c = {};
    snprintf(c.ice_ufrag, sizeof c.ice_ufrag, "u%s", tag);
    snprintf(c.ice_pwd, sizeof c.ice_pwd, "p%s", tag);
    snprintf(c.fingerprint, sizeof c.fingerprint, "f%s", tag);
    snprintf(c.aes256, sizeof c.aes256, "a%s", tag);
    return c;
}

rapidjson::Document parse(const std::string &text) {
    rapidjson::Document d;
    d.Parse(text.c_str());
    return d;
}

}  // namespace

TEST(Signal, CredsAndAttemptIds) {
    Creds c;
    ASSERT_TRUE(sdk_generate_creds(SIGNAL_MODE_BUD, &c, nullptr));
    EXPECT_EQ(strlen(c.ice_ufrag), 8u);
    EXPECT_EQ(strlen(c.ice_pwd), 32u);
    EXPECT_TRUE(std::regex_match(c.fingerprint, std::regex("[0-9a-f]{64}")));
    EXPECT_TRUE(std::regex_match(c.aes256, std::regex("[0-9a-f]{254}")));

    VKO_Cert *cert = nullptr;
    ASSERT_TRUE(sdk_generate_creds(SIGNAL_MODE_SCTP, &c, &cert));
    char fp[VKO_FINGERPRINT_SIZE];
    VKO_CertGetFingerprint(cert, fp, sizeof fp);
    EXPECT_STREQ(c.fingerprint, fp);
    EXPECT_EQ(strlen(c.fingerprint), (size_t)VKO_FINGERPRINT_LEN);
    EXPECT_STREQ(c.aes256, "");
    VKO_CertDestroy(&cert);
    EXPECT_FALSE(sdk_generate_creds(3, &c, nullptr));

    char id[SIGNAL_ATTEMPT_ID_SIZE], id2[SIGNAL_ATTEMPT_ID_SIZE];
    signal_new_attempt_id(id);
    signal_new_attempt_id(id2);
    EXPECT_TRUE(std::regex_match(id, std::regex("([0-9a-f]{8}-){5}[0-9a-f]{8}")));
    EXPECT_STRNE(id, id2);
}

// Incoming messages fed straight to the dispatcher (no session: the thread idles).
TEST(Signal, DispatchOfIncomingActions) {
    Recorder rec;
    SignalCallbacks cb = recording_callbacks();
    SignalContext *ctx = nullptr;
    signal_create(&ctx, "host", "127.0.0.1", 0, 0, "", &cb, &rec);
    LogLines log;

    const std::string creds = R"("creds":{"ice_ufrag":"u","ice_pwd":"p","fingerprint":"f")";
    const std::string long_from(40, 'F'), long_attempt(60, 'A');
    // 34 bytes: cut at 31 they would end inside the 15th two-byte letter.
    std::string accents;
    for (int i = 0; i < 16; i++) accents += "\xC3\xA9";
    const std::string utf8_offer =
        R"({"action":"offer_relay","payload":{"from":"x","attempt_id":"u","is_owner":0,"skip_approval":0,"permissions":{"gamepad":0,"keyboard":0,"mouse":0},"user":{"name":"\tb)" +
        accents + R"(","id":1},"data":{)" + creds + R"(},"mode":1}}})";
    const std::string offer =
        R"({"action":"offer_relay","payload":{"from":")" + long_from + R"(","attempt_id":")" + long_attempt +
        R"(","is_owner":true,"skip_approval":false,"permissions":{"gamepad":true,"keyboard":false,"mouse":true},"user":{"name":"A very long user name of forty chars","id":42},"data":{)" +
        creds + R"(,"aes256":"k"},"mode":2}}})";
    struct {
        std::string text;
        int32_t result;
        std::string event;  // "" when no callback may run
        std::string log;
    } cases[] = {
        {"not json", 0, "", "signal_event_dispatch: Not a valid JSON String not json."},
        {R"({"payload":{}})", 0, "", "signal_event_dispatch: action not found in JSON"},
        {R"({"action":"dance","payload":{}})", 0, "", "signal_event_dispatch: Unknown action: dance"},
        {R"({"action":"close","payload":{"reason":"INVALID_SESSION"}})", -3008, "", ""},
        {R"({"action":"close","payload":{"reason":"ACCESSLINK_EXPIRED"}})", 202, "", ""},
        {R"({"action":"close","payload":{"reason":"INVALID_MSG"}})", -6106, "", ""},
        {R"({"action":"close","payload":{"reason":"SOMETHING"}})", -6105, "", ""},
        {R"({"action":"close","payload":{}})", 0, "", "* signal_event_dispatch["},
        {R"({"action":"sdk","payload":{"k":[1,2]}})", 0, R"(sdk {"k":[1,2]})", ""},
        {offer, 0,
         "offer " + long_attempt.substr(0, 55) + " 2 " + long_from.substr(0, 31) +
             " A very long user name of forty  101 42 1 0 u/p/f/k",
         ""},
        {R"({"action":"offer_relay","payload":{"from":"x","attempt_id":"a"}})", 0, "",
         "* signal_event_dispatch["},
        {utf8_offer, 0, "offer u 1 x ?b" + accents.substr(0, 28) + " 000 1 0 0 u/p/f/", ""},
        {R"({"action":"offer_cancel_relay","payload":{"from":"x","attempt_id":"a1"}})", 0, "cancel a1", ""},
        {R"({"action":"answer_relay","payload":{"from":"x","attempt_id":"a2","approved":false}})", 0,
         "answer a2 0 ///", ""},
        {R"({"action":"answer_relay","payload":{"from":"x","attempt_id":"a3","approved":true}})", 0, "",
         "* signal_event_dispatch["},
        {R"({"action":"answer_relay","payload":{"from":"x","attempt_id":"a4","approved":true,"data":{)" +
             creds + "}}}}",
         0, "answer a4 1 u/p/f/", ""},
        {R"({"action":"candex_relay","payload":{"from":"x","attempt_id":"a5","data":{"ip":"10.0.0.1","port":4000,"lan":true,"from_stun":false,"sync":true}}})",
         0, "candex a5 10.0.0.1:4000 101", "CANDEX: LAN 10.0.0.1:4000"},
        {R"({"action":"candex_relay","payload":{"from":"x","attempt_id":"a6","data":{"ip":"10.0.0.1"}}})", 0,
         "", "CANDEX ERR: -8000"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.text);
        log.clear();
        size_t before = rec.all().size();
        EXPECT_EQ(signal_event_dispatch(ctx, c.text.c_str()), c.result);
        auto events = rec.all();
        if (c.event.empty()) {
            EXPECT_EQ(events.size(), before);
        } else {
            ASSERT_EQ(events.size(), before + 1);
            EXPECT_EQ(events.back(), c.event);
        }
        if (!c.log.empty()) {
            EXPECT_TRUE(log.has(c.log));
        }
    }
    signal_destroy(&ctx);
}

// An approval the host cannot carry out goes out as a refusal, without creds:
// an attempt whose transport is unknown has no creds to make, and one the NAT
// manager no longer knows has nothing to start.
TEST(Signal, ApprovalThatCannotStartIsARefusal) {
    SignalServer server;
    ASSERT_TRUE(server.start());
    Peer host("host", server, "H");
    ASSERT_GE(host.rec.wait("connected"), 0);
    NatManager *nat = nullptr;
    nat_create(&nat, NAT_MODE_HOST, "", 0, 1);
    Creds cc = make_creds("c");
    for (uint32_t mode : {0u, 3u, 7u}) {
        const std::string id = "m" + std::to_string(mode);
        ASSERT_EQ(nat_add_peer(nat, id.c_str(), mode, &cc, nullptr, nullptr, 1), 1);
        signal_map_attempt(host.ctx, id.c_str(), "P");
        signal_answer_attempt(host.ctx, nat, id.c_str(), 0, 1);
        EXPECT_FALSE(nat_get_peer_port(nat, id.c_str(), nullptr)) << "a socket bound for " << id;
    }
    signal_map_attempt(host.ctx, "gone", "P");
    signal_answer_attempt(host.ctx, nat, "gone", 0, 1);
    ASSERT_TRUE(server.wait([&] { return server.received("H").size() == 4; }));
    for (const std::string &m : server.received("H")) {
        auto answer = parse(m);
        EXPECT_FALSE(answer["payload"]["approved"].GetBool()) << m;
        EXPECT_FALSE(answer["payload"]["data"].HasMember("creds")) << m;
    }
    nat_destroy(&nat);
}

// What goes out, as the stand-in receives it (the flow between two peers is
// the link test below).
TEST(Signal, OutgoingMessagesAsTheServerSeesThem) {
    SignalServer server;
    ASSERT_TRUE(server.start());
    Peer client("client", server, "C");
    ASSERT_GE(client.rec.wait("connected"), 0);

    Creds cc = make_creds("c");
    const char *link = "abcdefghijklmnopqrstuvwxyz0", *secret = "abcdefghijklmnopqrstuvwxyz";
    signal_map_attempt(client.ctx, "a0", "H");
    signal_queue_offer(client.ctx, "H", "a0", SIGNAL_MODE_BUD, &cc, "my-secret");
    signal_queue_offer_cancel(client.ctx, "a0");
    signal_queue_offer(client.ctx, "H", "a1", SIGNAL_MODE_SCTP, &cc, link);  // 27 letters and digits
    signal_queue_offer(client.ctx, "H", "a2", SIGNAL_MODE_SCTP, &cc, secret);
    signal_set_public_addr(client.ctx, "203.0.113.5");
    signal_queue_answer(client.ctx, "a0", 1, &cc, 5000);  // and a candex for the fixed address
    {
        LogLines log;  // no peer for this attempt: nothing sent
        Candidate c = {};
        snprintf(c.attempt_id, sizeof c.attempt_id, "unknown");
        signal_send_candex(client.ctx, &c);
        EXPECT_TRUE(log.has("No peer ID for attempt ID unknown"));
    }
    SignalGuest guests[1] = {{3, 44, {1, 0, 1}}};
    SignalHostStatus st = {1, 4, 1, guests, 1};
    snprintf(client.ctx->secret, sizeof client.ctx->secret, "short");
    snprintf(client.ctx->name, sizeof client.ctx->name, "den");
    signal_queue_conn_update(client.ctx, &st);
    ASSERT_TRUE(server.wait([&] { return !server.conn_update("C").empty(); }));

    auto sent = server.received("C");
    ASSERT_EQ(sent.size(), 7u);
    auto offer = parse(sent[0]), cancel = parse(sent[1]), with_link = parse(sent[2]),
         with_secret = parse(sent[3]);
    EXPECT_EQ(offer["version"].GetInt(), 1);
    EXPECT_STREQ(offer["payload"]["to"].GetString(), "H");
    EXPECT_STREQ(offer["payload"]["secret"].GetString(), "my-secret");
    EXPECT_STREQ(offer["payload"]["access_link_id"].GetString(), "");
    EXPECT_EQ(offer["payload"]["data"]["ver_data"].GetInt(), 1);
    EXPECT_EQ(offer["payload"]["data"]["versions"]["bud"].GetInt(), 1);
    EXPECT_EQ(offer["payload"]["data"]["mode"].GetInt(), 1);
    EXPECT_STREQ(offer["payload"]["data"]["creds"]["aes256"].GetString(), "ac");
    EXPECT_STREQ(cancel["action"].GetString(), "offer_cancel");
    EXPECT_FALSE(cancel["payload"].HasMember("data"));
    EXPECT_STREQ(with_link["payload"]["access_link_id"].GetString(), link);
    EXPECT_STREQ(with_link["payload"]["secret"].GetString(), "");
    EXPECT_STREQ(with_secret["payload"]["secret"].GetString(), secret);
    auto answer = parse(sent[4]), candex = parse(sent[5]);
    EXPECT_TRUE(answer["payload"]["approved"].GetBool());
    EXPECT_STREQ(candex["payload"]["data"]["ip"].GetString(), "203.0.113.5");
    EXPECT_EQ(candex["payload"]["data"]["port"].GetInt(), 5000);
    EXPECT_TRUE(candex["payload"]["data"]["lan"].GetBool());

    auto update = parse(server.conn_update("C"));
    const auto &p = update["payload"];
    EXPECT_FALSE(p.HasMember("to") || p.HasMember("data"));
    EXPECT_STREQ(p["os"].GetString(), "Linux");
    EXPECT_STREQ(p["platform"].GetString(), "linux");
    EXPECT_EQ(p["sdk_v"].GetInt(), 393216);
    EXPECT_EQ(p["loader_v"].GetInt(), 7);
    EXPECT_STREQ(p["mode"].GetString(), "desktop");
    EXPECT_STREQ(p["name"].GetString(), "den");
    EXPECT_STREQ(p["secret"].GetString(), "");
    EXPECT_EQ(p["guests"][0]["user_id"].GetInt(), 44);
    EXPECT_FALSE(p["guests"][0]["keyboard"].GetBool());

    auto q = server.queries("C");
    ASSERT_FALSE(q.empty());
    EXPECT_EQ(signal_query_value(q[0], "role"), "client");
    EXPECT_EQ(signal_query_value(q[0], "sdk_version"), "393216");
    EXPECT_EQ(signal_query_value(q[0], "version"), "1");
    server.push_sdk("C", R"({"n":1})");
    EXPECT_GE(client.rec.wait(R"(sdk {"n":1})"), 0);
}

// How each round ends, what is reported and how long the next one waits.
TEST(Signal, RoundEndsAndBackOff) {
    SignalServer server;
    ASSERT_TRUE(server.start());

    // A new session reconnects at once even with a long back-off.
    {
        Peer p("client", server, "S1", 60000);
        ASSERT_GE(p.rec.wait("connected"), 0);
        signal_set_session(p.ctx, "S2");
        EXPECT_GE(p.rec.wait("connected", 1, 3000), 0);
        EXPECT_EQ(server.queries("S2").size(), 1u);
        EXPECT_LT(p.rec.wait("error", 0, 0), 0);
    }

    // Refusals and server closes: the reported code, then a wait of at least
    // the back-off before the next connection.
    SignalServer::User refuse401, refuse412;
    refuse401.refuse = 401;
    refuse412.refuse = 412;
    server.set_user("R401", refuse401);
    server.set_user("R412", refuse412);
    struct {
        const char *session;
        std::function<void()> end;
        std::string error;  // "" when nothing may be reported
    } cases[] = {
        {"R401", [] {}, "error -3008"},
        {"R412", [] {}, "error -6107"},
        {"K1", [&] { server.push_close("K1", "INVALID_SESSION"); }, "error -3008"},
        {"K2", [&] { server.push_close("K2", "HOST_NOT_FOUND"); }, "error 99"},
        {"K3", [&] { server.drop("K3", 4000); }, "error -6105"},
        {"K4", [&] { server.drop("K4", 1001); }, ""},
    };
    const int backoff = 300;
    for (auto &c : cases) {
        SCOPED_TRACE(c.session);
        Peer p("client", server, c.session, backoff);
        if (c.session[0] == 'K') {
            ASSERT_GE(p.rec.wait("connected"), 0);
            c.end();
        }
        if (!c.error.empty()) {
            EXPECT_GE(p.rec.wait(c.error), 0);
        }
        ASSERT_TRUE(server.wait([&] { return server.queries(c.session).size() >= 2; }, 5000));
        auto t = server.query_times(c.session);
        EXPECT_GE(t[1] - t[0], backoff);
        if (c.error.empty()) {
            for (auto &e : p.rec.all()) EXPECT_NE(e.rfind("error", 0), 0u) << e;
        }
    }

    // Nobody listening: each failure waits [b, 2b), and b doubles.
    Recorder rec;
    SignalCallbacks cb = recording_callbacks();
    SignalContext *ctx = nullptr;
    signal_create(&ctx, "client", "127.0.0.1", 0, 0, "", &cb, &rec);
    signal_set_server(ctx, "127.0.0.1", 1, 0);
    signal_set_backoff(ctx, 50);
    signal_set_session(ctx, "S");
    int last = -1;
    for (int i = 0; i < 4; i++) ASSERT_GE(last = rec.wait("error -6101", last + 1), 0);
    signal_destroy(&ctx);
    for (int i = 1; i < 4; i++) {
        double gap = std::chrono::duration<double, std::milli>(rec.times[i] - rec.times[i - 1]).count();
        double b = 50 << (i - 1);
        EXPECT_GE(gap, b) << i;
        EXPECT_LT(gap, 2 * b + 500) << i;
    }
}

// A host and a client open a link: the offer, the answer and every
// candidate travel through the signaling stand-in, STUN through its stand-in.
namespace {

// One end: its signaling and NAT manager, and how its attempt ended.
struct NatSide {
    SignalContext *sig = nullptr;
    NatManager *nat = nullptr;
    std::mutex mutex;
    std::condition_variable cv;
    TransportRecord *record = nullptr;
    int32_t failed = 0;

    void done(TransportRecord *r, int32_t code) {
        std::lock_guard<std::mutex> g(mutex);
        record = r, failed = code;
        cv.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> g(mutex);
        return cv.wait_for(g, std::chrono::seconds(20), [&] { return record || failed; }) && record;
    }
};

const NatCallbacks nat_side_callbacks = {
    [](const char *attempt, const char *ip, uint16_t port, uint8_t lan, uint8_t stun, uint8_t sync, void *o) {
        Candidate c = {port, {}, {}, lan, stun, sync};
        snprintf(c.attempt_id, sizeof c.attempt_id, "%s", attempt);
        snprintf(c.ip, sizeof c.ip, "%s", ip);
        signal_send_candex(((NatSide *)o)->sig, &c);
    },
    [](const GuestInfo *, TransportRecord *record, void *o) { ((NatSide *)o)->done(record, 0); },
    [](const GuestInfo *, int32_t code, void *o) { ((NatSide *)o)->done(nullptr, code); },
};

}  // namespace

TEST(Signal, OfferAnswerAndCandidatesOpenALink) {
    StunServer stun;
    ASSERT_TRUE(stun.start());
    nat_set_builtin_servers("127.0.0.1", stun.port(), "", 0);
    SignalServer server;
    ASSERT_TRUE(server.start());

    for (uint32_t proto : {SIGNAL_MODE_BUD, SIGNAL_MODE_SCTP}) {
        SCOPED_TRACE(proto);
        NatSide host, client;
        SignalCallbacks hcb = {}, ccb = {};
        hcb.on_offer = [](const char *attempt, uint32_t mode, const Creds *creds, const char *from,
                          const char *name, SignalPermissions, uint32_t uid, uint8_t, uint8_t, void *o) {
            NatSide *h = (NatSide *)o;
            GuestInfo info = {};
            info.userID = uid;
            snprintf(info.name, sizeof info.name, "%s", name);
            nat_add_peer(h->nat, attempt, mode, creds, &info, nullptr, 1);
            signal_map_attempt(h->sig, attempt, from);
            signal_answer_attempt(h->sig, h->nat, attempt, 0, 1);
        };
        ccb.on_answer = [](const char *attempt, uint8_t approved, const Creds *creds, void *o) {
            if (approved) nat_begin_p2p(((NatSide *)o)->nat, attempt, 0, creds, nullptr);
        };
        hcb.on_candex = ccb.on_candex = [](const char *attempt, const char *ip, uint16_t port, uint8_t lan,
                                           uint8_t stun_, uint8_t sync, void *o) {
            nat_add_candidate(((NatSide *)o)->nat, attempt, ip, port, lan, stun_, sync);
        };
        for (NatSide *s : {&host, &client}) {
            bool h = s == &host;
            signal_create(&s->sig, h ? "host" : "client", "127.0.0.1", 0, 0, "", h ? &hcb : &ccb, s);
            signal_set_server(s->sig, "127.0.0.1", server.port(), 0);
            nat_create(&s->nat, h ? NAT_MODE_HOST : NAT_MODE_CLIENT, "", 0, 1);
            nat_start(s->nat, &nat_side_callbacks, s);
        }
        signal_set_session(host.sig, "H");

        char attempt[SIGNAL_ATTEMPT_ID_SIZE];
        ASSERT_EQ(signal_offer_attempt(client.sig, client.nat, proto, 1, "H", "C", "secret", attempt), 0);
        EXPECT_TRUE(host.wait()) << host.failed;
        EXPECT_TRUE(client.wait()) << client.failed;

        for (NatSide *s : {&host, &client}) {
            signal_destroy(&s->sig);
            nat_destroy(&s->nat);
            if (s->record) {  // nobody else holds it
                s->record->close(s->record->ctx);
                VKO_MutexDestroy(&s->record->send_lock);
                delete s->record;
            }
        }
    }
}
