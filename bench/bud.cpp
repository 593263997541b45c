// BUD on loopback beside raw UDP and ENet's reliable channel: goodput of 1 MB
// messages on one and five streams, CPU per gigabit, and the one-way latency of
// small control messages while a video stream saturates the link, directly and
// through a lossy relay.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<enet/enet.h>)
#include <enet/enet.h>
#define HAVE_ENET 1
#endif

#include "connection/bud.h"
#include "connection/udp.h"

namespace {

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

double cpu_s() {
    rusage r;
    getrusage(RUSAGE_SELF, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

sockaddr_in6 loop6(uint16_t port) {
    sockaddr_in6 a{};
    network_make_addr("::1", port, &a);
    return a;
}

uint16_t port_of(int fd) {
    sockaddr_in6 a{};
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l);
    return ntohs(a.sin6_port);
}

int g_buffer = 0x500000;  // what the connection code asks for; ZARVEK_BENCH_RCVBUF overrides

void big_buffers(int fd) {
    int size = g_buffer;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

std::string key_text() {
    std::string s;
    for (int i = 0; i < 254; i++) s += "0123456789abcdef"[(i * 7 + 3) % 16];
    return s;
}

double g_raw_gbps = 0, g_enet_gbps = 0;

// ---- minimal loss relay (the tests' relay lives in the test tree) ----
struct Relay {
    int fa = -1, fb = -1;
    sockaddr_in6 pa{}, pb{};
    double loss = 0;
    std::atomic<bool> stop{false};
    std::thread t;
    void start(uint16_t port_a, uint16_t port_b, double l, uint64_t seed) {
        loss = l;
        pa = loop6(port_a);
        pb = loop6(port_b);
        network_udp_socket(&fa, 0);
        network_udp_socket(&fb, 0);
        big_buffers(fa);
        big_buffers(fb);
        t = std::thread([this, seed] {
            std::mt19937_64 rng(seed);
            std::uniform_real_distribution<double> u(0, 1);
            uint8_t buf[2048];
            while (!stop.load(std::memory_order_relaxed)) {
                pollfd p[2] = {{fa, POLLIN, 0}, {fb, POLLIN, 0}};
                if (poll(p, 2, 20) <= 0) continue;
                for (int side = 0; side < 2; side++) {
                    if (!(p[side].revents & POLLIN)) continue;
                    for (int i = 0; i < 64; i++) {
                        ssize_t n = recv(side ? fb : fa, buf, sizeof buf, 0);
                        if (n <= 0) break;
                        if (u(rng) < loss) continue;
                        const sockaddr_in6 &to = side ? pa : pb;
                        sendto(side ? fa : fb, buf, static_cast<size_t>(n), 0,
                               reinterpret_cast<const sockaddr *>(&to), sizeof to);
                    }
                }
            }
        });
    }
    ~Relay() {
        stop = true;
        if (t.joinable()) t.join();
        if (fa >= 0) close(fa);
        if (fb >= 0) close(fb);
    }
};

struct Link {
    BUD *a = nullptr, *b = nullptr;
    Relay relay;
    explicit Link(double loss = -1) {
        int sa, sb;
        network_udp_socket(&sa, 0);
        network_udp_socket(&sb, 0);
        big_buffers(sa);
        big_buffers(sb);
        sockaddr_in6 to_b = loop6(port_of(sb)), to_a = loop6(port_of(sa));
        if (loss >= 0) {
            relay.start(port_of(sa), port_of(sb), loss, 99);
            to_b = loop6(port_of(relay.fa));
            to_a = loop6(port_of(relay.fb));
        }
        std::string k = key_text();
        bud_create(&a, sa, &to_b, nullptr, k.c_str(), 1, 1, "a", 1);
        bud_create(&b, sb, &to_a, nullptr, k.c_str(), 1, 0, "b", 1);
    }
    ~Link() {
        bud_close(a);
        bud_close(b);
    }
};

void report(benchmark::State &state, double bytes, double secs, double cpu) {
    double gbps = bytes * 8 / secs / 1e9;
    state.SetIterationTime(secs);
    state.counters["Gbit/s"] = gbps;
    state.counters["cores"] = cpu / secs;
    state.counters["cores_per_Gbit"] = cpu / secs / gbps;
    if (g_raw_gbps > 0) state.counters["of_raw"] = gbps / g_raw_gbps;
    if (g_enet_gbps > 0) state.counters["of_enet"] = gbps / g_enet_gbps;
}

// Raw UDP between two sockets for 1.5 s: the ceiling BUD is measured against.
// Segmented, the kernel cuts 32 datagrams out of each send and the receiver
// takes them in batches (as BUD sends and receives).
void raw_udp(benchmark::State &state, bool segmented) {
    for (auto _ : state) {
        int s, r;
        network_udp_socket(&s, 0);
        network_udp_socket(&r, 0);
        big_buffers(s);
        big_buffers(r);
        sockaddr_in6 to = loop6(port_of(r));
        std::atomic<bool> done{false};
        std::atomic<uint64_t> got{0};
        std::thread rx([&] {
            std::vector<uint8_t> buf(32 * 1200);
            mmsghdr msgs[32];
            iovec iov[32];
            for (int i = 0; i < 32; i++) {
                iov[i] = {buf.data() + i * 1200, 1200};
                msgs[i] = {};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            uint64_t n = 0;
            while (!done.load(std::memory_order_relaxed)) {
                pollfd p{r, POLLIN, 0};
                if (poll(&p, 1, 10) <= 0) continue;
                int k;
                if (segmented) {
                    while ((k = recvmmsg(r, msgs, 32, MSG_DONTWAIT, nullptr)) > 0)
                        for (int i = 0; i < k; i++) n += msgs[i].msg_len;
                } else {
                    while ((k = static_cast<int>(recv(r, buf.data(), 2048, MSG_DONTWAIT))) > 0)
                        n += static_cast<uint64_t>(k);
                }
            }
            got = n;
        });
        std::vector<uint8_t> d(32 * 1200);
        double c0 = cpu_s(), t0 = now_s();
        while (now_s() - t0 < 1.5) {
            for (int i = 0; i < (segmented ? 16 : 256); i++) {
                int32_t sent = segmented
                                   ? network_sendmsg_segments(s, d.data(), static_cast<uint32_t>(d.size()),
                                                              1200, &to, nullptr)
                                   : static_cast<int32_t>(sendto(
                                         s, d.data(), 1200, 0, reinterpret_cast<sockaddr *>(&to), sizeof to));
                if (sent < 0) {
                    pollfd p{s, POLLOUT, 0};
                    poll(&p, 1, 1);
                }
            }
        }
        double secs = now_s() - t0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        done = true;
        rx.join();
        double cpu = cpu_s() - c0;
        if (!segmented) g_raw_gbps = static_cast<double>(got.load()) * 8 / secs / 1e9;
        report(state, static_cast<double>(got.load()), secs, cpu);
        close(s);
        close(r);
    }
}

void BM_RawUdp(benchmark::State &state) {
    raw_udp(state, false);
}

void BM_RawUdpSegmented(benchmark::State &state) {
    raw_udp(state, true);
}

#ifdef HAVE_ENET
void BM_EnetReliable1MB(benchmark::State &state) {
    enet_initialize();
    const int kMessages = 128;
    for (auto _ : state) {
        ENetAddress addr{};
        addr.host = ENET_HOST_ANY;
        addr.port = 0;
        ENetHost *server = enet_host_create(&addr, 1, 1, 0, 0);
        ENetAddress saddr{};
        enet_address_set_host(&saddr, "127.0.0.1");
        saddr.port = server->address.port;
        ENetHost *client = enet_host_create(nullptr, 1, 1, 0, 0);
        std::atomic<int> received{0};
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> bytes{0};
        std::thread srv([&] {
            ENetEvent ev;
            while (!stop.load()) {
                while (enet_host_service(server, &ev, 1) > 0) {
                    if (ev.type == ENET_EVENT_TYPE_RECEIVE) {
                        bytes += ev.packet->dataLength;
                        received++;
                        enet_packet_destroy(ev.packet);
                    }
                }
            }
        });
        ENetPeer *peer = enet_host_connect(client, &saddr, 1, 0);
        ENetEvent ev;
        while (enet_host_service(client, &ev, 100) >= 0 && ev.type != ENET_EVENT_TYPE_CONNECT) {
        }
        std::vector<uint8_t> msg(1 << 20, 0x5A);
        double c0 = cpu_s(), t0 = now_s();
        int sent = 0;
        while (received.load() < kMessages && now_s() - t0 < 60) {
            // keep a few messages queued, as a streaming sender would
            while (sent < kMessages && sent - received.load() < 4) {
                enet_peer_send(peer, 0,
                               enet_packet_create(msg.data(), msg.size(), ENET_PACKET_FLAG_RELIABLE));
                sent++;
            }
            enet_host_service(client, &ev, 1);
        }
        double secs = now_s() - t0, cpu = cpu_s() - c0;
        stop = true;
        srv.join();
        g_enet_gbps = static_cast<double>(bytes.load()) * 8 / secs / 1e9;
        report(state, static_cast<double>(bytes.load()), secs, cpu);
        enet_peer_reset(peer);
        enet_host_destroy(client);
        enet_host_destroy(server);
    }
    enet_deinitialize();
}
#endif

void BM_Bud1MB(benchmark::State &state) {
    const int streams = static_cast<int>(state.range(0));
    const uint64_t total = 512ull << 20;
    for (auto _ : state) {
        Link link;
        std::vector<std::thread> th;
        std::atomic<uint64_t> got{0};
        double c0 = cpu_s(), t0 = now_s();
        for (int s = 0; s < streams; s++) {
            uint64_t per = total / static_cast<uint64_t>(streams);
            th.emplace_back([&, s, per] {
                std::vector<uint8_t> m(1 << 20, static_cast<uint8_t>(s));
                for (uint64_t sent = 0; sent < per; sent += m.size())
                    while (bud_send(link.a, static_cast<uint8_t>(s), nullptr, 0, m.data(), 1 << 20, 1000) ==
                           2000) {
                    }
            });
            th.emplace_back([&, s, per] {
                std::vector<uint8_t> m(1 << 20);
                uint32_t len;
                for (uint64_t rcvd = 0; rcvd < per;) {
                    int32_t r = bud_recv(link.b, static_cast<uint8_t>(s), m.data(), 1 << 20, &len, 1000);
                    if (r == 0) {
                        rcvd += len;
                        got += len;
                    } else if (r != 2000) {
                        break;
                    }
                }
            });
        }
        for (auto &t : th) t.join();
        double secs = now_s() - t0, cpu = cpu_s() - c0;
        report(state, static_cast<double>(got.load()), secs, cpu);
        BudStreamStats st;
        uint32_t fast = 0, slow = 0;
        for (uint8_t s = 0; s < 5; s++) {
            bud_stream_stats(link.a, s, &st);
            fast += st.fast_retransmissions;
            slow += st.slow_retransmissions;
        }
        state.counters["fastRTs"] = fast;
        state.counters["slowRTs"] = slow;
    }
}

// 100-byte control messages every millisecond on stream 0 while stream 1
// carries 1 MB video messages as fast as the link takes them.
void BM_ControlLatencyUnderVideo(benchmark::State &state) {
    double loss = static_cast<double>(state.range(0)) / 100.0;
    for (auto _ : state) {
        Link link(state.range(0) < 0 ? -1 : loss);
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> video{0};
        std::thread vs([&] {
            std::vector<uint8_t> m(1 << 20, 1);
            while (!stop.load()) bud_send(link.a, 1, nullptr, 0, m.data(), 1 << 20, 20);
        });
        std::thread vr([&] {
            std::vector<uint8_t> m(1 << 20);
            uint32_t len;
            while (!stop.load())
                if (bud_recv(link.b, 1, m.data(), 1 << 20, &len, 20) == 0) video += len;
        });
        std::vector<double> lat;
        std::thread cr([&] {
            uint8_t m[128];
            uint32_t len;
            while (!stop.load()) {
                if (bud_recv(link.b, 0, m, sizeof m, &len, 20) == 0) {
                    uint64_t t;
                    std::memcpy(&t, m, 8);
                    lat.push_back(static_cast<double>(now_ns() - t) / 1e6);
                }
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let video saturate
        double t0 = now_s();
        uint64_t v0 = video.load();
        for (int i = 0; i < 2000; i++) {
            uint8_t m[100] = {};
            uint64_t t = now_ns();
            std::memcpy(m, &t, 8);
            bud_send(link.a, 0, m, 13, m + 13, 87, 100);
            std::this_thread::sleep_for(std::chrono::microseconds(1000));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        double secs = now_s() - t0;
        uint64_t vbytes = video.load() - v0;
        stop = true;
        vs.join();
        vr.join();
        cr.join();
        std::sort(lat.begin(), lat.end());
        state.SetIterationTime(secs);
        if (!lat.empty()) {
            state.counters["ctl_median_ms"] = lat[lat.size() / 2];
            state.counters["ctl_p99_ms"] = lat[lat.size() * 99 / 100];
            state.counters["ctl_max_ms"] = lat.back();
        }
        state.counters["ctl_delivered"] = static_cast<double>(lat.size());
        BudStreamStats st0, st1;
        bud_stream_stats(link.a, 0, &st0);
        bud_stream_stats(link.a, 1, &st1);
        state.counters["ctl_fastRTs"] = st0.fast_retransmissions;
        state.counters["ctl_slowRTs"] = st0.slow_retransmissions;
        state.counters["video_RTs"] = st1.fast_retransmissions + st1.slow_retransmissions;
        state.counters["video_Gbit/s"] = static_cast<double>(vbytes) * 8 / secs / 1e9;
    }
}

}  // namespace

BENCHMARK(BM_RawUdp)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawUdpSegmented)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
#ifdef HAVE_ENET
BENCHMARK(BM_EnetReliable1MB)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
#endif
BENCHMARK(BM_Bud1MB)->Arg(1)->Arg(5)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
// -1: direct; 0, 1, 5: percent loss through the relay
BENCHMARK(BM_ControlLatencyUnderVideo)
    ->Arg(-1)
    ->Arg(1)
    ->Arg(5)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    if (const char *e = getenv("ZARVEK_BENCH_RCVBUF")) g_buffer = atoi(e);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
