#include "host/input.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "compat/pointer/pointer.h"
#include "host/host.h"
#include "host/input_x11.h"
#include "platform/log.h"
#include "vdev/controller_input.h"

namespace {

struct Entry {
    uint16_t code, scan;
};

constexpr Entry kScanCodes[] = {
    {4, 0x1E},     {5, 0x30},     {6, 0x2E},     {7, 0x20},     {8, 0x12},     {9, 0x21},     {10, 0x22},
    {11, 0x23},    {12, 0x17},    {13, 0x24},    {14, 0x25},    {15, 0x26},    {16, 0x32},    {17, 0x31},
    {18, 0x18},    {19, 0x19},    {20, 0x10},    {21, 0x13},    {22, 0x1F},    {23, 0x14},    {24, 0x16},
    {25, 0x2F},    {26, 0x11},    {27, 0x2D},    {28, 0x15},    {29, 0x2C},    {30, 0x2},     {31, 0x3},
    {32, 0x4},     {33, 0x5},     {34, 0x6},     {35, 0x7},     {36, 0x8},     {37, 0x9},     {38, 0xA},
    {39, 0xB},     {40, 0x1C},    {41, 0x1},     {42, 0xE},     {43, 0xF},     {44, 0x39},    {45, 0xC},
    {46, 0xD},     {47, 0x1A},    {48, 0x1B},    {49, 0x2B},    {51, 0x27},    {52, 0x28},    {53, 0x29},
    {54, 0x33},    {55, 0x34},    {56, 0x35},    {57, 0x3A},    {58, 0x3B},    {59, 0x3C},    {60, 0x3D},
    {61, 0x3E},    {62, 0x3F},    {63, 0x40},    {64, 0x41},    {65, 0x42},    {66, 0x43},    {67, 0x44},
    {68, 0x57},    {69, 0x58},    {70, 0xE037},  {71, 0x46},    {72, 0x1D45},  {73, 0xE052},  {74, 0xE047},
    {75, 0xE049},  {76, 0xE053},  {77, 0xE04F},  {78, 0xE051},  {79, 0xE04D},  {80, 0xE04B},  {81, 0xE050},
    {82, 0xE048},  {83, 0x45},    {84, 0xE035},  {85, 0x37},    {86, 0x4A},    {87, 0x4E},    {88, 0xE01C},
    {89, 0x4F},    {90, 0x50},    {91, 0x51},    {92, 0x4B},    {93, 0x4C},    {94, 0x4D},    {95, 0x47},
    {96, 0x48},    {97, 0x49},    {98, 0x52},    {99, 0x53},    {100, 0x56},   {101, 0xE05D}, {104, 0x64},
    {105, 0x65},   {106, 0x66},   {107, 0x67},   {108, 0x68},   {109, 0x69},   {110, 0x6A},   {118, 0xE05D},
    {127, 0xE020}, {128, 0xE030}, {129, 0xE02E}, {133, 0x7E},   {135, 0x73},   {136, 0x70},   {137, 0x7D},
    {138, 0x79},   {139, 0x7B},   {224, 0x1D},   {225, 0x2A},   {226, 0x38},   {227, 0xE05B}, {228, 0xE01D},
    {229, 0x36},   {230, 0xE038}, {231, 0xE05C}, {258, 0xE019}, {259, 0xE010}, {260, 0xE024}, {261, 0xE022},
    {262, 0xE020}, {263, 0xE06D},
};

constexpr std::array<uint16_t, INPUT_KEY_CODES> make_table() {
    std::array<uint16_t, INPUT_KEY_CODES> t{};
    for (const Entry &e : kScanCodes) t[e.code] = e.scan;
    return t;
}

constexpr std::array<uint16_t, INPUT_KEY_CODES> kTable = make_table();

constexpr uint32_t kCodePause = 72, kCodeLShift = 225, kCodeRShift = 229;
constexpr uint32_t kKeyBreak = 0x146, kKeySysRq = 0x54;
constexpr uint32_t kWheelNotch = 120;
// A wheel message never turns into more clicks than this (a hostile delta
// would otherwise hold the display for millions of requests).
constexpr int32_t kWheelMaxClicks = 64;

// A raw controller report: the DualSense input report is the largest (77 bytes).
constexpr uint32_t kRawReportMax = 128;
constexpr uint32_t kDs4ExtensionOffset = 9;
// Tablet and microphone packets: a zeroed buffer larger than the 1932-byte
// record, so every packet a guest may send fits.
constexpr uint32_t kDeviceReportMax = 2048;
static_assert(kDeviceReportMax >= VTABLET_RECORD_SIZE);
constexpr uint32_t kTabletDevice = 0x056A0357, kMicrophoneDevice = 0xF055F055;

// X buttons of the wire's 1 left, 2 middle, 3 right, 4 X1, 5 X2.
constexpr uint32_t kXButtons[6] = {0, 1, 2, 3, 8, 9};

uint32_t key_of(uint16_t entry) {
    return (entry & 0xFF) | ((entry >> 8) == 0xE0 ? 0x100 : 0);
}

// The X key a wire code sends (its up and down alike), Pause for code 72.
uint32_t key_for_code(uint32_t code) {
    return code == kCodePause ? XKEY_PAUSE : key_of(kTable[code]);
}

void sync_lock(uint8_t *last, bool wanted, bool is_lock_key, bool (*system)(void), uint32_t lock_key) {
    if (!is_lock_key && wanted != (*last != 0) && system() != wanted) input_tap_key(lock_key);
    *last = wanted;
}

void wheel_axis(int32_t *rest, int32_t delta, uint32_t positive, uint32_t negative) {
    if (delta == 0) return;
    if ((delta > 0) != (*rest > 0) && *rest != 0) *rest = 0;  // direction changed: forget the remainder
    int64_t total = (int64_t)*rest + delta;
    int64_t clicks = total / (int64_t)kWheelNotch;
    *rest = (int32_t)(total - clicks * (int64_t)kWheelNotch);
    uint32_t button = clicks > 0 ? positive : negative;
    int32_t n = (int32_t)std::min<int64_t>(clicks < 0 ? -clicks : clicks, kWheelMaxClicks);
    for (int32_t i = 0; i < n; i++) {
        xinput_button(button, true);
        xinput_button(button, false);
    }
}

}  // namespace

const std::array<uint16_t, INPUT_KEY_CODES> ScanCodeTable = kTable;

void input_state_init(InputState *state) {
    memset(state, 0, sizeof(*state));
    state->num_lock = xinput_num_lock();
    state->caps_lock = xinput_caps_lock();
    state->num_lock_last = (uint8_t)state->num_lock;
    state->caps_lock_last = (uint8_t)state->caps_lock;
    state->last_x = state->last_y = INPUT_POS_UNKNOWN;
}

void input_tap_key(uint32_t scan) {
    xinput_key(scan, true);
    xinput_key(scan, false);
}

void input_inject_key(InputState *state, const ControlHeader *header) {
    uint32_t code = header->field0, mods = header->field1;
    bool down = header->field2 != 0;
    if (code >= INPUT_KEY_CODES || !kTable[code]) return;
    bool sysrq = kTable[code] == 0xE037 && (mods & INPUT_MOD_ALT);
    if (code == 100 && xinput_layout_japanese()) code = 135;
    if (!down && !state->keys[code] && !sysrq) return;

    uint32_t key = key_for_code(code);
    if (code == kCodePause && (mods & 0xFF) >= 64) key = kKeyBreak;  // Ctrl held: Break
    if (sysrq) key = kKeySysRq;
    state->keys[code] = down;

    sync_lock(&state->num_lock_last, mods & INPUT_MOD_NUMLOCK, key == XKEY_NUMLOCK, xinput_num_lock,
              XKEY_NUMLOCK);
    sync_lock(&state->caps_lock_last, mods & INPUT_MOD_CAPSLOCK, key == XKEY_CAPSLOCK, xinput_caps_lock,
              XKEY_CAPSLOCK);
    xinput_key(key, down);

    // A Shift released while the other Shift is still held on the desktop
    // but no longer by the guest: release that one too.
    if (!down && (key == XKEY_LSHIFT || key == XKEY_RSHIFT)) {
        bool left = key == XKEY_LSHIFT;
        uint32_t other = left ? XKEY_RSHIFT : XKEY_LSHIFT;
        if (!(mods & (left ? INPUT_MOD_RSHIFT : INPUT_MOD_LSHIFT)) && xinput_key_held(other)) {
            xinput_key(other, false);
            state->keys[left ? kCodeRShift : kCodeLShift] = 0;
        }
    }
}

void input_release_keys(InputState *state) {
    for (uint32_t code = 0; code < INPUT_KEY_CODES; code++) {
        if (!state->keys[code]) continue;
        xinput_key(key_for_code(code), false);
        state->keys[code] = 0;
    }
}

void input_inject_button(InputState *state, const ControlHeader *header) {
    uint32_t button = header->field0;
    bool down = header->field1 != 0;
    if (button < 1 || button > 5) return;
    if (!down && !state->buttons[button]) return;
    state->buttons[button] = down;
    xinput_button(kXButtons[button], down);
}

void input_release_buttons(InputState *state) {
    for (uint32_t button = 1; button <= 5; button++) {
        if (!state->buttons[button]) continue;
        xinput_button(kXButtons[button], false);
        state->buttons[button] = 0;
    }
}

void input_inject_wheel(InputState *state, int32_t horizontal, int32_t vertical) {
    // Positive vertical turns away from the user (X button 4), positive horizontal to the right (7).
    wheel_axis(&state->wheel_rest[0], vertical, 4, 5);
    wheel_axis(&state->wheel_rest[1], horizontal, 7, 6);
}

void input_inject_motion(const ControlHeader *header, uint8_t relative_mouse, uint32_t *last_x,
                         uint32_t *last_y, const int32_t output[4]) {
    bool relative = header->field0 != 0;
    int32_t x = (int32_t)header->field1, y = (int32_t)header->field2;
    if (!relative && (relative_mouse || !xinput_cursor_showing())) {
        // The pointer is hidden (a game looking through it): move by the difference.
        if (*last_x == INPUT_POS_UNKNOWN) {
            *last_x = (uint32_t)x;
            *last_y = (uint32_t)y;
            return;
        }
        // Wide, then clamped: guest values may be anything.
        auto delta = [](int32_t to, uint32_t from) {
            return (int32_t)std::clamp<int64_t>((int64_t)to - (int32_t)from, INT32_MIN, INT32_MAX);
        };
        int32_t dx = delta(x, *last_x), dy = delta(y, *last_y);
        *last_x = (uint32_t)x;
        *last_y = (uint32_t)y;
        xinput_motion_relative(dx, dy);
        return;
    }
    *last_x = *last_y = INPUT_POS_UNKNOWN;
    if (relative) {
        xinput_motion_relative(x, y);
        return;
    }
    // Pixels of the output, which sits at (left, top) of the root window.
    int32_t screen[4];
    xinput_virtual_screen(screen);
    int32_t w = std::max(output[2] - output[0], 1), h = std::max(output[3] - output[1], 1);
    x = std::clamp(x, 0, w - 1);
    y = std::clamp(y, 0, h - 1);
    xinput_motion_absolute(output[0] - screen[0] + x, output[1] - screen[1] + y);
}

namespace {

void pad_input(ControllerManager *pads, const ControlHeader *h, const uint8_t *raw, uint32_t length,
               const GuestInfo *info, bool may) {
    uint32_t a = h->field0, b = h->field1, c = h->field2;
    // Pads are the guest's own (by guest id), plugged for its user.
    uint32_t owner = info->userID;
    if (h->type == MSG_GAMEPAD_STATE) {
        GamepadState st = proto_parse_gamepad_state(nullptr, raw, length);
        uint64_t key = controller_pad_key(info->id, st.id);
        if (!may) {
            controller_reset(pads, key, 0);
            return;
        }
        if (!info->owner) st.buttons &= (uint16_t)~PAD_BTN_GUIDE;
        controller_set_state(pads, key, owner, st.buttons, st.lt, st.rt, st.lx, st.ly, st.rx, st.ry);
        return;
    }
    uint64_t key = controller_pad_key(info->id, c);
    if (!may) {
        controller_reset(pads, key, 0);
        return;
    }
    if (h->type == MSG_PAD_BUTTON) {
        if (a == 5 && !info->owner) return;  // the guide button belongs to the owner
        controller_set_button(pads, key, owner, a, b != 0);
    } else if (a == 0 || a == 2) {
        controller_set_axis(pads, key, owner, a, (int32_t)b);
    } else if (a == 1 || a == 3) {
        // The wire's Y grows downwards; -(-32768 and below) does not fit.
        controller_set_axis(pads, key, owner, a,
                            (int32_t)std::clamp<int64_t>(-(int64_t)(int32_t)b, -32768, 32767));
    } else if (a == 4 || a == 5) {
        controller_set_trigger(pads, key, owner, a, (int32_t)b);
    }
}

void raw_report(ControllerManager *pads, const ControlHeader *h, const uint8_t *raw, uint32_t length,
                const GuestInfo *info) {
    uint8_t report[kRawReportMax];
    uint32_t consumed = proto_parse_message(raw, length, report, sizeof(report));
    if (consumed < PROTO_HEADER_SIZE + 1 || !pads) return;
    uint32_t size = consumed - PROTO_HEADER_SIZE;
    if (pads->pad_type == PAD_DS4 && (size == 22 || size == 23)) {
        controller_write_raw(pads, controller_pad_key(info->id, h->field1), info->userID, kDs4ExtensionOffset,
                             report, size);
    } else if (pads->pad_type == PAD_DUALSENSE && size == DUALSENSE_REPORT_SIZE) {
        controller_touch_clamp(report, DUALSENSE_TOUCH_OFFSET);
        controller_write_raw(pads, controller_pad_key(info->id, h->field1), info->userID, 0, report, size);
    }
}

// The virtual devices' packets: the devices are made on first use; the
// tablet queues its reports with the streamed output's place, the
// microphone takes its samples.
void device_report(VirtualUsbHost *vusb, const ControlHeader *h, const uint8_t *raw, uint32_t length,
                   const int32_t output[4]) {
    uint8_t record[kDeviceReportMax] = {};
    uint32_t consumed = proto_parse_message(raw, length, record, sizeof(record));
    if (consumed < PROTO_HEADER_SIZE + 1) return;
    std::lock_guard<std::mutex> lock(vusb->devices);
    if (h->field2 == kTabletDevice && vusb->tablet_mode && (h->field1 & 0xFF) == 0) {
        if (!vusb->tablet && vtablet_init(&vusb->tablet) != 0) vusb->tablet_mode = 0;
        if (vusb->tablet) vtablet_queue(vusb->tablet, record, output);
    } else if (h->field2 == kMicrophoneDevice && vusb->microphone_mode && (h->field1 & 0xFF) == 1 &&
               !vusb->microphone) {
        if (vdev()->vmicrophone_init(vusb->microphone_mode == 2) != 0)
            vusb->microphone_mode = 0;
        else
            vusb->microphone = 1;
    }
    uint32_t size = consumed - PROTO_HEADER_SIZE;
    if (h->field2 == kMicrophoneDevice && vusb->microphone && (h->field1 & 0xFF) == 1 &&
        size >= VMIC_PACKET_HEADER) {
        uint32_t samples, flag;
        std::memcpy(&samples, record, 4);
        std::memcpy(&flag, record + 4, 4);
        samples = std::min(samples, size - VMIC_PACKET_HEADER);
        vmicrophone_submit(vusb->microphone, record + VMIC_PACKET_HEADER, samples, flag);
    }
}

bool has_tablet(VirtualUsbHost *vusb) {
    if (!vusb) return false;
    std::lock_guard<std::mutex> lock(vusb->devices);
    return vusb->tablet != nullptr;
}

void pen(InputState *state, uint8_t relative_mouse, const int32_t output[4], const ControlHeader *h) {
    const PointerApi *api = pointer_api();
    uint8_t is_new = 0;
    if (api && !state->pen_device) {
        uint32_t error = 0;
        state->pen_device = api->create_device(PT_PEN, 1, POINTER_FEEDBACK_DEFAULT, &error);
        if (!state->pen_device) {
            VKO_Log("host_input_dispatch", "'CreateSyntheticPointerDevice' failed with error 0x%X", error);
            pointer_forget_api();
            api = nullptr;
        }
        is_new = 1;
    }
    if (api) {
        input_inject_pen(state, h, output, is_new);
        return;
    }
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        VKO_Log("host_input_dispatch", "Pen injection not fully supported on this version of Windows");
        VKO_Log("host_input_dispatch", "Falling back to pen-to-mouse emulation mode");
    }
    bool contact = (h->field2 >> 1) & 1;
    ControlHeader motion = {0, h->field0 >> 16, h->field0 & 0xFFFF, MSG_MOUSE_MOTION};
    input_inject_motion(&motion, relative_mouse, &state->last_x, &state->last_y, output);
    if (contact != (state->pen_contact != 0)) {
        ControlHeader button = {1, contact, 0, MSG_MOUSE_BUTTON};
        input_inject_button(state, &button);
    }
    state->pen_contact = contact;
}

}  // namespace

void input_inject_pen(InputState *state, const ControlHeader *header, const int32_t output[4],
                      uint8_t is_new) {
    const PointerApi *api = pointer_api();
    if (!api || !state->pen_device) return;
    uint32_t a = header->field0, b = header->field1, c = header->field2;
    bool contact = c & 0x2, was = state->pen_contact != 0;
    PointerPenInfo p = {};
    p.type = PT_PEN;
    // Three pixels in, as the pointer stack expects of a pen.
    p.x = (int32_t)(a >> 16) + 3 + output[0];
    p.y = (int32_t)(a & 0xFFFF) + 3 + output[1];
    p.pen_mask = PEN_MASK_PRESSURE | PEN_MASK_ROTATION | PEN_MASK_TILT_X | PEN_MASK_TILT_Y;
    p.pressure = b >> 16;
    p.rotation = b & 0xFFFF;
    p.tilt_x = (int8_t)(c >> 16);
    p.tilt_y = (int8_t)(c >> 8);
    p.pen_flags = ((c & 0x10) ? PEN_FLAG_BARREL : 0) | ((c & 0x8) ? PEN_FLAG_ERASER : 0) |
                  ((c & 0x4) ? PEN_FLAG_INVERTED : 0);
    uint32_t f = is_new ? POINTER_FLAG_NEW : 0;
    if (!(c & 0x1)) f |= POINTER_FLAG_INRANGE;
    if (contact)
        f |= POINTER_FLAG_INCONTACT | ((c & 0x10) ? POINTER_FLAG_SECONDBUTTON : POINTER_FLAG_FIRSTBUTTON);
    if (was)
        f |= contact ? POINTER_FLAG_UPDATE : POINTER_FLAG_UP;
    else
        f |= contact ? POINTER_FLAG_DOWN : POINTER_FLAG_UPDATE;
    p.pointer_flags = f | POINTER_FLAG_CONFIDENCE | POINTER_FLAG_PRIMARY;
    state->pen_contact = contact;
    uint32_t error = 0;
    if (!api->inject(state->pen_device, &p, 1, &error))
        VKO_Log("input_inject_pen", "'InjectSyntheticPointerInput' failed with error 0x%X", error);
    if (c & 0x80) {
        // Lift and press again.
        ControlHeader lift = {a, b, c & ~0x82u, header->type};
        ControlHeader press = {a, b, (c & ~0x80u) | 0x2u, header->type};
        input_inject_pen(state, &lift, output, 0);
        input_inject_pen(state, &press, output, 0);
    }
}

void host_input_dispatch(InputState *state, uint8_t relative_mouse, const int32_t output[4],
                         ControllerManager *gamepads, VirtualUsbHost *vusb, const ControlHeader *header,
                         const uint8_t *raw, uint32_t raw_length, const GuestInfo *info, uint8_t allowed) {
    bool mouse = allowed && info->mouse;
    bool pad = allowed && info->gamepad;
    switch (header->type) {
        case MSG_KEY:
            if (allowed && info->keyboard)
                input_inject_key(state, header);
            else
                input_release_keys(state);
            break;
        case MSG_MOUSE_BUTTON:
            if (mouse) input_inject_button(state, header);
            break;
        case MSG_MOUSE_WHEEL:
            if (mouse) input_inject_wheel(state, (int32_t)header->field0, (int32_t)header->field1);
            break;
        case MSG_MOUSE_MOTION:
            if (mouse) input_inject_motion(header, relative_mouse, &state->last_x, &state->last_y, output);
            break;
        case MSG_PAD_BUTTON:
        case MSG_PAD_AXIS:
        case MSG_GAMEPAD_STATE:
            pad_input(gamepads, header, raw, raw_length, info, pad);
            break;
        case MSG_PAD_UNPLUGGED:
            controller_reset(gamepads, controller_pad_key(info->id, header->field2), 1);
            break;
        case MSG_CONTROLLER_REPORT:
            if (pad) raw_report(gamepads, header, raw, raw_length, info);
            break;
        case MSG_TABLET_REPORT:
            if (vusb) device_report(vusb, header, raw, raw_length, output);
            break;
        case MSG_PEN:
            if (mouse && !has_tablet(vusb)) pen(state, relative_mouse, output, header);
            break;
        default:
            break;
    }
}
