#include "vdev/controller_input.h"

#include <algorithm>
#include <cstring>

#include "platform/map.h"
#include "platform/thread.h"
#include "vdev/vdev.h"

namespace {

struct PadState {
    uint16_t buttons;
    uint8_t lt, rt;
    int32_t axes[4];  // LX, LY, RX, RY; Y up positive
};

constexpr uint16_t kButtonBits[15] = {PAD_BTN_A,      PAD_BTN_B,     PAD_BTN_X,     PAD_BTN_Y,
                                      PAD_BTN_BACK,   PAD_BTN_GUIDE, PAD_BTN_START, PAD_BTN_LTHUMB,
                                      PAD_BTN_RTHUMB, PAD_BTN_LB,    PAD_BTN_RB,    PAD_BTN_UP,
                                      PAD_BTN_DOWN,   PAD_BTN_LEFT,  PAD_BTN_RIGHT};

// Hat of the four direction bits (up, down, left, right): 0 up, clockwise, 8 released.
constexpr uint8_t kHat[16] = {8, 0, 4, 8, 6, 7, 5, 6, 2, 1, 3, 2, 8, 0, 4, 8};
constexpr uint16_t kHatBits[9] = {PAD_BTN_UP,
                                  PAD_BTN_UP | PAD_BTN_RIGHT,
                                  PAD_BTN_RIGHT,
                                  PAD_BTN_DOWN | PAD_BTN_RIGHT,
                                  PAD_BTN_DOWN,
                                  PAD_BTN_DOWN | PAD_BTN_LEFT,
                                  PAD_BTN_LEFT,
                                  PAD_BTN_UP | PAD_BTN_LEFT,
                                  0};
// Byte 4 high nibble and byte 5 of the DualShock form, as XInput bits.
constexpr uint16_t kFace[4] = {PAD_BTN_X, PAD_BTN_A, PAD_BTN_B, PAD_BTN_Y};
constexpr uint16_t kShoulder[8] = {PAD_BTN_LB,     PAD_BTN_RB,    0, 0, PAD_BTN_BACK, PAD_BTN_START,
                                   PAD_BTN_LTHUMB, PAD_BTN_RTHUMB};

uint16_t le16(const uint8_t *p) {
    return (uint16_t)(p[0] | p[1] << 8);
}

// Where the Sony layouts keep their fields: sticks in bytes 0-3, then the
// triggers and the three button bytes (hat and face buttons; shoulders,
// share, options and stick clicks; guide). DualSense: its input report
// without the id byte.
struct SonyLayout {
    uint8_t lt, rt, buttons;
};
constexpr SonyLayout kDs4Layout = {7, 8, 4}, kDualSenseLayout = {4, 5, 7};

SonyLayout sony_layout(uint32_t type) {
    return type == PAD_DUALSENSE ? kDualSenseLayout : kDs4Layout;
}

PadState decode(uint32_t type, const uint8_t *r) {
    PadState s = {};
    if (type == PAD_XBOX360) {
        s.buttons = le16(r);
        s.lt = r[2];
        s.rt = r[3];
        for (int i = 0; i < 4; i++) s.axes[i] = (int16_t)le16(r + 4 + 2 * i);
        return s;
    }
    const SonyLayout l = sony_layout(type);
    const uint8_t *b = r + l.buttons;
    for (int i = 0; i < 4; i++) s.axes[i] = (i & 1) ? (128 - r[i]) * 256 : (r[i] - 128) * 256;
    s.buttons = kHatBits[std::min<uint8_t>(b[0] & 0xF, 8)];
    for (int i = 0; i < 4; i++)
        if (b[0] & (0x10 << i)) s.buttons |= kFace[i];
    for (int i = 0; i < 8; i++)
        if (b[1] & (1 << i)) s.buttons |= kShoulder[i];
    if (b[2] & 1) s.buttons |= PAD_BTN_GUIDE;
    s.lt = r[l.lt];
    s.rt = r[l.rt];
    return s;
}

void encode(uint32_t type, const PadState &s, uint8_t *r) {
    if (type == PAD_XBOX360) {
        r[0] = (uint8_t)s.buttons;
        r[1] = (uint8_t)(s.buttons >> 8);
        r[2] = s.lt;
        r[3] = s.rt;
        for (int i = 0; i < 4; i++) {
            auto v = (uint16_t)(int16_t)std::clamp(s.axes[i], -32768, 32767);
            r[4 + 2 * i] = (uint8_t)v;
            r[5 + 2 * i] = (uint8_t)(v >> 8);
        }
        return;
    }
    const SonyLayout l = sony_layout(type);
    uint8_t *b = r + l.buttons;
    for (int i = 0; i < 4; i++) {
        int32_t v = (i & 1) ? 128 - (s.axes[i] >> 8) : (s.axes[i] >> 8) + 128;
        r[i] = (uint8_t)std::clamp(v, 0, 255);
    }
    b[0] = kHat[s.buttons & 0xF];
    for (int i = 0; i < 4; i++)
        if (s.buttons & kFace[i]) b[0] |= (uint8_t)(0x10 << i);
    b[1] = (s.lt ? 0x04 : 0) | (s.rt ? 0x08 : 0);
    for (int i = 0; i < 8; i++)
        if (kShoulder[i] && (s.buttons & kShoulder[i])) b[1] |= (uint8_t)(1 << i);
    b[2] = (uint8_t)((b[2] & ~1) | ((s.buttons & PAD_BTN_GUIDE) ? 1 : 0));
    r[l.lt] = s.lt;
    r[l.rt] = s.rt;
}

int32_t find_slot(ControllerManager *m, uint64_t key) {
    auto found = reinterpret_cast<uintptr_t>(VKO_HashGetInt(m->map, key));
    return found ? (int32_t)(found - 1) : -1;
}

template <typename F>
void change(ControllerManager *m, uint64_t key, uint32_t owner, bool dualsense_too, F f) {
    if (!m || (!dualsense_too && m->pad_type == PAD_DUALSENSE)) return;
    VKO_MutexLock(m->mutex);
    int32_t slot = controller_slot_get(m, key, owner);
    if (slot >= 0) {
        ControllerSlot &s = m->slots[slot];
        PadState st = decode(m->pad_type, s.report);
        f(st);
        encode(m->pad_type, st, s.report);
        controller_submit(m, (uint32_t)slot);
    }
    VKO_MutexUnlock(m->mutex);
}

}  // namespace

uint16_t controller_button_bit(uint32_t button) {
    return button < 15 ? kButtonBits[button] : 0;
}

void controller_submit(ControllerManager *m, uint32_t slot) {
    if (slot >= CONTROLLER_SLOTS || !m->slots[slot].used) return;
    if (m->pad_type == PAD_DUALSENSE && m->backend == 1)
        VirtualDualSenseDeviceSubmitReport(slot, m->slots[slot].report);
    else
        vdev()->pad_submit(slot, m->slots[slot].report, m->slots[slot].report_size);
}

void controller_reset(ControllerManager *m, uint64_t key, uint8_t unbind) {
    if (!m) return;
    VKO_MutexLock(m->mutex);
    int32_t slot = find_slot(m, key);
    if (slot >= 0) {
        ControllerSlot &s = m->slots[slot];
        s.report_size = controller_neutral_report(m->pad_type, s.report);
        controller_submit(m, (uint32_t)slot);
        if (unbind) controller_unplug(m, (uint32_t)slot);
    }
    VKO_MutexUnlock(m->mutex);
}

void controller_set_button(ControllerManager *m, uint64_t key, uint32_t owner, uint32_t button,
                           uint8_t pressed) {
    uint16_t bit = controller_button_bit(button);
    if (!bit) return;
    change(m, key, owner, false,
           [&](PadState &s) { s.buttons = pressed ? s.buttons | bit : s.buttons & ~bit; });
}

void controller_set_axis(ControllerManager *m, uint64_t key, uint32_t owner, uint32_t axis, int32_t value) {
    if (axis > 3) return;
    change(m, key, owner, false, [&](PadState &s) { s.axes[axis] = std::clamp(value, -32768, 32767); });
}

void controller_set_trigger(ControllerManager *m, uint64_t key, uint32_t owner, uint32_t trigger,
                            int32_t value) {
    if (trigger != 4 && trigger != 5) return;
    auto v = (uint8_t)(std::clamp(value, 0, 32767) >> 7);
    change(m, key, owner, false, [&](PadState &s) { (trigger == 4 ? s.lt : s.rt) = v; });
}

void controller_set_state(ControllerManager *m, uint64_t key, uint32_t owner, uint16_t buttons, uint8_t lt,
                          uint8_t rt, int16_t lx, int16_t ly, int16_t rx, int16_t ry) {
    change(m, key, owner, true, [&](PadState &s) { s = PadState{buttons, lt, rt, {lx, ly, rx, ry}}; });
}

void controller_write_raw(ControllerManager *m, uint64_t key, uint32_t owner, uint32_t offset,
                          const uint8_t *data, uint32_t size) {
    if (!m || offset >= PAD_REPORT_MAX) return;
    VKO_MutexLock(m->mutex);
    int32_t slot = controller_slot_get(m, key, owner);
    if (slot >= 0) {
        ControllerSlot &s = m->slots[slot];
        uint32_t n = std::min(size, PAD_REPORT_MAX - offset);
        memcpy(s.report + offset, data, n);
        s.report_size = std::max(s.report_size, offset + n);
        controller_submit(m, (uint32_t)slot);
    }
    VKO_MutexUnlock(m->mutex);
}
