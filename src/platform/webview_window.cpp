// Window-level web-view calls and the callbacks that turn what the page does
// into app events. App thread; a call from any other thread is carried there
// (create waits for its result, the others are queued in order).
#include <cstring>

#include "platform/app_internal.h"
#include "platform/map.h"
#include "platform/webview.h"
#include "platform/window.h"

namespace {

VKO_Event new_event(VKO_EventType type, uint8_t window) {
    VKO_Event ev;
    memset(&ev, 0, sizeof(ev));
    ev.type = type;
    ev.window = window;
    return ev;
}

void hand_over(VKO_App *app, VKO_Event *ev) {
    if (app->event_func) app->event_func(ev, app->opaque);
}

void on_ready(VKO_App *app, uint8_t window) {
    VKO_Event ev = new_event(VKO_EVENT_WEBVIEW_READY, window);
    hand_over(app, &ev);
}

void on_text(VKO_App *app, uint8_t window, const char *text) {
    VKO_Event ev = new_event(VKO_EVENT_WEBVIEW_TEXT, window);
    ev.webview_text = text;
    hand_over(app, &ev);
}

// One event per key: a mapped app-local hotkey turns the press into the
// hotkey and the release into an empty event.
void on_key(VKO_App *app, uint8_t window, bool pressed, uint32_t key, uint32_t mods) {
    VKO_Event ev = new_event(VKO_EVENT_WEBVIEW_KEY, window);
    ev.key.key = key;
    ev.key.mods = mods;
    ev.key.virtual_key = 0;
    ev.key.pressed = pressed;
    uint32_t id =
        (uint32_t)(uintptr_t)VKO_HashGetInt(app->local_hotkeys, (uint64_t)(mods & 0xFF) << 16 | key);
    if (id) {
        ev = new_event(pressed ? VKO_EVENT_WEBVIEW_HOTKEY : VKO_EVENT_NONE, window);
        if (pressed) ev.hotkey = id;
    }
    hand_over(app, &ev);
}

const VKO_WebViewCallbacks kCallbacks = {on_ready, on_text, on_key};

VKO_WebView *view_of(VKO_App *app, int32_t index) {
    VKO_WindowRec *w = app_window(app, index);
    return w ? (VKO_WebView *)w->webview : nullptr;
}

// False when the call must run on the app thread and was carried there.
bool here(VKO_App *app, VKO_WebCall::Kind kind, int32_t index, const char *text, bool flag) {
    if (vko_webhub_here(app)) return true;
    auto *c = new VKO_WebCall();
    c->kind = kind;
    c->window = index;
    c->has_text = text != nullptr;
    if (text) c->text = text;
    c->flag = flag;
    vko_webhub_carry(app, c);
    return false;
}

}  // namespace

bool VKO_WebViewCreate(VKO_App *app, int32_t index, const char *data_folder, bool debug) {
    if (!app) return false;
    if (!vko_webhub_here(app)) {
        VKO_WebCall c;
        c.kind = VKO_WebCall::CREATE;
        c.window = index;
        c.has_text = data_folder != nullptr;
        if (data_folder) c.text = data_folder;
        c.flag = debug;
        c.wait = true;
        c.done = c.result = false;
        return vko_webhub_carry(app, &c);
    }
    VKO_WindowRec *w = app_window(app, index);
    if (!w || w->webview) return false;
    w->webview = vko_webview_create(app, (uint8_t)index, data_folder, debug, &kCallbacks);
    return w->webview != nullptr;
}

void VKO_WebViewDestroy(VKO_App *app, int32_t index) {
    if (!app || !here(app, VKO_WebCall::DESTROY, index, nullptr, false)) return;
    VKO_WindowRec *w = app_window(app, index);
    if (!w || !w->webview) return;
    auto *wv = (VKO_WebView *)w->webview;
    w->webview = nullptr;
    vko_webview_destroy(&wv);
}

void VKO_WebViewNavigate(VKO_App *app, int32_t index, const char *source, bool is_url) {
    if (!app || !source || !here(app, VKO_WebCall::NAVIGATE, index, source, is_url)) return;
    vko_webview_navigate(view_of(app, index), source, is_url);
}

void VKO_WebViewSendText(VKO_App *app, int32_t index, const char *text) {
    if (!app || !text || !here(app, VKO_WebCall::SEND, index, text, false)) return;
    vko_webview_send_text(view_of(app, index), text);
}

void VKO_WebViewSetInputPassthrough(VKO_App *app, int32_t index, bool enable) {
    if (!app || !here(app, VKO_WebCall::PASSTHROUGH, index, nullptr, enable)) return;
    vko_webview_set_passthrough(view_of(app, index), enable);
}

void VKO_WebViewShow(VKO_App *app, int32_t index, bool show) {
    if (!app || !here(app, VKO_WebCall::SHOW, index, nullptr, show)) return;
    vko_webview_show(view_of(app, index), show);
}

bool vko_webcall_run(VKO_App *app, const VKO_WebCall *c) {
    const char *text = c->has_text ? c->text.c_str() : nullptr;
    switch (c->kind) {
        case VKO_WebCall::CREATE:
            return VKO_WebViewCreate(app, c->window, text, c->flag);
        case VKO_WebCall::DESTROY:
            VKO_WebViewDestroy(app, c->window);
            break;
        case VKO_WebCall::NAVIGATE:
            VKO_WebViewNavigate(app, c->window, text, c->flag);
            break;
        case VKO_WebCall::SEND:
            VKO_WebViewSendText(app, c->window, text);
            break;
        case VKO_WebCall::PASSTHROUGH:
            VKO_WebViewSetInputPassthrough(app, c->window, c->flag);
            break;
        case VKO_WebCall::SHOW:
            VKO_WebViewShow(app, c->window, c->flag);
            break;
    }
    return true;
}
