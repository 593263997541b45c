// Guests' keys, buttons, wheel and motion arriving in a window of a private
// Xvfb, the permission gates, and nothing left pressed after a release.
#include <gtest/gtest.h>

#include <X11/XF86keysym.h>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/input.h"
#include "host/input_x11.h"
#include "host/host.h"
#include "support/xvfb.h"
#include "vdev/controller_input.h"
#include "vdev/vdev.h"

namespace {

// A window over the whole screen, focused, that records what reaches it.
class InputTest : public ::testing::Test {
   protected:
    void SetUp() override {
        if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
        dpy_ = XOpenDisplay(nullptr);
        ASSERT_NE(dpy_, nullptr);
        int w = DisplayWidth(dpy_, 0), h = DisplayHeight(dpy_, 0);
        win_ = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, w, h, 0, 0, 0);
        XSetWindowAttributes a = {};
        a.override_redirect = True;
        XChangeWindowAttributes(dpy_, win_, CWOverrideRedirect, &a);
        XSelectInput(dpy_, win_,
                     StructureNotifyMask | KeyPressMask | KeyReleaseMask | ButtonPressMask |
                         ButtonReleaseMask | PointerMotionMask);
        XMapRaised(dpy_, win_);
        XEvent e;
        do XNextEvent(dpy_, &e);
        while (e.type != MapNotify);
        XSetInputFocus(dpy_, win_, RevertToParent, CurrentTime);
        XSync(dpy_, False);
        input_state_init(&s_);
        info_.keyboard = info_.mouse = info_.gamepad = 1;
        info_.id = 7;
    }
    void TearDown() override {
        if (!dpy_) return;
        input_release_keys(&s_);
        input_release_buttons(&s_);
        if (xinput_caps_lock()) input_tap_key(XKEY_CAPSLOCK);
        if (xinput_num_lock()) input_tap_key(XKEY_NUMLOCK);
        XDestroyWindow(dpy_, win_);
        XCloseDisplay(dpy_);
    }

    void send(uint8_t type, uint32_t a, uint32_t b, uint32_t c = 0, uint8_t allowed = 1) {
        ControlHeader h = {a, b, c, type};
        host_input_dispatch(&s_, relative_, output_, nullptr, nullptr, &h, nullptr, 0, &info_, allowed);
    }

    // Every input event up to and including the marker (an F19 press and release).
    std::vector<XEvent> events() {
        xinput_key(0x6A, true);  // F19: no test sends it otherwise
        xinput_key(0x6A, false);
        std::vector<XEvent> out;
        for (;;) {
            while (!XPending(dpy_)) {
                pollfd p = {ConnectionNumber(dpy_), POLLIN, 0};
                if (poll(&p, 1, 5000) <= 0) {
                    ADD_FAILURE() << "marker never arrived";
                    return out;
                }
            }
            XEvent e;
            XNextEvent(dpy_, &e);
            if (e.type == KeyRelease && e.xkey.keycode == xinput_keycode(0x6A)) return out;
            if (e.type == KeyPress && e.xkey.keycode == xinput_keycode(0x6A)) continue;
            if (e.type == KeyPress || e.type == KeyRelease || e.type == ButtonPress ||
                e.type == ButtonRelease || e.type == MotionNotify)
                out.push_back(e);
        }
    }

    // "+code" / "-code" for keys, "b+n" / "b-n" for buttons.
    std::vector<std::string> presses() {
        std::vector<std::string> out;
        for (const XEvent &e : events()) {
            if (e.type == KeyPress || e.type == KeyRelease)
                out.push_back((e.type == KeyPress ? "+" : "-") + std::to_string(e.xkey.keycode));
            else if (e.type == ButtonPress || e.type == ButtonRelease)
                out.push_back((e.type == ButtonPress ? "b+" : "b-") + std::to_string(e.xbutton.button));
        }
        return out;
    }

    std::string code(uint32_t key, bool down) {
        return (down ? "+" : "-") + std::to_string(xinput_keycode(key));
    }

    void pointer(int *x, int *y, unsigned *mask = nullptr) {
        Window r, c;
        int wx, wy;
        unsigned m;
        XQueryPointer(dpy_, DefaultRootWindow(dpy_), &r, &c, x, y, &wx, &wy, &m);
        if (mask) *mask = m;
    }

    bool any_key_held() {
        char keys[32];
        XQueryKeymap(dpy_, keys);
        for (char k : keys)
            if (k) return true;
        return false;
    }

    Display *dpy_ = nullptr;
    Window win_ = 0;
    InputState s_;
    GuestInfo info_ = {};
    uint8_t relative_ = 0;
    int32_t output_[4] = {100, 50, 900, 650};
};

TEST_F(InputTest, EveryTableKeyHasAnXKeyAndTheCommonOnesTheirSymbols) {
    for (uint32_t c = 0; c < INPUT_KEY_CODES; c++) {
        uint16_t e = ScanCodeTable[c];
        if (!e) continue;
        uint32_t key = c == 72 ? XKEY_PAUSE : ((e & 0xFF) | ((e >> 8) == 0xE0 ? 0x100 : 0));
        EXPECT_NE(xinput_keycode(key), 0u) << "wire code " << c;
    }
    struct {
        uint32_t wire;
        KeySym sym;
    } const rows[] = {{4, XK_a},         {29, XK_z},          {30, XK_1},          {39, XK_0},
                      {40, XK_Return},   {41, XK_Escape},     {42, XK_BackSpace},  {43, XK_Tab},
                      {44, XK_space},    {58, XK_F1},         {69, XK_F12},        {70, XK_Print},
                      {72, XK_Pause},    {73, XK_Insert},     {76, XK_Delete},     {79, XK_Right},
                      {82, XK_Up},       {83, XK_Num_Lock},   {84, XK_KP_Divide},  {88, XK_KP_Enter},
                      {89, XK_KP_End},   {224, XK_Control_L}, {228, XK_Control_R}, {229, XK_Shift_R},
                      {227, XK_Super_L}, {230, XK_Alt_R},     {101, XK_Menu},      {127, XF86XK_AudioMute}};
    for (const auto &r : rows) {
        send(MSG_KEY, r.wire, 0, 1);
        send(MSG_KEY, r.wire, 0, 0);
        std::vector<XEvent> ev = events();
        ASSERT_EQ(ev.size(), 2u) << r.wire;
        EXPECT_EQ(XkbKeycodeToKeysym(dpy_, ev[0].xkey.keycode, 0, 0), r.sym) << "wire code " << r.wire;
    }
}

TEST_F(InputTest, ModifiersShiftPairingAndLockSynchronisation) {
    // Shift + a types "A".
    send(MSG_KEY, 225, 0x1, 1);
    send(MSG_KEY, 4, 0x1, 1);
    send(MSG_KEY, 4, 0x1, 0);
    send(MSG_KEY, 225, 0, 0);
    std::vector<XEvent> ev = events();
    ASSERT_EQ(ev.size(), 4u);
    char text[8] = {};
    XLookupString(&ev[1].xkey, text, sizeof(text), nullptr, nullptr);
    EXPECT_STREQ(text, "A");
    EXPECT_TRUE(ev[1].xkey.state & ShiftMask);

    // Right Shift held by another guest; releasing left Shift without 0x2 lets go of both.
    InputState other;
    input_state_init(&other);
    ControlHeader rshift = {229, 0x2, 1, MSG_KEY};
    input_inject_key(&other, &rshift);
    send(MSG_KEY, 225, 0x3, 1);
    send(MSG_KEY, 225, 0, 0);
    EXPECT_EQ(presses(), (std::vector<std::string>{code(XKEY_RSHIFT, true), code(XKEY_LSHIFT, true),
                                                   code(XKEY_LSHIFT, false), code(XKEY_RSHIFT, false)}));
    EXPECT_FALSE(any_key_held());

    // Caps Lock wanted: one tap before the key; wanted again: none; turned off
    // locally while still wanted: left alone.
    ASSERT_FALSE(xinput_caps_lock());
    send(MSG_KEY, 4, 0x2000, 1);
    send(MSG_KEY, 4, 0x2000, 0);
    EXPECT_EQ(presses(), (std::vector<std::string>{code(XKEY_CAPSLOCK, true), code(XKEY_CAPSLOCK, false),
                                                   code(0x1E, true), code(0x1E, false)}));
    EXPECT_TRUE(xinput_caps_lock());
    input_tap_key(XKEY_CAPSLOCK);
    send(MSG_KEY, 4, 0x2000, 1);
    send(MSG_KEY, 4, 0x2000, 0);
    EXPECT_EQ(presses().size(), 4u);
    EXPECT_FALSE(xinput_caps_lock());
    // Num Lock the same; the Num Lock key itself never taps.
    send(MSG_KEY, 83, 0x1000, 1);
    send(MSG_KEY, 83, 0x1000, 0);
    EXPECT_EQ(presses(), (std::vector<std::string>{code(XKEY_NUMLOCK, true), code(XKEY_NUMLOCK, false)}));
    EXPECT_TRUE(xinput_num_lock());

    // Ups of keys never pressed and unknown codes are dropped; Print Screen with Alt is SysRq.
    send(MSG_KEY, 5, 0x1000, 0);
    send(MSG_KEY, 300, 0x1000, 1);
    send(MSG_KEY, 50, 0x1000, 1);
    send(MSG_KEY, 70, 0x1100, 1);
    send(MSG_KEY, 70, 0x1100, 0);
    EXPECT_EQ(presses(), (std::vector<std::string>{code(0x54, true), code(0x54, false)}));
}

TEST_F(InputTest, JapaneseLayoutSendsRo) {
    send(MSG_KEY, 100, 0, 1);
    send(MSG_KEY, 100, 0, 0);
    EXPECT_EQ(presses(), (std::vector<std::string>{code(0x56, true), code(0x56, false)}));
    ASSERT_EQ(xvfb_run("setxkbmap -layout jp"), 0);
    send(MSG_KEY, 100, 0, 1);
    send(MSG_KEY, 100, 0, 0);
    EXPECT_EQ(presses(), (std::vector<std::string>{code(0x73, true), code(0x73, false)}));
    ASSERT_EQ(xvfb_run("setxkbmap -layout us"), 0);
}

TEST_F(InputTest, ButtonsWheelAndExactMotion) {
    send(MSG_MOUSE_MOTION, 0, 10, 20);
    int x, y;
    events();
    pointer(&x, &y);
    EXPECT_EQ(x, 110);
    EXPECT_EQ(y, 70);
    // Clamped to the output.
    send(MSG_MOUSE_MOTION, 0, 5000, (uint32_t)-3);
    events();
    pointer(&x, &y);
    EXPECT_EQ(x, 899);
    EXPECT_EQ(y, 50);

    for (uint32_t b = 1; b <= 5; b++) send(MSG_MOUSE_BUTTON, b, 1);
    for (uint32_t b = 1; b <= 5; b++) send(MSG_MOUSE_BUTTON, b, 0);
    send(MSG_MOUSE_BUTTON, 1, 0);  // not pressed: dropped
    send(MSG_MOUSE_BUTTON, 6, 1);  // no such button
    EXPECT_EQ(presses(), (std::vector<std::string>{"b+1", "b+2", "b+3", "b+8", "b+9", "b-1", "b-2", "b-3",
                                                   "b-8", "b-9"}));

    // Notches of 120: vertical first; halves add up; a turn forgets the half.
    send(MSG_MOUSE_WHEEL, 120, 240);
    send(MSG_MOUSE_WHEEL, 0, -60);
    send(MSG_MOUSE_WHEEL, 0, -60);
    send(MSG_MOUSE_WHEEL, 0, 60);
    send(MSG_MOUSE_WHEEL, (uint32_t)-120, 0);
    EXPECT_EQ(presses(), (std::vector<std::string>{"b+4", "b-4", "b+4", "b-4", "b+7", "b-7", "b+5", "b-5",
                                                   "b+6", "b-6"}));
    // A hostile delta is bounded.
    send(MSG_MOUSE_WHEEL, 0, 0x7FFFFFFF);
    EXPECT_EQ(presses().size(), 128u);
}

TEST_F(InputTest, HiddenPointerMovesByDifferences) {
    send(MSG_MOUSE_MOTION, 0, 400, 300);
    events();
    relative_ = 1;
    send(MSG_MOUSE_MOTION, 0, 50, 50);  // first: only remembered
    int x, y;
    events();
    pointer(&x, &y);
    EXPECT_EQ(x, 500);
    EXPECT_EQ(y, 350);
    send(MSG_MOUSE_MOTION, 0, 52, 47);
    events();
    pointer(&x, &y);
    EXPECT_EQ(x, 502);
    EXPECT_EQ(y, 347);
    send(MSG_MOUSE_MOTION, 1, (uint32_t)-2, 3);  // relative: forgets the position
    EXPECT_EQ(s_.last_x, INPUT_POS_UNKNOWN);
}

TEST_F(InputTest, PermissionsGateAndNothingStaysPressed) {
    struct {
        uint8_t keyboard, mouse, allowed;
        size_t events;
    } const rows[] = {{1, 1, 1, 4}, {0, 1, 1, 2}, {1, 0, 1, 2}, {1, 1, 0, 0}};
    for (const auto &r : rows) {
        info_.keyboard = r.keyboard;
        info_.mouse = r.mouse;
        send(MSG_KEY, 4, 0, 1, r.allowed);
        send(MSG_MOUSE_BUTTON, 1, 1, 0, r.allowed);
        send(MSG_KEY, 4, 0, 0, r.allowed);
        send(MSG_MOUSE_BUTTON, 1, 0, 0, r.allowed);
        EXPECT_EQ(presses().size(), r.events) << int(r.keyboard) << int(r.mouse) << int(r.allowed);
    }

    // A key message without keyboard permission lets go of what the guest holds.
    info_.keyboard = info_.mouse = 1;
    send(MSG_KEY, 224, 0x40, 1);
    send(MSG_KEY, 4, 0x40, 1);
    info_.keyboard = 0;
    send(MSG_KEY, 5, 0, 1);
    EXPECT_EQ(presses(), (std::vector<std::string>{code(0x1D, true), code(0x1E, true), code(0x1E, false),
                                                   code(0x1D, false)}));

    // A guest gone with keys and buttons down leaves none down.
    info_.keyboard = 1;
    for (uint32_t k : {225u, 226u, 4u, 79u, 72u}) send(MSG_KEY, k, 0, 1);
    for (uint32_t b = 1; b <= 5; b++) send(MSG_MOUSE_BUTTON, b, 1);
    send(MSG_PEN, 0, 0, 2);
    events();
    EXPECT_TRUE(any_key_held());
    input_release_keys(&s_);
    input_release_buttons(&s_);
    events();
    EXPECT_FALSE(any_key_held());
    int x, y;
    unsigned mask;
    pointer(&x, &y, &mask);
    EXPECT_EQ(mask & (Button1Mask | Button2Mask | Button3Mask), 0u);
}

TEST_F(InputTest, PenDrivesThePointer) {
    send(MSG_PEN, 30 << 16 | 40, 0, 0);           // hovering
    send(MSG_PEN, 31 << 16 | 41, 1000 << 16, 2);  // contact
    send(MSG_PEN, 32 << 16 | 42, 1000 << 16, 2);
    send(MSG_PEN, 33 << 16 | 43, 0, 0);  // lifted
    std::vector<std::string> seen;
    for (const XEvent &e : events()) {
        if (e.type == MotionNotify)
            seen.push_back(std::to_string(e.xmotion.x_root) + "," + std::to_string(e.xmotion.y_root));
        else if (e.type == ButtonPress || e.type == ButtonRelease)
            seen.push_back((e.type == ButtonPress ? "b+" : "b-") + std::to_string(e.xbutton.button));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"130,90", "131,91", "b+1", "132,92", "133,93", "b-1"}));
}

// Pads: what the recording back-end is handed (slot, first 8 report bytes).
TEST(InputPads, PadMessagesReachThePadsOfTheirGuest) {
    vdev_set_backend(&vdev_recording_backend);
    ControllerManager *m = controller_manager_create(1, PAD_XBOX360, nullptr, nullptr);
    GuestInfo guest = {};
    guest.gamepad = 1;
    guest.userID = 42;
    InputState s = {};
    int32_t out[4] = {0, 0, 100, 100};
    auto send = [&](uint8_t type, uint32_t a, uint32_t b, uint32_t c, uint8_t allowed = 1,
                    const uint8_t *raw = nullptr, uint32_t len = 0) {
        ControlHeader h = {a, b, c, type};
        host_input_dispatch(&s, 0, out, m, nullptr, &h, raw, len, &guest, allowed);
    };
    uint8_t state[PROTO_GAMEPAD_SIZE] = {0, 0, 0,  2, 0, 0, 0,    0,    0,    0,
                                         0, 0, 23, 0, 0, 0, 0x14, 0x00, 0x01, 0x00};
    struct {
        uint8_t type;
        uint32_t a, b, c;
        uint8_t allowed;
        std::vector<std::string> calls;
    } const rows[] = {
        {4, 0, 1, 0, 1, {"pad_plug(0,1)", "pad_submit(0,0010000000000000)"}},   // A
        {4, 5, 1, 0, 1, {}},                                                    // guide: owner only
        {5, 1, 1000, 0, 1, {"pad_submit(0,00100000000018fc)"}},                 // LY inverted
        {5, 4, 32767, 0, 1, {"pad_submit(0,0010ff00000018fc)"}},                // left trigger
        {5, 7, 5, 0, 1, {}},                                                    // no such axis
        {4, 1, 1, 0, 0, {"pad_submit(0,0000000000000000)"}},                    // not allowed: neutral
        {23, 0, 0, 0, 1, {"pad_plug(1,1)", "pad_submit(1,0010000000010000)"}},  // pad 2: guide stripped
        {6, 0, 0, 2, 1, {"pad_submit(1,0000000000000000)", "pad_unplug(1)"}},
        {6, 0, 0, 9, 1, {}},  // never plugged
    };
    for (const auto &r : rows) {
        vdev_recorder_clear();
        send(r.type, r.a, r.b, r.c, r.allowed, r.type == 23 ? state : nullptr,
             r.type == 23 ? sizeof(state) : 0);
        EXPECT_EQ(vdev_recorded(), r.calls) << int(r.type) << " " << r.a;
    }
    controller_manager_destroy(&m);

    // DualShock 4 form: sticks as bytes (Y down), hat, face, shoulder and guide bits, triggers.
    m = controller_manager_create(1, PAD_DS4, nullptr, nullptr);
    vdev_recorder_clear();
    controller_set_state(m, 42, 0, PAD_BTN_UP | PAD_BTN_RIGHT | PAD_BTN_A | PAD_BTN_LB | PAD_BTN_GUIDE, 0, 0,
                         32767, 32767, 0, -32768);
    controller_set_button(m, 42, 0, 3, 1);  // Y: triangle
    EXPECT_EQ(vdev_recorded(), (std::vector<std::string>{"pad_plug(0,2)", "pad_submit(0,ff0180ff21010100)",
                                                         "pad_submit(0,ff0180ffa1010100)"}));
    controller_manager_destroy(&m);

    // Raw reports: DualShock 4 extension data of 22 or 23 bytes, DualSense input reports of 77.
    for (uint32_t type : {PAD_DS4, PAD_DUALSENSE}) {
        m = controller_manager_create(1, type, nullptr, nullptr);
        for (uint32_t len : {10u, 22u, 77u, 200u}) {
            std::vector<uint8_t> msg(PROTO_HEADER_SIZE + len, 0x5A);
            proto_write_header(msg.data(), ControlHeader{len, 3, 0, MSG_CONTROLLER_REPORT});
            vdev_recorder_clear();
            send(MSG_CONTROLLER_REPORT, len, 3, 0, 1, msg.data(), (uint32_t)msg.size());
            size_t expect = (type == PAD_DS4 && len == 22) || (type == PAD_DUALSENSE && len == 77) ? 1 : 0;
            std::vector<std::string> calls = vdev_recorded();
            size_t submits = 0;
            for (const std::string &c : calls) submits += c.rfind("pad_submit", 0) == 0;
            EXPECT_EQ(submits, expect) << type << " " << len;
            if (submits && type == PAD_DUALSENSE) {
                EXPECT_EQ(calls.back(), "pad_submit(0,5a5a5a5a5a5a5a5a)");
            }
        }
        controller_manager_destroy(&m);
    }
    vdev_set_backend(nullptr);
}

TEST(InputPads, TabletAndMicrophoneAreMadeOnFirstUse) {
    vdev_set_backend(&vdev_recording_backend);
    VirtualUsbHost vusb = {};
    GuestInfo guest = {};
    InputState s = {};
    int32_t out[4] = {};
    auto send = [&](uint32_t len, uint32_t b, uint32_t c, uint32_t sent = 0) {
        std::vector<uint8_t> msg(PROTO_HEADER_SIZE + (sent ? sent : len));
        proto_write_header(msg.data(), ControlHeader{len, b, c, MSG_TABLET_REPORT});
        ControlHeader h = {len, b, c, MSG_TABLET_REPORT};
        size_t before = vdev_recorded().size();
        host_input_dispatch(&s, 0, out, nullptr, &vusb, &h, msg.data(), (uint32_t)msg.size(), &guest, 0);
        std::vector<std::string> calls = vdev_recorded();
        return std::vector<std::string>(calls.begin() + (long)before, calls.end());
    };
    const uint32_t tablet = 0x056A0357, mic = 0xF055F055;
    using Calls = std::vector<std::string>;
    EXPECT_EQ(send(1932, 0, tablet), Calls{});  // tablet mode off
    vusb.tablet_mode = 1;
    vusb.microphone_mode = 2;
    EXPECT_EQ(send(1932, 1, tablet), Calls{});       // wrong device byte
    EXPECT_EQ(send(0, 0, tablet), Calls{});          // no payload
    EXPECT_EQ(send(1932, 0, tablet, 100), Calls{});  // cut short
    EXPECT_EQ(send(4096, 0, tablet), Calls{});       // larger than any packet
    EXPECT_EQ(send(2048, 0, tablet), Calls{"vtablet_init()"});
    EXPECT_EQ(send(1932, 0, tablet), Calls{});
    EXPECT_EQ(vusb.tablet, 1);
    vdev_recorder_fail("vmicrophone_init", 5);
    EXPECT_EQ(send(480, 1, mic), Calls{"vmicrophone_init(1)"});
    EXPECT_EQ(vusb.microphone_mode, 0u);
    EXPECT_EQ(send(480, 1, mic), Calls{});
    vdev_recorder_clear();
    vdev_set_backend(nullptr);
}
}  // namespace
