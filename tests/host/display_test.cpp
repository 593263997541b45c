// Display outputs and modes on a private Xvfb through RandR, the GPU list
// from the Vulkan loader, audio endpoints from a private PulseAudio server.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "host/display.h"
#include "platform/memory.h"
#include "support/pulse_server.h"
#include "support/xvfb.h"

namespace {

class Display : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_FALSE(xvfb_display().empty()); }
};

DisplayMode current(const char *name) {
    DisplayMode *m = display_mode_get(name);
    DisplayMode r = *m;
    VKO_Free(m);
    return r;
}

TEST_F(Display, MonitorsAreOutputsWithStableDistinctIds) {
    ASSERT_EQ(xvfb_run("xrandr --setmonitor m1 1280/300x1200/300+0+0 screen && "
                       "xrandr --setmonitor m2 1280/300x1200/300+1280+0 none && "
                       "xrandr --setmonitor m3 1280/300x600/300+2560+600 none"),
              0);
    DisplayOutput out[DISPLAY_MAX_OUTPUTS];
    ASSERT_EQ(display_adapter_get_all(out), 3u);
    struct Want {
        const char *name;
        int32_t l, t, r, b;
    } want[] = {{"m1", 0, 0, 1280, 1200}, {"m2", 1280, 0, 2560, 1200}, {"m3", 2560, 600, 3840, 1200}};
    std::string adapter = std::to_string(VKO_DJB2("[1] Unknown Adapter"));
    for (uint32_t i = 0; i < 3; i++) {
        const DisplayOutput &o = out[i];
        EXPECT_STREQ(o.device_name, want[i].name);
        EXPECT_STREQ(o.name, want[i].name);
        EXPECT_STREQ(o.adapter_name, "Unknown Adapter");
        EXPECT_EQ(o.adapter_index, 0u);
        EXPECT_EQ(o.output_index, i);
        EXPECT_EQ(std::make_tuple(o.left, o.top, o.right, o.bottom),
                  std::make_tuple(want[i].l, want[i].t, want[i].r, want[i].b));
        EXPECT_EQ(o.width, (uint32_t)(want[i].r - want[i].l));
        std::string label = "[" + std::to_string(i + 1) + "] " + want[i].name;
        EXPECT_EQ(std::string(o.id), adapter + "-" + std::to_string(VKO_DJB2(label.c_str())));
    }
    ASSERT_EQ(xvfb_run("xrandr --delmonitor m2 && xrandr --delmonitor m3 && xrandr --delmonitor m1"), 0);
    EXPECT_EQ(display_adapter_get_all(out), 1u);
}

TEST_F(Display, ModeChangesAndRestorationLeaveTheScreenAsItWas) {
    ASSERT_EQ(xvfb_run("xrandr --newmode 1920x1080_60 148.5 1920 2008 2052 2200 1080 1084 1089 1125 && "
                       "xrandr --addmode screen 1920x1080_60"),
              0);
    DisplayMode saved = current("screen");
    EXPECT_EQ(saved.dmFields, DISPLAY_FIELDS);
    EXPECT_EQ(std::make_tuple(saved.dmPelsWidth, saved.dmPelsHeight, saved.dmDisplayOrientation),
              std::make_tuple(3840u, 1200u, 0u));
    // Already in effect; refused; unknown output; rotation the screen cannot do.
    EXPECT_EQ(display_mode_set("screen", &saved), 0);
    DisplayMode bad = saved;
    bad.dmPelsWidth = 1234;
    EXPECT_EQ(display_mode_set("screen", &bad), DISPLAY_ERR_BADMODE);
    EXPECT_EQ(display_mode_set("nowhere", &saved), DISPLAY_ERR_FAILED);
    EXPECT_EQ(display_mode_set("screen", nullptr), DISPLAY_ERR_BADMODE);
    EXPECT_EQ(display_mode_change("screen", 1920, 1080, 60, &saved, 0, 0, 1, 0), DISPLAY_ERR_BADMODE);
    EXPECT_EQ(display_mode_change("screen", 1920, 1080, 60, nullptr, 0, 0, 0, 0), DISPLAY_ERR_FAILED);

    // 5120 x 2880 at 165 Hz does not exist: the ladder finds 1920 x 1080 at 60.
    EXPECT_EQ(display_mode_change("screen", 5120, 2880, 165, &saved, 0, 0, 0, 0), 0);
    DisplayMode now = current("screen");
    EXPECT_EQ(std::make_tuple(now.dmPelsWidth, now.dmPelsHeight, now.dmDisplayFrequency),
              std::make_tuple(1920u, 1080u, 60u));
    EXPECT_EQ(xvfb_run("xdpyinfo | grep -q 'dimensions: *1920x1080 '"), 0);

    EXPECT_EQ(display_mode_set("screen", &saved), 0);
    now = current(nullptr);
    EXPECT_EQ(std::make_tuple(now.dmPelsWidth, now.dmPelsHeight), std::make_tuple(3840u, 1200u));
    EXPECT_EQ(xvfb_run("xdpyinfo | grep -q 'dimensions: *3840x1200 '"), 0);
}

// Runs in a child that ends with _exit: Mesa's Vulkan driver leaves a block
// behind that the leak checker would otherwise report.
TEST_F(Display, GpusComeFromTheVulkanLoader) {
    EXPECT_EXIT(
        {
            static GpuInfo g[30];
            uint32_t n = gpu_info_get_all(g);
            bool ok = n >= 1 && strstr(g[0].name, "llvmpipe") && strlen(g[0].vendor_id) == 4 &&
                      g[0].driver_version[0] && g[0].output_count == 1 &&
                      !strcmp(g[0].outputs[0].name, "screen") && g[0].outputs[0].max_width == 3840 &&
                      g[0].outputs[0].scale == 1.0f;
            // The desktop's scale is the dpi it sets for its programs (here 144: 1.5).
            ::Display *dpy = XOpenDisplay(nullptr);
            Atom rm = XInternAtom(dpy, "RESOURCE_MANAGER", False);
            const char dpi[] = "Xft.dpi:\t144\n";
            XChangeProperty(dpy, DefaultRootWindow(dpy), rm, XA_STRING, 8, PropModeReplace,
                            (const unsigned char *)dpi, sizeof dpi - 1);
            XSync(dpy, False);
            ok = ok && gpu_info_get_all(g) >= 1 && g[0].outputs[0].scale == 1.5f;
            XDeleteProperty(dpy, DefaultRootWindow(dpy), rm);
            XCloseDisplay(dpy);
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(AudioEndpoints, DefaultFirstThenSinksUpToMax) {
    ASSERT_NE(PulseServer::get(), nullptr);
    // 40 sinks in all: "testsink" and 39 more.
    ASSERT_EQ(system("for i in $(seq 2 40); do pactl load-module module-null-sink sink_name=sink$i "
                     "sink_properties=device.description=Sink_$i >/dev/null || exit 1; done"),
              0);
    AudioEndpoint e[30];
    ASSERT_EQ(audio_adapter_get_all(e, 30, false), 30u);
    EXPECT_EQ(e[0].index, -1);
    EXPECT_STREQ(e[0].name, "Default (Automatic Selection)");
    EXPECT_STREQ(e[0].id, "");
    EXPECT_EQ(e[1].index, 0);
    EXPECT_STREQ(e[1].id, "testsink");
    EXPECT_EQ(e[2].index, 1);
    EXPECT_STREQ(e[2].id, "sink2");
    EXPECT_STREQ(e[2].name, "Sink_2");
    EXPECT_STREQ(e[29].id, "sink29");
    // Sink monitors are not microphones.
    EXPECT_EQ(audio_adapter_get_all(e, 30, true), 1u);
    EXPECT_EQ(audio_adapter_get_all(e, 0, false), 0u);
}

}  // namespace
