// Raw relative moves in fractions of a pixel, as precise mice report them
// through XInput 2: what each leaves below a whole pixel goes with the next.
#include <gtest/gtest.h>

#include <X11/extensions/XInput2.h>

#include <cmath>
#include <memory>

#include "platform/app_harness.h"
#include "platform/app_internal.h"
#include "platform/x11/x11_app.h"

namespace {

class RawMotionTest : public ::testing::Test {
   protected:
    void SetUp() override {
        if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
        h = std::make_unique<AppHarness>();
        ASSERT_NE(h->app, nullptr);
        ASSERT_EQ(h->open_window(), 0);
        d.move(300, 250);
        VKO_AppSetRelativeMouse(h->app, true);
        ASSERT_TRUE(h->pump_until([&] { return x11(h->app)->raw_on; }));
        h->events.clear();
    }
    void TearDown() override {
        if (h && h->app) VKO_AppSetRelativeMouse(h->app, false);
        h.reset();
    }
    // One raw move with these deltas from a device that reports moves.
    void feed(double dx, double dy) {
        XIRawEvent r = {};
        unsigned char mask[1] = {};
        XISetMask(mask, 0);
        XISetMask(mask, 1);
        double values[2] = {dx, dy};
        r.evtype = XI_RawMotion;
        r.deviceid = r.sourceid = 2;
        r.valuators.mask_len = 1;
        r.valuators.mask = mask;
        r.valuators.values = values;
        r.raw_values = values;
        x11_raw_input(h->app, &r);
    }
    // The moves since the last call, as (x, y).
    std::vector<std::pair<int32_t, int32_t>> moves() {
        std::vector<std::pair<int32_t, int32_t>> out;
        for (const VKO_Event &e : h->of(VKO_EVENT_MOTION)) {
            EXPECT_EQ(e.motion.relative, 1);
            out.push_back({e.motion.x, e.motion.y});
        }
        h->events.clear();
        return out;
    }

    std::unique_ptr<AppHarness> h;
    Driver d;
};

using Moves = std::vector<std::pair<int32_t, int32_t>>;

TEST_F(RawMotionTest, FractionsAddUpInEitherDirection) {
    for (int i = 0; i < 4; i++) feed(0.6, -0.6);
    EXPECT_EQ(moves(), (Moves{{1, -1}, {1, -1}})) << "0.6, 1.2, 1.8, 2.4 and their opposites";
    // Relative mode anew: nothing left over from before.
    X11App *x = x11(h->app);
    VKO_AppSetRelativeMouse(h->app, false);
    ASSERT_TRUE(h->pump_until([&] { return !x->raw_on; }));
    VKO_AppSetRelativeMouse(h->app, true);
    ASSERT_TRUE(h->pump_until([&] { return x->raw_on; }));
    h->events.clear();
    feed(0.75, 0.75);
    EXPECT_EQ(moves(), Moves{});
    // Back and forth: each move spends what the last one left.
    feed(1.5, -2.25);
    feed(-0.5, 0.25);
    feed(1.25, 1.25);
    EXPECT_EQ(moves(), (Moves{{2, -1}, {1, 1}}));
}

// A delta that is no number moves nothing and spoils nothing after it.
TEST_F(RawMotionTest, NonNumbersMoveNothing) {
    feed(NAN, INFINITY);
    feed(-INFINITY, NAN);
    EXPECT_EQ(moves(), Moves{});
    feed(3, -2);
    EXPECT_EQ(moves(), (Moves{{3, -2}}));
}

}  // namespace
