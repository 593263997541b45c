#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/log.h"
#include "platform/memory.h"
#include "support/log_capture.h"

TEST(Scratch, RingWrapsAndOverwrites)
{
    char *a = (char *)vko_tlocal(5000);
    memset(a, 'a', 5000);
    char *b = (char *)vko_tlocal(5000);
    EXPECT_EQ(a, b);
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(b[4999], 0);
}

TEST(Scratch, StrdupCutsToRing)
{
    std::string big(10000, 'x');
    char *s = vko_tlocal_strdup(big.c_str());
    EXPECT_EQ(strlen(s), 8191u);
}

TEST(Hex, OutTruncatesAndLogs)
{
    LogCapture log;
    const uint8_t bytes[3] = {0xAB, 0x01, 0xFF};
    char text[7];
    VKO_BytesToHex(bytes, 3, text, 7);
    EXPECT_STREQ(text, "ab01ff");
    EXPECT_TRUE(log.lines().empty());

    VKO_BytesToHex(bytes, 3, text, 6);
    EXPECT_STREQ(text, "ab01");
    EXPECT_TRUE(log.contains("VKO_BytesToHex: 'hex' not large enough, truncated"));
}

TEST(Hex, InStopsAtInvalid)
{
    LogCapture log;
    uint8_t bytes[2] = {0x55, 0x55};
    VKO_HexToBytes("0g", bytes, 2);
    EXPECT_EQ(bytes[0], 0x00);
    EXPECT_EQ(bytes[1], 0x55);
    EXPECT_TRUE(log.contains("VKO_HexToBytes: Invalid hex character 103"));
}

TEST(CRC32, CheckValueAndContinuation)
{
    EXPECT_EQ(VKO_CRC32(0, "123456789", 9), 0xCBF43926u);
    uint32_t part = VKO_CRC32(0, "1234", 4);
    EXPECT_EQ(VKO_CRC32(part, "56789", 5), 0xCBF43926u);
}

TEST(DJB2, SignedBytes)
{
    EXPECT_EQ(VKO_DJB2(""), 5381u);
    EXPECT_EQ(VKO_DJB2("\xE9"), 5381u * 33u - 23u);
}

TEST(Utf, RoundTrip)
{
    const char *text = "h\xC3\xA9llo \xF0\x9F\x98\x80";
    char16_t wide[16];
    ASSERT_TRUE(VKO_MultiToWide(text, wide, 16));
    EXPECT_EQ(wide[1], u'\u00E9');
    EXPECT_EQ(wide[6], 0xD83D);
    char back[32];
    ASSERT_TRUE(VKO_WideToMulti(wide, back, 32));
    EXPECT_STREQ(back, text);
}

TEST(Format, SprintfAlloc)
{
    char *s = VKO_SprintfAlloc("%s-%d", "a", 42);
    EXPECT_STREQ(s, "a-42");
    VKO_Free(s);
    EXPECT_STREQ(VKO_SprintfTLocal("%u", 7u), "7");
}

TEST(Alloc, ReallocZeroFrees)
{
    void *p = VKO_Alloc(4, 4);
    EXPECT_EQ(VKO_Realloc(p, 0, 4), nullptr);
}
