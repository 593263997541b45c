#include "platform/controller.h"

#include <cstring>

#include "platform/map.h"
#include "platform/memory.h"

void vko_hat_to_dpad(VKO_ControllerEvent *ev, int32_t hat) {
    ev->buttons[VKO_CBUTTON_DPAD_UP] = hat == 0 || hat == 1 || hat == 7;
    ev->buttons[VKO_CBUTTON_DPAD_RIGHT] = hat >= 1 && hat <= 3;
    ev->buttons[VKO_CBUTTON_DPAD_DOWN] = hat >= 3 && hat <= 5;
    ev->buttons[VKO_CBUTTON_DPAD_LEFT] = hat >= 5 && hat <= 7;
}

void vko_controller_from_xinput(VKO_ControllerEvent *ev, const VKO_XInputGamepad *pad) {
    static const struct {
        uint16_t mask;
        uint8_t button;
    } kMap[] = {
        {0x4000, VKO_CBUTTON_WEST},       {0x1000, VKO_CBUTTON_SOUTH},     {0x2000, VKO_CBUTTON_EAST},
        {0x8000, VKO_CBUTTON_NORTH},      {0x0100, VKO_CBUTTON_LSHOULDER}, {0x0200, VKO_CBUTTON_RSHOULDER},
        {0x0020, VKO_CBUTTON_BACK},       {0x0010, VKO_CBUTTON_START},     {0x0040, VKO_CBUTTON_LSTICK},
        {0x0080, VKO_CBUTTON_RSTICK},     {0x0400, VKO_CBUTTON_GUIDE},     {0x0001, VKO_CBUTTON_DPAD_UP},
        {0x0008, VKO_CBUTTON_DPAD_RIGHT}, {0x0002, VKO_CBUTTON_DPAD_DOWN}, {0x0004, VKO_CBUTTON_DPAD_LEFT},
    };
    for (const auto &m : kMap) ev->buttons[m.button] = (pad->buttons & m.mask) != 0;
    ev->buttons[VKO_CBUTTON_LTRIGGER] = pad->left_trigger > 0;
    ev->buttons[VKO_CBUTTON_RTRIGGER] = pad->right_trigger > 0;
    const int16_t sticks[4] = {pad->thumb_lx, pad->thumb_ly, pad->thumb_rx, pad->thumb_ry};
    const uint16_t usages[6] = {0x30, 0x31, 0x32, 0x35, 0x33, 0x34};
    for (int i = 0; i < 6; i++) {
        ev->values[i].usage = usages[i];
        if (i < 4) {
            ev->values[i].data = sticks[i];
            ev->values[i].min = -32768;
            ev->values[i].max = 32767;
        } else {
            ev->values[i].data = i == 4 ? pad->left_trigger : pad->right_trigger;
            ev->values[i].min = 0;
            ev->values[i].max = 255;
        }
    }
    ev->button_count = 17;
    ev->value_count = 6;
}

VKO_Hash *vko_controller_cache_create(void) {
    return VKO_HashCreate(0);
}

void vko_controller_cache_destroy(VKO_Hash **cache) {
    VKO_HashDestroy(cache, VKO_Free);
}

bool vko_controller_cache_update(VKO_Hash *cache, VKO_ControllerEvent *ev) {
    auto *last = (VKO_ControllerEvent *)VKO_HashGetInt(cache, ev->id);
    if (!last) {
        last = (VKO_ControllerEvent *)VKO_Alloc(1, sizeof(*last));
        if (!last) return false;
        VKO_HashSetInt(cache, ev->id, last);
    }
    for (int i = 0; i < 4; i++) {
        int16_t &v = ev->values[i].data;
        if (v > -2000 && v < 2000)
            v = 0;
        else if (v != -32768 && v != 32767)
            v = (int16_t)(v & ~1);
    }
    // Counts never exceed the arrays, whatever a driver filled in.
    uint32_t buttons = ev->button_count > 64 ? 64 : ev->button_count;
    uint32_t values = ev->value_count > 16 ? 16 : ev->value_count;
    bool changed = memcmp(last->buttons, ev->buttons, buttons) != 0 ||
                   memcmp(last->values, ev->values, values * sizeof(VKO_ControllerValue)) != 0;
    *last = *ev;
    return changed;
}
