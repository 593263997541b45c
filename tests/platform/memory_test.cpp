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

// Runs f on a fresh thread, whose scratch ring starts at offset 0.
template <typename F>
void on_fresh_thread(F f) {
    std::thread(f).join();
}
}  // namespace

TEST(Alloc, ZeroSizesAndRealloc) {
    // A zero size is not a failure; a zero count in Realloc frees.
    void *z = VKO_Alloc(0, 8);
    EXPECT_NE(z, nullptr);
    VKO_Free(z);
    char *r = (char *)VKO_Realloc(NULL, 4, 1);
    memcpy(r, "abc", 4);
    r = (char *)VKO_Realloc(r, 1000, 2);
    EXPECT_STREQ(r, "abc");
    EXPECT_EQ(VKO_Realloc(r, 0, 4), nullptr);
}

TEST_F(MemoryDeathTest, AllocatorFailuresAreFatal) {
    EXPECT_FATAL(VKO_Alloc(SIZE_MAX / 2, 4), "VKO_Alloc: 'calloc' failed with errno 12");
    // count x size overflows: refused before reaching the allocator.
    EXPECT_FATAL(VKO_Realloc(NULL, SIZE_MAX / 2, 4), "VKO_Realloc: 'realloc' failed with errno 12");
    EXPECT_FATAL(VKO_Realloc(NULL, (size_t)1 << 62, 1), "VKO_Realloc: 'realloc' failed with errno [0-9]+");
}

// Formatting and strings

TEST(Format, HeapAndScratch) {
    // Longer than any first guess: measured, then formatted from a copied list.
    std::string big(20000, 'q');
    char *s = VKO_SprintfAlloc("<%s>%d", big.c_str(), 42);
    EXPECT_EQ(std::string(s), "<" + big + ">42");
    VKO_Free(s);

    EXPECT_STREQ(VKO_SprintfTLocal("%u/%s", 7u, "x"), "7/x");
    EXPECT_EQ(strlen(VKO_SprintfTLocal("%s", big.c_str())), 8191u);
}

TEST(Strings, StrcatAndCaseInsensitive) {
    char buf[8] = "abc";
    EXPECT_EQ(VKO_Strcat(buf, sizeof(buf), "def"), 0u);  // 3 + 1 + 3 = 7 <= 8
    EXPECT_EQ(VKO_Strcat(buf, sizeof(buf), "gh"), 9u);
    EXPECT_STREQ(buf, "abcdef");
    EXPECT_EQ(VKO_Strcat(buf, sizeof(buf), "g"), 0u);  // exactly 8
    EXPECT_STREQ(buf, "abcdefg");

    const char *h = "Hello World";
    EXPECT_EQ(VKO_Strcasestr(h, "lo WORLD"), h + 3);
    EXPECT_EQ(VKO_Strcasestr(h, "worlds"), nullptr);
    EXPECT_EQ(VKO_Strcasestr(h, ""), h);
    EXPECT_EQ(VKO_Strcasecmp("abc", "ABC"), 0);
    EXPECT_LT(VKO_Strcasecmp("abc", "ABD"), 0);
    EXPECT_GT(VKO_Strcasecmp("abcd", "ABC"), 0);
}

struct Rec {
    int key;
    int order;
};

TEST(Sort, StableLikeStdStableSort) {
    std::mt19937 rng(7);
    for (int round = 0; round < 10; round++) {
        std::vector<Rec> v(1 + rng() % 500);
        for (size_t i = 0; i < v.size(); i++) v[i] = {(int)(rng() % 8), (int)i};

        std::vector<Rec> want = v;
        std::stable_sort(want.begin(), want.end(), [](const Rec &a, const Rec &b) { return a.key < b.key; });
        VKO_Sort(v.data(), v.size(), sizeof(Rec),
                 [](const void *a, const void *b) { return ((const Rec *)a)->key - ((const Rec *)b)->key; });
        for (size_t i = 0; i < v.size(); i++) ASSERT_EQ(v[i].order, want[i].order);
    }
}

// Scratch ring

TEST(Scratch, RingRules) {
    on_fresh_thread([] {
        // Blocks follow without a gap; the second 5,000 bytes overwrite the first.
        char *a = (char *)vko_tlocal(3);
        EXPECT_EQ((char *)vko_tlocal(5), a + 3);
        char *first = (char *)vko_tlocal(5000);
        memset(first, 'a', 5000);
        char *second = (char *)vko_tlocal(5000);
        EXPECT_EQ(second, a);
        EXPECT_EQ(second[4999], 0);

        // The whole ring fits; exactly at the end, the next block wraps.
        char *all = (char *)vko_tlocal(VKO_TLOCAL_SIZE);
        EXPECT_EQ(all, a);
        memset(all, 1, VKO_TLOCAL_SIZE);
        char *c = (char *)vko_tlocal(1);
        EXPECT_EQ(c, a);
        EXPECT_EQ(c[0], 0);

        std::string big(10000, 'x');
        EXPECT_EQ(std::string(vko_tlocal_strdup(big.c_str())), big.substr(0, 8191));
    });
}

TEST(Scratch, StrdupOfScratchTextThatTheRingWrapsOver) {
    on_fresh_thread([] {
        char *first = vko_tlocal_strdup("keep this text");
        vko_tlocal(VKO_TLOCAL_SIZE - 20);
        // Does not fit in the 6 bytes left: wraps onto its own source.
        char *copy = vko_tlocal_strdup(first);
        EXPECT_EQ(copy, first);
        EXPECT_STREQ(copy, "keep this text");
    });
}

TEST(Scratch, CallerBufferAndReturnToBuiltin) {
    on_fresh_thread([] {
        char *first = (char *)vko_tlocal(20);

        char mine[16];
        vko_tlocal_set_buffer(mine, sizeof(mine));
        EXPECT_EQ((char *)vko_tlocal(10), mine);
        EXPECT_EQ((char *)vko_tlocal(10), mine);  // wraps within 16 bytes
        EXPECT_STREQ(vko_tlocal_strdup("0123456789abcdefXYZ"), "0123456789abcde");

        // The built-in ring resumes where it was; a new caller buffer starts at 0.
        vko_tlocal_set_buffer(NULL, 0);
        EXPECT_EQ((char *)vko_tlocal(1), first + 20);
        vko_tlocal_set_buffer(mine, sizeof(mine));
        EXPECT_EQ((char *)vko_tlocal(4), mine);
        vko_tlocal_set_buffer(NULL, 0);
    });
}

TEST_F(MemoryDeathTest, ScratchOverflowIsFatal) {
    EXPECT_FATAL(vko_tlocal(VKO_TLOCAL_SIZE + 1), "vko_tlocal: Thread local storage heap overflow");

    // Also with a small caller buffer in place.
    static char small[4];
    EXPECT_FATAL((vko_tlocal_set_buffer(small, sizeof(small)), vko_tlocal(5)),
                 "vko_tlocal: Thread local storage heap overflow");

    // A UTF-16 scratch copy of 4,096 bytes asks for 8,194.
    std::string big(4096, 'a');
    EXPECT_FATAL(VKO_MultiToWideTLocal(big.c_str()), "Thread local storage heap overflow");
}

// Text encodings

template <typename To, typename From>
static std::basic_string<To> iconv_convert(const char *to, const char *from,
                                           const std::basic_string<From> &in, bool *ok) {
    iconv_t cd = iconv_open(to, from);
    std::vector<char> out(in.size() * 4 + 4);
    char *ip = (char *)in.data();
    size_t il = in.size() * sizeof(From);
    char *op = out.data();
    size_t ol = out.size();
    *ok = iconv(cd, &ip, &il, &op, &ol) != (size_t)-1;
    iconv_close(cd);
    return std::basic_string<To>((const To *)out.data(), (out.size() - ol) / sizeof(To));
}

TEST(Utf, HeapAndAlignedScratchForms) {
    const char *text = "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80";
    char16_t *heap = VKO_MultiToWideAlloc(text);
    char *multi = VKO_WideToMultiAlloc(heap);
    EXPECT_EQ(std::u16string(heap), u"h\u00E9llo \u20AC \U0001F600");
    EXPECT_STREQ(multi, text);
    VKO_Free(multi);
    VKO_Free(heap);
    EXPECT_STREQ(VKO_WideToMultiTLocal(VKO_MultiToWideTLocal(text)), text);

    EXPECT_EQ(VKO_MultiToWideAlloc(NULL), nullptr);
    EXPECT_EQ(VKO_MultiToWideTLocal(NULL), nullptr);
    EXPECT_EQ(VKO_WideToMultiAlloc(NULL), nullptr);
    EXPECT_EQ(VKO_WideToMultiTLocal(NULL), nullptr);

    on_fresh_thread([] {
        vko_tlocal(3);
        char16_t *w = VKO_MultiToWideTLocal("abc");
        EXPECT_EQ((uintptr_t)w % alignof(char16_t), 0u);
        EXPECT_EQ(std::u16string(w), u"abc");

        // 4,095 bytes need exactly the 8,192-byte ring: no room for an
        // alignment byte, and none needed at offset 0.
        std::string most(4095, 'm');
        w = VKO_MultiToWideTLocal(most.c_str());
        EXPECT_EQ(std::u16string(w), std::u16string(4095, u'm'));
    });
}

TEST(Utf, ScratchConversionOfScratchText) {
    // Round trips through the ring, with the ring near its end so each new
    // block wraps onto the text it converts.
    on_fresh_thread([] {
        const char *text = "caf\xC3\xA9 \xE2\x82\xAC";
        for (size_t fill = 0; fill < 200; fill++) {
            char *copy = vko_tlocal_strdup(text);
            vko_tlocal(VKO_TLOCAL_SIZE - 40 - fill);
            char16_t *wide = VKO_MultiToWideTLocal(copy);
            ASSERT_EQ(std::u16string(wide), u"caf\u00E9 \u20AC") << fill;
            vko_tlocal(VKO_TLOCAL_SIZE - 60 - fill);
            ASSERT_STREQ(VKO_WideToMultiTLocal(wide), text) << fill;
        }
    });
}

TEST(Utf, SmallBufferLogsAndKeepsALossyCopy) {
    LogCapture log;
    char16_t wide[4];
    EXPECT_FALSE(VKO_MultiToWide("abcdef", wide, 4));
    EXPECT_EQ(std::u16string(wide), u"abc");
    EXPECT_TRUE(VKO_MultiToWide("abc", wide, 4));  // text and terminator just fit

    char out[4];
    EXPECT_FALSE(VKO_WideToMulti(u"\u00E9\u00E9", out, 4));  // needs 5 bytes
    EXPECT_STREQ(out, "??");
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"VKO_MultiToWide: 'MultiByteToWideChar' failed with error 0x7",
                                        "VKO_WideToMulti: 'WideCharToMultiByte' failed with error 0x7"}));

    // A zero-length buffer is a failure, never success with nothing written.
    EXPECT_FALSE(VKO_MultiToWide("a", wide, 0));
    EXPECT_FALSE(VKO_WideToMulti(u"a", out, 0));

    // The failure's log line takes scratch space and wraps onto the source.
    log.clear();
    on_fresh_thread([] {
        char *src = vko_tlocal_strdup("abcdefgh");
        vko_tlocal(VKO_TLOCAL_SIZE - 9 - 10);
        char16_t wide[4];
        EXPECT_FALSE(VKO_MultiToWide(src, wide, 4));
        EXPECT_EQ(std::u16string(wide), u"abc");
    });
    on_fresh_thread([] {
        char16_t *wsrc = VKO_MultiToWideTLocal("abcdefgh");
        vko_tlocal(VKO_TLOCAL_SIZE - 18 - 10);
        char out[4];
        EXPECT_FALSE(VKO_WideToMulti(wsrc, out, 4));
        EXPECT_STREQ(out, "abc");
    });
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST(Utf, AgreesWithIconvAndFallsBackQuietly) {
    // Invalid input gives false and a lossy copy (bytes widened; ASCII kept
    // and other units replaced), never a log line.
    LogCapture log;
    auto check16 = [](const std::string &s) {
        bool ok = false;
        std::u16string want = iconv_convert<char16_t>("UTF-16LE", "UTF-8", s, &ok);
        if (!ok) want.assign((const unsigned char *)s.data(), (const unsigned char *)s.data() + s.size());
        std::vector<char16_t> out(s.size() + 1);
        EXPECT_EQ(VKO_MultiToWide(s.c_str(), out.data(), (uint32_t)out.size()), ok) << s;
        EXPECT_EQ(std::u16string(out.data()), want);
    };
    auto check8 = [](const std::u16string &w) {
        bool ok = false;
        std::string want = iconv_convert<char>("UTF-8", "UTF-16LE", w, &ok);
        if (!ok) {
            want.clear();
            for (char16_t c : w) want += c < 0x80 ? (char)c : '?';
        }
        std::vector<char> out(w.size() * 4 + 1);
        EXPECT_EQ(VKO_WideToMulti(w.c_str(), out.data(), (uint32_t)out.size()), ok);
        EXPECT_EQ(std::string(out.data()), want);
        return ok ? want : std::string();
    };
    for (const char *b : {"a\xFF"
                          "b",
                          "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ab\xE2\x82", "\x80"})
        check16(b);
    check8(u"x\xD800y");
    check8(u"\xDC00z");

    std::mt19937 rng(1234);
    const uint32_t pool[] = {0x41,   0x7F,    0x80,     0x7FF,  0x800, 0xFFFD,
                             0xFFFF, 0x10000, 0x10FFFF, 0xD7FF, 0xE000};
    for (int round = 0; round < 2000; round++) {
        // Valid text from code points, then maybe one unit or byte corrupted.
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
        std::string s = check8(w);
        if (round % 2 == 0 && !s.empty()) s[rng() % s.size()] = (char)(0x80 + rng() % 0x7F);
        check16(s);
        if (HasFailure()) return;
    }
    EXPECT_TRUE(log.lines().empty());
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
    VKO_BytesToHex(bytes, 3, text, 1);
    EXPECT_STREQ(text, "");
    VKO_BytesToHex(bytes, 0, text, 7);
    EXPECT_STREQ(text, "");

    // No room at all: nothing is written.
    char guard = 'G';
    VKO_BytesToHex(bytes, 0, &guard, 0);
    VKO_BytesToHex(bytes, 3, &guard, 0);
    EXPECT_EQ(guard, 'G');
}

TEST(Hex, InRulesAndLogs) {
    LogCapture log;
    uint8_t bytes[4] = {0x55, 0x55, 0x55, 0x55};
    VKO_HexToBytes("0g", bytes, 4);
    EXPECT_EQ(bytes[0], 0x00);
    EXPECT_EQ(bytes[1], 0x55);
    VKO_HexToBytes("aB\xE9", bytes, 4);
    EXPECT_EQ(bytes[0], 0xAB);

    // An odd digit count leaves the last digit as a high nibble.
    VKO_HexToBytes("123", bytes, 4);
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[1], 0x30);

    uint8_t two[2] = {0, 0};
    VKO_HexToBytes("a1b2c3", two, 2);
    EXPECT_EQ(two[1], 0xB2);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"VKO_HexToBytes: Invalid hex character 103",
                                                     "VKO_HexToBytes: Invalid hex character -23",
                                                     "VKO_HexToBytes: 'bytes' not large enough, truncated"}));
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
    EXPECT_EQ(VKO_CRC32(VKO_CRC32(0, "1234", 4), "56789", 5), 0xCBF43926u);

    // Every length around the 8-byte fast path, split and unaligned.
    std::mt19937 rng(99);
    std::vector<uint8_t> data(4096);
    for (auto &b : data) b = (uint8_t)rng();
    std::vector<size_t> lengths = {1000, 4095};
    for (size_t n = 0; n <= 70; n++) lengths.push_back(n);
    for (size_t n : lengths) {
        size_t split = n / 3;
        const uint8_t *p = data.data() + 1;
        EXPECT_EQ(VKO_CRC32(VKO_CRC32(0, p, split), p + split, n - split), crc32_reference(p, n)) << n;
    }
}

TEST(Bytes, DJB2TakesSignedBytes) {
    EXPECT_EQ(VKO_DJB2(""), 5381u);
    EXPECT_EQ(VKO_DJB2("a\xE9"), (5381u * 33u + 97u) * 33u - 23u);
}
