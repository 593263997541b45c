// The common controller record's rules: the state cache with its dead zone,
// the hat-to-d-pad rule and the XInput conversion.
#include "platform/controller.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/map.h"

namespace {

VKO_ControllerEvent pad(uint32_t id) {
    VKO_ControllerEvent e;
    memset(&e, 0, sizeof(e));
    e.id = id;
    e.button_count = 17;
    e.value_count = 6;
    return e;
}

TEST(ControllerCache, DeadZoneKeepsExtremesAndClearsTheLowBitElsewhere) {
    VKO_Hash *cache = vko_controller_cache_create();
    VKO_ControllerEvent e = pad(32);
    const int16_t in[6] = {1999, -1999, 32767, -32768, 1999, 255};
    for (int i = 0; i < 6; i++) e.values[i].data = in[i];
    EXPECT_TRUE(vko_controller_cache_update(cache, &e)) << "the first state of an id differs from zero";
    EXPECT_EQ(e.values[0].data, 0);
    EXPECT_EQ(e.values[1].data, 0);
    EXPECT_EQ(e.values[2].data, 32767);
    EXPECT_EQ(e.values[3].data, -32768);
    EXPECT_EQ(e.values[4].data, 1999) << "triggers have no dead zone";
    e.values[0].data = 2001;
    e.values[1].data = -2001;
    EXPECT_TRUE(vko_controller_cache_update(cache, &e));
    EXPECT_EQ(e.values[0].data, 2000);
    EXPECT_EQ(e.values[1].data, -2002) << "clearing the low bit moves negatives away from zero";
    // Noise of one step is no change.
    e.values[0].data = 2001;
    EXPECT_FALSE(vko_controller_cache_update(cache, &e));
    vko_controller_cache_destroy(&cache);
    EXPECT_EQ(cache, nullptr);
}

TEST(ControllerCache, OnlyTheCountedButtonsAndValuesAreCompared) {
    VKO_Hash *cache = vko_controller_cache_create();
    VKO_ControllerEvent e = pad(1);
    EXPECT_FALSE(vko_controller_cache_update(cache, &e)) << "zero state equals the fresh record";
    e.buttons[17] = true;
    e.values[6].data = 100;
    EXPECT_FALSE(vko_controller_cache_update(cache, &e));
    e.buttons[16] = true;
    EXPECT_TRUE(vko_controller_cache_update(cache, &e));
    // Ids are cached apart.
    VKO_ControllerEvent other = pad(2);
    EXPECT_FALSE(vko_controller_cache_update(cache, &other));
    // Counts past the arrays read no further than the arrays.
    e.button_count = 255;
    e.value_count = 255;
    e.buttons[63] = true;
    EXPECT_TRUE(vko_controller_cache_update(cache, &e));
    vko_controller_cache_destroy(&cache);
}

TEST(ControllerHat, EightDirectionsAndCentred) {
    const struct {
        int32_t hat;
        bool up, right, down, left;
    } cases[] = {
        {0, 1, 0, 0, 0}, {1, 1, 1, 0, 0},  {2, 0, 1, 0, 0},  {3, 0, 1, 1, 0},
        {4, 0, 0, 1, 0}, {5, 0, 0, 1, 1},  {6, 0, 0, 0, 1},  {7, 1, 0, 0, 1},
        {8, 0, 0, 0, 0}, {15, 0, 0, 0, 0}, {-1, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        VKO_ControllerEvent e = pad(0);
        memset(e.buttons, 1, sizeof(e.buttons));
        vko_hat_to_dpad(&e, c.hat);
        EXPECT_EQ(e.buttons[VKO_CBUTTON_DPAD_UP], c.up) << c.hat;
        EXPECT_EQ(e.buttons[VKO_CBUTTON_DPAD_RIGHT], c.right) << c.hat;
        EXPECT_EQ(e.buttons[VKO_CBUTTON_DPAD_DOWN], c.down) << c.hat;
        EXPECT_EQ(e.buttons[VKO_CBUTTON_DPAD_LEFT], c.left) << c.hat;
    }
}

TEST(ControllerXInput, ButtonWordAndAxes) {
    const struct {
        uint16_t mask;
        uint32_t button;
    } bits[] = {
        {0x1000, 1},  {0x2000, 2},  {0x4000, 0},  {0x8000, 3},  {0x0100, 4},
        {0x0200, 5},  {0x0020, 8},  {0x0010, 9},  {0x0040, 10}, {0x0080, 11},
        {0x0400, 12}, {0x0001, 13}, {0x0008, 14}, {0x0002, 15}, {0x0004, 16},
    };
    for (const auto &b : bits) {
        VKO_XInputGamepad g = {};
        g.buttons = b.mask;
        VKO_ControllerEvent e = pad(0);
        vko_controller_from_xinput(&e, &g);
        for (uint32_t i = 0; i < 17; i++)
            EXPECT_EQ(e.buttons[i], i == b.button) << std::hex << b.mask << " " << i;
    }
    VKO_XInputGamepad g = {0, 1, 0, -32768, 32767, 5, -5};
    VKO_ControllerEvent e = pad(0);
    vko_controller_from_xinput(&e, &g);
    EXPECT_TRUE(e.buttons[VKO_CBUTTON_LTRIGGER]);
    EXPECT_FALSE(e.buttons[VKO_CBUTTON_RTRIGGER]);
    const uint16_t usages[6] = {0x30, 0x31, 0x32, 0x35, 0x33, 0x34};
    const int16_t data[6] = {-32768, 32767, 5, -5, 1, 0};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(e.values[i].usage, usages[i]);
        EXPECT_EQ(e.values[i].data, data[i]);
        EXPECT_EQ(e.values[i].max, i < 4 ? 32767 : 255);
    }
    EXPECT_EQ(e.button_count, 17);
    EXPECT_EQ(e.value_count, 6);
}

}  // namespace
