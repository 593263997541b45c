// The least client session against a host end driven by hand over a real BUD
// link: configuration messages out, every host message into its callback,
// video through the sink and decoded by libavcodec, tablet, flags and end.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "client/client.h"
#include "platform/memory.h"
#include "support/bud_pair.h"
#include "support/encoded_streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Seen {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<std::string> events;
    std::vector<Bytes> video;

    void add(const std::string &e) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(e);
        cond.notify_all();
    }
    bool wait_count(size_t events_n, size_t video_n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, std::chrono::seconds(10),
                             [&] { return events.size() >= events_n && video.size() >= video_n; });
    }
};

Seen *seen(void *o) {
    return static_cast<Seen *>(o);
}

const ClientCallbacks kCallbacks = {
    [](const ClientCursor *c, const uint8_t *image, void *o) {
        seen(o)->add("cursor " + std::to_string(c->width) + "x" + std::to_string(c->height) + " at " +
                     std::to_string(c->x) + "," + std::to_string(c->y) + " image " +
                     (image ? std::string(reinterpret_cast<const char *>(image), c->size) : "-"));
    },
    [](uint32_t pad, uint8_t low, uint8_t high, void *o) {
        seen(o)->add("rumble " + std::to_string(pad) + " " + std::to_string(low) + " " +
                     std::to_string(high));
    },
    [](uint32_t v1, const uint8_t *bytes, uint32_t size, uint32_t v2, void *o) {
        seen(o)->add("payload " + std::to_string(v1) + " " +
                     std::string(reinterpret_cast<const char *>(bytes), size) + " " + std::to_string(v2));
    },
    [](uint8_t stream, uint32_t value, void *o) {
        seen(o)->add("status " + std::to_string(stream) + " " + std::to_string(static_cast<int32_t>(value)));
    },
    [](uint32_t id, char *text, void *o) {
        seen(o)->add("user " + std::to_string(id) + " " + text);
        VKO_Free(text);
    },
    [](bool flag, void *o) { seen(o)->add(std::string("flag ") + (flag ? "1" : "0")); },
    [](int32_t code, void *o) { seen(o)->add("end " + std::to_string(code)); },
};

void send_raw(BUD *host, const Bytes &m) {
    ASSERT_EQ(send_all(host, 0, m), 0);
}

Bytes header(ControlHeader h, const std::string &rest = "") {
    Bytes m(PROTO_HEADER_SIZE);
    proto_write_header(m.data(), h);
    m.insert(m.end(), rest.begin(), rest.end());
    return m;
}

Bytes cursor(uint32_t size, uint16_t flags, const std::string &image) {
    Bytes m = header({0, 0, 0, 9}, std::string(3, '\0'));
    const uint16_t fields[] = {32, 24, 100, 200, 1, 2, flags};
    for (int k = 3; k >= 0; k--) m.push_back(static_cast<uint8_t>(size >> (8 * k)));
    for (uint16_t f : fields) {
        m.push_back(static_cast<uint8_t>(f >> 8));
        m.push_back(static_cast<uint8_t>(f));
    }
    m.insert(m.end(), image.begin(), image.end());
    return m;
}

TEST(Client, SessionAgainstHandDrivenHost) {
    BudPair pair;
    ASSERT_TRUE(pair.open(false));
    Seen s;
    client_set_media_sink(
        [](uint8_t stream, const uint8_t *data, uint32_t size, void *o) {
            if (stream != 1) return;
            std::lock_guard<std::mutex> lock(seen(o)->mutex);
            seen(o)->video.emplace_back(data, data + size);
            seen(o)->cond.notify_all();
        },
        &s);
    ClientConfig cfg{};
    proto_client_config_defaults(&cfg);
    cfg.video_container = 2;
    TransportRecord *t = proto_create(TRANSPORT_BUD, pair.client, bud_recv, bud_send, nullptr);
    ClientContext *c = nullptr;
    ASSERT_EQ(client_create(t, &cfg, &kCallbacks, &s, &c), 0);

    for (int i = 0; i < 3; i++) {
        Bytes m = recv_one(pair.host, 0, PROTO_RECV_BUFFER);
        ClientConfig got;
        uint32_t w, h, flags;
        uint8_t cache;
        ASSERT_GT(proto_parse_client_config(m.data(), m.size(), &got, &w, &h, &flags, &cache), 0u);
        EXPECT_EQ(got.video_container, 2);
        EXPECT_EQ(cache, 1);
    }

    send_raw(pair.host, cursor(3, 0x2, "PNG"));
    send_raw(pair.host, cursor(99, 0x2, "PNG"));  // announces more than it carries: dropped
    send_raw(pair.host, cursor(5, 0x0, ""));
    send_raw(pair.host, header({1, 0, 0, 16}));
    std::string text("hi there", 9);
    send_raw(pair.host, header({static_cast<uint32_t>(text.size()), 5, 0, MSG_USER_DATA}, text));
    send_raw(pair.host, header({2, 10, 20, 20}));
    send_raw(pair.host, header({1, 0, static_cast<uint32_t>(-14003), MSG_STREAM_STATUS}));
    send_raw(pair.host, header({3, 1, 3, 33}, "xyz"));
    send_raw(pair.host, header({3, 0, 0, 99}, "abc"));  // unknown type: ignored
    auto units = encode_h264(128, 64, 8, 4);
    for (const auto &u : units) ASSERT_EQ(send_all(pair.host, 1, u.bytes), 0);

    ASSERT_TRUE(s.wait_count(7, units.size()));
    const std::vector<std::string> want = {
        "cursor 32x24 at 100,200 image PNG",
        "cursor 32x24 at 100,200 image -",
        "flag 1",
        "user 5 hi there",
        "rumble 2 10 20",
        "status 1 -14003",
        "payload 1 xyz 3",
    };
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        EXPECT_EQ(s.events, want);
        EXPECT_EQ(decode_buffers(s.video, false).frames, static_cast<int>(units.size()));
    }

    Bytes report(PROTO_TABLET_REPORT_SIZE, 0x33);
    EXPECT_EQ(client_send_tablet_report(c, 1, 0, 0x056A, 0x0357, report.data()), 0);
    Bytes m = recv_one(pair.host, 0, PROTO_RECV_BUFFER);
    ControlHeader h = proto_read_header(m.data());
    EXPECT_EQ(m.size(), 13u + PROTO_TABLET_REPORT_SIZE);
    const ControlHeader want_header = {PROTO_TABLET_REPORT_SIZE, 0x100, 0x056A0357, MSG_TABLET_REPORT};
    EXPECT_EQ(std::memcmp(&h, &want_header, 13), 0);

    uint8_t stored[2] = {};
    EXPECT_EQ(client_set_flags(stored, c, true, true), 0);
    EXPECT_EQ(stored[0] + stored[1], 2);
    m = recv_one(pair.host, 0, PROTO_RECV_BUFFER);
    EXPECT_EQ(proto_read_header(m.data()).field0, 3u);

    StreamMetrics metrics{};
    client_get_metrics(c->transport, 0, 1, &metrics);
    EXPECT_GE(metrics.packetsSent, 5u);

    send_raw(pair.host, header({7, 0, 0, MSG_DISCONNECT}));
    ASSERT_TRUE(s.wait_count(8, 0));
    EXPECT_EQ(s.events.back(), "end 7");
    EXPECT_TRUE(c->host_ended.load());
    EXPECT_EQ(c->end_code.load(), 7);
    client_destroy(&c);
    EXPECT_EQ(c, nullptr);
    client_set_media_sink(nullptr, nullptr);
}

}  // namespace
