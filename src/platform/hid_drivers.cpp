// Controller drivers chosen by vendor and product id: the report layouts of
// the Switch Pro family, DualShock 4, DualSense, Stadia, Xbox over Bluetooth
// and Xbox 360-style pads onto the common layout, and their output reports
// (rumble, lights, the Switch's handshake, reply-paced). Time comes from the
// caller in milliseconds.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "platform/hid_internal.h"
#include "platform/memory.h"

namespace {

int32_t rnd(double v) {
    return (int32_t)std::nearbyint(v);
}

bool bit(const uint8_t *r, size_t i, int b) {
    return (r[i] >> b) & 1;
}

uint16_t le16(const uint8_t *p) {
    return (uint16_t)(p[0] | p[1] << 8);
}

void stick_value(VKO_ControllerEvent *ev, int slot, uint16_t usage, double raw, double min, double max,
                 bool invert) {
    double f = max > min ? (raw - min) / (max - min) : 0.5;
    if (f < 0) f = 0;
    if (f > 1) f = 1;
    int32_t full = rnd(f * 65535);
    ev->values[slot] = {usage, (int16_t)(invert ? 32767 - full : full - 32768), -32768, 32767};
}

void trigger_value(VKO_ControllerEvent *ev, int slot, uint16_t usage, int32_t v) {
    ev->values[slot] = {usage, (int16_t)v, 0, 255};
}

// Centre-based normalisation: v is relative to the centre.
int16_t centred(int32_t v, int32_t min, int32_t max) {
    if (v < 0) return min < 0 ? (int16_t)std::max(-32768, rnd((double)v / min * -32768)) : 0;
    if (v > 0) return max > 0 ? (int16_t)std::min(32767, rnd((double)v / max * 32767)) : 0;
    return 0;
}

void layout(VKO_ControllerEvent *ev, uint8_t buttons) {
    ev->button_count = buttons;
    ev->value_count = 6;
}

struct Bits {
    uint8_t byte, bit, button;
};

void read_bits(VKO_ControllerEvent *ev, const uint8_t *r, const Bits *bits, size_t n) {
    for (size_t i = 0; i < n; i++) ev->buttons[bits[i].button] = bit(r, bits[i].byte, bits[i].bit);
}

// --- Sony ----------------------------------------------------------------

struct SonyState {
    bool bluetooth, initialised;
};

void sony_buttons(VKO_ControllerEvent *ev, const uint8_t *b) {
    const uint8_t first = b[0], second = b[1], third = b[2];
    ev->buttons[0] = first & 0x10;
    ev->buttons[1] = first & 0x20;
    ev->buttons[2] = first & 0x40;
    ev->buttons[3] = first & 0x80;
    for (int i = 0; i < 8; i++) ev->buttons[4 + i] = (second >> i) & 1;
    ev->buttons[12] = third & 1;
    ev->buttons[17] = (third >> 1) & 1;
    vko_hat_to_dpad(ev, first & 0x0F);
}

void sony_sticks(VKO_ControllerEvent *ev, const uint8_t *s, uint8_t lt, uint8_t rt) {
    stick_value(ev, 0, 0x30, s[0], 0, 255, false);
    stick_value(ev, 1, 0x31, s[1], 0, 255, true);
    stick_value(ev, 2, 0x32, s[2], 0, 255, false);
    stick_value(ev, 3, 0x35, s[3], 0, 255, true);
    trigger_value(ev, 4, 0x33, lt);
    trigger_value(ev, 5, 0x34, rt);
}

void write(HidDriver *drv, const uint8_t *buf, size_t n) {
    if (drv->io.write) drv->io.write(drv->io.ctx, buf, n);
}

void put_crc(uint8_t *buf) {
    const uint8_t seed = 0xA2;
    uint32_t crc = VKO_CRC32(0, &seed, 1);
    crc = VKO_CRC32(crc, buf, 74);
    buf[74] = (uint8_t)crc, buf[75] = (uint8_t)(crc >> 8), buf[76] = (uint8_t)(crc >> 16),
    buf[77] = (uint8_t)(crc >> 24);
}

// --- Switch --------------------------------------------------------------

struct Cal {
    int32_t min, centre, max;
};

struct SwitchState {
    bool ready, bluetooth, usb, calibrated, rumble_on, rumble_pending;
    bool awaiting;  // the last send was a step of the sequence whose reply is due
    uint8_t handshake, subcommands, counter;
    uint8_t rumble[2][4];
    int64_t last_send, last_rumble;
    Cal full[4], simple[4];
};

const uint8_t kNeutral[4] = {0x00, 0x01, 0x40, 0x40};
const uint8_t kBuzz[4] = {0x74, 0xBE, 0xBD, 0x6F};

void switch_command(HidDriver *drv, SwitchState *s, uint8_t cmd, int64_t now) {
    uint8_t buf[64] = {0x80, cmd};
    write(drv, buf, sizeof(buf));
    s->last_send = now;
    s->ready = false;
}

void switch_subcommand(HidDriver *drv, SwitchState *s, uint8_t sub, const uint8_t *data, size_t n,
                       int64_t now) {
    uint8_t buf[64] = {0x01, s->counter};
    s->counter = (uint8_t)((s->counter + 1) % 16);
    memcpy(buf + 2, s->rumble[0], 4);
    memcpy(buf + 6, s->rumble[1], 4);
    buf[10] = sub;
    memcpy(buf + 11, data, n);
    write(drv, buf, s->bluetooth ? 49 : 64);
    s->last_send = now;
    s->ready = false;
}

// 12-bit pairs: x = b0 | (b1 & 0x0F) << 8, y = b1 >> 4 | b2 << 4.
void pair(const uint8_t *p, int32_t *x, int32_t *y) {
    *x = p[0] | (p[1] & 0x0F) << 8;
    *y = p[1] >> 4 | p[2] << 4;
}

int32_t amount(int32_t v) {
    return v >= 4095 ? 0 : rnd(v * 0.9);
}

void switch_calibration(SwitchState *s, const uint8_t *d) {
    int32_t ax, ay, cx, cy, bx, by;
    // Left stick: above-centre, centre, below-centre.
    pair(d, &ax, &ay);
    pair(d + 3, &cx, &cy);
    pair(d + 6, &bx, &by);
    s->full[0] = {-amount(bx), cx, amount(ax)};
    s->full[1] = {-amount(by), cy, amount(ay)};
    // Right stick: centre, below-centre, above-centre.
    pair(d + 9, &cx, &cy);
    pair(d + 12, &bx, &by);
    pair(d + 15, &ax, &ay);
    s->full[2] = {-amount(bx), cx, amount(ax)};
    s->full[3] = {-amount(by), cy, amount(ay)};
    s->calibrated = true;
}

void switch_step(HidDriver *drv, SwitchState *s, int64_t now) {
    if (!s->usb && !s->bluetooth && now - s->last_send > 500) s->bluetooth = true;
    if (!s->ready && now - s->last_send > 500) {
        // No reply: try again, the step whose reply was lost (a pad that
        // missed the calibration read would never give a state).
        s->ready = true;
        if (s->awaiting) {
            if (s->subcommands > 0)
                s->subcommands--;
            else if (s->handshake > 0)
                s->handshake--;
        }
        s->awaiting = false;
    }
    if (s->usb && s->handshake < 3) {
        if (!s->ready) return;
        static const uint8_t kCommands[3] = {0x03, 0x02, 0x04};
        switch_command(drv, s, kCommands[s->handshake++], now);
        s->awaiting = s->handshake < 3;
        if (s->handshake == 3) s->ready = true;  // 0x04 has no reply
        return;
    }
    if (!s->usb && !s->bluetooth) return;
    if (s->subcommands < 5) {
        if (!s->ready) return;
        s->awaiting = true;
        switch (s->subcommands++) {
            case 0: {
                const uint8_t d[5] = {0x3D, 0x60, 0x00, 0x00, 0x12};
                switch_subcommand(drv, s, 0x10, d, 5, now);
                break;
            }
            case 1: {
                const uint8_t d[1] = {0x01};
                switch_subcommand(drv, s, 0x48, d, 1, now);
                break;
            }
            case 2: {
                const uint8_t d[1] = {(uint8_t)(s->bluetooth ? 0x3F : 0x30)};
                switch_subcommand(drv, s, 0x03, d, 1, now);
                break;
            }
            case 3: {
                const uint8_t d[4] = {0x01, 0xF0, 0xF0, 0x00};
                switch_subcommand(drv, s, 0x38, d, 4, now);
                break;
            }
            case 4: {
                const uint8_t d[1] = {0x01};
                switch_subcommand(drv, s, 0x30, d, 1, now);
                break;
            }
        }
        return;
    }
    if (s->rumble_pending || (s->rumble_on && now - s->last_rumble > 500)) {
        const uint8_t d[1] = {0x01};
        switch_subcommand(drv, s, 0x48, d, 1, now);
        s->awaiting = false;
        s->last_rumble = now;
        s->rumble_pending = false;
    }
}

bool switch_report(HidDriver *drv, SwitchState *s, const uint8_t *r, size_t n, VKO_ControllerEvent *ev,
                   int64_t now) {
    bool state = false;
    if (n >= 3 && r[0] == 0x81 && (r[1] == 2 || r[1] == 3 || r[2] == 4)) {
        s->ready = true;
        s->awaiting = false;
        s->usb = true;
    } else if (n >= 1 && r[0] == 0x21) {
        s->ready = true;
        s->awaiting = false;
        if (n >= 38 && r[14] == 0x10) switch_calibration(s, r + 20);
    }
    if (s->calibrated && n >= 12 && r[0] == 0x30) {
        static const Bits kBits[] = {{3, 0, 0},  {3, 1, 3},  {3, 2, 1},  {3, 3, 2},  {3, 6, 5},  {3, 7, 7},
                                     {4, 0, 8},  {4, 1, 9},  {4, 2, 11}, {4, 3, 10}, {4, 4, 12}, {4, 5, 17},
                                     {5, 0, 15}, {5, 1, 13}, {5, 2, 14}, {5, 3, 16}, {5, 6, 4},  {5, 7, 6}};
        read_bits(ev, r, kBits, sizeof(kBits) / sizeof(kBits[0]));
        int32_t v[4];
        pair(r + 6, &v[0], &v[1]);
        pair(r + 9, &v[2], &v[3]);
        static const uint16_t kUsage[4] = {0x30, 0x31, 0x32, 0x35};
        for (int i = 0; i < 4; i++) {
            Cal &c = s->full[i];
            int32_t rel = v[i] - c.centre;
            if (rel < c.min) c.min = rel;
            if (rel > c.max) c.max = rel;
            ev->values[i] = {kUsage[i], centred(rel, c.min, c.max), -32768, 32767};
        }
        state = true;
    } else if (s->calibrated && n >= 12 && r[0] == 0x3F) {
        static const Bits kBits[] = {{1, 0, 1},  {1, 1, 2},  {1, 2, 0},  {1, 3, 3}, {1, 4, 4},
                                     {1, 5, 5},  {1, 6, 6},  {1, 7, 7},  {2, 0, 8}, {2, 1, 9},
                                     {2, 2, 10}, {2, 3, 11}, {2, 4, 12}, {2, 5, 17}};
        read_bits(ev, r, kBits, sizeof(kBits) / sizeof(kBits[0]));
        vko_hat_to_dpad(ev, r[3]);
        static const uint16_t kUsage[4] = {0x30, 0x31, 0x32, 0x35};
        for (int i = 0; i < 4; i++) {
            Cal &c = s->simple[i];
            int32_t raw = le16(r + 4 + 2 * i);
            int32_t rel = (i == 1 || i == 3) ? c.centre - raw : raw - c.centre;
            if (rel < c.min) c.min = rel;
            if (rel > c.max) c.max = rel;
            ev->values[i] = {kUsage[i], centred(rel, c.min, c.max), -32768, 32767};
        }
        state = true;
    }
    if (state) {
        trigger_value(ev, 4, 0x33, ev->buttons[6] ? 255 : 0);
        trigger_value(ev, 5, 0x34, ev->buttons[7] ? 255 : 0);
        layout(ev, 18);
    }
    switch_step(drv, s, now);
    return state;
}

// --- Xbox over Bluetooth -------------------------------------------------

struct XboxState {
    bool newer, guide_from_report, guide, pending;
    uint8_t low, high, last_low, last_high;
    int64_t last_write;
};

void xbox_refresh(HidDriver *drv, XboxState *s, int64_t now) {
    bool nonzero = s->last_low || s->last_high;
    if ((s->pending && now - s->last_write > 50) || (nonzero && now - s->last_write > 2000)) {
        uint8_t buf[9] = {0x03, 0x0F, 0, 0, s->low, s->high, 0xFF, 0, 0};
        write(drv, buf, sizeof(buf));
        s->last_low = s->low, s->last_high = s->high;
        s->last_write = now;
        s->pending = false;
    }
}

bool xbox_report(HidDriver *drv, XboxState *s, const uint8_t *r, size_t n, VKO_ControllerEvent *ev,
                 int64_t now) {
    bool state = false;
    if (n >= 2 && r[0] == 0x02) {
        s->guide_from_report = true;
        s->guide = r[1] & 1;
    } else if (n >= 17 && r[0] == 0x01) {
        if (bit(r, 15, 4)) s->guide_from_report = true;
        if (s->guide_from_report) s->guide = bit(r, 15, 4);
        static const Bits kBits[] = {{14, 3, 0}, {14, 0, 1}, {14, 1, 2},  {14, 4, 3}, {14, 6, 4},
                                     {14, 7, 5}, {15, 3, 9}, {15, 5, 10}, {15, 6, 11}};
        read_bits(ev, r, kBits, sizeof(kBits) / sizeof(kBits[0]));
        if (s->newer) {
            ev->buttons[8] = bit(r, 15, 2);
            ev->buttons[17] = bit(r, 16, 0);
        } else {
            ev->buttons[8] = bit(r, 16, 0);
        }
        ev->buttons[12] = s->guide;
        vko_hat_to_dpad(ev, (int32_t)r[13] - 1);
        ev->values[0] = {0x30, (int16_t)(uint16_t)(le16(r + 1) - 32768), -32768, 32767};
        ev->values[1] = {0x31, (int16_t)(uint16_t)(32767 - le16(r + 3)), -32768, 32767};
        ev->values[2] = {0x32, (int16_t)(uint16_t)(le16(r + 5) - 32768), -32768, 32767};
        ev->values[3] = {0x35, (int16_t)(uint16_t)(32767 - le16(r + 7)), -32768, 32767};
        int32_t lt = le16(r + 9) >> 2, rt = le16(r + 11) >> 2;
        trigger_value(ev, 4, 0x33, lt);
        trigger_value(ev, 5, 0x34, rt);
        ev->buttons[6] = lt > 0;
        ev->buttons[7] = rt > 0;
        layout(ev, s->newer ? 18 : 17);
        state = true;
    }
    xbox_refresh(drv, s, now);
    return state;
}

// --- Stadia and Xbox 360-style ------------------------------------------

bool stadia_report(const uint8_t *r, size_t n, VKO_ControllerEvent *ev) {
    if (n < 10) return false;
    static const Bits kBits[] = {{3, 4, 0}, {3, 6, 1},  {3, 5, 2},  {3, 3, 3},  {3, 2, 4},
                                 {3, 1, 5}, {3, 0, 10}, {2, 2, 6},  {2, 3, 7},  {2, 6, 8},
                                 {2, 5, 9}, {2, 7, 11}, {2, 4, 12}, {2, 1, 17}, {2, 0, 18}};
    read_bits(ev, r, kBits, sizeof(kBits) / sizeof(kBits[0]));
    vko_hat_to_dpad(ev, r[1] & 0x0F);
    stick_value(ev, 0, 0x30, r[4], 1, 255, false);
    stick_value(ev, 1, 0x31, r[5], 1, 255, true);
    stick_value(ev, 2, 0x32, r[6], 1, 255, false);
    stick_value(ev, 3, 0x35, r[7], 1, 255, true);
    trigger_value(ev, 4, 0x33, r[8]);
    trigger_value(ev, 5, 0x34, r[9]);
    layout(ev, 19);
    return true;
}

bool x360_report(const uint8_t *r, size_t n, VKO_ControllerEvent *ev) {
    if (n < 14) return false;
    static const Bits kBits[] = {{3, 6, 0},  {3, 4, 1},  {3, 5, 2},  {3, 7, 3},  {3, 0, 4},
                                 {3, 1, 5},  {3, 2, 12}, {2, 5, 8},  {2, 4, 9},  {2, 6, 10},
                                 {2, 7, 11}, {2, 0, 13}, {2, 3, 14}, {2, 1, 15}, {2, 2, 16}};
    read_bits(ev, r, kBits, sizeof(kBits) / sizeof(kBits[0]));
    ev->values[0] = {0x30, (int16_t)le16(r + 6), -32768, 32767};
    ev->values[1] = {0x31, (int16_t)~le16(r + 8), -32768, 32767};
    ev->values[2] = {0x32, (int16_t)le16(r + 10), -32768, 32767};
    ev->values[3] = {0x35, (int16_t)~le16(r + 12), -32768, 32767};
    trigger_value(ev, 4, 0x33, r[4]);
    trigger_value(ev, 5, 0x34, r[5]);
    ev->buttons[6] = r[4] > 0;
    ev->buttons[7] = r[5] > 0;
    layout(ev, 17);
    return true;
}

template <typename T>
T *state_of(HidDriver *drv) {
    static_assert(sizeof(T) <= sizeof(HidDriver::area), "driver state fits the area");
    return reinterpret_cast<T *>(drv->area);
}

}  // namespace

VKO_CType hid_driver_for(uint16_t vendor_id, uint16_t product_id) {
    uint32_t id = (uint32_t)vendor_id << 16 | product_id;
    switch (id) {
        case 0x057E2006:
        case 0x057E2007:
        case 0x057E2009:
        case 0x057E2017:
            return VKO_CTYPE_SWITCH;
        case 0x054C05C4:
        case 0x054C09CC:
        case 0x054C0BA0:
            return VKO_CTYPE_DS4;
        case 0x054C0CE6:
            return VKO_CTYPE_DUALSENSE;
        case 0x18D19400:
            return VKO_CTYPE_STADIA;
        case 0x045E02E0:
        case 0x045E02FD:
        case 0x045E0B05:
        case 0x045E0B13:
            return VKO_CTYPE_XBOX_BT;
        case 0x045E028E:
        case 0x045E028F:
        case 0x045E0291:
        case 0x045E02A0:
        case 0x045E02A1:
        case 0x045E02DD:
        case 0x045E02E3:
        case 0x045E02EA:
        case 0x045E02FF:
        case 0x045E0719:
        case 0x044FB326:
        case 0x046DC21D:
        case 0x0E6F02A0:
            return VKO_CTYPE_XBOX360_HID;
    }
    return VKO_CTYPE_HID;
}

size_t hid_ds4_output(bool bluetooth, uint16_t low, uint16_t high, uint8_t *buf) {
    uint8_t lo = (uint8_t)(low >> 8), hi = (uint8_t)(high >> 8);
    if (!bluetooth) {
        memset(buf, 0, 32);
        const uint8_t head[9] = {0x05, 0x07, 0, 0, hi, lo, 0, 0, 0x40};
        memcpy(buf, head, sizeof(head));
        return 32;
    }
    memset(buf, 0, 78);
    const uint8_t head[11] = {0x11, 0xC4, 0, 0x03, 0, 0, hi, lo, 0, 0, 0x40};
    memcpy(buf, head, sizeof(head));
    put_crc(buf);
    return 78;
}

size_t hid_dualsense_output(bool bluetooth, uint16_t low, uint16_t high, uint8_t *buf) {
    uint8_t usb[48] = {0x02, 0x03, 0x14, (uint8_t)(high >> 8), (uint8_t)(low >> 8)};
    usb[44] = 0, usb[45] = 255, usb[46] = 0, usb[47] = 255;
    if (!bluetooth) {
        memcpy(buf, usb, 48);
        return 48;
    }
    memset(buf, 0, 78);
    buf[0] = 0x31;
    memcpy(buf + 1, usb, 48);
    put_crc(buf);
    return 78;
}

void hid_driver_init(HidDriver *drv, int64_t now_ms) {
    memset(drv->area, 0, sizeof(drv->area));
    drv->type = hid_driver_for(drv->vendor_id, drv->product_id);
    uint8_t buf[78];
    switch (drv->type) {
        case VKO_CTYPE_SWITCH: {
            auto *s = state_of<SwitchState>(drv);
            for (Cal &c : s->simple) c = {-16384, 32768, 16383};
            memcpy(s->rumble[0], kNeutral, 4);
            memcpy(s->rumble[1], kNeutral, 4);
            switch_command(drv, s, 0x02, now_ms);
            break;
        }
        case VKO_CTYPE_DS4: {
            auto *s = state_of<SonyState>(drv);
            uint8_t feature[65] = {0x12};
            long got = drv->io.feature ? drv->io.feature(drv->io.ctx, feature, sizeof(feature)) : -1;
            bool zero = true;
            for (size_t i = 1; i < sizeof(feature); i++) zero &= feature[i] == 0;
            s->bluetooth = got < 0 && zero;
            write(drv, buf, hid_ds4_output(s->bluetooth, 0, 0, buf));
            break;
        }
        case VKO_CTYPE_DUALSENSE: {
            auto *s = state_of<SonyState>(drv);
            s->bluetooth = drv->output_len == 78;
            write(drv, buf, hid_dualsense_output(s->bluetooth, 0, 0, buf));
            break;
        }
        case VKO_CTYPE_XBOX_BT: {
            auto *s = state_of<XboxState>(drv);
            s->pending = true;
            s->newer = drv->product_id == 0x0B13;
            s->last_write = now_ms - 1000000;
            break;
        }
        default:
            break;
    }
}

bool hid_driver_report(HidDriver *drv, const HidDescriptor &desc, const uint8_t *r, size_t n,
                       VKO_ControllerEvent *ev, int64_t now_ms) {
    if (!r || !n) return false;
    switch (drv->type) {
        case VKO_CTYPE_SWITCH:
            return switch_report(drv, state_of<SwitchState>(drv), r, n, ev, now_ms);
        case VKO_CTYPE_DS4: {
            size_t base = r[0] == 0x01 ? 1 : r[0] == 0x11 ? 3 : 0;
            if (!base || n < base + 9) return false;
            sony_buttons(ev, r + base + 4);
            sony_sticks(ev, r + base, r[base + 7], r[base + 8]);
            layout(ev, 18);
            return true;
        }
        case VKO_CTYPE_DUALSENSE: {
            auto *s = state_of<SonyState>(drv);
            if (!s->initialised) {
                uint8_t buf[78];
                write(drv, buf, hid_dualsense_output(s->bluetooth, 0, 0, buf));
                s->initialised = true;
                return false;
            }
            size_t sticks, triggers, buttons;
            if (!s->bluetooth)
                sticks = 1, triggers = 5, buttons = 8;
            else if (r[0] == 0x31)
                sticks = 2, triggers = 6, buttons = 9;
            else
                sticks = 1, triggers = 8, buttons = 5;
            if (n < std::max(triggers + 2, buttons + 3)) return false;
            sony_buttons(ev, r + buttons);
            sony_sticks(ev, r + sticks, r[triggers], r[triggers + 1]);
            layout(ev, 18);
            return true;
        }
        case VKO_CTYPE_STADIA:
            return stadia_report(r, n, ev);
        case VKO_CTYPE_XBOX_BT:
            return xbox_report(drv, state_of<XboxState>(drv), r, n, ev, now_ms);
        case VKO_CTYPE_XBOX360_HID:
            return x360_report(r, n, ev);
        default:
            return hid_default_state(desc, r, n, ev);
    }
}

void hid_driver_rumble(HidDriver *drv, uint16_t low, uint16_t high, int64_t now_ms) {
    uint8_t buf[78];
    switch (drv->type) {
        case VKO_CTYPE_SWITCH: {
            auto *s = state_of<SwitchState>(drv);
            memcpy(s->rumble[0], low ? kBuzz : kNeutral, 4);
            memcpy(s->rumble[1], high ? kBuzz : kNeutral, 4);
            s->rumble_on = low || high;
            s->rumble_pending = true;
            break;
        }
        case VKO_CTYPE_DS4:
            write(drv, buf, hid_ds4_output(state_of<SonyState>(drv)->bluetooth, low, high, buf));
            break;
        case VKO_CTYPE_DUALSENSE:
            write(drv, buf, hid_dualsense_output(state_of<SonyState>(drv)->bluetooth, low, high, buf));
            break;
        case VKO_CTYPE_XBOX_BT: {
            auto *s = state_of<XboxState>(drv);
            uint8_t lo = (uint8_t)(low >> 8), hi = (uint8_t)(high >> 8);
            if (lo != s->low || hi != s->high) {
                s->low = lo, s->high = hi;
                s->pending = true;
            }
            break;
        }
        default:
            break;
    }
    (void)now_ms;
}
