#include "web/bridge.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "util/config.h"
#include "util/config_file.h"

struct WebViewBridge {
    std::mutex mutex;
    std::vector<std::string> messages;
    std::atomic<bool> attached{false};  // the store's change callback points here
};

WebViewBridge *webview_bridge_create(void) {
    return new WebViewBridge();
}

void webview_bridge_destroy(WebViewBridge **bridge) {
    if (!bridge || !*bridge) return;
    // Waits for a change delivery still running on another thread
    if ((*bridge)->attached) webview_bridge_detach_config(*bridge);
    delete *bridge;
    *bridge = nullptr;
}

void webview_bridge_attach_config(WebViewBridge *bridge) {
    if (!bridge) return;
    config_set_change_callback(webview_config_changed, bridge);
    bridge->attached = true;
}

void webview_bridge_detach_config(WebViewBridge *bridge) {
    if (bridge) bridge->attached = false;
    config_set_change_callback(nullptr, nullptr);
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
    {
        std::lock_guard<std::mutex> g(bridge->mutex);
        bridge->messages.emplace_back(text ? text : "");
    }
    VKO_Free(text);
    return true;
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

uint32_t webview_bridge_message_count(WebViewBridge *bridge) {
    if (!bridge) return 0;
    std::lock_guard<std::mutex> g(bridge->mutex);
    return (uint32_t)bridge->messages.size();
}

char *webview_bridge_message(WebViewBridge *bridge, uint32_t index) {
    if (!bridge) return nullptr;
    std::lock_guard<std::mutex> g(bridge->mutex);
    if (index >= bridge->messages.size()) return nullptr;
    return VKO_Strdup(bridge->messages[index].c_str());
}
