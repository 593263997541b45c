// App events to the wire input record: the key table against a hand-made
// list, the modifier remap, each event kind, and the default pad mapping.
#include <gtest/gtest.h>

#include <cstring>

#include "client/client.h"
#include "connection/input.h"
#include "platform/app.h"

namespace {

TEST(Input, KeyTableAndModifiers) {
    const struct {
        uint32_t code, usage;
    } keys[] = {
        {0x01, 41},  {0x1E, 4},   {0x2C, 29},   {0x39, 44},  {0x45, 72},      {0x54, 0},    {0x59, 265},
        {0x7E, 133}, {0x11C, 88}, {0x11D, 228}, {0x137, 70}, {0x146, 72},     {0x15B, 227}, {0x16F, 5},
        {0x17A, 3},  {0x17B, 0},  {0x17F, 0},   {380, 0},    {0xFFFFFFFF, 0},
    };
    for (const auto &k : keys) EXPECT_EQ(input_key_to_msg(k.code), k.usage) << std::hex << k.code;
    const struct {
        uint32_t mods, wire;
    } mods[] = {
        {0x001, 0x001},  {0x002, 0x002},  {0x004, 0x040}, {0x080, 0x800},
        {0x100, 0x2000}, {0x200, 0x1000}, {0xC00, 0},     {0x3FF, 0x3FC3},
    };
    for (const auto &m : mods) EXPECT_EQ(input_mods_to_msg(m.mods), m.wire) << std::hex << m.mods;
}

TEST(Input, EventsToMessages) {
    VKO_Event e{};
    InputMessage msg{};
    e.type = VKO_EVENT_WEBVIEW_KEY;
    e.key = {0x11D, 0x008, 0, 1};
    input_event_to_msg(nullptr, &e, &msg);
    EXPECT_EQ(msg.kind, INPUT_KEY);
    EXPECT_EQ(msg.key.key, 228u);
    EXPECT_EQ(msg.key.mods, 0x080u);
    EXPECT_EQ(msg.key.pressed, 1);

    const uint32_t buttons[][2] = {{0, 0}, {1, 1}, {2, 3}, {3, 2}, {4, 4}, {5, 5}};
    for (const auto &b : buttons) {
        e = VKO_Event{};
        e.type = VKO_EVENT_BUTTON;
        e.button.button = b[0];
        input_event_to_msg(nullptr, &e, &msg);
        EXPECT_EQ(msg.kind, INPUT_BUTTON);
        EXPECT_EQ(msg.button.button, b[1]);
    }

    e = VKO_Event{};
    e.type = VKO_EVENT_MOTION;
    e.window = 2;
    e.motion = {-5, 7, 1, 1};
    input_event_to_msg(nullptr, &e, &msg);
    EXPECT_EQ(msg.kind, INPUT_MOTION);
    EXPECT_EQ(msg.motion.x, -5);
    EXPECT_EQ(msg.motion.window, 2);
    EXPECT_EQ(msg.motion.from_absolute, 1);

    e = VKO_Event{};
    e.type = VKO_EVENT_PEN;
    e.window = 1;
    e.pen = {3, 100, 200, 512, 90, -20, 30};
    input_event_to_msg(nullptr, &e, &msg);
    EXPECT_EQ(msg.kind, INPUT_PEN);
    EXPECT_EQ(msg.pen.pressure, 512);
    EXPECT_EQ(msg.pen.window, 1);
    EXPECT_EQ(msg.pen.tilt_x, -20);

    // A pad through the default mapping: A, d-pad left, guide; sticks and triggers.
    e = VKO_Event{};
    e.type = VKO_EVENT_CONTROLLER;
    VKO_ControllerEvent &c = e.controller;
    c.id = 3;
    c.button_count = 17;
    c.value_count = 6;
    c.buttons[VKO_CBUTTON_SOUTH] = c.buttons[VKO_CBUTTON_DPAD_LEFT] = c.buttons[VKO_CBUTTON_GUIDE] = true;
    c.buttons[20] = true;  // beyond the layout: no bit
    const int16_t values[6] = {-32768, 32767, 100, -100, 255, 7};
    for (int i = 0; i < 6; i++) c.values[i].data = values[i];
    input_event_to_msg(nullptr, &e, &msg);
    EXPECT_EQ(msg.kind, INPUT_CONTROLLER);
    EXPECT_EQ(msg.gamepad.id, 3u);
    EXPECT_EQ(msg.gamepad.buttons, 0x1000 | 0x0004 | 0x0400);
    EXPECT_EQ(msg.gamepad.lx, -32768);
    EXPECT_EQ(msg.gamepad.ry, -100);
    EXPECT_EQ(msg.gamepad.lt, 255);
    EXPECT_EQ(msg.gamepad.rt, 7);
    c.button_count = 1;  // buttons past the count are not read
    c.value_count = 4;
    input_event_to_msg(nullptr, &e, &msg);
    EXPECT_EQ(msg.gamepad.buttons, 0);
    EXPECT_EQ(msg.gamepad.lt, 0);

    e = VKO_Event{};
    e.type = VKO_EVENT_DISCONNECT;
    e.controller.id = 9;
    input_event_to_msg(nullptr, &e, &msg);
    EXPECT_EQ(msg.kind, INPUT_CONTROLLER_REMOVED);
    EXPECT_EQ(msg.removed.id, 9u);

    for (VKO_EventType t : {VKO_EVENT_FOCUS, VKO_EVENT_TEXT, VKO_EVENT_HOTKEY, VKO_EVENT_SIZE}) {
        InputMessage before, after;
        std::memset(&before, 0x5A, sizeof before);
        after = before;
        e = VKO_Event{};
        e.type = t;
        input_event_to_msg(nullptr, &e, &after);
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    }
}

}  // namespace
