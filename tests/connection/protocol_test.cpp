// Control messages over a real BUD link on loopback in both directions, the
// JSON records they carry, the audio prefix and container paths, and the
// pacing figures read from BUD's windows.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "connection/mp4.h"
#include "connection/protocol.h"
#include "platform/json.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "support/bud_pair.h"
#include "util/config_records.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes message(ControlHeader h, const std::string &payload = "") {
    Bytes m(PROTO_HEADER_SIZE);
    proto_write_header(m.data(), h);
    m.insert(m.end(), payload.begin(), payload.end());
    return m;
}

// The next control message's "type field0 field1 field2 size".
std::string next_header(BUD *link) {
    Bytes m = recv_one(link, 0, PROTO_RECV_BUFFER);
    if (m.size() < PROTO_HEADER_SIZE) return "short";
    ControlHeader h = proto_read_header(m.data());
    return std::to_string(h.type) + " " + std::to_string(h.field0) + " " + std::to_string(h.field1) + " " +
           std::to_string(h.field2) + " " + std::to_string(m.size());
}

// Records over both ends of a BUD pair; BudPair closes the links.
struct Link {
    BudPair pair;
    TransportRecord *host = nullptr, *client = nullptr;
    bool open(bool relay = false) {
        if (!pair.open(relay)) return false;
        host = proto_create(TRANSPORT_BUD, pair.host, bud_recv, bud_send, nullptr);
        client = proto_create(TRANSPORT_BUD, pair.client, bud_recv, bud_send, nullptr);
        return true;
    }
    ~Link() {
        // Nothing left unacknowledged by then, or the peer is gone: both return at once.
        proto_destroy(&host);
        proto_destroy(&client);
    }
};

TEST(Protocol, ParseMessageTable) {
    const struct {
        const char *name;
        Bytes m;
        uint32_t capacity, result;
    } cases[] = {
        {"12 bytes", Bytes(12, 0), 100, 0},
        {"header only", message({0, 7, 8, 10}), 100, 13},
        {"payload", message({3, 0, 0, 17}, "abc"), 100, 16},
        {"payload beyond capacity", message({3, 0, 0, 17}, "abc"), 2, 0},
        {"truncated payload", message({4, 0, 0, 17}, "abc"), 100, 0},
        {"huge length", message({0xFFFFFFFF, 0, 0, 17}, "abc"), 0xFFFFFFFF, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        char out[8] = {};
        EXPECT_EQ(proto_parse_message(c.m.data(), static_cast<uint32_t>(c.m.size()), out, c.capacity),
                  c.result);
        EXPECT_EQ(std::string(out), c.result > 13 ? "abc" : "");
    }
    Bytes pad = message({7, 0, 0, MSG_GAMEPAD_STATE}, std::string(3, '\0'));
    for (uint8_t b : {0x10, 0x01, 0x80, 0x00, 0x7F, 0xFF, 0x00, 0x02, 0xFF, 0xFE, 200, 9}) pad.push_back(b);
    const GamepadState want = {7, 0x1001, -32768, 32767, 2, -2, 200, 9}, zero{};
    GamepadState g = proto_parse_gamepad_state(nullptr, pad.data(), 28);
    EXPECT_EQ(std::memcmp(&g, &want, sizeof g), 0);
    for (uint32_t len : {27u, 29u}) {
        g = proto_parse_gamepad_state(nullptr, pad.data(), len);
        EXPECT_EQ(std::memcmp(&g, &zero, sizeof g), 0);
    }
}

// What the host reads from a type-11 payload, as "result max_w,max_h,flags,cache
// res_x,res_y container raw decoder,poll,protocol".
std::string parse_config(const std::string &payload) {
    Bytes m = message({static_cast<uint32_t>(payload.size()), 0, 0, MSG_CLIENT_CONFIG}, payload);
    ClientConfig c;
    std::memset(&c, 0xAB, sizeof c);
    uint32_t w = 0, h = 0, flags = 0;
    uint8_t cache = 0;
    uint32_t r =
        proto_parse_client_config(m.data(), static_cast<uint32_t>(m.size()), &c, &w, &h, &flags, &cache);
    char out[128];
    std::snprintf(out, sizeof out, "%u %u,%u,%u,%u %d,%d %d %u %d,%d,%d", r, w, h, flags, cache,
                  c.stream[0].resolution_x, c.stream[0].resolution_y, c.video_container, c.raw_audio,
                  c.stream[2].decoder_index, c.audio_poll_rate, c.protocol);
    return out;
}

TEST(Protocol, ClientConfigRecord) {
    ClientConfig sent;
    proto_client_config_defaults(&sent);
    sent.stream[1].resolution_x = 2560;
    sent.stream[1].resolution_y = 1440;
    sent.video_container = 2;
    sent.raw_audio = 1;
    char *json = proto_client_config_to_json(&sent, 1, 3840, 2160, 5);
    std::string round_trip = std::to_string(13 + std::strlen(json)) + " 3840,2160,5,1 2560,1440 2 1 1,10,1";
    EXPECT_EQ(parse_config(json), round_trip);
    VKO_Free(json);
    // Failures still reset the record to its defaults and keep what was read.
    EXPECT_EQ(parse_config(R"({"_version":1,"_max_w":640,"_max_h":480,"resolutionX":9})"),
              "0 640,480,0,0 0,0 0 0 1,10,1");
    EXPECT_EQ(parse_config("{"), "0 0,0,0,0 0,0 0 0 1,10,1");
    EXPECT_EQ(parse_config(std::string(6000, ' ')), "0 0,0,0,0 0,0 0 0 1,10,1");  // beyond 5120 bytes
}

TEST(Protocol, GuestListRecord) {
    GuestInfo g[2];
    std::memset(g, 0, sizeof g);
    g[0].id = 4;
    g[0].keyboard = g[0].owner = 1;
    g[0].video[2] = {10, 2, 3, 4, 99, 1.5f, 2.5f, 3.25f, 12.5f};
    g[0].audio.packetsSent = 8;
    g[0].state = GUEST_STATE_WAITING;
    std::strcpy(g[1].name, "0123456789012345678901234567890");  // 31 characters
    char *text = proto_guest_to_json(g, 2);
    GuestInfo *back = nullptr;
    ASSERT_EQ(proto_guests_from_json(text, &back), 2u);
    g[0].video[2].queued = 0;  // neither queued nor state travels
    g[0].state = 0;
    EXPECT_EQ(std::memcmp(back, g, sizeof g), 0);
    EXPECT_NE(std::string(text).find("\"externalID\":\"\""), std::string::npos);
    VKO_Free(back);
    VKO_Free(text);

    const std::string m = R"({"packetsSent":1,"fastRTs":2,"slowRTs":3,"encodeLatency":1,"decodeLatency":2,)"
                          R"("networkLatency":3,"bitrate":4})";
    auto guest = [](const std::string &name, const std::string &perms, const std::string &rest) {
        return R"([{"id":1,"userID":2,"name":")" + name + R"(","owner":false,"perms":)" + perms + "," + rest +
               "}]";
    };
    const std::string p = R"({"gamepad":true,"keyboard":false,"mouse":1})";
    const struct {
        const char *name;
        std::string text;
        uint32_t count;
    } cases[] = {
        {"version 1: one metrics object", guest("n", p, R"("_version":1,"metrics":)" + m), 1},
        {"cgEvents optional", guest("n", p, R"("_version":2,"metrics":[)" + m + "]"), 1},
        {"metrics missing", guest("n", p, R"("_version":2)"), 0},
        {"metric member missing", guest("n", p, R"("_version":2,"metrics":[{"packetsSent":1}])"), 0},
        {"name too long", guest(std::string(32, 'x'), p, R"("_version":2,"metrics":[])"), 0},
        {"perms member missing", guest("n", R"({"gamepad":1})", R"("_version":2,"metrics":[])"), 0},
        {"not an array", "{}", 0},
        {"broken text", "[{", 0},
    };
    for (const auto &c : cases) {
        GuestInfo *out = reinterpret_cast<GuestInfo *>(1);
        EXPECT_EQ(proto_guests_from_json(c.text.c_str(), &out), c.count) << c.name;
        EXPECT_EQ(out ? out[0].video[0].slowRTs : 0u, c.count * 3) << c.name;
        VKO_Free(out);
    }
}

TEST(Protocol, ControlMessagesOverBud) {
    Link link;
    ASSERT_TRUE(link.open());
    std::string text = "hello host";
    ASSERT_EQ(proto_send_message(link.client, MSG_USER_DATA, 42, 0, text.c_str(), text.size() + 1), 0);
    ASSERT_EQ(proto_send_flags(link.client, false, true), 0);
    std::string big(PROTO_USER_DATA_MAX, 'x');  // with its NUL one byte over
    EXPECT_EQ(proto_send_message(link.client, MSG_USER_DATA, 1, 0, big.c_str(), big.size() + 1), -12011);
    big.back() = '\0';  // exactly the limit travels, and fits the receiver's buffer
    ASSERT_EQ(proto_send_message(link.client, MSG_USER_DATA, 2, 0, big.c_str(), PROTO_USER_DATA_MAX), 0);
    ASSERT_EQ(proto_send_disconnect(link.host, 9), 0);

    EXPECT_EQ(link.client->streams[0].messages, 3u);
    EXPECT_EQ(link.client->streams[0].bits, 8 * (text.size() + 1) + 104 + 8 * PROTO_USER_DATA_MAX);

    EXPECT_EQ(next_header(link.pair.host), "17 11 42 0 24");
    EXPECT_EQ(next_header(link.pair.host), "35 2 0 0 13");
    EXPECT_EQ(next_header(link.pair.host), "17 1048576 2 0 " + std::to_string(PROTO_RECV_BUFFER));
    EXPECT_EQ(next_header(link.pair.client), "10 9 0 0 13");
}

TEST(Protocol, AudioPrefixAndContainer) {
    Link link;
    ASSERT_TRUE(link.open());
    Bytes packet = {1, 2, 3, 4, 5};
    ASSERT_EQ(proto_audio_write(link.host, packet.data(), 5, 0, PROTO_CODEC_OPUS, 960), 0);
    Bytes m = recv_one(link.pair.client, 2);
    Bytes want = {0, 0, 0, 0, 0xC0, 0x03, 0, 0, 0x80, 0xBB, 0, 0, 1, 2, 2, 1, 2, 3, 4, 5};
    EXPECT_EQ(m, want);
    for (int i = 0; i < 2; i++) ASSERT_EQ(proto_audio_write(link.host, packet.data(), 5, 2, 1, 240), 0);
    m = recv_one(link.pair.client, 2);
    EXPECT_EQ(m.size(), MP4_AUDIO_INIT_SIZE + 108 + 5);
    EXPECT_EQ(std::string(m.begin() + 4, m.begin() + 8), "ftyp");
    m = recv_one(link.pair.client, 2);
    EXPECT_EQ(m.size(), 108u + 5);
    EXPECT_EQ(std::string(m.begin() + 4, m.begin() + 8), "moof");
    EXPECT_EQ(link.host->streams[2].messages, 3u);
    Bytes huge(MP4_AUDIO_BUFFER, 0);
    EXPECT_EQ(proto_audio_write(link.host, huge.data(), huge.size(), 2, 1, 960), MP4_ERR_TOO_LARGE);
    EXPECT_EQ(link.host->streams[2].messages, 3u);
}

TEST(Protocol, QueuedMessagesAndRate) {
    Link link;
    ASSERT_TRUE(link.open());
    Bytes big(3000, 7);  // three fragments
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(proto_send_message(link.client, 31, 0, 0, big.data(), big.size()), 0);
    ASSERT_TRUE(eventually([&] { return proto_stream_queued(link.host, 0) == 3; }));
    recv_one(link.pair.host, 0);
    EXPECT_EQ(proto_stream_queued(link.host, 0), 2);
    TransportRecord other{};
    EXPECT_EQ(proto_stream_queued(&other, 0), 0);

    link.client->streams[0].messages = 60;
    link.client->streams[0].mbit_per_s = 1.5f;
    EXPECT_EQ(proto_stream_mbps(link.client, 0), 1.5f);  // fewer than 61: the last value
    link.client->streams[0].messages = 61;
    link.client->streams[0].bits = 4000000;
    link.client->streams[0].sample_time = static_cast<uint64_t>(VKO_GetTime() - 2000000000);  // 2 s ago
    EXPECT_NEAR(proto_stream_mbps(link.client, 0), 2.0f, 0.1f);
    EXPECT_EQ(link.client->streams[0].messages, 0u);
}

// The control stream's rate is sampled while other threads send control
// messages: its counters are shared with them (a race the thread sanitizer
// reports, and lost counts otherwise).
TEST(Protocol, ControlRateSampledWhileOthersSend) {
    Link link;
    ASSERT_TRUE(link.open());
    std::atomic<bool> done{false};
    std::vector<std::thread> senders;
    for (int t = 0; t < 2; t++)
        senders.emplace_back([&] {
            Bytes payload(40, 1);
            for (int i = 0; i < 400; i++)
                proto_send_message(link.client, 31, 0, 0, payload.data(), payload.size());
        });
    std::thread sampler([&] {
        while (!done) {
            proto_stream_mbps(link.client, 0);
            StreamMetrics m{};
            proto_stream_metrics(link.client, 0, 1, &m);
        }
    });
    for (auto &t : senders) t.join();
    done = true;
    sampler.join();
}

// Nothing the host sends is acknowledged: in-flight fragments pile up.
TEST(Protocol, SaturationAndTeardown) {
    Link link;
    ASSERT_TRUE(link.open(true));
    RelayRules drop_all;
    drop_all.loss = 1.0;
    link.pair.relay->set_rules(LossyRelay::BtoA, drop_all);
    bud_set_bitrate_limits(link.pair.host, 1, 25.0f, 2.0f, 1);
    Bytes one(100, 1);
    for (int i = 0; i < 2400; i++) ASSERT_EQ(send_all(link.pair.host, 1, one), 0);
    EXPECT_EQ(stream_stats(link.pair.host, 1).in_flight, 2400u);
    EXPECT_FALSE(proto_stream_saturated(link.host, 1, 101 * BUD_FRAGMENT_SIZE - 1));
    EXPECT_TRUE(proto_stream_saturated(link.host, 1, 101 * BUD_FRAGMENT_SIZE));
    bud_set_bitrate_limits(link.pair.host, 1, 30.0f, 2.0f, 1);  // limit 4000
    EXPECT_FALSE(proto_stream_saturated(link.host, 1, 1600 * BUD_FRAGMENT_SIZE));

    // The peer has been silent for 5 s: teardown does not wait for acks.
    bud_advance_clock(link.pair.host, 5000);
    int64_t start = VKO_GetTime();
    proto_destroy(&link.host);
    EXPECT_LT(VKO_TimeDiff(start, VKO_GetTime()), 1000.0);
    EXPECT_EQ(link.host, nullptr);
}

}  // namespace
