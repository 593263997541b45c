// SCTP transport: the five streams of a link as streams of one SCTP
// association, run in user space by usrsctp over its AF_CONN family, every
// SCTP packet sealed in one DTLS 1.2 record and sent as one UDP datagram. The
// peer is authenticated by the certificate fingerprint from signaling.
#pragma once

#include <cstdint>

#include "connection/udp.h"

struct SctpTransport;
struct VKO_Cert;

constexpr uint32_t SCTP_PPID = 53;
constexpr uint16_t SCTP_PORT = 5000;
constexpr uint32_t SCTP_DTLS_MTU = 1212;
constexpr uint32_t SCTP_QUEUE_MESSAGES = 1000;  // messages kept before the association is up
// Longest message (prefix and data), as on BUD: one window of 4000 fragments.
constexpr uint32_t SCTP_MAX_MESSAGE = 4000 * 1193 - 4;

constexpr int32_t SCTP_TIMEOUT = 2000;
constexpr int32_t SCTP_ERR_SEND = -32001;
constexpr int32_t SCTP_ERR_SETUP = -32002;
constexpr int32_t SCTP_ERR_BIND = -32003;
constexpr int32_t SCTP_ERR_HANDSHAKE = -32004;
constexpr int32_t SCTP_ERR_SILENT = -12007;
constexpr int32_t SCTP_ERR_BUFFER = -12011;
constexpr int32_t SCTP_ERR_CLOSED = -12017;
constexpr int32_t SCTP_ERR_DEAD = -12019;

// Starts a link on sock (owned by the link from then on; on failure the caller
// keeps it). listening is 1 on the client side, which accepts the association
// and is the DTLS server. ice_pwd answers connectivity checks arriving on the
// socket; peer_fingerprint is compared exactly with the peer's certificate.
int32_t sctpp_create(SctpTransport **out, int sock, VKO_Cert *cert, const sockaddr_in6 *remote,
                     const PacketInfo *local, uint8_t listening, const char *ice_pwd,
                     const char *peer_fingerprint);

// TransportRecord operations (ctx is the SctpTransport). The prefix travels
// joined with the data on every stream; an empty message sends nothing, a
// longer one than SCTP_MAX_MESSAGE answers -32001. A full send buffer answers
// 2000 once timeout_ms passed (memory wanting for the message, at once). Each
// stream holds at most BUD's window of unread data, 4000 fragments, every
// message taking at least one; while one is full the link stops taking from the
// association, whose flow control then fills the sender's buffer, which charges
// its messages alike. A message larger than the reader's buffer answers -12011
// with its length and stays readable. Messages that arrived before the link
// ended are read before its terminal code. sctpp_destroy closes gracefully:
// what is queued is delivered and acknowledged first (waiting at most 5 s, or
// until the peer is 5 s silent).
int32_t sctpp_send(void *ctx, uint8_t stream, const void *prefix, uint8_t prefix_len, const void *data,
                   uint32_t length, uint32_t timeout_ms);
int32_t sctpp_recv(void *ctx, uint8_t stream, void *buf, uint32_t capacity, uint32_t *length,
                   uint32_t timeout_ms);
void sctpp_destroy(void *ctx);

// True once the association is up.
bool sctpp_connected(SctpTransport *link);

// Moves the link's clock forward (for tests of the 60 s and 120 s silences).
void sctpp_advance_clock(SctpTransport *link, uint64_t ms);
