// Guests' keyboard, mouse, wheel, pen and gamepad messages turned into local
// input. Keyboard and mouse go to the streamed X display through XTest
// (host/input_x11.h); pens without a pointer-injection facility become mouse
// events; gamepads go to the virtual pads (vdev/controller_input.h).
//
// Each guest's message thread owns one InputState and calls in with it; no
// two threads share a state. The X side serialises its own requests.
//
// Callers: the guest message thread passes its InputState, the context's
// relative-mouse flag, the output rectangle of the chosen stream, the
// context's gamepad manager and virtual USB record, and the guest's public
// record (permissions, id, userID, owner).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "connection/guest_info.h"
#include "connection/protocol.h"

struct ControllerManager;
struct HostContext;
struct VirtualUsbHost;
struct VKO_Mutex;

constexpr uint32_t INPUT_KEY_CODES = 300;
constexpr uint32_t INPUT_POS_UNKNOWN = 0xFFFFFFFF;

// Wire modifier bits of a key message.
constexpr uint32_t INPUT_MOD_LSHIFT = 0x1, INPUT_MOD_RSHIFT = 0x2;
constexpr uint32_t INPUT_MOD_CTRL = 0xC0, INPUT_MOD_ALT = 0x300;
constexpr uint32_t INPUT_MOD_NUMLOCK = 0x1000, INPUT_MOD_CAPSLOCK = 0x2000;

// Input message types (field a, b, c of the control header).
constexpr uint8_t MSG_KEY = 0;
constexpr uint8_t MSG_MOUSE_BUTTON = 1;
constexpr uint8_t MSG_MOUSE_WHEEL = 2;
constexpr uint8_t MSG_MOUSE_MOTION = 3;
constexpr uint8_t MSG_PAD_BUTTON = 4;
constexpr uint8_t MSG_PAD_AXIS = 5;
constexpr uint8_t MSG_PAD_UNPLUGGED = 6;
constexpr uint8_t MSG_PEN = 30;

// USB HID usage -> set-1 scan code; 0 unsupported, high byte 0xE0 for extended keys.
extern const std::array<uint16_t, INPUT_KEY_CODES> ScanCodeTable;

struct InputState {
    uint8_t pen_contact;
    void *pen_device;                       // synthetic pointer device, when the system has one
    uint8_t keys[INPUT_KEY_CODES];          // marked down by this guest
    uint8_t buttons[8];                     // 1..5 marked down by this guest
    uint32_t num_lock, caps_lock;           // at thread start
    uint32_t last_x, last_y;                // last absolute position, INPUT_POS_UNKNOWN
    uint8_t num_lock_last, caps_lock_last;  // wanted states last synchronised
    int32_t wheel_rest[2];                  // vertical, horizontal units short of a notch (120)
};

// Reads the lock keys, forgets the position.
void input_state_init(InputState *state);

// output: left, top, right, bottom of the stream's output on the desktop.
void host_input_dispatch(InputState *state, uint8_t relative_mouse, const int32_t output[4],
                         ControllerManager *gamepads, VirtualUsbHost *vusb, const ControlHeader *header,
                         const uint8_t *raw, uint32_t raw_length, const GuestInfo *info, uint8_t allowed);

void input_inject_key(InputState *state, const ControlHeader *header);
void input_release_keys(InputState *state);
void input_tap_key(uint32_t scan);
void input_inject_button(InputState *state, const ControlHeader *header);
void input_release_buttons(InputState *state);
void input_inject_wheel(InputState *state, int32_t horizontal, int32_t vertical);
void input_inject_motion(const ControlHeader *header, uint8_t relative_mouse, uint32_t *last_x,
                         uint32_t *last_y, const int32_t output[4]);
// Through the state's synthetic pointer device (compat/pointer).
void input_inject_pen(InputState *state, const ControlHeader *header, const int32_t output[4],
                      uint8_t is_new);

// Who may move the mouse: the local user or one guest at a time.
//
// The message threads (host_mouse_arbitrate) and the hook thread (the
// hook procedure and the button release) share it. Every field but
// local_events changes only under `mutex`; local_events is atomic.
//   busy            some party holds the mouse
//   release_buttons the holder changed: the hook thread lets go of held buttons
//   holder          0 nobody, MOUSE_HOLDER_LOCAL the local user, else a guest id
//   local_events    pointer events of the local user since the last quiet spell
//   last_activity   when the holder last used the mouse (VKO_GetTime ticks)
//   installed       the hook thread watches the pointer (guests connected and
//                   exclusive input wanted); arbitration applies only then
// One record per host context, reachable through a process-wide pointer
// while it exists.
constexpr uint32_t MOUSE_HOLDER_LOCAL = 0xFFFFFFFF;
constexpr uint32_t MOUSE_LOCAL_TAKEOVER = 5;

struct MouseControl {
    uint8_t busy;
    uint8_t release_buttons;
    uint32_t holder;
    std::atomic<uint32_t> local_events;
    int64_t last_activity;
    void *hook;  // the watching display connection
    VKO_Mutex *mutex;
    uint32_t hook_thread_id;
    uint8_t installed;
    int wake_fd;
};

MouseControl *host_mouse_control_create(void);
void host_mouse_control_destroy(MouseControl **mc);
// The process-wide record, or null.
MouseControl *host_mouse_control(void);
// Wakes the hook thread (a guest left, the host stops).
void host_mouse_hook_wake(MouseControl *mc);
// True when the guest may use the mouse now (always while the hook is not installed).
bool host_mouse_arbitrate(MouseControl *mc, const GuestInfo *guest, int32_t exclusive_timeout);
// A leaving guest lets go of the mouse if it holds it.
void host_mouse_release(MouseControl *mc, uint32_t guest_id);
// One pointer event seen by the hook; injected: it came from injection, not from the local user.
void input_mouse_hook_proc(MouseControl *mc, bool injected);
// Thread procedure (context: HostContext, with its mouse_control): watches the
// pointer while guests are connected and exclusive input is on, until the
// context stops.
void *host_mouse_hook_thread(void *context);
