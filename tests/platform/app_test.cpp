// The app object under Xvfb: the run loop, keys as set-1 codes with their
// modifier bits, text, mouse buttons and wheels, the released-button check,
// raw relative motion, hotkeys (local and global), the keyboard grab, and
// XInput pads through a scripted source.
#include <gtest/gtest.h>

#include <X11/XF86keysym.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>

#include <algorithm>
#include <map>

#include "compat/xinput/xinput.h"
#include "platform/hid.h"
#include "platform/app_internal.h"
#include "platform/x11/error_trap.h"
#include "platform/x11/x11_app.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "platform/app_harness.h"

namespace {

class AppTest : public ::testing::Test {
   protected:
    void SetUp() override {
        if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
        h = std::make_unique<AppHarness>();
        ASSERT_NE(h->app, nullptr);
    }
    void TearDown() override {
        h.reset();
        // Leave no lock on for the next test.
        if (d.caps_on()) d.tap(XK_Caps_Lock);
        unsigned st = 0;
        XkbGetIndicatorState(d.dpy, XkbUseCoreKbd, &st);
        if (st & 2) d.tap(XK_Num_Lock);
    }
    // Keys seen since the last call, as (key, pressed).
    std::vector<VKO_Event> take(VKO_EventType type) {
        auto v = h->of(type);
        h->events.clear();
        return v;
    }
    bool pump_count(VKO_EventType type, size_t n) {
        return h->pump_until([&] { return h->count(type) >= n; });
    }

    std::unique_ptr<AppHarness> h;
    Driver d;
};

struct KeyCase {
    uint32_t key;
    KeySym sym;
};

// Every key the app maps, by the keysym the server's keymap gives it.
const KeyCase kKeys[] = {
    {0x01, XK_Escape},      {0x02, XK_1},           {0x03, XK_2},
    {0x04, XK_3},           {0x05, XK_4},           {0x06, XK_5},
    {0x07, XK_6},           {0x08, XK_7},           {0x09, XK_8},
    {0x0A, XK_9},           {0x0B, XK_0},           {0x0C, XK_minus},
    {0x0D, XK_equal},       {0x0E, XK_BackSpace},   {0x0F, XK_Tab},
    {0x10, XK_q},           {0x11, XK_w},           {0x12, XK_e},
    {0x13, XK_r},           {0x14, XK_t},           {0x15, XK_y},
    {0x16, XK_u},           {0x17, XK_i},           {0x18, XK_o},
    {0x19, XK_p},           {0x1A, XK_bracketleft}, {0x1B, XK_bracketright},
    {0x1C, XK_Return},      {0x1D, XK_Control_L},   {0x1E, XK_a},
    {0x1F, XK_s},           {0x20, XK_d},           {0x21, XK_f},
    {0x22, XK_g},           {0x23, XK_h},           {0x24, XK_j},
    {0x25, XK_k},           {0x26, XK_l},           {0x27, XK_semicolon},
    {0x28, XK_apostrophe},  {0x29, XK_grave},       {0x2A, XK_Shift_L},
    {0x2B, XK_backslash},   {0x2C, XK_z},           {0x2D, XK_x},
    {0x2E, XK_c},           {0x2F, XK_v},           {0x30, XK_b},
    {0x31, XK_n},           {0x32, XK_m},           {0x33, XK_comma},
    {0x34, XK_period},      {0x35, XK_slash},       {0x36, XK_Shift_R},
    {0x37, XK_KP_Multiply}, {0x38, XK_Alt_L},       {0x39, XK_space},
    {0x3A, XK_Caps_Lock},   {0x3B, XK_F1},          {0x3C, XK_F2},
    {0x3D, XK_F3},          {0x3E, XK_F4},          {0x3F, XK_F5},
    {0x40, XK_F6},          {0x41, XK_F7},          {0x42, XK_F8},
    {0x43, XK_F9},          {0x44, XK_F10},         {0x145, XK_Num_Lock},
    {0x46, XK_Scroll_Lock}, {0x47, XK_KP_Home},     {0x48, XK_KP_Up},
    {0x49, XK_KP_Prior},    {0x4A, XK_KP_Subtract}, {0x4B, XK_KP_Left},
    {0x4C, XK_KP_Begin},    {0x4D, XK_KP_Right},    {0x4E, XK_KP_Add},
    {0x4F, XK_KP_End},      {0x50, XK_KP_Down},     {0x51, XK_KP_Next},
    {0x52, XK_KP_Insert},   {0x53, XK_KP_Delete},   {0x57, XK_F11},
    {0x58, XK_F12},         {0x11C, XK_KP_Enter},   {0x11D, XK_Control_R},
    {0x135, XK_KP_Divide},  {0x137, XK_Print},      {0x45, XK_Pause},
    {0x147, XK_Home},       {0x148, XK_Up},         {0x149, XK_Prior},
    {0x14B, XK_Left},       {0x14D, XK_Right},      {0x14F, XK_End},
    {0x150, XK_Down},       {0x151, XK_Next},       {0x152, XK_Insert},
    {0x153, XK_Delete},     {0x15B, XK_Super_L},    {0x15C, XK_Super_R},
    {0x15D, XK_Menu},
};
// Keys beyond the main block that the host's injection sends as well: read
// with the codes it sends them by.
const KeyCase kMediaKeys[] = {{0x120, XF86XK_AudioMute}, {0x12E, XF86XK_AudioLowerVolume}};

TEST_F(AppTest, EveryMappedKeyArrivesAsItsSetOneCodeWithItsOwnModifierBit) {
    ASSERT_EQ(h->open_window(), 0);
    h->events.clear();
    std::vector<KeyCase> all(std::begin(kKeys), std::end(kKeys));
    all.insert(all.end(), std::begin(kMediaKeys), std::end(kMediaKeys));
    std::vector<uint32_t> expected;
    for (const KeyCase &k : all) {
        unsigned kc = d.keycode(k.sym);
        ASSERT_NE(kc, 0u) << std::hex << k.key;
        d.key(kc, true);
        d.key(kc, false);
        if (k.sym == XK_Caps_Lock || k.sym == XK_Num_Lock) {  // toggle back
            d.key(kc, true);
            d.key(kc, false);
        }
        expected.push_back(k.key);
    }
    ASSERT_TRUE(pump_count(VKO_EVENT_KEY, expected.size() * 2 + 4));
    auto keys = h->of(VKO_EVENT_KEY);
    size_t at = 0;
    std::map<uint32_t, uint32_t> own = {{0x2A, 0x001}, {0x36, 0x002},  {0x1D, 0x004},  {0x11D, 0x008},
                                        {0x38, 0x010}, {0x138, 0x020}, {0x15B, 0x040}, {0x15C, 0x080}};
    for (const KeyCase &k : all) {
        int rounds = (k.sym == XK_Caps_Lock || k.sym == XK_Num_Lock) ? 2 : 1;
        for (int r = 0; r < rounds; r++) {
            ASSERT_LT(at + 1, keys.size());
            const auto &p = keys[at].key, &rel = keys[at + 1].key;
            EXPECT_EQ(p.key, k.key) << "press of " << XKeysymToString(k.sym);
            EXPECT_TRUE(p.pressed);
            EXPECT_EQ(rel.key, k.key) << "release of " << XKeysymToString(k.sym);
            EXPECT_FALSE(rel.pressed);
            if (own.count(k.key)) {
                EXPECT_EQ(p.mods & 0xFF, own[k.key]) << "a modifier's press carries its own bit";
                EXPECT_EQ(rel.mods & 0xFF, 0u);
            } else {
                EXPECT_EQ(p.mods & 0xFF, 0u) << XKeysymToString(k.sym);
            }
            at += 2;
        }
    }
    // Virtual keys of the system's key messages.
    EXPECT_EQ(keys[0].key.virtual_key, 0x1Bu);
}

TEST_F(AppTest, LocksModifiersAndText) {
    ASSERT_EQ(h->open_window(), 0);
    h->events.clear();
    d.tap(XK_Caps_Lock);
    d.tap(XK_a);
    d.key(d.keycode(XK_Shift_R), true);
    d.tap(XK_a);
    d.key(d.keycode(XK_Shift_R), false);
    d.tap(XK_Caps_Lock);
    d.tap(XK_Num_Lock);
    d.tap(XK_KP_Home);
    d.tap(XK_Num_Lock);
    ASSERT_TRUE(pump_count(VKO_EVENT_KEY, 16));
    auto keys = h->of(VKO_EVENT_KEY);
    EXPECT_EQ(keys[0].key.mods, 0x100u) << "Caps Lock's press turns the toggle on";
    EXPECT_EQ(keys[2].key.mods, 0x100u);
    EXPECT_EQ(keys[4].key.mods, 0x102u) << "right Shift down, Caps on";
    EXPECT_EQ(keys[5].key.mods, 0x102u);
    EXPECT_EQ(keys[8].key.mods & 0x100u, 0u) << "Caps Lock's second press turns it off";
    EXPECT_EQ(keys[10].key.mods, 0x200u);
    EXPECT_EQ(keys[12].key.virtual_key, 0x67u) << "numpad 7 with Num Lock on";
    auto text = h->of(VKO_EVENT_TEXT);
    ASSERT_GE(text.size(), 2u);
    EXPECT_STREQ(text[0].text, "A");
    EXPECT_STREQ(text[1].text, "a") << "Shift with Caps Lock";
}

TEST_F(AppTest, PrintScreenGivesOnePressAndOneRelease) {
    ASSERT_EQ(h->open_window(), 0);
    h->events.clear();
    d.tap(XK_Print);
    ASSERT_TRUE(pump_count(VKO_EVENT_KEY, 2));
    h->pump(100);
    auto keys = h->of(VKO_EVENT_KEY);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_TRUE(keys[0].key.pressed);
    EXPECT_FALSE(keys[1].key.pressed);
    EXPECT_EQ(keys[0].key.key, 0x137u);
}

TEST_F(AppTest, ButtonsWheelsAndMotionInClientCoordinates) {
    VKO_Frame f = {0, 400, 300, "", 100, 100};
    ASSERT_EQ(h->open_window(&f), 0);
    d.move(150, 170);
    h->events.clear();
    const unsigned buttons[] = {1, 2, 3, 8, 9};
    for (unsigned b : buttons) {
        d.button(b, true);
        d.button(b, false);
    }
    for (unsigned b = 4; b <= 7; b++) {
        d.button(b, true);
        d.button(b, false);
    }
    ASSERT_TRUE(
        h->pump_until([&] { return h->count(VKO_EVENT_BUTTON) >= 10 && h->count(VKO_EVENT_SCROLL) >= 4; }));
    auto b = h->of(VKO_EVENT_BUTTON);
    const uint32_t want[] = {1, 3, 2, 4, 5};
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(b[i * 2].button.button, want[i]);
        EXPECT_TRUE(b[i * 2].button.pressed);
        EXPECT_FALSE(b[i * 2 + 1].button.pressed);
        EXPECT_EQ(b[i * 2].button.x, 50);
        EXPECT_EQ(b[i * 2].button.y, 70);
    }
    auto s = h->of(VKO_EVENT_SCROLL);
    EXPECT_EQ(s[0].scroll.y, 120);
    EXPECT_EQ(s[1].scroll.y, -120);
    EXPECT_EQ(s[2].scroll.x, -120);
    EXPECT_EQ(s[3].scroll.x, 120);
    h->events.clear();
    d.move(160, 180);
    ASSERT_TRUE(pump_count(VKO_EVENT_MOTION, 1));
    auto m = h->of(VKO_EVENT_MOTION).back();
    EXPECT_EQ(m.motion.x, 60);
    EXPECT_EQ(m.motion.y, 80);
    EXPECT_EQ(m.motion.relative, 0);
}

// The message hook takes the release (as when it goes to another window):
// the loop's check sees the button up and releases it with coordinates 0.
TEST_F(AppTest, ButtonReleaseTakenByTheHookIsReleasedByTheLoop) {
    ASSERT_EQ(h->open_window(), 0);
    d.move(200, 200);
    static int taken;
    taken = 0;
    VKO_AppSetMessageHook(h->app,
                          [](VKO_App *, int32_t index, void *native, uint32_t message, uintptr_t wparam,
                             intptr_t, bool *handled, void *) -> intptr_t {
                              EXPECT_EQ(index, 0);
                              EXPECT_NE(native, nullptr);
                              EXPECT_EQ(((XEvent *)wparam)->type, (int)message);
                              if (message == ButtonRelease) *handled = true, taken++;
                              return 0;
                          });
    d.button(1, true);
    d.button(1, false);
    ASSERT_TRUE(pump_count(VKO_EVENT_BUTTON, 2));
    EXPECT_EQ(taken, 1);
    auto b = h->of(VKO_EVENT_BUTTON);
    EXPECT_TRUE(b[0].button.pressed);
    EXPECT_EQ(b[0].button.x, 100);
    EXPECT_EQ(b[1].button.button, 1u);
    EXPECT_FALSE(b[1].button.pressed);
    EXPECT_EQ(b[1].button.x, 0);
    EXPECT_EQ(b[1].button.y, 0);
    VKO_AppSetMessageHook(h->app, nullptr);
}

TEST_F(AppTest, RelativeModeGivesRawMotionOnlyAndSwappedButtonsStayHeld) {
    ASSERT_EQ(h->open_window(), 0);
    d.move(300, 250);
    VKO_AppSetRelativeMouse(h->app, true);
    h->pump(50);
    h->events.clear();
    d.move_by(7, -3);
    ASSERT_TRUE(pump_count(VKO_EVENT_MOTION, 1));
    h->pump(50);
    for (const auto &m : h->of(VKO_EVENT_MOTION))
        EXPECT_EQ(m.motion.relative, 1) << "no core motion while raw";
    auto m = h->of(VKO_EVENT_MOTION)[0];
    EXPECT_EQ(m.motion.x, 7);
    EXPECT_EQ(m.motion.y, -3);
    int px, py;
    d.pointer(&px, &py);
    EXPECT_EQ(px, 300);
    EXPECT_EQ(py, 250) << "clipped to the saved point";

    // Swapped buttons: a held physical left is the logical right, and the
    // loop's release check must not let it go.
    unsigned char map[256];
    int n = XGetPointerMapping(d.dpy, map, sizeof(map));
    ASSERT_GE(n, 3);
    std::swap(map[0], map[2]);
    ASSERT_EQ(XSetPointerMapping(d.dpy, map, n), MappingSuccess);
    XSync(d.dpy, False);
    h->events.clear();
    d.button(1, true);
    ASSERT_TRUE(pump_count(VKO_EVENT_BUTTON, 1));
    h->pump(100);
    auto b = h->of(VKO_EVENT_BUTTON);
    ASSERT_EQ(b.size(), 1u) << "one press, no made-up release";
    EXPECT_EQ(b[0].button.button, 2u);
    d.button(1, false);
    ASSERT_TRUE(pump_count(VKO_EVENT_BUTTON, 2));
    EXPECT_FALSE(h->of(VKO_EVENT_BUTTON)[1].button.pressed);
    std::swap(map[0], map[2]);
    XSetPointerMapping(d.dpy, map, n);
    XSync(d.dpy, False);
    VKO_AppSetRelativeMouse(h->app, false);
}

TEST_F(AppTest, LocalHotkeyMatchesWithCapsOnAndItsReleaseIsNoEvent) {
    ASSERT_EQ(h->open_window(), 0);
    ASSERT_TRUE(VKO_AppSetHotkey(h->app, 0, 0x004, 0x1E, 77));  // left Ctrl + A
    h->events.clear();
    d.tap(XK_Caps_Lock);
    d.key(d.keycode(XK_Control_L), true);
    d.tap(XK_a);
    d.key(d.keycode(XK_Control_L), false);
    d.tap(XK_Caps_Lock);
    ASSERT_TRUE(pump_count(VKO_EVENT_HOTKEY, 1));
    h->pump(100);
    auto hk = h->of(VKO_EVENT_HOTKEY);
    ASSERT_EQ(hk.size(), 1u);
    EXPECT_EQ(hk[0].hotkey, 77u);
    for (const auto &k : h->of(VKO_EVENT_KEY))
        EXPECT_NE(k.key.key, 0x1Eu) << "neither press nor release as a key";
    VKO_AppRemoveHotkeys(h->app, 0);
    h->events.clear();
    d.tap(XK_a);
    ASSERT_TRUE(pump_count(VKO_EVENT_KEY, 2));
    EXPECT_FALSE(h->has(VKO_EVENT_HOTKEY));
}

TEST_F(AppTest, GlobalHotkeyFiresThroughRootAndConflictsAreRefused) {
    ASSERT_EQ(h->open_window(), 0);
    LogCapture log;
    // Alt+F9 through the root window while another client has the focus.
    ASSERT_TRUE(VKO_AppSetHotkey(h->app, 1, 0x010, 0x43, 5));
    Window other = XCreateSimpleWindow(d.dpy, d.root(), 0, 0, 50, 50, 0, 0, 0);
    XMapWindow(d.dpy, other);
    XSync(d.dpy, False);
    h->pump(50);
    XSetInputFocus(d.dpy, other, RevertToParent, CurrentTime);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return !VKO_AppIsActive(h->app); }));
    h->events.clear();
    d.key(d.keycode(XK_Alt_L), true);
    d.tap(XK_F9);
    d.key(d.keycode(XK_Alt_L), false);
    ASSERT_TRUE(pump_count(VKO_EVENT_HOTKEY, 1));
    EXPECT_EQ(h->of(VKO_EVENT_HOTKEY)[0].hotkey, 5u);

    // A combination the driver holds already.
    unsigned f8 = d.keycode(XK_F8);
    XGrabKey(d.dpy, f8, ControlMask, d.root(), False, GrabModeAsync, GrabModeAsync);
    XSync(d.dpy, False);
    EXPECT_FALSE(VKO_AppSetHotkey(h->app, 1, 0x004, 0x42, 6));
    EXPECT_TRUE(log.contains("VKO_AppSetHotkey: 'RegisterHotKey' failed with error 0xA"));
    XUngrabKey(d.dpy, f8, ControlMask, d.root());

    // Re-registering over a grab another client took meanwhile: the old
    // registration is gone, the call fails, and no stale id stays behind.
    VKO_AppRemoveHotkeys(h->app, 1);
    XSync(d.dpy, False);
    ASSERT_TRUE(VKO_AppSetHotkey(h->app, 1, 0x010, 0x43, 5));
    VKO_AppRemoveHotkeys(h->app, 1);
    // Removal freed the combination: the driver can take it.
    {
        X11ErrorTrap trap(d.dpy);
        XGrabKey(d.dpy, d.keycode(XK_F9), Mod1Mask, d.root(), False, GrabModeAsync, GrabModeAsync);
        EXPECT_EQ(trap.sync(), 0);
        XUngrabKey(d.dpy, d.keycode(XK_F9), Mod1Mask, d.root());
    }
    XDestroyWindow(d.dpy, other);
    XSync(d.dpy, False);
}

TEST_F(AppTest, FailedReRegistrationDropsTheOldEntry) {
    ASSERT_EQ(h->open_window(), 0);
    LogCapture log;
    ASSERT_TRUE(VKO_AppSetHotkey(h->app, 1, 0x004, 0x42, 6));  // Ctrl+F8
    // Registering the same combination again with a new id fails when the
    // new grab is refused; simulate by letting the driver grab it between
    // our release and our grab: our own grab is released first, so the
    // driver's competing grab is taken right after the first call.
    VKO_App *app = h->app;
    uint32_t value = app_hotkey_value(0x004, 0x42);
    ASSERT_EQ(x11_grab_hotkey(app, value, false), 0);
    unsigned f8 = d.keycode(XK_F8);
    XGrabKey(d.dpy, f8, ControlMask, d.root(), False, GrabModeAsync, GrabModeAsync);
    XSync(d.dpy, False);
    // The map still names the old id: the next call releases (fine, we hold
    // nothing) and then fails to grab.
    EXPECT_FALSE(VKO_AppSetHotkey(app, 1, 0x004, 0x42, 9));
    EXPECT_TRUE(log.contains("VKO_AppSetHotkey: 'RegisterHotKey' failed with error 0xA"));
    XUngrabKey(d.dpy, f8, ControlMask, d.root());
    XSync(d.dpy, False);
    // Nothing is left registered: a press of Ctrl+F8 is no hotkey.
    h->events.clear();
    d.key(d.keycode(XK_Control_L), true);
    d.tap(XK_F8);
    d.key(d.keycode(XK_Control_L), false);
    ASSERT_TRUE(pump_count(VKO_EVENT_KEY, 4));
    EXPECT_FALSE(h->has(VKO_EVENT_HOTKEY));
}

TEST_F(AppTest, KeyboardGrabTakesTheWindowsKeyFromPassiveGrabs) {
    ASSERT_EQ(h->open_window(), 0);
    unsigned super = d.keycode(XK_Super_L);
    XSelectInput(d.dpy, d.root(), KeyPressMask);
    XGrabKey(d.dpy, super, AnyModifier, d.root(), False, GrabModeAsync, GrabModeAsync);
    XSync(d.dpy, False);
    VKO_AppGrabKeyboard(h->app, true);
    h->pump(100);
    h->events.clear();
    d.key(super, true);
    d.key(super, false);
    ASSERT_TRUE(pump_count(VKO_EVENT_KEY, 2));
    auto k = h->of(VKO_EVENT_KEY);
    EXPECT_EQ(k[0].key.key, 0x15Bu);
    EXPECT_EQ(k[0].key.mods, 0x40u);
    EXPECT_EQ(k[0].key.virtual_key, 0u) << "keys the grab swallows carry no virtual key";
    EXPECT_FALSE(h->has(VKO_EVENT_FOCUS)) << "the grab itself moves no focus";
    XEvent e;
    EXPECT_FALSE(XCheckTypedWindowEvent(d.dpy, d.root(), KeyPress, &e)) << "the driver's grab did not fire";
    // Focus moves away: the grab goes.
    Window other = XCreateSimpleWindow(d.dpy, d.root(), 0, 0, 50, 50, 0, 0, 0);
    XMapWindow(d.dpy, other);
    XSync(d.dpy, False);
    h->pump(50);
    XSetInputFocus(d.dpy, other, RevertToParent, CurrentTime);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return !VKO_AppIsActive(h->app); }));
    h->pump(50);
    d.key(super, true);
    d.key(super, false);
    bool fired = false;
    for (int i = 0; i < 500 && !fired; i++) {
        fired = XCheckTypedWindowEvent(d.dpy, d.root(), KeyPress, &e);
        if (!fired) usleep(10000);
    }
    EXPECT_TRUE(fired) << "with the grab gone the driver's passive grab fires again";
    XUngrabKey(d.dpy, super, AnyModifier, d.root());
    XDestroyWindow(d.dpy, other);
    XSync(d.dpy, False);
}

TEST_F(AppTest, LoopEndsWithWindowZeroAndSleepsOnlyWithATimeout) {
    ASSERT_EQ(h->open_window(), 0);
    VKO_AppSetTimeout(h->app, 0);
    h->pump(50);
    EXPECT_EQ(h->app->sleeps, 0u);
    VKO_AppSetTimeout(h->app, 1);
    int passes = 0;
    h->on_frame = [&] {
        if (++passes == 3) VKO_WindowDestroy(h->app, 0);
    };
    EXPECT_FALSE(h->pump_until([] { return false; }, 3000));
    EXPECT_EQ(passes, 3) << "the loop returns once window 0 is gone";
    EXPECT_EQ(h->app->sleeps, 3u);
}

TEST(AppHotkeyText, PrefixesInOrderAndKeyNames) {
    char buf[64];
    EXPECT_TRUE(VKO_HotkeyToText(0x0FF, 0x1E, buf, sizeof(buf)));
    EXPECT_STREQ(buf, "Win+Ctrl+Alt+Shift+A");
    EXPECT_TRUE(VKO_HotkeyToText(0x004, 0x15B, buf, sizeof(buf)));
    EXPECT_STREQ(buf, "Ctrl+Left Wi") << "names are cut to seven characters";
    EXPECT_TRUE(VKO_HotkeyToText(0, 0x3B, buf, sizeof(buf)));
    EXPECT_STREQ(buf, "F1");
    EXPECT_FALSE(VKO_HotkeyToText(0x010, 0x7F, buf, sizeof(buf))) << "a key without a name";
    EXPECT_FALSE(VKO_HotkeyToText(0x004, 0x1E, buf, 6)) << "too small for Ctrl+A";
    EXPECT_STREQ(buf, "Ctrl+");
}

// A scripted XInput runtime: one pad at index 1.
struct Pads {
    bool plugged = true;
    uint32_t packet = 1;
    VKO_XInputGamepad pad = {};
    uint16_t low = 0, high = 0;
    int queries[4] = {};
};
Pads g_pads;

uint32_t pad_state(void *, uint32_t user, XInputState *st) {
    g_pads.queries[user]++;
    if (user != 1 || !g_pads.plugged) return XINPUT_ERROR_DEVICE_NOT_CONNECTED;
    st->packet_number = g_pads.packet;
    st->gamepad = g_pads.pad;
    return XINPUT_ERROR_SUCCESS;
}
uint32_t pad_set(void *, uint32_t user, uint16_t low, uint16_t high) {
    if (user != 1) return XINPUT_ERROR_DEVICE_NOT_CONNECTED;
    g_pads.low = low, g_pads.high = high;
    return 0;
}
uint32_t pad_bus(void *, uint32_t, XInputBusInfo *info) {
    info->vendor_id = 0x045E;
    info->product_id = 0x0B12;
    return 0;
}

TEST_F(AppTest, XInputSlotsPollWhileActiveAndDisableOnUnplug) {
    static const XInputSource src = {pad_state, pad_set, pad_bus, nullptr};
    g_pads = Pads();
    xinput_set_source(&src);
    ASSERT_EQ(h->open_window(), 0);
    g_pads.pad.buttons = 0x1000;  // A
    g_pads.pad.thumb_lx = 1999;   // inside the dead zone
    g_pads.pad.right_trigger = 200;
    g_pads.packet = 2;
    ASSERT_TRUE(pump_count(VKO_EVENT_CONTROLLER, 1));
    auto c = h->of(VKO_EVENT_CONTROLLER)[0].controller;
    EXPECT_EQ(c.id, 1u);
    EXPECT_EQ(c.driver_type, (uint32_t)VKO_CTYPE_XINPUT);
    EXPECT_EQ(c.vendor_id, 0x045E);
    EXPECT_EQ(c.product_id, 0x0B12);
    EXPECT_TRUE(c.buttons[VKO_CBUTTON_SOUTH]);
    EXPECT_TRUE(c.buttons[VKO_CBUTTON_RTRIGGER]);
    EXPECT_EQ(c.values[0].data, 0);
    EXPECT_EQ(c.values[5].data, 200);
    EXPECT_FALSE(h->has(VKO_EVENT_CONNECT)) << "XInput pads connect silently";
    // Same packet: nothing; new packet with noise only inside the dead zone: nothing.
    g_pads.packet = 3;
    g_pads.pad.thumb_lx = -1500;
    h->pump(80);
    EXPECT_EQ(h->count(VKO_EVENT_CONTROLLER), 1u);
    VKO_AppRumbleController(h->app, 1, 0x1234, 0x5678);
    EXPECT_EQ(g_pads.low, 0x1234);
    EXPECT_EQ(g_pads.high, 0x5678);
    // Unplugged: one disconnect, then the slot is not asked again.
    g_pads.plugged = false;
    ASSERT_TRUE(pump_count(VKO_EVENT_DISCONNECT, 1));
    int asked = g_pads.queries[1];
    h->pump(80);
    EXPECT_EQ(h->count(VKO_EVENT_DISCONNECT), 1u);
    EXPECT_EQ(g_pads.queries[1], asked);
    auto dc = h->of(VKO_EVENT_DISCONNECT)[0].controller;
    EXPECT_EQ(dc.driver_type, 1u);
    EXPECT_EQ(dc.button_count, 17);
    EXPECT_EQ(dc.vendor_id, 0);
    // Plugged again: states come after the next device arrival, no connect.
    g_pads.plugged = true;
    g_pads.packet = 9;
    g_pads.pad.buttons = 0;
    app_device_arrival(h->app);
    ASSERT_TRUE(pump_count(VKO_EVENT_CONTROLLER, 2));
    EXPECT_FALSE(h->has(VKO_EVENT_CONNECT));
    xinput_set_source(nullptr);
}

// One gamepad node on a scripted device layer, seen through the app.
struct OnePad {
    std::vector<std::vector<uint8_t>> reports;
    std::vector<std::vector<uint8_t>> written;
};
OnePad g_pad;

TEST_F(AppTest, HidPadsConnectAlwaysAndReportStatesOnlyInFront) {
    h.reset();
    h = std::make_unique<AppHarness>(VKO_APP_FLAG_HID_EVENTS);
    g_pad = OnePad();
    static const VKO_HIDDeviceOps ops = {
        [](void *, const char *path) { return strcmp(path, "/dev/hidraw9") == 0 ? 3 : -1; },
        [](void *, int) {},
        [](void *, int, uint8_t *buf, size_t size) -> long {
            if (g_pad.reports.empty()) return 0;
            auto r = g_pad.reports.front();
            g_pad.reports.erase(g_pad.reports.begin());
            memcpy(buf, r.data(), std::min(size, r.size()));
            return (long)std::min(size, r.size());
        },
        [](void *, int, const uint8_t *b, size_t n) {
            g_pad.written.emplace_back(b, b + n);
            return true;
        },
        [](void *, int, uint8_t *, size_t) -> long { return -1; },
        [](void *, int, uint16_t *vid, uint16_t *pid, uint8_t *desc, size_t *size) {
            // A DualShock 4 with a minimal gamepad descriptor.
            static const uint8_t d[] = {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x30, 0x15,
                                        0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0};
            *vid = 0x054C, *pid = 0x05C4;
            *size = sizeof(d);
            memcpy(desc, d, sizeof(d));
            return true;
        },
        nullptr};
    vko_hid_listener_set_ops(h->app->hid, &ops);
    ASSERT_TRUE(vko_hid_listener_arrival(h->app->hid, "/dev/hidraw9"));
    ASSERT_EQ(h->count(VKO_EVENT_CONNECT), 1u) << "delivered without any window in front";
    auto c = h->of(VKO_EVENT_CONNECT)[0].controller;
    EXPECT_EQ(c.id, 32u);
    EXPECT_EQ(c.vendor_id, 0x054C);
    EXPECT_EQ(c.driver_type, 0u);
    EXPECT_EQ(VKO_AppGetControllerType(h->app, 32), VKO_CTYPE_DS4);
    EXPECT_STREQ(VKO_AppGetControllerDeviceName(h->app, 32), "/dev/hidraw9");
    ASSERT_EQ(h->open_window(), 0);
    g_pad.reports.push_back({0x01, 128, 128, 128, 128, 0x28, 0, 0, 0, 0});
    ASSERT_TRUE(pump_count(VKO_EVENT_CONTROLLER, 1));
    EXPECT_EQ(h->count(VKO_EVENT_HID), 1u);
    auto hid = h->of(VKO_EVENT_HID)[0].hid;
    EXPECT_EQ(hid.size, 10u);
    EXPECT_EQ(hid.driver_type, (uint32_t)VKO_CTYPE_DS4);
    EXPECT_TRUE(h->of(VKO_EVENT_CONTROLLER)[0].controller.buttons[1]);
    // Rumble ids from 32 go to the HID driver.
    size_t before = g_pad.written.size();
    VKO_AppRumbleController(h->app, 32, 0, 0xFFFF);
    ASSERT_EQ(g_pad.written.size(), before + 1);
    ASSERT_EQ(g_pad.written.back().size(), 78u) << "no feature report: driven as on Bluetooth";
    EXPECT_EQ(g_pad.written.back()[6], 0xFF);
    EXPECT_TRUE(VKO_AppWriteHIDReport(h->app, 32, "\x05", 1));
    // Not in front: HID events still, controller states not.
    Window other = XCreateSimpleWindow(d.dpy, d.root(), 0, 0, 10, 10, 0, 0, 0);
    XMapWindow(d.dpy, other);
    XSync(d.dpy, False);
    h->pump(30);
    XSetInputFocus(d.dpy, other, RevertToParent, CurrentTime);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return !VKO_AppIsActive(h->app); }));
    g_pad.reports.push_back({0x01, 128, 128, 128, 128, 0x08, 0, 0, 0, 0});
    ASSERT_TRUE(pump_count(VKO_EVENT_HID, 2));
    EXPECT_EQ(h->count(VKO_EVENT_CONTROLLER), 1u);
    vko_hid_listener_removal(h->app->hid, "/dev/hidraw9");
    EXPECT_EQ(h->count(VKO_EVENT_DISCONNECT), 1u);
    XDestroyWindow(d.dpy, other);
    XSync(d.dpy, False);
}

// Reports the X server cannot make (absolute raw devices, every button flag
// at once, pens) fed to the same steps the X events go through.
TEST_F(AppTest, RawReplayOrderAbsoluteDeltasAndPens) {
    ASSERT_EQ(h->open_window(), 0);
    h->events.clear();
    VKO_RawMouse all = {};
    all.x = 4, all.y = 5;
    all.buttons = 0xFFF;
    all.wheel = 240, all.hwheel = -120;
    app_raw_mouse(h->app, 0, &all);
    const char *want[] = {"B1+", "B1-", "B3+", "B3-",    "B2+",     "B2-", "B4+",
                          "B4-", "B5+", "B5-", "S0,240", "S-120,0", "M4,5"};
    ASSERT_EQ(h->events.size(), 13u);
    for (size_t i = 0; i < 13; i++) {
        const VKO_Event &e = h->events[i].ev;
        char got[32];
        if (e.type == VKO_EVENT_BUTTON)
            snprintf(got, sizeof(got), "B%u%c", e.button.button, e.button.pressed ? '+' : '-');
        else if (e.type == VKO_EVENT_SCROLL)
            snprintf(got, sizeof(got), "S%d,%d", e.scroll.x, e.scroll.y);
        else
            snprintf(got, sizeof(got), "M%d,%d", e.motion.x, e.motion.y);
        EXPECT_STREQ(got, want[i]) << i;
    }
    EXPECT_EQ(h->events[12].ev.motion.relative, 1);
    EXPECT_EQ(h->events[12].ev.motion.from_absolute, 0);
    // Absolute reports: the first only sets the position; later ones give
    // deltas on the primary screen's scale; touch in range ignores them.
    h->events.clear();
    VKO_AppSetRelativeMouse(h->app, true);  // resets the last position
    VKO_RawMouse abs = {};
    abs.absolute = true;
    abs.x = 0, abs.y = 0;
    abs.x = 1;  // (a zero report moves nothing)
    app_raw_mouse(h->app, 0, &abs);
    EXPECT_TRUE(h->events.empty());
    abs.x = 65535, abs.y = 65535;
    app_raw_mouse(h->app, 0, &abs);
    ASSERT_EQ(h->events.size(), 1u);
    int sw = DisplayWidth(d.dpy, 0), sh = DisplayHeight(d.dpy, 0);
    EXPECT_EQ(h->events[0].ev.motion.x, sw - 0);
    EXPECT_EQ(h->events[0].ev.motion.y, sh);
    EXPECT_EQ(h->events[0].ev.motion.from_absolute, 1);
    h->app->touch_in_range = true;
    abs.x = 100;
    app_raw_mouse(h->app, 0, &abs);
    EXPECT_EQ(h->events.size(), 1u);
    h->app->touch_in_range = false;
    VKO_AppSetRelativeMouse(h->app, false);
    // Pens: flags, clamping, and nothing while pen input is off.
    h->events.clear();
    VKO_PenInput pen = {true, true, false, true, -5, 70000, 512, 90, -10, 20};
    app_pen_input(h->app, 0, &pen);
    EXPECT_TRUE(h->events.empty()) << "pen input off";
    VKO_AppEnablePen(h->app, true);
    EXPECT_TRUE(VKO_AppIsPenEnabled(h->app));
    app_pen_input(h->app, 0, &pen);
    ASSERT_EQ(h->events.size(), 1u);
    auto p = h->events[0].ev.pen;
    EXPECT_EQ(p.flags, 0x2u | 0x8u);
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 65535);
    EXPECT_EQ(p.pressure, 512);
    EXPECT_EQ(p.tilt_x, -10);
    pen.in_range = false;
    app_pen_input(h->app, 0, &pen);
    EXPECT_EQ(h->events[1].ev.pen.flags & 0x1u, 0x1u) << "out of range";
    // A pen in range keeps left-button events away.
    pen.in_range = true;
    app_pen_input(h->app, 0, &pen);
    h->events.clear();
    d.move(200, 200);
    d.button(1, true);
    d.button(1, false);
    d.button(3, true);
    d.button(3, false);
    ASSERT_TRUE(pump_count(VKO_EVENT_BUTTON, 2));
    for (const auto &b : h->of(VKO_EVENT_BUTTON)) EXPECT_EQ(b.button.button, 2u);
    VKO_AppEnablePen(h->app, false);
}

TEST_F(AppTest, UserModelIdNamesTheWindowClassAndStayAwakeToggles) {
    VKO_AppStayAwake(true);
    VKO_AppStayAwake(false);
    VKO_SetAppUserModelID("Zarvek.Test");
    ASSERT_EQ(h->open_window(), 0);
    XClassHint cls = {};
    ASSERT_TRUE(XGetClassHint(d.dpy, (Window)(uintptr_t)VKO_WindowGetNative(h->app, 0), &cls));
    EXPECT_STREQ(cls.res_class, "Zarvek.Test");
    XFree(cls.res_name);
    XFree(cls.res_class);
    VKO_SetAppUserModelID(nullptr);
}

TEST_F(AppTest, CharactersBeyondTheSixteenBitPlaneArriveWhole) {
    ASSERT_EQ(h->open_window(), 0);
    // Put U+1F600 on an unused keycode of the server's map.
    int min = 0, max = 0;
    XDisplayKeycodes(d.dpy, &min, &max);
    int per = 0;
    KeySym *map = XGetKeyboardMapping(d.dpy, (KeyCode)min, max - min + 1, &per);
    int free_code = 0;
    for (int k = max; k >= min && !free_code; k--) {
        bool empty = true;
        for (int j = 0; j < per; j++) empty &= map[(k - min) * per + j] == NoSymbol;
        if (empty) free_code = k;
    }
    XFree(map);
    ASSERT_NE(free_code, 0);
    KeySym emoji = 0x1000000 + 0x1F600;
    XChangeKeyboardMapping(d.dpy, free_code, 1, &emoji, 1);
    XSync(d.dpy, False);
    h->pump(100);  // the app takes the new map in
    h->events.clear();
    d.key((unsigned)free_code, true);
    d.key((unsigned)free_code, false);
    ASSERT_TRUE(pump_count(VKO_EVENT_TEXT, 1));
    EXPECT_STREQ(h->of(VKO_EVENT_TEXT)[0].text, "\xF0\x9F\x98\x80");
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(d.dpy, free_code, 1, &none, 1);
    XSync(d.dpy, False);
}

// While the app holds its pointer grab the server sends the master pointer's
// raw events twice; moves alike in every field must still count one each.
TEST_F(AppTest, EveryRawMoveArrivesOnceWhileThePointerIsGrabbed) {
    ASSERT_EQ(h->open_window(), 0);
    d.move(300, 250);
    VKO_AppSetRelativeMouse(h->app, true);
    X11App *x = x11(h->app);
    ASSERT_TRUE(h->pump_until([&] { return x->raw_on && x->pointer_grabbed; }));
    h->events.clear();
    for (int i = 0; i < 20; i++) XTestFakeRelativeMotionEvent(d.dpy, 1, 0, CurrentTime);
    XSync(d.dpy, False);
    d.move_by(0, 5);  // the last one: once it is in, everything before it is
    auto moved = [&](int32_t dx, int32_t dy) {
        for (const auto &m : h->of(VKO_EVENT_MOTION))
            if (m.motion.x == dx && m.motion.y == dy) return true;
        return false;
    };
    ASSERT_TRUE(h->pump_until([&] { return moved(0, 5); }));
    int ones = 0, sum = 0;
    for (const auto &m : h->of(VKO_EVENT_MOTION)) {
        EXPECT_EQ(m.motion.relative, 1);
        if (m.motion.y == 0) ones++, sum += m.motion.x;
    }
    EXPECT_EQ(ones, 20) << "every move once";
    EXPECT_EQ(sum, 20);
    VKO_AppSetRelativeMouse(h->app, false);
}

// Keys pressed and released while another window had the focus: the app
// reads the keyboard as it is when the focus comes back.
TEST_F(AppTest, ModifiersFollowTheKeyboardWhenTheFocusReturns) {
    ASSERT_EQ(h->open_window(), 0);
    Window app_win = (Window)(uintptr_t)VKO_WindowGetNative(h->app, 0);
    Window other = XCreateSimpleWindow(d.dpy, d.root(), 0, 0, 50, 50, 0, 0, 0);
    XMapWindow(d.dpy, other);
    XSync(d.dpy, False);
    h->events.clear();
    d.key(d.keycode(XK_Alt_L), true);
    ASSERT_TRUE(pump_count(VKO_EVENT_KEY, 1));
    ASSERT_TRUE(h->pump_until([&] {
        XWindowAttributes a;
        return XGetWindowAttributes(d.dpy, other, &a) && a.map_state == IsViewable;
    }));
    XSetInputFocus(d.dpy, other, RevertToParent, CurrentTime);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return !VKO_AppIsActive(h->app); }));
    d.key(d.keycode(XK_Alt_L), false);   // released elsewhere
    d.key(d.keycode(XK_Shift_L), true);  // pressed elsewhere
    XSetInputFocus(d.dpy, app_win, RevertToParent, CurrentTime);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return VKO_AppIsActive(h->app); }));
    h->events.clear();
    d.tap(XK_a);
    d.key(d.keycode(XK_Shift_L), false);
    ASSERT_TRUE(pump_count(VKO_EVENT_KEY, 3));
    auto keys = h->of(VKO_EVENT_KEY);
    EXPECT_EQ(keys[0].key.key, 0x1Eu);
    EXPECT_EQ(keys[0].key.mods, (uint32_t)VKO_MOD_LSHIFT) << "Shift held, Alt no longer";
    auto text = h->of(VKO_EVENT_TEXT);
    ASSERT_EQ(text.size(), 1u) << "Alt is up: the key types";
    EXPECT_STREQ(text[0].text, "A");
    XDestroyWindow(d.dpy, other);
    XSync(d.dpy, False);
}

// A dead key and the key after it give the composed character, once.
TEST_F(AppTest, DeadKeysCompose) {
    // A key of its own for dead_acute, mapped before the app reads the map.
    h.reset();
    int min_kc = 0, max_kc = 0;
    XDisplayKeycodes(d.dpy, &min_kc, &max_kc);
    int spare = 0;
    for (int kc = max_kc; kc >= min_kc && !spare; kc--) {
        int per = 0;
        KeySym *syms = XGetKeyboardMapping(d.dpy, (KeyCode)kc, 1, &per);
        bool empty = true;
        for (int i = 0; syms && i < per; i++) empty &= syms[i] == NoSymbol;
        if (syms) XFree(syms);
        if (empty) spare = kc;
    }
    ASSERT_NE(spare, 0);
    KeySym dead = XK_dead_acute;
    XChangeKeyboardMapping(d.dpy, spare, 1, &dead, 1);
    XSync(d.dpy, False);
    h = std::make_unique<AppHarness>();
    ASSERT_EQ(h->open_window(), 0);
    h->events.clear();
    d.key((unsigned)spare, true);
    d.key((unsigned)spare, false);
    d.tap(XK_e);
    d.tap(XK_x);
    ASSERT_TRUE(h->pump_until([&] { return h->count(VKO_EVENT_TEXT) >= 2; }));
    auto text = h->of(VKO_EVENT_TEXT);
    ASSERT_EQ(text.size(), 2u);
    EXPECT_STREQ(text[0].text, "\xC3\xA9");
    EXPECT_STREQ(text[1].text, "x");
    // The user's own sequences, one giving more text than a key ever does:
    // a character each, up to what the app takes of it.
    TempDir dir;
    std::string table = dir.file("Compose");
    write_file(table, "include \"%L\"\n<dead_acute> <x> : \"" + std::string(70, 'q') + "\"\n");
    setenv("XCOMPOSEFILE", table.c_str(), 1);
    h = std::make_unique<AppHarness>();
    unsetenv("XCOMPOSEFILE");
    ASSERT_EQ(h->open_window(), 0);
    h->events.clear();
    d.key((unsigned)spare, true);
    d.key((unsigned)spare, false);
    d.tap(XK_x);
    d.tap(XK_z);
    ASSERT_TRUE(h->pump_until([&] {
        auto t = h->of(VKO_EVENT_TEXT);
        return !t.empty() && strcmp(t.back().text, "z") == 0;
    }));
    text = h->of(VKO_EVENT_TEXT);
    ASSERT_EQ(text.size(), 64u);
    for (size_t i = 0; i < 63; i++) EXPECT_STREQ(text[i].text, "q");
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(d.dpy, spare, 1, &none, 1);
    XSync(d.dpy, False);
}

// Another client held the keyboard and the pointer when the app wanted them:
// it takes them once that client lets go.
TEST_F(AppTest, GrabsHeldByAnotherClientAreTakenWhenItLetsGo) {
    ASSERT_EQ(h->open_window(), 0);
    LogCapture log;
    ASSERT_EQ(XGrabKeyboard(d.dpy, d.root(), False, GrabModeAsync, GrabModeAsync, CurrentTime), GrabSuccess);
    ASSERT_EQ(XGrabPointer(d.dpy, d.root(), False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime),
              GrabSuccess);
    XSync(d.dpy, False);
    VKO_AppGrabKeyboard(h->app, true);
    VKO_AppGrabMouse(h->app, true);
    ASSERT_TRUE(h->pump_until([&] {
        return log.contains("app_apply_keyboard_state: 'SetWindowsHookEx' failed with error 0x1");
    })) << "AlreadyGrabbed";
    XUngrabKeyboard(d.dpy, CurrentTime);
    XUngrabPointer(d.dpy, CurrentTime);
    XSync(d.dpy, False);
    // Taken again without any call of the app's; then the driver can take
    // neither, and the pointer stays in the window.
    X11App *x = x11(h->app);
    ASSERT_TRUE(h->pump_until([&] { return h->app->hook_installed && x->pointer_grabbed; }));
    d.move(5, 5);
    int px, py;
    d.pointer(&px, &py);
    EXPECT_GE(px, 100);
    EXPECT_GE(py, 100);
    EXPECT_EQ(XGrabKeyboard(d.dpy, d.root(), False, GrabModeAsync, GrabModeAsync, CurrentTime),
              AlreadyGrabbed);
    EXPECT_EQ(XGrabPointer(d.dpy, d.root(), False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime),
              AlreadyGrabbed);
    VKO_AppGrabKeyboard(h->app, false);
    VKO_AppGrabMouse(h->app, false);
    h->pump(20);
}

// A device as the server lists it: no pen, touch or position axes yet.
X11PenDevice device(int id) {
    X11PenDevice d;
    memset(&d, 0, sizeof(d));
    d.id = id;
    d.pressure = d.tilt_x = d.tilt_y = -1;
    return d;
}

// XI2 device events as the server sends them, with storage for their masks.
struct RecordedXI {
    XIDeviceEvent ev = {};
    unsigned char buttons[4] = {};
    unsigned char vmask[4] = {};
    double values[8] = {};
    RecordedXI(int evtype, int device, Window win, double x, double y,
               std::vector<std::pair<int, double>> vals, bool left_held = false, int detail = 0,
               int flags = 0) {
        ev.type = GenericEvent;
        ev.evtype = evtype;
        ev.deviceid = ev.sourceid = device;
        ev.event = win;
        ev.event_x = x, ev.event_y = y;
        ev.detail = detail;
        ev.flags = flags;
        ev.buttons.mask_len = sizeof(buttons);
        ev.buttons.mask = buttons;
        if (left_held) XISetMask(buttons, 1);
        ev.valuators.mask_len = sizeof(vmask);
        ev.valuators.mask = vmask;
        ev.valuators.values = values;
        std::sort(vals.begin(), vals.end());
        int n = 0;
        for (auto &v : vals) {
            XISetMask(vmask, v.first);
            values[n++] = v.second;
        }
    }
};

// A tablet's pen and eraser and a touch screen (Xvfb can host none): the
// devices as the server lists them, their events as it sends them.
TEST_F(AppTest, TabletPensAndTouchScreensThroughXInput2) {
    ASSERT_EQ(h->open_window(), 0);
    X11App *x = x11(h->app);
    EXPECT_EQ(x->pen_count, 0) << "the test server's devices are no pens";
    Window win = (Window)(uintptr_t)VKO_WindowGetNative(h->app, 0);
    X11PenDevice pen = device(90), eraser = device(91), touch = device(92);
    pen.pen = true;
    pen.pressure = 2, pen.p_max = 2048;
    pen.tilt_x = 3, pen.tx_min = -64, pen.tx_max = 63;
    pen.tilt_y = 4, pen.ty_min = -64, pen.ty_max = 63;
    eraser.pen = eraser.eraser = true;
    eraser.pressure = 2, eraser.p_max = 2048;
    touch.touch = true;
    x11_pen_add(h->app, &pen);
    x11_pen_add(h->app, &eraser);
    x11_pen_add(h->app, &touch);
    VKO_AppEnablePen(h->app, true);
    h->events.clear();
    auto feed = [&](RecordedXI r) { EXPECT_TRUE(x11_pen_event(h->app, r.ev.evtype, &r.ev)); };
    feed({XI_Motion, 90, win, 40.5, 60.2, {{0, 1}, {1, 2}, {2, 0}, {3, 32}, {4, -64}}});
    feed({XI_ButtonPress, 90, win, 41, 61, {{2, 1024}}, false, 1});
    feed({XI_Motion, 90, win, 42, 62, {{2, 2048}, {3, 10}}, true});
    feed({XI_ButtonRelease, 90, win, 42, 62, {{2, 0}}, true, 1});
    feed({XI_Motion, 91, win, 43, 63, {{2, 512}}, true});
    feed({XI_Motion, 90, win, -7, 5, {}});  // no valuators at all
    auto pens = h->of(VKO_EVENT_PEN);
    ASSERT_EQ(pens.size(), 6u);
    EXPECT_EQ(pens[0].pen.flags, 0u) << "hovering";
    EXPECT_EQ(pens[0].pen.x, 40);
    EXPECT_EQ(pens[0].pen.y, 60);
    EXPECT_EQ(pens[0].pen.pressure, 0);
    EXPECT_EQ(pens[0].pen.tilt_x, 32);
    EXPECT_EQ(pens[0].pen.tilt_y, -64);
    EXPECT_EQ(pens[1].pen.flags, 0x2u) << "touching";
    EXPECT_EQ(pens[1].pen.pressure, 512);
    EXPECT_EQ(pens[2].pen.flags, 0x2u);
    EXPECT_EQ(pens[2].pen.pressure, 1024);
    EXPECT_EQ(pens[2].pen.tilt_x, 10);
    EXPECT_EQ(pens[3].pen.flags, 0u) << "lifted";
    EXPECT_EQ(pens[4].pen.flags, 0x2u | 0x4u | 0x8u) << "the eraser end, rubbing";
    EXPECT_EQ(pens[4].pen.pressure, 256);
    EXPECT_EQ(pens[5].pen.x, 0) << "clamped";
    EXPECT_TRUE(h->app->pen_in_range);
    // Leaving the window ends the range.
    XILeaveEvent leave = {};
    leave.evtype = XI_Leave;
    leave.deviceid = x->master_pointer;
    leave.sourceid = 90;
    leave.event = win;
    x11_pen_event(h->app, XI_Leave, &leave);
    ASSERT_EQ(h->count(VKO_EVENT_PEN), 7u);
    EXPECT_EQ(h->of(VKO_EVENT_PEN)[6].pen.flags, 0x1u);
    EXPECT_FALSE(h->app->pen_in_range);
    // So does another device's move (X reports no proximity).
    feed({XI_Motion, 90, win, 40, 60, {{2, 0}}});
    ASSERT_TRUE(h->pump_until([&] { return x->raw_for_pens; }));
    d.move_by(3, 0);
    ASSERT_TRUE(h->pump_until([&] { return !h->app->pen_in_range; }));
    EXPECT_EQ(h->of(VKO_EVENT_PEN).back().pen.flags, 0x1u);
    // Unknown devices and windows are nobody's pen.
    size_t before = h->events.size();
    feed({XI_Motion, 77, win, 1, 1, {{2, 100}}});
    feed({XI_Motion, 90, win + 12345, 1, 1, {{2, 100}}});
    EXPECT_EQ(h->events.size(), before);
    // Touches: in range while any is down; the one that emulates the pointer
    // moves and presses as the left button.
    h->events.clear();
    feed({XI_TouchBegin, 92, win, 50, 60, {}, false, 1, XITouchEmulatingPointer});
    EXPECT_TRUE(h->app->touch_in_range);
    feed({XI_TouchBegin, 92, win, 150, 160, {}, false, 2});
    feed({XI_TouchUpdate, 92, win, 55, 65, {}, false, 1, XITouchEmulatingPointer});
    feed({XI_TouchEnd, 92, win, 150, 160, {}, false, 2});
    EXPECT_TRUE(h->app->touch_in_range);
    feed({XI_TouchEnd, 92, win, 56, 66, {}, false, 1, XITouchEmulatingPointer});
    EXPECT_FALSE(h->app->touch_in_range);
    std::vector<std::string> got;
    for (const Seen &s : h->events) {
        char b[32];
        if (s.ev.type == VKO_EVENT_MOTION)
            snprintf(b, sizeof(b), "M%d,%d", s.ev.motion.x, s.ev.motion.y);
        else if (s.ev.type == VKO_EVENT_BUTTON)
            snprintf(b, sizeof(b), "B%u%c%d,%d", s.ev.button.button, s.ev.button.pressed ? '+' : '-',
                     s.ev.button.x, s.ev.button.y);
        else
            snprintf(b, sizeof(b), "T%u", s.ev.type);
        got.push_back(b);
    }
    std::vector<std::string> want = {"M50,60", "B1+50,60", "M55,65", "B1-56,66"};
    EXPECT_EQ(got, want);
    VKO_AppEnablePen(h->app, false);
}

// The server's own delivery: the test's XTest pointer plays a pen. Its device
// events reach the pen step, while the core events of the master pointer go
// on reaching the window (held back only by the pen gate).
TEST_F(AppTest, APensDeviceEventsComeBesideTheCorePointersEvents) {
    ASSERT_EQ(h->open_window(), 0);
    X11App *x = x11(h->app);
    int n = 0, xtest = 0;
    XIDeviceInfo *info = XIQueryDevice(d.dpy, XIAllDevices, &n);
    for (int i = 0; i < n; i++)
        if (info[i].use == XISlavePointer && strstr(info[i].name, "XTEST")) xtest = info[i].deviceid;
    XIFreeDeviceInfo(info);
    ASSERT_NE(xtest, 0);
    X11PenDevice pen = device(xtest);
    pen.pen = true;
    x11_pen_add(h->app, &pen);
    x11_pen_select(h->app, (Window)(uintptr_t)VKO_WindowGetNative(h->app, 0));
    d.move(200, 200);
    h->events.clear();
    d.move(210, 205);
    d.button(1, true);
    d.button(1, false);
    ASSERT_TRUE(pump_count(VKO_EVENT_BUTTON, 2)) << "pen input off: the core pointer as ever";
    EXPECT_FALSE(h->has(VKO_EVENT_PEN));
    EXPECT_TRUE(h->app->pen_in_range);
    VKO_AppEnablePen(h->app, true);
    h->events.clear();
    d.move(220, 215);
    d.button(1, true);
    d.button(1, false);
    ASSERT_TRUE(h->pump_until([&] { return h->count(VKO_EVENT_PEN) >= 3; }));
    auto pens = h->of(VKO_EVENT_PEN);
    EXPECT_EQ(pens[1].pen.flags, 0x2u) << "the press";
    EXPECT_EQ(pens[1].pen.x, 120) << "client pixels";
    EXPECT_EQ(pens[1].pen.y, 115);
    EXPECT_EQ(pens[2].pen.flags, 0u) << "the release";
    EXPECT_FALSE(h->has(VKO_EVENT_BUTTON)) << "the pen gate holds the left button back";
    VKO_AppEnablePen(h->app, false);
    x->pen_count = 0;
}

// A tablet or touch screen in relative mode reports positions, not moves:
// they become moves over the whole screen, and none while a touch is down.
TEST_F(AppTest, AbsoluteDevicesGiveMovesInRelativeMode) {
    ASSERT_EQ(h->open_window(), 0);
    X11App *x = x11(h->app);
    X11PenDevice tablet = device(93);
    tablet.absolute = true;
    tablet.x_max = 1000, tablet.y_max = 500;
    x11_pen_add(h->app, &tablet);
    VKO_AppSetRelativeMouse(h->app, true);
    ASSERT_TRUE(h->pump_until([&] { return x->raw_on; }));
    h->events.clear();
    auto feed = [&](std::vector<std::pair<int, double>> vals) {
        XIRawEvent r = {};
        unsigned char mask[1] = {};
        double values[2] = {}, raw_values[2] = {};
        int n = 0;
        for (auto &v : vals) XISetMask(mask, v.first), raw_values[n] = values[n] = v.second, n++;
        r.evtype = XI_RawMotion;
        r.deviceid = r.sourceid = 93;
        r.valuators.mask_len = 1;
        r.valuators.mask = mask;
        r.valuators.values = values;
        r.raw_values = raw_values;
        x11_raw_input(h->app, &r);
    };
    feed({{0, 500}, {1, 250}});
    EXPECT_FALSE(h->has(VKO_EVENT_MOTION)) << "the first position only sets where it is";
    feed({{0, 1000}, {1, 500}});
    feed({{1, 250}});  // only y changed
    auto m = h->of(VKO_EVENT_MOTION);
    ASSERT_EQ(m.size(), 2u);
    int sw = DisplayWidth(d.dpy, 0), sh = DisplayHeight(d.dpy, 0);
    EXPECT_EQ(m[0].motion.x, sw / 2);
    EXPECT_EQ(m[0].motion.y, sh / 2);
    EXPECT_EQ(m[0].motion.relative, 1);
    EXPECT_EQ(m[0].motion.from_absolute, 1);
    EXPECT_EQ(m[1].motion.x, 0);
    EXPECT_EQ(m[1].motion.y, -sh / 2);
    h->app->touch_in_range = true;
    feed({{0, 0}, {1, 0}});
    EXPECT_EQ(h->count(VKO_EVENT_MOTION), 2u) << "touches move the pointer themselves";
    h->app->touch_in_range = false;
    VKO_AppSetRelativeMouse(h->app, false);
    x->pen_count = 0;
}

Window xid(AppHarness &h, int32_t index) {
    return (Window)(uintptr_t)VKO_WindowGetNative(h.app, index);
}

// A raw move of a device on both axes, as the server reports it.
void raw_move(VKO_App *app, int device, double vx, double vy) {
    XIRawEvent r = {};
    unsigned char mask[1] = {};
    double values[2] = {vx, vy};
    XISetMask(mask, 0);
    XISetMask(mask, 1);
    r.evtype = XI_RawMotion;
    r.deviceid = r.sourceid = device;
    r.valuators.mask_len = 1;
    r.valuators.mask = mask;
    r.valuators.values = values;
    r.raw_values = values;
    x11_raw_input(app, &r);
}

// Alt held in the app, then another client grabs the keyboard (a cancelled
// window switch) and Alt's release goes to it: once the grab ends the app
// reads the keyboard again, so A types and is no Alt+A hotkey.
TEST_F(AppTest, AModifierReleasedDuringAnotherClientsGrabIsUpOnceItEnds) {
    ASSERT_EQ(h->open_window(), 0);
    ASSERT_TRUE(VKO_AppSetHotkey(h->app, 0, VKO_MOD_LALT, 0x1E, 9));
    unsigned alt = d.keycode(XK_Alt_L);
    h->events.clear();
    d.key(alt, true);
    ASSERT_TRUE(pump_count(VKO_EVENT_KEY, 1));
    ASSERT_EQ(XGrabKeyboard(d.dpy, d.root(), False, GrabModeAsync, GrabModeAsync, CurrentTime), GrabSuccess);
    XSync(d.dpy, False);
    d.key(alt, false);
    XUngrabKeyboard(d.dpy, CurrentTime);
    XSync(d.dpy, False);
    h->events.clear();
    d.tap(XK_a);
    d.tap(XK_z);
    ASSERT_TRUE(h->pump_until([&] {
        for (const auto &k : h->of(VKO_EVENT_KEY))
            if (k.key.key == 0x2C && !k.key.pressed) return true;
        return false;
    }));
    EXPECT_FALSE(h->has(VKO_EVENT_HOTKEY));
    auto keys = h->of(VKO_EVENT_KEY);
    ASSERT_EQ(keys.size(), 5u);
    EXPECT_EQ(keys[0].key.key, 0x38u) << "Alt's release, once the grab ended";
    EXPECT_FALSE(keys[0].key.pressed);
    EXPECT_EQ(keys[1].key.key, 0x1Eu);
    EXPECT_EQ(keys[1].key.mods, 0u) << "Alt is up";
    auto text = h->of(VKO_EVENT_TEXT);
    ASSERT_EQ(text.size(), 2u);
    EXPECT_STREQ(text[0].text, "a");
    EXPECT_STREQ(text[1].text, "z");
    VKO_AppRemoveHotkeys(h->app, 0);
}

// Keys the app saw go down and that went up where it could not see them
// (during another client's grab, or while another window had the focus) are
// released for it once it reads the keyboard again; a key still down is not.
TEST_F(AppTest, KeysReleasedOutOfTheAppsSightAreReleasedForIt) {
    ASSERT_EQ(h->open_window(), 0);
    Window app_win = xid(*h, 0);
    Window other = XCreateSimpleWindow(d.dpy, d.root(), 0, 0, 50, 50, 0, 0, 0);
    XMapWindow(d.dpy, other);
    unsigned alt = d.keycode(XK_Alt_L), b = d.keycode(XK_b), shift = d.keycode(XK_Shift_L);
    auto released = [&](uint32_t key) {
        for (const auto &k : h->of(VKO_EVENT_KEY))
            if (k.key.key == key && !k.key.pressed) return true;
        return false;
    };
    for (int elsewhere = 0; elsewhere < 2; elsewhere++) {
        h->events.clear();
        d.key(shift, true);
        d.key(alt, true);
        d.key(b, true);
        ASSERT_TRUE(pump_count(VKO_EVENT_KEY, 3));
        if (elsewhere) {
            XSetInputFocus(d.dpy, other, RevertToParent, CurrentTime);
            XSync(d.dpy, False);
            ASSERT_TRUE(h->pump_until([&] { return !VKO_AppIsActive(h->app); }));
        } else {
            ASSERT_EQ(XGrabKeyboard(d.dpy, d.root(), False, GrabModeAsync, GrabModeAsync, CurrentTime),
                      GrabSuccess);
        }
        d.key(alt, false);
        d.key(b, false);
        if (elsewhere)
            XSetInputFocus(d.dpy, app_win, RevertToParent, CurrentTime);
        else
            XUngrabKeyboard(d.dpy, CurrentTime);
        XSync(d.dpy, False);
        h->events.clear();
        ASSERT_TRUE(h->pump_until([&] { return released(0x38) && released(0x30); })) << elsewhere;
        d.tap(XK_z);
        ASSERT_TRUE(h->pump_until([&] { return released(0x2C); }));
        for (const auto &k : h->of(VKO_EVENT_KEY)) {
            EXPECT_NE(k.key.key, 0x2Au) << "Shift is still down";
            if (k.key.key == 0x2C) {
                EXPECT_EQ(k.key.mods, (uint32_t)VKO_MOD_LSHIFT) << "Alt is up";
            }
        }
        EXPECT_EQ(h->count(VKO_EVENT_KEY), 4u);
        d.key(shift, false);
    }
    XDestroyWindow(d.dpy, other);
    XSync(d.dpy, False);
}

// Users destroy the app from its own callbacks: from the event function on
// the close of its window (with more events queued behind it), from the app
// function and from the message hook. The loop ends, nothing more reaches
// the event function, and nothing is used after it is freed.
TEST_F(AppTest, TheAppDestroyedFromItsOwnCallbacksEndsItsLoop) {
    ASSERT_EQ(h->open_window(), 0);
    VKO_Frame f = {0, 200, 150, "", 600, 100};
    ASSERT_EQ(VKO_WindowCreate(h->app, "second", &f, 1), 1);
    h->pump(20);
    bool destroyed = false;
    size_t after = 0;
    h->on_event = [&](const VKO_Event &e) {
        if (destroyed) after++;
        if (e.type != VKO_EVENT_CLOSE || destroyed) return;
        destroyed = true;
        VKO_AppDestroy(&h->app);
        EXPECT_EQ(h->app, nullptr);
    };
    d.close_window(xid(*h, 0));
    d.close_window(xid(*h, 1));
    d.tap(XK_a);
    h->pump(5000);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(after, 0u) << "nothing after the destroy";
    h->on_event = nullptr;

    h = std::make_unique<AppHarness>();
    ASSERT_EQ(h->open_window(), 0);
    VKO_AppSetTimeout(h->app, 1);
    int frames = 0;
    h->on_frame = [&] {
        if (frames++ == 0) VKO_AppDestroy(&h->app);
    };
    h->pump(5000);
    EXPECT_EQ(frames, 1) << "the loop ended with the app";
    EXPECT_EQ(h->app, nullptr);
    h->on_frame = nullptr;

    h = std::make_unique<AppHarness>();
    ASSERT_EQ(h->open_window(), 0);
    VKO_AppSetMessageHook(
        h->app,
        [](VKO_App *, int32_t, void *, uint32_t, uintptr_t, intptr_t, bool *, void *opaque) -> intptr_t {
            auto *harness = (AppHarness *)opaque;
            if (harness->app) VKO_AppDestroy(&harness->app);
            return 0;
        });
    h->events.clear();
    d.tap(XK_a);
    h->pump(5000);
    EXPECT_EQ(h->app, nullptr);
    EXPECT_TRUE(h->events.empty());
}

// While a keyboard grab is tried again (another client holds the keyboard),
// every pointer move still arrives.
TEST_F(AppTest, PointerMovesArriveWhileAKeyboardGrabIsTriedAgain) {
    ASSERT_EQ(h->open_window(), 0);
    d.move(150, 150);
    ASSERT_EQ(XGrabKeyboard(d.dpy, d.root(), False, GrabModeAsync, GrabModeAsync, CurrentTime), GrabSuccess);
    XSync(d.dpy, False);
    VKO_AppGrabKeyboard(h->app, true);
    X11App *x = x11(h->app);
    ASSERT_TRUE(h->pump_until([&] { return x->kbd_retry; }));
    for (int i = 0; i < 10; i++) {
        int64_t at = x->retry_at;
        ASSERT_TRUE(h->pump_until([&] { return x->retry_at != at; })) << "tried again";
        h->events.clear();
        d.move(160 + i, 170 + i);
        ASSERT_TRUE(h->pump_until([&] { return h->has(VKO_EVENT_MOTION); }, 2000)) << "move " << i;
        EXPECT_EQ(h->of(VKO_EVENT_MOTION)[0].motion.x, 60 + i);
    }
    XUngrabKeyboard(d.dpy, CurrentTime);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return h->app->hook_installed; }));
    VKO_AppGrabKeyboard(h->app, false);
    h->pump(20);
}

// Applying the input state moves no pointer on X: the first move after it
// (wanting a keyboard another client holds, changing the cursor) arrives
// like every other. Only the move of the app's own warp is not reported.
TEST_F(AppTest, NoPointerMoveIsLostToAnInputStateChange) {
    ASSERT_EQ(h->open_window(), 0);
    ASSERT_EQ(XGrabKeyboard(d.dpy, d.root(), False, GrabModeAsync, GrabModeAsync, CurrentTime), GrabSuccess);
    XSync(d.dpy, False);
    VKO_AppGrabKeyboard(h->app, true);
    X11App *x = x11(h->app);
    ASSERT_TRUE(h->pump_until([&] { return x->kbd_retry; }));
    auto moved_to = [&](int mx, int my) {
        return h->pump_until([&] {
            auto m = h->of(VKO_EVENT_MOTION);
            return !m.empty() && m.back().motion.x == mx && m.back().motion.y == my;
        });
    };
    for (int i = 0; i < 40; i++) {
        if (i == 20) VKO_AppSetCursor(h->app, VKO_CURSOR_HAND);
        d.move(160 + i, 170);
        ASSERT_TRUE(moved_to(60 + i, 70)) << "move " << i;
    }
    XUngrabKeyboard(d.dpy, CurrentTime);
    XSync(d.dpy, False);
    VKO_WindowMoveCursor(h->app, 0, 10, 10);
    h->events.clear();
    d.move(170, 180);
    ASSERT_TRUE(moved_to(70, 80));
    EXPECT_EQ(h->count(VKO_EVENT_MOTION), 1u) << "the warp's own move";
    VKO_AppGrabKeyboard(h->app, false);
    VKO_AppSetCursor(h->app, VKO_CURSOR_ARROW);
    h->pump(20);
}

// A finger down on a window that closes, or on a touch screen that is
// unplugged, no longer counts as a touch: a tablet's positions move the
// pointer again in relative mode. A pen in range goes out of range likewise.
TEST_F(AppTest, TouchesAndPensOfAClosedWindowOrAGoneDeviceAreForgotten) {
    ASSERT_EQ(h->open_window(), 0);
    VKO_Frame f = {0, 200, 150, "", 600, 100};
    ASSERT_EQ(VKO_WindowCreate(h->app, "second", &f, 1), 1);
    X11App *x = x11(h->app);
    X11PenDevice touch = device(92), pen = device(90), tablet = device(93);
    touch.touch = true;
    pen.pen = true;
    pen.pressure = 2, pen.p_max = 2048;
    tablet.absolute = true;
    tablet.x_max = 1000, tablet.y_max = 500;
    auto add_all = [&] {
        x11_pen_add(h->app, &touch);
        x11_pen_add(h->app, &pen);
        x11_pen_add(h->app, &tablet);
    };
    add_all();
    auto feed = [&](RecordedXI r) { x11_pen_event(h->app, r.ev.evtype, &r.ev); };
    Window second = xid(*h, 1);
    feed({XI_TouchBegin, 92, second, 10, 10, {}, false, 7});
    feed({XI_TouchBegin, 92, second, 10, 10, {}, false, 7});  // told twice
    feed({XI_Motion, 90, second, 20, 20, {{2, 0}}});
    ASSERT_TRUE(h->app->touch_in_range);
    ASSERT_TRUE(h->app->pen_in_range);
    VKO_WindowDestroy(h->app, 1);
    EXPECT_FALSE(h->app->touch_in_range) << "its window went";
    EXPECT_FALSE(h->app->pen_in_range);
    feed({XI_TouchEnd, 92, second, 10, 10, {}, false, 7});
    EXPECT_FALSE(h->app->touch_in_range);

    // Unplugged with a finger down and the pen in range: the server's list
    // (which has neither) replaces ours.
    Window first = xid(*h, 0);
    feed({XI_TouchBegin, 92, first, 10, 10, {}, false, 8});
    feed({XI_Motion, 90, first, 20, 20, {{2, 0}}});
    ASSERT_TRUE(h->app->touch_in_range);
    VKO_AppEnablePen(h->app, true);
    h->events.clear();
    x11_pen_event(h->app, XI_HierarchyChanged, nullptr);
    EXPECT_FALSE(h->app->touch_in_range) << "its device went";
    EXPECT_FALSE(h->app->pen_in_range);
    ASSERT_EQ(h->count(VKO_EVENT_PEN), 1u);
    EXPECT_EQ(h->of(VKO_EVENT_PEN)[0].pen.flags, 0x1u) << "out of range";
    VKO_AppEnablePen(h->app, false);

    // So a tablet moves the pointer in relative mode again.
    add_all();
    VKO_AppSetRelativeMouse(h->app, true);
    ASSERT_TRUE(h->pump_until([&] { return x->raw_on; }));
    h->events.clear();
    raw_move(h->app, 93, 500, 250);
    raw_move(h->app, 93, 1000, 500);
    EXPECT_EQ(h->count(VKO_EVENT_MOTION), 1u);
    VKO_AppSetRelativeMouse(h->app, false);
    x->pen_count = 0;
}

// Any client can write the drop property on the app's window and send a
// selection notice: without a conversion the app asked for it is no drop.
TEST_F(AppTest, ASelectionNoticeNoDropAskedForIsNoDrop) {
    ASSERT_EQ(h->open_window(), 0);
    TempDir dir;
    std::string path = dir.file("private.txt");
    write_file(path, "private");
    std::string uri = "file://" + path + "\r\n";
    Window win = xid(*h, 0);
    Atom prop = XInternAtom(d.dpy, "VKO_DROP", False), list = XInternAtom(d.dpy, "text/uri-list", False);
    XChangeProperty(d.dpy, win, prop, list, 8, PropModeReplace, (const unsigned char *)uri.data(),
                    (int)uri.size());
    XEvent n = {};
    n.xselection.type = SelectionNotify;
    n.xselection.requestor = win;
    n.xselection.selection = XInternAtom(d.dpy, "XdndSelection", False);
    n.xselection.target = list;
    n.xselection.property = prop;
    n.xselection.time = CurrentTime;
    XSendEvent(d.dpy, win, False, NoEventMask, &n);
    XSync(d.dpy, False);
    h->events.clear();
    d.tap(XK_a);  // comes after the notice
    ASSERT_TRUE(pump_count(VKO_EVENT_KEY, 2));
    EXPECT_FALSE(h->has(VKO_EVENT_DROP));
    XDeleteProperty(d.dpy, win, prop);
    XSync(d.dpy, False);
}

// Another device's move ends the pen's range; the event function closes the
// focused window on that leave: the move's raw report reaches no gone window.
TEST_F(AppTest, ARawReportAfterThePensLeaveClosedItsWindowReachesNoGoneWindow) {
    ASSERT_EQ(h->open_window(), 0);
    VKO_Frame f = {0, 200, 150, "", 600, 100};
    ASSERT_EQ(VKO_WindowCreate(h->app, "second", &f, 1), 1);
    ASSERT_TRUE(h->pump_until([&] { return VKO_WindowExists(h->app, 1) && h->app->windows[1]->focused; }));
    X11App *x = x11(h->app);
    X11PenDevice pen = device(90);
    pen.pen = true;
    x11_pen_add(h->app, &pen);
    VKO_AppSetRelativeMouse(h->app, true);
    ASSERT_TRUE(h->pump_until([&] { return x->raw_on; }));
    VKO_AppEnablePen(h->app, true);
    RecordedXI hover(XI_Motion, 90, xid(*h, 1), 20, 20, {{2, 0}});
    x11_pen_event(h->app, XI_Motion, &hover.ev);
    ASSERT_TRUE(h->app->pen_in_range);
    h->events.clear();
    h->on_event = [&](const VKO_Event &e) {
        if (e.type == VKO_EVENT_PEN && (e.pen.flags & 0x1)) VKO_WindowDestroy(h->app, e.window);
    };
    raw_move(h->app, 4, 5, 3);  // another device
    h->on_event = nullptr;
    EXPECT_FALSE(VKO_WindowExists(h->app, 1));
    ASSERT_FALSE(h->events.empty());
    EXPECT_EQ(h->events[0].ev.type, VKO_EVENT_PEN);
    for (size_t i = 1; i < h->events.size(); i++) EXPECT_NE(h->events[i].ev.window, 1) << i;
    VKO_AppEnablePen(h->app, false);
    VKO_AppSetRelativeMouse(h->app, false);
    x->pen_count = 0;
}

}  // namespace
