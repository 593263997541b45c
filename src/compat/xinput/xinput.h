// Stand-in for the XInput runtime, which Linux does not have: the four pad
// slots are read through a source table. The default source answers every
// slot "not connected", as XInput does on a machine without pads; tests
// install a scripted source. Set the source before an app object polls it.
#pragma once

#include <cstdint>

#include "platform/controller.h"

#define XINPUT_ERROR_SUCCESS 0u
#define XINPUT_ERROR_DEVICE_NOT_CONNECTED 0x48Fu

struct XInputState {
    uint32_t packet_number;
    VKO_XInputGamepad gamepad;
};

struct XInputBusInfo {
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t input_id;
    uint16_t field_3;
    uint32_t field_4;
    uint8_t field_5;
};

struct XInputSource {
    uint32_t (*get_state)(void *ctx, uint32_t user, XInputState *state);
    uint32_t (*set_state)(void *ctx, uint32_t user, uint16_t low, uint16_t high);
    // NULL when the runtime has no bus information call.
    uint32_t (*bus_info)(void *ctx, uint32_t user, XInputBusInfo *info);
    void *ctx;
};

// NULL restores the default source.
void xinput_set_source(const XInputSource *source);
const XInputSource *xinput_source(void);
