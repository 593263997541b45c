// STUN binding requests and answers: reflexive-address discovery against STUN
// servers and short-term-credential connectivity checks between peers.
#pragma once

#include <cstdint>

#include "connection/udp.h"

// Per-attempt credentials of one side.
struct Creds {
    char ice_ufrag[256];
    char ice_pwd[256];
    char fingerprint[112];
    char aes256[256];
};

constexpr uint16_t STUN_BINDING_REQUEST = 0x0001;
constexpr uint16_t STUN_BINDING_SUCCESS = 0x0101;
constexpr uint32_t STUN_MAGIC_COOKIE = 0x2112A442;
constexpr uint16_t STUN_ATTR_USERNAME = 0x0006;
constexpr uint16_t STUN_ATTR_NETWORK_COST = 0xC057;
constexpr uint16_t STUN_ATTR_ICE_CONTROLLED = 0x8029;
constexpr uint16_t STUN_ATTR_PRIORITY = 0x0024;
constexpr uint16_t STUN_ATTR_MESSAGE_INTEGRITY = 0x0008;
constexpr uint16_t STUN_ATTR_FINGERPRINT = 0x8028;
constexpr uint16_t STUN_ATTR_XOR_MAPPED_ADDRESS = 0x0020;
constexpr uint32_t STUN_FINGERPRINT_XOR = 0x5354554E;
constexpr uint32_t STUN_PRIORITY = 0x6E001EFF;

constexpr int32_t STUN_ERR_SHORT_REQUEST = -34000;

constexpr const char *STUN_TAG_RFLX = "STUN_RFLX";
constexpr const char *STUN_TAG_P2P = "STUN_P2P";

// Binding request to a STUN server (no password) or a connectivity check (with
// password and both creds). Bytes sent or a socket error code.
int32_t stun_send_request(int sock, const char *remote, uint16_t port, const PacketInfo *local, uint32_t ttl,
                          const Creds *own, const Creds *peer, const char *password, char txid_hex[25]);

// Success response to request (from requester), sent from local. Bytes sent, a
// socket error code, or -34000 for a request shorter than 52 bytes.
int32_t stun_send_success(int sock, const uint8_t *request, uint32_t length, const sockaddr_in6 *requester,
                          const PacketInfo *local, const char *own_pwd);

// True when the message carries a MESSAGE-INTEGRITY and FINGERPRINT valid for password.
bool stun_check_request(const uint8_t *message, uint32_t length, const char *password);

// Appends MESSAGE-INTEGRITY and FINGERPRINT after the first n bytes; the buffer
// must hold n + 32 bytes. Answers n + 32.
uint32_t stun_add_integrity(uint8_t *message, const char *password, uint32_t n);

void stun_xor_address(uint8_t addr[16], const uint8_t cookie[4], const uint8_t txid[12]);

// One datagram with the given TTL (hop limit) for this send only.
int32_t stun_send(int sock, const void *data, uint32_t length, const sockaddr_in6 *remote,
                  const PacketInfo *local, uint32_t ttl);

// What a transport's receive loop does with a datagram: true when it is STUN.
bool stun_is_stun(const uint8_t *data, uint32_t length);

// Reads a STUN server's answer (exactly 32 bytes for IPv4, 44 for IPv6, its first
// attribute XOR-MAPPED-ADDRESS) into a v4-mapped or IPv6 address and port.
bool stun_parse_server_reply(const uint8_t *data, uint32_t length, uint8_t addr[16], uint16_t *port);

// Transaction id of a message as 24 lower-case hex characters.
void stun_txid_hex(const uint8_t *message, char out[25]);
