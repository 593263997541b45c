// HID game controllers on byte arrays: hand-written report descriptors
// through the parser and the generic mapping, recorded-style reports of every
// driver, output reports with their CRC (the expected values computed apart,
// with zlib), the Switch handshake and the rumble refresh on a fake clock,
// and the listener over a scripted device layer (no controller exists here).
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "platform/hid_internal.h"
#include "support/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Gamepad: 12 buttons, a hat (0..7), X Y Z Rz of 8 bits.
const Bytes kPad = {
    0x05, 0x01, 0x09, 0x05, 0xA1, 0x01,                          // gamepad, application
    0x05, 0x09, 0x19, 0x01, 0x29, 0x0C, 0x15, 0x00, 0x25, 0x01,  // buttons 1-12
    0x75, 0x01, 0x95, 0x0C, 0x81, 0x02,                          // 12 x 1 bit
    0x75, 0x01, 0x95, 0x04, 0x81, 0x03,                          // padding
    0x05, 0x01, 0x09, 0x39, 0x15, 0x00, 0x25, 0x07, 0x75, 0x04, 0x95, 0x01, 0x81, 0x42,  // hat
    0x75, 0x04, 0x95, 0x01, 0x81, 0x03,                                                  // padding
    0x09, 0x30, 0x09, 0x31, 0x09, 0x32, 0x09, 0x35, 0x15, 0x00, 0x26, 0xFF, 0x00,        // X Y Z Rz
    0x75, 0x08, 0x95, 0x04, 0x81, 0x02, 0xC0,
};

// Joystick with 16-bit X and Y whose maximum is written as two bytes 0xFFFF
// (a negative number as an item), Rx as a trigger, 100 buttons, report id 3.
const Bytes kWide = {
    0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x85, 0x03, 0x09, 0x30, 0x09, 0x31,
    0x15, 0x00, 0x26, 0xFF, 0xFF, 0x75, 0x10, 0x95, 0x02, 0x81, 0x02, 0x09,
    0x33, 0x15, 0x05, 0x25, 0x05, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02,  // degenerate range 5..5
    0x05, 0x09, 0x19, 0x01, 0x29, 0x64, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
    0x95, 0x64, 0x81, 0x02, 0x75, 0x04, 0x95, 0x01, 0x81, 0x03, 0xC0,
};

VKO_ControllerEvent state_of(const Bytes &desc, const Bytes &report, bool *ok = nullptr) {
    HidDescriptor d;
    EXPECT_TRUE(hid_parse_descriptor(desc.data(), desc.size(), &d));
    VKO_ControllerEvent ev;
    memset(&ev, 0, sizeof(ev));
    bool r = hid_default_state(d, report.data(), report.size(), &ev);
    if (ok) *ok = r;
    return ev;
}

TEST(HidDescriptor, GenericPadWithHatAndTwelveButtons) {
    HidDescriptor d;
    ASSERT_TRUE(hid_parse_descriptor(kPad.data(), kPad.size(), &d));
    EXPECT_EQ(d.usage_page, 1);
    EXPECT_EQ(d.usage, 5);
    EXPECT_FALSE(d.report_ids);
    EXPECT_EQ(d.input_len, 1 + 7);
    ASSERT_EQ(d.buttons.size(), 1u);
    EXPECT_EQ(d.buttons[0].usage_max, 12);
    ASSERT_EQ(d.values.size(), 5u);

    // Report (id byte 0 in front): buttons 1 and 12, hat 2 (right), X max,
    // Y min, Z 128, Rz 0.
    VKO_ControllerEvent ev = state_of(kPad, {0, 0x01, 0x08, 0x02, 255, 0, 128, 0});
    EXPECT_EQ(ev.button_count, 17) << "12 buttons and a hat: 17";
    EXPECT_TRUE(ev.buttons[0]);
    EXPECT_TRUE(ev.buttons[11]);
    EXPECT_TRUE(ev.buttons[VKO_CBUTTON_DPAD_RIGHT]);
    EXPECT_FALSE(ev.buttons[VKO_CBUTTON_DPAD_UP]);
    EXPECT_EQ(ev.values[0].usage, 0x30);
    EXPECT_EQ(ev.values[0].data, 32767);
    EXPECT_EQ(ev.values[1].data, 32767) << "Y inverted: up is positive";
    EXPECT_EQ(ev.values[2].data, 128);
    EXPECT_EQ(ev.values[3].usage, 0x35);
    EXPECT_EQ(ev.values[3].data, 32767);
    // No Rx/Ry: the trigger slots follow buttons 6 and 7.
    EXPECT_EQ(ev.values[4].usage, 0x33);
    EXPECT_EQ(ev.values[4].data, 0);
    EXPECT_EQ(ev.values[5].usage, 0x34);
    EXPECT_EQ(ev.values[6].usage, 0x39) << "the hat moved out of the trigger slot";
    EXPECT_EQ(ev.value_count, 7);
    ev = state_of(kPad, {0, 0x40, 0x00, 0x08, 128, 128, 128, 128});
    EXPECT_EQ(ev.values[4].data, 255) << "button 7 pressed: left trigger full";
    EXPECT_EQ(ev.values[5].data, 0);
    for (int b = 13; b <= 16; b++) EXPECT_FALSE(ev.buttons[b]) << "hat 8 is centred";
}

TEST(HidDescriptor, WideAxesDegenerateRangeAndManyButtons) {
    HidDescriptor d;
    ASSERT_TRUE(hid_parse_descriptor(kWide.data(), kWide.size(), &d));
    EXPECT_EQ(d.usage, 4);
    EXPECT_TRUE(d.report_ids);
    Bytes r(1 + 4 + 1 + 13 + 1, 0);
    r[0] = 3;
    r[1] = 0xFF, r[2] = 0xFF;  // X = 65535
    r[3] = 0x00, r[4] = 0x00;  // Y = 0
    r[5] = 5;
    r[6] = 0x01;       // button 1
    r[6 + 12] = 0x08;  // button 100
    VKO_ControllerEvent ev = state_of(kWide, r);
    EXPECT_EQ(ev.values[0].data, 32767) << "the 16-bit range read as 0..65535";
    EXPECT_EQ(ev.values[1].data, 32767);
    EXPECT_EQ(ev.values[4].usage, 0x33);
    EXPECT_EQ(ev.values[4].data, 5) << "a 5..5 range is left as read";
    EXPECT_EQ(ev.button_count, 64) << "clamped to the record's 64";
    EXPECT_TRUE(ev.buttons[0]);
    r[1] = 0, r[2] = 0, r[3] = 0x00, r[4] = 0x80;
    ev = state_of(kWide, r);
    EXPECT_EQ(ev.values[0].data, -32768);
    EXPECT_EQ(ev.values[1].data, -1) << "Y at mid-range, inverted";
    // Another report id is none of this pad's: no state (read as one it
    // would release every button held).
    r[0] = 4;
    bool ok = true;
    ev = state_of(kWide, r, &ok);
    EXPECT_FALSE(ok);
}

TEST(HidDescriptor, ShortReportsAreRefusedAndLogged) {
    LogCapture log;
    bool ok = true;
    state_of(kPad, {0, 1, 2}, &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.contains("vko_hid_default_state: 'HidP_GetUsageValue' failed with NTSTATUS 0xC0110003"));
    state_of(kPad, {0}, &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.contains("vko_hid_default_state: 'HidP_GetUsages' failed with NTSTATUS 0xC0110003"));
    Bytes big(5000, 0xFF);
    big[0] = 0;
    VKO_ControllerEvent ev = state_of(kPad, big, &ok);
    EXPECT_TRUE(ok) << "longer reports read their fields";
    EXPECT_EQ(ev.button_count, 17);
}

TEST(HidDescriptor, MalformedDescriptorsAreRefusedWithoutHarm) {
    HidDescriptor d;
    EXPECT_FALSE(hid_parse_descriptor(nullptr, 0, &d));
    Bytes cut(kPad.begin(), kPad.begin() + 13);  // inside an item
    cut.push_back(0x26);
    EXPECT_FALSE(hid_parse_descriptor(cut.data(), cut.size(), &d));
    const Bytes pops = {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0xB4, 0xC0};
    EXPECT_FALSE(hid_parse_descriptor(pops.data(), pops.size(), &d)) << "pop without push";
    Bytes pushes = {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01};
    for (int i = 0; i < 20; i++) pushes.push_back(0xA4);
    EXPECT_FALSE(hid_parse_descriptor(pushes.data(), pushes.size(), &d)) << "stack overflow";
    const Bytes huge = {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x75, 0x20,
                        0x97, 0xFF, 0xFF, 0xFF, 0x7F, 0x81, 0x02};
    EXPECT_FALSE(hid_parse_descriptor(huge.data(), huge.size(), &d)) << "a report larger than any device's";
    const Bytes keyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,
                            0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0xC0};
    ASSERT_TRUE(hid_parse_descriptor(keyboard.data(), keyboard.size(), &d));
    EXPECT_EQ(d.usage, 6);
    // Random bytes and mutations of a real descriptor: refused or parsed,
    // and what parses reads any report safely.
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; i++) {
        Bytes b = kPad;
        if (i % 2) {
            b.resize(rng() % 64);
            for (auto &c : b) c = (uint8_t)rng();
        } else {
            for (int k = 0; k < 4; k++) b[rng() % b.size()] = (uint8_t)rng();
        }
        if (!hid_parse_descriptor(b.data(), b.size(), &d)) continue;
        Bytes report(rng() % 40, 0);
        for (auto &c : report) c = (uint8_t)rng();
        VKO_ControllerEvent ev;
        memset(&ev, 0, sizeof(ev));
        hid_default_state(d, report.data(), report.size(), &ev);
        EXPECT_LE(ev.button_count, 64);
        EXPECT_LE(ev.value_count, 16);
    }
}

// A device as the drivers see it: what they wrote, feature answers.
struct FakeIO {
    std::vector<Bytes> written;
    long feature_result = -1;
    static bool write(void *ctx, const uint8_t *r, size_t n) {
        ((FakeIO *)ctx)->written.emplace_back(r, r + n);
        return true;
    }
    static long feature(void *ctx, uint8_t *buf, size_t size) {
        auto *f = (FakeIO *)ctx;
        if (f->feature_result > 0) memset(buf + 1, 0x11, size - 1);
        return f->feature_result;
    }
};

struct Drv {
    Drv(uint16_t vid, uint16_t pid, uint16_t output_len = 0, long feature = -1) {
        memset(&d, 0, sizeof(d));
        d.vendor_id = vid;
        d.product_id = pid;
        d.output_len = output_len;
        io.feature_result = feature;
        d.io = {FakeIO::write, FakeIO::feature, &io};
        hid_driver_init(&d, now);
    }
    bool report(const Bytes &r, VKO_ControllerEvent *ev) {
        memset(ev, 0, sizeof(*ev));
        return hid_driver_report(&d, desc, r.data(), r.size(), ev, now);
    }
    HidDriver d;
    HidDescriptor desc;
    FakeIO io;
    int64_t now = 100000;
};

TEST(HidDrivers, ChosenByVendorAndProduct) {
    EXPECT_EQ(hid_driver_for(0x057E, 0x2009), VKO_CTYPE_SWITCH);
    EXPECT_EQ(hid_driver_for(0x054C, 0x09CC), VKO_CTYPE_DS4);
    EXPECT_EQ(hid_driver_for(0x054C, 0x0CE6), VKO_CTYPE_DUALSENSE);
    EXPECT_EQ(hid_driver_for(0x18D1, 0x9400), VKO_CTYPE_STADIA);
    EXPECT_EQ(hid_driver_for(0x045E, 0x0B13), VKO_CTYPE_XBOX_BT);
    EXPECT_EQ(hid_driver_for(0x0E6F, 0x02A0), VKO_CTYPE_XBOX360_HID);
    EXPECT_EQ(hid_driver_for(0x1234, 0x5678), VKO_CTYPE_HID);
}

TEST(HidDrivers, DualShock4UsbAndBluetoothReports) {
    // USB: the feature report reads, so output goes the USB way.
    Drv usb(0x054C, 0x05C4, 0, 65);
    ASSERT_EQ(usb.io.written.size(), 1u);
    EXPECT_EQ(usb.io.written[0].size(), 32u);
    VKO_ControllerEvent ev;
    Bytes r = {0x01, 255, 0, 128, 255, 0xA0 | 0x02, 0x81, 0x03, 10, 200};
    ASSERT_TRUE(usb.report(r, &ev));
    EXPECT_EQ(ev.button_count, 18);
    EXPECT_TRUE(ev.buttons[1]) << "cross";
    EXPECT_FALSE(ev.buttons[0]);
    EXPECT_TRUE(ev.buttons[3]) << "triangle";
    EXPECT_TRUE(ev.buttons[VKO_CBUTTON_DPAD_RIGHT]) << "hat 2";
    EXPECT_TRUE(ev.buttons[4]);
    EXPECT_TRUE(ev.buttons[11]);
    EXPECT_TRUE(ev.buttons[12]);
    EXPECT_TRUE(ev.buttons[17]) << "touchpad click";
    EXPECT_EQ(ev.values[0].data, 32767);
    EXPECT_EQ(ev.values[1].data, 32767) << "Y 0 is up";
    EXPECT_EQ(ev.values[3].data, -32768);
    EXPECT_EQ(ev.values[4].data, 10);
    EXPECT_EQ(ev.values[5].data, 200);
    EXPECT_FALSE(usb.report({0x05, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, &ev)) << "other reports yield nothing";
    EXPECT_FALSE(usb.report({0x01, 1, 2}, &ev)) << "short";

    // The feature read fails with nothing returned: Bluetooth.
    Drv bt(0x054C, 0x05C4, 0, -1);
    ASSERT_EQ(bt.io.written.size(), 1u);
    EXPECT_EQ(bt.io.written[0].size(), 78u);
    Bytes b(13, 0);
    b[0] = 0x11;
    b[3 + 4] = 0x28;  // cross, hat 8
    ASSERT_TRUE(bt.report(b, &ev));
    EXPECT_TRUE(ev.buttons[1]);
    EXPECT_FALSE(ev.buttons[VKO_CBUTTON_DPAD_UP]);
}

TEST(HidDrivers, OutputReportsCarryTheStandardCrc) {
    uint8_t buf[78];
    ASSERT_EQ(hid_ds4_output(true, 0x1234, 0xABCD, buf), 78u);
    EXPECT_EQ(buf[6], 0xAB);
    EXPECT_EQ(buf[7], 0x12);
    EXPECT_EQ(buf[10], 0x40);
    // zlib.crc32(b"\xa2" + bytes 0..73) = 0xed41e57e
    EXPECT_EQ(buf[74], 0x7E);
    EXPECT_EQ(buf[75], 0xE5);
    EXPECT_EQ(buf[76], 0x41);
    EXPECT_EQ(buf[77], 0xED);
    ASSERT_EQ(hid_ds4_output(false, 0x1234, 0xABCD, buf), 32u);
    const uint8_t usb[9] = {0x05, 0x07, 0, 0, 0xAB, 0x12, 0, 0, 0x40};
    EXPECT_EQ(memcmp(buf, usb, 9), 0);
    ASSERT_EQ(hid_dualsense_output(false, 0x1234, 0xABCD, buf), 48u);
    EXPECT_EQ(buf[3], 0xAB);
    EXPECT_EQ(buf[4], 0x12);
    EXPECT_EQ(buf[45], 255);
    EXPECT_EQ(buf[47], 255);
    ASSERT_EQ(hid_dualsense_output(true, 0x1234, 0xABCD, buf), 78u);
    EXPECT_EQ(buf[0], 0x31);
    EXPECT_EQ(buf[1], 0x02);
    EXPECT_EQ(buf[4], 0xAB);
    // zlib.crc32(b"\xa2" + bytes 0..73) = 0xff1852cb
    EXPECT_EQ(buf[74], 0xCB);
    EXPECT_EQ(buf[75], 0x52);
    EXPECT_EQ(buf[76], 0x18);
    EXPECT_EQ(buf[77], 0xFF);
}

TEST(HidDrivers, DualSenseLayoutsAndItsFirstReport) {
    Drv usb(0x054C, 0x0CE6, 48);
    VKO_ControllerEvent ev;
    Bytes r(12, 0);
    r[0] = 0x01;
    r[1] = 0, r[2] = 255, r[5] = 77, r[6] = 88, r[8] = 0x20 | 0x08, r[10] = 0x02;
    EXPECT_FALSE(usb.report(r, &ev)) << "the first report only initialises";
    EXPECT_EQ(usb.io.written.size(), 2u);
    ASSERT_TRUE(usb.report(r, &ev));
    EXPECT_EQ(ev.values[0].data, -32768);
    EXPECT_EQ(ev.values[1].data, -32768) << "Y 255 is down";
    EXPECT_EQ(ev.values[4].data, 77);
    EXPECT_EQ(ev.values[5].data, 88);
    EXPECT_TRUE(ev.buttons[1]);
    EXPECT_TRUE(ev.buttons[17]);
    for (int b = 13; b <= 16; b++) EXPECT_FALSE(ev.buttons[b]);

    Drv bt(0x054C, 0x0CE6, 78);
    EXPECT_EQ(bt.io.written[0].size(), 78u);
    Bytes full(13, 0);
    full[0] = 0x31, full[6] = 9, full[7] = 10, full[9] = 0x10;
    bt.report(full, &ev);
    ASSERT_TRUE(bt.report(full, &ev));
    EXPECT_EQ(ev.values[4].data, 9);
    EXPECT_TRUE(ev.buttons[0]) << "square in the 0x31 layout";
    Bytes simple(11, 0);
    simple[0] = 0x01, simple[5] = 0x40, simple[8] = 33, simple[9] = 44;
    ASSERT_TRUE(bt.report(simple, &ev));
    EXPECT_TRUE(ev.buttons[2]) << "circle in the simple layout";
    EXPECT_EQ(ev.values[4].data, 33);
    EXPECT_EQ(ev.values[5].data, 44);
}

TEST(HidDrivers, StadiaAndXbox360Layouts) {
    Drv st(0x18D1, 0x9400);
    VKO_ControllerEvent ev;
    Bytes s(10, 0);
    s[1] = 0x06;  // hat 6: left
    s[2] = 0x01;  // button 18
    s[3] = 0x10;  // button 0
    s[4] = 1, s[5] = 1, s[6] = 255, s[7] = 128, s[8] = 20, s[9] = 30;
    ASSERT_TRUE(st.report(s, &ev));
    EXPECT_EQ(ev.button_count, 19);
    EXPECT_TRUE(ev.buttons[0]);
    EXPECT_TRUE(ev.buttons[18]);
    EXPECT_TRUE(ev.buttons[VKO_CBUTTON_DPAD_LEFT]);
    EXPECT_EQ(ev.values[0].data, -32768) << "range 1..255";
    EXPECT_EQ(ev.values[1].data, 32767);
    EXPECT_EQ(ev.values[2].data, 32767);
    EXPECT_EQ(ev.values[5].data, 30);
    EXPECT_FALSE(st.report(Bytes(9, 0), &ev));

    Drv x(0x045E, 0x028E);
    Bytes r(14, 0);
    r[2] = 0x01 | 0x20;  // up, back
    r[3] = 0x40 | 0x04;  // west (X), guide
    r[4] = 5;
    r[6] = 0x00, r[7] = 0x80;  // X -32768
    r[8] = 0x00, r[9] = 0x00;  // Y 0 inverted: -1
    ASSERT_TRUE(x.report(r, &ev));
    EXPECT_TRUE(ev.buttons[0]);
    EXPECT_TRUE(ev.buttons[12]);
    EXPECT_TRUE(ev.buttons[13]);
    EXPECT_TRUE(ev.buttons[8]);
    EXPECT_TRUE(ev.buttons[6]) << "left trigger above 0";
    EXPECT_EQ(ev.values[0].data, -32768);
    EXPECT_EQ(ev.values[1].data, -1);
    EXPECT_EQ(ev.button_count, 17);
}

Bytes xbox_report(uint16_t lx, uint8_t hat, uint8_t b14, uint8_t b15, uint8_t b16) {
    Bytes r(17, 0);
    r[0] = 0x01;
    r[1] = (uint8_t)lx, r[2] = (uint8_t)(lx >> 8);
    r[3] = 0xFF, r[4] = 0xFF;   // Y 65535: 32767 - 65535 = down
    r[9] = 0xFF, r[10] = 0x03;  // left trigger 1023 >> 2
    r[13] = hat, r[14] = b14, r[15] = b15, r[16] = b16;
    return r;
}

TEST(HidDrivers, XboxBluetoothModelsGuideAndRumbleRefresh) {
    Drv old(0x045E, 0x02E0);
    VKO_ControllerEvent ev;
    ASSERT_TRUE(old.report(xbox_report(65535, 1, 0x01, 0x00, 0x01), &ev));
    EXPECT_EQ(ev.button_count, 17);
    EXPECT_TRUE(ev.buttons[1]);
    EXPECT_TRUE(ev.buttons[8]) << "back in byte 16 on the older model";
    EXPECT_TRUE(ev.buttons[VKO_CBUTTON_DPAD_UP]) << "hat 1 - 1 = up";
    EXPECT_EQ(ev.values[0].data, 32767);
    EXPECT_EQ(ev.values[1].data, -32768);
    EXPECT_EQ(ev.values[4].data, 255);
    EXPECT_TRUE(ev.buttons[6]);
    EXPECT_FALSE(ev.buttons[12]);
    // Guide from report 0x02, then read from byte 15 bit 4 of 0x01.
    EXPECT_FALSE(old.report({0x02, 0x01}, &ev));
    ASSERT_TRUE(old.report(xbox_report(32768, 0, 0, 0x10, 0), &ev));
    EXPECT_TRUE(ev.buttons[12]);
    EXPECT_FALSE(ev.buttons[VKO_CBUTTON_DPAD_UP]) << "hat 0 is centred";
    ASSERT_TRUE(old.report(xbox_report(32768, 0, 0, 0x00, 0), &ev));
    EXPECT_FALSE(ev.buttons[12]);

    Drv newer(0x045E, 0x0B13);
    ASSERT_TRUE(newer.report(xbox_report(32768, 0, 0, 0x04, 0x01), &ev));
    EXPECT_EQ(ev.button_count, 18);
    EXPECT_TRUE(ev.buttons[8]) << "back in byte 15";
    EXPECT_TRUE(ev.buttons[17]) << "share";

    // Rumble: a pending write goes out after a report, at most every 50 ms;
    // a running rumble is written again after 2 s.
    Drv x(0x045E, 0x02FD);
    x.report(xbox_report(0, 0, 0, 0, 0), &ev);
    ASSERT_EQ(x.io.written.size(), 1u) << "the first report writes the pending state";
    hid_driver_rumble(&x.d, 0x4000, 0x8000, x.now);
    x.now += 10;
    x.report(xbox_report(0, 0, 0, 0, 0), &ev);
    EXPECT_EQ(x.io.written.size(), 1u) << "within 50 ms";
    x.now += 45;
    x.report(xbox_report(0, 0, 0, 0, 0), &ev);
    ASSERT_EQ(x.io.written.size(), 2u);
    const Bytes want = {0x03, 0x0F, 0, 0, 0x40, 0x80, 0xFF, 0, 0};
    EXPECT_EQ(x.io.written[1], want);
    hid_driver_rumble(&x.d, 0x4000, 0x8000, x.now);  // unchanged: nothing pending
    x.now += 1000;
    x.report(xbox_report(0, 0, 0, 0, 0), &ev);
    EXPECT_EQ(x.io.written.size(), 2u);
    x.now += 1001;
    x.report(xbox_report(0, 0, 0, 0, 0), &ev);
    EXPECT_EQ(x.io.written.size(), 3u) << "refreshed after 2 s";
}

// A Switch Pro pad over USB: the handshake moves one step per report, paced
// by the pad's replies, then reads the stick calibration.
TEST(HidDrivers, SwitchHandshakeCalibrationReportsAndRumble) {
    Drv sw(0x057E, 0x2009);
    VKO_ControllerEvent ev;
    ASSERT_EQ(sw.io.written.size(), 1u);
    EXPECT_EQ(sw.io.written[0][0], 0x80);
    EXPECT_EQ(sw.io.written[0][1], 0x02);
    EXPECT_EQ(sw.io.written[0].size(), 64u);
    // Replies to the USB commands.
    const uint8_t expect_cmds[3] = {0x03, 0x02, 0x04};
    for (int i = 0; i < 3; i++) {
        sw.now += 5;
        EXPECT_FALSE(sw.report({0x81, (uint8_t)(i == 0 ? 0x02 : 0x03), 0}, &ev));
        ASSERT_EQ(sw.io.written.size(), 2u + i);
        EXPECT_EQ(sw.io.written.back()[1], expect_cmds[i]);
    }
    // No reply comes to 0x04: the first subcommand follows at once.
    sw.now += 5;
    sw.report({0x00}, &ev);
    ASSERT_EQ(sw.io.written.size(), 5u);
    Bytes sub = sw.io.written.back();
    EXPECT_EQ(sub.size(), 64u) << "USB subcommands are 64 bytes";
    EXPECT_EQ(sub[0], 0x01);
    EXPECT_EQ(sub[1], 0) << "packet counter";
    EXPECT_EQ(sub[2], 0x00);
    EXPECT_EQ(sub[3], 0x01) << "neutral rumble";
    EXPECT_EQ(sub[10], 0x10);
    const uint8_t addr[5] = {0x3D, 0x60, 0x00, 0x00, 0x12};
    EXPECT_EQ(memcmp(&sub[11], addr, 5), 0);
    // Reports before the calibration give no state; nothing is sent while
    // the reply is awaited.
    Bytes full(13, 0);
    full[0] = 0x30;
    EXPECT_FALSE(sw.report(full, &ev));
    EXPECT_EQ(sw.io.written.size(), 5u);
    // The flash read reply: centre 2048, 1000 above and below on every axis.
    Bytes reply(40, 0);
    reply[0] = 0x21;
    reply[14] = 0x10;
    auto put = [&](int at, int x, int y) {
        reply[at] = (uint8_t)x;
        reply[at + 1] = (uint8_t)((x >> 8) | (y & 0x0F) << 4);
        reply[at + 2] = (uint8_t)(y >> 4);
    };
    put(20, 1000, 1000), put(23, 2048, 2048), put(26, 1000, 1000);  // left: above, centre, below
    put(29, 2048, 2048), put(32, 1000, 1000), put(35, 4095, 1000);  // right: centre, below, above (x unset)
    sw.now += 5;
    sw.report(reply, &ev);
    ASSERT_EQ(sw.io.written.size(), 6u);
    EXPECT_EQ(sw.io.written.back()[10], 0x48);
    EXPECT_EQ(sw.io.written.back()[1], 1);
    const uint8_t next[3] = {0x03, 0x38, 0x30};
    for (uint8_t s : next) {
        sw.now += 5;
        sw.report({0x21, 0}, &ev);
        EXPECT_EQ(sw.io.written.back()[10], s);
    }
    EXPECT_EQ(sw.io.written[6][11], 0x30) << "full reports over USB";
    size_t sent = sw.io.written.size();
    // A full report: left stick at centre + 900 (the calibrated maximum).
    auto stick = [&](int at, int x, int y) {
        full[at] = (uint8_t)x;
        full[at + 1] = (uint8_t)((x >> 8) | (y & 0x0F) << 4);
        full[at + 2] = (uint8_t)(y >> 4);
    };
    stick(6, 2048 + 900, 2048 - 450);
    stick(9, 2048, 2048);
    full[3] = 0x04 | 0x80;  // B (south), ZR
    full[5] = 0x02;         // up
    sw.now += 5;
    ASSERT_TRUE(sw.report(full, &ev));
    EXPECT_EQ(ev.button_count, 18);
    EXPECT_TRUE(ev.buttons[1]);
    EXPECT_TRUE(ev.buttons[7]);
    EXPECT_TRUE(ev.buttons[13]);
    EXPECT_EQ(ev.values[0].data, 32767);
    EXPECT_EQ(ev.values[1].data, -16384);
    EXPECT_EQ(ev.values[5].data, 255) << "ZR";
    EXPECT_EQ(ev.values[4].data, 0);
    EXPECT_EQ(sw.io.written.size(), sent) << "no rumble asked: nothing sent";
    // Rumble: sent with the next report, refreshed after 500 ms while on.
    hid_driver_rumble(&sw.d, 0x100, 0, sw.now);
    sw.now += 5;
    sw.report(full, &ev);
    ASSERT_EQ(sw.io.written.size(), sent + 1);
    const uint8_t buzz[4] = {0x74, 0xBE, 0xBD, 0x6F};
    EXPECT_EQ(memcmp(&sw.io.written.back()[2], buzz, 4), 0);
    EXPECT_EQ(sw.io.written.back()[6], 0x00);
    sw.now += 400;
    sw.report(full, &ev);
    EXPECT_EQ(sw.io.written.size(), sent + 1);
    sw.now += 101;
    sw.report(full, &ev);
    EXPECT_EQ(sw.io.written.size(), sent + 2);
    EXPECT_EQ(sw.io.written.back()[1], (uint8_t)((sw.io.written[sw.io.written.size() - 2][1] + 1) % 16));
}

// Over Bluetooth after silence; a lost reply repeats its step.
TEST(HidDrivers, SwitchOverBluetoothFallsBackAfterSilence) {
    Drv sw(0x057E, 0x2009);
    VKO_ControllerEvent ev;
    sw.now += 100;
    sw.report({0x3F, 0, 0, 8, 0, 0x80, 0, 0x80, 0, 0x80, 0, 0x80}, &ev);
    EXPECT_EQ(sw.io.written.size(), 1u) << "still waiting for a USB reply";
    sw.now += 450;
    EXPECT_FALSE(sw.report({0x3F, 0, 0, 8, 0, 0x80, 0, 0x80, 0, 0x80, 0, 0x80}, &ev)) << "not calibrated yet";
    ASSERT_EQ(sw.io.written.size(), 2u);
    EXPECT_EQ(sw.io.written.back().size(), 49u) << "Bluetooth subcommands are 49 bytes";
    EXPECT_EQ(sw.io.written.back()[10], 0x10);
    // No answer for 500 ms: the calibration read is asked again, not skipped
    // (without it the pad would never give a state).
    sw.now += 501;
    sw.report({0x00}, &ev);
    ASSERT_EQ(sw.io.written.size(), 3u);
    EXPECT_EQ(sw.io.written.back()[10], 0x10) << "the step whose reply was lost";
    Bytes reply(40, 0);
    reply[0] = 0x21;
    reply[14] = 0x10;
    sw.now += 5;
    sw.report(reply, &ev);
    ASSERT_EQ(sw.io.written.size(), 4u);
    EXPECT_EQ(sw.io.written.back()[10], 0x48) << "then the sequence goes on";
    // A lost reply later in the sequence repeats that step only.
    sw.now += 501;
    sw.report({0x00}, &ev);
    EXPECT_EQ(sw.io.written.back()[10], 0x48);
    for (uint8_t next : {0x03, 0x38, 0x30}) {
        sw.now += 5;
        sw.report({0x21, 0}, &ev);
        EXPECT_EQ(sw.io.written.back()[10], next);
    }
    sw.now += 5;
    sw.report({0x21, 0}, &ev);
    EXPECT_TRUE(sw.report({0x3F, 0x01, 0, 8, 0, 0x80, 0, 0x80, 0, 0x80, 0, 0x80}, &ev)) << "calibrated";
    EXPECT_TRUE(ev.buttons[1]);
    // Over USB a lost reply to a handshake command repeats that command.
    Drv usb(0x057E, 0x2009);
    usb.now += 5;
    usb.report({0x81, 0x02, 0}, &ev);
    EXPECT_EQ(usb.io.written.back()[1], 0x03);
    usb.now += 501;
    usb.report({0x00}, &ev);
    ASSERT_EQ(usb.io.written.size(), 3u);
    EXPECT_EQ(usb.io.written.back()[1], 0x03);
}

// The listener over a scripted device layer.
struct FakeDevices {
    struct Dev {
        uint16_t vid, pid;
        Bytes desc;
        std::vector<Bytes> reports;
        bool fail = false;
    };
    std::map<std::string, Dev> nodes;
    std::map<int, std::string> open_fds;
    std::vector<Bytes> written;
    int next_fd = 10;
    static FakeDevices *self(void *c) { return (FakeDevices *)c; }
    static int open(void *c, const char *path) {
        auto *f = self(c);
        if (!f->nodes.count(path)) return -1;
        f->open_fds[f->next_fd] = path;
        return f->next_fd++;
    }
    static void close(void *c, int fd) { self(c)->open_fds.erase(fd); }
    static long read(void *c, int fd, uint8_t *buf, size_t size) {
        auto *f = self(c);
        auto &d = f->nodes[f->open_fds[fd]];
        if (d.fail) return -1;
        if (d.reports.empty()) return 0;
        Bytes r = d.reports.front();
        d.reports.erase(d.reports.begin());
        size_t n = std::min(size, r.size());
        memcpy(buf, r.data(), n);
        return (long)n;
    }
    static bool write(void *c, int, const uint8_t *buf, size_t size) {
        self(c)->written.emplace_back(buf, buf + size);
        return true;
    }
    static long feature(void *, int, uint8_t *, size_t) { return -1; }
    static bool info(void *c, int fd, uint16_t *vid, uint16_t *pid, uint8_t *desc, size_t *size) {
        auto *f = self(c);
        auto &d = f->nodes[f->open_fds[fd]];
        *vid = d.vid, *pid = d.pid;
        *size = std::min(*size, d.desc.size());
        memcpy(desc, d.desc.data(), *size);
        return true;
    }
    // The listener's device layer played by this fake.
    VKO_HIDDeviceOps ops() { return {open, close, read, write, feature, info, this}; }
};

struct Seen {
    std::vector<std::string> log;
    std::vector<VKO_ControllerEvent> states;
    static void keep_state(void *c, VKO_ControllerEvent *st, const void *, size_t) {
        ((Seen *)c)->states.push_back(*st);
    }
};

TEST(HidListener, ArrivalReportsRemovalAndIdsNeverReused) {
    FakeDevices fake;
    const VKO_HIDDeviceOps ops = fake.ops();
    Seen seen;
    VKO_HIDCallbacks cb = {
        [](void *c, uint32_t id, uint16_t vid, uint16_t, bool on) {
            ((Seen *)c)->log.push_back((on ? "+" : "-") + std::to_string(id) + ":" + std::to_string(vid));
        },
        Seen::keep_state, &seen};
    VKO_HIDListener *l = vko_hid_listener_create(&cb);
    vko_hid_listener_set_ops(l, &ops);
    fake.nodes["/dev/hidraw0"] = {0x1234, 0x0001, kPad, {{0x01, 0x00, 0x08, 128, 128, 128, 128}}};
    fake.nodes["/dev/hidraw1"] = {0x1234,
                                  0x0002,
                                  {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,
                                   0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0xC0},
                                  {}};
    fake.nodes["/dev/hidraw2"] = {0x1234, 0x0003, {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x26}, {}};
    EXPECT_TRUE(vko_hid_listener_arrival(l, "/dev/hidraw0"));
    EXPECT_FALSE(vko_hid_listener_arrival(l, "/dev/hidraw1")) << "a keyboard is no controller";
    EXPECT_FALSE(vko_hid_listener_arrival(l, "/dev/hidraw2")) << "malformed descriptor";
    EXPECT_FALSE(vko_hid_listener_arrival(l, "/dev/none"));
    EXPECT_EQ(fake.open_fds.size(), 1u) << "refused nodes are closed";
    vko_hid_listener_poll(l);
    ASSERT_EQ(seen.states.size(), 1u);
    EXPECT_EQ(seen.states[0].id, 32u);
    EXPECT_EQ(seen.states[0].vendor_id, 0x1234);
    EXPECT_TRUE(seen.states[0].buttons[0]) << "hidraw left out the id byte; it was put back";
    EXPECT_EQ(vko_hid_listener_type(l, 32), VKO_CTYPE_HID);
    EXPECT_STREQ(vko_hid_listener_name(l, 32), "/dev/hidraw0");
    EXPECT_EQ(vko_hid_listener_name(l, 99), nullptr);
    // Unreadable node: treated as gone.
    fake.nodes["/dev/hidraw0"].fail = true;
    vko_hid_listener_poll(l);
    fake.nodes["/dev/hidraw0"].fail = false;
    EXPECT_TRUE(vko_hid_listener_arrival(l, "/dev/hidraw0"));
    fake.nodes["/dev/hidraw3"] = {0x054C, 0x0CE6, kPad, {}};
    EXPECT_TRUE(vko_hid_listener_arrival(l, "/dev/hidraw3"));
    EXPECT_EQ(vko_hid_listener_type(l, 34), VKO_CTYPE_DUALSENSE);
    size_t before = fake.written.size();
    vko_hid_listener_rumble(l, 34, 0xFF00, 0);
    EXPECT_EQ(fake.written.size(), before + 1);
    EXPECT_TRUE(vko_hid_listener_write(l, 34, "\x02", 1));
    EXPECT_FALSE(vko_hid_listener_write(l, 77, "\x02", 1));
    vko_hid_listener_removal(l, "/dev/hidraw3");
    const std::vector<std::string> want = {"+32:4660", "-32:4660", "+33:4660", "+34:1356", "-34:1356"};
    EXPECT_EQ(seen.log, want);
    vko_hid_listener_destroy(&l);
    EXPECT_EQ(l, nullptr);
    EXPECT_TRUE(fake.open_fds.empty());
}

// One node carries every collection of its device: each gamepad collection
// is a controller of its own, reports of the other collections are ignored,
// and a gamepad after a keyboard is found.
TEST(HidListener, EachGamepadCollectionIsAController) {
    FakeDevices fake;
    const VKO_HIDDeviceOps ops = fake.ops();
    Seen seen;
    VKO_HIDCallbacks cb = {[](void *c, uint32_t id, uint16_t, uint16_t, bool on) {
                               ((Seen *)c)->log.push_back((on ? "+" : "-") + std::to_string(id));
                           },
                           Seen::keep_state, &seen};
    // Gamepad with report id `id`: 4 buttons, 4 bits padding, X and Y of 8 bits.
    auto pad = [](uint8_t id) {
        return Bytes{0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x85, id,   0x05, 0x09, 0x19, 0x01, 0x29, 0x04, 0x15,
                     0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x04, 0x81, 0x02, 0x95, 0x04, 0x81, 0x03, 0x05, 0x01,
                     0x09, 0x30, 0x09, 0x31, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0xC0};
    };
    // Media keys, report 3: 8 consumer-page bits.
    const Bytes media = {0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x03, 0x19, 0x01, 0x29, 0x08,
                         0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0xC0};
    // Keyboard, report 4: 8 modifier bits.
    const Bytes keyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x04, 0x05, 0x07, 0x19, 0xE0, 0x29,
                            0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0xC0};
    Bytes adapter = pad(1);
    adapter.insert(adapter.end(), media.begin(), media.end());
    Bytes second = pad(2);
    adapter.insert(adapter.end(), second.begin(), second.end());
    Bytes combo = keyboard;
    Bytes first = pad(1);
    combo.insert(combo.end(), first.begin(), first.end());
    fake.nodes["/dev/hidraw0"] = {0x1234,
                                  0x0001,
                                  adapter,
                                  {{1, 0x01, 128, 128},    // pad 1 holds button 1
                                   {3, 0x01},              // a media key
                                   {2, 0x02, 128, 0},      // pad 2 holds button 2, stick up
                                   {1, 0x01, 128, 128}}};  // pad 1 still holds button 1
    fake.nodes["/dev/hidraw1"] = {0x1234, 0x0002, combo, {{4, 0x01}, {1, 0x08, 255, 128}}};
    VKO_HIDListener *l = vko_hid_listener_create(&cb);
    vko_hid_listener_set_ops(l, &ops);
    ASSERT_TRUE(vko_hid_listener_arrival(l, "/dev/hidraw0"));
    ASSERT_TRUE(vko_hid_listener_arrival(l, "/dev/hidraw1")) << "a gamepad after a keyboard";
    vko_hid_listener_poll(l);
    ASSERT_EQ(seen.states.size(), 4u);
    auto pressed = [](const VKO_ControllerEvent &e) {
        std::string s;
        for (int i = 0; i < e.button_count; i++) s += e.buttons[i] ? '1' : '0';
        return std::to_string(e.id) + ":" + s;
    };
    EXPECT_EQ(pressed(seen.states[0]), "32:1000");
    EXPECT_EQ(pressed(seen.states[1]), "33:0100") << "pad 2's own buttons, from 0";
    EXPECT_EQ(seen.states[1].values[1].data, 32767);
    EXPECT_EQ(pressed(seen.states[2]), "32:1000") << "the media key released nothing";
    EXPECT_EQ(pressed(seen.states[3]), "34:0001");
    EXPECT_EQ(seen.states[3].values[0].data, 32767);
    EXPECT_STREQ(vko_hid_listener_name(l, 33), "/dev/hidraw0");
    EXPECT_TRUE(vko_hid_listener_write(l, 33, "\x02", 1));
    vko_hid_listener_removal(l, "/dev/hidraw0");
    EXPECT_EQ(vko_hid_listener_name(l, 32), nullptr);
    vko_hid_listener_destroy(&l);
    EXPECT_EQ(seen.log, (std::vector<std::string>{"+32", "+33", "+34", "-32", "-33"}));
    EXPECT_TRUE(fake.open_fds.empty());
}

// A descriptor with more fields than a device record holds is refused, and
// the log names the list that overflowed; a plain malformed one names the caps.
TEST(HidListener, OverlongDescriptorsAreRefusedAndLoggedByList) {
    FakeDevices fake;
    const VKO_HIDDeviceOps ops = fake.ops();
    VKO_HIDCallbacks cb = {[](void *, uint32_t, uint16_t, uint16_t, bool) {},
                           [](void *, VKO_ControllerEvent *, const void *, size_t) {}, nullptr};
    VKO_HIDListener *l = vko_hid_listener_create(&cb);
    vko_hid_listener_set_ops(l, &ops);
    Bytes buttons = {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x05, 0x09, 0x75, 0x01, 0x95, 0x01};
    Bytes values = {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x01};
    for (int i = 0; i < 600; i++) {
        buttons.insert(buttons.end(), {0x81, 0x02});
        values.insert(values.end(), {0x09, 0x30, 0x81, 0x02});
    }
    buttons.push_back(0xC0);
    values.push_back(0xC0);
    fake.nodes["/dev/hidraw0"] = {0x1234, 0x0001, buttons, {}};
    fake.nodes["/dev/hidraw1"] = {0x1234, 0x0002, values, {}};
    fake.nodes["/dev/hidraw2"] = {0x1234, 0x0003, {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x26}, {}};
    LogCapture log;
    EXPECT_FALSE(vko_hid_listener_arrival(l, "/dev/hidraw0"));
    EXPECT_TRUE(log.contains("hid_device_create: 'HidP_GetButtonCaps' failed with NTSTATUS 0xC0110007"));
    EXPECT_FALSE(vko_hid_listener_arrival(l, "/dev/hidraw1"));
    EXPECT_TRUE(log.contains("hid_device_create: 'HidP_GetValueCaps' failed with NTSTATUS 0xC0110007"));
    EXPECT_FALSE(vko_hid_listener_arrival(l, "/dev/hidraw2"));
    EXPECT_TRUE(log.contains("hid_device_create: 'HidP_GetCaps' failed with NTSTATUS 0xC0110001"));
    EXPECT_TRUE(fake.open_fds.empty()) << "refused nodes are closed";
    vko_hid_listener_destroy(&l);
}

}  // namespace
