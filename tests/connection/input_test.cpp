// App events to the wire input record: the key table against a hand-made
// list, the modifier remap, each event kind, and the default pad mapping.
#include <gtest/gtest.h>

#include <cstring>

#include "client/client.h"
#include "connection/input.h"
#include "platform/app.h"

namespace {

TEST(Input, KeysAndModifiers) {
    const uint32_t keys[][2] = {{0x01, 41},  {0x1E, 4},    {0x45, 72},  {0x54, 0},      {0x59, 265},
                                {0x11C, 88}, {0x11D, 228}, {0x137, 70}, {0x146, 72},    {0x15B, 227},
                                {0x17A, 3},  {0x17B, 0},   {380, 0},    {0xFFFFFFFF, 0}};
    for (const auto &k : keys) EXPECT_EQ(input_key_to_msg(k[0]), k[1]) << std::hex << k[0];
    const uint32_t mods[][2] = {{0x003, 0x003},  {0x004, 0x040}, {0x080, 0x800}, {0x100, 0x2000},
                                {0x200, 0x1000}, {0xC00, 0},     {0x3FF, 0x3FC3}};
    for (const auto &m : mods) EXPECT_EQ(input_mods_to_msg(m[0]), m[1]) << std::hex << m[0];
}

InputMessage convert(const VKO_Event &e) {
    InputMessage msg;
    std::memset(&msg, 0x5A, sizeof msg);
    input_event_to_msg(nullptr, &e, &msg);
    return msg;
}

TEST(Input, EventsToMessages) {
    VKO_Event e{};
    e.type = VKO_EVENT_WEBVIEW_KEY;
    e.key = {0x11D, 0x008, 0, 1};
    InputMessage m = convert(e);
    EXPECT_EQ(m.kind * 10000 + m.key.key * 10 + m.key.pressed, INPUT_KEY * 10000 + 2281);
    EXPECT_EQ(m.key.mods, 0x080u);
    for (uint32_t b : {0u, 1u, 2u, 3u, 4u, 5u}) {
        e = VKO_Event{VKO_EVENT_BUTTON, 0, {}};
        e.button.button = b;
        EXPECT_EQ(convert(e).button.button, b == 2 ? 3u : b == 3 ? 2u : b);
    }
    e = VKO_Event{VKO_EVENT_MOTION, 2, {}};
    e.motion = {-5, 7, 1, 1};
    m = convert(e);
    EXPECT_EQ(m.kind, INPUT_MOTION);
    EXPECT_EQ(m.motion.x * 100 + m.motion.window * 10 + m.motion.from_absolute, -500 + 21);
    e = VKO_Event{VKO_EVENT_PEN, 1, {}};
    e.pen = {3, 100, 200, 512, 90, -20, 30};
    m = convert(e);
    EXPECT_EQ(m.kind, INPUT_PEN);
    EXPECT_EQ(m.pen.pressure + m.pen.window + m.pen.tilt_x, 512 + 1 - 20);

    // A pad through the default mapping: A, d-pad left and guide; sticks and triggers.
    e = VKO_Event{VKO_EVENT_CONTROLLER, 0, {}};
    VKO_ControllerEvent &c = e.controller;
    c.id = 3;
    c.button_count = 17;
    c.value_count = 6;
    c.buttons[VKO_CBUTTON_SOUTH] = c.buttons[VKO_CBUTTON_DPAD_LEFT] = c.buttons[VKO_CBUTTON_GUIDE] = true;
    c.buttons[20] = true;  // beyond the layout: no bit
    const int16_t values[6] = {-32768, 32767, 100, -100, 255, 7};
    for (int i = 0; i < 6; i++) c.values[i].data = values[i];
    m = convert(e);
    EXPECT_EQ(m.kind, INPUT_CONTROLLER);
    const GamepadState want = {3, 0x1000 | 0x0004 | 0x0400, -32768, 32767, 100, -100, 255, 7};
    EXPECT_EQ(std::memcmp(&m.gamepad, &want, sizeof want), 0);
    c.button_count = 1;  // buttons and values past their counts are not read
    c.value_count = 4;
    m = convert(e);
    EXPECT_EQ(m.gamepad.buttons + m.gamepad.lt, 0);

    e = VKO_Event{VKO_EVENT_DISCONNECT, 0, {}};
    e.controller.id = 9;
    m = convert(e);
    EXPECT_EQ(m.kind * 100 + m.removed.id, INPUT_CONTROLLER_REMOVED * 100 + 9);
    for (VKO_EventType t : {VKO_EVENT_FOCUS, VKO_EVENT_TEXT, VKO_EVENT_HOTKEY, VKO_EVENT_SIZE}) {
        e = VKO_Event{t, 0, {}};
        EXPECT_EQ(convert(e).kind, 0x5A5A5A5Au);  // left as the caller prepared it
    }
}

}  // namespace
