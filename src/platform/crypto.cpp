// Hashes, HMACs, random numbers, base64 and AES-GCM on OpenSSL 3. Log texts
// keep the names of the original system calls so logs read the same on every
// platform; the numbers are OpenSSL error codes.
#include "platform/crypto.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "platform/file.h"
#include "platform/log.h"
#include "platform/memory.h"

// Takes the oldest queued OpenSSL error and clears the rest, so a later call
// on this thread does not see stale errors.
static unsigned crypto_error(void) {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    return (unsigned)e;
}

// Hashes

// Fetched once: a fetch is a locked lookup in OpenSSL's method store
static EVP_MD *crypto_md(const char *name) {
    static EVP_MD *sha1 = EVP_MD_fetch(NULL, "SHA1", NULL);
    static EVP_MD *sha256 = EVP_MD_fetch(NULL, "SHA256", NULL);

    return strcmp(name, "SHA1") == 0 ? sha1 : sha256;
}

static EVP_MAC *crypto_hmac(void) {
    static EVP_MAC *hmac = EVP_MAC_fetch(NULL, "HMAC", NULL);

    return hmac;
}

static bool crypto_hash_digest(const char *name, const void *input, size_t inputSize, uint8_t *output,
                               size_t outputSize) {
    bool r = false;
    EVP_MD_CTX *ctx = NULL;
    int len = 0;
    unsigned int written = 0;

    EVP_MD *md = crypto_md(name);
    if (!md) {
        VKO_Log("crypto_hash", "'BCryptOpenAlgorithmProvider' failed with error 0x%X", crypto_error());
        goto except;
    }

    ctx = EVP_MD_CTX_new();
    if (!ctx || EVP_DigestInit_ex(ctx, md, NULL) != 1) {
        VKO_Log("crypto_hash", "'BCryptCreateHash' failed with error 0x%X", crypto_error());
        goto except;
    }

    if (EVP_DigestUpdate(ctx, input, inputSize) != 1) {
        VKO_Log("crypto_hash", "'BCryptHashData' failed with error 0x%X", crypto_error());
        goto except;
    }

    len = EVP_MD_get_size(md);
    if (len <= 0) {
        VKO_Log("crypto_hash", "'BCryptGetProperty' failed with error 0x%X", crypto_error());
        goto except;
    }

    if ((size_t)len > outputSize) {
        VKO_Log("crypto_hash", "'outputSize' must be at least %u", (unsigned)len);
        goto except;
    }

    if (EVP_DigestFinal_ex(ctx, output, &written) != 1) {
        VKO_Log("crypto_hash", "'BCryptFinishHash' failed with error 0x%X", crypto_error());
        goto except;
    }

    r = true;

except:

    EVP_MD_CTX_free(ctx);

    return r;
}

static bool crypto_hash_hmac(const char *name, const void *input, size_t inputSize, const void *key,
                             size_t keySize, uint8_t *output, size_t outputSize) {
    bool r = false;
    EVP_MAC_CTX *ctx = NULL;
    size_t len = 0;
    size_t written = 0;
    OSSL_PARAM params[2] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, (char *)name, 0),
        OSSL_PARAM_construct_end(),
    };

    // A zero-length key still means HMAC; OpenSSL wants a pointer either way
    static const uint8_t EMPTY_KEY[1] = {0};
    if (keySize == 0) key = EMPTY_KEY;

    EVP_MAC *mac = crypto_hmac();
    if (!mac) {
        VKO_Log("crypto_hash", "'BCryptOpenAlgorithmProvider' failed with error 0x%X", crypto_error());
        goto except;
    }

    ctx = EVP_MAC_CTX_new(mac);
    if (!ctx || EVP_MAC_init(ctx, (const unsigned char *)key, keySize, params) != 1) {
        VKO_Log("crypto_hash", "'BCryptCreateHash' failed with error 0x%X", crypto_error());
        goto except;
    }

    if (EVP_MAC_update(ctx, (const unsigned char *)input, inputSize) != 1) {
        VKO_Log("crypto_hash", "'BCryptHashData' failed with error 0x%X", crypto_error());
        goto except;
    }

    len = EVP_MAC_CTX_get_mac_size(ctx);
    if (len == 0) {
        VKO_Log("crypto_hash", "'BCryptGetProperty' failed with error 0x%X", crypto_error());
        goto except;
    }

    if (len > outputSize) {
        VKO_Log("crypto_hash", "'outputSize' must be at least %u", (unsigned)len);
        goto except;
    }

    if (EVP_MAC_final(ctx, output, &written, outputSize) != 1) {
        VKO_Log("crypto_hash", "'BCryptFinishHash' failed with error 0x%X", crypto_error());
        goto except;
    }

    r = true;

except:

    EVP_MAC_CTX_free(ctx);

    return r;
}

static bool crypto_hash(const char *name, const void *input, size_t inputSize, const void *key,
                        size_t keySize, uint8_t *output, size_t outputSize) {
    static const uint8_t EMPTY_INPUT[1] = {0};
    if (!input) inputSize = 0;
    if (inputSize == 0) input = EMPTY_INPUT;

    return key ? crypto_hash_hmac(name, input, inputSize, key, keySize, output, outputSize)
               : crypto_hash_digest(name, input, inputSize, output, outputSize);
}

void VKO_CryptoHash(uint32_t algorithm, const void *input, size_t inputSize, const void *key, size_t keySize,
                    void *output, size_t outputSize) {
    uint8_t digest[32];

    switch (algorithm) {
        case VKO_HASH_SHA1:
            crypto_hash("SHA1", input, inputSize, key, keySize, (uint8_t *)output, outputSize);
            break;
        case VKO_HASH_SHA1_HEX:
            if (crypto_hash("SHA1", input, inputSize, key, keySize, digest, sizeof(digest)))
                VKO_BytesToHex(digest, 20, (char *)output, outputSize);
            break;
        case VKO_HASH_SHA256:
            crypto_hash("SHA256", input, inputSize, key, keySize, (uint8_t *)output, outputSize);
            break;
        case VKO_HASH_SHA256_HEX:
            if (crypto_hash("SHA256", input, inputSize, key, keySize, digest, sizeof(digest)))
                VKO_BytesToHex(digest, 32, (char *)output, outputSize);
            break;
        default:
            break;
    }
}

bool VKO_CryptoHashFile(uint32_t algorithm, const char *path, const void *key, size_t keySize, void *output,
                        size_t outputSize) {
    size_t size = 0;
    void *data = VKO_ReadFile(path, &size);
    if (!data) return false;

    VKO_CryptoHash(algorithm, data, size, key, keySize, output, outputSize);
    VKO_Free(data);

    return true;
}

// Random

void VKO_GetRandomBytes(void *buffer, size_t size) {
    uint8_t *p = (uint8_t *)buffer;

    while (size > 0) {
        int chunk = size > INT_MAX ? INT_MAX : (int)size;

        if (RAND_bytes(p, chunk) != 1) {
            VKO_Log("VKO_GetRandomBytes", "'BCryptGenRandom' failed with error 0x%X", crypto_error());
            return;
        }

        p += chunk;
        size -= chunk;
    }
}

uint32_t VKO_GetRandomUInt(uint32_t minVal, uint32_t maxVal) {
    if (minVal >= maxVal) {
        VKO_Log("VKO_GetRandomUInt", "'minVal' can not be >= maxVal");
        return minVal;
    }

    uint32_t r = 0;
    VKO_GetRandomBytes(&r, sizeof(r));

    return minVal + r % (maxVal - minVal);
}

// Base64

bool VKO_BytesToBase64(const void *bytes, size_t size, char *base64, size_t base64Size) {
    // Four characters for every started group of three bytes, plus the terminator
    size_t need = (size / 3 + (size % 3 ? 1 : 0)) * 4 + 1;

    if (!base64 || base64Size < need || size > (size_t)INT_MAX / 4 * 3 || (!bytes && size > 0)) {
        VKO_Log("VKO_BytesToBase64", "'CryptBinaryToString' failed with error 0x%X", ENOBUFS);
        if (base64 && base64Size > 0) base64[0] = '\0';
        return false;
    }

    if (size == 0) {
        base64[0] = '\0';
        return true;
    }

    EVP_EncodeBlock((unsigned char *)base64, (const unsigned char *)bytes, (int)size);

    return true;
}

// AES-GCM

struct VKO_AESGCM {
    EVP_CIPHER *cipher;
    EVP_CIPHER_CTX *enc;
    EVP_CIPHER_CTX *dec;
};

VKO_AESGCM *VKO_AESGCMCreate(const void *key, size_t keySize) {
    if (!key || (keySize != 16 && keySize != 32)) return NULL;

    VKO_AESGCM *ctx = (VKO_AESGCM *)VKO_Alloc(1, sizeof(VKO_AESGCM));

    ctx->cipher = EVP_CIPHER_fetch(NULL, keySize == 16 ? "AES-128-GCM" : "AES-256-GCM", NULL);
    if (!ctx->cipher) {
        VKO_Log("VKO_AESGCMCreate", "'BCryptOpenAlgorithmProvider' failed with error 0x%X", crypto_error());
        goto except;
    }

    // One context a direction, keyed once: a message then only sets its nonce
    ctx->enc = EVP_CIPHER_CTX_new();
    ctx->dec = EVP_CIPHER_CTX_new();
    if (!ctx->enc || !ctx->dec || EVP_EncryptInit_ex(ctx->enc, ctx->cipher, NULL, NULL, NULL) != 1 ||
        EVP_DecryptInit_ex(ctx->dec, ctx->cipher, NULL, NULL, NULL) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx->enc, EVP_CTRL_GCM_SET_IVLEN, VKO_AESGCM_NONCE_SIZE, NULL) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx->dec, EVP_CTRL_GCM_SET_IVLEN, VKO_AESGCM_NONCE_SIZE, NULL) != 1) {
        VKO_Log("VKO_AESGCMCreate", "'BCryptSetProperty' failed with error 0x%X", crypto_error());
        goto except;
    }

    if (EVP_EncryptInit_ex(ctx->enc, NULL, NULL, (const unsigned char *)key, NULL) != 1 ||
        EVP_DecryptInit_ex(ctx->dec, NULL, NULL, (const unsigned char *)key, NULL) != 1) {
        VKO_Log("VKO_AESGCMCreate", "'BCryptGenerateSymmetricKey' failed with error 0x%X", crypto_error());
        goto except;
    }

    return ctx;

except:

    VKO_AESGCMDestroy(&ctx);

    return NULL;
}

bool VKO_AESGCMEncrypt(VKO_AESGCM *ctx, const void *nonce, const void *plainText, size_t size, void *tag,
                       void *cipherText) {
    if (!ctx || !nonce || !tag || size > INT_MAX || (size > 0 && (!plainText || !cipherText))) return false;

    int len = 0;
    unsigned char *out = (unsigned char *)cipherText;

    if (EVP_EncryptInit_ex(ctx->enc, NULL, NULL, NULL, (const unsigned char *)nonce) != 1) goto except;

    if (size > 0 && EVP_EncryptUpdate(ctx->enc, out, &len, (const unsigned char *)plainText, (int)size) != 1)
        goto except;

    if (EVP_EncryptFinal_ex(ctx->enc, out + len, &len) != 1) goto except;

    if (EVP_CIPHER_CTX_ctrl(ctx->enc, EVP_CTRL_GCM_GET_TAG, VKO_AESGCM_TAG_SIZE, tag) != 1) goto except;

    return true;

except:

    ERR_clear_error();

    return false;
}

bool VKO_AESGCMEncryptPieces(VKO_AESGCM *ctx, const void *nonce, const VKO_AESGCMPiece *pieces, size_t count,
                             void *tag, void *cipherText) {
    if (!ctx || !nonce || !tag || (count > 0 && !pieces)) return false;
    size_t total = 0;
    for (size_t i = 0; i < count; i++) {
        if (pieces[i].size > INT_MAX - total || (pieces[i].size > 0 && (!pieces[i].data || !cipherText)))
            return false;
        total += pieces[i].size;
    }

    int len = 0;
    unsigned char *out = (unsigned char *)cipherText;

    if (EVP_EncryptInit_ex(ctx->enc, NULL, NULL, NULL, (const unsigned char *)nonce) != 1) goto except;

    // GCM is a stream mode: pieces of any length continue where the last ended
    for (size_t i = 0; i < count; i++) {
        if (pieces[i].size == 0) continue;
        if (EVP_EncryptUpdate(ctx->enc, out, &len, (const unsigned char *)pieces[i].data,
                              (int)pieces[i].size) != 1)
            goto except;
        out += len;
    }

    if (EVP_EncryptFinal_ex(ctx->enc, out, &len) != 1) goto except;

    if (EVP_CIPHER_CTX_ctrl(ctx->enc, EVP_CTRL_GCM_GET_TAG, VKO_AESGCM_TAG_SIZE, tag) != 1) goto except;

    return true;

except:

    ERR_clear_error();

    return false;
}

bool VKO_AESGCMDecrypt(VKO_AESGCM *ctx, const void *nonce, const void *cipherText, size_t size,
                       const void *tag, void *plainText) {
    if (!ctx || !nonce || !tag || size > INT_MAX || (size > 0 && (!cipherText || !plainText))) return false;

    // One part after an empty head; a refusal leaves zeros, never unchecked plain text
    return VKO_AESGCMDecryptHead(ctx, nonce, cipherText, 0, NULL) &&
           VKO_AESGCMDecryptRest(ctx, cipherText, size, tag, plainText, NULL, 0);
}

bool VKO_AESGCMDecryptHead(VKO_AESGCM *ctx, const void *nonce, const void *cipherText, size_t headSize,
                           void *head) {
    if (!ctx || !nonce || headSize > INT_MAX || (headSize > 0 && (!cipherText || !head))) return false;
    int len = 0;
    if (EVP_DecryptInit_ex(ctx->dec, NULL, NULL, NULL, (const unsigned char *)nonce) != 1 ||
        (headSize > 0 && EVP_DecryptUpdate(ctx->dec, (unsigned char *)head, &len,
                                           (const unsigned char *)cipherText, (int)headSize) != 1)) {
        if (headSize > 0 && head) OPENSSL_cleanse(head, headSize);
        ERR_clear_error();
        return false;
    }
    return true;
}

bool VKO_AESGCMDecryptRest(VKO_AESGCM *ctx, const void *cipherText, size_t size, const void *tag, void *rest,
                           void *head, size_t headSize) {
    int len = 0;
    unsigned char none[1];
    unsigned char *out = size > 0 ? (unsigned char *)rest : none;

    if (!ctx || !tag || size > INT_MAX || (size > 0 && (!cipherText || !rest))) goto except;

    if (size > 0 && EVP_DecryptUpdate(ctx->dec, out, &len, (const unsigned char *)cipherText, (int)size) != 1)
        goto except;

    if (EVP_CIPHER_CTX_ctrl(ctx->dec, EVP_CTRL_GCM_SET_TAG, VKO_AESGCM_TAG_SIZE, (void *)tag) != 1)
        goto except;

    if (EVP_DecryptFinal_ex(ctx->dec, out + len, &len) != 1) goto except;

    return true;

except:

    if (size > 0 && rest) OPENSSL_cleanse(rest, size);
    if (headSize > 0 && head) OPENSSL_cleanse(head, headSize);

    ERR_clear_error();

    return false;
}

void VKO_AESGCMDestroy(VKO_AESGCM **ctx) {
    if (!ctx || !*ctx) return;

    VKO_AESGCM *c = *ctx;

    // Freeing a cipher context also cleanses its key schedule
    EVP_CIPHER_CTX_free(c->enc);
    EVP_CIPHER_CTX_free(c->dec);
    EVP_CIPHER_free(c->cipher);

    VKO_Free(c);
    *ctx = NULL;
}
