// The app object: the owner of everything interactive in a process that shows
// a user interface (up to eight windows, keyboard, mouse and pen input, game
// controllers, hotkeys, the tray icon, the cursor) and its run loop. Every
// input and window happening reaches the application's event function as one
// VKO_Event, zeroed before it is built. Everything runs on the thread that
// created the app and runs its loop (the app thread).
#pragma once

#include <cstddef>
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

// Modifier bits of VKO_Event key.mods.
constexpr uint32_t VKO_MOD_LSHIFT = 0x001;
constexpr uint32_t VKO_MOD_RSHIFT = 0x002;
constexpr uint32_t VKO_MOD_LCTRL = 0x004;
constexpr uint32_t VKO_MOD_RCTRL = 0x008;
constexpr uint32_t VKO_MOD_LALT = 0x010;
constexpr uint32_t VKO_MOD_RALT = 0x020;
constexpr uint32_t VKO_MOD_LWIN = 0x040;
constexpr uint32_t VKO_MOD_RWIN = 0x080;
constexpr uint32_t VKO_MOD_CAPS = 0x100;
constexpr uint32_t VKO_MOD_NUM = 0x200;

// Cursor kinds of VKO_AppSetCursor; any other value is the custom cursor.
enum : uint32_t {
    VKO_CURSOR_ARROW = 1,
    VKO_CURSOR_HAND = 2,
    VKO_CURSOR_IBEAM = 3,
};

// Bit 0 of the creation flags: also deliver every parsed HID report.
#define VKO_APP_FLAG_HID_EVENTS 0x1u

struct VKO_App;

typedef bool (*VKO_AppFunc)(void *opaque);
typedef void (*VKO_EventFunc)(const VKO_Event *event, void *opaque);
// Called first for every X event of an app window: message = the X event
// type, wparam = the XEvent pointer, lparam = 0. Setting *handled takes the
// event; the result is then the window procedure's result and no VKO_Event
// is built.
typedef intptr_t (*VKO_MessageHook)(VKO_App *app, int32_t index, void *native, uint32_t message,
                                    uintptr_t wparam, intptr_t lparam, bool *handled, void *opaque);

VKO_App *VKO_AppCreate(uint32_t flags, VKO_AppFunc app_func, VKO_EventFunc event_func, void *opaque);
// May be called from the app's own event function, app function or message
// hook while VKO_AppRun runs (on the close of the last window, say): the app
// then takes no more callbacks, VKO_AppRun returns at the end of that call
// and the destroy finishes there.
void VKO_AppDestroy(VKO_App **app);
void VKO_AppRun(VKO_App *app);
void VKO_RunLoop(bool (*func)(void *opaque), void *opaque);
void VKO_AppSetTimeout(VKO_App *app, uint32_t ms);
void VKO_AppSetMessageHook(VKO_App *app, VKO_MessageHook hook);

bool VKO_AppIsActive(VKO_App *app);
void VKO_AppActivate(VKO_App *app, bool active);

void VKO_AppGrabKeyboard(VKO_App *app, bool grab);
void VKO_AppGrabMouse(VKO_App *app, bool grab);
void VKO_AppShowCursor(VKO_App *app, bool show);
void VKO_AppSetCursor(VKO_App *app, uint32_t kind);
void VKO_AppSetInputMode(VKO_App *app, uint32_t mode);
uint32_t VKO_AppGetInputMode(VKO_App *app);
void VKO_AppSetRelativeMouse(VKO_App *app, bool relative);
bool VKO_AppGetRelativeMouse(VKO_App *app);
bool VKO_AppIsPenEnabled(VKO_App *app);
void VKO_AppEnablePen(VKO_App *app, bool enable);

void VKO_AppSetRGBACursor(VKO_App *app, const void *rgba, uint32_t width, uint32_t height, uint32_t hot_x,
                          uint32_t hot_y);
void VKO_AppSetCursorImage(VKO_App *app, const void *image, size_t size, uint32_t hot_x, uint32_t hot_y);

// Scope 0 app-local, 1 global (needs window 0). False when a global hotkey
// could not be registered (its old registration, if any, is gone too).
bool VKO_AppSetHotkey(VKO_App *app, uint32_t scope, uint32_t mods, uint32_t key, uint32_t id);
void VKO_AppRemoveHotkeys(VKO_App *app, uint32_t scope);
bool VKO_HotkeyToText(uint32_t mods, uint32_t key, char *buf, size_t size);

void VKO_AppStayAwake(bool enable);
void VKO_AppRumbleController(VKO_App *app, uint32_t id, uint16_t low, uint16_t high);
VKO_CType VKO_AppGetControllerType(VKO_App *app, uint32_t id);
const char *VKO_AppGetControllerDeviceName(VKO_App *app, uint32_t id);
bool VKO_AppWriteHIDReport(VKO_App *app, uint32_t id, const void *report, size_t size);
void VKO_SetAppUserModelID(const char *id);
