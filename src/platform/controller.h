// The one record in which every game controller reaches the application: the
// same button numbers and the same six values (two sticks, two triggers) for
// every pad, whatever its driver.
#pragma once

#include <cstdint>

enum VKO_CType : uint32_t {
    VKO_CTYPE_HID = 0,
    VKO_CTYPE_XINPUT = 1,
    VKO_CTYPE_SWITCH = 2,
    VKO_CTYPE_DS4 = 3,
    VKO_CTYPE_DUALSENSE = 4,
    VKO_CTYPE_STADIA = 5,
    VKO_CTYPE_XBOX_BT = 6,
    VKO_CTYPE_XBOX360_HID = 7,
};

// Button indices of the common layout.
enum : uint32_t {
    VKO_CBUTTON_WEST = 0,
    VKO_CBUTTON_SOUTH = 1,
    VKO_CBUTTON_EAST = 2,
    VKO_CBUTTON_NORTH = 3,
    VKO_CBUTTON_LSHOULDER = 4,
    VKO_CBUTTON_RSHOULDER = 5,
    VKO_CBUTTON_LTRIGGER = 6,
    VKO_CBUTTON_RTRIGGER = 7,
    VKO_CBUTTON_BACK = 8,
    VKO_CBUTTON_START = 9,
    VKO_CBUTTON_LSTICK = 10,
    VKO_CBUTTON_RSTICK = 11,
    VKO_CBUTTON_GUIDE = 12,
    VKO_CBUTTON_DPAD_UP = 13,
    VKO_CBUTTON_DPAD_RIGHT = 14,
    VKO_CBUTTON_DPAD_DOWN = 15,
    VKO_CBUTTON_DPAD_LEFT = 16,
};

// Value indices: sticks -32768..32767 with up positive, triggers 0..255.
enum : uint32_t {
    VKO_CVALUE_LX = 0,
    VKO_CVALUE_LY = 1,
    VKO_CVALUE_RX = 2,
    VKO_CVALUE_RY = 3,
    VKO_CVALUE_LT = 4,
    VKO_CVALUE_RT = 5,
};

struct VKO_ControllerValue {
    uint16_t usage;  // HID generic-desktop usage
    int16_t data;
    int16_t min;
    int16_t max;
};

struct VKO_ControllerEvent {
    bool buttons[64];
    VKO_ControllerValue values[16];
    uint32_t driver_type;  // VKO_CType
    uint32_t id;
    uint16_t vendor_id;
    uint16_t product_id;
    uint8_t button_count;
    uint8_t value_count;
};

struct VKO_Hash;

// Hat value to d-pad buttons 13-16: 0 up, 1 up-right, ... 7 up-left; 8 and
// above (and anything negative) is centred.
void vko_hat_to_dpad(VKO_ControllerEvent *ev, int32_t hat);

// XInput gamepad input as the XInput state query gives it.
struct VKO_XInputGamepad {
    uint16_t buttons;
    uint8_t left_trigger;
    uint8_t right_trigger;
    int16_t thumb_lx, thumb_ly, thumb_rx, thumb_ry;
};

// Fills the common layout from an XInput pad (17 buttons, 6 values); the
// driver type and id are the caller's.
void vko_controller_from_xinput(VKO_ControllerEvent *ev, const VKO_XInputGamepad *pad);

// State cache: the last state of every controller id. The dead zone is
// applied to the incoming state in place; true when it differs from the last
// state of that id over the incoming button and value counts.
VKO_Hash *vko_controller_cache_create(void);
void vko_controller_cache_destroy(VKO_Hash **cache);
bool vko_controller_cache_update(VKO_Hash *cache, VKO_ControllerEvent *ev);
