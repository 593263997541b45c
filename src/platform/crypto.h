// Hashes, HMACs, random numbers, base64 and AES-GCM on OpenSSL 3.
#pragma once

#include <cstddef>
#include <cstdint>

// Algorithm numbers of VKO_CryptoHash; any other number does nothing.
enum : uint32_t {
    VKO_HASH_SHA1 = 0,        // 20-byte digest
    VKO_HASH_SHA1_HEX = 1,    // 40 lower-case hex characters (output of 41 bytes)
    VKO_HASH_SHA256 = 2,      // 32-byte digest
    VKO_HASH_SHA256_HEX = 3,  // 64 lower-case hex characters (output of 65 bytes)
};

#define VKO_AESGCM_NONCE_SIZE 12
#define VKO_AESGCM_TAG_SIZE 16

// Digest of the input, or its HMAC when key is not NULL (even with keySize 0).
// Failures are logged; the output is then not valid.
void VKO_CryptoHash(uint32_t algorithm, const void *input, size_t inputSize, const void *key, size_t keySize,
                    void *output, size_t outputSize);

// VKO_CryptoHash over the whole file; false when it cannot be read (or is empty).
bool VKO_CryptoHashFile(uint32_t algorithm, const char *path, const void *key, size_t keySize, void *output,
                        size_t outputSize);

void VKO_GetRandomBytes(void *buffer, size_t size);

// min + (random % (max - min)), a value in [min, max); min when min >= max.
uint32_t VKO_GetRandomUInt(uint32_t minVal, uint32_t maxVal);

// Standard base64 with '=' padding and no line breaks; size counts the terminator.
// False (logged, buffer left as empty text) when the buffer is too small.
bool VKO_BytesToBase64(const void *bytes, size_t size, char *base64, size_t base64Size);

// AES-GCM with a 12-byte nonce, a 16-byte tag and no additional data; every
// call is one complete message. One context is used by one thread at a time.
struct VKO_AESGCM;

// NULL for a key size other than 16 (AES-128) or 32 (AES-256).
VKO_AESGCM *VKO_AESGCMCreate(const void *key, size_t keySize);

bool VKO_AESGCMEncrypt(VKO_AESGCM *ctx, const void *nonce, const void *plainText, size_t size, void *tag,
                       void *cipherText);

// The same over a plain text given in pieces, read in order as one message, so
// a caller seals straight from where the pieces lie; the cipher text is written
// back to back.
struct VKO_AESGCMPiece {
    const void *data;
    size_t size;
};
bool VKO_AESGCMEncryptPieces(VKO_AESGCM *ctx, const void *nonce, const VKO_AESGCMPiece *pieces, size_t count,
                             void *tag, void *cipherText);

// False when authentication fails; the plain output then holds zeros, never
// unauthenticated plain text.
bool VKO_AESGCMDecrypt(VKO_AESGCM *ctx, const void *nonce, const void *cipherText, size_t size,
                       const void *tag, void *plainText);

// The same in two parts, for a receiver that learns from the start of the plain
// text where the rest belongs: the first opens headSize bytes into head, the
// second the remaining size bytes (cipherText continuing where the first
// ended) into rest and checks the tag. Until the second answers true, nothing
// written is authenticated; when it answers false, head and rest hold zeros.
bool VKO_AESGCMDecryptHead(VKO_AESGCM *ctx, const void *nonce, const void *cipherText, size_t headSize,
                           void *head);
bool VKO_AESGCMDecryptRest(VKO_AESGCM *ctx, const void *cipherText, size_t size, const void *tag, void *rest,
                           void *head, size_t headSize);

void VKO_AESGCMDestroy(VKO_AESGCM **ctx);
