// The host session against guests on real BUD links over loopback: the host
// side of each link goes to host_on_accept, the guest side is read raw so
// every message the host sends can be checked.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "compat/pointer/pointer.h"
#include "host/host.h"
#include "host/input.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "platform/thread.h"
#include "support/bud_pair.h"
#include "support/encoded_streams.h"
#include "util/config.h"
#include "vdev/controller_input.h"
#include "vdev/vdev.h"
#include "util/logger.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::mutex g_log_mutex;
std::vector<std::string> g_log;

void collect_line(uint32_t, const char *text, void *) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.push_back(text);
}

size_t count_logged(const std::string &text) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    size_t n = 0;
    for (const auto &l : g_log) n += l.find(text) != std::string::npos ? 1 : 0;
    return n;
}

bool logged(const std::string &text) {
    return count_logged(text) > 0;
}

// The recorded calls of the virtual display adapter, in order.
std::vector<std::string> adapter_calls() {
    std::vector<std::string> out;
    for (const std::string &c : vdev_recorded())
        if (c.rfind("mm_", 0) == 0 || c.rfind("vdd_device_restart", 0) == 0) out.push_back(c);
    return out;
}

struct Event {
    uint32_t id;
    uint32_t state;
    int32_t reason;
};

struct Guest {
    BudPair pair;
    uint32_t id;

    // The host's next control message, skipping the types in `skip`.
    Bytes next(std::initializer_list<uint8_t> skip = {21, 25}) {
        for (;;) {
            Bytes m = recv_one(pair.client, 0, PROTO_RECV_BUFFER);
            if (m.size() < PROTO_HEADER_SIZE) return m;
            if (std::find(skip.begin(), skip.end(), m[12]) == skip.end()) return m;
        }
    }
    ControlHeader next_header(std::initializer_list<uint8_t> skip = {21, 25}) {
        Bytes m = next(skip);
        return m.size() >= PROTO_HEADER_SIZE ? proto_read_header(m.data()) : ControlHeader{0, 0, 0, 255};
    }
    void send(ControlHeader h, const std::string &payload = "") {
        Bytes m(PROTO_HEADER_SIZE);
        proto_write_header(m.data(), h);
        m.insert(m.end(), payload.begin(), payload.end());
        ASSERT_EQ(send_all(pair.client, 0, m), 0);
    }
    void join(int container = 0, bool cache_cursor = false) {
        ClientConfig cfg{};
        proto_client_config_defaults(&cfg);
        cfg.video_container = container;
        char *json = proto_client_config_to_json(&cfg, 0, 1920, 1080, 0x8);
        std::string text(json);
        VKO_Free(json);
        if (!cache_cursor) text.replace(text.find("\"_cache_cursor\":true"), 20, "\"_cache_cursor\":false");
        for (int i = 0; i < 3; i++)  // one per video stream, as the client does
            send({static_cast<uint32_t>(text.size() + 1), 0, 0, MSG_CLIENT_CONFIG}, text + '\0');
    }
};

// Session locks asked of the login manager.
std::atomic<int> g_locks{0};

class HostSession : public ::testing::Test {
   protected:
    HostContext *ctx = nullptr;
    HostConfig cfg{};
    std::mutex mutex;
    std::vector<Event> events;
    std::vector<std::string> user_data;
    std::vector<std::unique_ptr<Guest>> guests;  // outlive the host, so its goodbyes are acknowledged

    void SetUp() override {
        vdev_set_backend(&vdev_recording_backend);
        vdev_recorder_clear();
        {
            std::lock_guard<std::mutex> lock(g_log_mutex);
            g_log.clear();
        }
        g_locks = 0;
        HostHooks hooks{[](HostContext *, uint32_t) {}, 1, nullptr, nullptr, 0};
        host_set_hooks(&hooks);
        host_set_session_lock([] { g_locks++; });
        config_create();
        config_read_host(&cfg);
        config_destroy();
        log_set_line_writer(collect_line);
        log_set_sink(log_sink_format, nullptr);
    }
    void start() {
        HostCallbacks cb{[](const GuestInfo *g, uint32_t, int32_t reason, uint64_t, void *o) {
                             auto *self = static_cast<HostSession *>(o);
                             std::lock_guard<std::mutex> lock(self->mutex);
                             self->events.push_back({g->id, g->state, reason});
                         },
                         [](const GuestInfo *, uint32_t, char *payload, void *o) -> int32_t {
                             auto *self = static_cast<HostSession *>(o);
                             std::lock_guard<std::mutex> lock(self->mutex);
                             self->user_data.emplace_back(payload);
                             VKO_Free(payload);
                             return 0;
                         }};
        host_create(&cfg, &cb, this, &ctx);
    }
    void TearDown() override {
        host_destroy(&ctx, 0);
        guests.clear();
        host_set_hooks(nullptr);
        host_set_session_lock(nullptr);
        host_set_times(nullptr);
        vdev_set_backend(nullptr);
        log_set_sink(nullptr, nullptr);
        log_set_line_writer(nullptr);
    }
    Guest *connect(uint32_t id, bool owner = false, uint32_t user = 0) {
        Guest *g = guests.emplace_back(std::make_unique<Guest>()).get();
        EXPECT_TRUE(g->pair.open(false));
        g->id = id;
        GuestInfo info{};
        info.id = id;
        info.userID = user ? user : id + 1000;
        info.owner = owner;
        info.mouse = 1;
        std::snprintf(info.name, sizeof info.name, "guest%u", id);
        TransportRecord *t = proto_create(TRANSPORT_BUD, g->pair.host, bud_recv, bud_send, bud_close);
        g->pair.host = nullptr;  // the host owns its end now
        host_on_accept(&info, t, ctx);
        return g;
    }
    Guest *joined(uint32_t id, bool owner = false, int container = 0, bool cache = false, uint32_t user = 0) {
        auto g = connect(id, owner, user);
        g->join(container, cache);
        ControlHeader h = g->next_header();
        EXPECT_EQ(h.type, MSG_JOINED);
        EXPECT_EQ(h.field0, 1u);
        EXPECT_TRUE(eventually([&] { return ctx->guest_count.load() >= 1; }));
        // The joined notice goes out before the message thread lifts the
        // guest's pause; frames written before that skip the guest.
        EXPECT_TRUE(eventually([&] {
            host_lock_streams(ctx);
            bool running = false;
            for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
                auto *guest = static_cast<::Guest *>(n->value);
                if (guest->info.id == id) running = !guest->paused.load();
            }
            host_unlock_streams(ctx);
            return running;
        }));
        return g;
    }
    std::vector<GuestInfo> guest_list(Guest &g) {
        Bytes m = g.next({21, MSG_JOINED});
        EXPECT_EQ(m[12], MSG_GUEST_LIST);
        ControlHeader h = proto_read_header(m.data());
        EXPECT_EQ(h.field1, g.id);
        EXPECT_EQ(h.field0, m.size() - PROTO_HEADER_SIZE);
        GuestInfo *list = nullptr;
        uint32_t n =
            proto_guests_from_json(reinterpret_cast<const char *>(m.data() + PROTO_HEADER_SIZE), &list);
        std::vector<GuestInfo> out(list, list + n);
        VKO_Free(list);
        return out;
    }
    bool saw(uint32_t id, uint32_t state, int32_t reason) {
        return eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            for (const Event &e : events)
                if (e.id == id && e.state == state && e.reason == reason) return true;
            return false;
        });
    }
};

TEST_F(HostSession, JoinListKickAndLeave) {
    start();
    auto a = connect(1, true);
    a->join();
    EXPECT_EQ(a->next_header({}).type, MSG_JOINED);
    EXPECT_EQ(guest_list(*a).size(), 1u);
    EXPECT_TRUE(saw(1, 4, 0));
    auto b = joined(2);
    EXPECT_EQ(guest_list(*b).size(), 2u);
    EXPECT_EQ(guest_list(*a).size(), 2u);
    EXPECT_EQ(ctx->guest_count.load(), 2u);  // three configurations each, counted once

    ASSERT_EQ(host_set_guest_reason(ctx, 2, 5, true), 0);
    EXPECT_EQ(host_set_guest_reason(ctx, 77, 5, true), HOST_ERR_NO_GUEST);
    ControlHeader end = b->next_header();
    EXPECT_EQ(end.type, MSG_DISCONNECT);
    EXPECT_EQ(end.field0, 5u);
    EXPECT_TRUE(saw(2, 8, 5));
    EXPECT_EQ(guest_list(*a).size(), 1u);

    a->send({0, 0, 0, MSG_DISCONNECT});
    EXPECT_TRUE(saw(1, 8, HOST_ERR_GUEST_LEFT));
    EXPECT_TRUE(eventually([&] { return ctx->guest_count.load() == 0 && host_busy_slots(ctx) == 0; }));
    EXPECT_FALSE(logged("host_msg_thread_cleanup"));
    // The last guest gone: virtual displays released, pads reset.
    EXPECT_EQ(ctx->vdd, 0);
}

TEST_F(HostSession, SessionFullAndHostStop) {
    cfg.max_clients = 1;
    start();
    auto a = joined(1, true);
    auto b = connect(2);
    b->join();
    ControlHeader h = b->next_header();
    EXPECT_EQ(h.type, MSG_DISCONNECT);
    EXPECT_EQ(h.field0, static_cast<uint32_t>(HOST_REASON_FULL));
    host_destroy(&ctx, 0);
    h = a->next_header();
    EXPECT_EQ(h.type, MSG_DISCONNECT);
    EXPECT_EQ(h.field0, static_cast<uint32_t>(HOST_REASON_STOPPING));
}

TEST_F(HostSession, OwnerLeavingInProtectiveModeEndsTheOthers) {
    cfg.protective_mode = 1;
    start();
    auto owner = joined(1, true);
    auto other = joined(2);
    owner->send({0, 0, 0, MSG_DISCONNECT});
    ControlHeader h = other->next_header();
    EXPECT_EQ(h.type, MSG_DISCONNECT);
    EXPECT_EQ(h.field0, static_cast<uint32_t>(HOST_REASON_OWNER_LEFT));
}

// The owner's leaving locks the session when the desktop lock is on; a
// session whose first guest was not the owner never locks it.
TEST_F(HostSession, OwnerLeavingLocksTheSession) {
    cfg.lock_desktop = 1;
    start();
    auto owner = joined(1, true);
    owner->send({0, 0, 0, MSG_DISCONNECT});
    ASSERT_TRUE(eventually([] { return g_locks.load() == 1; }));
    auto other = joined(2);
    other->send({0, 0, 0, MSG_DISCONNECT});
    ASSERT_TRUE(eventually([&] { return ctx->guest_count.load() == 0; }));
    // A join waits for the last leave to finish, so its lock would be counted.
    joined(3);
    EXPECT_EQ(g_locks.load(), 1);
    EXPECT_EQ(ctx->locked_workstation, 1u);
}

TEST_F(HostSession, VideoPrefixPauseResumeAndStreamEnd) {
    start();
    auto g = joined(1, true);
    auto units = encode_h264(128, 64, 31, 30);
    uint32_t fast = 0, slow = 0, cg = 0, largest = 0;
    float rate = 0;
    auto write = [&](uint32_t frame, uint8_t announce) {
        const Bytes &u = units[frame].bytes;
        proto_video_write(ctx, u.data(), static_cast<uint32_t>(u.size()), &fast, &slow, &cg, &rate, &largest,
                          128, 64, frame, 2.5f, 7, 0, announce, 1, 0, nullptr);
    };
    write(0, 1);
    ControlHeader h = g->next_header({25});
    EXPECT_EQ(h.type, MSG_NEW_ENCODER);
    EXPECT_EQ(h.field1, 7u);
    Bytes v = recv_one(g->pair.client, 1);
    ASSERT_GT(v.size(), 10u);
    EXPECT_EQ(Bytes(v.begin(), v.begin() + 10), (Bytes{7, 0, 0, 0, 128, 0, 64, 0, 1, 1}));
    EXPECT_EQ(Bytes(v.begin() + 10, v.end()), units[0].bytes);
    h = g->next_header({25});
    EXPECT_EQ(h.type, MSG_LATENCY);
    EXPECT_EQ(h.field1, 2500u);

    std::vector<Bytes> got{Bytes(v.begin() + 10, v.end())};
    for (uint32_t f = 1; f < 10; f++) {
        write(f, 0);
        Bytes m = recv_one(g->pair.client, 1);
        got.emplace_back(m.begin() + 10, m.end());
    }
    EXPECT_EQ(decode_buffers(got, false).frames, 10);

    ctx->streams[0].encoder_running.store(1);
    g->send({0, 0, 0, MSG_PAUSE});
    g->send({0, 0, 0, MSG_PAUSE_RESUME});  // a = 0 after a pause: restart for a new key frame
    ASSERT_TRUE(eventually([&] { return ctx->streams[0].restart_request.load() == 1; }));

    host_stream_end(ctx, 0, -14003);
    h = g->next_header();
    EXPECT_EQ(h.type, MSG_DISCONNECT);
    EXPECT_EQ(static_cast<int32_t>(h.field0), -14003);
    EXPECT_TRUE(logged("host_msg_thread_cleanup[2501] = -14003"));
}

// Timing reports say what they time in their first field (0 video, with the
// stream in the second; 1 audio), the values following as big-endian floats.
TEST_F(HostSession, TimingReportsSayVideoOrAudio) {
    start();
    auto g = joined(1, true);
    host_lock_streams(ctx);
    static_cast<::Guest *>(VKO_ListGetFirst(ctx->guests)->value)->streams[2].wants_video.store(1);
    host_unlock_streams(ctx);
    auto units = encode_h264(128, 64, 1, 30);
    uint32_t fast = 0, slow = 0, cg = 0, largest = 0;
    float rate = 0;
    const VideoTiming vt{1.5f, 2.5f, 3.5f, 4.5f};
    proto_video_write(ctx, units[0].bytes.data(), static_cast<uint32_t>(units[0].bytes.size()), &fast, &slow,
                      &cg, &rate, &largest, 128, 64, 1, 2.5f, 7, 2, 0, 1, 0, &vt);
    auto floats = [](const Bytes &m) {
        std::vector<float> out;
        for (size_t at = PROTO_HEADER_SIZE; at + 4 <= m.size(); at += 4) {
            uint32_t u = static_cast<uint32_t>(m[at]) << 24 | static_cast<uint32_t>(m[at + 1]) << 16 |
                         static_cast<uint32_t>(m[at + 2]) << 8 | m[at + 3];
            float f;
            std::memcpy(&f, &u, 4);
            out.push_back(f);
        }
        return out;
    };
    Bytes m = g->next({21, 25});
    ASSERT_GE(m.size(), PROTO_HEADER_SIZE);
    ControlHeader h = proto_read_header(m.data());
    EXPECT_EQ(std::make_tuple(h.type, h.field0, h.field1, h.field2), std::make_tuple(MSG_TIMING, 0u, 2u, 0u));
    EXPECT_EQ(floats(m), (std::vector<float>{1.5f, 2.5f, 3.5f, 4.5f}));

    ctx->timing_audio.store(1);
    const HostAudioTiming at{0.25f, 0.5f, 20.0f};
    const uint8_t opus[10] = {0xF8};
    host_send_audio(ctx, opus, sizeof opus, nullptr, 0, 960, 1, 1.0f, &at);
    m = g->next({21, 25});
    ASSERT_GE(m.size(), PROTO_HEADER_SIZE);
    h = proto_read_header(m.data());
    EXPECT_EQ(std::make_tuple(h.type, h.field0, h.field1, h.field2), std::make_tuple(MSG_TIMING, 1u, 0u, 0u));
    EXPECT_EQ(floats(m), (std::vector<float>{0.25f, 0.5f, 20.0f}));
}

TEST_F(HostSession, HiddenApplicationAndContainer) {
    start();
    auto owner = joined(1, true, 2);
    auto other = joined(2);
    ctx->foreground_class.store(2);  // only the owner may see it
    auto units = encode_h264(128, 64, 31, 30);
    uint32_t fast = 0, slow = 0, cg = 0, largest = 0;
    float rate = 0;
    for (uint32_t f = 0; f <= 30; f++)
        proto_video_write(ctx, units[f].bytes.data(), static_cast<uint32_t>(units[f].bytes.size()), &fast,
                          &slow, &cg, &rate, &largest, 128, 64, f, 1.0f, 1, 0, 0, 1, 0, nullptr);
    ControlHeader h = other->next_header({25});
    EXPECT_EQ(h.type, MSG_APP_PAUSE);
    EXPECT_EQ(h.field0, 1u);
    EXPECT_EQ(other->next_header({25}).type, MSG_LATENCY);  // frame 0
    EXPECT_EQ(other->next_header({25}).type, MSG_LATENCY);  // frame 30, still no picture
    EXPECT_EQ(bud_stream_queued(other->pair.client, 1), 0u);
    Bytes first = recv_one(owner->pair.client, 1);
    ASSERT_GT(first.size(), 18u);
    EXPECT_EQ(std::string(first.begin() + 14, first.begin() + 18), "ftyp");
}

TEST_F(HostSession, CursorFullThenCached) {
    start();
    auto g = joined(1, true, 0, true);
    HostCursor cur{};
    cur.width = 2;
    cur.height = 2;
    cur.x = 10;
    cur.y = 20;
    cur.hot_x = 1;
    cur.hot_y = 1;
    cur.size = 4;
    const uint8_t image[4] = {'P', 'N', 'G', '!'};
    host_send_cursor(ctx, &cur, 0x2, image, 0, 0xABCD1234);
    host_send_cursor(ctx, &cur, 0x2, image, 0, 0xABCD1234);
    Bytes full = g->next();
    ASSERT_EQ(full.size(), 38u);
    EXPECT_EQ(full[12], MSG_CURSOR);
    EXPECT_EQ(full[33], 0x22);  // image, and a new cache on the first image after joining
    EXPECT_EQ(std::string(full.begin() + 34, full.end()), "PNG!");
    Bytes cached = g->next();
    ASSERT_EQ(cached.size(), 34u);
    ControlHeader h = proto_read_header(cached.data());
    EXPECT_EQ(h.field0, 1u);
    EXPECT_EQ(cached[33], 0x10);
    EXPECT_EQ(Bytes(cached.begin() + 28, cached.begin() + 32), (Bytes{0x12, 0x34, 0xAB, 0xCD}));
}

TEST_F(HostSession, LargestUserDataAndIgnoredMessages) {
    start();
    auto g = joined(1, true);
    std::string text(PROTO_USER_DATA_MAX - 1, 'x');
    g->send({PROTO_USER_DATA_MAX, 3, 0, MSG_USER_DATA}, text + '\0');
    g->send({3, 640, 480, MSG_DISPLAY_SIZE});  // no stream 3: nothing changes
    g->send({0, 640, 480, MSG_DISPLAY_SIZE});
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return user_data.size() == 1;
    }));
    EXPECT_EQ(user_data[0].size(), text.size());
    ASSERT_TRUE(eventually([&] { return ctx->streams[0].display_dirty.load() == 1; }));
    EXPECT_EQ(ctx->streams[0].client_width, 640u);
    EXPECT_EQ(ctx->guest_count.load(), 1u);
}

// Before joining, a guest may join or leave, nothing else; talking does not
// keep it past the join time, which runs on the clock.
TEST_F(HostSession, UnjoinedGuestOnlyJoinsOrLeavesAndIsTimedOut) {
    HostTimes times{1500, 1000};
    host_set_times(&times);
    start();
    auto g = connect(1, true);
    Bytes buf(PROTO_RECV_BUFFER);
    uint32_t len = 0;
    int32_t r = BUD_TIMEOUT;
    auto t0 = std::chrono::steady_clock::now();
    while (r == BUD_TIMEOUT && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(20)) {
        for (ControlHeader h : {ControlHeader{0, 640, 480, MSG_DISPLAY_SIZE}, ControlHeader{3, 0, 0, 35},
                                ControlHeader{1, 1, 0, MSG_WANTS_VIDEO}, ControlHeader{5, 0, 0, 0}}) {
            Bytes m(PROTO_HEADER_SIZE);
            proto_write_header(m.data(), h);
            bud_send(g->pair.client, 0, m.data(), 0, m.data(), PROTO_HEADER_SIZE, 0);
        }
        r = bud_recv(g->pair.client, 0, buf.data(), PROTO_RECV_BUFFER, &len, 50);
    }
    ASSERT_EQ(r, 0);
    ControlHeader h = proto_read_header(buf.data());
    EXPECT_EQ(h.type, MSG_DISCONNECT);
    EXPECT_EQ(static_cast<int32_t>(h.field0), HOST_ERR_JOIN_TIMEOUT);
    EXPECT_TRUE(saw(1, 8, HOST_ERR_JOIN_TIMEOUT));
    EXPECT_EQ(ctx->streams[0].client_width, 0u);
    EXPECT_EQ(ctx->timing_video.load(), 0);
    EXPECT_EQ(ctx->guest_count.load(), 0u);
    EXPECT_TRUE(eventually([&] { return host_busy_slots(ctx) == 0; }));
}

// The application changes a guest's permissions while its input arrives
// (run under TSan). Key and button ups of nothing held reach no display.
TEST_F(HostSession, PermissionsChangeWhileInputArrives) {
    start();
    auto g = joined(1, true);
    std::atomic<bool> done{false};
    std::thread app([&] {
        while (!done.load()) {
            host_lock_streams(ctx);
            for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
                GuestInfo &info = static_cast<::Guest *>(n->value)->info;
                info.keyboard ^= 1;
                info.mouse ^= 1;
                info.gamepad ^= 1;
            }
            host_unlock_streams(ctx);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int i = 0; i < 200; i++) {
        g->send({5, 0, 0, 0});
        g->send({1, 0, 0, 1});
    }
    g->send({0, 320, 200, MSG_DISPLAY_SIZE});  // handled after all of the above
    EXPECT_TRUE(eventually([&] { return ctx->streams[0].display_dirty.load() == 1; }));
    done.store(true);
    app.join();
}

// A guest's pen device goes with its message thread.
std::atomic<int> g_pens_made{0}, g_pens_gone{0};
const PointerApi kCountingPens = {
    [](uint32_t, uint32_t, uint32_t, uint32_t *) -> void * {
        g_pens_made++;
        return &g_pens_made;
    },
    [](void *) { g_pens_gone++; },
    [](void *, const PointerPenInfo *, uint32_t, uint32_t *) { return true; },
};

TEST_F(HostSession, PenDeviceEndsWithItsGuest) {
    g_pens_made = g_pens_gone = 0;
    pointer_set_api(&kCountingPens);
    start();
    auto g = joined(1, true);
    host_lock_streams(ctx);
    for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next)
        static_cast<::Guest *>(n->value)->info.mouse = 1;
    host_unlock_streams(ctx);
    g->send({10 << 16 | 20, 512 << 16, 0x2, MSG_PEN});
    g->send({10 << 16 | 21, 512 << 16, 0x2, MSG_PEN});
    EXPECT_TRUE(eventually([] { return g_pens_made.load() == 1; }));
    g->send({0, 0, 0, MSG_DISCONNECT});
    EXPECT_TRUE(eventually([] { return g_pens_gone.load() == 1; }));
    EXPECT_EQ(g_pens_made.load(), 1);
    pointer_set_api(nullptr);
}

// The virtual display watchdog: a driver that stops answering gets a new
// adapter (the driver's not-there-yet answers are waited out); five
// recoveries close together make it give up for good.
TEST_F(HostSession, DisplayWatchdogRecoversThenGivesUp) {
    HostTimes times{60000, 20};
    host_set_times(&times);
    cfg.virtual_monitors = 1;
    vdev_recorder_fail("mm_version", 1);
    vdev_recorder_fail("mm_adapter_create", VDEV_ERROR_NOT_FOUND, 2);
    start();
    ASSERT_TRUE(
        eventually([] { return logged("Check GPU and Virtual Display drivers and restart Zarvek"); }));
    EXPECT_EQ(count_logged("Recovered dynamic virtual display adapter driver after driver fault"), 5u);
    EXPECT_TRUE(logged("Could not recover Virtual Display Adapter"));
    EXPECT_FALSE(logged("'MM_AdapterCreate' failed"));
    std::vector<std::string> calls = adapter_calls();
    std::vector<std::string> first = {"mm_driver_version()", "mm_version()", "vdd_device_restart(0)",
                                      "vdd_device_restart(1)"};
    first.insert(first.end(), 10, "mm_version()");  // a second of polling
    first.insert(first.end(), 3, "mm_adapter_create(5000)");
    first.push_back("vdd_device_restart(1)");
    const std::vector<std::string> again = {"mm_driver_version()", "mm_version()", "mm_adapter_close()",
                                            "mm_adapter_create(5000)", "vdd_device_restart(1)"};
    std::vector<std::string> want = first;
    for (int i = 0; i < 4; i++) want.insert(want.end(), again.begin(), again.end());
    EXPECT_EQ(calls, want);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(adapter_calls().size(), calls.size());  // it has ended
}

// A driver back on its own after its device node restarted, another error
// from the adapter creation, then a driver no longer installed.
TEST_F(HostSession, DisplayWatchdogOtherOutcomes) {
    HostTimes times{60000, 20};
    host_set_times(&times);
    cfg.privacy_mode = 1;
    vdev_recorder_fail("mm_version", 1, 2);
    start();
    ASSERT_TRUE(eventually(
        [] { return logged("Recovered primary virtual display adapter driver after driver fault"); }));
    EXPECT_FALSE(logged("mm_adapter_create"));
    vdev_recorder_fail("mm_adapter_create", 5, 1);
    vdev_recorder_fail("mm_version", 1, 11);
    ASSERT_TRUE(eventually([] { return logged("Zarvek Virtual Display Adapter (re-)creation failed"); }));
    EXPECT_TRUE(logged("'MM_AdapterCreate' failed with error -1 (win32 error: 0x5)"));
    EXPECT_TRUE(logged("Dynamic VDD driver recovery failed with 0xFFFFFFFF"));
    vdev_recorder_fail("mm_driver_version", 1);
    ASSERT_TRUE(eventually([] { return logged("Zarvek Virtual Display Adapter driver missing"); }));
    size_t n = adapter_calls().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(adapter_calls().size(), n);
}

// DualSense pads' output reports and isochronous data reach the guest that
// owns the pad, and only that guest, as message 33.
TEST_F(HostSession, DualSenseOutputGoesToItsGuest) {
    cfg.gamepad_type = 3;
    cfg.gamepad_mode = 2;  // the recorder has the virtual USB adapter
    start();
    ASSERT_NE(ctx->gamepads, nullptr);
    ASSERT_EQ(ctx->gamepads->pad_type, PAD_DUALSENSE);
    auto a = joined(1, true);
    auto b = joined(2);
    ASSERT_EQ(controller_slot_get(ctx->gamepads, controller_pad_key(1, 2), 1001), 0);  // a's pad 2
    ASSERT_EQ(controller_slot_get(ctx->gamepads, controller_pad_key(2, 0), 1002), 1);  // b's pad 0
    vdev_recorder_pad_data(0, false, {1, 2, 3});
    vdev_recorder_pad_data(0, true, Bytes(300, 7));
    vdev_recorder_pad_data(1, false, {9});
    vdev_recorder_notify(0xC0DE);  // and the adapter's notifications reach its queue
    for (auto [g, size, b_field, c, byte] :
         {std::tuple{a, 3u, 1u, 2u, 1}, {a, 300u, 0u, 2u, 7}, {b, 1u, 1u, 0u, 9}}) {
        Bytes m = g->next({21, 25, MSG_JOINED});
        ASSERT_EQ(m.size(), PROTO_HEADER_SIZE + size);
        ControlHeader h = proto_read_header(m.data());
        EXPECT_EQ(h.type, MSG_PAD_OUTPUT);
        EXPECT_EQ(std::make_tuple(h.field0, h.field1, h.field2), std::make_tuple(size, b_field, c));
        EXPECT_EQ(m[PROTO_HEADER_SIZE], byte);
    }
    void *slot = nullptr;
    uint64_t size = 0;
    ASSERT_TRUE(VKO_QueueGetOutputBuffer(ctx->vusb->notifications, 5000, &slot, &size));
    uint32_t code = 0;
    std::memcpy(&code, slot, sizeof code);
    EXPECT_EQ(std::make_pair(code, size), std::make_pair(0xC0DEu, uint64_t{4}));
    VKO_QueuePop(ctx->vusb->notifications);
}

// A game's rumble on a guest's pad reaches that guest as message 20 (pad
// index, large and small motor), not the other guest of the same user, and
// refreshes the guest's control metrics.
TEST_F(HostSession, RumbleReachesThePadsGuest) {
    start();
    ASSERT_NE(ctx->gamepads, nullptr);
    auto a = joined(1, true, 0, false, 77);
    auto b = joined(2, false, 0, false, 77);
    ASSERT_EQ(controller_slot_get(ctx->gamepads, controller_pad_key(1, 3), 77), 0);  // a's pad 3
    ASSERT_EQ(controller_slot_get(ctx->gamepads, controller_pad_key(2, 3), 77), 1);  // b's pad 3
    auto control_packets = [&](uint32_t id) {
        uint32_t n = 0;
        VKO_MutexLock(ctx->stream_locks[0]);
        for (VKO_ListNode *node = VKO_ListGetFirst(ctx->guests); node; node = node->next) {
            auto *g = static_cast<::Guest *>(node->value);
            if (g->info.id == id) n = g->info.control.packetsSent;
        }
        VKO_MutexUnlock(ctx->stream_locks[0]);
        return n;
    };
    uint32_t before = control_packets(1);
    ASSERT_TRUE(vdev_recorder_feedback(1, 10, 20));
    ASSERT_TRUE(vdev_recorder_feedback(0, 200, 100));
    ControlHeader h = a->next_header({21, 25, MSG_JOINED});
    EXPECT_EQ(h.type, CONTROLLER_RUMBLE_MESSAGE);
    EXPECT_EQ(std::make_tuple(h.field0, h.field1, h.field2), std::make_tuple(3u, 200u, 100u)) << "a's own";
    h = b->next_header({21, 25, MSG_JOINED});
    EXPECT_EQ(h.type, CONTROLLER_RUMBLE_MESSAGE);
    EXPECT_EQ(std::make_tuple(h.field0, h.field1, h.field2), std::make_tuple(3u, 10u, 20u));
    EXPECT_GT(control_packets(1), before) << "control metrics refreshed";
    // A pad unplugged has no guest to rumble for.
    controller_reset(ctx->gamepads, controller_pad_key(1, 3), 1);
    EXPECT_FALSE(vdev_recorder_feedback(0, 1, 1));
}

// A rumble the driver began while the host ends reaches a host still whole:
// the host's end waits for it.
TEST_F(HostSession, RumbleOnItsWayWhenTheHostEnds) {
    start();
    ASSERT_NE(ctx->gamepads, nullptr);
    joined(1, true, 0, false, 77);
    ASSERT_EQ(controller_slot_get(ctx->gamepads, controller_pad_key(1, 3), 77), 0);
    vdev_recorder_hold("pad_feedback_call", true);
    std::thread game([] { EXPECT_TRUE(vdev_recorder_feedback(0, 200, 100)); });
    EXPECT_TRUE(vdev_recorder_wait_entered("pad_feedback_call", 1, 10000));
    std::atomic<bool> ended{false};
    std::thread end([&] {
        host_destroy(&ctx, 0);
        ended = true;
    });
    for (int i = 0; i < 2000 && !ended; i++)
        if (vdev_recorder_wait_entered("pad_feedback_wait", 1, 5)) break;
    EXPECT_FALSE(ended.load()) << "the host ended with a rumble on its way to it";
    vdev_recorder_hold("pad_feedback_call", false);
    game.join();
    end.join();
}

// Without a driver the virtual displays fail and the watchdog stops at once;
// displays the driver will not let go are reported when the last guest leaves.
TEST_F(HostSession, VirtualDisplaysWithoutDriverOrStuck) {
    HostTimes times{60000, 20};
    host_set_times(&times);
    cfg.virtual_monitors = 1;
    vdev_set_backend(&vdev_absent_backend);
    start();
    auto owner = joined(1, true);
    EXPECT_TRUE(logged("Failed to initialize virtual displays"));
    EXPECT_TRUE(eventually([] { return logged("Zarvek Virtual Display Adapter driver missing"); }));
    owner->send({0, 0, 0, MSG_DISCONNECT});
    ASSERT_TRUE(eventually([&] { return ctx->guest_count.load() == 0 && host_busy_slots(ctx) == 0; }));
    host_destroy(&ctx, 0);

    vdev_set_backend(&vdev_recording_backend);
    cfg.virtual_monitors = 2;
    vdev_recorder_fail("vdd_disconnect", 5);
    start();
    owner = joined(2, true);
    EXPECT_EQ(ctx->vdd, 1);
    owner->send({0, 0, 0, MSG_DISCONNECT});
    EXPECT_TRUE(eventually([] { return logged("Failed to clean up virtual displays"); }));
    EXPECT_TRUE(logged("'MM_Disconnect' failed with error 5"));
}

// An in-memory transport: a BUD link reserves tens of megabytes, too much
// for 65 guests in one test.
struct FakeLink {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Bytes> in;
    std::vector<uint8_t> sent_types;
    bool closed = false;

    static int32_t recv(void *c, uint8_t, void *buf, uint32_t cap, uint32_t *len, uint32_t timeout) {
        auto *f = static_cast<FakeLink *>(c);
        std::unique_lock<std::mutex> lock(f->mutex);
        if (!f->cv.wait_for(lock, std::chrono::milliseconds(timeout), [&] { return !f->in.empty(); }))
            return 2000;
        Bytes m = std::move(f->in.front());
        f->in.pop_front();
        if (m.size() > cap) return -12011;
        std::memcpy(buf, m.data(), m.size());
        *len = static_cast<uint32_t>(m.size());
        return 0;
    }
    static int32_t send(void *c, uint8_t stream, const void *prefix, uint8_t prefix_len, const void *data,
                        uint32_t, uint32_t) {
        auto *f = static_cast<FakeLink *>(c);
        std::lock_guard<std::mutex> lock(f->mutex);
        const uint8_t *header = static_cast<const uint8_t *>(prefix_len ? prefix : data);
        if (stream == 0 && header) f->sent_types.push_back(header[12]);
        return 0;
    }
    static void close(void *c) {
        auto *f = static_cast<FakeLink *>(c);
        std::lock_guard<std::mutex> lock(f->mutex);
        f->closed = true;
    }
    void put(ControlHeader h) {
        Bytes m(PROTO_HEADER_SIZE);
        proto_write_header(m.data(), h);
        std::lock_guard<std::mutex> lock(mutex);
        in.push_back(m);
        cv.notify_all();
    }
    bool is_closed() {
        std::lock_guard<std::mutex> lock(mutex);
        return closed;
    }
};

// 64 guests at once at most: the 65th is refused and its link closed; a
// slot that frees up takes the next one.
TEST_F(HostSession, SixtyFifthGuestIsRefused) {
    start();
    std::vector<std::unique_ptr<FakeLink>> links;
    auto accept = [&](uint32_t id) {
        FakeLink *f = links.emplace_back(std::make_unique<FakeLink>()).get();
        GuestInfo info{};
        info.id = id;
        host_on_accept(&info, proto_create(3, f, FakeLink::recv, FakeLink::send, FakeLink::close), ctx);
        return f;
    };
    for (uint32_t i = 1; i <= HOST_MAX_GUESTS; i++) accept(i);
    EXPECT_EQ(host_busy_slots(ctx), HOST_MAX_GUESTS);
    FakeLink *refused = accept(65);
    EXPECT_TRUE(refused->is_closed());
    EXPECT_TRUE(logged("Could not allocate new msg thread!"));
    links[0]->put({0, 0, 0, MSG_DISCONNECT});
    ASSERT_TRUE(
        eventually([&] { return host_busy_slots(ctx) == HOST_MAX_GUESTS - 1 && links[0]->is_closed(); }));
    FakeLink *late = accept(66);
    EXPECT_FALSE(late->is_closed());
    EXPECT_EQ(host_busy_slots(ctx), HOST_MAX_GUESTS);
    EXPECT_TRUE(links[0]->sent_types.empty());  // it left by itself: no goodbye
    host_destroy(&ctx, 0);
    for (size_t i = 1; i < links.size(); i++) {
        if (links[i].get() == refused) continue;
        EXPECT_EQ(links[i]->sent_types, std::vector<uint8_t>{MSG_DISCONNECT}) << i;
    }
}

// Join, leave, configuration changes, media and stop at once (run under TSan).
TEST_F(HostSession, ConcurrentJoinLeaveConfigAndStop) {
    start();
    auto units = encode_h264(64, 64, 1, 1);
    std::atomic<bool> done{false};
    std::thread media([&] {
        uint32_t fast = 0, slow = 0, cg = 0, largest = 0, f = 0;
        float rate = 0;
        while (!done.load()) {
            proto_video_write(ctx, units[0].bytes.data(), static_cast<uint32_t>(units[0].bytes.size()), &fast,
                              &slow, &cg, &rate, &largest, 64, 64, f++, 1.0f, 1, 0, 0, 1, 0, nullptr);
            host_send_audio(ctx, units[0].bytes.data(), 10, nullptr, 0, 960, f, 1.0f, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::thread config([&] {
        HostConfig c = cfg;
        while (!done.load()) {
            c.video[0].encoderMaxBitrate++;
            host_set_config(ctx, &c);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (uint32_t i = 0; i < 3; i++) joined(i + 1, i == 0);
    guests[1]->send({0, 0, 0, MSG_DISCONNECT});
    guests[2]->send({1, 1, 0, MSG_WANTS_VIDEO});
    ASSERT_TRUE(eventually([&] { return ctx->guest_count.load() == 2; }));
    done.store(true);
    media.join();
    config.join();
    auto late = connect(9);
    late->join();
    host_destroy(&ctx, 0);
}

}  // namespace
