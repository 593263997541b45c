// Threads and shared state of an SCTP link:
// - the link's own thread (sctpp_thread) reads the UDP socket, answers STUN
//   checks, drives the DTLS handshake, feeds decrypted packets to usrsctp,
//   accepts or connects once, drains messages queued before the association
//   came up, and takes received messages out of the usrsctp socket into the
//   per-stream queues (sctpp_on_receive);
// - the timer thread (one per process, ours: usrsctp is started without its
//   own timer and receive threads, so that it opens no raw sockets) runs the
//   library's timers, which retransmit and so call sctpp_conn_output;
// - the library's iterator thread, which it starts even so: the address
//   work that registering and deregistering a link's address queues (one
//   each, at its creation and at its end) is handed to it by a timer tick,
//   and it walks the library's endpoints and associations while our calls
//   run, outside g_usrsctp_mutex, under the library's own locks (its global
//   lock and each endpoint's and association's), freeing the work at the
//   end. It visits only endpoints bound to every address, and ours are each
//   bound to the link's own, so it sends nothing for them and never calls
//   sctpp_conn_output or sctpp_upcall. usrsctp_finish stops it;
// - every call of ours into usrsctp (sends, receives, timer ticks, packet
//   input, socket options, accept, connect, shutdown, close, address
//   registration, init and finish) holds g_usrsctp_mutex, one lock for the
//   process, so no two of them overlap. (Left to race, a timer expiry and
//   another thread restarting that timer leave the library's count of
//   running send timers too high, after which the retransmission timer may
//   stay unarmed with data outstanding: the link stalls for ever.) The
//   library is not single-threaded for that: its iterator runs beside
//   whichever of our calls holds the lock. The library calls
//   sctpp_conn_output and sctpp_upcall from inside our calls, with the lock
//   held: they never call into usrsctp, and take only out_mutex and
//   space_mutex, neither of which is held by anyone taking g_usrsctp_mutex.
//   send_mutex is taken before g_usrsctp_mutex, never while holding it;
// - the lock is held once per batch of work, not once per packet, since
//   every hold is a hand-over between the links' threads, the timer and the
//   senders of the whole process. A batch is: for the link's thread, all
//   datagrams read at one wake (at most kBatch, decrypted beforehand) given
//   to usrsctp, then what usrsctp holds for the link taken out (at most
//   kTakeBytes in kTakePieces, queued on the streams afterwards); for the
//   timer, one tick; for a sender, one send with the messages queued before
//   it (and for the link's thread, once each, its accept, connect, shutdown
//   and the messages queued before the association came up). The stall
//   stays mended: a batch is a longer hold of the same lock, so our calls
//   still never overlap, and being bounded it delays a timer tick by well
//   under a tick. Decryption, sealing, sending, copies into the stream
//   queues, wake-ups and logging happen outside the lock, and so do SCTP's
//   checksums: the library runs with them offloaded, the link's thread fills
//   them in before sealing and checks them after decryption, dropping a
//   packet whose checksum is wrong as the library would;
// - sctpp_conn_output only queues packets (pending, under out_mutex) and
//   wakes the link's thread (wake_fd), which seals and sends them in order
//   after the lock is released: the library calls it with its association
//   lock and ours held. Packets from the link's thread's own calls need no
//   wake-up: it seals before it next waits (t_own_link);
// - callers send and receive on any thread; sctpp_destroy closes gracefully
//   with the link's thread still running, then stops it (stop).
// What holds:
// - state is 0 while the link lives, then the first terminal code, never 0
//   again (compare-and-swap from 0). Messages taken before it turned terminal
//   are still read before the terminal code; nothing is queued after (the
//   rest of a batch taken with the terminal notification is dropped).
// - so (the usrsctp socket) is replaced once, by the thread, under send_mutex;
//   senders use it only under send_mutex. connected turns true after that.
// - out[s] holds messages of stream s not yet given to usrsctp, in order;
//   under send_mutex. A message is sent directly only when out[s] is empty.
// - given holds the sizes of the messages given to usrsctp that it may still
//   hold, oldest first; under send_mutex. Charged at least a fragment each,
//   they stay within kSendBound: the library's own bound counts payload only.
// - in[s] holds whole received messages in order and the pieces of one being
//   reassembled; under in[s].mutex; in[s].bytes charges each whole message
//   at least a fragment (kFragment), and the pieces their size. Only the
//   link's thread adds to it, and only while every stream is charged less
//   than kStreamBound (one batch, at most kTakeBytes, may pass it): a stream
//   that is full leaves data in the usrsctp socket, whose receive buffer the
//   thread then cuts to kLibSpaceHeld (lib_space_held) until it takes again,
//   so that its window closes and the sender stops. Nothing received is ever
//   dropped, except a message longer than SCTP_MAX_MESSAGE (no sender of
//   ours makes one) and, once closing, whatever arrives. A piece for which
//   memory is wanting stays in taken (pieces from delivered on), with the
//   library's window cut likewise, and is queued at a later turn first.
// - closing is set by sctpp_destroy; from then on senders get -12017 and the
//   thread asks for the association's shutdown once out[] is empty.
//   sctpp_destroy waits until the shutdown has gone out (the peer then holds
//   all we sent), not for its end, which waits for the peer's own data.
// - the library calls back with the link's address; g_live (under
//   g_usrsctp_mutex, which every callback runs under) names the links that
//   still exist, and a callback for any other address does nothing. A link
//   leaves g_live after its usrsctp socket is closed.
// - g_users counts links; the first initialises the library, the last
//   finishes it (under g_lib_mutex, then g_usrsctp_mutex).
#include "connection/sctp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <usrsctp.h>
#include <vector>

#include "connection/crc32c.h"
#include "connection/stun.h"
#include "platform/dtls.h"
#include "platform/log.h"

namespace {

constexpr uint32_t kBufSize = 2000;
constexpr int kPollMs = 30;
constexpr uint32_t kBatch = 64;  // datagrams read per turn of the thread
constexpr uint64_t kSilentMs = 60000;
constexpr uint64_t kDeadMs = 120000;
// usrsctp counts the path MTU without the 12-byte common header: 1188 keeps
// every SCTP packet within 1200 bytes, well inside one DTLS record.
constexpr uint32_t kPathMtu = 1188;
constexpr uint32_t kLibSpace = 0xA00000;
// The library counts only payload against its receive buffer, a byte for a
// one-byte message that costs it over 400, and grants a window of one chunk
// until the payload fills it. While the link takes nothing the buffer is cut
// to the library's least window, so it takes about 4096 such messages more at
// most. kLibSpace itself stays: it is the window a fast path needs.
constexpr int kLibSpaceHeld = 4096;
constexpr int32_t kErrStream = -12008;
// What a stream may hold unread: BUD's receive window of 4000 fragments,
// every message charged at least one fragment as it is there.
constexpr size_t kFragment = 1193;
constexpr size_t kStreamBound = 4000 * kFragment;
constexpr size_t kReadChunk = 65536;                    // room a call taking from usrsctp is given at least
constexpr size_t kTakeBytes = 4 * kReadChunk;           // bytes taken from usrsctp under one hold of the lock
constexpr size_t kTakePieces = kTakeBytes / kFragment;  // and pieces, so small messages stay one batch too
// What the library may hold for sending, charged as a stream's unread data:
// its send space counts only payload, in which a sender of one-byte messages
// would leave millions of them.
constexpr size_t kSendBound = kLibSpace;
constexpr size_t kGivenMax = kSendBound / kFragment + 1;
// The library's payload held for sending (its SCTP_GET_SNDBUF_USE, which its
// header leaves out), with the 16-byte header of each chunk it sent.
constexpr int kGetSndbufUse = 0x1101;
constexpr uint64_t kChunkHeader = 16;
struct SndbufUse {
    sctp_assoc_t assoc_id;
    uint32_t total_sndbuf;
    uint32_t total_recv_buf;
};
// A graceful close waits this long for the peer's acknowledgements.
constexpr uint64_t kCloseWaitMs = 5000;

using Bytes = std::vector<uint8_t>;

// One SCTP packet waiting to be sealed and sent by the link's thread, or to
// be given to usrsctp. Left uninitialised: it is filled as it is made.
struct Packet {
    Packet() {}
    uint32_t len;
    uint8_t data[kBufSize];
};

// One piece taken from usrsctp (a notification, or a message or part of one)
// and where it lies in the thread's buffer.
struct Piece {
    size_t offset;
    size_t length;
    sctp_rcvinfo rcv;
    unsigned int infotype;
    int flags;
};

struct InStream {
    std::mutex mutex;
    std::condition_variable cond;
    std::deque<Bytes> queue;
    Bytes partial;
    bool discarding = false;       // pieces of a message with a foreign PPID, or too long
    std::atomic<size_t> bytes{0};  // charged: queue (charge() each) and partial (its size)
};

std::mutex g_lib_mutex;
int g_users = 0;
bool g_inited = false;
std::thread g_timer;
std::atomic<bool> g_timer_stop{false};
// Held by every call into usrsctp (see the model above). Timer ticks and the
// library's finish never overlap through it either: finish destroys the locks
// a tick takes.
std::mutex g_usrsctp_mutex;
using LibLock = std::lock_guard<std::mutex>;

std::unordered_set<const void *> g_live;  // under g_usrsctp_mutex

// The link whose thread this is: that thread seals what its own calls into
// usrsctp produced without being woken.
thread_local const void *t_own_link = nullptr;

uint64_t steady_ms() {
    return static_cast<uint64_t>(VKO_GetTime() / 1000000);
}

}  // namespace

struct SctpTransport {
    char ice_pwd[256];
    sockaddr_in6 remote;
    PacketInfo local;
    int sock = NET_INVALID_SOCKET;
    VKO_DTLS *dtls = nullptr;
    std::atomic<bool> handshake_done{false};
    InStream in[TRANSPORT_STREAMS];
    std::deque<Bytes> out[TRANSPORT_STREAMS];
    // Sizes of the messages given to usrsctp that it may still hold, oldest
    // first (a ring of kGivenMax); under send_mutex.
    std::vector<uint32_t> given;
    size_t given_first = 0, given_count = 0;
    uint64_t given_bytes = 0, given_charged = 0;
    std::atomic<int32_t> state{0};
    struct socket *so = nullptr;
    std::atomic<bool> connected{false};
    uint8_t listening = 0;
    bool connect_issued = false;
    std::atomic<bool> closing{false};
    std::atomic<bool> stop{false};
    bool shutdown_issued = false;  // the thread's
    Bytes taken;                   // the thread's: pieces taken from usrsctp under one hold of the lock
    std::vector<Piece> pieces;     // the thread's: those pieces, in order
    size_t delivered = 0;          // the thread's: how many of pieces are queued on the streams
    ssize_t take_end = -1;         // the thread's: the last take's result, acted on once all are queued
    int take_errno = 0;
    bool lib_space_held = false;  // the thread's: so's receive buffer is kLibSpaceHeld
    Bytes datagram;               // the thread's: one datagram read from the socket
    std::vector<Packet> batch;    // the thread's: decrypted packets for usrsctp, in arrival order
    uint32_t batched = 0;         // how many of batch are filled
    std::thread thread;
    std::mutex send_mutex;
    std::mutex space_mutex;  // with space_cond: a sender waiting for send buffer
    std::condition_variable space_cond;
    std::atomic<uint32_t> space_waiters{0};
    std::mutex out_mutex;
    std::vector<Packet> pending;  // under out_mutex
    std::vector<Packet> sealing;  // the thread's (destroy's once it ended)
    int wake_fd = -1;             // eventfd: pending turned non-empty
    std::atomic<uint64_t> last_data{0};
    std::atomic<uint64_t> clock_offset{0};
    std::atomic<uint64_t> last_error_log{0};
};

namespace {

uint64_t now_ms(const SctpTransport *t) {
    return steady_ms() + t->clock_offset.load(std::memory_order_relaxed);
}

void log_call(const char *op, const char *call, int line, int32_t code) {
    VKO_Log(op, "* %s/%s[%d] = %d", op, call, line, code);
}

// At most one logged send failure per second per link.
void log_limited(SctpTransport *t, const char *op, const char *call, int line, int32_t code) {
    uint64_t now = steady_ms(), last = t->last_error_log.load();
    if (now - last < 1000 && last != 0) return;
    if (t->last_error_log.compare_exchange_strong(last, now)) log_call(op, call, line, code);
}

void set_state(SctpTransport *t, int32_t code) {
    int32_t expected = 0;
    if (t->state.compare_exchange_strong(expected, code)) {
        for (InStream &s : t->in) {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.cond.notify_all();
        }
        std::lock_guard<std::mutex> lock(t->space_mutex);
        t->space_cond.notify_all();
    }
}

int32_t sctpp_network_write(SctpTransport *t, const void *data, size_t size) {
    int32_t r = network_sendmsg(t->sock, data, static_cast<uint32_t>(size), &t->remote, nullptr);
    if (r < 0 && r != NET_ERROR_BASE - NET_WOULDBLOCK)
        log_limited(t, "sctpp_network_write", "network_sendmsg", __LINE__, r);
    return r;
}

bool sctpp_dtls_send(const void *data, size_t size, void *opaque) {
    return sctpp_network_write(static_cast<SctpTransport *>(opaque), data, size) > 0;
}

// Runs inside the library, often with its association lock held: the packet
// is only queued here, and the link's thread seals and sends it.
int sctpp_conn_output(void *addr, void *buffer, size_t length, uint8_t, uint8_t) {
    if (!g_live.count(addr) || length > kBufSize - 100) return -1;
    SctpTransport *t = static_cast<SctpTransport *>(addr);
    bool wake;
    {
        std::lock_guard<std::mutex> lock(t->out_mutex);
        wake = t->pending.empty();
        try {
            t->pending.emplace_back();
        } catch (const std::bad_alloc &) {
            return -1;  // lost, as on the network: the library sends it again
        }
        t->pending.back().len = static_cast<uint32_t>(length);
        std::memcpy(t->pending.back().data, buffer, length);
    }
    uint64_t one = 1;
    if (wake && addr != t_own_link && write(t->wake_fd, &one, sizeof one) < 0)
        return 0;  // the thread looks every 30 ms anyway
    return 0;
}

// Seals and sends every queued packet, in order.
void flush_output(SctpTransport *t) {
    {
        std::lock_guard<std::mutex> lock(t->out_mutex);
        if (t->pending.empty()) return;
        t->sealing.swap(t->pending);
    }
    uint8_t record[kBufSize];
    for (Packet &p : t->sealing) {
        sctp_checksum_fill(p.data, p.len);
        size_t n = 0;
        if (VKO_DTLSEncrypt(t->dtls, p.data, p.len, record, sizeof record, &n))
            sctpp_network_write(t, record, n);
    }
    t->sealing.clear();
}

void on_notification(SctpTransport *t, const uint8_t *data, size_t length) {
    // Pieces lie back to back in the batch's buffer: read a copy, aligned.
    sctp_notification n;
    std::memset(&n, 0, sizeof n);
    std::memcpy(&n, data, length < sizeof n ? length : sizeof n);
    if (length < sizeof(n.sn_header) || n.sn_header.sn_type != SCTP_ASSOC_CHANGE ||
        length < sizeof(sctp_assoc_change))
        return;
    switch (n.sn_assoc_change.sac_state) {
        case SCTP_COMM_UP:
            // The listening side is connected once it holds the accepted socket.
            if (!t->listening) t->connected = true;
            break;
        case SCTP_COMM_LOST:
        case SCTP_SHUTDOWN_COMP:
        case SCTP_CANT_STR_ASSOC:
            // An association that ended never carries data again.
            set_state(t, SCTP_ERR_SILENT);
            break;
        default:
            break;
    }
}

// Makes b the prefix followed by the data; false when memory is wanting.
bool join(Bytes &b, const uint8_t *prefix, size_t prefix_len, const uint8_t *data, size_t length) {
    try {
        b.reserve(prefix_len + length);
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (prefix_len) b.insert(b.end(), prefix, prefix + prefix_len);
    if (length) b.insert(b.end(), data, data + length);
    return true;
}

size_t charge(size_t length) {
    return std::max(length, kFragment);
}

// A piece of a message of one stream, taken from usrsctp by the link's thread.
// False when memory for it could not be had: nothing changed, and the piece
// is given again later.
bool on_data(SctpTransport *t, const sctp_rcvinfo &rcv, const uint8_t *data, size_t length, bool eor) {
    if (rcv.rcv_sid >= TRANSPORT_STREAMS) return true;
    InStream &s = t->in[rcv.rcv_sid];
    std::lock_guard<std::mutex> lock(s.mutex);
    if (ntohl(rcv.rcv_ppid) != SCTP_PPID || t->closing) s.discarding = true;
    if (!s.discarding && s.partial.size() + length > SCTP_MAX_MESSAGE) {
        // Longer than any sender of ours makes: it would hold a stream full for ever.
        s.bytes -= s.partial.size();
        s.partial = Bytes();
        s.discarding = true;
    }
    if (!s.discarding) {
        size_t had = s.partial.size();
        try {
            s.partial.insert(s.partial.end(), data, data + length);
            if (eor) s.queue.emplace_back();
        } catch (const std::bad_alloc &) {
            s.partial.resize(had);
            return false;
        }
        s.bytes += length;
        if (eor) {
            s.bytes += charge(s.partial.size()) - s.partial.size();
            s.queue.back().swap(s.partial);
            s.cond.notify_all();
        }
    }
    if (eor) {
        s.partial = Bytes();
        s.discarding = false;
    }
    return true;
}

bool stream_full(SctpTransport *t) {
    for (const InStream &s : t->in)
        if (s.bytes.load() >= kStreamBound) return true;
    return false;
}

// Whether the thread may take from usrsctp now: not once the link ended
// (unless closing, when whatever arrives is discarded), and only while every
// stream has room.
bool may_take(SctpTransport *t) {
    if (t->state.load() != 0 && !t->closing) return false;
    if (t->listening ? !t->connected : !t->connect_issued) return false;
    return t->closing || !stream_full(t);
}

// Takes pieces from usrsctp into t->taken, in order, until less than
// kReadChunk is left there, kTakePieces were taken, or the library holds
// nothing more (g_usrsctp_mutex held). Answers 1 when the room ran out, else
// the last call's result (errno in *err).
ssize_t take_locked(SctpTransport *t, int *err) {
    size_t used = 0;
    while (t->taken.size() - used >= kReadChunk && t->pieces.size() < kTakePieces) {
        Piece p{used, 0, {}, 0, 0};
        socklen_t infolen = sizeof p.rcv;
        ssize_t n = usrsctp_recvv(t->so, t->taken.data() + used, t->taken.size() - used, nullptr, nullptr,
                                  &p.rcv, &infolen, &p.infotype, &p.flags);
        if (n <= 0) {
            *err = errno;
            return n;
        }
        p.length = static_cast<size_t>(n);
        t->pieces.push_back(p);  // within the capacity reserved
        used += p.length;
    }
    return 1;
}

// Queues the pieces taken and not yet queued, in order. False once the link
// ended (nothing is queued after that: the rest is dropped) or when memory
// ran out (the rest waits for the next turn).
bool deliver(SctpTransport *t) {
    for (; t->delivered < t->pieces.size(); t->delivered++) {
        const Piece &p = t->pieces[t->delivered];
        const uint8_t *data = t->taken.data() + p.offset;
        if (p.flags & MSG_NOTIFICATION) {
            on_notification(t, data, p.length);
        } else if (p.infotype == SCTP_RECVV_RCVINFO &&
                   !on_data(t, p.rcv, data, p.length, (p.flags & MSG_EOR) != 0)) {
            log_limited(t, "sctpp_on_receive", "operator new", __LINE__, ENOMEM);
            return false;
        }
        if (t->state.load() != 0 && !t->closing) {
            t->delivered = t->pieces.size();
            return false;
        }
    }
    return true;
}

// Queues what the last take left, then acts once on how that take ended.
// True when it ended for want of room, so the library may hold more.
bool finish_take(SctpTransport *t) {
    if (!deliver(t)) return false;
    ssize_t end = t->take_end;
    int err = t->take_errno;
    t->take_end = -1;  // acted on
    t->take_errno = 0;
    if (end == 0) {
        // The peer shut down and everything it sent was taken.
        set_state(t, SCTP_ERR_SILENT);
    } else if (end < 0 && (err == ECONNRESET || err == ECONNABORTED)) {
        // The association is gone: what it delivered was all taken.
        set_state(t, SCTP_ERR_SILENT);
    }
    return end > 0;
}

// Cuts so's receive buffer while the link takes nothing, and gives it back
// before the link takes again (g_usrsctp_mutex held).
void hold_library_space(SctpTransport *t, bool held) {
    int size = held ? kLibSpaceHeld : static_cast<int>(kLibSpace);
    if (usrsctp_setsockopt(t->so, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0)
        t->lib_space_held = held;
    else
        log_limited(t, "sctpp_on_receive", "usrsctp_setsockopt", __LINE__, errno);
}

// The receive step: takes what usrsctp holds for the link and queues it on
// the streams while they have room. The batch of packets received is given
// to usrsctp first, under the same hold of the lock; the pieces taken are
// queued after it is released. While a stream is full (or memory for a piece
// is wanting) the rest stays in the library, whose receive buffer is cut, so
// that it stops acknowledging and the sender slows.
void sctpp_on_receive(SctpTransport *t) {
    for (bool first = true;; first = false) {
        bool more = finish_take(t);
        bool pending = t->delivered < t->pieces.size();
        bool take = (first || more) && !pending && may_take(t);
        bool hold = (pending || stream_full(t)) && t->connected && !t->closing && t->state.load() == 0;
        if (t->batched == 0 && !take && hold == t->lib_space_held) return;
        {
            LibLock lib(g_usrsctp_mutex);
            if (hold != t->lib_space_held) hold_library_space(t, hold);
            for (uint32_t i = 0; i < t->batched; i++)
                usrsctp_conninput(t, t->batch[i].data, t->batch[i].len, 0);
            if (take) {
                t->pieces.clear();
                t->delivered = 0;
                t->take_end = take_locked(t, &t->take_errno);
            }
        }
        t->batched = 0;
        if (!take) return;
    }
}

// The library's wake-up of the socket: a sender may find room now.
void sctpp_upcall(struct socket *, void *arg, int) {
    if (!g_live.count(arg)) return;
    SctpTransport *t = static_cast<SctpTransport *>(arg);
    if (t->space_waiters.load() == 0) return;
    std::lock_guard<std::mutex> lock(t->space_mutex);
    t->space_cond.notify_all();
}

void timer_thread() {
    uint64_t last = steady_ms();
    while (!g_timer_stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        uint64_t now = steady_ms();
        LibLock lib(g_usrsctp_mutex);
        if (g_timer_stop.load()) break;
        usrsctp_handle_timers(static_cast<uint32_t>(now - last));
        last = now;
    }
}

// The library's settings; the last one's result tells whether all applied.
bool sctpp_global_init() {
    LibLock lib(g_usrsctp_mutex);
    usrsctp_init_nothreads(0, sctpp_conn_output, nullptr);
    usrsctp_enable_crc32c_offload();
    usrsctp_sysctl_set_sctp_mbuf_threshold_count(100);
    usrsctp_sysctl_set_sctp_add_more_threshold(32);
    usrsctp_sysctl_set_sctp_asoc_free_resc_limit(50);
    usrsctp_sysctl_set_sctp_system_free_resc_limit(500);
    usrsctp_sysctl_set_sctp_sendspace(kLibSpace);
    usrsctp_sysctl_set_sctp_recvspace(kLibSpace);
    usrsctp_sysctl_set_sctp_sack_freq_default(1);
    usrsctp_sysctl_set_sctp_delayed_sack_time_default(30);
    usrsctp_sysctl_set_sctp_enable_sack_immediately(1);
    usrsctp_sysctl_set_sctp_max_burst_default(0);
    usrsctp_sysctl_set_sctp_use_cwnd_based_maxburst(0);
    usrsctp_sysctl_set_sctp_max_chunks_on_queue(2048);
    // Retransmission times of a real-time link: the defaults (3 s initial,
    // 1 s minimum) stall a stream for seconds after a single loss.
    usrsctp_sysctl_set_sctp_rto_min_default(50);
    usrsctp_sysctl_set_sctp_rto_initial_default(200);
    usrsctp_sysctl_set_sctp_rto_max_default(1000);
    usrsctp_sysctl_set_sctp_init_rto_max_default(1000);
    // Only silence ends a link (60 s): a path or association given up after a
    // few retransmissions would stall or end it after seconds of loss.
    usrsctp_sysctl_set_sctp_path_rtx_max_default(200);
    usrsctp_sysctl_set_sctp_assoc_rtx_max_default(200);
    if (usrsctp_sysctl_set_sctp_ecn_enable(0) != 0) {
        log_call("sctpp_global_init", "usrsctp_sysctl_set_sctp_ecn_enable", __LINE__, errno);
        if (usrsctp_finish() != 0) log_call("sctpp_global_destroy", "usrsctp_finish", __LINE__, errno);
        return false;
    }
    return true;
}

bool lib_acquire() {
    std::lock_guard<std::mutex> lock(g_lib_mutex);
    if (!g_inited) {
        if (!sctpp_global_init()) return false;
        g_inited = true;
        g_timer_stop = false;
        g_timer = std::thread(timer_thread);
    }
    g_users++;
    return true;
}

void lib_release() {
    std::lock_guard<std::mutex> lock(g_lib_mutex);
    if (--g_users > 0) return;
    // Closed associations linger until the timers have run their course.
    for (int i = 0; i < 300; i++) {
        bool finished;
        {
            LibLock lib(g_usrsctp_mutex);
            finished = usrsctp_finish() == 0;
            if (finished) g_timer_stop = true;
        }
        if (finished) {
            g_inited = false;
            g_timer.join();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    log_call("sctpp_global_destroy", "usrsctp_finish", __LINE__, -1);
}

sockaddr_conn conn_address(SctpTransport *t) {
    sockaddr_conn a{};
    a.sconn_family = AF_CONN;
    a.sconn_port = htons(SCTP_PORT);
    a.sconn_addr = t;
    return a;
}

bool set_option(struct socket *so, int level, int name, const void *value, socklen_t size, int line) {
    if (usrsctp_setsockopt(so, level, name, value, size) == 0) return true;
    log_call("sctpp_socket_init", "usrsctp_setsockopt", line, errno);
    return false;
}

int32_t sctpp_socket_init(SctpTransport *t) {
    LibLock lib(g_usrsctp_mutex);
    // No receive callback: the link's thread takes messages only while its
    // streams have room, so the association's flow control holds the rest.
    t->so = usrsctp_socket(AF_CONN, SOCK_STREAM, IPPROTO_SCTP, nullptr, nullptr, 0, nullptr);
    if (!t->so) {
        log_call("sctpp_socket_init", "usrsctp_socket", __LINE__, errno);
        return SCTP_ERR_SETUP;
    }
    if (usrsctp_set_non_blocking(t->so, 1) != 0) {
        log_call("sctpp_socket_init", "usrsctp_set_non_blocking", __LINE__, errno);
        return SCTP_ERR_SETUP;
    }
    usrsctp_set_upcall(t->so, sctpp_upcall, t);
    linger lg{1, 0};
    sctp_paddrparams pp{};
    pp.spp_pathmtu = kPathMtu;
    pp.spp_flags = SPP_PMTUD_DISABLE;
    sctp_assoc_value reset{};
    reset.assoc_id = SCTP_ALL_ASSOC;
    reset.assoc_value = SCTP_ENABLE_RESET_STREAM_REQ;
    int on = 1;
    sctp_event ev{};
    ev.se_assoc_id = SCTP_ALL_ASSOC;
    ev.se_on = 1;
    ev.se_type = SCTP_ASSOC_CHANGE;
    sctp_initmsg im{};
    im.sinit_num_ostreams = 256;
    im.sinit_max_instreams = 1024;
    if (!set_option(t->so, SOL_SOCKET, SO_LINGER, &lg, sizeof lg, __LINE__) ||
        !set_option(t->so, IPPROTO_SCTP, SCTP_PEER_ADDR_PARAMS, &pp, sizeof pp, __LINE__) ||
        !set_option(t->so, IPPROTO_SCTP, SCTP_ENABLE_STREAM_RESET, &reset, sizeof reset, __LINE__) ||
        !set_option(t->so, IPPROTO_SCTP, SCTP_NODELAY, &on, sizeof on, __LINE__) ||
        !set_option(t->so, IPPROTO_SCTP, SCTP_EVENT, &ev, sizeof ev, __LINE__) ||
        !set_option(t->so, IPPROTO_SCTP, SCTP_INITMSG, &im, sizeof im, __LINE__))
        return SCTP_ERR_SETUP;
    // Pieces of large messages on different streams may arrive interleaved: a
    // message half delivered on one stream must not hold back the others while
    // its missing part waits for a retransmission that finds the window full.
    int interleave = 2;
    if (!set_option(t->so, IPPROTO_SCTP, SCTP_FRAGMENT_INTERLEAVE, &interleave, sizeof interleave,
                    __LINE__) ||
        !set_option(t->so, IPPROTO_SCTP, SCTP_RECVRCVINFO, &on, sizeof on, __LINE__))
        return SCTP_ERR_SETUP;

    sockaddr_conn a = conn_address(t);
    if (usrsctp_bind(t->so, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        log_call("sctpp_bind", "usrsctp_bind", __LINE__, errno);
        return SCTP_ERR_BIND;
    }
    if (t->listening && usrsctp_listen(t->so, 1) != 0) {
        log_call("sctpp_bind", "usrsctp_listen", __LINE__, errno);
        return SCTP_ERR_BIND;
    }
    return 0;
}

// Whether the library may take another message of length for sending
// (send_mutex and g_usrsctp_mutex held): what it holds is charged at least a
// fragment a message, up to kSendBound. Messages leave it about in the order
// given (each stream in order, the streams taking turns), so those it still
// holds are taken to be the newest whose payload makes up what it reports.
bool library_room(SctpTransport *t, size_t length) {
    SndbufUse use{};
    sctp_status status{};
    socklen_t use_len = sizeof use, status_len = sizeof status;
    uint64_t held = t->given_bytes;  // when it cannot tell: nothing left it
    if (usrsctp_getsockopt(t->so, IPPROTO_SCTP, kGetSndbufUse, &use, &use_len) == 0 &&
        usrsctp_getsockopt(t->so, IPPROTO_SCTP, SCTP_STATUS, &status, &status_len) == 0) {
        uint64_t headers = status.sstat_unackdata * kChunkHeader;
        held = use.total_sndbuf > headers ? use.total_sndbuf - headers : 0;
    }
    while (t->given_count > 0 && t->given_bytes - t->given[t->given_first] >= held) {
        uint32_t oldest = t->given[t->given_first];
        t->given_bytes -= oldest;
        t->given_charged -= charge(oldest);
        t->given_first = (t->given_first + 1) % kGivenMax;
        t->given_count--;
    }
    return t->given_count == 0 || t->given_charged + charge(length) <= kSendBound;
}

// One message to usrsctp (send_mutex and g_usrsctp_mutex held): 0, or errno
// (EWOULDBLOCK when the buffer is full).
int sctpp_sendv(SctpTransport *t, uint8_t stream, const uint8_t *data, size_t length) {
    if (!library_room(t, length)) return EWOULDBLOCK;
    sctp_sndinfo info{};
    info.snd_sid = stream;
    info.snd_flags = SCTP_EOR;
    info.snd_ppid = htonl(SCTP_PPID);
    ssize_t r = usrsctp_sendv(t->so, data, length, nullptr, 0, &info, sizeof info, SCTP_SENDV_SNDINFO, 0);
    if (r < 0) return errno ? errno : EIO;
    if (static_cast<size_t>(r) != length) return EMSGSIZE;
    t->given[(t->given_first + t->given_count++) % kGivenMax] = static_cast<uint32_t>(length);
    t->given_bytes += length;
    t->given_charged += charge(length);
    return 0;
}

// Gives queued messages of one stream to usrsctp, in order (send_mutex and
// g_usrsctp_mutex held). 0 when the queue is empty afterwards, else what
// stopped it.
int drain(SctpTransport *t, uint8_t stream) {
    std::deque<Bytes> &q = t->out[stream];
    while (!q.empty()) {
        int e = sctpp_sendv(t, stream, q.front().data(), q.front().size());
        if (e != 0) return e;
        q.pop_front();
    }
    return 0;
}

void drain_all(SctpTransport *t) {
    std::lock_guard<std::mutex> lock(t->send_mutex);
    bool queued = false;
    for (const auto &q : t->out) queued = queued || !q.empty();
    if (!queued) return;
    int e[TRANSPORT_STREAMS];
    {
        LibLock lib(g_usrsctp_mutex);
        for (uint8_t s = 0; s < TRANSPORT_STREAMS; s++) e[s] = drain(t, s);
    }
    for (int code : e) {
        if (code != 0 && code != EWOULDBLOCK && code != EAGAIN) {
            log_call("sctpp_thread", "usrsctp_sendv", __LINE__, code);
            set_state(t, SCTP_ERR_SEND);
        }
    }
}

// Answers STUN checks and drives the handshake at once; a packet for usrsctp
// is decrypted into the batch (which has room), for sctpp_on_receive.
void on_datagram(SctpTransport *t, const uint8_t *d, uint32_t n) {
    if (n >= 3 && d[0] == 0x00 && d[1] == 0x01) {
        if (stun_check_request(d, n, t->ice_pwd))
            stun_send_success(t->sock, d, n, &t->remote, &t->local, t->ice_pwd);
        return;
    }
    if (VKO_IsDTLSHandshake(d, n)) {
        if (t->state.load() != 0 && !t->handshake_done) return;
        VKO_DTLSResult r = VKO_DTLSHandshake(t->dtls, d, n, sctpp_dtls_send, t);
        if (r == VKO_DTLS_ERROR) {
            set_state(t, SCTP_ERR_HANDSHAKE);
        } else if (r == VKO_DTLS_OK && !t->handshake_done) {
            t->handshake_done = true;
            t->last_data = now_ms(t);
        }
        return;
    }
    if (VKO_IsDTLSApplicationData(d, n) && t->handshake_done) {
        Packet &p = t->batch[t->batched];
        size_t got = 0;
        if (!VKO_DTLSDecrypt(t->dtls, d, n, p.data, sizeof p.data, &got) || !sctp_checksum_ok(p.data, got))
            return;
        p.len = static_cast<uint32_t>(got);
        t->batched++;
        t->last_data = now_ms(t);
    }
}

void try_accept(SctpTransport *t) {
    struct socket *s;
    {
        LibLock lib(g_usrsctp_mutex);
        s = usrsctp_accept(t->so, nullptr, nullptr);
        if (!s) return;
        usrsctp_set_non_blocking(s, 1);
        usrsctp_set_upcall(s, sctpp_upcall, t);
        int on = 1;
        usrsctp_setsockopt(s, IPPROTO_SCTP, SCTP_RECVRCVINFO, &on, sizeof on);
    }
    struct socket *listener;
    {
        std::lock_guard<std::mutex> lock(t->send_mutex);
        listener = t->so;
        t->so = s;
    }
    {
        LibLock lib(g_usrsctp_mutex);
        usrsctp_close(listener);
    }
    t->connected = true;
}

// Once closing and with nothing left to give to usrsctp, asks for the
// association's shutdown: it completes when the peer has acknowledged all.
void close_when_drained(SctpTransport *t) {
    if (!t->closing || t->shutdown_issued || !t->connected || t->state.load() != 0) return;
    std::lock_guard<std::mutex> lock(t->send_mutex);
    for (const auto &q : t->out)
        if (!q.empty()) return;
    t->shutdown_issued = true;
    int r;
    {
        LibLock lib(g_usrsctp_mutex);
        r = usrsctp_shutdown(t->so, SHUT_WR);
    }
    if (r != 0) set_state(t, SCTP_ERR_CLOSED);
}

void sctpp_thread(SctpTransport *t) {
    t_own_link = t;
    while (!t->stop.load()) {
        bool live = t->state.load() == 0;
        if (!live) {
            // Ended: still fed with packets, so the association can finish its shutdown.
        } else if (!t->handshake_done) {
            // Without input this sends a client's hello, or a lost flight again.
            VKO_DTLSResult r = VKO_DTLSHandshake(t->dtls, nullptr, 0, sctpp_dtls_send, t);
            if (r == VKO_DTLS_ERROR) set_state(t, SCTP_ERR_HANDSHAKE);
        } else if (t->listening && !t->connected) {
            try_accept(t);
        } else if (!t->listening && !t->connect_issued) {
            sockaddr_conn a = conn_address(t);
            LibLock lib(g_usrsctp_mutex);
            usrsctp_connect(t->so, reinterpret_cast<sockaddr *>(&a), sizeof a);
            t->connect_issued = true;
        }
        if (live && t->connected) drain_all(t);
        close_when_drained(t);

        uint64_t silent = now_ms(t) - t->last_data.load();
        if (silent >= kDeadMs)
            set_state(t, SCTP_ERR_DEAD);
        else if (silent >= kSilentMs)
            set_state(t, SCTP_ERR_SILENT);

        flush_output(t);
        pollfd pfd[2] = {{t->sock, POLLIN, 0}, {t->wake_fd, POLLIN, 0}};
        int ready = poll(pfd, 2, kPollMs);
        uint64_t count;
        if (ready > 0 && (pfd[1].revents & POLLIN) && read(t->wake_fd, &count, sizeof count) < 0)
            count = 0;  // cleared already
        // One batch: every datagram waiting (at most kBatch), decrypted outside the lock.
        for (uint32_t i = 0; i < kBatch && ready > 0 && !t->stop.load() && (pfd[0].revents & POLLIN); i++) {
            sockaddr_in6 from;
            int32_t n = network_recvmsg(t->sock, t->datagram.data(), kBufSize, &from, nullptr);
            if (n < 0) {
                int32_t code = NET_ERROR_BASE - n;
                if (code != NET_WOULDBLOCK && code != NET_NETRESET)
                    log_limited(t, "sctpp_thread", "network_recvmsg", __LINE__, n);
                break;
            }
            on_datagram(t, t->datagram.data(), static_cast<uint32_t>(n));
        }
        sctpp_on_receive(t);
    }
}

// Whether the peer has acknowledged everything sent: the association's
// shutdown has gone out (or, when the peer shut down first, its answer).
bool all_acknowledged(SctpTransport *t) {
    std::lock_guard<std::mutex> lock(t->send_mutex);
    sctp_status st{};
    socklen_t len = sizeof st;
    LibLock lib(g_usrsctp_mutex);
    return usrsctp_getsockopt(t->so, IPPROTO_SCTP, SCTP_STATUS, &st, &len) == 0 &&
           (st.sstat_state == SCTP_SHUTDOWN_SENT || st.sstat_state == SCTP_SHUTDOWN_ACK_SENT);
}

void free_transport(SctpTransport *t) {
    if (t->so) {
        {
            LibLock lib(g_usrsctp_mutex);
            usrsctp_shutdown(t->so, SHUT_RDWR);
            usrsctp_close(t->so);
        }
        t->so = nullptr;
        flush_output(t);  // an abort (when the shutdown did not finish) tells the peer at once
    }
    {
        LibLock lib(g_usrsctp_mutex);
        g_live.erase(t);
        usrsctp_deregister_address(t);
    }
    VKO_DTLSDestroy(&t->dtls);
    if (t->wake_fd >= 0) close(t->wake_fd);
    delete t;
}

}  // namespace

int32_t sctpp_create(SctpTransport **out, int sock, VKO_Cert *cert, const sockaddr_in6 *remote,
                     const PacketInfo *local, uint8_t listening, const char *ice_pwd,
                     const char *peer_fingerprint) {
    *out = nullptr;
    if (!lib_acquire()) return SCTP_ERR_SETUP;

    // Everything the link's thread works in is made here, where a failure
    // can still be answered.
    SctpTransport *t = nullptr;
    try {
        t = new SctpTransport;
        t->taken.resize(kTakeBytes);
        t->pieces.reserve(kTakePieces);
        t->batch.resize(kBatch);
        t->datagram.resize(kBufSize);
        t->given.resize(kGivenMax);
    } catch (const std::bad_alloc &) {
        log_call("sctpp_create", "operator new", __LINE__, ENOMEM);
        delete t;
        lib_release();
        return SCTP_ERR_SETUP;
    }
    std::memset(t->ice_pwd, 0, sizeof t->ice_pwd);
    if (ice_pwd) std::strncpy(t->ice_pwd, ice_pwd, sizeof t->ice_pwd - 1);
    t->remote = *remote;
    std::memset(&t->local, 0, sizeof t->local);
    if (local) t->local = *local;
    t->listening = listening;
    t->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (t->wake_fd < 0) {
        log_call("sctpp_create", "eventfd", __LINE__, errno);
        delete t;
        lib_release();
        return SCTP_ERR_SETUP;
    }

    // The listening side (the client) is the DTLS server.
    t->dtls =
        VKO_DTLSCreate(cert, peer_fingerprint, SCTP_DTLS_MTU, listening ? VKO_DTLS_SERVER : VKO_DTLS_CLIENT);
    if (!t->dtls) {
        log_call("sctpp_create", "VKO_DTLSCreate", __LINE__, SCTP_ERR_SETUP);
        close(t->wake_fd);
        delete t;
        lib_release();
        return SCTP_ERR_SETUP;
    }
    {
        LibLock lib(g_usrsctp_mutex);
        g_live.insert(t);
        usrsctp_register_address(t);
    }
    int32_t r = sctpp_socket_init(t);
    if (r != 0) {
        free_transport(t);
        lib_release();
        return r;
    }
    t->sock = sock;
    t->last_data = now_ms(t);
    t->thread = std::thread(sctpp_thread, t);
    *out = t;
    return 0;
}

int32_t sctpp_send(void *ctx, uint8_t stream, const void *prefix, uint8_t prefix_len, const void *data,
                   uint32_t length, uint32_t timeout_ms) {
    SctpTransport *t = static_cast<SctpTransport *>(ctx);
    if (stream >= TRANSPORT_STREAMS) return kErrStream;
    int32_t st = t->state.load();
    if (st != 0) return st;
    if (t->closing) return SCTP_ERR_CLOSED;
    if (uint64_t{prefix && prefix_len ? prefix_len : 0u} + length > SCTP_MAX_MESSAGE) return SCTP_ERR_SEND;

    // The prefix travels joined with the data, on every stream.
    Bytes joined;
    const uint8_t *msg = static_cast<const uint8_t *>(data);
    size_t size = length;
    if (prefix && prefix_len > 0) {
        if (!join(joined, static_cast<const uint8_t *>(prefix), prefix_len, msg, length)) return SCTP_TIMEOUT;
        msg = joined.data();
        size = joined.size();
    }

    // SCTP carries no empty message: as on BUD, nothing goes out.
    if (size == 0) return 0;

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(t->send_mutex);
            if (!t->connected) {
                if (t->out[stream].size() < SCTP_QUEUE_MESSAGES) {
                    if (joined.empty() && !join(joined, nullptr, 0, msg, size)) return SCTP_TIMEOUT;
                    try {
                        t->out[stream].push_back(std::move(joined));
                    } catch (const std::bad_alloc &) {
                        return SCTP_TIMEOUT;  // nothing was taken: try again
                    }
                    return 0;
                }
            } else {
                int e;
                {
                    LibLock lib(g_usrsctp_mutex);
                    e = drain(t, stream);
                    if (e == 0) e = sctpp_sendv(t, stream, msg, size);
                }
                if (e == 0) return 0;
                if (e != EWOULDBLOCK && e != EAGAIN) {
                    log_call("sctpp_send", "usrsctp_sendv", __LINE__, e);
                    return SCTP_ERR_SEND;
                }
            }
        }
        // The buffer is full: wait for the peer's acknowledgements.
        std::unique_lock<std::mutex> lock(t->space_mutex);
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return SCTP_TIMEOUT;
        t->space_waiters++;
        t->space_cond.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(5)));
        t->space_waiters--;
        st = t->state.load();
        if (st != 0) return st;
    }
}

int32_t sctpp_recv(void *ctx, uint8_t stream, void *buf, uint32_t capacity, uint32_t *length,
                   uint32_t timeout_ms) {
    SctpTransport *t = static_cast<SctpTransport *>(ctx);
    if (stream >= TRANSPORT_STREAMS) return kErrStream;
    InStream &s = t->in[stream];
    std::unique_lock<std::mutex> lock(s.mutex);
    // What arrived before the link ended is read before its terminal code.
    s.cond.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [&] { return !s.queue.empty() || t->state.load() != 0; });
    if (s.queue.empty()) {
        int32_t st = t->state.load();
        return st != 0 ? st : SCTP_TIMEOUT;
    }
    Bytes &m = s.queue.front();
    if (length) *length = static_cast<uint32_t>(m.size());
    if (m.size() > capacity) return SCTP_ERR_BUFFER;
    size_t size = m.size();
    if (size) std::memcpy(buf, m.data(), size);
    size_t before = s.bytes.fetch_sub(charge(size));
    s.queue.pop_front();
    lock.unlock();
    // The link's thread left data in usrsctp while this stream was full.
    uint64_t one = 1;
    if (before >= kStreamBound && before - charge(size) < kStreamBound) {
        if (write(t->wake_fd, &one, sizeof one) < 0) return 0;  // it looks every 30 ms anyway
    }
    return 0;
}

void sctpp_destroy(void *ctx) {
    SctpTransport *t = static_cast<SctpTransport *>(ctx);
    if (!t) return;
    // A graceful close: the thread gives usrsctp what is still queued, then
    // shuts the association down, which goes out once the peer acknowledged
    // all. What is sent then is delivered; the shutdown's end is not waited
    // for, as the peer first sends everything it still holds.
    t->closing = true;
    if (t->thread.joinable() && t->connected && t->state.load() == 0) {
        uint64_t start = steady_ms();
        while (t->state.load() == 0 && steady_ms() - start < kCloseWaitMs &&
               now_ms(t) - t->last_data.load() < kCloseWaitMs && !all_acknowledged(t)) {
            std::unique_lock<std::mutex> lock(t->space_mutex);
            t->space_waiters++;
            t->space_cond.wait_for(lock, std::chrono::milliseconds(10));
            t->space_waiters--;
        }
    }
    set_state(t, SCTP_ERR_CLOSED);
    t->state = SCTP_ERR_CLOSED;
    t->stop = true;
    if (t->thread.joinable()) t->thread.join();
    int sock = t->sock;
    {
        std::lock_guard<std::mutex> lock(t->send_mutex);
        for (auto &q : t->out) q.clear();
    }
    free_transport(t);
    if (sock != NET_INVALID_SOCKET) {
        shutdown(sock, SHUT_RDWR);
        close(sock);
    }
    lib_release();
}

bool sctpp_connected(SctpTransport *link) {
    return link->connected.load();
}

void sctpp_advance_clock(SctpTransport *link, uint64_t ms) {
    link->clock_offset += ms;
}
