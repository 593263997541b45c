#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/memory.h"
#include "support/log_capture.h"

// Oversized requests must come back as NULL (and so reach our own fatal
// path) rather than be reported by the sanitizer's allocator.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}
extern "C" const char *__tsan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {
class MemoryDeathTest : public ::testing::Test {
   protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};
}  // namespace

// Allocation

TEST(Alloc, ZeroedAndZeroSizeIsNotFailure) {
    uint8_t *p = (uint8_t *)VKO_Alloc(16, 4);
    for (int i = 0; i < 64; i++) EXPECT_EQ(p[i], 0);
    VKO_Free(p);

    void *z = VKO_Alloc(0, 8);
    EXPECT_NE(z, nullptr);
    VKO_Free(z);
}

TEST(Alloc, ReallocGrowsAndZeroCountFrees) {
    char *p = (char *)VKO_Realloc(NULL, 4, 1);
    memcpy(p, "abc", 4);
    p = (char *)VKO_Realloc(p, 1000, 2);
    EXPECT_STREQ(p, "abc");
    EXPECT_EQ(VKO_Realloc(p, 0, 4), nullptr);
    EXPECT_EQ(VKO_Realloc(NULL, 4, 0), nullptr);
}

TEST(Alloc, DupStrdupAndSecure) {
    const uint8_t src[5] = {1, 2, 3, 4, 5};
    uint8_t *d = (uint8_t *)VKO_Dup(src, 5);
    EXPECT_EQ(memcmp(d, src, 5), 0);
    VKO_SecureZero(d, 5);
    for (int i = 0; i < 5; i++) EXPECT_EQ(d[i], 0);
    VKO_SecureZero(NULL, 5);
    VKO_SecureFree(d, 5);

    char *s = VKO_Strdup("hello");
    EXPECT_STREQ(s, "hello");
    VKO_Free(s);
}

TEST_F(MemoryDeathTest, AllocFailureIsFatal) {
    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            VKO_Alloc(SIZE_MAX / 2, 4);
        },
        ::testing::ExitedWithCode(1), "VKO_Alloc: 'calloc' failed with errno 12");
}

TEST_F(MemoryDeathTest, ReallocFailureIsFatal) {
    // count x size overflows: refused before reaching the allocator.
    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            VKO_Realloc(NULL, SIZE_MAX / 2, 4);
        },
        ::testing::ExitedWithCode(1), "VKO_Realloc: 'realloc' failed with errno 12");

    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            VKO_Realloc(NULL, (size_t)1 << 62, 1);
        },
        ::testing::ExitedWithCode(1), "VKO_Realloc: 'realloc' failed with errno [0-9]+");
}

// Formatting and strings

TEST(Format, HeapAndScratch) {
    char *s = VKO_SprintfAlloc("%s-%d-%c", "a", 42, 'z');
    EXPECT_STREQ(s, "a-42-z");
    VKO_Free(s);

    std::string big(20000, 'q');
    s = VKO_SprintfAlloc("<%s>", big.c_str());
    EXPECT_EQ(strlen(s), 20002u);
    VKO_Free(s);

    EXPECT_STREQ(VKO_SprintfTLocal("%u/%s", 7u, "x"), "7/x");
    EXPECT_EQ(strlen(VKO_SprintfTLocal("%s", big.c_str())), 8191u);
}

TEST(Strings, StrcatAppendsOnlyWhenItFits) {
    char buf[8] = "abc";
    EXPECT_EQ(VKO_Strcat(buf, sizeof(buf), "def"), 0u);  // 3 + 1 + 3 = 7 <= 8
    EXPECT_STREQ(buf, "abcdef");
    EXPECT_EQ(VKO_Strcat(buf, sizeof(buf), "gh"), 9u);
    EXPECT_STREQ(buf, "abcdef");
    EXPECT_EQ(VKO_Strcat(buf, sizeof(buf), "g"), 0u);  // 6 + 1 + 1 = 8
    EXPECT_STREQ(buf, "abcdefg");
}

TEST(Strings, CaseInsensitiveSearchAndCompare) {
    const char *h = "Hello World";
    EXPECT_EQ(VKO_Strcasestr(h, "WORLD"), h + 6);
    EXPECT_EQ(VKO_Strcasestr(h, "lo w"), h + 3);
    EXPECT_EQ(VKO_Strcasestr(h, "worlds"), nullptr);
    EXPECT_EQ(VKO_Strcasestr(h, ""), h);

    EXPECT_EQ(VKO_Strcasecmp("abc", "ABC"), 0);
    EXPECT_LT(VKO_Strcasecmp("abc", "ABD"), 0);
    EXPECT_GT(VKO_Strcasecmp("abcd", "ABC"), 0);
    EXPECT_LT(VKO_Strcasecmp("", "a"), 0);
}

TEST(Strings, Tokeniser) {
    char text[] = "a,b;;c";
    char *ctx = NULL;
    std::vector<std::string> tokens;
    for (char *t = VKO_Strtok(text, ",;", &ctx); t; t = VKO_Strtok(NULL, ",;", &ctx)) tokens.emplace_back(t);
    EXPECT_EQ(tokens, (std::vector<std::string>{"a", "b", "c"}));
}

struct Rec {
    int key;
    int order;
};

static int rec_compare(const void *a, const void *b) {
    return ((const Rec *)a)->key - ((const Rec *)b)->key;
}

TEST(Sort, StableLikeStdStableSort) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20; round++) {
        std::vector<Rec> v(1 + rng() % 500);
        for (size_t i = 0; i < v.size(); i++) v[i] = {(int)(rng() % 8), (int)i};

        std::vector<Rec> want = v;
        std::stable_sort(want.begin(), want.end(), [](const Rec &a, const Rec &b) { return a.key < b.key; });

        VKO_Sort(v.data(), v.size(), sizeof(Rec), rec_compare);
        for (size_t i = 0; i < v.size(); i++) {
            ASSERT_EQ(v[i].key, want[i].key);
            ASSERT_EQ(v[i].order, want[i].order);
        }
    }

    VKO_Sort(NULL, 0, sizeof(Rec), rec_compare);
}

// Scratch ring

TEST(Scratch, SecondLargeRequestOverwritesFirst) {
    // Fresh thread: the ring starts at offset 0.
    std::thread([] {
        char *a = (char *)vko_tlocal(5000);
        memset(a, 'a', 5000);
        char *b = (char *)vko_tlocal(5000);
        EXPECT_EQ(a, b);
        EXPECT_EQ(b[0], 0);
        EXPECT_EQ(b[4999], 0);
    }).join();
}

TEST(Scratch, BlocksFollowWithoutGapAndWholeRingFits) {
    std::thread([] {
        char *a = (char *)vko_tlocal(3);
        char *b = (char *)vko_tlocal(5);
        EXPECT_EQ(b, a + 3);

        char *all = (char *)vko_tlocal(VKO_TLOCAL_SIZE);
        EXPECT_EQ(all, a);
        memset(all, 1, VKO_TLOCAL_SIZE);

        // Exactly at the end: the next block wraps.
        char *c = (char *)vko_tlocal(1);
        EXPECT_EQ(c, a);
        EXPECT_EQ(c[0], 0);
    }).join();
}

TEST(Scratch, StrdupCutsToRingSize) {
    std::string big(10000, 'x');
    char *s = vko_tlocal_strdup(big.c_str());
    EXPECT_EQ(strlen(s), 8191u);
    EXPECT_EQ(std::string(s), big.substr(0, 8191));
}

TEST(Scratch, StrdupOfScratchTextThatTheRingWrapsOver) {
    std::thread([] {
        char *first = vko_tlocal_strdup("keep this text");
        vko_tlocal(VKO_TLOCAL_SIZE - 20);
        // Does not fit in the 6 bytes left: wraps onto its own source.
        char *copy = vko_tlocal_strdup(first);
        EXPECT_EQ(copy, first);
        EXPECT_STREQ(copy, "keep this text");
    }).join();
}

TEST(Scratch, CallerBufferAndReturnToBuiltin) {
    std::thread([] {
        char *first = (char *)vko_tlocal(10);
        char *second = (char *)vko_tlocal(10);
        EXPECT_EQ(second, first + 10);

        char mine[16];
        vko_tlocal_set_buffer(mine, sizeof(mine));
        EXPECT_EQ((char *)vko_tlocal(10), mine);
        EXPECT_EQ((char *)vko_tlocal(10), mine);  // wraps within 16 bytes
        EXPECT_STREQ(vko_tlocal_strdup("0123456789abcdefXYZ"), "0123456789abcde");

        // The built-in ring resumes where it was.
        vko_tlocal_set_buffer(NULL, 0);
        EXPECT_EQ((char *)vko_tlocal(1), first + 20);

        // A new caller buffer starts at offset 0 again.
        vko_tlocal_set_buffer(mine, sizeof(mine));
        EXPECT_EQ((char *)vko_tlocal(4), mine);
        vko_tlocal_set_buffer(NULL, 0);
    }).join();
}

TEST(Scratch, RingsArePerThread) {
    char *mine = (char *)vko_tlocal(8);
    char *theirs = nullptr;
    std::thread([&] { theirs = (char *)vko_tlocal(8); }).join();
    EXPECT_NE(mine, theirs);
}

TEST_F(MemoryDeathTest, OverflowIsFatal) {
    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            vko_tlocal(VKO_TLOCAL_SIZE + 1);
        },
        ::testing::ExitedWithCode(1), "vko_tlocal: Thread local storage heap overflow");

    // Also with a small caller buffer in place.
    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            static char small[4];
            vko_tlocal_set_buffer(small, sizeof(small));
            vko_tlocal(5);
        },
        ::testing::ExitedWithCode(1), "vko_tlocal: Thread local storage heap overflow");

    // A UTF-16 scratch copy of 4,096 bytes asks for more than the ring.
    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            std::string big(4096, 'a');
            VKO_MultiToWideTLocal(big.c_str());
        },
        ::testing::ExitedWithCode(1), "Thread local storage heap overflow");
}

// Text encodings

static std::u16string iconv_to_utf16(const std::string &in, bool *ok) {
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    std::vector<char> out(in.size() * 4 + 4);
    char *ip = (char *)in.data();
    size_t il = in.size();
    char *op = out.data();
    size_t ol = out.size();
    *ok = iconv(cd, &ip, &il, &op, &ol) != (size_t)-1;
    iconv_close(cd);
    return std::u16string((char16_t *)out.data(), (out.size() - ol) / 2);
}

static std::string iconv_to_utf8(const std::u16string &in, bool *ok) {
    iconv_t cd = iconv_open("UTF-8", "UTF-16LE");
    std::vector<char> out(in.size() * 4 + 4);
    char *ip = (char *)in.data();
    size_t il = in.size() * 2;
    char *op = out.data();
    size_t ol = out.size();
    *ok = iconv(cd, &ip, &il, &op, &ol) != (size_t)-1;
    iconv_close(cd);
    return std::string(out.data(), out.size() - ol);
}

TEST(Utf, RoundTripAndSurrogates) {
    const char *text = "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80";
    char16_t wide[16];
    ASSERT_TRUE(VKO_MultiToWide(text, wide, 16));
    EXPECT_EQ(std::u16string(wide), u"h\u00E9llo \u20AC \U0001F600");

    char back[32];
    ASSERT_TRUE(VKO_WideToMulti(wide, back, 32));
    EXPECT_STREQ(back, text);

    char16_t *heap = VKO_MultiToWideAlloc(text);
    EXPECT_EQ(std::u16string(heap), std::u16string(wide));
    char *multi = VKO_WideToMultiAlloc(heap);
    EXPECT_STREQ(multi, text);
    VKO_Free(multi);
    VKO_Free(heap);

    char16_t *local = VKO_MultiToWideTLocal(text);
    EXPECT_EQ((uintptr_t)local % alignof(char16_t), 0u);
    EXPECT_EQ(std::u16string(local), std::u16string(wide));
    EXPECT_STREQ(VKO_WideToMultiTLocal(local), text);

    EXPECT_EQ(VKO_MultiToWideAlloc(NULL), nullptr);
    EXPECT_EQ(VKO_MultiToWideTLocal(NULL), nullptr);
    EXPECT_EQ(VKO_WideToMultiAlloc(NULL), nullptr);
    EXPECT_EQ(VKO_WideToMultiTLocal(NULL), nullptr);
}

TEST(Utf, ScratchUtf16IsAlignedAfterOddBlock) {
    std::thread([] {
        vko_tlocal(3);
        char16_t *w = VKO_MultiToWideTLocal("abc");
        EXPECT_EQ((uintptr_t)w % alignof(char16_t), 0u);
        EXPECT_EQ(std::u16string(w), u"abc");
    }).join();
}

TEST(Utf, ScratchConversionOfScratchText) {
    // Round trips through the ring, with the ring near its end so each new
    // block wraps onto the text it converts.
    std::thread([] {
        const char *text = "caf\xC3\xA9 \xE2\x82\xAC";
        for (size_t fill = 0; fill < 200; fill++) {
            char *copy = vko_tlocal_strdup(text);
            vko_tlocal(VKO_TLOCAL_SIZE - 40 - fill);
            char16_t *wide = VKO_MultiToWideTLocal(copy);
            ASSERT_EQ(std::u16string(wide), u"caf\u00E9 \u20AC") << fill;
            vko_tlocal(VKO_TLOCAL_SIZE - 60 - fill);
            ASSERT_STREQ(VKO_WideToMultiTLocal(wide), text) << fill;
        }
    }).join();
}

TEST(Utf, InvalidInputFallsBackWithoutLog) {
    LogCapture log;
    const char *bad[] = {
        "a\xFF"
        "b",
        "\xC0\xAF",
        "\xED\xA0\x80",
        "\xF4\x90\x80\x80",
        "ab\xE2\x82",
        "\x80"};
    for (const char *b : bad) {
        char16_t wide[16];
        EXPECT_FALSE(VKO_MultiToWide(b, wide, 16)) << b;
        // Each byte widened.
        size_t n = strlen(b);
        for (size_t i = 0; i < n; i++) EXPECT_EQ(wide[i], (char16_t)(unsigned char)b[i]);
        EXPECT_EQ(wide[n], 0);
    }

    const char16_t lone_hi[] = {u'x', 0xD800, u'y', 0};
    const char16_t lone_lo[] = {0xDC00, u'z', 0};
    char out[16];
    EXPECT_FALSE(VKO_WideToMulti(lone_hi, out, 16));
    EXPECT_STREQ(out, "x?y");
    EXPECT_FALSE(VKO_WideToMulti(lone_lo, out, 16));
    EXPECT_STREQ(out, "?z");

    EXPECT_TRUE(log.lines().empty());
}

TEST(Utf, SmallBufferLogsAndTruncates) {
    LogCapture log;
    char16_t wide[4];
    EXPECT_FALSE(VKO_MultiToWide("abcdef", wide, 4));
    EXPECT_EQ(std::u16string(wide), u"abc");
    EXPECT_TRUE(log.contains("VKO_MultiToWide: 'MultiByteToWideChar' failed with error 0x7"));

    // Exactly enough room for the text and its terminator.
    EXPECT_TRUE(VKO_MultiToWide("abc", wide, 4));

    char out[4];
    EXPECT_FALSE(VKO_WideToMulti(u"\u00E9\u00E9", out, 4));  // needs 5 bytes
    EXPECT_STREQ(out, "??");
    EXPECT_TRUE(log.contains("VKO_WideToMulti: 'WideCharToMultiByte' failed with error 0x7"));

    // A zero-length buffer is a failure, never success with nothing written.
    EXPECT_FALSE(VKO_MultiToWide("a", wide, 0));
    EXPECT_FALSE(VKO_WideToMulti(u"a", out, 0));
}

TEST(Utf, AgreesWithIconvOnRandomInput) {
    std::mt19937 rng(1234);
    const uint32_t pool[] = {0x41,   0x7F,    0x80,     0x7FF,  0x800, 0xFFFD,
                             0xFFFF, 0x10000, 0x10FFFF, 0xD7FF, 0xE000};

    for (int round = 0; round < 2000; round++) {
        // Valid text from code points, then maybe corrupt one byte.
        std::u16string w;
        for (int i = 0, n = rng() % 12; i < n; i++) {
            uint32_t c = (rng() % 3) ? pool[rng() % 11] : 1 + rng() % 0x10FFFF;
            if (c >= 0xD800 && c <= 0xDFFF) c = 0x20;
            if (c >= 0x10000) {
                w += (char16_t)(0xD800 + ((c - 0x10000) >> 10));
                w += (char16_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                w += (char16_t)c;
            }
        }
        if (round % 3 == 0 && !w.empty()) w[rng() % w.size()] = (char16_t)(0xD800 + rng() % 0x800);

        bool ok8 = false;
        std::string want8 = iconv_to_utf8(w, &ok8);
        std::vector<char> out(w.size() * 4 + 1);
        bool got8 = VKO_WideToMulti(w.c_str(), out.data(), (uint32_t)out.size());
        ASSERT_EQ(got8, ok8) << round;
        if (!ok8) continue;
        ASSERT_EQ(std::string(out.data()), want8);

        std::string s = want8;
        if (round % 2 == 0 && !s.empty()) s[rng() % s.size()] = (char)(0x80 + rng() % 0x7F);

        bool ok16 = false;
        std::u16string want16 = iconv_to_utf16(s, &ok16);
        std::vector<char16_t> wout(s.size() + 1);
        bool got16 = VKO_MultiToWide(s.c_str(), wout.data(), (uint32_t)wout.size());
        ASSERT_EQ(got16, ok16) << round;
        if (ok16) {
            ASSERT_EQ(std::u16string(wout.data()), want16);
        }
    }
}

// Bytes

TEST(Hex, OutLowerCaseAndTruncation) {
    LogCapture log;
    const uint8_t bytes[3] = {0xAB, 0x01, 0xFF};
    char text[7];
    VKO_BytesToHex(bytes, 3, text, 7);
    EXPECT_STREQ(text, "ab01ff");
    EXPECT_TRUE(log.lines().empty());

    VKO_BytesToHex(bytes, 3, text, 6);
    EXPECT_STREQ(text, "ab01");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"VKO_BytesToHex: 'hex' not large enough, truncated"});

    VKO_BytesToHex(bytes, 0, text, 7);
    EXPECT_STREQ(text, "");

    // No room at all: nothing is written.
    char guard = 'G';
    VKO_BytesToHex(bytes, 0, &guard, 0);
    VKO_BytesToHex(bytes, 3, &guard, 0);
    EXPECT_EQ(guard, 'G');

    VKO_BytesToHex(bytes, 3, text, 1);
    EXPECT_STREQ(text, "");
}

TEST(Hex, InRulesAndLogs) {
    LogCapture log;
    uint8_t bytes[4] = {0x55, 0x55, 0x55, 0x55};
    VKO_HexToBytes("0g", bytes, 4);
    EXPECT_EQ(bytes[0], 0x00);
    EXPECT_EQ(bytes[1], 0x55);
    EXPECT_TRUE(log.contains("VKO_HexToBytes: Invalid hex character 103"));

    log.clear();
    VKO_HexToBytes("aB\xE9", bytes, 4);
    EXPECT_EQ(bytes[0], 0xAB);
    EXPECT_TRUE(log.contains("VKO_HexToBytes: Invalid hex character -23"));

    VKO_HexToBytes("DEADBEEF", bytes, 4);
    EXPECT_EQ(bytes[0], 0xDE);
    EXPECT_EQ(bytes[3], 0xEF);

    // An odd digit count leaves the last digit as a high nibble.
    VKO_HexToBytes("123", bytes, 4);
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[1], 0x30);

    log.clear();
    uint8_t two[2] = {0, 0};
    VKO_HexToBytes("a1b2c3", two, 2);
    EXPECT_EQ(two[0], 0xA1);
    EXPECT_EQ(two[1], 0xB2);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"VKO_HexToBytes: 'bytes' not large enough, truncated"});
}

// Plain bit-at-a-time CRC-32 as the reference.
static uint32_t crc32_reference(const uint8_t *p, size_t n) {
    uint32_t c = 0xFFFFFFFF;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320 & (0 - (c & 1)));
    }
    return ~c;
}

TEST(CRC32, CheckValueContinuationAndReference) {
    EXPECT_EQ(VKO_CRC32(0, "123456789", 9), 0xCBF43926u);
    uint32_t part = VKO_CRC32(0, "1234", 4);
    EXPECT_EQ(VKO_CRC32(part, "56789", 5), 0xCBF43926u);
    EXPECT_EQ(VKO_CRC32(0, "", 0), 0u);

    std::mt19937 rng(99);
    std::vector<uint8_t> data(4096);
    for (auto &b : data) b = (uint8_t)rng();
    std::vector<size_t> lengths = {1000, 4096};
    for (size_t n = 0; n <= 70; n++) lengths.push_back(n);
    for (size_t n : lengths) {
        size_t split = n / 3;
        uint32_t c = VKO_CRC32(VKO_CRC32(0, data.data(), split), data.data() + split, n - split);
        EXPECT_EQ(c, crc32_reference(data.data(), n)) << n;
        EXPECT_EQ(VKO_CRC32(0, data.data() + 1, n ? n - 1 : 0),
                  crc32_reference(data.data() + 1, n ? n - 1 : 0));
    }
}

TEST(DJB2, SignedBytes) {
    EXPECT_EQ(VKO_DJB2(""), 5381u);
    EXPECT_EQ(VKO_DJB2("a"), 5381u * 33u + 97u);
    EXPECT_EQ(VKO_DJB2("\xE9"), 5381u * 33u - 23u);
}

TEST(ByteOrder, NetworkOrder) {
    uint8_t b[4] = {0x12, 0x34, 0x56, 0x78};
    uint32_t v32;
    memcpy(&v32, b, 4);
    EXPECT_EQ(VKO_NetToHost32(v32), 0x12345678u);
    EXPECT_EQ(VKO_HostToNet32(0x12345678u), v32);
    uint16_t v16;
    memcpy(&v16, b, 2);
    EXPECT_EQ(VKO_NetToHost16(v16), 0x1234);
    EXPECT_EQ(VKO_HostToNet16(0x1234), v16);
    EXPECT_EQ(VKO_ByteSwap64(0x0102030405060708ull), 0x0807060504030201ull);
}
