// The web-view bridge with a real web view (WebKitGTK under the test's Xvfb):
// made with its view, it hands each event to the page at once (the page
// echoes what it gets); log lines and configuration changes carry the schema with each
// key's merged value and source; once destroyed, its view is gone and the
// store's changes reach nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "platform/app.h"
#include "platform/json.h"
#include "platform/memory.h"
#include "platform/window.h"
#include "support/temp_dir.h"
#include "support/web_env.h"
#include "support/xvfb.h"
#include "util/config.h"
#include "util/logger.h"
#include "web/bridge.h"

extern "C" const char *__lsan_default_suppressions() {
    return kWebKitLeakSuppressions;
}

namespace {

// An app that keeps the texts its pages send.
class PageApp : public PumpedApp {
   public:
    PageApp() {
        on_event = [this](const VKO_Event *e) {
            if (e->type == VKO_EVENT_WEBVIEW_TEXT) texts.emplace_back(e->webview_text ? e->webview_text : "");
            if (e->type == VKO_EVENT_WEBVIEW_READY) ready = true;
        };
    }
    // The events the page echoed, parsed (caller destroys).
    std::vector<VKO_JSON *> echoed() const {
        std::vector<VKO_JSON *> out;
        for (const std::string &t : texts)
            if (t.rfind("echo:", 0) == 0) out.push_back(VKO_JSONParse(t.c_str() + 5));
        return out;
    }
    size_t echoes() const {
        size_t n = 0;
        for (const std::string &t : texts) n += t.rfind("echo:", 0) == 0;
        return n;
    }

    std::vector<std::string> texts;
    bool ready = false;
};

const char kEchoPage[] = R"(<html><body><script>
VKO_NativeListener = function(s) { VKO_NativeSendText('echo:' + s); };
VKO_NativeSendText('loaded');
</script></body></html>)";

int32_t int_of(VKO_JSON *j) {
    int32_t v = -1;
    VKO_JSONToInt(j, &v);
    return v;
}

}  // namespace

TEST(WebViewBridge, EventsReachThePageAndNothingOnceDestroyed) {
    ASSERT_TRUE(web_env());
    ASSERT_TRUE(config_create());
    PageApp h;
    ASSERT_NE(h.app, nullptr);
    VKO_Frame f = {0, 400, 300, "", 100, 100};
    ASSERT_EQ(VKO_WindowCreate(h.app, "web", &f, 0), 0);
    WebViewBridge *bridge = webview_bridge_create(h.app, 0, env_dir().file("web").c_str(), false);
    ASSERT_NE(bridge, nullptr);
    EXPECT_FALSE(VKO_WebViewCreate(h.app, 0, nullptr, false));  // the bridge made the window's view
    VKO_WebViewNavigate(h.app, 0, kEchoPage, false);
    ASSERT_TRUE(h.pump_until([&] { return h.ready; }));

    ASSERT_TRUE(config_set_int(6, "encoder_bitrate", 1, 44));
    config_set_int(6, "encoder_bitrate", 1, 44);  // nothing changed: no event
    VKO_JSON *data = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(data, "msg", VKO_JSONStringCreate("a line"));
    VKO_JSON *holder = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(holder, "data", data);
    EXPECT_TRUE(webview_send_event(bridge, 0, "zarvek_log", holder));
    VKO_JSONDestroy(&holder);
    ASSERT_TRUE(h.pump_until([&] { return h.echoes() >= 2; }));
    EXPECT_EQ(webview_bridge_sent(bridge), 2u);

    std::vector<VKO_JSON *> got = h.echoed();
    ASSERT_EQ(got.size(), 2u);
    ASSERT_NE(got[0], nullptr);
    ASSERT_NE(got[1], nullptr);
    EXPECT_EQ(int_of(VKO_JSONObjGetItem(got[0], "protocol_version")), 1);
    EXPECT_STREQ(VKO_JSONGetString(VKO_JSONObjGetItem(got[0], "event")), "zv_event");
    EXPECT_STREQ(VKO_JSONGetString(VKO_JSONObjGetItem(got[0], "request_id")), "zarvek_config");
    VKO_JSON *entry = VKO_JSONObjGetItem(VKO_JSONObjGetItem(got[0], "data"), "encoder_bitrate_1");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(int_of(VKO_JSONObjGetItem(entry, "value")), 44);
    EXPECT_EQ(int_of(VKO_JSONObjGetItem(entry, "source")), 6);
    EXPECT_EQ(int_of(VKO_JSONObjGetItem(entry, "default")), 10);
    EXPECT_STREQ(VKO_JSONGetString(VKO_JSONObjGetItem(got[1], "request_id")), "zarvek_log");
    EXPECT_STREQ(VKO_JSONGetString(VKO_JSONObjGetItem(VKO_JSONObjGetItem(got[1], "data"), "msg")), "a line");
    for (VKO_JSON *&j : got) VKO_JSONDestroy(&j);

    // A log line, as the logger sends it while the web interface is on.
    AppContext app_ctx = {};
    app_ctx.web_ui = 1;
    app_ctx.bridge = bridge;
    log_write(0, "to the page", &app_ctx);
    ASSERT_TRUE(h.pump_until([&] { return h.echoes() >= 3; }));
    std::regex want(
        std::string("echo:\\{\"event\":\"zv_event\",\"request_id\":\"zarvek_log\",\"data\":") +
        "\\{\"msg\":\"to the page\",\"time\":\"[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}" +
        "\",\"level\":0\\},\"protocol_version\":1\\}");
    EXPECT_TRUE(std::regex_match(h.texts.back(), want)) << h.texts.back();

    webview_config_changed(nullptr, 3, bridge);
    EXPECT_EQ(webview_bridge_sent(bridge), 3u);
    EXPECT_FALSE(webview_send_event(nullptr, 0, "x", nullptr));
    EXPECT_EQ(webview_bridge_create(h.app, 5, nullptr, false), nullptr);  // no such window

    webview_bridge_destroy(&bridge);
    EXPECT_EQ(bridge, nullptr);
    ASSERT_TRUE(config_set_int(6, "encoder_bitrate", 1, 45));  // the store's callback is cleared
    EXPECT_TRUE(VKO_WebViewCreate(h.app, 0, nullptr, false));  // the bridge's view is gone
    VKO_WebViewDestroy(h.app, 0);
    config_destroy();
}

// Bridges come and go while another thread keeps changing settings: none is
// freed under a delivery still running into it.
TEST(WebViewBridge, DestroyedWhileSettingsChange) {
    ASSERT_TRUE(web_env());
    ASSERT_TRUE(config_create());
    PageApp h;
    ASSERT_NE(h.app, nullptr);
    VKO_Frame f = {0, 400, 300, "", 100, 100};
    ASSERT_EQ(VKO_WindowCreate(h.app, "web", &f, 0), 0);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int32_t v = 0; !stop; v++) {
            config_set_int(6, "encoder_bitrate", 0, 20 + v % 2);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int i = 0; i < 40; i++) {
        WebViewBridge *bridge = webview_bridge_create(h.app, 0, env_dir().file("web").c_str(), false);
        ASSERT_NE(bridge, nullptr);
        EXPECT_TRUE(h.pump_until([&] { return webview_bridge_sent(bridge) > 0; }));
        webview_bridge_destroy(&bridge);
    }
    stop = true;
    writer.join();
    config_destroy();
}
