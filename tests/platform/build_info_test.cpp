#include <gtest/gtest.h>

#include <cstring>

#include "platform/build_info.h"

TEST(BuildInfo, VersionIsTheCompiledOne) {
    EXPECT_STREQ(zarvek_version(), ZARVEK_VERSION);
}
