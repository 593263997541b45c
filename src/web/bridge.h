// The least of the web-view bridge that the configuration store and the logger
// call: an event sink that records every page message, so it can be read back.
#pragma once

#include <cstdint>

#include "platform/json.h"

struct ConfigNotice;
struct WebViewBridge;

WebViewBridge *webview_bridge_create(void);
// Detaches an attached bridge first, so no change delivery runs into it.
void webview_bridge_destroy(WebViewBridge **bridge);

// Registers webview_config_changed with the store (and clears it again).
void webview_bridge_attach_config(WebViewBridge *bridge);
void webview_bridge_detach_config(WebViewBridge *bridge);

// Sends {"protocol_version":1,"event":"zv_event","request_id":event,"data":...}
// with the "data" member of `holder` (not taken over). False without a bridge.
bool webview_send_event(WebViewBridge *bridge, uint32_t unused, const char *event, VKO_JSON *holder);

// The store's change callback: sends the schema with each key's merged value
// and source as the event "zarvek_config".
void webview_config_changed(ConfigNotice **notices, uint32_t count, void *bridge);

// Messages sent so far (compact JSON texts), oldest first.
uint32_t webview_bridge_message_count(WebViewBridge *bridge);
char *webview_bridge_message(WebViewBridge *bridge, uint32_t index);  // new heap text or null
