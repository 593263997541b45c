// The link's datagram format, written from its layout with raw OpenSSL so tests
// can read and forge records independently of the transport's own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct WireKey {
    bool aes256 = false;
    uint8_t key[32] = {};
    uint8_t salt[4] = {};
};

struct WirePlain {
    uint64_t counter = 0;
    uint8_t type = 0, flags = 0, stream = 0;
    uint32_t seq = 0;
    std::vector<uint8_t> plain;  // the whole plaintext, header included
};

bool wire_key(const std::string &hex, bool aes256, WireKey *out);
// Decrypts one record; false when it is not one or fails authentication.
bool wire_open(const WireKey &key, const uint8_t *rec, size_t len, WirePlain *out);
// One record of the given plaintext under counter (sent as given).
std::vector<uint8_t> wire_seal(const WireKey &key, uint64_t counter, const uint8_t *plain, size_t len);

// Test key texts: 254 hex characters (AES-256 form) and 64 (fingerprint form).
std::string wire_test_key256();
std::string wire_test_key128();
