#include "client/client.h"

#include "platform/controller.h"

namespace {

// Common-layout button to XInput button bit (the wire's button word).
constexpr struct {
    uint32_t button;
    uint16_t bit;
} kDefaultButtons[] = {
    {VKO_CBUTTON_WEST, 0x4000},      {VKO_CBUTTON_SOUTH, 0x1000},     {VKO_CBUTTON_EAST, 0x2000},
    {VKO_CBUTTON_NORTH, 0x8000},     {VKO_CBUTTON_LSHOULDER, 0x0100}, {VKO_CBUTTON_RSHOULDER, 0x0200},
    {VKO_CBUTTON_BACK, 0x0020},      {VKO_CBUTTON_START, 0x0010},     {VKO_CBUTTON_LSTICK, 0x0040},
    {VKO_CBUTTON_RSTICK, 0x0080},    {VKO_CBUTTON_GUIDE, 0x0400},     {VKO_CBUTTON_DPAD_UP, 0x0001},
    {VKO_CBUTTON_DPAD_DOWN, 0x0002}, {VKO_CBUTTON_DPAD_LEFT, 0x0004}, {VKO_CBUTTON_DPAD_RIGHT, 0x0008},
};

int16_t value(const VKO_ControllerEvent *s, uint32_t index) {
    return index < s->value_count && index < 16 ? s->values[index].data : 0;
}

uint8_t trigger(const VKO_ControllerEvent *s, uint32_t index) {
    int16_t v = value(s, index);
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

}  // namespace

void gpmap_apply(AppContext *app, const VKO_ControllerEvent *s, GamepadState *out) {
    (void)app;  // only the built-in mapping: no per-device mappings are loaded
    GamepadState g{};
    g.id = s->id;
    for (const auto &b : kDefaultButtons)
        if (b.button < s->button_count && b.button < 64 && s->buttons[b.button]) g.buttons |= b.bit;
    g.lx = value(s, VKO_CVALUE_LX);
    g.ly = value(s, VKO_CVALUE_LY);
    g.rx = value(s, VKO_CVALUE_RX);
    g.ry = value(s, VKO_CVALUE_RY);
    g.lt = trigger(s, VKO_CVALUE_LT);
    g.rt = trigger(s, VKO_CVALUE_RT);
    *out = g;
}
