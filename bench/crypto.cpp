// AES-GCM seal and open of 1200-byte records: the library's wrapper beside a
// bare OpenSSL EVP loop (one reused context, only the nonce set per record).
// The ratio lines at the end compare each Wrapper/Bare pair.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include <openssl/evp.h>

#include "peer.h"
#include "platform/crypto.h"

namespace {

constexpr size_t RECORD = 1200;

void next_nonce(uint8_t nonce[12], uint64_t counter) {
    // 4-byte salt then the 8-byte counter, as the transport builds it
    memcpy(nonce + 4, &counter, 8);
}

struct Material {
    uint8_t key[32];
    uint8_t nonce[12] = {1, 2, 3, 4};
    std::vector<uint8_t> plain = std::vector<uint8_t>(RECORD, 0x42);
    std::vector<uint8_t> cipher = std::vector<uint8_t>(RECORD);
    uint8_t tag[16];

    Material() { memset(key, 7, sizeof(key)); }

    // The last sealed record must open to the plain text again.
    bool sealed_well(size_t key_size) const {
        VKO_AESGCM *ctx = VKO_AESGCMCreate(key, key_size);
        std::vector<uint8_t> out(RECORD);
        bool ok = VKO_AESGCMDecrypt(ctx, nonce, cipher.data(), RECORD, tag, out.data()) && out == plain;
        VKO_AESGCMDestroy(&ctx);
        return ok;
    }
};

void BM_SealWrapper(benchmark::State &state) {
    Material m;
    VKO_AESGCM *ctx = VKO_AESGCMCreate(m.key, state.range(0));
    uint64_t n = 0;

    for (auto _ : state) {
        next_nonce(m.nonce, ++n);
        if (!VKO_AESGCMEncrypt(ctx, m.nonce, m.plain.data(), RECORD, m.tag, m.cipher.data()))
            state.SkipWithError("encrypt failed");
        benchmark::DoNotOptimize(m.cipher.data());
    }
    if (!m.sealed_well(state.range(0))) state.SkipWithError("sealed record does not open");

    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * RECORD);
    VKO_AESGCMDestroy(&ctx);
}

void BM_SealBare(benchmark::State &state) {
    Material m;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, state.range(0) == 16 ? EVP_aes_128_gcm() : EVP_aes_256_gcm(), NULL, m.key, NULL);
    uint64_t n = 0;
    int len = 0;

    for (auto _ : state) {
        next_nonce(m.nonce, ++n);
        EVP_EncryptInit_ex(ctx, NULL, NULL, NULL, m.nonce);
        EVP_EncryptUpdate(ctx, m.cipher.data(), &len, m.plain.data(), RECORD);
        EVP_EncryptFinal_ex(ctx, m.cipher.data() + len, &len);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, m.tag);
        benchmark::DoNotOptimize(m.cipher.data());
    }
    if (!m.sealed_well(state.range(0))) state.SkipWithError("sealed record does not open");

    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * RECORD);
    EVP_CIPHER_CTX_free(ctx);
}

void BM_OpenWrapper(benchmark::State &state) {
    Material m;
    VKO_AESGCM *ctx = VKO_AESGCMCreate(m.key, state.range(0));
    VKO_AESGCMEncrypt(ctx, m.nonce, m.plain.data(), RECORD, m.tag, m.cipher.data());
    std::vector<uint8_t> out(RECORD);

    for (auto _ : state) {
        if (!VKO_AESGCMDecrypt(ctx, m.nonce, m.cipher.data(), RECORD, m.tag, out.data()))
            state.SkipWithError("decrypt failed");
        benchmark::DoNotOptimize(out.data());
    }
    if (out != m.plain) state.SkipWithError("opened text differs");

    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * RECORD);
    VKO_AESGCMDestroy(&ctx);
}

void BM_OpenBare(benchmark::State &state) {
    Material m;
    VKO_AESGCM *seal = VKO_AESGCMCreate(m.key, state.range(0));
    VKO_AESGCMEncrypt(seal, m.nonce, m.plain.data(), RECORD, m.tag, m.cipher.data());
    VKO_AESGCMDestroy(&seal);

    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(ctx, state.range(0) == 16 ? EVP_aes_128_gcm() : EVP_aes_256_gcm(), NULL, m.key, NULL);
    std::vector<uint8_t> out(RECORD);
    int len = 0;

    for (auto _ : state) {
        EVP_DecryptInit_ex(ctx, NULL, NULL, NULL, m.nonce);
        EVP_DecryptUpdate(ctx, out.data(), &len, m.cipher.data(), RECORD);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, m.tag);
        if (EVP_DecryptFinal_ex(ctx, out.data() + len, &len) != 1) state.SkipWithError("decrypt failed");
        benchmark::DoNotOptimize(out.data());
    }
    if (out != m.plain) state.SkipWithError("opened text differs");

    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * RECORD);
    EVP_CIPHER_CTX_free(ctx);
}

}  // namespace

BENCHMARK(BM_SealWrapper)->Arg(16)->Arg(32);
BENCHMARK(BM_SealBare)->Arg(16)->Arg(32);
BENCHMARK(BM_OpenWrapper)->Arg(16)->Arg(32);
BENCHMARK(BM_OpenBare)->Arg(16)->Arg(32);

int main(int argc, char **argv) {
    const char *names = "VKO_AESGCM / bare OpenSSL EVP";
    return bench::run_pairs(argc, argv,
                            {{"seal 1200 B, AES-128-GCM", "BM_SealWrapper/16", "BM_SealBare/16", names},
                             {"seal 1200 B, AES-256-GCM", "BM_SealWrapper/32", "BM_SealBare/32", names},
                             {"open 1200 B, AES-128-GCM", "BM_OpenWrapper/16", "BM_OpenBare/16", names},
                             {"open 1200 B, AES-256-GCM", "BM_OpenWrapper/32", "BM_OpenBare/32", names}});
}
