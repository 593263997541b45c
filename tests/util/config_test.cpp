// The configuration store: layers, merged view, setters, ranges, notices and
// the settings records.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/memory.h"
#include "support/log_capture.h"
#include "util/config.h"

namespace {

struct Seen {
    std::mutex mutex;
    std::vector<std::tuple<uint32_t, std::string, uint8_t>> notices;
    std::vector<uint32_t> counts;
    std::vector<std::thread::id> threads;
    int32_t read_back = 0;
    bool read_in_callback = false;
};

void on_change(ConfigNotice **notices, uint32_t count, void *ctx) {
    Seen *s = (Seen *)ctx;
    int32_t v = 0;
    if (s->read_in_callback)
        v = config_get_int(CONFIG_LAYER_MERGED, "encoder_bitrate", 0);  // must not deadlock
    std::lock_guard<std::mutex> g(s->mutex);
    s->read_back = v;
    s->counts.push_back(count);
    s->threads.push_back(std::this_thread::get_id());
    for (uint32_t i = 0; i < count; i++)
        s->notices.emplace_back(notices[i]->layer, notices[i]->key, notices[i]->stream);
}

std::string str(uint32_t layer, const char *key, uint32_t stream = 0) {
    char *t = config_get_string(layer, key, stream);
    std::string r = t ? t : "(null)";
    VKO_Free(t);
    return r;
}

uint32_t merged_layer(const char *key, uint32_t stream = 0) {
    config_lock_read();
    ConfigItem *it = config_lookup_item(CONFIG_LAYER_MERGED, key, stream, 0);
    uint32_t layer = CONFIG_LAYER_MERGED;
    config_get_item(it, &layer, stream);
    config_unlock();
    return layer;
}

class ConfigStore : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_TRUE(config_create()); }
    void TearDown() override { config_destroy(); }
    LogCapture log;
};

}  // namespace

TEST_F(ConfigStore, MergedViewTakesTheHighestSetLayerForEveryType) {
    // integer
    EXPECT_EQ(config_get_int(7, "client_resolution_x", 1), 0);
    EXPECT_EQ(merged_layer("client_resolution_x", 1), 0u);
    for (uint32_t l = 1; l <= 6; l++) {
        ASSERT_TRUE(config_set_int(l, "client_resolution_x", 1, 20 + (int)l)) << l;
        EXPECT_EQ(config_get_int(7, "client_resolution_x", 1), 20 + (int)l);
        EXPECT_EQ(merged_layer("client_resolution_x", 1), l);
    }
    for (uint32_t l = 6; l >= 2; l--) {
        ASSERT_TRUE(config_clear_value(l, "client_resolution_x", 1));
        EXPECT_EQ(config_get_int(7, "client_resolution_x", 1), 20 + (int)l - 1);
    }
    EXPECT_EQ(config_get_int(7, "client_resolution_x", 0), 0) << "other streams untouched";
    // boolean (default true), string (default "none" per stream)
    EXPECT_EQ(config_get_bool(7, "network_upnp", 0), 1);
    ASSERT_TRUE(config_set_bool(2, "network_upnp", 0, 0));
    EXPECT_EQ(config_get_bool(7, "network_upnp", 0), 0);
    ASSERT_TRUE(config_set_bool(5, "network_upnp", 0, 1));
    EXPECT_EQ(config_get_bool(7, "network_upnp", 0), 1);
    EXPECT_EQ(merged_layer("network_upnp"), 5u);
    EXPECT_EQ(config_get_bool(2, "network_upnp", 0), 1) << "the layer argument is not used";

    EXPECT_EQ(str(7, "host_output", 2), "none");
    ASSERT_TRUE(config_set_string(4, "host_output", 2, "HDMI-1"));
    ASSERT_TRUE(config_set_string(2, "host_output", 2, "DP-2"));
    EXPECT_EQ(str(7, "host_output", 2), "HDMI-1");
    EXPECT_EQ(str(7, "host_output", 1), "none");
    EXPECT_EQ(str(3, "session_id"), "") << "an unset layer reads as empty text";
    EXPECT_EQ(config_get_int(0, "client_overlay_button_y", 2), 80000000);
}

TEST_F(ConfigStore, UserLayerValueEqualToTheDefaultIsNotStored) {
    Seen seen;
    config_set_change_callback(on_change, &seen);
    ASSERT_TRUE(config_set_int(2, "encoder_bitrate", 0, 30));
    ASSERT_TRUE(config_set_int(2, "encoder_bitrate", 0, 10)) << "a change is still reported";
    EXPECT_EQ(merged_layer("encoder_bitrate"), 0u) << "the user layer holds nothing";
    ASSERT_TRUE(config_set_int(1, "encoder_bitrate", 0, 40));
    ASSERT_TRUE(config_set_int(2, "encoder_bitrate", 0, 50));
    ASSERT_TRUE(config_set_int(2, "encoder_bitrate", 0, 40));  // the lower default is now layer 1
    EXPECT_EQ(merged_layer("encoder_bitrate"), 1u);
    EXPECT_FALSE(config_set_int(1, "encoder_bitrate", 0, 40)) << "same value: no change";
    ASSERT_TRUE(config_set_string(2, "echo_app_selection", 0, "discord.exe"));
    EXPECT_EQ(merged_layer("echo_app_selection"), 0u);
    EXPECT_FALSE(config_set_int(0, "encoder_bitrate", 0, 3)) << "layer 0 is read only";
    EXPECT_FALSE(config_set_int(7, "encoder_bitrate", 0, 3)) << "the merged view is never stored";
    config_set_change_callback(nullptr, nullptr);
    EXPECT_EQ(seen.notices.size(), 6u);
}

TEST_F(ConfigStore, PerStreamKeysKeepThreeValues) {
    ASSERT_TRUE(config_set_int(2, "client_resolution_x", 2, 1920));
    EXPECT_EQ(config_get_int(7, "client_resolution_x", 0), 0);
    EXPECT_EQ(config_get_int(7, "client_resolution_x", 2), 1920);
    EXPECT_TRUE(config_set_resolution(2, 1, 800, 600, 0));
    EXPECT_EQ(config_get_int(7, "server_resolution_y", 1), 600);
    log.clear();
    EXPECT_EQ(config_get_int(7, "encoder_min_qp", 1), 0);
    EXPECT_FALSE(config_set_bool(2, "app_debug", 2, 1));
    EXPECT_EQ(config_get_int(7, "encoder_bitrate", 3), 0);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "CONFIG: A bad stream value '1' was provided for key 'encoder_min_qp'.",
                               "CONFIG: A bad stream value '2' was provided for key 'app_debug'.",
                               "CONFIG: A bad stream value '3' was provided.",
                           }));
}

TEST_F(ConfigStore, LaunchLinkLayerIsBarredForMostKeys) {
    log.clear();
    EXPECT_FALSE(config_set_bool(3, "app_debug", 0, 1));
    EXPECT_TRUE(log.contains("CONFIG: A bad config layer '3' was provided for key 'app_debug'."));
    log.clear();
    EXPECT_EQ(config_get_int(3, "encoder_bitrate", 0), 0);
    EXPECT_TRUE(log.contains("CONFIG: A bad config layer '3' was provided for key 'encoder_bitrate'."));
    EXPECT_EQ(config_get_int(7, "encoder_bitrate", 0), 10) << "the merged view is unaffected";

    EXPECT_TRUE(config_set_string(3, "peer_id", 0, "abc"));
    EXPECT_TRUE(config_set_int(3, "app_log_level", 0, -1));
    EXPECT_EQ(config_get_int(7, "app_log_level", 0), -1);
    EXPECT_TRUE(config_set_int(3, "client_resolution_y", 2, 720));
}

TEST_F(ConfigStore, RangesAndCharacterRules) {
    EXPECT_FALSE(config_set_int(2, "encoder_min_qp", 0, 115));
    EXPECT_TRUE(config_set_int(2, "encoder_min_qp", 0, 114));
    EXPECT_FALSE(config_set_int(2, "encoder_min_qp", 0, -1));
    EXPECT_TRUE(config_set_int(2, "client_renderer", 0, -1));
    EXPECT_FALSE(config_set_int(2, "client_renderer", 0, 6));
    EXPECT_TRUE(config_set_int(2, "client_audio_min_buffer_ms", 0, 2147483647));
    EXPECT_FALSE(config_set_int(2, "app_log_level", 0, -2));

    EXPECT_TRUE(config_set_string(2, "app_channel", 0, "beta_2-x"));
    EXPECT_FALSE(config_set_string(2, "app_channel", 0, "beta.2"));
    EXPECT_EQ(str(7, "app_channel"), "beta_2-x");
    EXPECT_TRUE(config_set_string(2, "ws_desc", 0, "any text. at all!"));

    // server range B narrows further; a server blacklist applies too
    config_lock_write();
    ConfigItem *it = config_lookup_item(2, "encoder_fps", 0, CONFIG_TYPE_INT);
    it->server_range[0].present = 1;
    it->server_range[0].minimum = 30;
    it->server_range[0].maximum = 60;
    ConfigItem *desc = config_lookup_item(2, "ws_desc", 0, CONFIG_TYPE_STRING);
    desc->server_range[0].present = 1;
    desc->server_range[0].is_whitelist = 0;
    desc->server_range[0].characters = VKO_Strdup("<>");
    config_unlock_notify();
    EXPECT_FALSE(config_set_int(2, "encoder_fps", 0, 120));
    EXPECT_TRUE(config_set_int(2, "encoder_fps", 0, 45));
    EXPECT_FALSE(config_set_string(2, "ws_desc", 0, "<b>"));
    EXPECT_TRUE(config_set_string(2, "ws_desc", 0, "b"));
}

TEST_F(ConfigStore, LookupMisuseIsLoggedInOrder) {
    log.clear();
    EXPECT_EQ(config_lookup_item(8, "encoder_fps", 0, 0), nullptr);
    EXPECT_EQ(config_lookup_item(1, "", 0, 0), nullptr);
    EXPECT_EQ(config_lookup_item(1, "no_such_key", 0, 0), nullptr);
    EXPECT_EQ(config_lookup_item(1, "encoder_fps", 0, CONFIG_TYPE_STRING), nullptr);
    EXPECT_EQ(config_get_item(nullptr, nullptr, 0), nullptr);
    std::vector<std::string> want = {
        "CONFIG: A bad config layer '8' was provided",
        "CONFIG: A bad key was provided",
        "CONFIG: A bad key 'no_such_key' was provided.",
        "CONFIG: A bad type '3' was used for key 'encoder_fps'.",
        "CONFIG: No setting was given to config_get_item()",
    };
    EXPECT_EQ(log.lines(), want);

    config_destroy();
    log.clear();
    EXPECT_EQ(config_get_int(7, "encoder_fps", 0), 0);
    EXPECT_EQ(str(7, "host_output"), "");
    EXPECT_TRUE(log.contains("CONFIG: Attempted to access the config before it was created"));
    EXPECT_FALSE(config_set_int(2, "encoder_fps", 0, 1));
    EXPECT_TRUE(log.contains("CONFIG: Attempted to access the config in a bad state (key 'encoder_fps')"));
}

TEST_F(ConfigStore, NoticesReachTheCallbackAfterUnlockFromAnotherThread) {
    Seen seen;
    seen.read_in_callback = true;
    config_set_change_callback(on_change, &seen);
    std::thread writer([] {
        config_set_int(2, "encoder_bitrate", 0, 33);
        config_set_int(2, "encoder_bitrate", 0, 33);  // unchanged: count 0, still called
        config_set_string(6, "host_output", 1, "X");
    });
    writer.join();
    config_set_change_callback(nullptr, nullptr);
    std::lock_guard<std::mutex> g(seen.mutex);
    EXPECT_EQ(seen.counts, (std::vector<uint32_t>{1, 0, 1}));
    EXPECT_EQ(seen.read_back, 33);
    EXPECT_NE(seen.threads[0], std::this_thread::get_id());
    using N = std::tuple<uint32_t, std::string, uint8_t>;
    EXPECT_EQ(seen.notices, (std::vector<N>{N{2, "encoder_bitrate", 0}, N{6, "host_output", 1}}));
}

TEST_F(ConfigStore, NoticesKeepFlowingAfterAFullQueue) {
    Seen seen;
    config_set_change_callback(on_change, &seen);
    config_lock_write();
    for (int i = 0; i < 400; i++) config_queue_change(1, "encoder_fps", 0);
    EXPECT_EQ(config_unlock_notify(), (uint32_t)CONFIG_NOTICE_SLOTS);
    EXPECT_TRUE(config_set_int(2, "encoder_fps", 0, 30));
    EXPECT_TRUE(config_set_int(2, "encoder_fps", 0, 31));
    config_set_change_callback(nullptr, nullptr);
    EXPECT_EQ(seen.counts, (std::vector<uint32_t>{363, 1, 1}));
}

// Clearing the callback waits for a delivery still running on another
// thread, so its context can be freed at once; a callback that clears the
// callback itself does not wait for itself.
TEST_F(ConfigStore, ClearingTheCallbackWaitsForARunningDelivery) {
    struct Gate {
        std::promise<void> entered, release;
        std::atomic<bool> finished{false};
    } gate;
    auto held = [](ConfigNotice **, uint32_t, void *ctx) {
        Gate *g = (Gate *)ctx;
        g->entered.set_value();
        g->release.get_future().wait();
        g->finished = true;
    };
    config_set_change_callback(held, &gate);
    std::thread writer([] { config_set_int(2, "encoder_fps", 0, 30); });
    gate.entered.get_future().wait();
    auto clearing = std::async(std::launch::async, [] { config_set_change_callback(nullptr, nullptr); });
    EXPECT_EQ(clearing.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    gate.release.set_value();
    clearing.get();
    EXPECT_TRUE(gate.finished);
    writer.join();

    int calls = 0;
    auto self_clearing = [](ConfigNotice **, uint32_t, void *ctx) {
        ++*(int *)ctx;
        config_set_change_callback(nullptr, nullptr);
    };
    config_set_change_callback(self_clearing, &calls);
    EXPECT_TRUE(config_set_int(2, "encoder_fps", 0, 31));
    EXPECT_TRUE(config_set_int(2, "encoder_fps", 0, 32));
    EXPECT_EQ(calls, 1);
}

TEST_F(ConfigStore, ClearingASettingSendsItsNotice) {
    Seen seen;
    ASSERT_TRUE(config_set_string(2, "host_name", 0, "box"));
    ASSERT_TRUE(config_set_string(4, "host_name", 0, "box4"));
    ASSERT_TRUE(config_set_int(5, "encoder_fps", 0, 30));
    config_set_change_callback(on_change, &seen);
    EXPECT_TRUE(config_set_string(2, "host_name", 0, ""));
    EXPECT_TRUE(config_reset_key("host_name", 0));
    EXPECT_TRUE(config_clear_value(5, "encoder_fps", 0));
    EXPECT_TRUE(config_clear_value(5, "encoder_fps", 0)) << "the slot exists, nothing to notice";
    config_set_change_callback(nullptr, nullptr);
    EXPECT_EQ(seen.counts, (std::vector<uint32_t>{1, 1, 1, 0}));
    EXPECT_EQ(std::get<0>(seen.notices[1]), 4u);
    EXPECT_EQ(str(7, "host_name"), "");

    seen.counts.clear();
    config_set_change_callback(on_change, &seen);
    ASSERT_TRUE(config_set_int(6, "encoder_min_qp", 2, 30) == false);  // single-stream key
    ASSERT_TRUE(config_set_int(6, "encoder_bitrate", 2, 30));
    ASSERT_TRUE(config_clear_layer(6));
    config_set_change_callback(nullptr, nullptr);
    EXPECT_EQ(seen.counts.back(), 1u);
}

TEST_F(ConfigStore, HostRecordDefaultsAndPrivacyBump) {
    HostConfig h;
    config_read_host(&h);
    for (int s = 0; s < 3; s++) {
        EXPECT_EQ(h.video[s].encoderMaxBitrate, 10);
        EXPECT_STREQ(h.video[s].output, "none");
    }
    // gamepad_mode .. exclusive_timeout and admin_mute .. virtual_monitor_fallback, in field order
    const int32_t ints[] = {2, 1, 5, 1, 2, 0, 1, 1, 20, 60, 768, 100, 31, 51, 2, 0, 1, 10, 128, 0, 1000};
    EXPECT_EQ(memcmp(&h.gamepad_mode, ints, sizeof(ints)), 0);
    const uint8_t flags[] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(memcmp(&h.admin_mute, flags, sizeof(flags)), 0);
    EXPECT_STREQ(h.echo_app, "discord.exe");

    ASSERT_TRUE(config_set_bool(2, "host_privacy_mode", 0, 1));
    config_read_host(&h);
    EXPECT_EQ(h.virtual_monitors, 1);

    ClientConfig c;
    config_read_client(nullptr, &c);
    EXPECT_EQ(c.stream[2].decoder_index, 1);
    EXPECT_EQ(c.stream[1].decoder_h265, 1);
    EXPECT_EQ(c.protocol, 1);
    EXPECT_EQ(c.audio_poll_rate, 10);

    ASSERT_TRUE(config_set_string(2, "ws_secret", 0, std::string(100, 's').c_str()));
    WsConfig w;
    config_read_ws(&w);
    EXPECT_EQ(strnlen(w.secret, sizeof(w.secret)), sizeof(w.secret) - 1) << "copies stay inside the field";
    ZarvekNetConfig n;
    config_read_network(&n);
    EXPECT_EQ(n.cg_level, 1u);
    EXPECT_STREQ(n.host_servers, CONFIG_DEFAULT_STUN_HOST);
}

TEST_F(ConfigStore, WritingTheHostRecordStoresOnlyWhatTheCallerChanged) {
    ASSERT_TRUE(config_set_int(6, "encoder_fps", 1, 30));        // enforced by the service
    ASSERT_TRUE(config_set_bool(5, "host_privacy_mode", 0, 1));  // from the registry
    ASSERT_TRUE(config_set_int(2, "encoder_slices", 0, 4));      // the user's own
    ASSERT_TRUE(config_set_int(2, "encoder_fps", 1, 45));        // the user's own, hidden by layer 6
    HostConfig h;
    config_read_host(&h);
    EXPECT_EQ(h.virtual_monitors, 1);
    ASSERT_TRUE(config_write_host(&h));
    config_lock_read();
    int set = 0;
    for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++)
        for (int s = 0; s < 3; s++) set += config_item_at(i)->slots[2][s].set;
    config_unlock();
    EXPECT_EQ(set, 2) << "only the user's own values stay in layer 2";
    EXPECT_EQ(config_get_int(2, "encoder_slices", 0), 4);
    EXPECT_EQ(config_get_int(2, "encoder_fps", 1), 45) << "not overwritten by the enforced value";

    h.video[2].encoderMaxBitrate = 50;
    snprintf(h.audio_id, sizeof(h.audio_id), "mic-7");
    ASSERT_TRUE(config_write_host(&h));
    EXPECT_EQ(config_get_int(2, "encoder_bitrate", 2), 50);
    EXPECT_EQ(str(2, "host_audio_id"), "mic-7");
    EXPECT_EQ(config_get_int(2, "host_virtual_monitors", 0), 0);
    EXPECT_EQ(merged_layer("host_privacy_mode"), 5u);
}

TEST_F(ConfigStore, ServiceAddresses) {
    auto take = [](char *t) {
        std::string r = t;
        VKO_Free(t);
        return r;
    };
    const std::string dflt = CONFIG_DEFAULT_DOMAIN, ws = CONFIG_WS_HOST_PREFIX;
    EXPECT_EQ(take(config_get_api_host()), CONFIG_API_HOST_PREFIX + dflt);
    ASSERT_TRUE(config_set_string(2, "app_environment", 0, config_service_domains[3]));
    EXPECT_EQ(take(config_get_api_host()), std::string(CONFIG_API_HOST_PREFIX) + config_service_domains[3]);
    EXPECT_EQ(take(config_get_ws_host()), ws + config_service_domains[3]);
    ASSERT_TRUE(config_set_string(2, "app_environment", 0, "elsewhere.example"));
    EXPECT_EQ(take(config_get_api_host()), CONFIG_API_HOST_PREFIX + dflt);

    std::string inside = std::string("edge.") + config_service_domains[1];
    ASSERT_TRUE(config_set_string(2, "ws_host", 0, inside.c_str()));
    EXPECT_EQ(take(config_get_ws_host()), inside);
    // a known domain in the middle, or without its leading dot, does not count
    std::string middle = std::string("a.") + config_service_domains[1] + ".evil.example";
    ASSERT_TRUE(config_set_string(2, "ws_host", 0, middle.c_str()));
    EXPECT_EQ(take(config_get_ws_host()), ws + dflt);
    ASSERT_TRUE(config_set_string(2, "ws_host", 0, config_service_domains[0]));
    EXPECT_EQ(take(config_get_ws_host()), ws + dflt);
}

TEST_F(ConfigStore, ReadersAndAWriterRunTogether) {
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; r++)
        readers.emplace_back([&] {
            while (!stop.load()) {
                int32_t v = config_get_int(7, "encoder_bitrate", 1);
                if (v < 10 || v > 110) bad++;
                char *t = config_get_string(7, "host_output", 1);
                if (!t) bad++;
                VKO_Free(t);
                HostConfig h;
                config_read_host(&h);
            }
        });
    for (int i = 0; i < 300; i++) {
        config_set_int(2, "encoder_bitrate", 1, 11 + i % 100);
        config_set_string(2, "host_output", 1, (i % 2) ? "A" : "");
    }
    stop = true;
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
}
