// Mouse arbitration between guests and the local user, and the hook thread on
// a private Xvfb: injected motion is not the local user's, and a change of
// holder lets go of the buttons the previous one held.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <memory>

#include "host/host.h"
#include "host/input.h"
#include "host/input_x11.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "support/xvfb.h"

namespace {

GuestInfo guest(uint32_t id, uint8_t owner) {
    GuestInfo g = {};
    g.id = id;
    g.owner = owner;
    g.mouse = 1;
    return g;
}

TEST(MouseControl, GuestsAndTheLocalUserTakeTurns) {
    MouseControl *mc = host_mouse_control_create();
    EXPECT_EQ(host_mouse_control(), mc);
    GuestInfo a = guest(1, 0), b = guest(2, 0), owner = guest(3, 1);
    EXPECT_TRUE(host_mouse_arbitrate(mc, &b, 1000));  // not installed: everybody
    mc->installed = 1;
    struct {
        const GuestInfo *who;
        bool takes;
        uint8_t release;
    } const rows[] = {{&a, true, 0}, {&a, true, 0}, {&b, false, 0}, {&owner, true, 1}, {&a, false, 0}};
    mc->holder = 0;
    mc->busy = 0;
    mc->last_activity = VKO_GetTime();
    for (const auto &r : rows) {
        mc->release_buttons = 0;
        EXPECT_EQ(host_mouse_arbitrate(mc, r.who, 1000), r.takes) << r.who->id;
        EXPECT_EQ(mc->release_buttons, r.release) << r.who->id;
    }
    // Injected events never count; the fifth local one takes the mouse from everybody, the owner too.
    for (int i = 0; i < 10; i++) input_mouse_hook_proc(mc, true);
    for (uint32_t i = 0; i < MOUSE_LOCAL_TAKEOVER - 1; i++) input_mouse_hook_proc(mc, false);
    EXPECT_EQ(mc->holder, owner.id);
    input_mouse_hook_proc(mc, false);
    EXPECT_EQ(mc->holder, MOUSE_HOLDER_LOCAL);
    EXPECT_EQ(mc->release_buttons, 1);
    EXPECT_FALSE(host_mouse_arbitrate(mc, &owner, 1000));
    // After a quiet spell longer than the timeout a guest takes it back.
    VKO_Sleep(30);
    EXPECT_TRUE(host_mouse_arbitrate(mc, &b, 20));
    EXPECT_EQ(mc->local_events.load(), 0u);
    EXPECT_EQ(mc->holder, b.id);
    host_mouse_control_destroy(&mc);
    EXPECT_EQ(host_mouse_control(), nullptr);
}

TEST(MouseControl, HookThreadWatchesThePointerAndReleasesButtons) {
    if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
    MouseControl *mc = host_mouse_control_create();
    auto ctx = std::make_unique<HostContext>();
    ctx->config.exclusive_input = 1;
    ctx->guest_count.store(1);
    VKO_Thread *t = VKO_ThreadCreate(host_mouse_hook_thread, ctx.get());
    auto installed = [&] {
        VKO_MutexLock(mc->mutex);
        bool on = mc->installed;
        VKO_MutexUnlock(mc->mutex);
        return on;
    };
    for (int i = 0; i < 500 && !installed(); i++) VKO_Sleep(10);
    ASSERT_TRUE(installed());

    // Guest input comes through XTest: not counted as local.
    xinput_motion_absolute(10, 10);
    xinput_button(1, true);
    xinput_motion_absolute(20, 20);
    Display *dpy = XOpenDisplay(nullptr);
    auto mask = [&] {
        Window r, c;
        int x, y, wx, wy;
        unsigned m = 0;
        XQueryPointer(dpy, DefaultRootWindow(dpy), &r, &c, &x, &y, &wx, &wy, &m);
        return m;
    };
    for (int i = 0; i < 500 && !(mask() & Button1Mask); i++) VKO_Sleep(2);
    ASSERT_TRUE(mask() & Button1Mask);

    // The local user takes over (as the hook sees it): the guest's button goes up.
    GuestInfo a = guest(1, 0);
    ASSERT_TRUE(host_mouse_arbitrate(mc, &a, 1000));
    for (uint32_t i = 0; i < MOUSE_LOCAL_TAKEOVER; i++) input_mouse_hook_proc(mc, false);
    for (int i = 0; i < 500 && (mask() & Button1Mask); i++) VKO_Sleep(2);
    EXPECT_FALSE(mask() & Button1Mask);

    // The last guest gone: the hook comes off.
    ctx->guest_count.store(0);
    host_mouse_hook_wake(mc);
    for (int i = 0; i < 500 && installed(); i++) VKO_Sleep(10);
    EXPECT_FALSE(installed());
    EXPECT_EQ(mc->local_events.load(), MOUSE_LOCAL_TAKEOVER);  // the hook saw the XTest events as injected
    ctx->stop.store(1);
    host_mouse_hook_wake(mc);
    VKO_ThreadDestroy(&t);
    XCloseDisplay(dpy);
    host_mouse_control_destroy(&mc);
}

}  // namespace
