// X errors with a web view in the process: the toolkit installs protocol and
// IO error handlers of its own when it starts. The app's traps must still see
// their errors (a hotkey another client holds is refused), the toolkit's
// traps must still see theirs, and an app whose X server goes away must not
// end the process.
#include <gtest/gtest.h>

#include <string>

#include "platform/app.h"
#include "platform/window.h"
#include "platform/x11/error_trap.h"
#include "support/log_capture.h"
#include "support/web_env.h"
#include "support/xvfb.h"

// Xlib's macros (None, Bool) after GoogleTest's headers.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <gdk/gdkx.h>

extern "C" const char *__lsan_default_suppressions() {
    return kWebKitLeakSuppressions;
}

namespace {

// A window id no client has.
constexpr Window kNoWindow = 0x3FFFFFF;

TEST(WebViewXErrors, TrapsAndTheLostServerStillOursOnceTheToolkitStarted) {
    ASSERT_TRUE(web_env());
    PumpedApp h;
    ASSERT_NE(h.app, nullptr);
    bool ready = false;
    h.on_event = [&](const VKO_Event *e) { ready |= e->type == VKO_EVENT_WEBVIEW_READY; };
    VKO_Frame f = {0, 300, 200, "", 100, 100};
    ASSERT_EQ(VKO_WindowCreate(h.app, "web", &f, 0), 0);
    ASSERT_TRUE(VKO_WebViewCreate(h.app, 0, env_dir().file("profile").c_str(), false));
    VKO_WebViewNavigate(h.app, 0, "<html><body>x</body></html>", false);
    ASSERT_TRUE(h.pump_until([&] { return ready; }));

    // A combination another client holds: refused, not taken as registered.
    Display *other = XOpenDisplay(xvfb_display().c_str());
    ASSERT_NE(other, nullptr);
    unsigned f8 = XKeysymToKeycode(other, XK_F8);
    XGrabKey(other, f8, ControlMask, DefaultRootWindow(other), False, GrabModeAsync, GrabModeAsync);
    XSync(other, False);
    {
        LogCapture log;
        EXPECT_FALSE(VKO_AppSetHotkey(h.app, 1, 0x004, 0x42, 6));
        EXPECT_TRUE(log.contains("VKO_AppSetHotkey: 'RegisterHotKey' failed with error 0xA"));
    }
    XUngrabKey(other, f8, ControlMask, DefaultRootWindow(other));
    XSync(other, False);
    EXPECT_TRUE(VKO_AppSetHotkey(h.app, 1, 0x004, 0x42, 6)) << "free again";
    VKO_AppRemoveHotkeys(h.app, 1);
    {
        X11ErrorTrap trap(other);
        XMapWindow(other, kNoWindow);
        EXPECT_EQ(trap.sync(), BadWindow);
    }
    XCloseDisplay(other);

    // The toolkit's own traps on its own connection.
    GdkDisplay *gd = gdk_display_get_default();
    ASSERT_NE(gd, nullptr);
    gdk_x11_display_error_trap_push(gd);
    XMapWindow(gdk_x11_display_get_xdisplay(gd), kNoWindow);
    EXPECT_EQ(gdk_x11_display_error_trap_pop(gd), BadWindow);

    // A second app on a server that then goes away: its loop ends, the
    // process lives on.
    XvfbServer server = xvfb_start_other({}, 320, 240);
    if (server.display.empty()) GTEST_SKIP() << "no second Xvfb";
    std::string display = getenv("DISPLAY");
    setenv("DISPLAY", server.display.c_str(), 1);
    PumpedApp lost;
    setenv("DISPLAY", display.c_str(), 1);
    ASSERT_NE(lost.app, nullptr);
    ASSERT_EQ(VKO_WindowCreate(lost.app, "lost", &f, 0), 0);
    xvfb_stop(&server);
    EXPECT_TRUE(lost.pump_until([&] { return !VKO_WindowExists(lost.app, 0); }));
    EXPECT_TRUE(h.pump_until([&] { return VKO_WindowExists(h.app, 0); })) << "the first app runs on";
}

}  // namespace
