// Web view host: one embedded browser per window (WebKitGTK in a GtkPlug on
// the window), laid over the client area and hidden until shown. The page
// gets a text channel to the native side; its messages become callbacks.
// Everything here runs on the app thread; calls from other threads are
// carried there through the app's web hub (vko_webhub_*).
#pragma once

#include <cstdint>
#include <string>

struct VKO_App;
struct VKO_WebView;
struct VKO_WebHub;

struct VKO_WebViewCallbacks {
    void (*ready)(VKO_App *app, uint8_t window);
    void (*text)(VKO_App *app, uint8_t window, const char *text);
    void (*key)(VKO_App *app, uint8_t window, bool pressed, uint32_t key, uint32_t mods);
};

// NULL when the toolkit cannot start (nothing is logged). The control itself
// is made asynchronously by the main loop pumped in the run loop.
VKO_WebView *vko_webview_create(VKO_App *app, uint8_t window, const char *data_folder, bool debug,
                                const VKO_WebViewCallbacks *cb);
// Closes and releases the view, its plug and its context; the toolkit stays
// loaded.
void vko_webview_destroy(VKO_WebView **view);
void vko_webview_navigate(VKO_WebView *view, const char *source, bool is_url);
void vko_webview_send_text(VKO_WebView *view, const char *text);
void vko_webview_set_passthrough(VKO_WebView *view, bool enable);
void vko_webview_show(VKO_WebView *view, bool visible);
// Bounds become (0, 0, width, height) of the client area.
void vko_webview_resize(VKO_WebView *view, uint32_t width, uint32_t height);
// One page message (its first letter is its kind).
void vko_webview_message(VKO_WebView *view, const char *msg);
// Texts waiting for the page.
uint32_t vko_webview_pending(VKO_WebView *view);

// The app's hub: created on the app thread with the app, destroyed with it.
VKO_WebHub *vko_webhub_create(void);
void vko_webhub_destroy(VKO_WebHub **hub);
// Run-loop step: carried calls, window sizes, then the toolkit's main loop.
void vko_webview_pump(VKO_App *app);

// A call carried from another thread to the app thread.
struct VKO_WebCall {
    enum Kind { CREATE, DESTROY, NAVIGATE, SEND, PASSTHROUGH, SHOW } kind;
    int32_t window;
    std::string text;
    bool has_text, flag;
    bool wait, done, result;
};
// True on the app thread.
bool vko_webhub_here(VKO_App *app);
// Queues the call (taking it over unless it waits); a waiting call returns
// its result once the app thread ran it, false when the app went away.
bool vko_webhub_carry(VKO_App *app, VKO_WebCall *call);
// Runs a carried call on the app thread (webview_window.cpp).
bool vko_webcall_run(VKO_App *app, const VKO_WebCall *call);
