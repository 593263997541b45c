// Web view host on WebKitGTK 4.1 (GTK 3). The view sits in a GtkPlug whose
// X window is a child of the app window; we play the embedder ourselves
// (map, size and focus of the plug) because the app window is no GtkSocket.
//
// Threads. GTK is started once per process, on the first app thread that
// creates a view, and is only ever used there. Each app has a hub through
// which other threads reach the view calls:
//   hub->thread   the app thread (set at creation, never changed);
//   hub->calls    carried calls in arrival order; producers append under
//                 hub->mu, the app thread takes them under hub->mu and runs
//                 them without it;
//   hub->closed   set under hub->mu when the app goes away: no call is taken
//                 afterwards, and waiting creators get false.
// A carried call that wants a result (create) waits on hub->cv until the app
// thread set call->done under hub->mu. Everything else (records, GTK objects)
// belongs to the app thread alone.
#include "platform/webview.h"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <gtk/gtkx.h>
#include <pthread.h>
#include <webkit2/webkit2.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/app_internal.h"
#include "platform/json.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "platform/x11/error_trap.h"

namespace {

constexpr uint32_t kPendingSlots = 50;

struct KeyEntry {
    const char *code;
    uint32_t value;
};

// Page key code -> key code of the app; the low 16 bits are the code.
const KeyEntry kKeys[] = {
    {"Escape", 0x10001},
    {"F1", 0x1003B},
    {"F2", 0x1003C},
    {"F3", 0x1003D},
    {"F4", 0x1003E},
    {"F5", 0x1003F},
    {"F6", 0x10040},
    {"F7", 0x10041},
    {"F8", 0x10042},
    {"F9", 0x10043},
    {"F10", 0x10044},
    {"F11", 0x10057},
    {"F12", 0x10058},
    {"Backquote", 0x10029},
    {"Digit1", 0x10002},
    {"Digit2", 0x10003},
    {"Digit3", 0x10004},
    {"Digit4", 0x10005},
    {"Digit5", 0x10006},
    {"Digit6", 0x10007},
    {"Digit7", 0x10008},
    {"Digit8", 0x10009},
    {"Digit9", 0x1000A},
    {"Digit0", 0x1000B},
    {"Minus", 0x1000C},
    {"Equal", 0x1000D},
    {"Backspace", 0x1000E},
    {"Tab", 0x1000F},
    {"KeyQ", 0x10010},
    {"KeyW", 0x10011},
    {"KeyE", 0x10012},
    {"KeyR", 0x10013},
    {"KeyT", 0x10014},
    {"KeyY", 0x10015},
    {"KeyU", 0x10016},
    {"KeyI", 0x10017},
    {"KeyO", 0x10018},
    {"KeyP", 0x10019},
    {"BracketLeft", 0x1001A},
    {"BracketRight", 0x1001B},
    {"Backslash", 0x1002B},
    {"CapsLock", 0x1003A},
    {"KeyA", 0x1001E},
    {"KeyS", 0x1001F},
    {"KeyD", 0x10020},
    {"KeyF", 0x10021},
    {"KeyG", 0x10022},
    {"KeyH", 0x10023},
    {"KeyJ", 0x10024},
    {"KeyK", 0x10025},
    {"KeyL", 0x10026},
    {"Semicolon", 0x10027},
    {"Quote", 0x10028},
    {"Enter", 0x1001C},
    {"ShiftLeft", 0x1002A},
    {"KeyZ", 0x1002C},
    {"KeyX", 0x1002D},
    {"KeyC", 0x1002E},
    {"KeyV", 0x1002F},
    {"KeyB", 0x10030},
    {"KeyN", 0x10031},
    {"KeyM", 0x10032},
    {"Comma", 0x10033},
    {"Period", 0x10034},
    {"Slash", 0x10035},
    {"ShiftRight", 0x10036},
    {"ControlLeft", 0x1001D},
    {"MetaLeft", 0x1015B},
    {"AltLeft", 0x10038},
    {"Space", 0x10039},
    {"AltRight", 0x10138},
    {"MetaRight", 0x1015C},
    {"ContextMenu", 0x1015D},
    {"ControlRight", 0x1011D},
    {"PrintScreen", 0x10137},
    {"ScrollLock", 0x10046},
    {"Pause", 0x10045},
    {"Insert", 0x10152},
    {"Home", 0x10147},
    {"PageUp", 0x10149},
    {"Delete", 0x10153},
    {"End", 0x1014F},
    {"PageDown", 0x10151},
    {"ArrowUp", 0x10148},
    {"ArrowLeft", 0x1014B},
    {"ArrowDown", 0x10150},
    {"ArrowRight", 0x1014D},
    {"NumLock", 0x10145},
    {"NumpadDivide", 0x10135},
    {"NumpadMultiply", 0x10037},
    {"NumpadSubtract", 0x1004A},
    {"Numpad7", 0x10047},
    {"Numpad8", 0x10048},
    {"Numpad9", 0x10049},
    {"NumpadAdd", 0x1004E},
    {"Numpad4", 0x1004B},
    {"Numpad5", 0x1004C},
    {"Numpad6", 0x1004D},
    {"Numpad1", 0x1004F},
    {"Numpad2", 0x10050},
    {"Numpad3", 0x10051},
    {"NumpadEnter", 0x1011C},
    {"Numpad0", 0x10052},
    {"NumpadDecimal", 0x10053},
    {"IntlBackslash", 0x10056},
    {"IntlYen", 0x1007D},
    {"IntlRo", 0x10073},
    {"NonConvert", 0x1007B},
    {"Convert", 0x10079},
    {"Hiragana", 0x10070},
    {"AltGraph", 0x138},
    {"Lang2", 0x7B},
    {"Lang1", 0x79},
    {"KanaMode", 0x70},
    {"Zenkaku", 0x29},
};
static_assert(sizeof(kKeys) / sizeof(kKeys[0]) == 115);

// Runs at the start of every document of the top frame.
const char kPageScript[] =
    "window.__VKO_MSGS = [];"
    "window.__vko_dispatch = function(d) {"
    "  if (window.VKO_NativeListener) {"
    "    while (window.__VKO_MSGS.length) window.VKO_NativeListener(window.__VKO_MSGS.shift());"
    "    window.VKO_NativeListener(d);"
    "  } else {"
    "    window.__VKO_MSGS.push(d);"
    "  }"
    "};"
    "window.VKO_NativeSendText = function(text) {"
    "  window.webkit.messageHandlers.vko.postMessage('T' + text);"
    "};"
    "window.webkit.messageHandlers.vko.postMessage('R');"
    "window.__VKO_INTERVAL = setInterval(function() {"
    "  if (window.VKO_NativeListener) {"
    "    while (window.__VKO_MSGS.length) window.VKO_NativeListener(window.__VKO_MSGS.shift());"
    "    clearInterval(window.__VKO_INTERVAL);"
    "  }"
    "}, 100);"
    "window.__vko_key_to_json = function(evt) {"
    "  var mods = 0;"
    "  if (evt.shiftKey) mods |= 0x01;"
    "  if (evt.ctrlKey) mods |= 0x02;"
    "  if (evt.altKey) mods |= 0x04;"
    "  if (evt.metaKey) mods |= 0x08;"
    "  if (evt.getModifierState('CapsLock')) mods |= 0x10;"
    "  if (evt.getModifierState('NumLock')) mods |= 0x20;"
    "  window.webkit.messageHandlers.vko.postMessage((evt.type == 'keydown' ? 'D' : 'U') +"
    "    JSON.stringify({'code':evt.code,'mods':mods}));"
    "};"
    "document.addEventListener('keydown', window.__vko_key_to_json);"
    "document.addEventListener('keyup', window.__vko_key_to_json);";

// GTK: started once, on one thread.
std::mutex g_gtk_mu;
bool g_gtk_tried, g_gtk_ok;
pthread_t g_gtk_thread;

bool gtk_here() {
    std::lock_guard<std::mutex> lock(g_gtk_mu);
    return g_gtk_ok && pthread_equal(g_gtk_thread, pthread_self());
}

bool gtk_start() {
    std::lock_guard<std::mutex> lock(g_gtk_mu);
    if (!g_gtk_tried) {
        g_gtk_tried = true;
        g_gtk_thread = pthread_self();
        gdk_set_allowed_backends("x11");
        g_gtk_ok = gtk_init_check(nullptr, nullptr);
        // GTK installed its X error handlers over ours: ours serve every
        // other connection, GTK's its own.
        x11_reclaim_error_handlers(g_gtk_ok ? gdk_x11_display_get_xdisplay(gdk_display_get_default())
                                            : nullptr);
    }
    return g_gtk_ok && pthread_equal(g_gtk_thread, pthread_self());
}

Display *gdk_xdisplay() {
    return gdk_x11_display_get_xdisplay(gdk_display_get_default());
}

void xembed_send(Display *dpy, Window to, long msg, long detail, long d1, long d2) {
    XEvent e;
    memset(&e, 0, sizeof(e));
    e.xclient.type = ClientMessage;
    e.xclient.window = to;
    e.xclient.message_type = XInternAtom(dpy, "_XEMBED", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = CurrentTime;
    e.xclient.data.l[1] = msg;
    e.xclient.data.l[2] = detail;
    e.xclient.data.l[3] = d1;
    e.xclient.data.l[4] = d2;
    XSendEvent(dpy, to, False, NoEventMask, &e);
}

constexpr long kEmbeddedNotify = 0, kWindowActivate = 1, kFocusIn = 4;

// Text as a JavaScript string literal.
std::string js_string(const char *s) {
    std::string out = "\"";
    for (const unsigned char *p = (const unsigned char *)s; *p; p++) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char b[8];
            snprintf(b, sizeof(b), "\\u%04x", c);
            out += b;
        } else if (c == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) {
            out += p[2] == 0xA8 ? "\\u2028" : "\\u2029";
            p += 2;
        } else {
            out += (char)c;
        }
    }
    out += '"';
    return out;
}

}  // namespace

struct VKO_WebView {
    VKO_App *app;
    uint8_t window;
    VKO_Hash *keys;
    VKO_WebViewCallbacks cb;
    VKO_Queue *pending;  // UTF-16 copies of texts sent before "R"
    std::string folder;
    char16_t *pending_source;
    bool pending_is_url;
    bool debug, passthrough, ready, visible;
    uint32_t width, height;

    guint idle;  // the next creation step, 0 when none is due
    WebKitWebContext *context;
    WebKitUserContentManager *content;
    GtkWidget *plug;
    WebKitWebView *view;  // set once the control exists
    Window plug_xid;
};

namespace {

void free_text(void *p) {
    VKO_Free(p);
}

void post_to_page(VKO_WebView *wv, const char *text) {
    std::string js = "window.__vko_dispatch && window.__vko_dispatch(" + js_string(text) + ");";
    webkit_web_view_evaluate_javascript(wv->view, js.c_str(), (gssize)js.size(), nullptr, nullptr, nullptr,
                                        nullptr, nullptr);
}

void load_source(VKO_WebView *wv, const char16_t *source, bool is_url) {
    char *utf8 = VKO_WideToMultiAlloc(source);
    if (!utf8) return;
    if (is_url)
        webkit_web_view_load_uri(wv->view, utf8);
    else
        webkit_web_view_load_html(wv->view, utf8, nullptr);
    VKO_Free(utf8);
}

void on_script_message(WebKitUserContentManager *, WebKitJavascriptResult *result, gpointer data) {
    auto *wv = (VKO_WebView *)data;
    JSCValue *v = webkit_javascript_result_get_js_value(result);
    if (!v || !jsc_value_is_string(v)) return;
    char *text = jsc_value_to_string(v);
    if (!text) return;
    vko_webview_message(wv, text);
    g_free(text);
}

gboolean on_context_menu(WebKitWebView *, WebKitContextMenu *, GdkEvent *, WebKitHitTestResult *,
                         gpointer data) {
    return !((VKO_WebView *)data)->debug;  // TRUE keeps the menu away
}

void place_plug(VKO_WebView *wv) {
    if (!wv->plug_xid) return;
    Display *dpy = gdk_xdisplay();
    GdkDisplay *gd = gdk_display_get_default();
    gdk_x11_display_error_trap_push(gd);
    XMoveResizeWindow(dpy, wv->plug_xid, 0, 0, wv->width ? wv->width : 1, wv->height ? wv->height : 1);
    if (wv->visible) {
        XMapWindow(dpy, wv->plug_xid);
    } else {
        XUnmapWindow(dpy, wv->plug_xid);
    }
    XFlush(dpy);
    gdk_x11_display_error_trap_pop_ignored(gd);
}

// The control exists: hidden, transparent, settings and script in place,
// then the pending navigation.
gboolean controller_created(gpointer data) {
    auto *wv = (VKO_WebView *)data;
    wv->idle = 0;
    VKO_WindowRec *w = app_window(wv->app, wv->window);
    if (!w) return G_SOURCE_REMOVE;

    wv->content = webkit_user_content_manager_new();
    g_signal_connect(wv->content, "script-message-received::vko", G_CALLBACK(on_script_message), wv);
    webkit_user_content_manager_register_script_message_handler(wv->content, "vko");
    WebKitUserScript *script =
        webkit_user_script_new(kPageScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(wv->content, script);
    webkit_user_script_unref(script);

    WebKitSettings *settings = webkit_settings_new();
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    webkit_settings_set_enable_developer_extras(settings, wv->debug);
    webkit_settings_set_enable_webgl(settings, FALSE);

    wv->view =
        WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", wv->context, "user-content-manager",
                                     wv->content, "settings", settings, nullptr));
    g_object_unref(settings);
    g_signal_connect(wv->view, "context-menu", G_CALLBACK(on_context_menu), wv);
    GdkRGBA clear = {0, 0, 0, 0};
    webkit_web_view_set_background_color(wv->view, &clear);

    wv->plug = gtk_plug_new((Window)w->xid);
    gtk_container_add(GTK_CONTAINER(wv->plug), GTK_WIDGET(wv->view));
    gtk_widget_show_all(wv->plug);
    wv->plug_xid = gtk_plug_get_id(GTK_PLUG(wv->plug));
    wv->width = (uint32_t)(w->geom.w > 0 ? w->geom.w : 0);
    wv->height = (uint32_t)(w->geom.h > 0 ? w->geom.h : 0);
    Display *dpy = gdk_xdisplay();
    GdkDisplay *gd = gdk_display_get_default();
    gdk_x11_display_error_trap_push(gd);
    xembed_send(dpy, wv->plug_xid, kEmbeddedNotify, 0, (long)w->xid, 0);
    gdk_x11_display_error_trap_pop_ignored(gd);
    place_plug(wv);
    if (wv->visible) vko_webview_show(wv, true);

    if (wv->pending_source) {
        load_source(wv, wv->pending_source, wv->pending_is_url);
        VKO_Free(wv->pending_source);
        wv->pending_source = nullptr;
    }
    return G_SOURCE_REMOVE;
}

// The environment: a context whose data and cache live in the data folder.
gboolean environment_created(gpointer data) {
    auto *wv = (VKO_WebView *)data;
    std::error_code ec;
    std::filesystem::create_directories(wv->folder, ec);
    WebKitWebsiteDataManager *mgr = webkit_website_data_manager_new(
        "base-data-directory", wv->folder.c_str(), "base-cache-directory", wv->folder.c_str(), nullptr);
    wv->context = webkit_web_context_new_with_website_data_manager(mgr);
    g_object_unref(mgr);
    wv->idle = g_idle_add(controller_created, wv);
    return G_SOURCE_REMOVE;
}

}  // namespace

VKO_WebView *vko_webview_create(VKO_App *app, uint8_t window, const char *data_folder, bool debug,
                                const VKO_WebViewCallbacks *cb) {
    if (!app || !cb || !gtk_start()) return nullptr;
    auto *wv = new VKO_WebView();
    wv->app = app;
    wv->window = window;
    wv->debug = debug;
    wv->cb = *cb;
    wv->keys = VKO_HashCreate(250);
    for (const KeyEntry &k : kKeys) VKO_HashSet(wv->keys, k.code, (void *)(uintptr_t)k.value);
    wv->pending = VKO_QueueCreate(kPendingSlots, sizeof(void *));
    wv->folder = data_folder && data_folder[0] ? data_folder : "webview-data";
    wv->idle = g_idle_add(environment_created, wv);
    return wv;
}

void vko_webview_destroy(VKO_WebView **pwv) {
    if (!pwv || !*pwv) return;
    VKO_WebView *wv = *pwv;
    *pwv = nullptr;
    if (wv->idle) g_source_remove(wv->idle);
    if (wv->content) {
        g_signal_handlers_disconnect_by_data(wv->content, wv);
        webkit_user_content_manager_unregister_script_message_handler(wv->content, "vko");
    }
    if (wv->view) {
        g_signal_handlers_disconnect_by_data(wv->view, wv);
        webkit_web_view_try_close(wv->view);
    }
    // The plug goes first and the server has seen it go before the app
    // window may be destroyed: GDK must never find its window gone.
    if (wv->plug) {
        gtk_widget_destroy(wv->plug);
        XSync(gdk_xdisplay(), False);
    }
    if (wv->content) g_object_unref(wv->content);
    if (wv->context) g_object_unref(wv->context);
    VKO_QueueFlush(wv->pending, free_text);
    VKO_QueueDestroy(&wv->pending);
    VKO_HashDestroy(&wv->keys, nullptr);
    VKO_Free(wv->pending_source);
    delete wv;
}

void vko_webview_navigate(VKO_WebView *wv, const char *source, bool is_url) {
    if (!wv || !source) return;
    char16_t *wide = VKO_MultiToWideAlloc(source);
    if (!wide) return;
    if (!wv->view) {
        VKO_Free(wv->pending_source);
        wv->pending_source = wide;
        wv->pending_is_url = is_url;
        return;
    }
    load_source(wv, wide, is_url);
    VKO_Free(wide);
}

void vko_webview_send_text(VKO_WebView *wv, const char *text) {
    if (!wv || !text) return;
    if (!g_utf8_validate(text, -1, nullptr)) return;  // the page takes only text
    if (wv->ready) {
        post_to_page(wv, text);
        return;
    }
    char16_t *copy = VKO_MultiToWideAlloc(text);
    if (copy && !VKO_QueuePushPtr(wv->pending, copy, 0)) VKO_Free(copy);  // full: dropped
}

void vko_webview_set_passthrough(VKO_WebView *wv, bool enable) {
    if (wv) wv->passthrough = enable;
}

void vko_webview_show(VKO_WebView *wv, bool visible) {
    if (!wv) return;
    wv->visible = visible;
    if (!wv->view) return;
    place_plug(wv);
    if (!visible) return;
    Display *dpy = gdk_xdisplay();
    GdkDisplay *gd = gdk_display_get_default();
    gdk_x11_display_error_trap_push(gd);
    xembed_send(dpy, wv->plug_xid, kWindowActivate, 0, 0, 0);
    xembed_send(dpy, wv->plug_xid, kFocusIn, 0, 0, 0);
    XSetInputFocus(dpy, wv->plug_xid, RevertToParent, CurrentTime);
    XFlush(dpy);
    gdk_x11_display_error_trap_pop_ignored(gd);
    gtk_widget_grab_focus(GTK_WIDGET(wv->view));
}

void vko_webview_resize(VKO_WebView *wv, uint32_t width, uint32_t height) {
    if (!wv) return;
    if (width == wv->width && height == wv->height) return;
    wv->width = width;
    wv->height = height;
    if (wv->view) place_plug(wv);
}

uint32_t vko_webview_pending(VKO_WebView *wv) {
    return wv ? VKO_QueueGetLength(wv->pending) : 0;
}

void vko_webview_message(VKO_WebView *wv, const char *msg) {
    if (!wv || !msg) return;
    switch (msg[0]) {
        case 'R': {
            wv->ready = true;
            void *p = nullptr;
            uint64_t size = 0;
            while (VKO_QueuePopPtr(wv->pending, 0, &p, &size)) {
                char *utf8 = VKO_WideToMultiAlloc((const char16_t *)p);
                if (utf8 && wv->view) post_to_page(wv, utf8);
                VKO_Free(utf8);
                VKO_Free(p);
            }
            if (wv->cb.ready) wv->cb.ready(wv->app, wv->window);
            break;
        }
        case 'T':
            if (wv->cb.text) wv->cb.text(wv->app, wv->window, msg + 1);
            break;
        case 'D':
        case 'U': {
            if (!wv->passthrough) break;
            VKO_JSON *json = VKO_JSONParse(msg + 1);
            if (!json) break;
            const char *code = VKO_JSONGetString(VKO_JSONObjGetItem(json, "code"));
            int32_t mods = 0;
            bool have_mods = VKO_JSONToInt(VKO_JSONObjGetItem(json, "mods"), &mods);
            uint32_t key = code && have_mods ? (uint32_t)(uintptr_t)VKO_HashGet(wv->keys, code) & 0xFFFF : 0;
            VKO_JSONDestroy(&json);
            if (!key) break;
            uint32_t m = 0;
            if (mods & 0x01) m |= 0x001;
            if (mods & 0x02) m |= 0x004;
            if (mods & 0x04) m |= 0x010;
            if (mods & 0x08) m |= 0x040;
            if (mods & 0x10) m |= 0x100;
            if (mods & 0x20) m |= 0x200;
            if (wv->cb.key) wv->cb.key(wv->app, wv->window, msg[0] == 'D', key, m);
            break;
        }
        default:
            break;
    }
}

struct VKO_WebHub {
    pthread_t thread;
    std::mutex mu;
    std::condition_variable cv;
    std::deque<VKO_WebCall *> calls;
    uint32_t waiters;  // creators waiting for their result
    bool closed;
};

VKO_WebHub *vko_webhub_create(void) {
    auto *hub = new VKO_WebHub();
    hub->thread = pthread_self();
    return hub;
}

void vko_webhub_destroy(VKO_WebHub **phub) {
    if (!phub || !*phub) return;
    VKO_WebHub *hub = *phub;
    std::unique_lock<std::mutex> lock(hub->mu);
    hub->closed = true;
    for (VKO_WebCall *c : hub->calls) {
        if (c->wait) {
            c->done = true;
            c->result = false;
        } else {
            delete c;
        }
    }
    hub->calls.clear();
    hub->cv.notify_all();
    hub->cv.wait(lock, [&] { return hub->waiters == 0; });
    lock.unlock();
    delete hub;
    *phub = nullptr;
}

bool vko_webhub_here(VKO_App *app) {
    return !app->web || pthread_equal(app->web->thread, pthread_self());
}

bool vko_webhub_carry(VKO_App *app, VKO_WebCall *call) {
    VKO_WebHub *hub = app->web;
    std::unique_lock<std::mutex> lock(hub->mu);
    if (hub->closed) {
        if (!call->wait) delete call;
        return false;
    }
    hub->calls.push_back(call);
    if (!call->wait) return true;
    hub->waiters++;
    hub->cv.wait(lock, [&] { return call->done; });
    hub->waiters--;
    hub->cv.notify_all();
    return call->result;
}

void vko_webview_pump(VKO_App *app) {
    if (!app || !app->web) return;
    VKO_WebHub *hub = app->web;
    std::deque<VKO_WebCall *> calls;
    {
        std::lock_guard<std::mutex> lock(hub->mu);
        calls.swap(hub->calls);
    }
    for (VKO_WebCall *c : calls) {
        bool r = vko_webcall_run(app, c);
        if (!c->wait) {
            delete c;
            continue;
        }
        std::lock_guard<std::mutex> lock(hub->mu);
        c->result = r;
        c->done = true;
        hub->cv.notify_all();
    }
    for (VKO_WindowRec *w : app->windows) {
        if (!w || !w->webview) continue;
        vko_webview_resize((VKO_WebView *)w->webview, (uint32_t)(w->geom.w > 0 ? w->geom.w : 0),
                           (uint32_t)(w->geom.h > 0 ? w->geom.h : 0));
    }
    // The toolkit's loop also finishes what destroyed views left behind.
    if (!gtk_here()) return;
    for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); i++) {
    }
}
