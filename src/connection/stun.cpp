#include "connection/stun.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/crypto.h"
#include "platform/log.h"
#include "platform/memory.h"

namespace {

constexpr uint8_t kCookie[4] = {0x21, 0x12, 0xA4, 0x42};

void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t get16(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 8 | p[1];
}

void write_header(uint8_t *m, uint16_t type) {
    put16(m, type);
    put16(m + 2, 0);
    put32(m + 4, STUN_MAGIC_COOKIE);
}

}  // namespace

void stun_txid_hex(const uint8_t *message, char out[25]) {
    for (int i = 0; i < 12; i++) std::snprintf(out + i * 2, 3, "%02x", message[8 + i]);
}

uint32_t stun_add_integrity(uint8_t *m, const char *password, uint32_t n) {
    put16(m + n, STUN_ATTR_MESSAGE_INTEGRITY);
    put16(m + n + 2, 20);
    put16(m + 2, n + 4);
    const char *key = password ? password : "";
    VKO_CryptoHash(0, m, n, key, std::strlen(key), m + n + 4, 20);

    put16(m + n + 24, STUN_ATTR_FINGERPRINT);
    put16(m + n + 26, 4);
    put16(m + 2, n + 12);
    put32(m + n + 28, VKO_CRC32(0, m, n + 24) ^ STUN_FINGERPRINT_XOR);
    return n + 32;
}

bool stun_check_request(const uint8_t *m, uint32_t length, const char *password) {
    if (!m || length < 52 || length > 256) return false;
    static constexpr uint8_t kMi[4] = {0x00, 0x08, 0x00, 0x14};
    static constexpr uint8_t kFp[4] = {0x80, 0x28, 0x00, 0x04};
    uint8_t copy[256 + 32];
    for (uint32_t p = 20; p <= length - 32; p++) {
        if (std::memcmp(m + p, kMi, 4) != 0 || std::memcmp(m + p + 24, kFp, 4) != 0) continue;
        std::memcpy(copy, m, p);
        stun_add_integrity(copy, password, p);
        if (std::memcmp(copy + p + 4, m + p + 4, 20) == 0 && std::memcmp(copy + p + 28, m + p + 28, 4) == 0)
            return true;
    }
    return false;
}

void stun_xor_address(uint8_t addr[16], const uint8_t cookie[4], const uint8_t txid[12]) {
    for (int i = 0; i < 4; i++) addr[i] ^= cookie[i];
    for (int i = 0; i < 12; i++) addr[4 + i] ^= txid[i];
}

bool stun_is_stun(const uint8_t *data, uint32_t length) {
    return length > 2 && data[0] < 2 && data[1] == 1;
}

int32_t stun_send(int sock, const void *data, uint32_t length, const sockaddr_in6 *remote,
                  const PacketInfo *local, uint32_t ttl) {
    int32_t r = network_sendmsg_ttl(sock, data, length, remote, local, static_cast<int>(ttl));
    if (r < 0) {
        int32_t code = NET_ERROR_BASE - r;
        if (code != NET_HOSTUNREACH && code != NET_NETUNREACH && code != NET_HOSTDOWN)
            VKO_Log("stun_send", "* %s[%d] = %d", "stun_send", __LINE__, r);
    }
    return r;
}

int32_t stun_send_request(int sock, const char *remote, uint16_t port, const PacketInfo *local, uint32_t ttl,
                          const Creds *own, const Creds *peer, const char *password, char txid_hex[25]) {
    uint8_t m[1024];
    uint32_t n = 20;
    write_header(m, STUN_BINDING_REQUEST);
    bool check = password && own && peer;
    if (!check && own && peer) {
        // A server request names the attempt: own ufrag, then the peer's.
        std::memset(m + 8, 0, 12);
        std::memcpy(m + 8, own->ice_ufrag, strnlen(own->ice_ufrag, 6));
        std::memcpy(m + 14, peer->ice_ufrag, strnlen(peer->ice_ufrag, 6));
    } else {
        VKO_GetRandomBytes(m + 8, 12);
    }

    if (check) {
        size_t pl = strnlen(peer->ice_ufrag, sizeof peer->ice_ufrag);
        size_t ol = strnlen(own->ice_ufrag, sizeof own->ice_ufrag);
        uint32_t ulen = static_cast<uint32_t>(pl + 1 + ol);
        put16(m + n, STUN_ATTR_USERNAME);
        put16(m + n + 2, ulen);
        std::memcpy(m + n + 4, peer->ice_ufrag, pl);
        m[n + 4 + pl] = ':';
        std::memcpy(m + n + 5 + pl, own->ice_ufrag, ol);
        uint32_t padded = (ulen + 3) & ~3u;
        std::memset(m + n + 4 + ulen, 0, padded - ulen);
        n += 4 + padded;

        put16(m + n, STUN_ATTR_NETWORK_COST);
        put16(m + n + 2, 4);
        put32(m + n + 4, 50);  // network id 0, cost 50
        n += 8;

        put16(m + n, STUN_ATTR_ICE_CONTROLLED);
        put16(m + n + 2, 8);
        VKO_GetRandomBytes(m + n + 4, 8);
        n += 12;

        put16(m + n, STUN_ATTR_PRIORITY);
        put16(m + n + 2, 4);
        put32(m + n + 4, STUN_PRIORITY);
        n += 8;

        n = stun_add_integrity(m, password, n);
    }

    sockaddr_in6 addr;
    if (!remote || !network_make_addr(remote, port, &addr)) {
        int32_t r = NET_ERROR_BASE - network_error_code(EINVAL);
        VKO_Log("stun_send", "* %s[%d] = %d", "stun_send_request", __LINE__, r);
        return r;
    }
    if (txid_hex) stun_txid_hex(m, txid_hex);
    return stun_send(sock, m, n, &addr, local, ttl);
}

int32_t stun_send_success(int sock, const uint8_t *request, uint32_t length, const sockaddr_in6 *requester,
                          const PacketInfo *local, const char *own_pwd) {
    if (!request || length < 52) return STUN_ERR_SHORT_REQUEST;
    uint8_t m[76 + 4];
    write_header(m, STUN_BINDING_SUCCESS);
    std::memcpy(m + 8, request + 8, 12);

    const uint8_t *a = requester->sin6_addr.s6_addr;
    static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    bool v4 = std::memcmp(a, kMappedPrefix, 12) == 0;
    uint32_t port = ntohs(requester->sin6_port) ^ 0x2112u;
    put16(m + 20, STUN_ATTR_XOR_MAPPED_ADDRESS);
    put16(m + 22, v4 ? 8 : 20);
    m[24] = 0;
    m[25] = v4 ? 1 : 2;
    put16(m + 26, port);
    uint32_t n;
    if (v4) {
        for (int i = 0; i < 4; i++) m[28 + i] = a[12 + i] ^ kCookie[i];
        n = 32;
    } else {
        std::memcpy(m + 28, a, 16);
        stun_xor_address(m + 28, kCookie, m + 8);
        n = 44;
    }
    n = stun_add_integrity(m, own_pwd, n);
    return stun_send(sock, m, n, requester, local, 128);
}

bool stun_parse_server_reply(const uint8_t *d, uint32_t length, uint8_t addr[16], uint16_t *port) {
    if (!d || (length != 32 && length != 44)) return false;
    if (get16(d) != STUN_BINDING_SUCCESS || get16(d + 20) != STUN_ATTR_XOR_MAPPED_ADDRESS) return false;
    uint8_t family = d[25];
    if (!((family == 1 && length == 32 && get16(d + 22) == 8) ||
          (family == 2 && length == 44 && get16(d + 22) == 20)))
        return false;
    *port = static_cast<uint16_t>(get16(d + 26) ^ 0x2112u);
    if (family == 1) {
        std::memset(addr, 0, 10);
        addr[10] = addr[11] = 0xFF;
        for (int i = 0; i < 4; i++) addr[12 + i] = d[28 + i] ^ kCookie[i];
    } else {
        std::memcpy(addr, d + 28, 16);
        stun_xor_address(addr, kCookie, d + 8);
    }
    return true;
}
