// The least of the web-view bridge that the configuration store and the logger
// call: made together with a window's web view, it hands every event to that
// view's page as it is sent and keeps none.
#pragma once

#include <cstdint>

#include "platform/json.h"

struct ConfigNotice;
struct VKO_App;
struct WebViewBridge;

// Creates the web view of the app's window (VKO_WebViewCreate) and registers
// webview_config_changed with the store, the bridge as its context. Null when
// the view cannot be made.
WebViewBridge *webview_bridge_create(VKO_App *app, int32_t window, const char *data_folder, bool debug);
// Clears the store's callback (waiting for a delivery still running into the
// bridge), destroys the web view and frees the bridge.
void webview_bridge_destroy(WebViewBridge **bridge);

// Sends {"protocol_version":1,"event":"zv_event","request_id":event,"data":...}
// with the "data" member of `holder` (not taken over) to the page. False
// without a bridge or event name.
bool webview_send_event(WebViewBridge *bridge, uint32_t unused, const char *event, VKO_JSON *holder);

// The store's change callback: sends the schema with each key's merged value
// and source as the event "zarvek_config".
void webview_config_changed(ConfigNotice **notices, uint32_t count, void *bridge);

// Events handed to the web view so far.
uint32_t webview_bridge_sent(WebViewBridge *bridge);
