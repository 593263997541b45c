#include <cstdio>
#include <cstring>

#include "compat/xinput/xinput.h"
#include "platform/app_internal.h"
#include "platform/hid.h"
#include "platform/image.h"
#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/webview.h"

VKO_HookState g_vko_hook;

namespace {

// Virtual keys of a US keyboard by the scan code's low byte, as the
// scan-code-to-virtual-key mapping gives them (left and right not told apart).
const uint8_t kVK[0x80] = {
    0,    0x1B, '1',  '2',  '3',  '4',  '5',  '6',  '7',  '8',  '9',  '0',  0xBD, 0xBB, 0x08, 0x09,  // 0x00
    'Q',  'W',  'E',  'R',  'T',  'Y',  'U',  'I',  'O',  'P',  0xDB, 0xDD, 0x0D, 0x11, 'A',  'S',   // 0x10
    'D',  'F',  'G',  'H',  'J',  'K',  'L',  0xBA, 0xDE, 0xC0, 0x10, 0xDC, 'Z',  'X',  'C',  'V',   // 0x20
    'B',  'N',  'M',  0xBC, 0xBE, 0xBF, 0x10, 0x6A, 0x12, 0x20, 0x14, 0x70, 0x71, 0x72, 0x73, 0x74,  // 0x30
    0x75, 0x76, 0x77, 0x78, 0x79, 0x90, 0x91, 0x24, 0x26, 0x21, 0x6D, 0x25, 0x0C, 0x27, 0x6B, 0x23,  // 0x40
    0x28, 0x22, 0x2D, 0x2E, 0x2C, 0,    0xE2, 0x7A, 0x7B, 0,    0,    0x5B, 0x5C, 0x5D, 0,    0,     // 0x50
    0,    0,    0,    0,    0x7C, 0x7D, 0x7E, 0x7F, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0,     // 0x60
    0,    0,    0,    0xC1, 0,    0,    0x87, 0,    0,    0,    0,    0,    0,    0,    0,    0,     // 0x70
};

struct KeyName {
    uint16_t key;
    const char *name;
};

const KeyName kNames[] = {
    {0x01, "Esc"},          {0x0E, "Backspace"},     {0x0F, "Tab"},
    {0x1C, "Enter"},        {0x1D, "Ctrl"},          {0x2A, "Shift"},
    {0x36, "Right Shift"},  {0x37, "Num *"},         {0x38, "Alt"},
    {0x39, "Space"},        {0x3A, "Caps Lock"},     {0x45, "Pause"},
    {0x46, "Scroll Lock"},  {0x47, "Num 7"},         {0x48, "Num 8"},
    {0x49, "Num 9"},        {0x4A, "Num -"},         {0x4B, "Num 4"},
    {0x4C, "Num 5"},        {0x4D, "Num 6"},         {0x4E, "Num +"},
    {0x4F, "Num 1"},        {0x50, "Num 2"},         {0x51, "Num 3"},
    {0x52, "Num 0"},        {0x53, "Num Del"},       {0x54, "Sys Req"},
    {0x11C, "Num Enter"},   {0x11D, "Right Ctrl"},   {0x135, "Num /"},
    {0x137, "Prnt Scrn"},   {0x138, "Right Alt"},    {0x145, "Num Lock"},
    {0x147, "Home"},        {0x148, "Up"},           {0x149, "Page Up"},
    {0x14B, "Left"},        {0x14D, "Right"},        {0x14F, "End"},
    {0x150, "Down"},        {0x151, "Page Down"},    {0x152, "Insert"},
    {0x153, "Delete"},      {0x15B, "Left Windows"}, {0x15C, "Right Windows"},
    {0x15D, "Application"},
};

void *hotkey_id(uint32_t id) {
    return (void *)(uintptr_t)id;
}

void xinput_poll(VKO_App *app) {
    const XInputSource *src = xinput_source();
    for (uint32_t i = 0; i < 4; i++) {
        VKO_XInputSlot &slot = app->xinput[i];
        if (slot.disabled) continue;
        VKO_Event ev;
        memset(&ev, 0, sizeof(ev));
        ev.controller.driver_type = VKO_CTYPE_XINPUT;
        ev.controller.id = i;
        ev.controller.button_count = 17;
        ev.controller.value_count = 6;
        XInputState st;
        memset(&st, 0, sizeof(st));
        if (src->get_state(src->ctx, i, &st) != XINPUT_ERROR_SUCCESS) {
            slot.disabled = true;
            if (slot.connected) {
                slot.connected = false;
                ev.type = VKO_EVENT_DISCONNECT;
                app_deliver(app, &ev);
            }
            continue;
        }
        if (!slot.connected) {
            slot.vendor_id = 0x045E;
            slot.product_id = 0;
            if (src->bus_info) {
                XInputBusInfo bus;
                memset(&bus, 0, sizeof(bus));
                uint32_t r = src->bus_info(src->ctx, i, &bus);
                if (r == XINPUT_ERROR_SUCCESS) {
                    slot.vendor_id = bus.vendor_id;
                    slot.product_id = bus.product_id;
                } else {
                    VKO_Log("xip_state", "'XInputGetBaseBusInformation' failed with error 0x%X", r);
                }
            }
            slot.connected = true;
        }
        if (st.packet_number != slot.packet) {
            ev.type = VKO_EVENT_CONTROLLER;
            ev.controller.vendor_id = slot.vendor_id;
            ev.controller.product_id = slot.product_id;
            vko_controller_from_xinput(&ev.controller, &st.gamepad);
            if (vko_controller_cache_update(app->controllers, &ev.controller)) app_deliver(app, &ev);
            slot.packet = st.packet_number;
        }
    }
}

void hid_connect(void *ctx, uint32_t id, uint16_t vid, uint16_t pid, bool connected) {
    auto *app = (VKO_App *)ctx;
    VKO_Event ev;
    memset(&ev, 0, sizeof(ev));
    ev.type = connected ? VKO_EVENT_CONNECT : VKO_EVENT_DISCONNECT;
    ev.controller.id = id;
    ev.controller.vendor_id = vid;
    ev.controller.product_id = pid;
    app_deliver(app, &ev);
}

void hid_report(void *ctx, VKO_ControllerEvent *state, const void *report, size_t size) {
    auto *app = (VKO_App *)ctx;
    VKO_Event ev;
    if (app->flags & VKO_APP_FLAG_HID_EVENTS) {
        memset(&ev, 0, sizeof(ev));
        ev.type = VKO_EVENT_HID;
        ev.hid.report = report;
        ev.hid.size = size;
        ev.hid.driver_type = state->driver_type;
        ev.hid.id = state->id;
        ev.hid.vendor_id = state->vendor_id;
        ev.hid.product_id = state->product_id;
        app_deliver(app, &ev);
    }
    if (VKO_AppIsActive(app) && vko_controller_cache_update(app->controllers, state)) {
        memset(&ev, 0, sizeof(ev));
        ev.type = VKO_EVENT_CONTROLLER;
        ev.controller = *state;
        app_deliver(app, &ev);
    }
}

bool set_if_changed(VKO_App *app, bool *field, bool value) {
    if (*field == value) return false;
    *field = value;
    app_bump(app);
    return true;
}

char g_app_user_model_id[256];

}  // namespace

const char *vko_app_user_model_id(void) {
    return g_app_user_model_id[0] ? g_app_user_model_id : nullptr;
}

uint32_t app_key_to_vk(uint32_t key) {
    uint32_t b = key & 0xFF;
    return b < 0x80 ? kVK[b] : 0;
}

const char *app_key_name(uint32_t key) {
    for (const KeyName &k : kNames)
        if (k.key == key) return k.name;
    if ((key & 0x100) == 0 && key < 0x80) {
        static const char kChars[] = "1234567890-=";
        static const char kRow1[] = "QWERTYUIOP[]";
        static const char kRow2[] = "ASDFGHJKL;'`";
        static const char kRow3[] = "\\ZXCVBNM,./";
        static char one[0x80][2];
        const char *row = nullptr;
        uint32_t at = 0;
        if (key >= 0x02 && key <= 0x0D) row = kChars, at = key - 0x02;
        if (key >= 0x10 && key <= 0x1B) row = kRow1, at = key - 0x10;
        if (key >= 0x1E && key <= 0x29) row = kRow2, at = key - 0x1E;
        if (key >= 0x2B && key <= 0x35) row = kRow3, at = key - 0x2B;
        if (key == 0x56) row = "\\", at = 0;
        if (row) {
            one[key][0] = row[at];
            one[key][1] = 0;
            return one[key];
        }
        static const char *kF[] = {"F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10"};
        if (key >= 0x3B && key <= 0x44) return kF[key - 0x3B];
        if (key == 0x57) return "F11";
        if (key == 0x58) return "F12";
    }
    return nullptr;
}

uint32_t app_hotkey_value(uint32_t mods, uint32_t key) {
    uint32_t vk = app_key_to_vk(key & 0xFF);
    if (!vk) return 0;
    uint32_t flags = 0x4000;
    if (mods & 0x03) flags |= 0x0004;
    if (mods & 0xC0) flags |= 0x0008;
    if (mods & 0x30) flags |= 0x0001;
    if (mods & 0x0C) flags |= 0x0002;
    return flags << 8 | vk;
}

void app_bump(VKO_App *app) {
    app->generation++;
}

VKO_WindowRec *app_window(VKO_App *app, int32_t index) {
    if (!app || index < 0 || index >= VKO_WINDOW_MAX) return nullptr;
    return app->windows[index];
}

uint32_t app_window_serial(VKO_App *app, int32_t index) {
    VKO_WindowRec *w = app_window(app, index);
    return w ? w->serial : 0;
}

bool app_window_alive(VKO_App *app, int32_t index, uint32_t serial) {
    VKO_WindowRec *w = app_window(app, index);
    return w && serial && w->serial == serial;
}

void app_device_arrival(VKO_App *app) {
    for (VKO_XInputSlot &s : app->xinput) s.disabled = false;
}

VKO_App *VKO_AppCreate(uint32_t flags, VKO_AppFunc app_func, VKO_EventFunc event_func, void *opaque) {
    auto *app = (VKO_App *)VKO_Alloc(1, sizeof(VKO_App));
    if (!app) return nullptr;
    app->flags = flags;
    app->app_func = app_func;
    app->event_func = event_func;
    app->opaque = opaque;
    app->abs_x = app->abs_y = 0xFFFFFFFFu;
    app->local_hotkeys = VKO_HashCreate(0);
    app->global_hotkeys = VKO_HashCreate(0);
    app->controllers = vko_controller_cache_create();
    app->web = vko_webhub_create();
    if (!x11_app_open(app)) {
        VKO_AppDestroy(&app);
        return nullptr;
    }
    if (!xinput_source()->bus_info) VKO_Log("xip_create", "Failed to load full XInput 1.4 interface");
    VKO_HIDCallbacks cb = {hid_connect, hid_report, app};
    app->hid = vko_hid_listener_create(&cb);
    return app;
}

namespace {

void app_free(VKO_App *app) {
    // Process-wide requests are let go even when the app never reached X.
    x11_stay_awake(false);
    app_sleep_inhibit(false);
    if (app->x) {
        x11_cursor_clear(app);
        VKO_AppRemoveTray(app);
        VKO_AppRemoveHotkeys(app, 1);
    }
    VKO_HashDestroy(&app->local_hotkeys, nullptr);
    VKO_HashDestroy(&app->global_hotkeys, nullptr);
    vko_controller_cache_destroy(&app->controllers);
    for (int32_t i = 0; i < VKO_WINDOW_MAX; i++) VKO_WindowDestroy(app, i);
    vko_webhub_destroy(&app->web);
    x11_app_close(app);
    vko_hid_listener_destroy(&app->hid);
    if (g_vko_hook.target == app) memset(&g_vko_hook, 0, sizeof(g_vko_hook));
    VKO_Free(app);
}

void run_passes(VKO_App *app) {
    for (;;) {
        if (!app->windows[0] || app->destroy_pending) return;
        bool active = VKO_AppIsActive(app);
        bool retry = x11_grab_retry_due(app);
        if (app->generation != app->applied_generation) {
            x11_apply_input(app, active);
            app->applied_generation = app->generation;
        } else if (retry) {
            x11_retry_grabs(app, active);  // the rest of the input state is as applied
        }
        if (active) xinput_poll(app);
        if (app->tray.wanted && !app->tray.shown && VKO_GetTime() - app->tray.last_add > 2000 * 1000000LL) {
            app->tray.shown = x11_tray_add(app);
            app->tray.last_add = VKO_GetTime();
        }
        x11_pump(app);
        vko_webview_pump(app);
        vko_hid_listener_poll(app->hid);
        x11_check_released(app);
        bool go = app->app_func ? app->app_func(app->opaque) : false;
        if (app->destroy_pending) return;
        if (app->timeout) {
            VKO_Sleep(app->timeout);
            app->sleeps++;
        }
        if (!go) return;
    }
}

}  // namespace

void VKO_AppDestroy(VKO_App **papp) {
    if (!papp || !*papp) return;
    VKO_App *app = *papp;
    *papp = nullptr;
    if (app->running) {
        // From the app's own callbacks: the loop below them still uses the
        // app. Nothing reaches the callbacks any more, and the loop ends at
        // once and finishes the destroy.
        app->destroy_pending = true;
        app->event_func = nullptr;
        app->app_func = nullptr;
        app->hook = nullptr;
        return;
    }
    app_free(app);
}

void VKO_AppRun(VKO_App *app) {
    if (!app || app->destroy_pending) return;
    app->running++;
    run_passes(app);
    if (--app->running == 0 && app->destroy_pending) app_free(app);
}

void VKO_RunLoop(bool (*func)(void *opaque), void *opaque) {
    if (!func) return;
    while (func(opaque)) {
    }
}

void VKO_AppSetTimeout(VKO_App *app, uint32_t ms) {
    if (app) app->timeout = ms;
}

void VKO_AppSetMessageHook(VKO_App *app, VKO_MessageHook hook) {
    if (app) app->hook = hook;
}

bool VKO_AppIsActive(VKO_App *app) {
    return app && app->x && x11_is_active(app);
}

void VKO_AppActivate(VKO_App *app, bool active) {
    VKO_WindowActivate(app, 0, active);
}

void VKO_AppGrabKeyboard(VKO_App *app, bool grab) {
    if (app) set_if_changed(app, &app->grab_keyboard, grab);
}

void VKO_AppGrabMouse(VKO_App *app, bool grab) {
    if (app) set_if_changed(app, &app->grab_mouse, grab);
}

void VKO_AppShowCursor(VKO_App *app, bool show) {
    if (app) set_if_changed(app, &app->cursor_hidden, !show);
}

void VKO_AppSetCursor(VKO_App *app, uint32_t kind) {
    if (!app || app->cursor_kind == kind) return;
    app->cursor_kind = kind;
    app_bump(app);
}

void VKO_AppSetInputMode(VKO_App *app, uint32_t mode) {
    if (!app || app->input_mode == mode) return;
    app->input_mode = mode;
    app_bump(app);
}

uint32_t VKO_AppGetInputMode(VKO_App *app) {
    return app ? app->input_mode : 0;
}

bool VKO_AppGetRelativeMouse(VKO_App *app) {
    return app && app->relative;
}

bool VKO_AppIsPenEnabled(VKO_App *app) {
    return app && app->pen_enabled;
}

void VKO_AppEnablePen(VKO_App *app, bool enable) {
    if (app) app->pen_enabled = enable;
}

void VKO_AppSetRelativeMouse(VKO_App *app, bool relative) {
    if (!app) return;
    if (relative && !app->relative) {
        int32_t x = 0, y = 0;
        if (x11_cursor_pos(app, &x, &y)) {
            app->clip_x = x;
            app->clip_y = y;
        }
    }
    app->relative = relative;
    app->abs_x = app->abs_y = 0xFFFFFFFFu;
    x11_apply_cursor(app, VKO_AppIsActive(app));
}

void VKO_AppSetRGBACursor(VKO_App *app, const void *rgba, uint32_t width, uint32_t height, uint32_t hot_x,
                          uint32_t hot_y) {
    if (!app) return;
    x11_cursor_clear(app);
    if (rgba && width && height) x11_cursor_rgba(app, (const uint8_t *)rgba, width, height, hot_x, hot_y);
    app_bump(app);
}

void VKO_AppSetCursorImage(VKO_App *app, const void *image, size_t size, uint32_t hot_x, uint32_t hot_y) {
    if (!app) return;
    uint32_t w = 0, h = 0;
    // A cursor never needs more than the cursor bound.
    void *rgba =
        image ? VKO_DecompressImageWithin(image, size, VKO_IMAGE_CURSOR_SIDE,
                                          (uint64_t)VKO_IMAGE_CURSOR_SIDE * VKO_IMAGE_CURSOR_SIDE, &w, &h)
              : nullptr;
    VKO_AppSetRGBACursor(app, rgba, rgba ? w : 0, rgba ? h : 0, hot_x, hot_y);
    VKO_Free(rgba);
}

bool VKO_AppSetHotkey(VKO_App *app, uint32_t scope, uint32_t mods, uint32_t key, uint32_t id) {
    if (!app) return false;
    if (scope == 0) {
        uint64_t k = (uint64_t)(mods & 0xFF) << 16 | key;
        if (id)
            VKO_HashSetInt(app->local_hotkeys, k, hotkey_id(id));
        else
            VKO_HashPopInt(app->local_hotkeys, k);
        return true;
    }
    if (scope != 1 || !app->windows[0]) return false;
    uint32_t value = app_hotkey_value(mods, key);
    if (!value) return false;
    if (VKO_HashGetInt(app->global_hotkeys, value)) {
        int err = x11_grab_hotkey(app, value, false);
        if (err) {
            VKO_Log("VKO_AppSetHotkey", "'UnregisterHotKey' failed with error 0x%X", (unsigned)err);
            return false;
        }
        // The old registration is gone: its id must not stay in the map.
        VKO_HashPopInt(app->global_hotkeys, value);
    }
    if (id) {
        int err = x11_grab_hotkey(app, value, true);
        if (err) {
            VKO_Log("VKO_AppSetHotkey", "'RegisterHotKey' failed with error 0x%X", (unsigned)err);
            return false;
        }
        VKO_HashSetInt(app->global_hotkeys, value, hotkey_id(id));
    }
    return true;
}

void VKO_AppRemoveHotkeys(VKO_App *app, uint32_t scope) {
    if (!app) return;
    if (scope == 0) {
        VKO_HashDestroy(&app->local_hotkeys, nullptr);
        app->local_hotkeys = VKO_HashCreate(0);
    } else if (scope == 1) {
        uint64_t iter = 0, key = 0;
        while (app->x && VKO_HashGetNextKeyInt(app->global_hotkeys, &iter, &key)) {
            int err = x11_grab_hotkey(app, (uint32_t)key, false);
            if (err)
                VKO_Log("app_unregister_global_hotkeys", "'UnregisterHotKey' failed with error 0x%X",
                        (unsigned)err);
        }
        VKO_HashDestroy(&app->global_hotkeys, nullptr);
        app->global_hotkeys = VKO_HashCreate(0);
    }
}

bool VKO_HotkeyToText(uint32_t mods, uint32_t key, char *buf, size_t size) {
    if (!buf || !size) return false;
    buf[0] = 0;
    size_t r = 0;
    if (mods & 0xC0) r = VKO_Strcat(buf, size, "Win+");
    if (mods & 0x0C) r = VKO_Strcat(buf, size, "Ctrl+");
    if (mods & 0x30) r = VKO_Strcat(buf, size, "Alt+");
    if (mods & 0x03) r = VKO_Strcat(buf, size, "Shift+");
    if (key) {
        const char *name = app_key_name(key);
        if (!name) return false;
        char part[8];
        snprintf(part, sizeof(part), "%s", name);  // the name buffer holds 7 characters
        r = VKO_Strcat(buf, size, part);
    }
    return r == 0;
}

void VKO_AppStayAwake(bool enable) {
    // The display through the screen saver; the system through logind where
    // it runs (without it only the display is kept awake).
    x11_stay_awake(enable);
    app_sleep_inhibit(enable);
}

void VKO_AppRumbleController(VKO_App *app, uint32_t id, uint16_t low, uint16_t high) {
    if (!app) return;
    if (id < 4) {
        if (app->xinput[id].disabled) return;
        const XInputSource *src = xinput_source();
        uint32_t r = src->set_state(src->ctx, id, low, high);
        if (r != XINPUT_ERROR_SUCCESS) VKO_Log("xip_rumble", "'XInputSetState' failed with error 0x%X", r);
        return;
    }
    vko_hid_listener_rumble(app->hid, id, low, high);
}

VKO_CType VKO_AppGetControllerType(VKO_App *app, uint32_t id) {
    return app ? vko_hid_listener_type(app->hid, id) : VKO_CTYPE_HID;
}

const char *VKO_AppGetControllerDeviceName(VKO_App *app, uint32_t id) {
    return app ? vko_hid_listener_name(app->hid, id) : nullptr;
}

bool VKO_AppWriteHIDReport(VKO_App *app, uint32_t id, const void *report, size_t size) {
    return app && vko_hid_listener_write(app->hid, id, report, size);
}

void VKO_SetAppUserModelID(const char *id) {
    snprintf(g_app_user_model_id, sizeof(g_app_user_model_id), "%s", id ? id : "");
}
