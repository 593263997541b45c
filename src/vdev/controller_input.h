// Guests' pad input written into their pads' reports: buttons, sticks and
// triggers in the XInput form, rendered into the report of the manager's pad
// type (Xbox 360: the 12-byte XUSB report; DualShock 4: sticks in bytes 0-3,
// hat and face buttons in 4, shoulder and stick buttons in 5, the guide
// button in 6, triggers in 7 and 8; DualSense: its input report without the
// id byte, sticks in 0-3, triggers in 4 and 5, the three button bytes in
// 7-9, touch points from 32) and submitted to the back-end.
//
// Pads are found by their key (controller_pad_key: guest id and pad index)
// and plugged for the guest's user id. Every call takes the manager's mutex.
#pragma once

#include <cstdint>

struct ControllerManager;

// XInput button bits.
constexpr uint16_t PAD_BTN_UP = 0x1, PAD_BTN_DOWN = 0x2, PAD_BTN_LEFT = 0x4, PAD_BTN_RIGHT = 0x8;
constexpr uint16_t PAD_BTN_START = 0x10, PAD_BTN_BACK = 0x20, PAD_BTN_LTHUMB = 0x40, PAD_BTN_RTHUMB = 0x80;
constexpr uint16_t PAD_BTN_LB = 0x100, PAD_BTN_RB = 0x200, PAD_BTN_GUIDE = 0x400;
constexpr uint16_t PAD_BTN_A = 0x1000, PAD_BTN_B = 0x2000, PAD_BTN_X = 0x4000, PAD_BTN_Y = 0x8000;

// The button word of the wire's buttons 0..14 (A, B, X, Y, back, guide, start,
// left stick, right stick, left and right shoulder, up, down, left, right).
uint16_t controller_button_bit(uint32_t button);

void controller_submit(ControllerManager *mgr, uint32_t slot);
// Neutral report for the pad (when it has a slot); unbind 1 also unplugs it.
void controller_reset(ControllerManager *mgr, uint64_t key, uint8_t unbind);
// Plug the pad on first use, change its report, submit it. The single-value
// setters do nothing for DualSense pads, which take whole states.
void controller_set_button(ControllerManager *mgr, uint64_t key, uint32_t owner, uint32_t button,
                           uint8_t pressed);
void controller_set_axis(ControllerManager *mgr, uint64_t key, uint32_t owner, uint32_t axis, int32_t value);
void controller_set_trigger(ControllerManager *mgr, uint64_t key, uint32_t owner, uint32_t trigger,
                            int32_t value);
void controller_set_state(ControllerManager *mgr, uint64_t key, uint32_t owner, uint16_t buttons, uint8_t lt,
                          uint8_t rt, int16_t lx, int16_t ly, int16_t rx, int16_t ry);
// Raw report bytes written at offset into the pad's report (bounded by it), then submitted.
void controller_write_raw(ControllerManager *mgr, uint64_t key, uint32_t owner, uint32_t offset,
                          const uint8_t *data, uint32_t size);
