// Model of one link. Threads: one sender and one reader per stream (a second
// sender waits for the stream's send turn), the link thread, and bud_close.
//
// Send window of a stream, sequence numbers compared as signed distances:
//   acknowledged <= next - deferred <= next <= limit = acknowledged + 4000.
//   next: the sender advances it (release) after the slots below it are filled
//     and their state set to 1, so the link thread never sees a half-written
//     slot; it moves once per batch, not per fragment.
//   acknowledged, limit: the link thread, from the peer's receive bases; never
//     past next. Passing a slot frees it (state 0).
//   deferred: fragments filled but never sent; they are always the newest of
//     the stream. The sender adds the fragments it holds back, a batch at a
//     time and before it moves next past them; the link thread subtracts those
//     it sends or that a base passes. The sender looks at it before each batch
//     and, while it is not 0, sends nothing itself, so nothing overtakes a
//     held-back fragment.
//   slot state: 1 from filling until an ack names the slot (only a slot that
//     was sent) or a base passes it; only the link thread clears it.
//   pending, late: published by the link thread's whole walk over the window
//     (on a gap report, else once a millisecond; the turns in between only
//     send deferred fragments).
// In-flight limit (link thread; senders read `window` and `burst`):
//   burst: what the peer's socket can queue at once (its buffer, as ours).
//     Senders send directly while less than that is in flight (control and
//     audio up to twice it); beyond it their fragments are deferred.
//   window: max(burst, 1.5 x delivery rate x minimum round trip). The link thread
//     sends deferred fragments while in flight < window, paced at twice the
//     delivery rate, so a path's capacity is used without bursts the peer's
//     socket cannot hold. Each turn's room goes first to the control stream,
//     then in equal shares to the other streams with deferred fragments; while
//     any of those wait, the control stream takes at most half of the room.
//   delivered: fragments acknowledged, counted once each (ack or base).
// Receive window: rx_base (link thread) = complete (published after the slots
//   below it are filled); the reader advances read and frees slots; nothing is
//   stored at or beyond read + 4000, so a slot is never overwritten unread.
//   The link thread decrypts into its spare buffer and stores a fragment by
//   swapping that with the free slot's buffer (the reader is done with it).
// Lending: a reader that has a message's first fragment and waits for the rest
//   lends its buffer (lend_*, then lent = 1). The link thread opens a fragment
//   of that message that is not here yet, and cut as a sender cuts them,
//   straight into its place there: it claims the loan (lent 1 -> 2), writes,
//   stores the slot with `lent` set (no payload in buf), and sets lent back to
//   1. The reader ends the loan (lent 1 -> 0, waiting out a 2) before it
//   leaves; leaving without the message it first copies such payloads into
//   their slots. So the link thread writes into a buffer only while its
//   reader waits, and never where a received fragment lies.
// Lifetime: callers_in counts threads inside bud_send and bud_recv; bud_close
//   sets the state, wakes them all and frees the link only once it is 0.
// Sealing uses one cipher context per sending thread: the link thread's, and
//   one per stream, used only by the holder of the stream's send turn
//   (`sending`, under the send half's mutex), so no context ever seals for two
//   threads at once (which would seal two records under one nonce). Every
//   fragment is sealed by its sender straight from its buffers into the slot
//   and sent from there, by the sender or, held back, by the link thread. A
//   slot whose sealing failed holds the plain text instead, which the link
//   thread seals into its own batch. A resend is sealed afresh (a new
//   counter) into the link thread's batch, from the plain slot or from the
//   slot's record opened with its context. A slot is never written while it
//   is in flight. Each context's thread takes record counters from the link's
//   counter 32 at a time (one atomic add) and uses them in order, so every
//   counter is sealed at most once; on the wire they are unique, not dense
//   and not in order, which the peer never looks at.
#include "connection/bud.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "connection/stun.h"
#include "platform/crypto.h"
#include "platform/log.h"
#include "platform/memory.h"

namespace {

constexpr uint32_t kPendingLimit = 100;
constexpr uint32_t kBatch = 16;      // receive buffers filled per turn of the link's thread
constexpr uint32_t kRxSize = 65536;  // one buffer holds a coalesced run of datagrams
constexpr uint64_t kPollMs = 30;
constexpr uint64_t kKeepAliveUs = 30000;
constexpr uint64_t kAckCoalesceUs = 10000;
constexpr uint64_t kPassIntervalUs = 1000;
constexpr uint32_t kAckEvery = 64;    // data fragments that call for an ack at once, at least
constexpr uint32_t kTruesize = 2560;  // what one datagram costs in a socket's receive queue
// Beyond this a burst only adds delay in the peer's queue in front of control messages.
constexpr uint32_t kBurstMax = 512;
// Every stream's whole send window.
constexpr uint32_t kWindowMax = BUD_STREAMS * BUD_WINDOW;
constexpr uint32_t kRateSamples = 8;     // delivery-rate samples the estimate keeps (about 8 round trips)
constexpr uint64_t kSampleMinUs = 5000;  // shortest delivery-rate sample
constexpr uint64_t kMinRttKeepUs = 10000000;
constexpr uint32_t kGsoCount = 32;      // records handed to the kernel in one send
constexpr uint64_t kCounterBlock = 32;  // record counters a sealing thread takes at once
constexpr uint32_t kRecordMax = BUD_RECORD_HEADER + BUD_HEADER_SIZE + BUD_FRAGMENT_SIZE;
// Send slots lie this far apart: a record (at most kRecordMax bytes) in whole
// cache lines, so a batch's records are contiguous and a send window takes
// 5 MB, not 8. (Receive slots keep 2000 bytes: a peer's record may be longer.)
constexpr uint32_t kSlotStride = 1280;
static_assert(kSlotStride >= kRecordMax && kSlotStride % 64 == 0);
constexpr uint32_t kOpenHead = 16;  // plain text bytes opened before the rest: one AES block
constexpr uint64_t kLogIntervalUs = 2000000;
constexpr uint64_t kSilentUs = 60000000;
constexpr uint64_t kDeadUs = 120000000;

enum CipherIndex { kCipherThread = 0, kCipherDecrypt = 1, kCipherStream0 = 2, kCiphers = 7 };

struct CongestionRow {
    double a, b, c;
};
constexpr CongestionRow kCongestion[3] = {{0.0, 0.0, 0.0}, {1.1, 20.0, 0.15}, {1.5, 50.0, 0.35}};

using AU32 = std::atomic<uint32_t>;

struct SendMeta {
    uint32_t seq;
    uint32_t len;         // of the plain text; the slot holds the record, 29 bytes longer
    uint64_t first_send;  // us
    uint64_t last_send;   // us
    uint32_t rtt_first_us;
    uint32_t state;  // 0 free, 1 in flight (atomic_ref)
    uint32_t retries;
    uint8_t deferred;
    uint8_t fast;
    uint8_t plain;  // the slot holds the plain text after the record header (its sealing failed)
};

struct RecvMeta {
    uint8_t *buf;    // the record's whole plaintext; the payload starts after the header
    uint32_t seq;    // the sequence the slot holds; a slot serves no other
    uint32_t len;    // of the payload
    uint32_t state;  // 0 free, 1 filled (atomic_ref)
    uint8_t last;
    uint8_t lent;  // the payload went straight into the buffer a reader lent, not into buf
};

// Records sent in one call: sealed records in their slots, or ones the link
// thread sealed afresh into buf.
struct Batch {
    iovec iov[kGsoCount];
    uint8_t *buf = nullptr;  // kGsoCount x kRecordMax (the link thread's only)
    uint32_t used = 0;       // of buf
    uint32_t count = 0;
    uint32_t segment = 0;
    uint32_t bytes = 0;  // of all its records
};

struct Half {
    std::mutex mutex;
    std::condition_variable cond;
    AU32 wanted{0};
};

struct Stream {
    // receive window
    uint8_t *rdata;  // BUD_WINDOW x BUD_SLOT_SIZE, lent to the slots' buffers
    RecvMeta *rmeta;
    Half rhalf;
    AU32 read{0};
    AU32 complete{0};
    // The buffer a reader lends while it waits for the rest of a message (see
    // the model): lend_* are the reader's, written while lent is 0.
    AU32 lent{0};  // 0 not lent, 1 lent, 2 the link thread is writing into it
    uint8_t *lend_buf = nullptr;
    uint32_t lend_first = 0;  // the message's first sequence (already received)
    uint32_t lend_count = 0;  // its fragments
    uint32_t lend_total = 0;  // its length
    // send window
    bool sending = false;  // a sender holds the stream's turn (under shalf.mutex)
    uint8_t *sdata;        // BUD_WINDOW x kSlotStride
    SendMeta *smeta;
    Half shalf;
    AU32 acknowledged{0};
    AU32 next{0};
    AU32 limit{BUD_WINDOW};
    AU32 pending{0};
    AU32 late{0};
    AU32 deferred{0};  // slots waiting for the link thread's first send
    // counters
    AU32 bytes_sent{0};
    AU32 packets_sent{0};
    AU32 direct_sent{0};
    AU32 fast_rts{0};
    AU32 slow_rts{0};
    AU32 duplicates{0};
    AU32 in_place{0};
    // rate control (the encoder's thread)
    std::mutex rate_mutex;
    float ceiling = 10.0f;
    float floor = 2.0f;
    float current = 0.0f;
    uint32_t quiet = 0;
    uint32_t congested = 0;
    AU32 cg_events{0};
    double estimate = 0.0;
    uint32_t step = 1;
    uint8_t reset_pending = 1;
    uint32_t bytes_at_sample = 0;
    uint64_t sample_time = 0;
    // the link thread's receive state
    uint32_t rx_base = 0;
    uint32_t peer_acked = 0;
    uint32_t highest = 0;
    uint64_t last_pass = 0;     // of a whole walk over the slots in flight
    uint32_t walk_pending = 0;  // slots the last whole walk counted as resent (link thread)
    Batch batch;                // the sender's
};

}  // namespace

struct BUD {
    char ice_pwd[256];
    VKO_AESGCM *cipher[kCiphers];
    uint8_t salt[4];
    std::atomic<uint64_t> counter{0};
    // Counters each cipher context's thread took from `counter` a block at a
    // time and has not used yet: [ctr_next, ctr_end). Only the thread that may
    // seal with the context touches them (see the model above).
    uint64_t ctr_next[kCiphers] = {};
    uint64_t ctr_end[kCiphers] = {};
    uint64_t direction = 0;
    sockaddr_in6 remote;
    PacketInfo local;
    int sock = -1;
    std::thread thread;
    uint64_t last_ack = 0;
    Stream streams[BUD_STREAMS];
    AU32 rtt_us{100000};
    std::atomic<uint32_t> cg_level{1};  // lateness row, changed by the host's settings
    std::atomic<uint8_t> acks_up_to_date{1};
    std::atomic<int32_t> state{0};
    std::atomic<uint64_t> last_error_log{0};
    std::atomic<uint64_t> last_received{0};
    uint32_t fragment_size = BUD_FRAGMENT_SIZE;
    std::atomic<uint64_t> clock_offset{0};
    AU32 dropped_auth{0};
    AU32 dropped_malformed{0};
    AU32 dropped_window{0};
    AU32 dropped_messages{0};
    AU32 acks_sent{0};
    AU32 gap_acks_sent{0};
    AU32 turns{0};
    uint8_t *rxbuf = nullptr;  // the link thread's receive batch
    // Records are decrypted into spare; a fragment is stored by swapping spare
    // with its free slot's buffer, so no payload is copied on the way in.
    uint8_t *spare = nullptr;
    uint8_t *spare_block = nullptr;  // the allocation spare started as
    uint32_t unacked = 0;            // data fragments since the last ack (link thread)
    Batch batch;                     // the link thread's
    std::atomic<bool> no_segments{false};
    // in-flight limit (see the model above)
    uint32_t burst = 0;
    AU32 window{0};
    uint64_t delivered = 0;
    uint64_t sample_start = 0;
    uint64_t sample_delivered = 0;
    bool sample_pressed = false;      // fragments waited for room during the sample
    double rates[kRateSamples] = {};  // fragments per microsecond
    uint32_t rate_next = 0;
    double rate = 0;  // the largest of rates
    uint32_t min_rtt_us = 0;
    uint64_t min_rtt_time = 0;
    double tokens = 0;
    uint64_t token_time = 0;
    uint32_t rotate = 0;  // which stream gets the remainder of a turn's room first
    // callers inside bud_send and bud_recv
    std::mutex gate;
    std::condition_variable gate_cond;
    AU32 callers_in{0};
};

namespace {

inline uint32_t load(const uint32_t &v) {
    return std::atomic_ref<const uint32_t>(v).load(std::memory_order_acquire);
}
inline void store(uint32_t &v, uint32_t x) {
    std::atomic_ref<uint32_t>(v).store(x, std::memory_order_release);
}

// Signed distance a - b of two sequence numbers.
inline int32_t seq_diff(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b);
}

// Datagrams sent and not yet acknowledged, over all streams (deferred slots,
// the newest of each stream, are not sent yet).
uint32_t sent_in_flight(BUD *link) {
    uint32_t total = 0;
    for (Stream &s : link->streams) {
        int32_t d =
            seq_diff(s.next.load(std::memory_order_acquire) - s.deferred.load(), s.acknowledged.load());
        if (d > 0) total += static_cast<uint32_t>(d);
    }
    return total;
}

uint64_t now_us(const BUD *link) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u +
           link->clock_offset.load(std::memory_order_relaxed);
}

void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void put64(uint8_t *p, uint64_t v) {
    for (int i = 7; i >= 0; i--, v >>= 8) p[i] = static_cast<uint8_t>(v);
}
uint64_t get64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = v << 8 | p[i];
    return v;
}

bool parse_hex(const char *text, uint8_t *out, size_t bytes) {
    for (size_t i = 0; i < bytes * 2; i++)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    char prefix[80];  // only the key and salt digits, so nothing is cut
    std::memcpy(prefix, text, bytes * 2);
    prefix[bytes * 2] = 0;
    VKO_HexToBytes(prefix, out, bytes);
    return true;
}

void log_limited(BUD *link, const char *tag, int line, int32_t code) {
    uint64_t now = now_us(link);
    uint64_t last = link->last_error_log.load(std::memory_order_relaxed);
    if (last != 0 && now - last < kLogIntervalUs) return;
    if (!link->last_error_log.compare_exchange_strong(last, now)) return;
    VKO_Log(tag, "* %s[%d] = %d", tag, line, code);
}

void wake(Half &h, uint32_t value) {
    uint32_t w = h.wanted.load();
    if (w != 0 && seq_diff(value, w) >= 0) {
        std::lock_guard<std::mutex> lock(h.mutex);
        h.cond.notify_all();
    }
}

void wake_all(BUD *link) {
    for (Stream &s : link->streams) {
        {
            std::lock_guard<std::mutex> lock(s.rhalf.mutex);
            s.rhalf.cond.notify_all();
        }
        std::lock_guard<std::mutex> lock(s.shalf.mutex);
        s.shalf.cond.notify_all();
    }
}

// Waits until value reaches target (a sequence compare). 0 ready, 2000 on
// time-out, the state when the link ends meanwhile.
int32_t bud_wait_window(BUD *link, Half &h, const AU32 &value, uint32_t target, uint32_t timeout_ms) {
    if (seq_diff(value.load(), target) >= 0) return 0;
    if (timeout_ms == 0) return BUD_TIMEOUT;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(h.mutex);
    // wanted 0 means "none", so target 0 is stored as an always-reached 1 offset.
    h.wanted.store(target == 0 ? 1 : target);
    int32_t r = 0;
    while (seq_diff(value.load(), target) < 0) {
        int32_t st = link->state.load();
        if (st != 0) {
            r = st;
            break;
        }
        if (h.cond.wait_until(lock, deadline) == std::cv_status::timeout &&
            seq_diff(value.load(), target) < 0) {
            r = BUD_TIMEOUT;
            break;
        }
    }
    h.wanted.store(0);
    return r;
}

// Seals the plain text given in pieces (len bytes in all) into one record at
// rec; the record's length, or a failure code. rec + 29 may be where the plain
// text lies (sealing in place).
int32_t bud_seal_pieces(BUD *link, int cipher, const VKO_AESGCMPiece *pieces, uint32_t count, uint32_t len,
                        uint8_t *rec) {
    if (len > BUD_MAX_PLAINTEXT) return BUD_ERR_LENGTH;
    // One atomic add per block, not per record: the senders and the link
    // thread no longer pass the counter's cache line back and forth.
    uint64_t &next = link->ctr_next[cipher], &end = link->ctr_end[cipher];
    if (next == end) {
        next = link->counter.fetch_add(kCounterBlock) + 1;
        end = next + kCounterBlock;
    }
    uint64_t n = next++;
    if (n >= BUD_COUNTER_LIMIT) return BUD_ERR_COUNTER;
    uint64_t ctr = n | link->direction;
    rec[0] = 0x17;
    rec[1] = 0xFE;
    rec[2] = 0xFD;
    put64(rec + 3, ctr);
    uint32_t l = len + 45;
    rec[11] = static_cast<uint8_t>(l >> 8);
    rec[12] = static_cast<uint8_t>(l);
    uint8_t nonce[12];
    std::memcpy(nonce, link->salt, 4);
    std::memcpy(nonce + 4, rec + 3, 8);
    if (!VKO_AESGCMEncryptPieces(link->cipher[cipher], nonce, pieces, count, rec + 13,
                                 rec + BUD_RECORD_HEADER))
        return BUD_ERR_ENCRYPT;
    return static_cast<int32_t>(BUD_RECORD_HEADER + len);
}

int32_t bud_seal(BUD *link, int cipher, const uint8_t *plain, uint32_t len, uint8_t *rec) {
    VKO_AESGCMPiece piece{plain, len};
    return bud_seal_pieces(link, cipher, &piece, 1, len, rec);
}

int32_t send_records(BUD *link, const iovec *iov, uint32_t count, uint32_t segment) {
    const PacketInfo *local = link->local.family ? &link->local : nullptr;
    for (int attempt = 0; attempt < 2; attempt++) {
        int32_t r;
        if (count > 1 && !link->no_segments.load(std::memory_order_relaxed)) {
            r = network_sendmsg_segments_iov(link->sock, iov, count, static_cast<uint16_t>(segment),
                                             &link->remote, local);
            if (r == NET_ERROR_BASE - 10045) {
                link->no_segments.store(true);
                continue;
            }
        } else {
            r = 0;
            for (uint32_t i = 0; i < count && r >= 0; i++)
                r = network_sendmsg(link->sock, iov[i].iov_base, static_cast<uint32_t>(iov[i].iov_len),
                                    &link->remote, local);
        }
        if (r == NET_ERROR_BASE - NET_WOULDBLOCK && attempt == 0) {
            // Socket buffer full: give the kernel a moment rather than lose the datagrams.
            pollfd p{link->sock, POLLOUT, 0};
            poll(&p, 1, 5);
            continue;
        }
        if (r < 0) {
            log_limited(link, "bud_write_packet", __LINE__, r);
            return r;
        }
        return 0;
    }
    return NET_ERROR_BASE - NET_WOULDBLOCK;
}

// Encrypts plain into one record and sends it.
int32_t bud_write_packet(BUD *link, int cipher, const uint8_t *plain, uint32_t len) {
    uint8_t rec[BUD_RECORD_HEADER + BUD_MAX_PLAINTEXT];
    int32_t n = bud_seal(link, cipher, plain, len, rec);
    if (n < 0) return n;
    iovec iov{rec, static_cast<size_t>(n)};
    return send_records(link, &iov, 1, static_cast<uint32_t>(n));
}

int32_t batch_flush(BUD *link, Batch &b) {
    if (b.count == 0) return 0;
    int32_t r = send_records(link, b.iov, b.count, b.segment);
    b.used = b.count = b.segment = b.bytes = 0;
    return r;
}

// Whether a record of rec_len must start a new batch: only the last record of
// a kernel-segmented send may be shorter than the first.
bool batch_full(const Batch &b, uint32_t rec_len) {
    return b.count == kGsoCount || (b.count > 0 && rec_len > b.segment);
}

void batch_append(Batch &b, const uint8_t *rec, uint32_t rec_len) {
    if (b.count == 0) b.segment = rec_len;
    b.iov[b.count++] = {const_cast<uint8_t *>(rec), rec_len};
    b.bytes += rec_len;
}

// The link thread's batch: sends what is full, and a batch that a shorter record closed.
void batch_push(BUD *link, Batch &b, const uint8_t *rec, uint32_t rec_len) {
    batch_append(b, rec, rec_len);
    if (b.count == kGsoCount || rec_len < b.segment) batch_flush(link, b);
}

void bud_send_ack(BUD *link, uint8_t flags, uint8_t stream, uint32_t seq, uint64_t now) {
    uint8_t p[BUD_ACK_SIZE];
    p[0] = 1;
    p[1] = flags;
    p[2] = stream;
    put32(p + 3, seq);
    for (uint32_t i = 0; i < BUD_STREAMS; i++) put32(p + 7 + 4 * i, link->streams[i].rx_base);
    bud_write_packet(link, kCipherThread, p, sizeof p);
    link->acks_sent.fetch_add(1, std::memory_order_relaxed);
    if (flags & BUD_FLAG_GAP) link->gap_acks_sent.fetch_add(1, std::memory_order_relaxed);
    link->last_ack = now;
    link->unacked = 0;
    link->acks_up_to_date.store(1);
}

// Puts a slot's record into the link thread's batch (the pass flushes it). A
// first send of a sealed slot takes the record as it lies; anything else is
// sealed into the batch's own buffer (a resend afresh, with a new counter, from
// the plain slot or from the slot's record opened there); the slot itself is
// never written while it is in flight.
void send_slot(BUD *link, Stream &s, SendMeta &m, uint32_t idx, uint64_t now, bool first) {
    const uint8_t *slot = s.sdata + static_cast<size_t>(idx) * kSlotStride;
    uint32_t rec_len = BUD_RECORD_HEADER + m.len;
    Batch &b = link->batch;
    m.last_send = now;
    if (first && !m.plain) {
        if (batch_full(b, rec_len)) batch_flush(link, b);
        batch_push(link, b, slot, rec_len);
        return;
    }
    if (batch_full(b, rec_len)) batch_flush(link, b);
    uint8_t *rec = b.buf + b.used;
    const uint8_t *plain = slot + BUD_RECORD_HEADER;
    if (!m.plain) {
        uint8_t nonce[12];
        std::memcpy(nonce, link->salt, 4);
        std::memcpy(nonce + 4, slot + 3, 8);
        if (!VKO_AESGCMDecrypt(link->cipher[kCipherThread], nonce, slot + BUD_RECORD_HEADER, m.len, slot + 13,
                               rec + BUD_RECORD_HEADER))
            return;
        plain = rec + BUD_RECORD_HEADER;
    }
    if (bud_seal(link, kCipherThread, plain, m.len, rec) < 0) return;
    b.used += rec_len;
    batch_push(link, b, rec, rec_len);
}

struct Gap {
    bool has;
    uint32_t seq;
};

// The smallest round trip seen lately: the path's own, without queues.
void note_min_rtt(BUD *link, uint64_t sample_us, uint64_t now) {
    uint32_t us = static_cast<uint32_t>(std::clamp<uint64_t>(sample_us, 1, 60000000));
    if (link->min_rtt_us == 0 || us <= link->min_rtt_us || now - link->min_rtt_time > kMinRttKeepUs) {
        link->min_rtt_us = us;
        link->min_rtt_time = now;
    }
}

// Ends a delivery-rate sample once it spans a round trip, and sets the window
// from the estimate. A sample in which nothing waited for room shows only what
// the application offered: it may raise the estimate, never lower it.
void path_sample(BUD *link, uint64_t now, bool pressed) {
    link->sample_pressed |= pressed;
    uint64_t span = now - link->sample_start;
    if (span < std::max<uint64_t>(link->min_rtt_us, kSampleMinUs)) return;
    double r = static_cast<double>(link->delivered - link->sample_delivered) / static_cast<double>(span);
    if (link->sample_pressed || r > link->rate) {
        link->rates[link->rate_next++ % kRateSamples] = r;
        link->rate = *std::max_element(link->rates, link->rates + kRateSamples);
    }
    link->sample_start = now;
    link->sample_delivered = link->delivered;
    link->sample_pressed = false;
    double bdp = link->rate * link->min_rtt_us;
    link->window.store(static_cast<uint32_t>(std::clamp(1.5 * bdp, static_cast<double>(link->burst),
                                                        static_cast<double>(kWindowMax))),
                       std::memory_order_relaxed);
}

// Datagrams the link thread may send this turn: what the window leaves, paced
// at twice the delivery rate.
uint32_t turn_room(BUD *link, uint64_t now, uint32_t in_flight) {
    uint32_t w = link->window.load(std::memory_order_relaxed);
    uint32_t room = in_flight < w ? w - in_flight : 0;
    uint64_t elapsed = now - link->token_time;
    link->token_time = now;
    if (link->rate <= 0) {
        link->tokens = 0;
        return room;
    }
    // Twice the rate: the window, not the pace, keeps the path's queue at half a
    // round trip's worth at most; the pace only spreads bursts.
    const double gain = 2.0;
    double cap = std::max(static_cast<double>(kGsoCount), link->rate * gain * 2000.0);
    link->tokens = std::clamp(link->tokens + link->rate * gain * static_cast<double>(elapsed), 0.0, cap);
    return std::min(room, static_cast<uint32_t>(link->tokens));
}

// Splits a turn's room: the control stream first, but while other streams have
// deferred fragments it takes at most half of the room (the odd datagram every
// other turn), so a control backlog never starves them. The rest goes in equal
// shares to the other streams with deferred fragments; a share one cannot use
// goes to the others, then back to the control stream, and who gets the
// remainder first rotates.
void share_room(BUD *link, uint32_t room, uint32_t share[BUD_STREAMS]) {
    uint32_t want[BUD_STREAMS];
    uint32_t others = 0;
    for (uint32_t i = 0; i < BUD_STREAMS; i++) {
        want[i] = link->streams[i].deferred.load();
        share[i] = 0;
        if (i > 0) others += want[i];
    }
    uint32_t first = others == 0 ? room : (room + (link->rotate & 1)) / 2;
    share[0] = std::min(want[0], first);
    room -= share[0];
    while (room > 0) {
        uint32_t n = 0;
        for (uint32_t i = 1; i < BUD_STREAMS; i++) n += share[i] < want[i];
        if (n == 0) break;
        uint32_t each = std::max(room / n, 1u);
        for (uint32_t k = 0; k + 1 < BUD_STREAMS && room > 0; k++) {
            uint32_t i = 1 + (link->rotate + k) % (BUD_STREAMS - 1);
            uint32_t give = std::min({each, want[i] - share[i], room});
            share[i] += give;
            room -= give;
        }
    }
    uint32_t back = std::min(want[0] - share[0], room);
    share[0] += back;
    link->rotate++;
}

// A whole walk starts at the acknowledged base; between whole walks (a gap
// report or a millisecond brings the next) a turn only sends deferred
// fragments, which are the newest, so it starts at the first of them and leaves
// the published pending and late counts as the last walk found them.
// Answers true when the pass sent deferred fragments until the pending limit
// stopped it, with more of them and room left: the next turn should come at
// once rather than after a wait.
bool bud_retransmit(BUD *link, uint32_t si, const Gap &gap, uint64_t now, uint32_t &room, bool whole) {
    Stream &s = link->streams[si];
    uint32_t acked = s.acknowledged.load();
    uint32_t next = s.next.load(std::memory_order_acquire);
    if (seq_diff(next, acked) <= 0) {
        s.pending.store(0);
        s.late.store(0);
        s.walk_pending = 0;
        return false;
    }
    double rtt = link->rtt_us.load(std::memory_order_relaxed) / 1000.0;
    const CongestionRow &row = kCongestion[link->cg_level.load(std::memory_order_relaxed)];
    uint32_t pending = 0, late = 0, sent_deferred = 0, sent_bytes = 0, resent = 0;
    uint32_t from = acked;
    if (!whole) {
        uint32_t first = next - s.deferred.load();
        if (seq_diff(first, acked) > 0) from = first;
        pending = s.walk_pending;
    }
    for (uint32_t seq = from; seq_diff(next, seq) > 0 && pending < kPendingLimit; seq++) {
        uint32_t idx = seq % BUD_WINDOW;
        SendMeta &m = s.smeta[idx];
        if (load(m.state) != 1 || m.seq != seq) continue;
        if (m.deferred) {
            if (room == 0) {
                // No room at the peer: this and every later slot stay deferred (and late).
                late += s.deferred.load() - sent_deferred;
                break;
            }
            room--;
            m.deferred = 0;
            sent_deferred++;
            m.first_send = now;
            m.last_send = now;
            pending++;
            send_slot(link, s, m, idx, now, true);
            sent_bytes += m.len;
            if (!whole) continue;
        } else if (!whole) {
            continue;
        } else if (gap.has && seq_diff(gap.seq, seq) > 0 && !m.fast) {
            m.fast = 1;
            s.fast_rts.fetch_add(1, std::memory_order_relaxed);
            send_slot(link, s, m, idx, now, false);
        } else {
            double rto = std::clamp(2.0 * (m.retries + 1) * rtt, 50.0, 1000.0) + 30.0;
            if (static_cast<double>(now - m.last_send) / 1000.0 > rto) {
                m.retries++;
                s.slow_rts.fetch_add(1, std::memory_order_relaxed);
                send_slot(link, s, m, idx, now, false);
            }
        }
        if (m.fast || m.retries > 0) {
            pending++;
            resent++;
        }
        double since = static_cast<double>(now - m.last_send) / 1000.0;
        if (since > row.a * rtt + row.b || rtt > row.a * (m.rtt_first_us / 1000.0) + row.b || m.retries > 0 ||
            m.fast)
            late++;
    }
    batch_flush(link, link->batch);
    // Only now may the sender send directly again: its next fragments must not
    // overtake these.
    if (sent_deferred) {
        s.bytes_sent.fetch_add(sent_bytes, std::memory_order_relaxed);
        s.packets_sent.fetch_add(sent_deferred, std::memory_order_relaxed);
        s.deferred.fetch_sub(sent_deferred);
    }
    bool again = sent_deferred > 0 && pending >= kPendingLimit && room > 0 && s.deferred.load() != 0;
    if (!whole) return again;
    s.walk_pending = resent;
    s.pending.store(pending);
    s.late.store(late);
    return again;
}

// Handles one decrypted, validated ack or keep-alive.
void handle_ack(BUD *link, const uint8_t *p, Gap gaps[BUD_STREAMS], uint64_t now) {
    uint8_t flags = p[1];
    uint8_t si = p[2];
    uint32_t seq = get32(p + 3);
    if (flags & BUD_FLAG_ACK) {
        Stream &s = link->streams[si];
        uint32_t next = s.next.load(std::memory_order_acquire);
        // Only a sequence already handed out, still in the window, names a slot.
        if (seq_diff(seq, s.peer_acked) >= 0 && seq_diff(next, seq) > 0) {
            SendMeta &m = s.smeta[seq % BUD_WINDOW];
            // A deferred slot never left: an ack naming it is a lie and frees nothing.
            if (load(m.state) == 1 && m.seq == seq && !m.deferred) {
                uint64_t sample_us = now - m.first_send;
                double rtt = 0.9 * link->rtt_us.load(std::memory_order_relaxed) + 0.1 * sample_us;
                link->rtt_us.store(static_cast<uint32_t>(std::min(rtt, 4.0e9)), std::memory_order_relaxed);
                note_min_rtt(link, sample_us, now);
                store(m.state, 0);
                link->delivered++;
            }
        }
        if (flags & BUD_FLAG_GAP) {
            Gap &g = gaps[si];
            uint32_t gseq = seq_diff(seq, next) > 0 ? next : seq;
            if (!g.has || seq_diff(gseq, g.seq) > 0) g = {true, gseq};
        }
    }
    for (uint32_t i = 0; i < BUD_STREAMS; i++) {
        Stream &s = link->streams[i];
        uint32_t base = get32(p + 7 + 4 * i);
        // Never past what was handed out: an ack can overtake the sender's own
        // advance of next, and a position beyond it would wrap the in-flight count.
        uint32_t next = s.next.load(std::memory_order_acquire);
        if (seq_diff(base, next) > 0) base = next;
        if (seq_diff(base, s.peer_acked) > 0) {
            // Free what the base passes. Deferred slots never left; a base past
            // them (only a peer that lies sends one) must not leave them
            // counted as waiting forever.
            uint32_t unsent = 0;
            for (uint32_t seq = s.peer_acked; seq != base; seq++) {
                SendMeta &m = s.smeta[seq % BUD_WINDOW];
                if (load(m.state) != 1 || m.seq != seq) continue;
                if (m.deferred) {
                    m.deferred = 0;
                    unsent++;
                } else {
                    link->delivered++;
                }
                store(m.state, 0);
            }
            if (unsent) s.deferred.fetch_sub(unsent);
            s.peer_acked = base;
            s.acknowledged.store(base);
            s.limit.store(base + BUD_WINDOW);
            wake(s.shalf, base + BUD_WINDOW);
        }
    }
}

// Data fragments that call for an ack at once: half of what the sockets queue
// at once (the peer's is taken to be like ours), at least kAckEvery, so a
// sender with a large budget hears back twice per budget and no more: every
// ack is a datagram and a wake-up at both ends.
uint32_t ack_every(const BUD *link) {
    return std::max(kAckEvery, link->burst / 2);
}

// Where the payload of a data fragment goes when a reader lent its buffer for
// the message the fragment belongs to: its place there, claimed (lent = 2) for
// this fragment, with `lender` set. nullptr, with nothing claimed, for anything
// else: another stream or message, a fragment already here, or one not cut as a
// sender cuts them (every one but the last full), whose place is unknown.
uint8_t *lend_target(BUD *link, const uint8_t *h, uint32_t plen, Stream *&lender) {
    if (h[0] != 1 || (h[1] & 0x0B) != 0x01 || h[2] >= BUD_STREAMS) return nullptr;
    Stream &s = link->streams[h[2]];
    uint32_t one = 1;
    if (s.lent.load(std::memory_order_relaxed) != 1 ||
        !s.lent.compare_exchange_strong(one, 2, std::memory_order_acquire))
        return nullptr;
    uint32_t seq = get32(h + 3);
    uint32_t k = seq - s.lend_first;  // the fragment's index in the message; the first is already here
    if (k != 0 && k < s.lend_count && seq_diff(seq, s.rx_base) >= 0 &&
        load(s.rmeta[seq % BUD_WINDOW].state) == 0) {
        uint32_t off = k * BUD_FRAGMENT_SIZE - 4;
        if (plen == (k + 1 == s.lend_count ? s.lend_total - off : BUD_FRAGMENT_SIZE)) {
            lender = &s;
            return s.lend_buf + off;
        }
    }
    s.lent.store(1, std::memory_order_release);
    return nullptr;
}

// p holds the header and, unless the payload went into a lent buffer, the payload.
void handle_data(BUD *link, const uint8_t *p, uint32_t len, uint64_t now, bool lent) {
    uint8_t flags = p[1];
    uint8_t si = p[2];
    uint32_t seq = get32(p + 3);
    Stream &s = link->streams[si];
    uint32_t plen = len - BUD_HEADER_SIZE;
    uint32_t idx = seq % BUD_WINDOW;
    RecvMeta &m = s.rmeta[idx];
    uint32_t read = s.read.load(std::memory_order_acquire);
    if (seq_diff(seq, s.rx_base) < 0 || load(m.state) != 0) {
        s.duplicates.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (static_cast<uint32_t>(seq - read) >= BUD_WINDOW) {
        // The reader has not freed this slot's previous sequence yet; the sender
        // will send this one again once the window moved.
        link->dropped_window.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (!lent) {
        // p is the spare buffer: it becomes the slot's, and the slot's (free) buffer the spare.
        link->spare = m.buf;
        m.buf = const_cast<uint8_t *>(p);
    }
    m.lent = lent;
    if (lent)
        s.in_place.store(s.in_place.load(std::memory_order_relaxed) + 1,
                         std::memory_order_relaxed);  // ours alone
    m.len = plen;
    m.seq = seq;
    m.last = (flags & BUD_FLAG_LAST) != 0;
    store(m.state, 1);
    if (seq_diff(seq + 1, s.highest) > 0) s.highest = seq + 1;
    if (seq == s.rx_base) {
        uint32_t base = s.rx_base;
        while (true) {
            RecvMeta &b = s.rmeta[base % BUD_WINDOW];
            if (load(b.state) != 1 || b.seq != base) break;
            base++;
        }
        s.rx_base = base;
        s.complete.store(base);
        wake(s.rhalf, base);
    }
    // A locked store per fragment costs more than the look before it.
    if (link->acks_up_to_date.load(std::memory_order_relaxed)) link->acks_up_to_date.store(0);
    link->unacked++;
    if (seq_diff(seq, s.rx_base + 2) > 0)
        bud_send_ack(link, BUD_FLAG_ACK | BUD_FLAG_GAP, si, seq, now);
    else if (flags & BUD_FLAG_LAST)
        bud_send_ack(link, BUD_FLAG_ACK, si, seq, now);
    else if (now - link->last_ack >= kAckCoalesceUs || link->unacked >= ack_every(link))
        bud_send_ack(link, BUD_FLAG_ACK, si, seq, now);
}

// Handles one received datagram. 0 for a good record, 2000 for STUN, else the drop reason.
int32_t bud_recv_datagram(BUD *link, const uint8_t *d, uint32_t len, Gap gaps[BUD_STREAMS], uint64_t now) {
    if (stun_is_stun(d, len)) {
        if (d[0] == 0 && stun_check_request(d, len, link->ice_pwd))
            stun_send_success(link->sock, d, len, &link->remote, link->local.family ? &link->local : nullptr,
                              link->ice_pwd);
        return BUD_TIMEOUT;
    }
    if (len < BUD_RECORD_HEADER) return BUD_ERR_LENGTH;
    uint32_t clen = len - BUD_RECORD_HEADER;
    if (clen > BUD_MAX_PLAINTEXT) return BUD_ERR_LENGTH;
    // A record with our own direction bit is our own datagram reflected back.
    if ((get64(d + 3) & BUD_COUNTER_ACCEPTOR) == link->direction) {
        link->dropped_auth.fetch_add(1, std::memory_order_relaxed);
        return BUD_ERR_DECRYPT;
    }
    uint8_t nonce[12];
    std::memcpy(nonce, link->salt, 4);
    std::memcpy(nonce + 4, d + 3, 8);
    // The first block first (the header and the payload's first bytes; a whole
    // block keeps the rest on block bounds, where it opens fastest): a fragment
    // of a message whose reader lent its buffer is opened straight into its
    // place there.
    uint8_t *p = link->spare;
    VKO_AESGCM *c = link->cipher[kCipherDecrypt];
    const uint32_t head = std::min<uint32_t>(clen, kOpenHead);
    Stream *lender = nullptr;
    uint8_t *place = nullptr;
    bool opened = VKO_AESGCMDecryptHead(c, nonce, d + BUD_RECORD_HEADER, head, p);
    if (opened && clen > kOpenHead) place = lend_target(link, p, clen - BUD_HEADER_SIZE, lender);
    uint8_t *rest = place ? place + (kOpenHead - BUD_HEADER_SIZE) : p + head;
    opened =
        opened && VKO_AESGCMDecryptRest(c, d + BUD_RECORD_HEADER + head, clen - head, d + 13, rest, p, head);
    if (!opened) {
        if (lender) lender->lent.store(1, std::memory_order_release);
        link->dropped_auth.fetch_add(1, std::memory_order_relaxed);
        return BUD_ERR_DECRYPT;
    }
    if (place) std::memcpy(place, p + BUD_HEADER_SIZE, kOpenHead - BUD_HEADER_SIZE);  // authenticated now
    uint8_t flags = clen >= BUD_HEADER_SIZE ? p[1] : 0;
    uint8_t low = flags & 0x0B;
    bool ok = clen >= BUD_HEADER_SIZE && p[0] == 1 && p[2] < BUD_STREAMS && get32(p + 3) != 0xFFFFFFFFu &&
              (flags & 0xC4) == 0 && (low == 0x01 || low == 0x02 || low == 0x08) &&
              (!(flags & BUD_FLAG_GAP) || low == 0x02) && (!(flags & BUD_FLAG_LAST) || low == 0x01);
    if (ok && low != 0x01 && clen < BUD_ACK_SIZE) ok = false;  // an ack must carry its five bases
    if (!ok) {
        if (lender) lender->lent.store(1, std::memory_order_release);
        link->dropped_malformed.fetch_add(1, std::memory_order_relaxed);
        return BUD_ERR_MALFORMED;
    }
    if (low == 0x01) {
        handle_data(link, p, clen, now, lender != nullptr);
        // Stored: only now may the reader take its buffer back.
        if (lender) lender->lent.store(1, std::memory_order_release);
    } else {
        handle_ack(link, p, gaps, now);
    }
    return 0;
}

void bud_thread(BUD *link) {
    bool again = false;  // the last turn left room and deferred fragments behind
    while (link->state.load() == 0) {
        link->turns.fetch_add(1, std::memory_order_relaxed);
        Gap gaps[BUD_STREAMS] = {};
        bool good = false;
        int32_t result = BUD_TIMEOUT;
        // Several datagrams per system call, and the kernel may hand over a run of
        // equal-sized ones from one sender as one buffer (receive offload); the
        // pass below then runs once for all of them.
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        alignas(cmsghdr) uint8_t ctl[kBatch][CMSG_SPACE(sizeof(int))];
        for (uint32_t i = 0; i < kBatch; i++) {
            iov[i] = {link->rxbuf + static_cast<size_t>(i) * kRxSize, kRxSize};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = ctl[i];
            msgs[i].msg_hdr.msg_controllen = sizeof ctl[i];
        }
        // A busy link reads at once; it waits (up to 30 ms, or 1 ms while
        // fragments are deferred) only when nothing is there.
        int n = recvmmsg(link->sock, msgs, kBatch, MSG_DONTWAIT, nullptr);
        int err = n < 0 ? errno : 0;
        if (err == EAGAIN && !again) {
            pollfd pfd{link->sock, POLLIN, 0};
            bool waiting = false;
            for (Stream &st : link->streams) waiting |= st.deferred.load() != 0;
            if (poll(&pfd, 1, waiting ? 1 : static_cast<int>(kPollMs)) > 0) {
                n = recvmmsg(link->sock, msgs, kBatch, MSG_DONTWAIT, nullptr);
                err = n < 0 ? errno : 0;
            }
        }
        if (n > 0 || (err != 0 && err != EAGAIN && err != EINTR)) {
            uint64_t rx_now = now_us(link);  // one reading serves the whole batch
            if (n < 0) result = NET_ERROR_BASE - network_error_code(err);
            for (int i = 0; i < n; i++) {
                const uint8_t *d = static_cast<const uint8_t *>(iov[i].iov_base);
                uint32_t len = msgs[i].msg_len, seg = len;
                for (cmsghdr *cm = CMSG_FIRSTHDR(&msgs[i].msg_hdr); cm;
                     cm = CMSG_NXTHDR(&msgs[i].msg_hdr, cm)) {
                    if (cm->cmsg_level == SOL_UDP && cm->cmsg_type == UDP_GRO) {
                        int g = 0;
                        std::memcpy(&g, CMSG_DATA(cm), sizeof g);
                        if (g > 0) seg = static_cast<uint32_t>(g);
                    }
                }
                for (uint32_t off = 0; off < len; off += seg) {
                    int32_t r = bud_recv_datagram(link, d + off, std::min(seg, len - off), gaps, rx_now);
                    if (r == 0) {
                        good = true;
                    } else {
                        result = r;
                    }
                }
            }
            if (good) link->last_received.store(rx_now);
        }
        uint64_t now = now_us(link);
        if (now - link->last_ack >= kKeepAliveUs) bud_send_ack(link, BUD_FLAG_KEEPALIVE, 0, 0, now);
        // A whole walk passes every slot in flight; timers have tens of ms of grain,
        // so between gap reports once a millisecond is enough, and the turns in
        // between only send deferred fragments.
        uint32_t room = turn_room(link, now, sent_in_flight(link));
        uint32_t share[BUD_STREAMS];
        share_room(link, room, share);
        bool pressed = false;
        again = false;
        for (uint32_t i = 0; i < BUD_STREAMS; i++) {
            Stream &st = link->streams[i];
            bool whole = gaps[i].has || now - st.last_pass >= kPassIntervalUs;
            if (whole || st.deferred.load() != 0) {
                if (whole) st.last_pass = now;
                uint32_t left = share[i];
                again |= bud_retransmit(link, i, gaps[i], now, left, whole);
                link->tokens -= static_cast<double>(share[i] - left);
            }
            pressed |= st.deferred.load() != 0;
        }
        path_sample(link, now, pressed);
        if (!good) {
            uint64_t silent = now - link->last_received.load();
            if (silent >= kSilentUs) {
                int32_t expected = 0;
                link->state.compare_exchange_strong(expected,
                                                    silent >= kDeadUs ? BUD_ERR_DEAD : BUD_ERR_SILENT);
                wake_all(link);
            }
            if (result != BUD_TIMEOUT) log_limited(link, "bud_thread", __LINE__, result);
        }
    }
}

void free_link(BUD *link) {
    for (Stream &s : link->streams) {
        std::free(s.rdata);
        std::free(s.rmeta);
        std::free(s.sdata);
        std::free(s.smeta);
    }
    std::free(link->batch.buf);
    for (VKO_AESGCM *&c : link->cipher) VKO_AESGCMDestroy(&c);
    std::free(link->rxbuf);
    std::free(link->spare_block);
    delete link;
}

}  // namespace

int32_t bud_create(BUD **out, int sock, const sockaddr_in6 *remote, const PacketInfo *local, const char *key,
                   uint8_t aes256, uint8_t accepted, const char *ice_pwd, uint32_t congestion_level) {
    *out = nullptr;
    size_t key_bytes = aes256 ? 32 : 16;
    size_t need = (key_bytes + 4) * 2;
    if (!key || strnlen(key, need) < need) return BUD_ERR_KEY_SHORT;
    uint8_t material[36];
    if (!parse_hex(key, material, key_bytes + 4)) return BUD_ERR_KEY_SHORT;

    BUD *link = new (std::nothrow) BUD();
    if (!link) return BUD_ERR_CIPHER;
    std::snprintf(link->ice_pwd, sizeof link->ice_pwd, "%s", ice_pwd ? ice_pwd : "");
    std::memcpy(link->salt, material + key_bytes, 4);
    for (VKO_AESGCM *&c : link->cipher) {
        c = VKO_AESGCMCreate(material, key_bytes);
        if (!c) {
            std::memset(material, 0, sizeof material);
            free_link(link);
            return BUD_ERR_CIPHER;
        }
    }
    std::memset(material, 0, sizeof material);
    link->direction = accepted ? BUD_COUNTER_ACCEPTOR : 0;
    link->remote = *remote;
    if (local)
        link->local = *local;
    else
        std::memset(&link->local, 0, sizeof link->local);
    link->sock = sock;
    link->cg_level.store(std::min<uint32_t>(congestion_level, 2));
    // The peer's socket is set up like ours; keep what we have in flight within
    // what it can queue, or a fast sender overruns it and waits on timers.
    int rcvbuf = 0;
    socklen_t optlen = sizeof rcvbuf;
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &optlen) != 0 || rcvbuf <= 0) rcvbuf = 212992;
    link->burst = std::clamp<uint32_t>(static_cast<uint32_t>(rcvbuf) / 4 * 3 / kTruesize, 64, kBurstMax);
    link->window.store(link->burst);
    // Pages are only committed when a slot is first touched.
    for (Stream &s : link->streams) {
        s.rdata = static_cast<uint8_t *>(std::calloc(BUD_WINDOW, BUD_SLOT_SIZE));
        s.rmeta = static_cast<RecvMeta *>(std::calloc(BUD_WINDOW, sizeof(RecvMeta)));
        s.sdata = static_cast<uint8_t *>(std::calloc(BUD_WINDOW, kSlotStride));
        s.smeta = static_cast<SendMeta *>(std::calloc(BUD_WINDOW, sizeof(SendMeta)));
        if (!s.rdata || !s.rmeta || !s.sdata || !s.smeta) {
            free_link(link);
            return BUD_ERR_CIPHER;
        }
        for (uint32_t i = 0; i < BUD_WINDOW; i++)
            s.rmeta[i].buf = s.rdata + static_cast<size_t>(i) * BUD_SLOT_SIZE;
    }
    link->rxbuf = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(kBatch) * kRxSize));
    link->spare = link->spare_block = static_cast<uint8_t *>(std::malloc(BUD_SLOT_SIZE));
    link->batch.buf = static_cast<uint8_t *>(std::malloc(kGsoCount * kRecordMax));
    if (!link->rxbuf || !link->spare || !link->batch.buf) {
        free_link(link);
        return BUD_ERR_CIPHER;
    }
    // Only once the link owns the socket: its previous reader cannot split coalesced runs.
    int on = 1;
    setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on);  // a kernel without it delivers one by one
    uint64_t now = now_us(link);
    link->last_received.store(now);
    link->last_ack = now;
    link->sample_start = link->token_time = now;
    for (Stream &s : link->streams) s.sample_time = now;
    VKO_Log("bud_create", "%-14s = %s", "BUD AES_GCM", aes256 ? "256" : "128");
    link->thread = std::thread(bud_thread, link);
    *out = link;
    return 0;
}

namespace {

// Counts a thread inside the link's functions for as long as it is there.
class Caller {
   public:
    explicit Caller(BUD *link) : link_(link) { link->callers_in.fetch_add(1); }
    ~Caller() {
        std::lock_guard<std::mutex> lock(link_->gate);
        if (link_->callers_in.fetch_sub(1) == 1) link_->gate_cond.notify_all();
    }
    Caller(const Caller &) = delete;
    Caller &operator=(const Caller &) = delete;

   private:
    BUD *link_;
};

// A stream's send turn, held for one whole bud_send; result is 0 once taken,
// else 2000 or the link's state.
struct Turn {
    Stream &s;
    int32_t result = 0;
    Turn(BUD *link, Stream &stream, uint32_t timeout_ms) : s(stream) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        std::unique_lock<std::mutex> lock(s.shalf.mutex);
        while (s.sending && result == 0) {
            result = link->state.load();
            if (result == 0 &&
                (timeout_ms == 0 ||
                 (s.shalf.cond.wait_until(lock, deadline) == std::cv_status::timeout && s.sending)))
                result = BUD_TIMEOUT;
        }
        if (result == 0) result = link->state.load();
        if (result == 0) s.sending = true;
    }
    ~Turn() {
        if (result != 0) return;
        std::lock_guard<std::mutex> lock(s.shalf.mutex);
        s.sending = false;
        s.shalf.cond.notify_all();
    }
    Turn(const Turn &) = delete;
    Turn &operator=(const Turn &) = delete;
};

// Makes the fragments [from, upto) visible to the link thread as in flight, then
// sends the sender's batch. In that order an ack can never name a fragment the
// link thread does not know yet. next moves once for all of them: it shares its
// cache line with what the link thread reads every turn.
void publish(Stream &s, BUD *link, uint32_t &from, uint32_t upto) {
    if (from == upto) return;
    for (uint32_t seq = from; seq != upto; seq++) store(s.smeta[seq % BUD_WINDOW].state, 1);
    s.next.store(upto, std::memory_order_release);
    from = upto;
    uint32_t bytes = s.batch.bytes - s.batch.count * BUD_RECORD_HEADER;
    uint32_t count = s.batch.count;
    if (batch_flush(link, s.batch) == 0 && count > 0) {
        s.bytes_sent.fetch_add(bytes, std::memory_order_relaxed);
        s.packets_sent.fetch_add(count, std::memory_order_relaxed);
        s.direct_sent.fetch_add(count, std::memory_order_relaxed);
    }
}

// The plain text of a fragment, after the room for the record header.
void put_plain(uint8_t *slot, const VKO_AESGCMPiece (&pieces)[3]) {
    uint8_t *p = slot + BUD_RECORD_HEADER;
    for (const VKO_AESGCMPiece &piece : pieces) {
        if (piece.size) std::memcpy(p, piece.data, piece.size);
        p += piece.size;
    }
}

// Hands the held-back fragments [from, upto) to the link thread: deferred first,
// then next, so next - deferred never passes a fragment that was not sent.
void defer(Stream &s, uint32_t &from, uint32_t upto) {
    if (from == upto) return;
    s.deferred.fetch_add(upto - from);
    s.next.store(upto, std::memory_order_release);
    from = upto;
}

// How many more fragments the sender may send itself, looked at once per batch:
// none while the link thread holds fragments back or has many to resend, else
// what the in-flight budget leaves.
uint32_t direct_room(BUD *link, Stream &s, uint32_t budget, uint32_t batched) {
    if (s.pending.load() >= kPendingLimit || s.deferred.load() != 0) return 0;
    uint32_t used = sent_in_flight(link) + batched;
    return used < budget ? budget - used : 0;
}

// Ends a loan of the reader's buffer: waits out a fragment the link thread is
// writing into it, then, when the reader leaves without the message, puts the
// payloads that went into the buffer back into their slots, since the caller
// may reuse it.
void take_back(Stream &s, uint32_t read, uint32_t F, const uint8_t *out, bool restore) {
    uint32_t one = 1;
    while (!s.lent.compare_exchange_weak(one, 0, std::memory_order_acquire)) {
        one = 1;
        std::this_thread::yield();
    }
    if (!restore) return;
    for (uint32_t k = 1; k < F; k++) {
        RecvMeta &m = s.rmeta[(read + k) % BUD_WINDOW];
        if (load(m.state) == 1 && m.seq == read + k && m.lent) {
            std::memcpy(m.buf + BUD_HEADER_SIZE, out + k * BUD_FRAGMENT_SIZE - 4, m.len);
            m.lent = 0;
        }
    }
}

}  // namespace

int32_t bud_send(void *ctx, uint8_t stream, const void *prefix, uint8_t prefix_len, const void *data,
                 uint32_t length, uint32_t timeout_ms) {
    BUD *link = static_cast<BUD *>(ctx);
    Caller in(link);
    int32_t st = link->state.load();
    if (st != 0) return st;
    if (stream >= BUD_STREAMS) return BUD_ERR_MALFORMED;
    if (!prefix) prefix_len = 0;
    if (!data) length = 0;
    uint64_t total = static_cast<uint64_t>(prefix_len) + length;
    if (total > BUD_MAX_MESSAGE) return BUD_ERR_LENGTH;
    uint32_t T = static_cast<uint32_t>(total);
    uint32_t F = (T + 4 + BUD_FRAGMENT_SIZE - 1) / BUD_FRAGMENT_SIZE;
    Stream &s = link->streams[stream];
    // One sender per stream is the contract; a second one waits for its turn,
    // so the stream's cipher context never seals two records at once.
    Turn turn(link, s, timeout_ms);
    if (turn.result != 0) return turn.result;
    uint32_t next = s.next.load();
    int32_t r = bud_wait_window(link, s.shalf, s.limit, next + F, timeout_ms);
    if (r != 0 || !data || T == 0) return r;

    const uint8_t *pre = static_cast<const uint8_t *>(prefix);
    const uint8_t *dat = static_cast<const uint8_t *>(data);
    uint32_t pre_off = 0, dat_off = 0;
    uint32_t published = next;  // fragments below were handed to the link thread's view
    const uint64_t now = now_us(link);
    const uint32_t rtt_now = link->rtt_us.load(std::memory_order_relaxed);
    // Control and audio are small and in a hurry: they may go past a budget
    // that video filled, up to twice it.
    const uint32_t budget = (stream == 0 || stream == 2) ? 2 * link->burst : link->burst;
    uint32_t direct = 0;   // fragments the sender may still send itself
    bool holding = false;  // fragments from published on are held back for the link thread
    for (uint32_t f = 0; f < F; f++) {
        uint32_t seq = next + f;
        uint32_t idx = seq % BUD_WINDOW;
        uint8_t *slot = s.sdata + static_cast<size_t>(idx) * kSlotStride;
        SendMeta &m = s.smeta[idx];
        uint8_t head[BUD_HEADER_SIZE + 4];
        head[0] = 1;
        head[1] = f + 1 == F ? (BUD_FLAG_MORE | BUD_FLAG_LAST) : BUD_FLAG_MORE;
        head[2] = stream;
        put32(head + 3, seq);
        VKO_AESGCMPiece pieces[3];
        uint32_t room = BUD_FRAGMENT_SIZE, pos = BUD_HEADER_SIZE;
        if (f == 0) {
            put32(head + pos, T);
            pos += 4;
            room -= 4;
        }
        pieces[0] = {head, pos};
        uint32_t take = std::min<uint32_t>(room, prefix_len - pre_off);
        pieces[1] = {pre + pre_off, take};
        pre_off += take;
        pos += take;
        room -= take;
        take = std::min<uint32_t>(room, length - dat_off);
        pieces[2] = {dat + dat_off, take};
        dat_off += take;
        pos += take;
        m.seq = seq;
        m.len = pos;
        m.first_send = m.last_send = now;
        m.rtt_first_us = rtt_now;
        m.retries = 0;
        m.fast = 0;
        // While earlier fragments wait for the link thread, later ones wait too,
        // so that they never overtake them and look like a gap.
        Batch &b = s.batch;
        uint32_t rec_len = BUD_RECORD_HEADER + pos;
        if (!holding) {
            if (batch_full(b, rec_len)) publish(s, link, published, seq);
            if (b.count == 0) direct = direct_room(link, s, budget, 0);
            if (direct > 0) {
                direct--;
                m.deferred = 0;
                // Sealed straight from the caller's buffers into the slot and
                // sent from there while it is still in this core's cache.
                m.plain = bud_seal_pieces(link, kCipherStream0 + stream, pieces, 3, pos, slot) < 0;
                if (m.plain)
                    put_plain(slot, pieces);  // the link thread's resend meets the failure itself
                else
                    batch_append(b, slot, rec_len);
                if (b.count > 0 && rec_len < b.segment) publish(s, link, published, seq + 1);
                continue;
            }
            publish(s, link, published, seq);
            holding = true;
        }
        // Held back: sealed into the slot all the same, so the caller's data is
        // read once and never copied plain; the link thread sends the record as
        // it lies when there is room. Counters then reach the wire out of
        // order, which the peer never looks at.
        m.plain = bud_seal_pieces(link, kCipherStream0 + stream, pieces, 3, pos, slot) < 0;
        if (m.plain) put_plain(slot, pieces);
        m.deferred = 1;
        store(m.state, 1);
        // The link thread learns of them a batch at a time.
        if (seq + 1 - published >= kGsoCount) defer(s, published, seq + 1);
    }
    if (holding)
        defer(s, published, next + F);
    else
        publish(s, link, published, next + F);
    return 0;
}

int32_t bud_recv(void *ctx, uint8_t stream, void *buf, uint32_t capacity, uint32_t *length,
                 uint32_t timeout_ms) {
    BUD *link = static_cast<BUD *>(ctx);
    Caller in(link);
    if (stream >= BUD_STREAMS) return BUD_ERR_MALFORMED;
    Stream &s = link->streams[stream];
    uint8_t *out = static_cast<uint8_t *>(buf);
    while (true) {
        int32_t st = link->state.load();
        if (st != 0) return st;
        uint32_t read = s.read.load();
        int32_t r = bud_wait_window(link, s.rhalf, s.complete, read + 1, timeout_ms);
        if (r != 0) return r;
        const RecvMeta &first = s.rmeta[read % BUD_WINDOW];
        const uint8_t *fdata = first.buf + BUD_HEADER_SIZE;
        uint64_t T = first.len >= 4 ? get32(fdata) : 0;
        uint64_t F = (T + 4 + BUD_FRAGMENT_SIZE - 1) / BUD_FRAGMENT_SIZE;
        bool sane = first.len >= 4 && F <= BUD_WINDOW;
        if (sane) {
            if (length) *length = static_cast<uint32_t>(T);
            if (T > capacity) return BUD_ERR_BUFFER;
            // While the rest is on its way, the link thread may open it straight into out.
            const bool lend = F > 1 && seq_diff(s.complete.load(), read + static_cast<uint32_t>(F)) < 0;
            if (lend) {
                s.lend_buf = out;
                s.lend_first = read;
                s.lend_count = static_cast<uint32_t>(F);
                s.lend_total = static_cast<uint32_t>(T);
                s.lent.store(1, std::memory_order_release);
            }
            r = bud_wait_window(link, s.rhalf, s.complete, read + static_cast<uint32_t>(F), timeout_ms);
            if (lend) take_back(s, read, static_cast<uint32_t>(F), out, r != 0);
            if (r != 0) return r;
            // The fragments must add up to the announced length and end on the
            // message's last fragment; anything else never reaches the reader.
            uint64_t sum = 0;
            for (uint32_t i = 0; i < F; i++) {
                const RecvMeta &m = s.rmeta[(read + i) % BUD_WINDOW];
                sum += m.len;
                // Every fragment but the last is full, as a sender cuts them.
                if (m.last != (i + 1 == F) || m.len > BUD_FRAGMENT_SIZE ||
                    (i + 1 < F && m.len != BUD_FRAGMENT_SIZE))
                    sane = false;
            }
            if (sum != T + 4) sane = false;
        }
        if (!sane) {
            // Skip to the end of this message: its fragments up to the next one marked last.
            uint32_t pos = read;
            uint32_t complete = s.complete.load();
            bool end = false;
            while (pos != complete && !end) {
                RecvMeta &m = s.rmeta[pos % BUD_WINDOW];
                end = m.last;
                store(m.state, 0);
                pos++;
            }
            s.read.store(pos);
            link->dropped_messages.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        uint32_t copied = 0;
        for (uint32_t i = 0; i < F; i++) {
            RecvMeta &m = s.rmeta[(read + i) % BUD_WINDOW];
            const uint8_t *src = m.buf + BUD_HEADER_SIZE;
            uint32_t n = m.len;
            if (i == 0) {
                src += 4;
                n -= 4;
            }
            if (!m.lent) std::memcpy(out + copied, src, n);  // a lent one already lies there
            copied += n;
            store(m.state, 0);
        }
        s.read.store(read + static_cast<uint32_t>(F));
        return 0;
    }
}

void bud_close(void *ctx) {
    BUD *link = static_cast<BUD *>(ctx);
    if (!link) return;
    link->state.store(BUD_ERR_CLOSED);
    wake_all(link);
    if (link->thread.joinable()) link->thread.join();
    // Readers and senders just woken may still be on their way out.
    {
        std::unique_lock<std::mutex> lock(link->gate);
        while (link->callers_in.load() != 0) {
            if (link->gate_cond.wait_for(lock, std::chrono::milliseconds(10)) == std::cv_status::timeout) {
                lock.unlock();
                wake_all(link);
                lock.lock();
            }
        }
    }
    shutdown(link->sock, SHUT_RDWR);
    close(link->sock);
    free_link(link);
}

void bud_set_congestion_level(BUD *link, uint32_t level) {
    link->cg_level.store(std::min<uint32_t>(level, 2));
}

uint32_t bud_congestion_level(BUD *link) {
    return link->cg_level.load();
}

float bud_congestion_bitrate(BUD *link, uint8_t stream) {
    if (stream >= BUD_STREAMS) return 0.0f;
    Stream &s = link->streams[stream];
    std::lock_guard<std::mutex> lock(s.rate_mutex);
    uint32_t next = s.next.load(), acked = s.acknowledged.load();
    uint32_t in_flight = seq_diff(next, acked) > 0 ? next - acked : 0;
    uint32_t late = s.late.load();
    const CongestionRow &row = kCongestion[link->cg_level.load(std::memory_order_relaxed)];
    if (in_flight > kPendingLimit && static_cast<double>(late) / in_flight > row.c) {
        s.congested++;
        if (s.congested % 60 == 1) {
            VKO_Log("bud_congestion_bitrate", "cg event: cwindow: %u, dz: %u, rtt: %f", in_flight, late,
                    link->rtt_us.load() / 1000.0);
            s.estimate *= 0.7;
            s.cg_events.fetch_add(1);
            s.quiet = 0;
            s.current = static_cast<float>(s.estimate);
        }
    } else {
        s.quiet++;
        if (s.quiet % 30 == 0) {
            s.congested = 0;
            uint64_t now = now_us(link);
            uint32_t bytes = s.bytes_sent.load();
            if (s.reset_pending) {
                s.current = s.floor;
                s.estimate = s.floor;
                s.reset_pending = 0;
            } else {
                double secs = static_cast<double>(now - s.sample_time) / 1e6;
                if (secs > 0) {
                    double measured = static_cast<double>(bytes - s.bytes_at_sample) * 8.0 / 1048576.0 / secs;
                    s.estimate = std::max(s.estimate, measured);
                }
                s.current += static_cast<float>(std::min<uint32_t>(s.step, 5) * 0.15);
                s.step += 2;
            }
            s.sample_time = now;
            s.bytes_at_sample = bytes;
        }
    }
    float lo = s.floor, hi = s.ceiling;
    float v = s.current;
    if (v < lo) v = lo;
    if (v > hi) v = hi;
    return v;
}

void bud_set_bitrate_limits(BUD *link, uint8_t stream, float ceiling, float floor, uint32_t step) {
    if (stream >= BUD_STREAMS) return;
    Stream &s = link->streams[stream];
    std::lock_guard<std::mutex> lock(s.rate_mutex);
    if (s.current > s.ceiling) s.current = s.ceiling;
    s.ceiling = ceiling;
    s.floor = floor;
    s.step = step;
}

bool bud_stream_stats(BUD *link, uint8_t stream, BudStreamStats *out) {
    if (stream >= BUD_STREAMS) return false;
    Stream &s = link->streams[stream];
    out->next = s.next.load();
    out->acknowledged = s.acknowledged.load();
    out->in_flight = seq_diff(out->next, out->acknowledged) > 0 ? out->next - out->acknowledged : 0;
    out->complete = s.complete.load();
    out->read = s.read.load();
    out->pending = s.pending.load();
    out->late = s.late.load();
    out->deferred = s.deferred.load();
    out->bytes_sent = s.bytes_sent.load();
    out->packets_sent = s.packets_sent.load();
    out->direct_sent = s.direct_sent.load();
    out->fast_retransmissions = s.fast_rts.load();
    out->slow_retransmissions = s.slow_rts.load();
    out->duplicates = s.duplicates.load();
    out->congestion_events = s.cg_events.load();
    out->lent = s.lent.load();
    out->in_place = s.in_place.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(s.rate_mutex);
    out->ceiling = s.ceiling;
    out->floor = s.floor;
    return true;
}

uint32_t bud_stream_queued(BUD *link, uint8_t stream) {
    if (stream >= BUD_STREAMS) return 0;
    Stream &s = link->streams[stream];
    uint32_t pos = s.read.load(), complete = s.complete.load(), count = 0;
    while (seq_diff(complete, pos) > 0) {
        const RecvMeta &m = s.rmeta[pos % BUD_WINDOW];
        if (load(m.state) != 1) break;
        const uint8_t *data = m.buf + BUD_HEADER_SIZE;
        uint64_t T = m.len >= 4 ? get32(data) : 0;
        count++;
        pos += static_cast<uint32_t>((T + 4 + BUD_FRAGMENT_SIZE - 1) / BUD_FRAGMENT_SIZE);
    }
    return count;
}

void bud_link_stats(BUD *link, BudLinkStats *out) {
    out->state = link->state.load();
    out->rtt_us = link->rtt_us.load();
    out->acks_up_to_date = link->acks_up_to_date.load();
    out->counter = link->counter.load() | link->direction;
    uint64_t received = link->last_received.load();
    out->ms_since_received = static_cast<double>(now_us(link) - received) / 1000.0;
    out->dropped_auth = link->dropped_auth.load();
    out->dropped_malformed = link->dropped_malformed.load();
    out->dropped_window = link->dropped_window.load();
    out->dropped_messages = link->dropped_messages.load();
    out->budget = link->window.load(std::memory_order_relaxed);
    out->acks_sent = link->acks_sent.load(std::memory_order_relaxed);
    out->gap_acks_sent = link->gap_acks_sent.load(std::memory_order_relaxed);
    out->wakeups = link->turns.load(std::memory_order_relaxed);
    out->segments_refused = link->no_segments.load() ? 1 : 0;
    out->thread_cpu_ms = 0;
    clockid_t clock;
    timespec ts;
    if (link->thread.joinable() && pthread_getcpuclockid(link->thread.native_handle(), &clock) == 0 &&
        clock_gettime(clock, &ts) == 0)
        out->thread_cpu_ms = static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void bud_advance_clock(BUD *link, uint64_t ms) {
    link->clock_offset.fetch_add(ms * 1000);
}
