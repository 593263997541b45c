// The client's input record, built from the app object's events: keys in USB
// HID usages, mouse buttons in the wire's order, modifiers remapped, and pads
// through the gamepad mapping.
#pragma once

#include <cstdint>

#include "connection/protocol.h"

struct AppContext;
struct VKO_Event;

constexpr uint32_t INPUT_KEY = 1;
constexpr uint32_t INPUT_BUTTON = 2;
constexpr uint32_t INPUT_WHEEL = 3;
constexpr uint32_t INPUT_MOTION = 4;
constexpr uint32_t INPUT_CONTROLLER_REMOVED = 7;
constexpr uint32_t INPUT_CONTROLLER = 8;
constexpr uint32_t INPUT_PEN = 10;

constexpr uint32_t INPUT_KEY_TABLE_SIZE = 380;

struct InputMessage {
    uint32_t kind;
    union {
        struct {
            uint32_t key;   // HID usage, above 255 for media keys
            uint32_t mods;  // remapped
            uint8_t pressed;
        } key;
        struct {
            uint32_t button;  // 1 left, 2 middle, 3 right, 4, 5
            uint8_t pressed;
        } button;
        struct {
            int32_t x, y;
        } wheel;
        struct {
            int32_t x, y;
            uint8_t window;
            uint8_t relative;
            uint8_t from_absolute;
        } motion;
        struct {
            uint32_t id;
        } removed;
        GamepadState gamepad;
        struct {
            uint32_t flags;
            uint16_t x, y, pressure, rotation;
            uint8_t window;
            int8_t tilt_x, tilt_y;
        } pen;
    };
};

// Fills msg for the event types that carry input; leaves it as it is for the others.
void input_event_to_msg(AppContext *app, const VKO_Event *event, InputMessage *msg);
uint32_t input_mods_to_msg(uint32_t mods);
// Wire key code of a platform key code (0 when it has none).
uint32_t input_key_to_msg(uint32_t key);
