// Mouse arbitration between guests and the local user; the hook thread on a private
// Xvfb tells injected events apart and lets go of a former holder's buttons.
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
    return GuestInfo{0, 0, 0, {}, {}, {}, 0, id, 0, {}, {}, owner};
}

TEST(MouseControl, GuestsAndTheLocalUserTakeTurns) {
    MouseControl *mc = host_mouse_control_create();
    GuestInfo a = guest(1, 0), b = guest(2, 0), owner = guest(3, 1);
    EXPECT_TRUE(host_mouse_arbitrate(mc, &b, 1000));  // not installed: everybody
    mc->installed = 1;
    // Who asks, whether it takes the mouse, whether the previous holder's buttons go up.
    const std::tuple<GuestInfo *, bool, uint8_t> rows[] = {
        {&a, true, 0}, {&a, true, 0}, {&b, false, 0}, {&owner, true, 1}, {&a, false, 0}};
    for (auto [who, takes, release] : rows) {
        mc->release_buttons = 0;
        EXPECT_EQ(host_mouse_arbitrate(mc, who, 1000), takes) << who->id;
        EXPECT_EQ(mc->release_buttons, release) << who->id;
    }
    // Injected events never count; the fifth local one takes the mouse from everybody, the owner too.
    for (int i = 0; i < 10; i++) input_mouse_hook_proc(mc, true);
    for (uint32_t i = 1; i <= MOUSE_LOCAL_TAKEOVER; i++) {
        input_mouse_hook_proc(mc, false);
        EXPECT_EQ(mc->holder, i < MOUSE_LOCAL_TAKEOVER ? owner.id : MOUSE_HOLDER_LOCAL);
    }
    EXPECT_FALSE(host_mouse_arbitrate(mc, &owner, 1000));
    VKO_Sleep(30);  // a quiet spell longer than the timeout gives it back
    EXPECT_TRUE(host_mouse_arbitrate(mc, &b, 20));
    EXPECT_EQ(mc->local_events.load() + mc->holder, b.id);
    // A holder that leaves lets go at once; somebody else's leaving changes nothing.
    EXPECT_FALSE(host_mouse_arbitrate(mc, &a, 60000));
    host_mouse_release(mc, a.id);
    EXPECT_FALSE(host_mouse_arbitrate(mc, &a, 60000));
    host_mouse_release(mc, b.id);
    EXPECT_TRUE(host_mouse_arbitrate(mc, &a, 60000));
    host_mouse_control_destroy(&mc);
}

TEST(MouseControl, HookThreadWatchesThePointerAndReleasesButtons) {
    ASSERT_FALSE(xvfb_display().empty());
    MouseControl *mc = host_mouse_control_create();
    auto ctx = std::make_unique<HostContext>();
    ctx->mouse_control = mc;
    ctx->pending.exclusive_input = 1;
    ctx->stream_locks[0] = VKO_MutexCreate();
    ctx->guest_count.store(1);
    VKO_Thread *t = VKO_ThreadCreate(host_mouse_hook_thread, ctx.get());
    Display *dpy = XOpenDisplay(nullptr);
    // Waits until the hook is (not) installed and the left button is (not) down.
    auto until = [&](bool installed, bool left) {
        for (int i = 0; i < 1000; i++, VKO_Sleep(5)) {
            Window r, c;
            int x, y;
            unsigned m = 0;
            XQueryPointer(dpy, DefaultRootWindow(dpy), &r, &c, &x, &y, &x, &y, &m);
            VKO_MutexLock(mc->mutex);
            bool done = mc->installed == installed && ((m & Button1Mask) != 0) == left;
            VKO_MutexUnlock(mc->mutex);
            if (done) return true;
        }
        return false;
    };
    ASSERT_TRUE(until(true, false));
    xinput_motion_absolute(10, 10);  // a guest's input comes through XTest
    xinput_button(1, true);
    ASSERT_TRUE(until(true, true));
    GuestInfo a = guest(1, 0);
    ASSERT_TRUE(host_mouse_arbitrate(mc, &a, 1000));
    for (uint32_t i = 0; i < MOUSE_LOCAL_TAKEOVER; i++) input_mouse_hook_proc(mc, false);  // the local user
    EXPECT_TRUE(until(true, false));
    ctx->guest_count.store(0);  // the last guest gone: the hook comes off
    host_mouse_hook_wake(mc);
    EXPECT_TRUE(until(false, false));
    EXPECT_EQ(mc->local_events.load(), MOUSE_LOCAL_TAKEOVER);  // the XTest events counted as injected
    ctx->stop.store(1);
    host_mouse_hook_wake(mc);
    VKO_ThreadDestroy(&t);
    VKO_MutexDestroy(&ctx->stream_locks[0]);
    XCloseDisplay(dpy);
    host_mouse_control_destroy(&mc);
}

}  // namespace
