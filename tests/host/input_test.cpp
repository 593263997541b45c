// Guests' input arriving in a window of a private Xvfb, permission gates, no key
// left pressed; pads, pens and the tablet against recording back-ends.
#include <gtest/gtest.h>

#include <X11/XF86keysym.h>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "compat/pointer/pointer.h"
#include "host/host.h"
#include "host/input.h"
#include "host/input_x11.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "support/xvfb.h"
#include "vdev/controller_input.h"

namespace {

using Seen = std::vector<std::string>;

// A focused window over the whole screen that records what reaches it.
class InputTest : public ::testing::Test {
   protected:
    void SetUp() override {
        if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
        dpy_ = XOpenDisplay(nullptr);
        XSetWindowAttributes a = {};
        a.override_redirect = True;
        a.event_mask = StructureNotifyMask | KeyPressMask | KeyReleaseMask | ButtonPressMask |
                       ButtonReleaseMask | PointerMotionMask;
        win_ = XCreateWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, DisplayWidth(dpy_, 0),
                             DisplayHeight(dpy_, 0), 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect | CWEventMask, &a);
        XMapRaised(dpy_, win_);
        XEvent e;
        do XNextEvent(dpy_, &e);
        while (e.type != MapNotify);
        XSetInputFocus(dpy_, win_, RevertToParent, CurrentTime);
        XSync(dpy_, False);
        input_state_init(&s_);
        info_.keyboard = info_.mouse = 1;
    }
    void TearDown() override {
        if (!dpy_) return;
        input_release_keys(&s_);
        input_release_buttons(&s_);
        if (xinput_caps_lock()) input_tap_key(XKEY_CAPSLOCK);
        if (xinput_num_lock()) input_tap_key(XKEY_NUMLOCK);
        XCloseDisplay(dpy_);
    }
    void send(uint8_t type, uint32_t a, uint32_t b, uint32_t c = 0, uint8_t allowed = 1) {
        ControlHeader h = {a, b, c, type};
        host_input_dispatch(&s_, relative_, output_, nullptr, nullptr, &h, nullptr, 0, &info_, allowed);
    }
    // What arrived up to a marker (F19, which no test sends): "+keycode", "-keycode",
    // "b+button", "b-button", "x,y" for motion (when asked).
    Seen seen(bool motion = false) {
        uint32_t marker = xinput_keycode(0x6A);
        xinput_key(0x6A, true);
        xinput_key(0x6A, false);
        Seen out;
        for (;;) {
            pollfd p = {ConnectionNumber(dpy_), POLLIN, 0};
            if (!XPending(dpy_) && poll(&p, 1, 5000) <= 0) return out;
            XEvent e;
            XNextEvent(dpy_, &e);
            bool key = e.type == KeyPress || e.type == KeyRelease;
            if (key && e.xkey.keycode == marker) {
                if (e.type == KeyRelease) return out;
            } else if (key) {
                out.push_back((e.type == KeyPress ? "+" : "-") + std::to_string(e.xkey.keycode));
            } else if (e.type == ButtonPress || e.type == ButtonRelease) {
                out.push_back((e.type == ButtonPress ? "b+" : "b-") + std::to_string(e.xbutton.button));
            } else if (e.type == MotionNotify && motion) {
                out.push_back(std::to_string(e.xmotion.x_root) + "," + std::to_string(e.xmotion.y_root));
            }
        }
    }
    std::string key(uint32_t k, bool down) { return (down ? "+" : "-") + std::to_string(xinput_keycode(k)); }
    // "x,y" of the pointer, then "+" when any key or button is held.
    std::string pointer() {
        Window r, c;
        int x, y, wx, wy;
        unsigned m;
        char keys[32];
        XQueryPointer(dpy_, DefaultRootWindow(dpy_), &r, &c, &x, &y, &wx, &wy, &m);
        XQueryKeymap(dpy_, keys);
        bool held =
            (m & (Button1Mask | Button2Mask | Button3Mask)) || std::string(keys, 32) != std::string(32, 0);
        return std::to_string(x) + "," + std::to_string(y) + (held ? "+" : "");
    }

    Display *dpy_ = nullptr;
    Window win_ = 0;
    InputState s_;
    GuestInfo info_ = {};
    uint8_t relative_ = 0;
    int32_t output_[4] = {100, 50, 900, 650};
};

TEST_F(InputTest, KeysReachTheirXKeysWithModifiersAndLocks) {
    for (uint32_t c = 0; c < INPUT_KEY_CODES; c++) {
        uint16_t e = ScanCodeTable[c];
        uint32_t k = c == 72 ? XKEY_PAUSE : (e & 0xFF) | ((e >> 8) == 0xE0) << 8;
        EXPECT_TRUE(!e || xinput_keycode(k)) << c;
    }
    const uint32_t wires[] = {4, 40, 70, 72, 76, 84, 88, 228, 227, 127};
    const KeySym syms[] = {XK_a,         XK_Return,   XK_Print,     XK_Pause,   XK_Delete,
                           XK_KP_Divide, XK_KP_Enter, XK_Control_R, XK_Super_L, XF86XK_AudioMute};
    for (size_t i = 0; i < std::size(wires); i++) {
        send(MSG_KEY, wires[i], 0, 1);
        send(MSG_KEY, wires[i], 0, 0);
        EXPECT_EQ(XkbKeycodeToKeysym(dpy_, (KeyCode)std::stoi(seen().at(0).substr(1)), 0, 0), syms[i])
            << wires[i];
    }
    // Shift + a; right Shift held by another guest goes up with left Shift when the guest no longer holds it.
    InputState other;
    input_state_init(&other);
    ControlHeader rshift = {229, 0x2, 1, MSG_KEY};
    input_inject_key(&other, &rshift);
    send(MSG_KEY, 225, 0x3, 1);
    send(MSG_KEY, 4, 0x3, 1);
    send(MSG_KEY, 225, 0, 0);
    EXPECT_EQ(seen(), (Seen{key(XKEY_RSHIFT, 1), key(XKEY_LSHIFT, 1), key(0x1E, 1), key(XKEY_LSHIFT, 0),
                            key(XKEY_RSHIFT, 0)}));
    // Caps Lock wanted: one tap first; wanted again: none; turned off locally while still wanted: left alone.
    send(MSG_KEY, 4, 0x2000, 0);
    EXPECT_EQ(seen(), (Seen{key(XKEY_CAPSLOCK, 1), key(XKEY_CAPSLOCK, 0), key(0x1E, 0)}));
    input_tap_key(XKEY_CAPSLOCK);
    send(MSG_KEY, 4, 0x2000, 1);
    EXPECT_FALSE(xinput_caps_lock());
    // The Num Lock key itself never taps; unknown codes and ups of keys never pressed are dropped;
    // Print Screen with Alt is SysRq.
    send(MSG_KEY, 83, 0x3000, 1);
    send(MSG_KEY, 5, 0x3000, 0);
    send(MSG_KEY, 300, 0x3000, 1);
    send(MSG_KEY, 70, 0x3100, 1);
    EXPECT_EQ(seen(), (Seen{key(XKEY_CAPSLOCK, 1), key(XKEY_CAPSLOCK, 0), key(0x1E, 1), key(XKEY_NUMLOCK, 1),
                            key(0x54, 1)}));
    EXPECT_TRUE(xinput_num_lock());
    // On a Japanese layout key 100 is Ro.
    ASSERT_EQ(xvfb_run("setxkbmap -layout jp"), 0);
    EXPECT_EQ((send(MSG_KEY, 100, 0x3000, 1), seen()), (Seen{key(0x73, 1)}));
    ASSERT_EQ(xvfb_run("setxkbmap -layout us"), 0);
}

TEST_F(InputTest, MouseButtonsWheelMotionAndPen) {
    send(MSG_MOUSE_MOTION, 0, 10, 20);
    EXPECT_EQ((seen(), pointer()), "110,70");
    send(MSG_MOUSE_MOTION, 0, 5000, (uint32_t)-3);  // clamped to the output
    EXPECT_EQ((seen(), pointer()), "899,50");
    for (uint32_t b : {1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 1}) send(MSG_MOUSE_BUTTON, b, s_.buttons[b % 8] == 0);
    EXPECT_EQ(seen(), (Seen{"b+1", "b+2", "b+3", "b+8", "b+9", "b-1", "b-2", "b-3", "b-8", "b-9", "b+1"}));
    // Notches of 120, vertical first; halves add up; a turn forgets the half; a hostile delta is bounded.
    for (auto [h, v] : {std::pair{120, 240}, {0, -60}, {0, -60}, {0, 60}, {-120, 0}})
        send(MSG_MOUSE_WHEEL, (uint32_t)h, (uint32_t)v);
    EXPECT_EQ(seen(), (Seen{"b+4", "b-4", "b+4", "b-4", "b+7", "b-7", "b+5", "b-5", "b+6", "b-6"}));
    EXPECT_EQ((send(MSG_MOUSE_WHEEL, 0, 0x7FFFFFFF), seen().size()), 128u);
    // A hidden pointer moves by differences: the first position is only remembered.
    relative_ = 1;
    send(MSG_MOUSE_MOTION, 0, 50, 50);
    send(MSG_MOUSE_MOTION, 0, 52, 47);
    EXPECT_EQ((seen(), pointer()), "901,47+");  // the left button is still down
    // Differences of extreme positions are taken wide and clamped, not wrapped.
    send(MSG_MOUSE_MOTION, 0, 0x80000000u, 0x7FFFFFFFu);
    send(MSG_MOUSE_MOTION, 0, 0x7FFFFFFFu, 0x80000000u);
    EXPECT_EQ((seen(), pointer()), std::to_string(DisplayWidth(dpy_, 0) - 1) + ",0+");
    relative_ = 0;
    // A pen without pointer injection drives the pointer: moves, and the left button on contact.
    input_release_buttons(&s_);
    for (uint32_t c : {0, 2, 2, 0}) send(MSG_PEN, (30 + c) << 16 | 40, 0, c);
    EXPECT_EQ(seen(true), (Seen{"b-1", "130,90", "132,90", "b+1", "132,90", "130,90", "b-1"}));
}

TEST_F(InputTest, PermissionsGateAndNothingStaysPressed) {
    // keyboard, mouse, allowed -> events arriving of a key and a button pressed and released
    for (auto [keyboard, mouse, allowed, events] :
         {std::array{1, 1, 1, 4}, {0, 1, 1, 2}, {1, 0, 1, 2}, {1, 1, 0, 0}}) {
        info_.keyboard = (uint8_t)keyboard;
        info_.mouse = (uint8_t)mouse;
        for (uint32_t down : {1, 0}) {
            send(MSG_KEY, 4, 0, down, (uint8_t)allowed);
            send(MSG_MOUSE_BUTTON, 1, down, 0, (uint8_t)allowed);
        }
        EXPECT_EQ(seen().size(), (size_t)events) << keyboard << mouse << allowed;
    }
    // A key message without keyboard permission lets go of what the guest holds.
    info_.keyboard = info_.mouse = 1;
    send(MSG_KEY, 224, 0x40, 1);
    info_.keyboard = 0;
    send(MSG_KEY, 5, 0, 1);
    EXPECT_EQ(seen(), (Seen{key(0x1D, 1), key(0x1D, 0)}));
    info_.keyboard = 1;  // a guest gone with keys and buttons down leaves none down
    for (uint32_t k : {225u, 226u, 4u, 79u, 72u}) send(MSG_KEY, k, 0, 1);
    for (uint32_t b = 1; b <= 5; b++) send(MSG_MOUSE_BUTTON, b, 1);
    EXPECT_EQ((seen(), pointer().back()), '+');
    input_release_keys(&s_);
    input_release_buttons(&s_);
    EXPECT_NE((seen(), pointer().back()), '+');
}

// Pads, tablet and microphone: the recording back-end's calls (pads: slot, first 8 report bytes).
TEST(InputDevices, PadsTabletAndMicrophone) {
    vdev_set_backend(&vdev_recording_backend);
    ControllerManager *m = controller_manager_create(1, PAD_XBOX360, nullptr, nullptr);
    VirtualUsbHost vusb{};
    vusb.microphone_mode = 2;
    GuestInfo guest = {};
    guest.gamepad = 1;
    guest.userID = 42;
    InputState s = {};
    int32_t out[4] = {};
    auto send = [&](uint8_t type, uint32_t a, uint32_t b, uint32_t c, uint8_t allowed = 1, uint32_t len = 0) {
        std::vector<uint8_t> msg(PROTO_HEADER_SIZE + len, 0x5A);
        ControlHeader h = {a, b, c, type};
        proto_write_header(msg.data(), h);
        if (type == 23)
            msg = {0, 0, 0,    2,    0,    0,    0, 0, 0, 0, 0, 0, 23, 0,
                   0, 0, 0x14, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0,  0};
        size_t before = vdev_recorded().size();
        host_input_dispatch(&s, 0, out, m, &vusb, &h, msg.data(), (uint32_t)msg.size(), &guest, allowed);
        Seen calls = vdev_recorded();
        return Seen(calls.begin() + (long)before, calls.end());
    };
    EXPECT_EQ(send(4, 0, 1, 0), (Seen{"pad_plug(0,1)", "pad_submit(0,0010000000000000)"}));  // A
    EXPECT_EQ(send(4, 5, 1, 0), Seen{});                                     // guide: owner only
    EXPECT_EQ(send(5, 1, 1000, 0), Seen{"pad_submit(0,00100000000018fc)"});  // Y inverted
    // Inverting the extremes stays in range.
    EXPECT_EQ(send(5, 3, 0x80000000u, 0), Seen{"pad_submit(0,00100000000018fc)"});
    EXPECT_EQ(send(5, 1, 0x80000000u, 0), Seen{"pad_submit(0,001000000000ff7f)"});
    EXPECT_EQ(send(5, 1, 0x7FFFFFFFu, 0), Seen{"pad_submit(0,0010000000000080)"});
    EXPECT_EQ(send(4, 1, 1, 0, 0), Seen{"pad_submit(0,0000000000000000)"});  // not allowed: neutral
    EXPECT_EQ(send(23, 0, 0, 0),
              (Seen{"pad_plug(1,1)", "pad_submit(1,0010000000010000)"}));  // guide stripped
    EXPECT_EQ(send(6, 0, 0, 2), (Seen{"pad_submit(1,0000000000000000)", "pad_unplug(1)"}));
    // DualShock 4 form; raw reports: DualShock 4 extension data of 22 bytes, DualSense reports of 77.
    m->pad_type = PAD_DS4;
    controller_set_state(m, controller_pad_key(0, 0), 42,
                         PAD_BTN_UP | PAD_BTN_RIGHT | PAD_BTN_A | PAD_BTN_LB | PAD_BTN_GUIDE, 0, 0, 32767,
                         32767, 0, -32768);
    EXPECT_EQ(send(4, 3, 1, 0), Seen{"pad_submit(0,ff0180ffa1010100)"});  // triangle
    EXPECT_EQ(send(31, 22, 0, 0, 1, 22), Seen{"pad_submit(0,ff0180ffa1010100)"});
    m->pad_type = PAD_DUALSENSE;
    EXPECT_EQ(send(31, 77, 0, 0, 1, 77), Seen{"pad_submit(0,5a5a5a5a5a5a5a5a)"});
    EXPECT_EQ(send(31, 200, 0, 0, 1, 200), Seen{});
    controller_manager_destroy(&m);
    // Tablet and microphone are made on first use; a failure turns the mode off.
    const uint32_t tablet = 0x056A0357, mic = 0xF055F055;
    vusb.tablet_mode = 1;
    EXPECT_EQ(send(32, 4096, 0, tablet, 0, 4096), Seen{});  // larger than any packet
    EXPECT_EQ(send(32, 2048, 0, tablet, 0, 2048), Seen{"vtablet_init()"});
    vdev_recorder_fail("vmicrophone_init", 5);
    EXPECT_EQ(send(32, 480, 1, mic, 0, 480), Seen{"vmicrophone_init(1)"});
    EXPECT_EQ(vusb.microphone_mode, 0u);
    vtablet_destroy(&vusb.tablet);
    vdev_recorder_clear();
    vdev_set_backend(nullptr);
}

// Tablet reports: the record's kind picks its queue, the tablet's thread
// hands each on with the streamed output's place and size; other kinds and
// reports past a full queue are dropped, never blocking the guest.
TEST(InputDevices, TabletReportsCarryTheOutputsPlace) {
    vdev_set_backend(&vdev_recording_backend);
    vdev_recorder_clear();
    VirtualUsbHost vusb{};
    vusb.tablet_mode = 1;
    GuestInfo guest = {};
    guest.mouse = 1;
    InputState s = {};
    int32_t out[4] = {100, 50, 900, 650};
    auto send = [&](uint32_t kind, uint32_t payload) {
        std::vector<uint8_t> msg(PROTO_HEADER_SIZE + payload, 0);
        ControlHeader h = {payload, 0, 0x056A0357, 32};
        proto_write_header(msg.data(), h);
        std::memcpy(msg.data() + PROTO_HEADER_SIZE, &kind, 4);
        host_input_dispatch(&s, 0, out, nullptr, &vusb, &h, msg.data(), (uint32_t)msg.size(), &guest, 1);
    };
    auto submitted = [] {
        Seen out;
        for (const std::string &c : vdev_recorded())
            if (c.rfind("vtablet_submit", 0) == 0) out.push_back(c);
        return out;
    };
    send(11, 100);
    ASSERT_NE(vusb.tablet, nullptr);
    send(10, 1932);
    send(12, 1932);  // no such kind
    send(10, 4);     // shorter than the kind: the rest of the record is zero
    const Seen want = {"vtablet_submit(11,1956,100,50,900,650,800,600)",
                       "vtablet_submit(10,1956,100,50,900,650,800,600)",
                       "vtablet_submit(10,1956,100,50,900,650,800,600)"};
    for (int i = 0; i < 500 && submitted().size() < want.size(); i++) VKO_Sleep(10);
    Seen got = submitted();
    std::sort(got.begin(), got.end());
    Seen sorted = want;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(got, sorted);
    EXPECT_EQ(vusb.tablet->ready.load(), 1);
    // Pens go to the tablet's owner through the tablet, not as pointer input.
    ControlHeader pen = {10 << 16 | 20, 0, 0x2, MSG_PEN};
    host_input_dispatch(&s, 0, out, nullptr, &vusb, &pen, nullptr, 0, &guest, 1);
    EXPECT_EQ(s.pen_device, nullptr);
    EXPECT_EQ(s.pen_contact, 0);
    // A flood fills the queue: what does not fit is dropped, the guest never waits.
    for (int i = 0; i < 1000; i++) send(10, 16);
    vtablet_destroy(&vusb.tablet);
    EXPECT_EQ(vusb.tablet, nullptr);
    EXPECT_EQ(vdev_recorded().back(), "vtablet_destroy()");
    vdev_recorder_clear();
    vdev_set_backend(nullptr);
}

// Microphone packets: the samples with their flag go to the microphone once it
// is made; the length a packet claims never reaches past what arrived.
TEST(InputDevices, MicrophonePacketsReachTheMicrophone) {
    vdev_set_backend(&vdev_recording_backend);
    vdev_recorder_clear();
    VirtualUsbHost vusb{};
    vusb.microphone_mode = 1;
    GuestInfo guest = {};
    InputState s = {};
    int32_t out[4] = {};
    auto send = [&](uint32_t b, uint32_t samples, uint32_t flag, uint32_t payload) {
        std::vector<uint8_t> msg(PROTO_HEADER_SIZE + payload, 0);
        ControlHeader h = {payload, b, 0xF055F055, 32};
        proto_write_header(msg.data(), h);
        if (payload >= 8) {
            std::memcpy(msg.data() + PROTO_HEADER_SIZE, &samples, 4);
            std::memcpy(msg.data() + PROTO_HEADER_SIZE + 4, &flag, 4);
        }
        size_t before = vdev_recorded().size();
        host_input_dispatch(&s, 0, out, nullptr, &vusb, &h, msg.data(), (uint32_t)msg.size(), &guest, 1);
        Seen calls = vdev_recorded();
        return Seen(calls.begin() + (long)before, calls.end());
    };
    EXPECT_EQ(send(1, 960, 0, 968), (Seen{"vmicrophone_init(0)", "vmicrophone_submit(960,0)"}));
    EXPECT_EQ(send(1, 100000, 1, 968), Seen{"vmicrophone_submit(960,1)"});
    EXPECT_EQ(send(1, 0xFFFFFFFFu, 0, 2040), Seen{"vmicrophone_submit(2032,0)"});
    EXPECT_EQ(send(1, 4, 0, 6), Seen{});     // no room for the header
    EXPECT_EQ(send(0, 4, 0, 12), Seen{});    // b's low byte says tablet
    EXPECT_EQ(send(1, 4, 0, 4096), Seen{});  // larger than any packet
    vdev_recorder_clear();
    vdev_set_backend(nullptr);
}

// Two guests signed in as one user drive pads of their own: each guest's pad
// 0 is a slot of its own, and a guest that leaves lets go of its pads only.
TEST(InputDevices, TwoGuestsOfOneUserHavePadsOfTheirOwn) {
    vdev_set_backend(&vdev_recording_backend);
    vdev_recorder_clear();
    ControllerManager *m = controller_manager_create(1, PAD_XBOX360, nullptr, nullptr);
    InputState s = {};
    int32_t out[4] = {};
    auto press = [&](uint32_t guest_id, uint32_t button) {
        GuestInfo guest = {};
        guest.gamepad = 1;
        guest.userID = 42;
        guest.id = guest_id;
        ControlHeader h = {button, 1, 0, MSG_PAD_BUTTON};
        host_input_dispatch(&s, 0, out, m, nullptr, &h, nullptr, 0, &guest, 1);
    };
    press(1, 0);  // A
    press(2, 1);  // B
    EXPECT_EQ(vdev_recorded(), (Seen{"pad_plug(0,1)", "pad_submit(0,0010000000000000)", "pad_plug(1,1)",
                                     "pad_submit(1,0020000000000000)"}));
    vdev_recorder_clear();
    VKO_MutexLock(m->mutex);
    controller_release_guest(m, 1);
    VKO_MutexUnlock(m->mutex);
    EXPECT_EQ(vdev_recorded(), (Seen{"pad_submit(0,0000000000000000)", "pad_unplug(0)"}));
    EXPECT_EQ(m->slots[1].used, 1);
    controller_manager_destroy(&m);
    vdev_recorder_clear();
    vdev_set_backend(nullptr);
}

// Two guests' first packets at once make one tablet and one microphone: the
// first guest is held inside the device's creation while the second's packet
// arrives, and the second uses the first's device.
TEST(InputDevices, TwoGuestsFirstPacketsMakeOneDevice) {
    vdev_set_backend(&vdev_recording_backend);
    for (auto [make, use, device, b] : {std::tuple{"vtablet_init", "vtablet_submit", 0x056A0357u, 0u},
                                        {"vmicrophone_init", "vmicrophone_submit", 0xF055F055u, 1u}}) {
        vdev_recorder_clear();
        VirtualUsbHost vusb{};
        vusb.tablet_mode = 1;
        vusb.microphone_mode = 1;
        auto guest_sends = [&, device = device, b = b] {
            InputState s = {};
            GuestInfo guest = {};
            int32_t out[4] = {0, 0, 800, 600};
            std::vector<uint8_t> msg(PROTO_HEADER_SIZE + 16, 0);
            ControlHeader h = {16, b, device, MSG_TABLET_REPORT};
            proto_write_header(msg.data(), h);
            msg[PROTO_HEADER_SIZE] = b ? 8 : 10;  // microphone: 8 bytes of samples; tablet: kind 10
            host_input_dispatch(&s, 0, out, nullptr, &vusb, &h, msg.data(), (uint32_t)msg.size(), &guest, 1);
        };
        vdev_recorder_hold(make, true);
        std::thread first(guest_sends);
        EXPECT_TRUE(vdev_recorder_wait_entered(make, 1, 10000)) << make;
        std::thread second(guest_sends);
        // The second guest waits for the device being made; it makes none of its own.
        EXPECT_FALSE(vdev_recorder_wait_entered(make, 2, 500)) << make;
        vdev_recorder_hold(make, false);
        first.join();
        second.join();
        EXPECT_TRUE(vdev_recorder_wait_entered(use, 2, 10000)) << use;
        size_t made = 0;
        for (const std::string &c : vdev_recorded()) made += c.rfind(make, 0) == 0;
        EXPECT_EQ(made, 1u) << make;
        vtablet_destroy(&vusb.tablet);
    }
    vdev_recorder_clear();
    vdev_set_backend(nullptr);
}

std::vector<PointerPenInfo> g_pen;  // what a recording pointer facility was given
const PointerApi kPenApi = {
    [](uint32_t, uint32_t, uint32_t, uint32_t *) -> void * { return &g_pen; },
    [](void *) {},
    [](void *, const PointerPenInfo *info, uint32_t count, uint32_t *) {
        g_pen.insert(g_pen.end(), info, info + count);
        return true;
    },
};

TEST(InputDevices, PenContactsBecomePointerInput) {
    pointer_set_api(&kPenApi);
    InputState s = {};
    GuestInfo guest = {};
    guest.mouse = 1;
    int32_t out[4] = {100, 50, 900, 650};
    auto send = [&](uint32_t c) {
        ControlHeader h = {10 << 16 | 20, 512 << 16 | 90, 0xF6u << 16 | 0x05u << 8 | c, MSG_PEN};
        g_pen.clear();
        host_input_dispatch(&s, 0, out, nullptr, nullptr, &h, nullptr, 0, &guest, 1);
        std::vector<uint32_t> flags;
        for (const PointerPenInfo &p : g_pen)
            flags.push_back(p.pointer_flags & ~0x6000u);  // primary, confident
        return flags;
    };
    using F = std::vector<uint32_t>;
    const uint32_t in = POINTER_FLAG_INRANGE, down = POINTER_FLAG_INCONTACT | POINTER_FLAG_FIRSTBUTTON;
    EXPECT_EQ(send(0), F{POINTER_FLAG_NEW | in | POINTER_FLAG_UPDATE});
    const PointerPenInfo p = g_pen.at(0);
    EXPECT_EQ(std::vector<int32_t>({p.x, p.y, (int32_t)p.pressure, (int32_t)p.rotation, p.tilt_x, p.tilt_y}),
              std::vector<int32_t>({113, 73, 512, 90, -10, 5}));
    EXPECT_EQ(send(0x2), F{in | down | POINTER_FLAG_DOWN});
    EXPECT_EQ(send(0x12), F{in | POINTER_FLAG_INCONTACT | POINTER_FLAG_SECONDBUTTON | POINTER_FLAG_UPDATE});
    EXPECT_EQ(g_pen[0].pen_flags, PEN_FLAG_BARREL);
    EXPECT_EQ(send(0xD), F{POINTER_FLAG_UP});
    EXPECT_EQ(g_pen[0].pen_flags, PEN_FLAG_ERASER | PEN_FLAG_INVERTED);
    EXPECT_EQ(send(0x82),
              (F{in | down | POINTER_FLAG_DOWN, in | POINTER_FLAG_UP, in | down | POINTER_FLAG_DOWN}));
}

}  // namespace
