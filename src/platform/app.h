// The app object's event record: every input and window happening reaches the
// application's event function as one VKO_Event, zeroed before it is built.
#pragma once

#include <cstdint>

#include "platform/controller.h"

enum VKO_EventType : uint32_t {
    VKO_EVENT_NONE = 0,
    VKO_EVENT_CLOSE = 1,
    VKO_EVENT_SHUTDOWN = 3,
    VKO_EVENT_FOCUS = 4,
    VKO_EVENT_KEY = 5,
    VKO_EVENT_HOTKEY = 6,
    VKO_EVENT_TEXT = 7,
    VKO_EVENT_SCROLL = 8,
    VKO_EVENT_BUTTON = 9,
    VKO_EVENT_MOTION = 10,
    VKO_EVENT_CONTROLLER = 11,
    VKO_EVENT_CONNECT = 12,
    VKO_EVENT_DISCONNECT = 13,
    VKO_EVENT_PEN = 14,
    VKO_EVENT_DROP = 15,
    VKO_EVENT_CLIPBOARD = 16,
    VKO_EVENT_TRAY = 17,
    VKO_EVENT_SIZE = 20,
    VKO_EVENT_MOVE = 21,
    VKO_EVENT_WEBVIEW_READY = 22,
    VKO_EVENT_WEBVIEW_TEXT = 23,
    VKO_EVENT_WEBVIEW_KEY = 24,
    VKO_EVENT_WEBVIEW_HOTKEY = 25,
    VKO_EVENT_HID = 26,
};

struct VKO_Event {
    VKO_EventType type;
    uint8_t window;  // 0 for XInput and HID events
    union {
        uint8_t focused;
        struct {
            uint32_t key;   // set-1 scan code, +0x100 for E0 keys
            uint32_t mods;  // modifier bits
            uint32_t virtual_key;
            uint8_t pressed;
        } key;  // KEY, WEBVIEW_KEY
        uint32_t hotkey;
        char text[8];
        struct {
            int32_t x, y;
        } scroll;
        struct {
            uint32_t button;  // 1 left, 2 right, 3 middle, 4, 5 extra
            int32_t x, y;
            uint8_t pressed;
        } button;
        struct {
            int32_t x, y;
            uint8_t relative;
            uint8_t from_absolute;
        } motion;
        VKO_ControllerEvent controller;  // CONTROLLER, CONNECT, DISCONNECT
        struct {
            uint32_t flags;
            uint16_t x, y, pressure, rotation;
            int8_t tilt_x, tilt_y;
        } pen;
        struct {
            const char *name;
            const void *data;
            uint64_t size;
        } drop;
        uint32_t tray;
        const char *webview_text;
        struct {
            const void *report;
            uint64_t size;
            uint32_t driver_type;
            uint32_t id;
            uint16_t vendor_id, product_id;
        } hid;
    };
};
