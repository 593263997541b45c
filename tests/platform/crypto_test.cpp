#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace {

std::vector<uint8_t> unhex(const std::string &hex)
{
	std::vector<uint8_t> out;
	for (size_t i = 0; i + 1 < hex.size(); i += 2)
		out.push_back((uint8_t) std::stoul(hex.substr(i, 2), nullptr, 16));
	return out;
}

std::string tohex(const void *data, size_t size)
{
	std::string s;
	char b[3];
	for (size_t i = 0; i < size; i++) {
		snprintf(b, sizeof(b), "%02x", ((const uint8_t *) data)[i]);
		s += b;
	}
	return s;
}

std::string hash_hex(uint32_t algorithm, const std::string &input, const std::vector<uint8_t> *key = nullptr)
{
	char out[65] = {0};
	VKO_CryptoHash(algorithm, input.data(), input.size(), key ? key->data() : NULL,
		key ? key->size() : 0, out, sizeof(out));
	return out;
}

std::string hash_raw(uint32_t algorithm, const std::string &input, const std::vector<uint8_t> *key = nullptr)
{
	uint8_t out[32] = {0};
	VKO_CryptoHash(algorithm, input.data(), input.size(), key ? key->data() : NULL,
		key ? key->size() : 0, out, sizeof(out));
	return tohex(out, algorithm == VKO_HASH_SHA1 ? 20 : 32);
}

std::string bytes(const std::vector<uint8_t> &v)
{
	return std::string(v.begin(), v.end());
}

} // namespace

// FIPS 180 examples, through both the raw and the hex forms
TEST(CryptoHash, ShaKnownAnswers)
{
	const std::string abc = "abc";
	const std::string two_block = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
	const std::string million(1000000, 'a');

	EXPECT_EQ(hash_hex(VKO_HASH_SHA1_HEX, ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
	EXPECT_EQ(hash_hex(VKO_HASH_SHA1_HEX, abc), "a9993e364706816aba3e25717850c26c9cd0d89d");
	EXPECT_EQ(hash_hex(VKO_HASH_SHA1_HEX, two_block), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
	EXPECT_EQ(hash_raw(VKO_HASH_SHA1, million), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");

	EXPECT_EQ(hash_hex(VKO_HASH_SHA256_HEX, ""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
	EXPECT_EQ(hash_hex(VKO_HASH_SHA256_HEX, abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
	EXPECT_EQ(hash_raw(VKO_HASH_SHA256, two_block), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
	EXPECT_EQ(hash_raw(VKO_HASH_SHA256, million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

	EXPECT_EQ(hash_hex(VKO_HASH_SHA1_HEX, "").size(), 40u);
	EXPECT_EQ(hash_hex(VKO_HASH_SHA256_HEX, "").size(), 64u);
}

TEST(CryptoHash, HmacSha1Rfc2202)
{
	std::vector<uint8_t> k1(20, 0x0b), k2 = {'J', 'e', 'f', 'e'}, k3(20, 0xaa), k6(80, 0xaa);

	EXPECT_EQ(hash_raw(VKO_HASH_SHA1, "Hi There", &k1), "b617318655057264e28bc0b6fb378c8ef146be00");
	EXPECT_EQ(hash_raw(VKO_HASH_SHA1, "what do ya want for nothing?", &k2), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
	EXPECT_EQ(hash_hex(VKO_HASH_SHA1_HEX, bytes(std::vector<uint8_t>(50, 0xdd)), &k3),
		"125d7342b9ac11cd91a39af48aa17b4f63f175d3");
	EXPECT_EQ(hash_raw(VKO_HASH_SHA1, "Test Using Larger Than Block-Size Key - Hash Key First", &k6),
		"aa4ae5e15272d00e95705637ce8a3b55ed402112");
}

TEST(CryptoHash, HmacSha256Rfc4231)
{
	std::vector<uint8_t> k1(20, 0x0b), k2 = {'J', 'e', 'f', 'e'}, k3(20, 0xaa), k6(131, 0xaa);

	EXPECT_EQ(hash_raw(VKO_HASH_SHA256, "Hi There", &k1),
		"b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
	EXPECT_EQ(hash_hex(VKO_HASH_SHA256_HEX, "what do ya want for nothing?", &k2),
		"5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
	EXPECT_EQ(hash_raw(VKO_HASH_SHA256, bytes(std::vector<uint8_t>(50, 0xdd)), &k3),
		"773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
	EXPECT_EQ(hash_raw(VKO_HASH_SHA256, "Test Using Larger Than Block-Size Key - Hash Key First", &k6),
		"60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");

	// A key pointer with size 0 is still an HMAC, not a plain digest
	std::vector<uint8_t> empty;
	char out[65] = {0};
	uint8_t k = 0;
	VKO_CryptoHash(VKO_HASH_SHA256_HEX, "", 0, &k, 0, out, sizeof(out));
	EXPECT_STREQ(out, "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(CryptoHash, OutputSizeRules)
{
	LogCapture log;

	// Raw digest into a too small output: logged, nothing written
	uint8_t out[20];
	memset(out, 0x5a, sizeof(out));
	VKO_CryptoHash(VKO_HASH_SHA1, "abc", 3, NULL, 0, out, 19);
	EXPECT_TRUE(log.contains("crypto_hash: 'outputSize' must be at least 20"));
	for (uint8_t b : out)
		EXPECT_EQ(b, 0x5a);

	uint8_t out32[32];
	memset(out32, 0x5a, sizeof(out32));
	VKO_CryptoHash(VKO_HASH_SHA256, "abc", 3, NULL, 0, out32, 31);
	EXPECT_TRUE(log.contains("crypto_hash: 'outputSize' must be at least 32"));
	for (uint8_t b : out32)
		EXPECT_EQ(b, 0x5a);

	// Hex forms go through an internal buffer: a short text output is cut, not refused
	char hex[11];
	VKO_CryptoHash(VKO_HASH_SHA1_HEX, "abc", 3, NULL, 0, hex, sizeof(hex));
	EXPECT_STREQ(hex, "a9993e3647");
	EXPECT_TRUE(log.contains("VKO_BytesToHex: 'hex' not large enough, truncated"));

	// Unknown algorithm numbers do nothing
	size_t before = log.lines().size();
	char untouched[8] = "keep";
	VKO_CryptoHash(4, "abc", 3, NULL, 0, untouched, sizeof(untouched));
	VKO_CryptoHash(99, "abc", 3, NULL, 0, untouched, sizeof(untouched));
	EXPECT_STREQ(untouched, "keep");
	EXPECT_EQ(log.lines().size(), before);
}

TEST(CryptoRandom, BytesAndBoundedIntegers)
{
	LogCapture log;

	uint8_t a[64] = {0}, b[64] = {0}, zero[64] = {0};
	VKO_GetRandomBytes(a, sizeof(a));
	VKO_GetRandomBytes(b, sizeof(b));
	EXPECT_NE(memcmp(a, zero, sizeof(a)), 0);
	EXPECT_NE(memcmp(a, b, sizeof(a)), 0);
	VKO_GetRandomBytes(NULL, 0);

	EXPECT_EQ(VKO_GetRandomUInt(5, 5), 5u);
	EXPECT_TRUE(log.contains("VKO_GetRandomUInt: 'minVal' can not be >= maxVal"));
	EXPECT_EQ(VKO_GetRandomUInt(9, 3), 9u);

	for (int i = 0; i < 200; i++)
		EXPECT_EQ(VKO_GetRandomUInt(0, 1), 0u);

	bool seen[10] = {false};
	for (int i = 0; i < 2000; i++) {
		uint32_t v = VKO_GetRandomUInt(10, 20);
		ASSERT_GE(v, 10u);
		ASSERT_LT(v, 20u);
		seen[v - 10] = true;
	}
	for (bool s : seen)
		EXPECT_TRUE(s);

	uint32_t top = VKO_GetRandomUInt(0xFFFFFFF0u, 0xFFFFFFFFu);
	EXPECT_GE(top, 0xFFFFFFF0u);
	EXPECT_LT(top, 0xFFFFFFFFu);
}

TEST(CryptoBase64, Rfc4648AndBufferRules)
{
	const char *vectors[][2] = {
		{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
		{"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
	};
	for (auto &v : vectors) {
		char out[16];
		memset(out, 'x', sizeof(out));
		EXPECT_TRUE(VKO_BytesToBase64(v[0], strlen(v[0]), out, sizeof(out)));
		EXPECT_STREQ(out, v[1]);
	}

	// Exactly the needed size works; one less is refused and logged
	LogCapture log;
	char exact[5];
	EXPECT_TRUE(VKO_BytesToBase64("abc", 3, exact, sizeof(exact)));
	EXPECT_STREQ(exact, "YWJj");
	char small[4] = "zzz";
	EXPECT_FALSE(VKO_BytesToBase64("abc", 3, small, sizeof(small)));
	EXPECT_STREQ(small, "");
	EXPECT_EQ(log.lines().size(), 1u);
	EXPECT_EQ(log.lines()[0].rfind("VKO_BytesToBase64: 'CryptBinaryToString' failed with error 0x", 0), 0u);

	// Long input: one line, all bytes 0..255 survive the alphabet
	std::vector<uint8_t> all(3000);
	for (size_t i = 0; i < all.size(); i++)
		all[i] = (uint8_t) i;
	std::vector<char> text(4001);
	EXPECT_TRUE(VKO_BytesToBase64(all.data(), all.size(), text.data(), text.size()));
	EXPECT_EQ(strlen(text.data()), 4000u);
	EXPECT_EQ(strchr(text.data(), '\n'), nullptr);
	EXPECT_EQ(std::string(text.data(), 8), "AAECAwQF");
}

namespace {

struct GcmVector {
	const char *key, *iv, *plain, *cipher, *tag;
};

// Published GCM test cases (96-bit IV, no additional data)
const GcmVector GCM_VECTORS[] = {
	// AES-128: test cases 1, 2, 3
	{"00000000000000000000000000000000", "000000000000000000000000", "", "",
		"58e2fccefa7e3061367f1d57a4e7455a"},
	{"00000000000000000000000000000000", "000000000000000000000000",
		"00000000000000000000000000000000", "0388dace60b6a392f328c2b971b2fe78",
		"ab6e47d42cec13bdf53a67b21257bddf"},
	{"feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
		"d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
		"1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
		"42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
		"21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985",
		"4d5c2af327cd64a62cf35abd2ba6fab4"},
	// AES-256: test cases 13, 14, 15
	{"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
		"", "", "530f8afbc74536b9a963b4f1c4cb738b"},
	{"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
		"00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18",
		"d0d1c8a799996bf0265b98b5d48ab919"},
	{"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
		"d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
		"1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
		"522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
		"8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
		"b094dac5d93471bdec1a502270e3cc6c"},
};

} // namespace

TEST(CryptoAESGCM, KnownAnswers)
{
	for (auto &v : GCM_VECTORS) {
		auto key = unhex(v.key), iv = unhex(v.iv), plain = unhex(v.plain);
		VKO_AESGCM *ctx = VKO_AESGCMCreate(key.data(), key.size());
		ASSERT_NE(ctx, nullptr);

		// Twice on one context: no state carries over between messages
		for (int round = 0; round < 2; round++) {
			std::vector<uint8_t> cipher(plain.size() + 1), back(plain.size() + 1);
			uint8_t tag[16];
			ASSERT_TRUE(VKO_AESGCMEncrypt(ctx, iv.data(), plain.data(), plain.size(), tag, cipher.data()));
			EXPECT_EQ(tohex(cipher.data(), plain.size()), v.cipher);
			EXPECT_EQ(tohex(tag, 16), v.tag);

			ASSERT_TRUE(VKO_AESGCMDecrypt(ctx, iv.data(), cipher.data(), plain.size(), tag, back.data()));
			EXPECT_EQ(tohex(back.data(), plain.size()), v.plain);
		}

		VKO_AESGCMDestroy(&ctx);
		EXPECT_EQ(ctx, nullptr);
	}
	VKO_AESGCMDestroy(NULL);
}

TEST(CryptoAESGCM, KeySizes)
{
	LogCapture log;
	uint8_t key[33] = {0};

	for (size_t size : {0, 1, 15, 17, 24, 31, 33})
		EXPECT_EQ(VKO_AESGCMCreate(key, size), nullptr) << size;
	EXPECT_EQ(log.lines().size(), 0u);

	for (size_t size : {16, 32}) {
		VKO_AESGCM *ctx = VKO_AESGCMCreate(key, size);
		EXPECT_NE(ctx, nullptr);
		VKO_AESGCMDestroy(&ctx);
	}
}

TEST(CryptoAESGCM, TamperingIsRefused)
{
	LogCapture log;

	uint8_t key[32], nonce[12];
	VKO_GetRandomBytes(key, sizeof(key));
	VKO_GetRandomBytes(nonce, sizeof(nonce));

	std::vector<uint8_t> plain(1200);
	for (size_t i = 0; i < plain.size(); i++)
		plain[i] = (uint8_t) (i * 7 + 1);

	for (size_t keySize : {16, 32}) {
		VKO_AESGCM *ctx = VKO_AESGCMCreate(key, keySize);
		ASSERT_NE(ctx, nullptr);

		std::vector<uint8_t> cipher(plain.size()), out(plain.size());
		uint8_t tag[16];
		ASSERT_TRUE(VKO_AESGCMEncrypt(ctx, nonce, plain.data(), plain.size(), tag, cipher.data()));
		EXPECT_NE(cipher, plain);

		auto refused = [&](const uint8_t *n, const std::vector<uint8_t> &c, const uint8_t *t) {
			std::fill(out.begin(), out.end(), 0xEE);
			bool ok = VKO_AESGCMDecrypt(ctx, n, c.data(), c.size(), t, out.data());
			// Nothing of the plain text may be left in the output
			bool wiped = std::all_of(out.begin(), out.begin() + c.size(), [](uint8_t b) { return b == 0; });
			return !ok && wiped;
		};

		for (size_t bit : {0, 7, 100, 8 * 1199 + 7}) {
			auto c = cipher;
			c[bit / 8] ^= (uint8_t) (1 << (bit % 8));
			EXPECT_TRUE(refused(nonce, c, tag)) << "cipher bit " << bit;
		}

		for (size_t bit : {0, 64, 127}) {
			uint8_t t[16];
			memcpy(t, tag, 16);
			t[bit / 8] ^= (uint8_t) (1 << (bit % 8));
			EXPECT_TRUE(refused(nonce, cipher, t)) << "tag bit " << bit;
		}

		for (size_t bit : {0, 50, 95}) {
			uint8_t n[12];
			memcpy(n, nonce, 12);
			n[bit / 8] ^= (uint8_t) (1 << (bit % 8));
			EXPECT_TRUE(refused(n, cipher, tag)) << "nonce bit " << bit;
		}

		// Truncated cipher text fails too
		auto shorter = cipher;
		shorter.pop_back();
		EXPECT_TRUE(refused(nonce, shorter, tag));

		// The context still works after failures
		ASSERT_TRUE(VKO_AESGCMDecrypt(ctx, nonce, cipher.data(), cipher.size(), tag, out.data()));
		EXPECT_EQ(out, plain);

		// In place, as a transport decrypting its receive buffer would
		auto buf = cipher;
		ASSERT_TRUE(VKO_AESGCMDecrypt(ctx, nonce, buf.data(), buf.size(), tag, buf.data()));
		EXPECT_EQ(buf, plain);

		VKO_AESGCMDestroy(&ctx);
	}

	// Failures are not logged
	EXPECT_EQ(log.lines().size(), 0u);

	EXPECT_FALSE(VKO_AESGCMEncrypt(NULL, nonce, plain.data(), plain.size(), nonce, plain.data()));
}
