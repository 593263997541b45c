#include <gtest/gtest.h>

#include "platform/log.h"
#include "support/log_capture.h"

TEST(Log, TagColonText)
{
    LogCapture log;
    VKO_Log("X", "%d", 3);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "X: 3");
}

TEST(Time, DiffOfEqualIsZero)
{
    int64_t t = VKO_GetTime();
    EXPECT_EQ(VKO_TimeDiff(t, t), 0.0);
    EXPECT_EQ(VKO_TimeDiff(0, 1000000), 1.0);
}
