#include "support/bud_wire.h"

#include <openssl/evp.h>

namespace {

bool from_hex(const std::string &hex, uint8_t *out, size_t n) {
    if (hex.size() < n * 2) return false;
    for (size_t i = 0; i < n; i++)
        out[i] = static_cast<uint8_t>(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
    return true;
}

void nonce_of(const WireKey &k, const uint8_t *counter_bytes, uint8_t nonce[12]) {
    for (int i = 0; i < 4; i++) nonce[i] = k.salt[i];
    for (int i = 0; i < 8; i++) nonce[4 + i] = counter_bytes[i];
}

}  // namespace

bool wire_key(const std::string &hex, bool aes256, WireKey *out) {
    out->aes256 = aes256;
    size_t kb = aes256 ? 32 : 16;
    uint8_t m[36];
    if (!from_hex(hex, m, kb + 4)) return false;
    for (size_t i = 0; i < kb; i++) out->key[i] = m[i];
    for (size_t i = 0; i < 4; i++) out->salt[i] = m[kb + i];
    return true;
}

bool wire_open(const WireKey &k, const uint8_t *rec, size_t len, WirePlain *out) {
    if (len < 29 || rec[0] != 0x17 || rec[1] != 0xFE || rec[2] != 0xFD) return false;
    size_t n = len - 29;
    uint8_t nonce[12];
    nonce_of(k, rec + 3, nonce);
    out->counter = 0;
    for (int i = 0; i < 8; i++) out->counter = out->counter << 8 | rec[3 + i];
    out->plain.assign(n, 0);
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    int l = 0;
    bool ok =
        EVP_DecryptInit_ex(c, k.aes256 ? EVP_aes_256_gcm() : EVP_aes_128_gcm(), nullptr, k.key, nonce) == 1 &&
        (n == 0 || EVP_DecryptUpdate(c, out->plain.data(), &l, rec + 29, static_cast<int>(n)) == 1) &&
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, 16, const_cast<uint8_t *>(rec + 13)) == 1 &&
        EVP_DecryptFinal_ex(c, out->plain.data() + n, &l) == 1;
    EVP_CIPHER_CTX_free(c);
    if (!ok) return false;
    if (n >= 7) {
        out->type = out->plain[0];
        out->flags = out->plain[1];
        out->stream = out->plain[2];
        out->seq = static_cast<uint32_t>(out->plain[3]) << 24 | static_cast<uint32_t>(out->plain[4]) << 16 |
                   static_cast<uint32_t>(out->plain[5]) << 8 | out->plain[6];
    }
    return true;
}

std::vector<uint8_t> wire_seal(const WireKey &k, uint64_t counter, const uint8_t *plain, size_t len) {
    std::vector<uint8_t> rec(29 + len);
    rec[0] = 0x17;
    rec[1] = 0xFE;
    rec[2] = 0xFD;
    for (int i = 7; i >= 0; i--, counter >>= 8) rec[3 + i] = static_cast<uint8_t>(counter);
    rec[11] = static_cast<uint8_t>((len + 45) >> 8);
    rec[12] = static_cast<uint8_t>(len + 45);
    uint8_t nonce[12];
    nonce_of(k, rec.data() + 3, nonce);
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    int l = 0;
    EVP_EncryptInit_ex(c, k.aes256 ? EVP_aes_256_gcm() : EVP_aes_128_gcm(), nullptr, k.key, nonce);
    if (len) EVP_EncryptUpdate(c, rec.data() + 29, &l, plain, static_cast<int>(len));
    EVP_EncryptFinal_ex(c, rec.data() + 29 + len, &l);
    EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, rec.data() + 13);
    EVP_CIPHER_CTX_free(c);
    return rec;
}

std::string wire_test_key256() {
    std::string s;
    const char *hex = "0123456789abcdef";
    for (int i = 0; i < 254; i++) s += hex[(i * 7 + 3) % 16];
    return s;
}

std::string wire_test_key128() {
    std::string s;
    const char *hex = "fedcba9876543210";
    for (int i = 0; i < 64; i++) s += hex[(i * 5 + 1) % 16];
    return s;
}
