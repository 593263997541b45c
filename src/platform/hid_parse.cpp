// HID report descriptors: the items that describe input fields, read into
// button and value fields, and the queries on reports (pressed usages, usage
// values) with HidP's status codes. Every bound comes from the descriptor
// and is checked against the report's real length.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/hid_internal.h"
#include "platform/log.h"

namespace {

constexpr size_t kMaxFields = 512;
constexpr uint32_t kMaxReportBits = 8 * 4096;
constexpr size_t kMaxUsages = 256;

struct Globals {
    uint16_t usage_page = 0;
    int32_t logical_min = 0, logical_max = 0;
    uint32_t report_size = 0, report_count = 0;
    uint8_t report_id = 0;
};

int32_t signed_item(const uint8_t *p, int size) {
    if (size == 1) return (int8_t)p[0];
    if (size == 2) return (int16_t)(p[0] | p[1] << 8);
    if (size == 4)
        return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
    return 0;
}

uint32_t unsigned_item(const uint8_t *p, int size) {
    uint32_t v = 0;
    for (int i = 0; i < size; i++) v |= (uint32_t)p[i] << (8 * i);
    return v;
}

// Bits of a field, little-endian from the first data byte (after the id).
bool read_bits(const uint8_t *report, size_t size, uint32_t offset, uint32_t bits, uint32_t *out) {
    if (bits == 0 || bits > 32) return false;
    uint64_t last = 1 + ((uint64_t)offset + bits - 1) / 8;
    if (last >= size) return false;
    uint32_t v = 0;
    for (uint32_t i = 0; i < bits; i++) {
        uint32_t bit = offset + i;
        v |= (uint32_t)((report[1 + bit / 8] >> (bit % 8)) & 1) << i;
    }
    *out = v;
    return true;
}

}  // namespace

bool hid_parse_descriptor(const uint8_t *desc, size_t size, HidDescriptor *out, HidParseFailure *failure) {
    HidParseFailure ignored;
    if (!failure) failure = &ignored;
    *failure = HID_PARSE_CAPS;
    *out = HidDescriptor();
    if (!desc || !size) return false;
    Globals g;
    Globals stack[8];
    int depth_stack = 0;
    std::vector<uint32_t> usages;  // with the page in the high half when given
    uint32_t usage_min = 0, usage_max = 0;
    bool have_min = false, have_max = false;
    int collection_depth = 0;
    bool top_seen = false;
    uint32_t in_bits[256] = {}, out_bits[256] = {}, feat_bits[256] = {};
    size_t i = 0;
    while (i < size) {
        uint8_t b = desc[i];
        if (b == 0xFE) {  // long item: skipped whole
            if (i + 2 >= size) return false;
            i += 3 + desc[i + 1];
            continue;
        }
        int len = b & 3;
        if (len == 3) len = 4;
        if (i + 1 + (size_t)len > size) return false;
        const uint8_t *p = desc + i + 1;
        int type = (b >> 2) & 3, tag = b >> 4;
        i += 1 + (size_t)len;
        uint32_t u = unsigned_item(p, len);
        if (type == 1) {  // global
            switch (tag) {
                case 0:
                    g.usage_page = (uint16_t)u;
                    break;
                case 1:
                    g.logical_min = signed_item(p, len);
                    break;
                case 2:
                    g.logical_max = signed_item(p, len);
                    break;
                case 7:
                    g.report_size = u;
                    break;
                case 8:
                    if (u == 0 || u > 255) return false;
                    g.report_id = (uint8_t)u;
                    out->report_ids = true;
                    break;
                case 9:
                    g.report_count = u;
                    break;
                case 10:
                    if (depth_stack >= 8) return false;
                    stack[depth_stack++] = g;
                    break;
                case 11:
                    if (depth_stack <= 0) return false;
                    g = stack[--depth_stack];
                    break;
            }
        } else if (type == 2) {  // local
            switch (tag) {
                case 0:
                    if (usages.size() < kMaxUsages) usages.push_back(len == 4 ? u : (u & 0xFFFF));
                    break;
                case 1:
                    usage_min = u, have_min = true;
                    break;
                case 2:
                    usage_max = u, have_max = true;
                    break;
            }
        } else if (type == 0) {  // main
            if (tag == 10) {     // collection
                if (collection_depth == 0) {
                    if (out->collections.size() >= HID_MAX_COLLECTIONS) return false;
                    uint32_t first = usages.empty() ? 0 : usages[0];
                    HidCollection c;
                    c.usage_page = first >> 16 ? (uint16_t)(first >> 16) : g.usage_page;
                    c.usage = (uint16_t)first;
                    out->collections.push_back(c);
                    if (!top_seen) out->usage_page = c.usage_page, out->usage = c.usage;
                    top_seen = true;
                }
                if (++collection_depth > 64) return false;
            } else if (tag == 12) {
                if (collection_depth > 0) collection_depth--;
            } else if (tag == 8 || tag == 9 || tag == 11) {
                uint64_t bits = (uint64_t)g.report_size * g.report_count;
                uint32_t *used = tag == 8 ? in_bits : tag == 9 ? out_bits : feat_bits;
                if (g.report_size > 32 && tag == 8 && !(u & 1)) return false;
                if (used[g.report_id] + bits > kMaxReportBits) return false;
                uint32_t offset = used[g.report_id];
                used[g.report_id] += (uint32_t)bits;
                // Items outside any collection count with the last one.
                uint8_t coll = (uint8_t)(out->collections.empty() ? 0 : out->collections.size() - 1);
                if (tag == 8 && !out->collections.empty()) {
                    std::vector<uint8_t> &ids = out->collections.back().input_ids;
                    if (std::find(ids.begin(), ids.end(), g.report_id) == ids.end())
                        ids.push_back(g.report_id);
                }
                bool constant = u & 1, variable = u & 2;
                if (tag == 8 && !constant && g.report_size > 0 && g.report_count > 0) {
                    int32_t lmin = g.logical_min, lmax = g.logical_max;
                    // A maximum written as unsigned bytes reads negative.
                    if (lmax < lmin && g.report_size < 32)
                        lmax =
                            (int32_t)((uint32_t)lmax & ((1u << std::min<uint32_t>(g.report_size, 31)) - 1));
                    auto page_of = [&](uint32_t usage) {
                        return usage >> 16 ? (uint16_t)(usage >> 16) : g.usage_page;
                    };
                    if (!variable || g.report_size == 1) {
                        HidField f = {};
                        f.report_id = g.report_id;
                        uint32_t lo = have_min ? usage_min : usages.empty() ? 0 : usages[0];
                        uint32_t hi = have_max ? usage_max : usages.empty() ? lo : usages.back();
                        f.usage_page = page_of(lo);
                        f.usage_min = (uint16_t)lo;
                        f.usage_max = std::max((uint16_t)lo, (uint16_t)hi);
                        f.bit_offset = offset;
                        f.bit_size = (uint16_t)g.report_size;
                        f.count = (uint16_t)std::min<uint32_t>(g.report_count, 0xFFFF);
                        f.logical_min = lmin;
                        f.logical_max = lmax;
                        f.array = !variable;
                        f.collection = coll;
                        if (out->buttons.size() + out->values.size() >= kMaxFields) {
                            *failure = HID_PARSE_BUTTON_CAPS;
                            return false;
                        }
                        out->buttons.push_back(f);
                    } else {
                        for (uint32_t k = 0; k < g.report_count; k++) {
                            uint32_t usage;
                            if (have_min)
                                usage = std::min(usage_min + k, have_max ? usage_max : usage_min + k);
                            else
                                usage = usages.empty() ? 0 : usages[std::min<size_t>(k, usages.size() - 1)];
                            HidField f = {};
                            f.report_id = g.report_id;
                            f.usage_page = page_of(usage);
                            f.usage_min = f.usage_max = (uint16_t)usage;
                            f.bit_offset = offset + k * g.report_size;
                            f.bit_size = (uint16_t)g.report_size;
                            f.count = 1;
                            f.logical_min = lmin;
                            f.logical_max = lmax;
                            f.collection = coll;
                            if (out->buttons.size() + out->values.size() >= kMaxFields) {
                                *failure = HID_PARSE_VALUE_CAPS;
                                return false;
                            }
                            out->values.push_back(f);
                        }
                    }
                }
            }
            usages.clear();
            have_min = have_max = false;
        }
    }
    uint32_t in = 0, outb = 0, feat = 0;
    for (int r = 0; r < 256; r++) {
        in = std::max(in, in_bits[r]);
        outb = std::max(outb, out_bits[r]);
        feat = std::max(feat, feat_bits[r]);
    }
    out->input_len = (uint16_t)(1 + (in + 7) / 8);
    out->output_len = outb ? (uint16_t)(1 + (outb + 7) / 8) : 0;
    out->feature_len = feat ? (uint16_t)(1 + (feat + 7) / 8) : 0;
    return top_seen && (!out->buttons.empty() || !out->values.empty());
}

bool hid_is_controller(uint16_t usage_page, uint16_t usage) {
    return usage_page == 1 && (usage == 4 || usage == 5 || usage == 8);
}

HidDescriptor hid_collection_descriptor(const HidDescriptor &d, size_t index) {
    HidDescriptor out;
    out.input_len = d.input_len;
    out.output_len = d.output_len;
    out.feature_len = d.feature_len;
    out.report_ids = d.report_ids;
    if (index >= d.collections.size()) return out;
    out.usage_page = d.collections[index].usage_page;
    out.usage = d.collections[index].usage;
    out.collections.push_back(d.collections[index]);
    for (const HidField &f : d.buttons)
        if (f.collection == index) out.buttons.push_back(f), out.buttons.back().collection = 0;
    for (const HidField &f : d.values)
        if (f.collection == index) out.values.push_back(f), out.values.back().collection = 0;
    return out;
}

uint32_t hid_get_usages(const HidField &f, const uint8_t *report, size_t size, uint16_t *usages,
                        uint32_t *count) {
    uint32_t room = *count;
    *count = 0;
    if (!report || size < 1) return HIDP_STATUS_INVALID_REPORT_LENGTH;
    if (report[0] != f.report_id) return HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
    for (uint32_t k = 0; k < f.count; k++) {
        uint32_t v = 0;
        if (!read_bits(report, size, f.bit_offset + k * f.bit_size, f.bit_size, &v))
            return HIDP_STATUS_INVALID_REPORT_LENGTH;
        uint32_t usage;
        if (f.array) {
            // A selector outside the logical range, or usage 0, is no button.
            if ((int64_t)v < f.logical_min || (int64_t)v > f.logical_max) continue;
            usage = f.usage_min + (uint32_t)((int64_t)v - f.logical_min);
            if (usage == 0 || usage > f.usage_max) continue;
        } else {
            if (!v) continue;
            usage = f.usage_min + k;
            if (usage > f.usage_max) continue;
        }
        if (*count >= room) return HIDP_STATUS_BUFFER_TOO_SMALL;
        usages[(*count)++] = (uint16_t)usage;
    }
    return HIDP_STATUS_SUCCESS;
}

uint32_t hid_get_usage_value(const HidDescriptor &d, uint16_t page, uint16_t usage, const uint8_t *report,
                             size_t size, int64_t *value, const HidField **field) {
    bool other_report = false;
    for (const HidField &f : d.values) {
        if (f.usage_page != page || usage < f.usage_min || usage > f.usage_max) continue;
        if (!report || size < 1 || report[0] != f.report_id) {
            other_report = true;
            continue;
        }
        uint32_t raw = 0;
        if (!read_bits(report, size, f.bit_offset, f.bit_size, &raw))
            return HIDP_STATUS_INVALID_REPORT_LENGTH;
        int64_t v = raw;
        if (f.logical_min < 0 && f.bit_size < 32 && (raw >> (f.bit_size - 1)) & 1)
            v -= (int64_t)1 << f.bit_size;
        if (f.logical_min < 0 && f.bit_size == 32) v = (int32_t)raw;
        *value = v;
        if (field) *field = &f;
        return HIDP_STATUS_SUCCESS;
    }
    return other_report ? HIDP_STATUS_INCOMPATIBLE_REPORT_ID : HIDP_STATUS_USAGE_NOT_FOUND;
}

namespace {

struct GenValue {
    uint16_t usage;
    int64_t raw;
    int32_t lmin, lmax;
};

int expected_slot(uint16_t usage) {
    switch (usage) {
        case 0x30:
            return 0;
        case 0x31:
            return 1;
        case 0x32:
            return 2;
        case 0x35:
            return 3;
        case 0x33:
            return 4;
        case 0x34:
            return 5;
    }
    return -1;
}

}  // namespace

bool hid_default_state(const HidDescriptor &d, const uint8_t *report, size_t size, VKO_ControllerEvent *ev) {
    // A report none of whose fields is ours (another collection's) is no
    // state: read as one, it would release everything held.
    bool ours = false;
    for (const auto *list : {&d.buttons, &d.values})
        for (const HidField &f : *list) ours = ours || (size && f.report_id == report[0]);
    if (!ours) return false;
    uint32_t buttons = 0;
    // Each button field's buttons follow the previous field's.
    for (const HidField &f : d.buttons) {
        if (f.usage_page != 9) continue;
        uint32_t base = buttons;
        buttons += (uint32_t)(f.usage_max - f.usage_min) + 1;
        uint16_t pressed[64];
        uint32_t n = 64;
        uint32_t st = hid_get_usages(f, report, size, pressed, &n);
        if (st == HIDP_STATUS_INCOMPATIBLE_REPORT_ID) continue;
        if (st != HIDP_STATUS_SUCCESS && st != HIDP_STATUS_BUFFER_TOO_SMALL) {
            VKO_Log("vko_hid_default_state", "'HidP_GetUsages' failed with NTSTATUS 0x%X", st);
            return false;
        }
        for (uint32_t k = 0; k < n; k++) {
            uint32_t at = base + (uint32_t)(pressed[k] - f.usage_min);
            if (at < 64) ev->buttons[at] = true;
        }
    }
    GenValue vals[16] = {};
    uint32_t nv = 0;
    for (const HidField &f : d.values) {
        if (nv >= 16) break;
        int64_t v = 0;
        uint32_t st = hid_get_usage_value(d, f.usage_page, f.usage_min, report, size, &v, nullptr);
        if (st == HIDP_STATUS_INCOMPATIBLE_REPORT_ID) continue;
        if (st != HIDP_STATUS_SUCCESS) {
            VKO_Log("vko_hid_default_state", "'HidP_GetUsageValue' failed with NTSTATUS 0x%X", st);
            return false;
        }
        if (f.usage_page != 1) continue;
        vals[nv++] = {f.usage_min, v, f.logical_min, f.logical_max};
    }
    // Generic mapping. Button counts never pass the record's 64.
    buttons = std::min<uint32_t>(buttons, 64);
    if (nv < 6) nv = 6;
    for (uint32_t i = 0, guard = 0; i < nv && guard < 64; guard++) {
        int t = expected_slot(vals[i].usage);
        if (t >= 0 && (uint32_t)t != i && vals[t].usage != vals[i].usage) {
            std::swap(vals[i], vals[t]);
            continue;
        }
        i++;
    }
    int hat = -1;
    for (uint32_t i = 0; i < nv; i++)
        if (vals[i].usage == 0x39) hat = (int)i;
    if (hat >= 0) {
        buttons = std::min<uint32_t>(buttons, 60);
        if (buttons >= 14) {
            for (int i = (int)buttons - 1; i >= 13; i--) ev->buttons[i + 4] = ev->buttons[i];
            buttons += 4;
        } else {
            buttons = 17;
        }
        const GenValue &h = vals[hat];
        int32_t dir = h.raw >= h.lmin && h.raw <= h.lmax ? (int32_t)(h.raw - h.lmin) : 8;
        vko_hat_to_dpad(ev, dir);
    }
    static const uint16_t kExpected[6] = {0x30, 0x31, 0x32, 0x35, 0x33, 0x34};
    for (int s = 0; s < 6; s++) {
        if (vals[s].usage == kExpected[s] || nv >= 16) continue;
        if (vals[s].usage) vals[nv++] = vals[s];
        bool trigger = s >= 4;
        vals[s] = {kExpected[s], 0, trigger ? 0 : -32768, trigger ? 255 : 32767};
        if (trigger) vals[s].raw = ev->buttons[s == 4 ? 6 : 7] ? 255 : 0;
    }
    for (uint32_t i = 0; i < nv; i++) {
        GenValue &v = vals[i];
        VKO_ControllerValue &o = ev->values[i];
        o.usage = v.usage;
        o.data = (int16_t)(uint16_t)v.raw;
        o.min = (int16_t)(uint16_t)v.lmin;
        o.max = (int16_t)(uint16_t)v.lmax;
        // Only a real range normalises: a degenerate one would divide by zero.
        if (v.lmax <= v.lmin) continue;
        double f = ((double)v.raw - v.lmin) / ((double)v.lmax - v.lmin);
        f = std::clamp(f, 0.0, 1.0);
        int32_t full = (int32_t)std::nearbyint(f * 65535);
        switch (v.usage) {
            case 0x30:
            case 0x32:
                o.data = (int16_t)(full - 32768);
                o.min = -32768, o.max = 32767;
                break;
            case 0x31:
            case 0x35:
                o.data = (int16_t)(32767 - full);
                o.min = -32768, o.max = 32767;
                break;
            case 0x33:
            case 0x34:
            case 0x36:
            case 0x37:
            case 0x38:
                o.data = (int16_t)std::nearbyint(f * 255);
                o.min = 0, o.max = 255;
                break;
        }
    }
    ev->button_count = (uint8_t)buttons;
    ev->value_count = (uint8_t)nv;
    ev->driver_type = VKO_CTYPE_HID;
    return true;
}
