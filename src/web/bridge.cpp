// Threads: the bridge is made and destroyed on any thread (the web view calls
// are carried to the app thread); events are sent from any thread, the
// store's deliveries included. `app` and `window` are fixed for the bridge's
// life; `sent` is an atomic count. g_registered names the bridge the store's
// callback points at; it changes only together with the callback, under
// g_register_mutex, so destroy clears the callback only while it is this
// bridge's, and clearing it waits out a delivery still running into it.
#include "web/bridge.h"

#include <atomic>
#include <mutex>

#include "platform/memory.h"
#include "platform/window.h"
#include "util/config.h"
#include "util/config_file.h"

struct WebViewBridge {
    VKO_App *app;
    int32_t window;
    std::atomic<uint32_t> sent{0};
};

namespace {

std::mutex g_register_mutex;
WebViewBridge *g_registered;  // under g_register_mutex

}  // namespace

WebViewBridge *webview_bridge_create(VKO_App *app, int32_t window, const char *data_folder, bool debug) {
    if (!app || !VKO_WebViewCreate(app, window, data_folder, debug)) return nullptr;
    auto *bridge = new WebViewBridge();
    bridge->app = app;
    bridge->window = window;
    std::lock_guard<std::mutex> g(g_register_mutex);
    config_set_change_callback(webview_config_changed, bridge);
    g_registered = bridge;
    return bridge;
}

void webview_bridge_destroy(WebViewBridge **bridge) {
    if (!bridge || !*bridge) return;
    WebViewBridge *b = *bridge;
    {
        std::lock_guard<std::mutex> g(g_register_mutex);
        if (g_registered == b) {
            // Returns once no delivery into the bridge runs any more.
            config_set_change_callback(nullptr, nullptr);
            g_registered = nullptr;
        }
    }
    VKO_WebViewDestroy(b->app, b->window);
    delete b;
    *bridge = nullptr;
}

bool webview_send_event(WebViewBridge *bridge, uint32_t unused, const char *event, VKO_JSON *holder) {
    (void)unused;
    if (!bridge || !event) return false;
    VKO_JSON *msg = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(msg, "protocol_version", VKO_JSONIntCreate(1));
    VKO_JSONObjSetItem(msg, "event", VKO_JSONStringCreate("zv_event"));
    VKO_JSONObjSetItem(msg, "request_id", VKO_JSONStringCreate(event));
    VKO_JSON *data = holder ? VKO_JSONObjGetItem(holder, "data") : nullptr;
    VKO_JSONObjSetItem(msg, "data", data ? VKO_JSONDuplicate(data) : VKO_JSONNullCreate());
    char *text = VKO_JSONSerialize(msg);
    VKO_JSONDestroy(&msg);
    if (text) {
        VKO_WebViewSendText(bridge->app, bridge->window, text);
        bridge->sent.fetch_add(1);
    }
    VKO_Free(text);
    return text != nullptr;
}

void webview_config_changed(ConfigNotice **notices, uint32_t count, void *ctx) {
    WebViewBridge *bridge = (WebViewBridge *)ctx;
    if (!notices || !count || !bridge) return;
    VKO_JSON *schema = config_schema_output_json();
    VKO_JSON *merged = config_layer_output_json(CONFIG_LAYER_MERGED, nullptr, nullptr, true);
    if (!schema || !merged) {
        VKO_JSONDestroy(&schema);
        VKO_JSONDestroy(&merged);
        return;
    }
    uint64_t iter = 0;
    const char *name = nullptr;
    while (VKO_JSONObjGetNextKey(schema, &iter, &name)) {
        VKO_JSON *entry = VKO_JSONObjGetItem(schema, name);
        VKO_JSON *m = VKO_JSONObjGetItem(merged, name);
        if (!entry || !m) continue;
        VKO_JSON *v = VKO_JSONObjGetItem(m, "value");
        VKO_JSON *s = VKO_JSONObjGetItem(m, "source");
        if (v) VKO_JSONObjSetItem(entry, "value", VKO_JSONDuplicate(v));
        if (s) VKO_JSONObjSetItem(entry, "source", VKO_JSONDuplicate(s));
    }
    VKO_JSON *holder = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(holder, "data", schema);
    webview_send_event(bridge, 0, "zarvek_config", holder);
    VKO_JSONDestroy(&holder);
    VKO_JSONDestroy(&merged);
}

uint32_t webview_bridge_sent(WebViewBridge *bridge) {
    return bridge ? bridge->sent.load() : 0;
}
