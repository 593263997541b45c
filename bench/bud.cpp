// BUD on loopback against the strongest fair peers on the same socket pair:
// raw UDP as the kernel does it best (segmented sends, offloaded and batched
// receives, one sender and one receiver thread, BUD's datagram size) and a
// floor of that path plus one AES-GCM seal and one open per datagram. Goodput
// and CPU per Gbit/s (both ends, from getrusage) at full speed and paced at
// 2.9 Gbit/s, also beside a floor that seals from and opens into 1 MB
// messages and one that also keeps every fragment in window slots; then through the lossy relay: goodput and
// the latency of 1 MB and of 100-byte control messages at 0, 1, 5 and 20% loss, and one stream over a 50 ms,
// 200 Mbit/s path with the system's default socket buffer limit. Every message is checked on arrival (order
// and content); the check's own CPU is not counted. With --benchmark_repetitions=N the ratio lines give the
// median and range of the N repetitions' ratios.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/lossy_relay.cpp"
#include "connection/bud.h"
#include "connection/udp.h"
#include "platform/crypto.h"

namespace {

constexpr uint32_t kRecord = BUD_RECORD_HEADER + BUD_HEADER_SIZE + BUD_FRAGMENT_SIZE;  // 1229 bytes
constexpr uint32_t kPlain = BUD_HEADER_SIZE + BUD_FRAGMENT_SIZE;
constexpr uint32_t kGso = 32;
constexpr uint32_t kMessage = 1 << 20;
constexpr double kPacedGbps = 2.9;
constexpr int kDefaultRmemMax = 212992;  // Debian's net.core.rmem_max and wmem_max

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double cpu_s() {
    rusage r;
    getrusage(RUSAGE_SELF, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double thread_cpu_s() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Sleeps until the absolute monotonic time t (seconds).
void sleep_until(double t) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(t);
    ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

uint16_t port_of(int fd) {
    return socket_port(fd);
}

// What the connection code asks for (0x500000), or the default limit.
void set_buffers(int fd, bool default_limit) {
    int size = default_limit ? kDefaultRmemMax : 0x500000;
    if (!default_limit) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    }
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

std::string key_text() {
    std::string s;
    for (int i = 0; i < 254; i++) s += "0123456789abcdef"[(i * 7 + 3) % 16];
    return s;
}

// Results by row, one per repetition in the order run, for the ratio lines at
// the end: the k-th repetition of a row is set against the k-th of its peer
// (with --benchmark_enable_random_interleaving=true those ran close together).
struct Result {
    double gbps = 0, cores_per_gbit = 0;
};
std::map<std::string, std::vector<Result>> g_results;

void report(benchmark::State &state, const std::string &row, double bytes, double secs, double cpu) {
    double gbps = bytes * 8 / secs / 1e9;
    state.SetIterationTime(secs);
    state.counters["Gbit/s"] = gbps;
    state.counters["cores"] = cpu / secs;
    state.counters["cores_per_Gbit/s"] = cpu / secs / gbps;
    g_results[row].push_back({gbps, cpu / secs / gbps});
}

// ---- raw UDP, batched both ways, optionally with one seal and one open per datagram ----

struct Sealer {
    VKO_AESGCM *ctx;
    uint8_t salt[4] = {1, 2, 3, 4};
    uint64_t counter = 0;
    Sealer() {
        uint8_t key[32] = {7};
        ctx = VKO_AESGCMCreate(key, sizeof key);
    }
    ~Sealer() { VKO_AESGCMDestroy(&ctx); }
    void nonce(const uint8_t *rec, uint8_t *n) const {
        std::memcpy(n, salt, 4);
        std::memcpy(n + 4, rec + 3, 8);
    }
    void seal(const uint8_t *plain, uint8_t *rec) {
        rec[0] = 0x17;
        rec[1] = 0xFE;
        rec[2] = 0xFD;
        uint64_t c = ++counter;
        for (int i = 7; i >= 0; i--, c >>= 8) rec[3 + i] = static_cast<uint8_t>(c);
        rec[11] = static_cast<uint8_t>((kPlain + 45) >> 8);
        rec[12] = static_cast<uint8_t>(kPlain + 45);
        uint8_t n[12];
        nonce(rec, n);
        VKO_AESGCMEncrypt(ctx, n, plain, kPlain, rec + 13, rec + BUD_RECORD_HEADER);
    }
    bool open(const uint8_t *rec, uint8_t *plain) {
        uint8_t n[12];
        nonce(rec, n);
        return VKO_AESGCMDecrypt(ctx, n, rec + BUD_RECORD_HEADER, kPlain, rec + 13, plain);
    }
};

// Takes every datagram waiting, in batches the kernel may coalesce; calls
// each(datagram) for each one. False once nothing came within 10 ms.
template <class F>
bool receive_batch(int fd, std::vector<uint8_t> &buf, F each) {
    constexpr int kMsgs = 16;
    constexpr size_t kSize = 65536;
    buf.resize(kMsgs * kSize);
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) return false;
    mmsghdr msgs[kMsgs];
    iovec iov[kMsgs];
    alignas(cmsghdr) uint8_t ctl[kMsgs][CMSG_SPACE(sizeof(int))];
    for (int i = 0; i < kMsgs; i++) {
        iov[i] = {buf.data() + i * kSize, kSize};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_control = ctl[i];
        msgs[i].msg_hdr.msg_controllen = sizeof ctl[i];
    }
    int k;
    while ((k = recvmmsg(fd, msgs, kMsgs, MSG_DONTWAIT, nullptr)) > 0) {
        for (int i = 0; i < k; i++) {
            uint32_t len = msgs[i].msg_len, seg = len;
            for (cmsghdr *cm = CMSG_FIRSTHDR(&msgs[i].msg_hdr); cm; cm = CMSG_NXTHDR(&msgs[i].msg_hdr, cm))
                if (cm->cmsg_level == SOL_UDP && cm->cmsg_type == UDP_GRO)
                    std::memcpy(&seg, CMSG_DATA(cm), 4);
            const uint8_t *d = static_cast<const uint8_t *>(iov[i].iov_base);
            for (uint32_t off = 0; off < len; off += seg) each(d + off, std::min(seg, len - off));
            msgs[i].msg_hdr.msg_controllen = sizeof ctl[i];
        }
    }
    return true;
}

// One sender thread (segmented sends of 32 datagrams), one receiver thread,
// for 1.5 s, or paced in 1 MB bursts at gbps. Goodput counts BUD's payload per
// datagram (1193 bytes), so it compares with BUD's own. With messages, each
// datagram is sealed from the next 1193 bytes of four 1 MB messages taken in
// turn and opened into the same place of a 1 MB reader buffer, as a transport
// that moves messages must at least do; else from and into one hot buffer.
// With slots, each record is also sealed into and sent from the slot of its
// sequence in a 4000-slot window of 2000-byte slots (kept for resending), and
// opened into the receive window's slot, whose payload is then copied into the
// reader's buffer: what any transport that stores fragments in such windows
// and hands messages over by copy must at least do. With several windows the
// messages take them in turn, as messages of several streams do.
enum class Store { kHot, kMessages, kSlots };
void raw_udp(benchmark::State &state, const char *row, bool crypto, double paced_gbps,
             Store store = Store::kHot, uint32_t windows = 1) {
    const bool messages = store != Store::kHot, slots = store == Store::kSlots;
    // Fragments of a message: the last one's plain text still ends inside it.
    constexpr uint32_t kSpan = (kMessage - kPlain) / BUD_FRAGMENT_SIZE + 1;
    const size_t window_bytes = slots ? size_t(windows) * BUD_WINDOW * BUD_SLOT_SIZE : 0;
    // The slot of datagram k: its message's window, at its sequence in that window's stream.
    auto slot_of = [windows](std::vector<uint8_t> &w, uint64_t k) {
        uint64_t m = k / kSpan, seq = (m / windows) * kSpan + k % kSpan;
        return w.data() + ((m % windows) * BUD_WINDOW + seq % BUD_WINDOW) * BUD_SLOT_SIZE;
    };
    std::vector<std::vector<uint8_t>> bodies;
    if (messages) {
        std::mt19937_64 rng(9);
        for (int k = 0; k < 4; k++) {
            bodies.emplace_back(kMessage);
            for (auto &x : bodies.back()) x = static_cast<uint8_t>(rng());
        }
    }
    for (auto _ : state) {
        int s, r;
        network_udp_socket(&s, 0);
        network_udp_socket(&r, 0);
        set_buffers(s, false);
        set_buffers(r, false);
        int on = 1;
        setsockopt(r, SOL_UDP, UDP_GRO, &on, sizeof on);
        sockaddr_in6 to = loopback6(port_of(r));
        std::atomic<bool> done{false};
        std::atomic<uint64_t> got{0}, bad{0};
        std::atomic<double> rx_cpu{0};
        std::thread rx([&] {
            double own = thread_cpu_s();
            Sealer open;
            std::vector<uint8_t> buf, reader(messages ? kMessage : kPlain);
            std::vector<uint8_t> window(window_bytes);
            uint64_t n = 0, b = 0;
            auto each = [&](const uint8_t *d, uint32_t len) {
                uint8_t *to_plain = reader.data() + (messages ? (n % kSpan) * BUD_FRAGMENT_SIZE : 0);
                if (slots) {
                    uint8_t *slot = slot_of(window, n);
                    if (len != kRecord || !open.open(d, slot)) b++;
                    std::memcpy(to_plain, slot + BUD_HEADER_SIZE, BUD_FRAGMENT_SIZE);
                } else if (len != kRecord || (crypto && !open.open(d, to_plain))) {
                    b++;
                }
                n++;
            };
            while (receive_batch(r, buf, each) || !done.load(std::memory_order_relaxed)) {
            }
            got = n;
            bad = b;
            rx_cpu = thread_cpu_s() - own;
        });
        Sealer seal;
        std::vector<uint8_t> batch(kGso * kRecord, 0), plain(kPlain, 0x5A);
        std::vector<uint8_t> window(window_bytes);
        iovec iov[kGso];
        const uint32_t per_burst = (kMessage + BUD_FRAGMENT_SIZE - 1) / BUD_FRAGMENT_SIZE;
        double c0 = cpu_s(), t0 = now_s(), next = t0, own = thread_cpu_s();
        uint64_t sent = 0;
        while (now_s() - t0 < 1.5) {
            uint32_t burst = paced_gbps > 0 ? per_burst : kGso * 16;
            for (uint32_t done_in_burst = 0; done_in_burst < burst; done_in_burst += kGso) {
                uint32_t count = std::min(kGso, burst - done_in_burst);
                if (crypto)
                    for (uint32_t i = 0; i < count; i++) {
                        uint64_t k = sent + i;
                        const uint8_t *from =
                            messages ? bodies[(k / kSpan) % 4].data() + (k % kSpan) * BUD_FRAGMENT_SIZE
                                     : plain.data();
                        uint8_t *rec = slots ? slot_of(window, k) : batch.data() + i * kRecord;
                        seal.seal(from, rec);
                        iov[i] = {rec, kRecord};
                    }
                while ((slots ? network_sendmsg_segments_iov(s, iov, count, kRecord, &to, nullptr)
                              : network_sendmsg_segments(s, batch.data(), count * kRecord, kRecord, &to,
                                                         nullptr)) < 0) {
                    pollfd p{s, POLLOUT, 0};
                    poll(&p, 1, 1);
                }
                sent += count;
            }
            if (paced_gbps > 0) {
                next += kMessage * 8.0 / (paced_gbps * 1e9);
                sleep_until(next);
            }
        }
        double secs = now_s() - t0, tx_cpu = thread_cpu_s() - own;
        done = true;
        rx.join();
        double cpu = cpu_s() - c0;
        double gbit = static_cast<double>(got.load()) * BUD_FRAGMENT_SIZE * 8 / 1e9;
        state.counters["senders_s/Gbit"] = tx_cpu / gbit;
        state.counters["readers_s/Gbit"] = rx_cpu.load() / gbit;
        if (bad.load() != 0) state.SkipWithError("a datagram arrived damaged");
        state.counters["lost_%"] = 100.0 * static_cast<double>(sent - got.load()) / static_cast<double>(sent);
        report(state, row, static_cast<double>(got.load()) * BUD_FRAGMENT_SIZE, secs, cpu);
        close(s);
        close(r);
    }
}

void BM_RawUdpBatched(benchmark::State &state) {
    raw_udp(state, "raw", false, 0);
}
void BM_Floor(benchmark::State &state) {
    raw_udp(state, "floor", true, 0);
}
void BM_FloorPaced(benchmark::State &state) {
    raw_udp(state, "floor paced", true, kPacedGbps);
}
void BM_FloorMessages(benchmark::State &state) {
    raw_udp(state, "floor, messages", true, 0, Store::kMessages);
}
void BM_FloorMessagesPaced(benchmark::State &state) {
    raw_udp(state, "floor paced, messages", true, kPacedGbps, Store::kMessages);
}
void BM_FloorSlots(benchmark::State &state) {
    raw_udp(state, "floor, slots", true, 0, Store::kSlots);
}
void BM_FloorSlots5(benchmark::State &state) {
    raw_udp(state, "floor, 5 windows", true, 0, Store::kSlots, 5);
}
void BM_FloorSlotsPaced(benchmark::State &state) {
    raw_udp(state, "floor paced, slots", true, kPacedGbps, Store::kSlots);
}

// ---- BUD ----

struct Link {
    BUD *a = nullptr, *b = nullptr;
    std::unique_ptr<LossyRelay> relay;
    explicit Link(bool via_relay, bool default_limit = false) {
        int sa, sb;
        network_udp_socket(&sa, 0);
        network_udp_socket(&sb, 0);
        set_buffers(sa, default_limit);
        set_buffers(sb, default_limit);
        sockaddr_in6 to_b = loopback6(port_of(sb)), to_a = loopback6(port_of(sa));
        if (via_relay) {
            relay = std::make_unique<LossyRelay>(99);
            relay->start(to_a, to_b);
            to_b = relay->address_for_a();
            to_a = relay->address_for_b();
        }
        std::string k = key_text();
        bud_create(&a, sa, &to_b, nullptr, k.c_str(), 1, 1, "a", 1);
        bud_create(&b, sb, &to_a, nullptr, k.c_str(), 1, 0, "b", 1);
    }
    ~Link() {
        if (relay) relay->stop();
        bud_close(a);
        bud_close(b);
    }
};

// Four different 1 MB bodies per stream; message i carries i in its first 8
// bytes and body i % 4 after them.
struct Messages {
    std::vector<std::vector<uint8_t>> body;
    explicit Messages(uint32_t stream, uint32_t size = kMessage) {
        std::mt19937_64 rng(stream + 1);
        for (int k = 0; k < 4; k++) {
            body.emplace_back(size);
            for (auto &x : body.back()) x = static_cast<uint8_t>(rng());
        }
    }
    // Message i, written in place (the sender's side; the check reads past byte 8 only).
    const uint8_t *message(uint64_t i) {
        std::memcpy(body[i % 4].data(), &i, 8);
        return body[i % 4].data();
    }
    bool check(uint64_t i, const uint8_t *m, uint32_t len) const {
        const std::vector<uint8_t> &b = body[i % 4];
        return len == b.size() && std::memcmp(m, &i, 8) == 0 &&
               std::memcmp(m + 8, b.data() + 8, len - 8) == 0;
    }
};

uint32_t stream_in_place(BUD *link, uint8_t stream) {
    BudStreamStats st;
    bud_stream_stats(link, stream, &st);
    return st.in_place;
}

// Sends and checks 1 MB messages on `streams` streams until `total` bytes moved
// (or, paced, for 1.5 s at gbps over all streams).
void bud_run(benchmark::State &state, const char *row, int streams, double paced_gbps) {
    const uint64_t total = 1024ull << 20;
    for (auto _ : state) {
        Link link(false);
        std::vector<std::unique_ptr<Messages>> msgs;
        for (int s = 0; s < streams; s++)
            msgs.push_back(std::make_unique<Messages>(static_cast<uint32_t>(s)));
        std::vector<std::thread> th;
        std::atomic<uint64_t> got{0}, bad{0};
        std::atomic<bool> stop{false};
        std::atomic<double> check_cpu{0}, sender_cpu{0}, reader_cpu{0};
        auto add = [](std::atomic<double> &to, double v) {
            double prev = to.load();
            while (!to.compare_exchange_weak(prev, prev + v)) {
            }
        };
        double c0 = cpu_s(), t0 = now_s();
        for (int s = 0; s < streams; s++) {
            uint64_t count = total / kMessage / static_cast<uint64_t>(streams);
            th.emplace_back([&, s, count] {
                double next = now_s(), own = thread_cpu_s();
                for (uint64_t i = 0; (paced_gbps > 0 ? !stop.load() : i < count); i++) {
                    const uint8_t *m = msgs[s]->message(i);
                    int32_t r;
                    while ((r = bud_send(link.a, static_cast<uint8_t>(s), nullptr, 0, m, kMessage, 1000)) ==
                           BUD_TIMEOUT) {
                    }
                    if (r != 0) break;
                    if (paced_gbps > 0) {
                        next += kMessage * 8.0 * streams / (paced_gbps * 1e9);
                        sleep_until(next);
                    }
                }
                add(sender_cpu, thread_cpu_s() - own);
            });
            th.emplace_back([&, s, count] {
                std::vector<uint8_t> m(kMessage);
                uint32_t len;
                double spent = 0, own = thread_cpu_s();
                for (uint64_t i = 0; paced_gbps > 0 || i < count;) {
                    int32_t r = bud_recv(link.b, static_cast<uint8_t>(s), m.data(), kMessage, &len, 100);
                    if (r == BUD_TIMEOUT && paced_gbps > 0 && stop.load()) break;
                    if (r == BUD_TIMEOUT) continue;
                    if (r != 0) break;
                    double c = thread_cpu_s();
                    if (!msgs[s]->check(i, m.data(), len)) bad++;
                    spent += thread_cpu_s() - c;
                    got += len;
                    i++;
                }
                add(check_cpu, spent);
                add(reader_cpu, thread_cpu_s() - own - spent);
            });
        }
        if (paced_gbps > 0) {
            sleep_until(t0 + 1.5);
            stop = true;
        }
        for (auto &t : th) t.join();
        double secs = now_s() - t0, cpu = cpu_s() - c0 - check_cpu.load();
        if (bad.load() != 0) state.SkipWithError("a message arrived damaged or out of order");
        report(state, row, static_cast<double>(got.load()), secs, cpu);
        uint32_t fast = 0, slow = 0;
        for (uint8_t s = 0; s < BUD_STREAMS; s++) {
            BudStreamStats st;
            bud_stream_stats(link.a, s, &st);
            fast += st.fast_retransmissions;
            slow += st.slow_retransmissions;
        }
        uint64_t in_place = 0;
        for (uint8_t s = 0; s < BUD_STREAMS; s++) in_place += stream_in_place(link.b, s);
        state.counters["in_place_%"] =
            100.0 * static_cast<double>(in_place) / (static_cast<double>(got.load()) / BUD_FRAGMENT_SIZE);
        state.counters["fastRTs"] = fast;
        state.counters["slowRTs"] = slow;
        // What the link costs per 1000 datagrams of data, both ends.
        BudLinkStats la, lb;
        bud_link_stats(link.a, &la);
        bud_link_stats(link.b, &lb);
        double k = static_cast<double>(got.load()) / BUD_FRAGMENT_SIZE / 1000.0;
        state.counters["in_flight_limit"] = la.budget;
        state.counters["rtt_ms"] = la.rtt_us / 1000.0;
        state.counters["acks/k"] = lb.acks_sent / k;
        state.counters["gap_acks/k"] = lb.gap_acks_sent / k;
        state.counters["turns/k"] = (la.wakeups + lb.wakeups) / k;
        // CPU seconds per Gbit of the threads that call bud_send and bud_recv;
        // the rest of cores_per_Gbit/s is the two links' own threads.
        double gbit = static_cast<double>(got.load()) * 8 / 1e9;
        state.counters["senders_s/Gbit"] = sender_cpu.load() / gbit;
        state.counters["readers_s/Gbit"] = reader_cpu.load() / gbit;
        state.counters["link_a_s/Gbit"] = la.thread_cpu_ms / 1e3 / gbit;
        state.counters["link_b_s/Gbit"] = lb.thread_cpu_ms / 1e3 / gbit;
    }
}

void BM_Bud1MB(benchmark::State &state) {
    int streams = static_cast<int>(state.range(0));
    bud_run(state, streams == 1 ? "bud 1 stream" : "bud 5 streams", streams, 0);
}
void BM_Bud1MBPaced(benchmark::State &state) {
    bud_run(state, "bud paced", 1, kPacedGbps);
}

// ---- through the relay ----

// Raw datagrams through the relay as fast as it forwards them: the ceiling of
// every relay row.
void BM_RelayCeiling(benchmark::State &state) {
    for (auto _ : state) {
        int s, r;
        network_udp_socket(&s, 0);
        network_udp_socket(&r, 0);
        set_buffers(s, false);
        set_buffers(r, false);
        LossyRelay relay(1);
        relay.start(loopback6(port_of(s)), loopback6(port_of(r)));
        sockaddr_in6 to = relay.address_for_a();
        std::atomic<bool> done{false};
        std::atomic<uint64_t> got{0};
        std::thread rx([&] {
            std::vector<uint8_t> buf;
            uint64_t n = 0;
            auto each = [&](const uint8_t *, uint32_t) { n++; };
            while (receive_batch(r, buf, each) || !done.load()) {
            }
            got = n;
        });
        std::vector<uint8_t> batch(kGso * kRecord, 0);
        double t0 = now_s();
        while (now_s() - t0 < 1.0) {
            // Faster than the relay forwards; what it cannot take is lost on its socket.
            network_sendmsg_segments(s, batch.data(), kGso * kRecord, kRecord, &to, nullptr);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        double secs = now_s() - t0;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        done = true;
        rx.join();
        relay.stop();
        report(state, "relay", static_cast<double>(got.load()) * BUD_FRAGMENT_SIZE, secs, 0);
        close(s);
        close(r);
    }
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// 1 MB messages on stream 1 as fast as the link takes them, and a 100-byte
// control message every millisecond on stream 0, for 3 s through the relay at
// the given loss (both ways). Latency runs from the start of bud_send to the
// end of bud_recv.
void BM_RelayLoss(benchmark::State &state) {
    double loss = static_cast<double>(state.range(0)) / 100.0;
    for (auto _ : state) {
        Link link(true);
        RelayRules rules;
        rules.loss = loss;
        link.relay->set_rules(LossyRelay::AtoB, rules);
        link.relay->set_rules(LossyRelay::BtoA, rules);
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> video{0}, bad{0};
        const size_t kStamps = 1 << 16;
        std::unique_ptr<std::atomic<double>[]> sent_at(new std::atomic<double>[kStamps]),
            ctl_sent_at(new std::atomic<double>[kStamps]);
        std::vector<double> video_lat, ctl_lat;
        Messages msgs(1);
        std::thread vs([&] {
            for (uint64_t i = 0; !stop.load(); i++) {
                const uint8_t *m = msgs.message(i);
                sent_at[i % kStamps] = now_s();
                while (!stop.load() && bud_send(link.a, 1, nullptr, 0, m, kMessage, 20) == BUD_TIMEOUT) {
                }
            }
        });
        std::thread vr([&] {
            std::vector<uint8_t> m(kMessage);
            uint32_t len;
            for (uint64_t i = 0; !stop.load();) {
                if (bud_recv(link.b, 1, m.data(), kMessage, &len, 20) != 0) continue;
                video_lat.push_back((now_s() - sent_at[i % kStamps]) * 1e3);
                if (!msgs.check(i, m.data(), len)) bad++;
                video += len;
                i++;
            }
        });
        std::thread cr([&] {
            uint8_t m[128];
            uint32_t len;
            for (uint64_t i = 0; !stop.load();) {
                if (bud_recv(link.b, 0, m, sizeof m, &len, 20) != 0) continue;
                ctl_lat.push_back((now_s() - ctl_sent_at[i % kStamps]) * 1e3);
                uint64_t n;
                std::memcpy(&n, m, 8);
                if (len != 100 || n != i) bad++;
                i++;
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let video fill the path
        double t0 = now_s();
        uint64_t v0 = video.load();
        for (uint64_t i = 0; now_s() - t0 < 3.0; i++) {
            uint8_t m[100] = {};
            std::memcpy(m, &i, 8);
            ctl_sent_at[i % kStamps] = now_s();
            bud_send(link.a, 0, m, 13, m + 13, 87, 1000);
            std::this_thread::sleep_for(std::chrono::microseconds(1000));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        double secs = now_s() - t0;
        uint64_t vbytes = video.load() - v0;
        stop = true;
        vs.join();
        vr.join();
        cr.join();
        if (bad.load() != 0) state.SkipWithError("a message arrived damaged or out of order");
        state.counters["1MB_median_ms"] = percentile(video_lat, 0.5);
        state.counters["1MB_p99_ms"] = percentile(video_lat, 0.99);
        state.counters["ctl_median_ms"] = percentile(ctl_lat, 0.5);
        state.counters["ctl_p99_ms"] = percentile(ctl_lat, 0.99);
        // Acks the receiving end sent per 1000 data datagrams it took; above a gap
        // every fragment is acknowledged at once.
        BudLinkStats lb;
        bud_link_stats(link.b, &lb);
        double k = static_cast<double>(video.load()) / BUD_FRAGMENT_SIZE / 1000.0;
        state.counters["acks/k"] = lb.acks_sent / k;
        state.counters["gap_acks/k"] = lb.gap_acks_sent / k;
        BudLinkStats la;
        bud_link_stats(link.a, &la);
        double gbit = static_cast<double>(video.load()) * 8 / 1e9;
        state.counters["link_a_s/Gbit"] = la.thread_cpu_ms / 1e3 / gbit;
        state.counters["link_b_s/Gbit"] = lb.thread_cpu_ms / 1e3 / gbit;
        report(state, "relay " + std::to_string(state.range(0)) + "%", static_cast<double>(vbytes), secs, 0);
    }
}

// One stream over a 50 ms round trip capped at 200 Mbit/s (a queue of one
// round trip's worth in front of the cap): the in-flight limit has to follow
// the path. Argument 1: sockets at the system's default limit (208 KiB), 0:
// the buffers the connection code asks for.
void BM_RelayLongPath(benchmark::State &state) {
    const uint64_t cap = 200000000;
    for (auto _ : state) {
        bool default_limit = state.range(0) != 0;
        Link link(true, default_limit);
        RelayRules back;
        back.delay_us = 25000;
        RelayRules fwd = back;
        fwd.rate_bps = cap;
        fwd.queue_bytes = static_cast<uint32_t>(cap / 8 / 20);
        link.relay->set_rules(LossyRelay::AtoB, fwd);
        link.relay->set_rules(LossyRelay::BtoA, back);
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> got{0}, bad{0};
        Messages msgs(1);
        std::thread vs([&] {
            for (uint64_t i = 0; !stop.load(); i++) {
                const uint8_t *m = msgs.message(i);
                while (!stop.load() && bud_send(link.a, 1, nullptr, 0, m, kMessage, 20) == BUD_TIMEOUT) {
                }
            }
        });
        std::thread vr([&] {
            std::vector<uint8_t> m(kMessage);
            uint32_t len;
            for (uint64_t i = 0; !stop.load();) {
                if (bud_recv(link.b, 1, m.data(), kMessage, &len, 20) != 0) continue;
                if (!msgs.check(i, m.data(), len)) bad++;
                got += len;
                i++;
            }
        });
        std::this_thread::sleep_for(std::chrono::seconds(2));  // the limit grows from the socket's figure
        double t0 = now_s();
        uint64_t g0 = got.load();
        std::this_thread::sleep_for(std::chrono::seconds(4));
        double secs = now_s() - t0;
        uint64_t bytes = got.load() - g0;
        stop = true;
        vs.join();
        vr.join();
        BudLinkStats ls;
        bud_link_stats(link.a, &ls);
        if (bad.load() != 0) state.SkipWithError("a message arrived damaged or out of order");
        state.counters["of_cap_%"] = 100.0 * static_cast<double>(bytes) * 8 / secs / static_cast<double>(cap);
        state.counters["in_flight_limit"] = ls.budget;
        BudStreamStats st;
        bud_stream_stats(link.a, 1, &st);
        state.counters["fastRTs"] = st.fast_retransmissions;
        state.counters["slowRTs"] = st.slow_retransmissions;
        report(state, default_limit ? "long path" : "long path, big buffers", static_cast<double>(bytes),
               secs, 0);
    }
}

// The ratio of every repetition of row against the same repetition of peer:
// "median [lowest, highest] over n", or the one value.
template <class F>
std::string ratios(const std::string &row, const std::string &peer, F value) {
    const std::vector<Result> &a = g_results[row], &b = g_results[peer];
    std::vector<double> v;
    for (size_t i = 0; i < std::min(a.size(), b.size()); i++) {
        double d = value(b[i]);
        v.push_back(d > 0 ? value(a[i]) / d : 0.0);
    }
    if (v.empty()) return "n/a";
    std::sort(v.begin(), v.end());
    char text[96];
    if (v.size() == 1) {
        std::snprintf(text, sizeof text, "%.2f", v[0]);
    } else {
        double median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
        std::snprintf(text, sizeof text, "%.2f [%.2f, %.2f] over %zu runs", median, v.front(), v.back(),
                      v.size());
    }
    return text;
}

void print_ratios() {
    auto has = [](const char *k) { return g_results.count(k) != 0; };
    auto gbps = [](const Result &r) { return r.gbps; };
    auto cpu = [](const Result &r) { return r.cores_per_gbit; };
    std::printf("\nratios (ours / peer; median [lowest, highest] over repetitions):\n");
    for (const char *row : {"bud 1 stream", "bud 5 streams"}) {
        if (!has(row)) continue;
        if (has("raw"))
            std::printf("  goodput, %-14s BUD / batched raw UDP         = %s\n", row,
                        ratios(row, "raw", gbps).c_str());
        if (has("floor")) {
            std::printf("  goodput, %-14s BUD / floor (raw + AES-GCM)   = %s\n", row,
                        ratios(row, "floor", gbps).c_str());
            std::printf("  CPU per Gbit/s, %-7s BUD / floor (raw + AES-GCM)   = %s (lower is better)\n",
                        row + 4, ratios(row, "floor", cpu).c_str());
        }
    }
    if (has("bud paced") && has("floor paced"))
        std::printf("  CPU per Gbit/s at %.1f Gbit/s paced, BUD / floor          = %s (lower is better)\n",
                    kPacedGbps, ratios("bud paced", "floor paced", cpu).c_str());
    // The floor that seals from and opens into real messages: what is left is BUD's own.
    for (const char *row : {"bud 1 stream", "bud 5 streams"})
        if (has(row) && has("floor, messages"))
            std::printf("  CPU per Gbit/s, %-7s BUD / floor over 1 MB messages = %s (lower is better)\n",
                        row + 4, ratios(row, "floor, messages", cpu).c_str());
    if (has("bud paced") && has("floor paced, messages"))
        std::printf(
            "  CPU per Gbit/s at %.1f Gbit/s paced, BUD / floor over 1 MB messages = %s (lower is better)\n",
            kPacedGbps, ratios("bud paced", "floor paced, messages", cpu).c_str());
    // The floor that also keeps every fragment in window slots and copies messages out of them.
    if (has("bud 1 stream") && has("floor, slots"))
        std::printf("  CPU per Gbit/s, 1 stream BUD / floor over window slots = %s (lower is better)\n",
                    ratios("bud 1 stream", "floor, slots", cpu).c_str());
    if (has("bud 5 streams") && has("floor, 5 windows"))
        std::printf("  CPU per Gbit/s, 5 streams BUD / floor over 5 windows' slots = %s (lower is better)\n",
                    ratios("bud 5 streams", "floor, 5 windows", cpu).c_str());
    if (has("bud paced") && has("floor paced, slots"))
        std::printf(
            "  CPU per Gbit/s at %.1f Gbit/s paced, BUD / floor over window slots = %s (lower is better)\n",
            kPacedGbps, ratios("bud paced", "floor paced, slots", cpu).c_str());
    if (has("relay 0%")) {
        if (has("relay"))
            std::printf("  goodput through the relay at 0%%, BUD / the relay's own ceiling = %s\n",
                        ratios("relay 0%", "relay", gbps).c_str());
        for (const char *row : {"relay 1%", "relay 5%", "relay 20%"})
            if (has(row))
                std::printf("  goodput at %-9s loss, BUD / BUD at 0%% loss through the relay = %s\n", row + 6,
                            ratios(row, "relay 0%", gbps).c_str());
    }
    // The cap is a constant: a row of its own stands in for it.
    g_results["cap"] = std::vector<Result>(64, Result{0.2, 0});
    for (const char *row : {"long path", "long path, big buffers"})
        if (has(row))
            std::printf("  goodput over 50 ms at a 200 Mbit/s cap (%s), BUD / the cap = %s\n",
                        row[9] ? "big socket buffers" : "default socket limit",
                        ratios(row, "cap", gbps).c_str());
}

}  // namespace

BENCHMARK(BM_RawUdpBatched)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bud1MB)->Arg(1)->Arg(5)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorPaced)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorMessages)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorMessagesPaced)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorSlots)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorSlots5)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorSlotsPaced)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bud1MBPaced)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RelayCeiling)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
// percent loss through the relay, both ways
BENCHMARK(BM_RelayLoss)
    ->Arg(0)
    ->Arg(1)
    ->Arg(5)
    ->Arg(20)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RelayLongPath)->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_ratios();
    return 0;
}
