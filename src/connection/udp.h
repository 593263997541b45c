// UDP sockets shared by every transport, and the record through which the
// sessions talk to whichever transport carries a link.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <sys/uio.h>

struct VKO_Mutex;

// Values of PacketInfo.family (kept as the wire-neutral numbers the record uses).
constexpr uint32_t NET_FAMILY_IPV4 = 2;
constexpr uint32_t NET_FAMILY_IPV6 = 23;

constexpr int NET_INVALID_SOCKET = -1;  // all ones
constexpr int32_t NET_ERROR_BASE = -700000;

// Socket error numbers as the result codes carry them.
constexpr int32_t NET_WOULDBLOCK = 10035;
constexpr int32_t NET_ADDRINUSE = 10048;
constexpr int32_t NET_NETUNREACH = 10051;
constexpr int32_t NET_NETRESET = 10052;
constexpr int32_t NET_HOSTDOWN = 10064;
constexpr int32_t NET_HOSTUNREACH = 10065;
constexpr int32_t NET_SYSCALLFAILURE = 10107;

// Local address of a received datagram, given back when answering from the
// same socket so the reply leaves from where the request arrived.
struct PacketInfo {
    uint32_t family;  // NET_FAMILY_IPV4, NET_FAMILY_IPV6, 0 = none
    struct {
        uint8_t addr[16];
        uint32_t ifindex;
    } ipv6;
    struct {
        uint8_t addr[4];
        uint32_t ifindex;
    } ipv4;
};

struct NetInterfaceInfo {
    char name[128];
    uint32_t index;
    char description[128];
    uint32_t wireless;
    float speed;  // Mbit/s
};

// Operations every transport provides with one contract: 0 done, 2000 time-out,
// -12011 message larger than the buffer (recv: *length, when given, is set to the
// size needed and the message stays readable), anything else is terminal.
typedef int32_t (*TransportRecvFn)(void *ctx, uint8_t stream, void *buf, uint32_t capacity, uint32_t *length,
                                   uint32_t timeout_ms);
typedef int32_t (*TransportSendFn)(void *ctx, uint8_t stream, const void *prefix, uint8_t prefix_len,
                                   const void *data, uint32_t length, uint32_t timeout_ms);
typedef void (*TransportCloseFn)(void *ctx);

constexpr uint32_t TRANSPORT_BUD = 1;
constexpr uint32_t TRANSPORT_SCTP = 2;
constexpr uint32_t TRANSPORT_STREAMS = 5;  // 0 control, 1 video 0, 2 audio, 3 video 1, 4 video 2

struct TransportStreamCounters {
    uint32_t bits;
    uint32_t messages;
    float mbit_per_s;
    uint64_t sample_time;
};

struct TransportRecord {
    uint32_t kind;
    void *ctx;
    TransportRecvFn recv;
    TransportSendFn send;
    TransportCloseFn close;
    void *video_container;
    void *audio_container;
    VKO_Mutex *send_lock;
    TransportStreamCounters streams[TRANSPORT_STREAMS];
};

// Dual-stack UDP socket bound to [::]:port, non-blocking, packet information on
// for both families. 0, or NET_ERROR_BASE minus the socket error number (and
// *out reads NET_INVALID_SOCKET).
int32_t network_udp_socket(int *out, uint16_t port);

// One datagram to remote (or the connected peer when null), leaving from the
// local address in local when given. Bytes sent, NET_ERROR_BASE - code on failure,
// NET_ERROR_BASE when nothing was sent.
int32_t network_sendmsg(int sock, const void *data, uint32_t length, const sockaddr_in6 *remote,
                        const PacketInfo *local);

// As network_sendmsg, with a TTL (hop limit) for this datagram when ttl >= 0.
int32_t network_sendmsg_ttl(int sock, const void *data, uint32_t length, const sockaddr_in6 *remote,
                            const PacketInfo *local, int ttl);

// Consecutive datagrams of segment bytes each (the last may be shorter) from one
// buffer in one call, segmented by the kernel. Bytes sent or NET_ERROR_BASE - code;
// NET_ERROR_BASE - 10045 (operation not supported) when the system cannot segment.
int32_t network_sendmsg_segments(int sock, const void *data, uint32_t length, uint16_t segment,
                                 const sockaddr_in6 *remote, const PacketInfo *local);
// The same with the buffer given as pieces (e.g. records lying in separate
// slots); the kernel cuts their concatenation into segments.
int32_t network_sendmsg_segments_iov(int sock, const iovec *iov, uint32_t count, uint16_t segment,
                                     const sockaddr_in6 *remote, const PacketInfo *local);

// One datagram with its source and the local address it arrived at (both may be
// null). Bytes received (a datagram larger than capacity is cut), or
// NET_ERROR_BASE - code (NET_WOULDBLOCK when nothing is waiting).
int32_t network_recvmsg(int sock, void *buf, uint32_t capacity, sockaddr_in6 *from, PacketInfo *local);

uint32_t network_get_interface_info(NetInterfaceInfo rows[8]);

// Placeholder for a receive path that is not ready: sets the socket error
// (NET_SYSCALLFAILURE) and answers -1.
int network_set_last_error(void);
int32_t network_last_error(void);

// Socket error number for a Linux errno.
int32_t network_error_code(int err);

// Pure rules of the interface report, testable on table values.
float network_link_speed(uint64_t tx_bits_per_s, uint64_t rx_bits_per_s);

// "::ffff:a.b.c.d" for IPv4 text, the text itself when it holds ':'; false when unparsable.
bool network_make_addr(const char *text, uint16_t port, sockaddr_in6 *out);
// Address text (IPv4 dotted for v4-mapped addresses when unmap is true).
void network_addr_text(const sockaddr_in6 *addr, char *text, uint32_t size, bool unmap);
