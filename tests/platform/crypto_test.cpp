#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes unhex(const std::string &hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string tohex(const uint8_t *data, size_t size) {
    static const char *digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < size; i++) s += {digits[data[i] >> 4], digits[data[i] & 15]};
    return s;
}

// Raw algorithms give bytes, shown here as hex; hex algorithms give text
std::string hash(uint32_t algorithm, const std::string &input, const Bytes *key = nullptr) {
    char out[65] = {0};
    VKO_CryptoHash(algorithm, input.data(), input.size(), key ? key->data() : NULL, key ? key->size() : 0,
                   out, sizeof(out));
    if (algorithm == VKO_HASH_SHA1 || algorithm == VKO_HASH_SHA256)
        return tohex((uint8_t *)out, algorithm == VKO_HASH_SHA1 ? 20 : 32);
    return out;
}

}  // namespace

// FIPS 180 examples, RFC 2202 (HMAC-SHA1) and RFC 4231 (HMAC-SHA256) cases 2
// and 6, in raw and hex forms alike
TEST(CryptoHash, KnownAnswers) {
    const std::string two_block = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string what = "what do ya want for nothing?";
    const std::string big_key_text = "Test Using Larger Than Block-Size Key - Hash Key First";
    const Bytes jefe = {'J', 'e', 'f', 'e'}, k6_1(80, 0xaa), k6_256(131, 0xaa);
    const struct {
        uint32_t algorithm;
        std::string input;
        const Bytes *key;
        const char *digest;
    } cases[] = {
        {VKO_HASH_SHA1_HEX, "", nullptr, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {VKO_HASH_SHA1, two_block, nullptr, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {VKO_HASH_SHA256_HEX, "abc", nullptr,
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {VKO_HASH_SHA256, two_block, nullptr,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {VKO_HASH_SHA1_HEX, what, &jefe, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {VKO_HASH_SHA1, big_key_text, &k6_1, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {VKO_HASH_SHA256_HEX, what, &jefe,
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {VKO_HASH_SHA256, big_key_text, &k6_256,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const auto &c : cases) EXPECT_EQ(hash(c.algorithm, c.input, c.key), c.digest) << c.input;

    // A key pointer with size 0 is still an HMAC, not a plain digest
    uint8_t k = 0;
    char out[65] = {0};
    VKO_CryptoHash(VKO_HASH_SHA256_HEX, "", 0, &k, 0, out, sizeof(out));
    EXPECT_STREQ(out, "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(CryptoHash, OutputRulesAndFile) {
    LogCapture log;

    // Raw digest into a too small output: logged, nothing written
    uint8_t raw[20];
    memset(raw, 0x5a, sizeof(raw));
    VKO_CryptoHash(VKO_HASH_SHA1, "abc", 3, NULL, 0, raw, 19);
    EXPECT_TRUE(log.contains("crypto_hash: 'outputSize' must be at least 20"));
    EXPECT_TRUE(std::all_of(raw, raw + 20, [](uint8_t b) { return b == 0x5a; }));

    // Unknown algorithm numbers do nothing
    char keep[8] = "keep";
    VKO_CryptoHash(4, "abc", 3, NULL, 0, keep, sizeof(keep));
    EXPECT_STREQ(keep, "keep");

    char path[] = "/tmp/zarvek_crypto_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    char out[65] = {0};
    EXPECT_FALSE(VKO_CryptoHashFile(VKO_HASH_SHA256_HEX, path, NULL, 0, out, sizeof(out)));  // empty
    ASSERT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    EXPECT_TRUE(VKO_CryptoHashFile(VKO_HASH_SHA256_HEX, path, NULL, 0, out, sizeof(out)));
    EXPECT_STREQ(out, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    unlink(path);
    EXPECT_FALSE(VKO_CryptoHashFile(VKO_HASH_SHA256_HEX, path, NULL, 0, out, sizeof(out)));
}

TEST(CryptoRandom, BoundedIntegers) {
    LogCapture log;
    EXPECT_EQ(VKO_GetRandomUInt(5, 5), 5u);
    EXPECT_TRUE(log.contains("VKO_GetRandomUInt: 'minVal' can not be >= maxVal"));
    for (int i = 0; i < 100; i++) {
        EXPECT_EQ(VKO_GetRandomUInt(0, 1), 0u);
        uint32_t v = VKO_GetRandomUInt(0xFFFFFFF0u, 0xFFFFFFFFu);
        EXPECT_TRUE(v >= 0xFFFFFFF0u && v < 0xFFFFFFFFu);
    }
}

TEST(CryptoBase64, Rfc4648) {
    // The RFC's texts are the first 0 to 6 bytes of "foobar".
    const char *encoded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (size_t n = 0; n < 7; n++) {
        char out[9];
        EXPECT_TRUE(VKO_BytesToBase64("foobar", n, out, strlen(encoded[n]) + 1));
        EXPECT_STREQ(out, encoded[n]);
    }

    // One byte short of the text and its terminator: refused, logged, empty
    LogCapture log;
    char small[4] = "zzz";
    EXPECT_FALSE(VKO_BytesToBase64("abc", 3, small, sizeof(small)));
    EXPECT_STREQ(small, "");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("VKO_BytesToBase64: 'CryptBinaryToString' failed with error 0x", 0), 0u);

    // Long input stays on one line
    Bytes all(3000);
    for (size_t i = 0; i < all.size(); i++) all[i] = (uint8_t)i;
    std::vector<char> text(4001);
    EXPECT_TRUE(VKO_BytesToBase64(all.data(), all.size(), text.data(), text.size()));
    EXPECT_EQ(strlen(text.data()), 4000u);
}

// Published GCM test cases 1-3 (AES-128) and 13-15 (AES-256): 96-bit IV, no AAD
TEST(CryptoAESGCM, KnownAnswers) {
    const std::string z16(32, '0'), z32(64, '0'), z12(24, '0');
    const std::string k3 = "feffe9928665731c6d6a8f9467308308", iv3 = "cafebabefacedbaddecaf888";
    const std::string p3 =
        "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
        "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255";
    const std::string vectors[][5] = {
        {z16, z12, "", "", "58e2fccefa7e3061367f1d57a4e7455a"},
        {z16, z12, z16, "0388dace60b6a392f328c2b971b2fe78", "ab6e47d42cec13bdf53a67b21257bddf"},
        {k3, iv3, p3,
         "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
         "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985",
         "4d5c2af327cd64a62cf35abd2ba6fab4"},
        {z32, z12, "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
        {z32, z12, z16, "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
        {k3 + k3, iv3, p3,
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
         "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
         "b094dac5d93471bdec1a502270e3cc6c"},
    };

    for (auto &v : vectors) {
        Bytes key = unhex(v[0]), iv = unhex(v[1]), plain = unhex(v[2]);
        VKO_AESGCM *ctx = VKO_AESGCMCreate(key.data(), key.size());
        ASSERT_NE(ctx, nullptr);

        // Twice on one context: nothing carries over between messages
        for (int round = 0; round < 2; round++) {
            Bytes cipher(plain.size() + 1), back(plain.size() + 1);
            uint8_t tag[16];
            ASSERT_TRUE(VKO_AESGCMEncrypt(ctx, iv.data(), plain.data(), plain.size(), tag, cipher.data()));
            EXPECT_EQ(tohex(cipher.data(), plain.size()), v[3]);
            EXPECT_EQ(tohex(tag, 16), v[4]);
            ASSERT_TRUE(VKO_AESGCMDecrypt(ctx, iv.data(), cipher.data(), plain.size(), tag, back.data()));
            EXPECT_EQ(tohex(back.data(), plain.size()), v[2]);
        }
        // In pieces that end inside a block, one of them empty, the same answer;
        // and sealed in place over the plain text.
        for (size_t cut : {size_t(0), size_t(7), size_t(17), plain.size()}) {
            if (cut > plain.size()) continue;
            size_t mid = std::min(plain.size(), cut + 5);
            VKO_AESGCMPiece pieces[4] = {{plain.data(), cut},
                                         {nullptr, 0},
                                         {plain.data() + cut, mid - cut},
                                         {plain.data() + mid, plain.size() - mid}};
            Bytes cipher(plain.size() + 1);
            uint8_t tag[16];
            ASSERT_TRUE(VKO_AESGCMEncryptPieces(ctx, iv.data(), pieces, 4, tag, cipher.data()));
            EXPECT_EQ(tohex(cipher.data(), plain.size()), v[3]) << "cut " << cut;
            EXPECT_EQ(tohex(tag, 16), v[4]) << "cut " << cut;
            Bytes inplace = plain;
            inplace.push_back(0);
            VKO_AESGCMPiece whole{inplace.data(), plain.size()};
            ASSERT_TRUE(VKO_AESGCMEncryptPieces(ctx, iv.data(), &whole, 1, tag, inplace.data()));
            EXPECT_EQ(tohex(inplace.data(), plain.size()), v[3]);
            // Opened in two parts split at the cut, the same plain text.
            Bytes head(cut + 1), rest(plain.size() - cut + 1);
            ASSERT_TRUE(VKO_AESGCMDecryptHead(ctx, iv.data(), cipher.data(), cut, head.data()));
            ASSERT_TRUE(VKO_AESGCMDecryptRest(ctx, cipher.data() + cut, plain.size() - cut, tag, rest.data(),
                                              head.data(), cut));
            EXPECT_EQ(tohex(head.data(), cut) + tohex(rest.data(), plain.size() - cut), v[2])
                << "cut " << cut;
        }
        VKO_AESGCMPiece missing{nullptr, 4};
        uint8_t tag[16], out[4];
        EXPECT_FALSE(VKO_AESGCMEncryptPieces(ctx, iv.data(), &missing, 1, tag, out));
        VKO_AESGCMDestroy(&ctx);
    }

    uint8_t key[32] = {0};
    EXPECT_EQ(VKO_AESGCMCreate(key, 24), nullptr);
}

// A tampered cipher text, tag or nonce is refused and leaves no plain text behind
TEST(CryptoAESGCM, TamperingIsRefused) {
    uint8_t key[32], nonce[12], tag[16];
    VKO_GetRandomBytes(key, sizeof(key));
    VKO_GetRandomBytes(nonce, sizeof(nonce));
    Bytes plain(1200);
    for (size_t i = 0; i < plain.size(); i++) plain[i] = (uint8_t)(i * 7 + 1);

    for (size_t keySize : {16, 32}) {
        VKO_AESGCM *ctx = VKO_AESGCMCreate(key, keySize);
        ASSERT_NE(ctx, nullptr);
        Bytes cipher(plain.size()), out(plain.size());
        ASSERT_TRUE(VKO_AESGCMEncrypt(ctx, nonce, plain.data(), plain.size(), tag, cipher.data()));

        auto refused = [&](size_t size) {
            std::fill(out.begin(), out.end(), 0xEE);
            bool ok = VKO_AESGCMDecrypt(ctx, nonce, cipher.data(), size, tag, out.data());
            return !ok && std::all_of(out.begin(), out.begin() + size, [](uint8_t b) { return b == 0; });
        };
        // Opened in two parts, a refusal zeroes both.
        auto refused_in_parts = [&](size_t cut) {
            Bytes head(cut, 0xEE), rest(cipher.size() - cut, 0xEE);
            bool ok = VKO_AESGCMDecryptHead(ctx, nonce, cipher.data(), cut, head.data()) &&
                      VKO_AESGCMDecryptRest(ctx, cipher.data() + cut, rest.size(), tag, rest.data(),
                                            head.data(), cut);
            auto zero = [](const Bytes &b) {
                return std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0; });
            };
            return !ok && zero(head) && zero(rest);
        };
        struct {
            uint8_t *buf;
            size_t bit;
        } flips[] = {{cipher.data(), 0}, {cipher.data(), 100}, {cipher.data(), 8 * 1199 + 7},
                     {tag, 0},           {tag, 127},           {nonce, 0},
                     {nonce, 95}};
        for (auto &f : flips) {
            f.buf[f.bit / 8] ^= (uint8_t)(1 << (f.bit % 8));
            EXPECT_TRUE(refused(cipher.size())) << "bit " << f.bit;
            EXPECT_TRUE(refused_in_parts(7)) << "bit " << f.bit;
            f.buf[f.bit / 8] ^= (uint8_t)(1 << (f.bit % 8));
        }
        EXPECT_TRUE(refused(cipher.size() - 1));

        // Still good afterwards, in place as a transport decrypts its buffer
        ASSERT_TRUE(VKO_AESGCMDecrypt(ctx, nonce, cipher.data(), cipher.size(), tag, cipher.data()));
        EXPECT_EQ(cipher, plain);
        VKO_AESGCMDestroy(&ctx);
    }
}
