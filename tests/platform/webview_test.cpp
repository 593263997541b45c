// The web view under the test's own Xvfb with a real WebKitGTK: the page
// channel both ways, the queue and message rules, calls from other threads,
// keys through the focused view, hotkeys, the plug's geometry and a
// screenshot. Each test starts WebKit once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/app.h"
#include "platform/image.h"
#include "platform/memory.h"
#include "platform/window.h"
#include "support/temp_dir.h"
#include "support/web_env.h"
#include "support/xvfb.h"

// Xlib's macros (None, Bool) after GoogleTest's headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

extern "C" const char *__lsan_default_suppressions() {
    return kWebKitLeakSuppressions;
}

namespace {

struct Got {
    VKO_EventType type;
    uint8_t window;
    uint32_t key, mods, hotkey;
    bool pressed;
    std::string text;
};

// An app whose event function keeps every event, type 0 included.
class WebApp : public PumpedApp {
   public:
    WebApp() {
        on_event = [this](const VKO_Event *e) {
            if (e->type < VKO_EVENT_WEBVIEW_READY && e->type != VKO_EVENT_NONE) return;
            if (e->type > VKO_EVENT_WEBVIEW_HOTKEY) return;
            Got g = {e->type, e->window, 0, 0, 0, false, ""};
            if (e->type == VKO_EVENT_WEBVIEW_KEY) {
                g.key = e->key.key;
                g.mods = e->key.mods;
                g.pressed = e->key.pressed;
                EXPECT_EQ(e->key.virtual_key, 0u);
            }
            if (e->type == VKO_EVENT_WEBVIEW_HOTKEY) g.hotkey = e->hotkey;
            if (e->type == VKO_EVENT_WEBVIEW_TEXT) g.text = e->webview_text ? e->webview_text : "";
            got.push_back(g);
        };
    }
    bool has_text(const std::string &t) const {
        for (const Got &g : got)
            if (g.type == VKO_EVENT_WEBVIEW_TEXT && g.text == t) return true;
        return false;
    }
    size_t count(VKO_EventType type) const {
        size_t n = 0;
        for (const Got &g : got) n += g.type == type;
        return n;
    }
    std::vector<std::string> texts(const std::string &prefix) const {
        std::vector<std::string> out;
        for (const Got &g : got)
            if (g.type == VKO_EVENT_WEBVIEW_TEXT && g.text.rfind(prefix, 0) == 0) out.push_back(g.text);
        return out;
    }
    const Got *key(uint32_t code, bool pressed) const {
        for (const Got &g : got)
            if (g.type == VKO_EVENT_WEBVIEW_KEY && g.key == code && g.pressed == pressed) return &g;
        return nullptr;
    }

    std::vector<Got> got;
};

Window plug_of(Display *dpy, Window host) {
    Window root, parent, *kids = nullptr;
    unsigned n = 0;
    Window plug = 0;
    if (XQueryTree(dpy, host, &root, &parent, &kids, &n) && n > 0) plug = kids[0];
    if (kids) XFree(kids);
    return plug;
}

const char kEchoPage[] = R"(<html><body style="margin:0;background:#00c000">
<script>
VKO_NativeListener = function(s) { VKO_NativeSendText('echo:' + s); };
VKO_NativeSendText('hello');
var h = window.webkit.messageHandlers.vko;
h.postMessage('Xjunk'); h.postMessage(''); h.postMessage(42); h.postMessage({a: 1}); h.postMessage(null);
h.postMessage('D{bad'); h.postMessage('D{"code":"KeyA"}'); h.postMessage('U{"mods":1}');
h.postMessage('D{"code":"NoSuchKey","mods":0}'); h.postMessage('D{"code":5,"mods":"x"}');
h.postMessage('D[]'); h.postMessage('D'); h.postMessage('U\u00ff\u0000');
h.postMessage('D{"code":"KeyQ","mods":3}');
VKO_NativeSendText('done');
</script></body></html>)";

}  // namespace

// Texts both ways in order, the pending queue of 50, a navigation asked for
// before the control exists, page messages that must be ignored, calls from
// another thread, and the data folder.
TEST(WebView, PageChannelAndQueue) {
    ASSERT_TRUE(web_env());
    WebApp h;
    ASSERT_NE(h.app, nullptr);
    VKO_Frame f = {0, 400, 300, "", 100, 100};
    ASSERT_EQ(VKO_WindowCreate(h.app, "web", &f, 0), 0);
    ASSERT_EQ(VKO_WindowCreate(h.app, "second", &f, 1), 1);

    std::string folder = env_dir().file("profile/web");
    EXPECT_FALSE(VKO_WebViewCreate(h.app, 5, folder.c_str(), false));  // no such window
    ASSERT_TRUE(VKO_WebViewCreate(h.app, 0, folder.c_str(), false));
    EXPECT_FALSE(VKO_WebViewCreate(h.app, 0, folder.c_str(), false));  // one per window
    VKO_WebViewSetInputPassthrough(h.app, 0, true);
    VKO_WebViewNavigate(h.app, 0, "about:blank", true);  // replaced by the next source
    VKO_WebViewNavigate(h.app, 0, kEchoPage, false);
    for (int i = 0; i <= 50; i++) VKO_WebViewSendText(h.app, 0, ("t" + std::to_string(i)).c_str());

    ASSERT_TRUE(h.pump_until([&] { return h.has_text("done") && h.texts("echo:t").size() >= 50; }));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(h.count(VKO_EVENT_WEBVIEW_READY), 1u);
    EXPECT_EQ(h.got.front().type, VKO_EVENT_WEBVIEW_READY);
    EXPECT_EQ(h.got.front().window, 0);
    std::vector<std::string> echoes = h.texts("echo:t");
    ASSERT_EQ(echoes.size(), 50u);  // the 51st waiting text was dropped
    for (int i = 0; i < 50; i++) EXPECT_EQ(echoes[i], "echo:t" + std::to_string(i));

    // Of the page's raw messages only the well-formed key counts.
    std::vector<std::string> all = h.texts("");
    EXPECT_EQ(all.size(), 52u);
    size_t keys = 0;
    for (const Got &g : h.got) {
        if (g.type != VKO_EVENT_WEBVIEW_KEY) continue;
        keys++;
        EXPECT_EQ(g.key, 0x10u);
        EXPECT_EQ(g.mods, 0x005u);
        EXPECT_TRUE(g.pressed);
    }
    EXPECT_EQ(keys, 1u);

    // After ready, texts go straight to the page, escaping included.
    const std::string odd = "h\xc3\xa9llo \"q\" \\ '\n\t</script> \xe2\x80\xa8 end";
    VKO_WebViewSendText(h.app, 0, odd.c_str());
    VKO_WebViewSendText(h.app, 0, "bad \xff\xfe\xc3 bytes");  // not text: never reaches the page
    VKO_WebViewSendText(h.app, 0, "after");
    ASSERT_TRUE(h.pump_until([&] { return h.has_text("echo:after"); }));
    std::vector<std::string> tail = h.texts("echo:");
    ASSERT_GE(tail.size(), 2u);
    EXPECT_EQ(tail[tail.size() - 2], "echo:" + odd);
    for (const std::string &t : tail) EXPECT_EQ(t.find("bytes"), std::string::npos);

    // From another thread: queued in order, create answered by the app thread.
    std::atomic<bool> finished{false};
    bool created = false, again = true;
    std::thread other([&] {
        VKO_WebViewSendText(h.app, 0, "thread-1");
        VKO_WebViewSendText(h.app, 0, "thread-2");
        created = VKO_WebViewCreate(h.app, 1, folder.c_str(), false);
        again = VKO_WebViewCreate(h.app, 1, folder.c_str(), false);
        VKO_WebViewDestroy(h.app, 1);
        VKO_WebViewSendText(h.app, 0, "thread-3");
        finished = true;
    });
    bool ok = h.pump_until([&] { return finished && h.has_text("echo:thread-3"); });
    other.join();
    ASSERT_TRUE(ok);
    EXPECT_TRUE(created);
    EXPECT_FALSE(again);
    std::vector<std::string> from = h.texts("echo:thread-");
    EXPECT_EQ(from, (std::vector<std::string>{"echo:thread-1", "echo:thread-2", "echo:thread-3"}));
    EXPECT_TRUE(VKO_WebViewCreate(h.app, 1, nullptr, false));  // the thread's view is gone
    VKO_WebViewDestroy(h.app, 1);

    // Calls on windows without a view do nothing.
    VKO_WebViewSendText(h.app, 2, "x");
    VKO_WebViewShow(h.app, 1, true);
    VKO_WebViewNavigate(h.app, 7, "about:blank", true);
    VKO_WebViewDestroy(h.app, -1);
}

const char kKeyPage[] = R"(<html><body style="margin:0;background:#00c000">
<div style="position:absolute;left:40px;top:30px;width:120px;height:90px;background:#0000ff"></div>
<script>
document.addEventListener('keyup', function(e) { VKO_NativeSendText('k:' + e.code); });
</script></body></html>)";

// Keys through the focused view with passthrough on and off, app-local
// hotkeys and their release, the plug following the window's size, a
// screenshot, and destroying a view and its window.
TEST(WebView, KeysGeometryAndScreen) {
    ASSERT_TRUE(web_env());
    WebApp h;
    ASSERT_NE(h.app, nullptr);
    Display *dpy = XOpenDisplay(xvfb_display().c_str());
    ASSERT_NE(dpy, nullptr);
    VKO_Frame f = {0, 400, 300, "", 100, 100};
    ASSERT_EQ(VKO_WindowCreate(h.app, "keys", &f, 0), 0);
    Window host = (Window)(uintptr_t)VKO_WindowGetNative(h.app, 0);
    ASSERT_TRUE(VKO_WebViewCreate(h.app, 0, env_dir().file("keys").c_str(), false));
    VKO_WebViewNavigate(h.app, 0, kKeyPage, false);
    ASSERT_TRUE(h.pump_until([&] { return h.count(VKO_EVENT_WEBVIEW_READY) > 0; }));

    // Hidden until shown; shown over the whole client area.
    Window plug = plug_of(dpy, host);
    ASSERT_NE(plug, 0u);
    XWindowAttributes a;
    ASSERT_TRUE(XGetWindowAttributes(dpy, plug, &a));
    EXPECT_NE(a.map_state, IsViewable);
    VKO_WebViewShow(h.app, 0, true);
    auto plug_is = [&](int w, int hgt) {
        XWindowAttributes pa;
        return XGetWindowAttributes(dpy, plug, &pa) && pa.map_state == IsViewable && pa.x == 0 && pa.y == 0 &&
               pa.width == w && pa.height == hgt;
    };
    uint32_t cw = 0, ch = 0;
    VKO_WindowGetSize(h.app, 0, &cw, &ch);
    ASSERT_TRUE(h.pump_until([&] { return plug_is((int)cw, (int)ch); }));

    // The page's pixels reach the window.
    ASSERT_TRUE(h.pump_until(
        [&] {
            XImage *img = XGetImage(dpy, host, 0, 0, cw, ch, AllPlanes, ZPixmap);
            if (!img) return false;
            unsigned long box = XGetPixel(img, 100, 70), page = XGetPixel(img, 300, 250);
            bool seen = box == 0x0000FF && page == 0x00C000;
            if (seen) {
                std::vector<uint8_t> rgba(cw * ch * 4);
                for (uint32_t y = 0; y < ch; y++)
                    for (uint32_t x = 0; x < cw; x++) {
                        unsigned long p = XGetPixel(img, (int)x, (int)y);
                        uint8_t *o = &rgba[(y * cw + x) * 4];
                        o[0] = (uint8_t)(p >> 16), o[1] = (uint8_t)(p >> 8), o[2] = (uint8_t)p, o[3] = 255;
                    }
                size_t size = 0;
                void *png = VKO_CompressImage(VKO_IMAGE_PNG, rgba.data(), cw, ch, &size);
                if (png) {
                    std::string path = testing::TempDir() + "webview_shot.png";
                    write_file(path, std::string((const char *)png, size));
                    printf("screenshot: %s\n", path.c_str());
                    VKO_Free(png);
                }
            }
            XDestroyImage(img);
            return seen;
        },
        10000));

    // Passthrough off: the page sees the key, no key event comes.
    auto tap = [&](KeySym ks, KeySym mod) {
        if (mod) XTestFakeKeyEvent(dpy, XKeysymToKeycode(dpy, mod), True, CurrentTime);
        XTestFakeKeyEvent(dpy, XKeysymToKeycode(dpy, ks), True, CurrentTime);
        XTestFakeKeyEvent(dpy, XKeysymToKeycode(dpy, ks), False, CurrentTime);
        if (mod) XTestFakeKeyEvent(dpy, XKeysymToKeycode(dpy, mod), False, CurrentTime);
        XSync(dpy, False);
    };
    tap(XK_b, 0);
    ASSERT_TRUE(h.pump_until([&] { return h.has_text("k:KeyB"); }));
    EXPECT_EQ(h.count(VKO_EVENT_WEBVIEW_KEY), 0u);

    // Passthrough on: Shift+A as key events with the page's modifiers.
    VKO_WebViewSetInputPassthrough(h.app, 0, true);
    tap(XK_a, XK_Shift_L);
    ASSERT_TRUE(h.pump_until([&] { return h.has_text("k:ShiftLeft"); }));
    const Got *down = h.key(0x1E, true), *up = h.key(0x1E, false);
    ASSERT_NE(down, nullptr);
    ASSERT_NE(up, nullptr);
    EXPECT_EQ(down->mods & 0xFF, VKO_MOD_LSHIFT);
    EXPECT_EQ(down->window, 0);
    ASSERT_NE(h.key(0x2A, true), nullptr);

    // A mapped combination: its press is the hotkey, its release an empty event.
    ASSERT_TRUE(VKO_AppSetHotkey(h.app, 0, VKO_MOD_LCTRL, 0x1F, 77));
    size_t before = h.got.size();
    tap(XK_s, XK_Control_L);
    ASSERT_TRUE(h.pump_until([&] { return h.has_text("k:ControlLeft"); }));
    std::vector<VKO_EventType> seen;
    for (size_t i = before; i < h.got.size(); i++) {
        const Got &g = h.got[i];
        if (g.type == VKO_EVENT_WEBVIEW_KEY && g.key == 0x1F) ADD_FAILURE() << "hotkey key as a key event";
        if (g.type == VKO_EVENT_WEBVIEW_HOTKEY) {
            EXPECT_EQ(g.hotkey, 77u);
        }
        if (g.type != VKO_EVENT_WEBVIEW_TEXT) seen.push_back(g.type);
    }
    // Ctrl down, S as the hotkey, S released as type 0, Ctrl up.
    EXPECT_EQ(seen, (std::vector<VKO_EventType>{VKO_EVENT_WEBVIEW_KEY, VKO_EVENT_WEBVIEW_HOTKEY,
                                                VKO_EVENT_NONE, VKO_EVENT_WEBVIEW_KEY}));

    // The plug follows the window.
    VKO_Frame bigger = {0, 520, 380, "", 100, 100};
    VKO_WindowSetFrame(h.app, 0, &bigger);
    ASSERT_TRUE(h.pump_until([&] {
        VKO_WindowGetSize(h.app, 0, &cw, &ch);
        return cw == 520 && plug_is((int)cw, (int)ch);
    }));

    // Destroyed: the plug leaves the window; the toolkit stays for the next.
    VKO_WebViewDestroy(h.app, 0);
    XSync(dpy, False);
    EXPECT_EQ(plug_of(dpy, host), 0u);
    ASSERT_TRUE(VKO_WebViewCreate(h.app, 0, env_dir().file("keys").c_str(), false));
    VKO_WebViewNavigate(h.app, 0, kKeyPage, false);
    ASSERT_TRUE(h.pump_until([&] { return h.count(VKO_EVENT_WEBVIEW_READY) == 2; }));
    // The window goes with its view in place.
    VKO_WindowDestroy(h.app, 0);
    XCloseDisplay(dpy);
}
