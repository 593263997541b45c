// The web-view event sink: configuration change events carry the schema with
// each key's merged value and source.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/json.h"
#include "platform/memory.h"
#include "util/config.h"
#include "web/bridge.h"

TEST(WebViewBridge, ConfigChangesBecomeOneEvent) {
    ASSERT_TRUE(config_create());
    WebViewBridge *bridge = webview_bridge_create();
    webview_bridge_attach_config(bridge);
    ASSERT_TRUE(config_set_int(6, "encoder_bitrate", 1, 44));
    config_set_int(6, "encoder_bitrate", 1, 44);  // nothing changed: no event
    webview_bridge_detach_config(bridge);
    ASSERT_EQ(webview_bridge_message_count(bridge), 1u);

    char *text = webview_bridge_message(bridge, 0);
    VKO_JSON *msg = VKO_JSONParse(text);
    VKO_Free(text);
    ASSERT_NE(msg, nullptr);
    EXPECT_STREQ(VKO_JSONGetString(VKO_JSONObjGetItem(msg, "request_id")), "zarvek_config");
    VKO_JSON *entry = VKO_JSONObjGetItem(VKO_JSONObjGetItem(msg, "data"), "encoder_bitrate_1");
    ASSERT_NE(entry, nullptr);
    int32_t v = 0;
    ASSERT_TRUE(VKO_JSONToInt(VKO_JSONObjGetItem(entry, "value"), &v));
    EXPECT_EQ(v, 44);
    ASSERT_TRUE(VKO_JSONToInt(VKO_JSONObjGetItem(entry, "source"), &v));
    EXPECT_EQ(v, 6);
    ASSERT_TRUE(VKO_JSONToInt(VKO_JSONObjGetItem(entry, "default"), &v));
    EXPECT_EQ(v, 10);
    VKO_JSONDestroy(&msg);

    webview_config_changed(nullptr, 3, bridge);
    EXPECT_EQ(webview_bridge_message_count(bridge), 1u);
    EXPECT_FALSE(webview_send_event(nullptr, 0, "x", nullptr));
    webview_bridge_destroy(&bridge);
    EXPECT_EQ(bridge, nullptr);
    config_destroy();
}

// Bridges come and go while another thread keeps changing settings: none is
// freed under a delivery still running into it.
TEST(WebViewBridge, DestroyedWhileSettingsChange) {
    ASSERT_TRUE(config_create());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int32_t v = 0; !stop; v++) config_set_int(6, "encoder_bitrate", 0, 20 + v % 2);
    });
    for (int i = 0; i < 40; i++) {
        WebViewBridge *bridge = webview_bridge_create();
        webview_bridge_attach_config(bridge);
        while (webview_bridge_message_count(bridge) == 0) std::this_thread::yield();
        webview_bridge_destroy(&bridge);
    }
    stop = true;
    writer.join();
    config_destroy();
}
