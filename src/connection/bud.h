// BUD: the reliable, encrypted datagram transport. Five ordered message streams
// on one UDP socket, AES-GCM on every datagram, cumulative plus selective acks,
// fast and timed retransmission, and a lateness measure that drives the
// encoder's bitrate.
#pragma once

#include <cstdint>

#include "connection/udp.h"

struct BUD;

constexpr uint32_t BUD_STREAMS = 5;
constexpr uint32_t BUD_WINDOW = 4000;         // slots per half of a stream
constexpr uint32_t BUD_SLOT_SIZE = 2000;      // bytes of one slot
constexpr uint32_t BUD_FRAGMENT_SIZE = 1193;  // payload bytes of one data datagram
constexpr uint32_t BUD_HEADER_SIZE = 7;       // plaintext header
constexpr uint32_t BUD_RECORD_HEADER = 29;    // 17 FE FD, counter, length, tag
constexpr uint32_t BUD_MAX_PLAINTEXT = 1971;
constexpr uint32_t BUD_ACK_SIZE = 27;
constexpr uint64_t BUD_COUNTER_LIMIT = 1ull << 48;
// Record counters of the side that accepted the link carry this bit, so the two
// directions never share a nonce under their common key.
constexpr uint64_t BUD_COUNTER_ACCEPTOR = 1ull << 63;
// Largest message: its fragments must fit one window.
constexpr uint32_t BUD_MAX_MESSAGE = BUD_WINDOW * BUD_FRAGMENT_SIZE - 4;

constexpr uint8_t BUD_FLAG_MORE = 0x01;
constexpr uint8_t BUD_FLAG_ACK = 0x02;
constexpr uint8_t BUD_FLAG_KEEPALIVE = 0x08;
constexpr uint8_t BUD_FLAG_GAP = 0x10;
constexpr uint8_t BUD_FLAG_LAST = 0x20;

constexpr int32_t BUD_TIMEOUT = 2000;
constexpr int32_t BUD_ERR_KEY_SHORT = -28000;
constexpr int32_t BUD_ERR_ENCRYPT = -28001;
constexpr int32_t BUD_ERR_DECRYPT = -28002;
constexpr int32_t BUD_ERR_CIPHER = -28003;
constexpr int32_t BUD_ERR_LENGTH = -28004;
constexpr int32_t BUD_ERR_COUNTER = -28005;
constexpr int32_t BUD_ERR_SILENT = -12007;
constexpr int32_t BUD_ERR_MALFORMED = -12008;
constexpr int32_t BUD_ERR_BUFFER = -12011;
constexpr int32_t BUD_ERR_CLOSED = -12017;
constexpr int32_t BUD_ERR_DEAD = -12019;

// Starts a link on sock (which the link owns from then on; on failure the caller
// keeps it). key is hex text: with aes256 at least 72 characters (AES-256 key and
// salt), else at least 40 (AES-128 key and salt). accepted is 1 on the side that
// accepted the link (the host). congestion_level 0-2 picks the lateness row.
int32_t bud_create(BUD **out, int sock, const sockaddr_in6 *remote, const PacketInfo *local, const char *key,
                   uint8_t aes256, uint8_t accepted, const char *ice_pwd, uint32_t congestion_level);

// TransportRecord operations (ctx is the BUD). A stream outside 0-4 answers
// -12008; a message longer than BUD_MAX_MESSAGE answers -28004 and the link lives on.
// Without data, or with nothing to send at all, nothing goes out (0 once the window has room).
int32_t bud_send(void *ctx, uint8_t stream, const void *prefix, uint8_t prefix_len, const void *data,
                 uint32_t length, uint32_t timeout_ms);
int32_t bud_recv(void *ctx, uint8_t stream, void *buf, uint32_t capacity, uint32_t *length,
                 uint32_t timeout_ms);
void bud_close(void *ctx);

// The lateness row (0-2) of a running link.
void bud_set_congestion_level(BUD *link, uint32_t level);
uint32_t bud_congestion_level(BUD *link);

// Bitrate (Mbit/s) the encoder may use on the stream now.
float bud_congestion_bitrate(BUD *link, uint8_t stream);

// The encoder's bitrate settings for the stream.
void bud_set_bitrate_limits(BUD *link, uint8_t stream, float ceiling, float floor, uint32_t step);

struct BudStreamStats {
    uint32_t next;          // next sequence to send
    uint32_t acknowledged;  // peer's receive base
    uint32_t in_flight;     // next - acknowledged, never wrapped
    uint32_t complete;      // everything below was received
    uint32_t read;          // next sequence for the reader
    uint32_t pending;
    uint32_t late;
    uint32_t deferred;  // fragments waiting for the link thread's first send
    uint32_t bytes_sent;
    uint32_t packets_sent;
    uint32_t direct_sent;  // of them, sent by the sender's own thread (the rest by the link thread)
    uint32_t fast_retransmissions;
    uint32_t slow_retransmissions;
    uint32_t duplicates;
    uint32_t congestion_events;
    float ceiling;
    float floor;
    uint32_t lent;      // 1 while the stream's reader lends its buffer (2 while written into)
    uint32_t in_place;  // fragments opened straight into a lent buffer
};

struct BudLinkStats {
    int32_t state;
    uint32_t rtt_us;
    uint8_t acks_up_to_date;
    uint64_t counter;            // highest record counter handed out (with the direction bit)
    double ms_since_received;    // since the last good datagram
    uint32_t dropped_auth;       // datagrams that failed authentication
    uint32_t dropped_malformed;  // datagrams with a malformed plaintext
    uint32_t dropped_window;     // fragments beyond the reader's window
    uint32_t dropped_messages;   // messages whose fragments did not add up
    uint32_t budget;             // datagrams kept in flight at most, over all streams
    uint32_t acks_sent;          // acks and keep-alives
    uint32_t gap_acks_sent;      // of them, acks with a gap report (one per fragment above a gap)
    uint32_t wakeups;            // turns of the link thread
    uint8_t segments_refused;    // the kernel refused segmented sends: one datagram per send since
    double thread_cpu_ms;        // CPU time the link thread used so far
};

bool bud_stream_stats(BUD *link, uint8_t stream, BudStreamStats *out);
void bud_link_stats(BUD *link, BudLinkStats *out);

// Whole messages received on the stream and not yet read.
uint32_t bud_stream_queued(BUD *link, uint8_t stream);

// Moves the link's clock forward (for tests of the 60 s and 120 s silences).
void bud_advance_clock(BUD *link, uint64_t ms);
