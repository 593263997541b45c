// What a headless WebKit under the test binary's Xvfb needs: the settings of
// its environment, and the leak report's silence about the libraries that
// keep process-lifetime allocations.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "platform/app.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

// GTK, GLib and WebKit keep process-lifetime allocations of their own; a test
// binary returns this from its __lsan_default_suppressions.
inline constexpr char kWebKitLeakSuppressions[] =
    "leak:libgtk-3.so\nleak:libgdk-3.so\nleak:libwebkit2gtk-4.1.so\nleak:libjavascriptcoregtk-4.1.so\n"
    "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgio-2.0.so\nleak:libfontconfig.so\n"
    "leak:libpango\nleak:libcairo.so\nleak:libharfbuzz.so\nleak:libatk\nleak:libgmodule-2.0.so\n"
    "leak:libX11.so\nleak:libEGL\nleak:libGL\nleak:libgallium\nleak:libdbus\nleak:libepoxy\n"
    "leak:libsoup\nleak:libxkbcommon\n";

// The folder every write of the web view goes to, one per test binary.
inline TempDir &env_dir() {
    static TempDir dir;
    return dir;
}

// X11 only, no accessibility bus, software rendering, every write inside
// env_dir(); false without an X server.
inline bool web_env() {
    if (xvfb_display().empty()) return false;
    const std::string &root = env_dir().path;
    std::string run = root + "/run";
    mkdir(run.c_str(), 0700);
    setenv("GDK_BACKEND", "x11", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 1);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    setenv("HOME", root.c_str(), 1);
    setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    setenv("MESA_SHADER_CACHE_DIR", (root + "/mesa").c_str(), 1);
    return true;
}

// An app run until a condition holds or a deadline passes; what it does
// with each event is its owner's (`on_event`).
class PumpedApp {
   public:
    PumpedApp() { app = VKO_AppCreate(0, &PumpedApp::frame, &PumpedApp::event, this); }
    ~PumpedApp() {
        on_event = nullptr;  // what it captured may be gone already
        VKO_AppDestroy(&app);
    }

    bool pump_until(const std::function<bool()> &pred, int ms = 30000) {
        until_ = pred;
        deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        held_ = false;
        VKO_AppRun(app);
        return held_;
    }

    VKO_App *app = nullptr;
    std::function<void(const VKO_Event *)> on_event;

   private:
    static bool frame(void *opaque) {
        auto *h = (PumpedApp *)opaque;
        if (h->until_ && h->until_()) {
            h->held_ = true;
            return false;
        }
        return std::chrono::steady_clock::now() < h->deadline_;
    }
    static void event(const VKO_Event *e, void *opaque) {
        auto *h = (PumpedApp *)opaque;
        if (h->on_event) h->on_event(e);
    }

    std::function<bool()> until_;
    std::chrono::steady_clock::time_point deadline_;
    bool held_ = false;
};
