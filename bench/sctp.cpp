// SCTP goodput on loopback, 1 MiB messages on one stream, beside the strongest
// fair peers in the same run: the bare usrsctp pair over the same kind of UDP
// sockets with the same library settings but no DTLS (run in a child process,
// since usrsctp takes one output function per process; it computes SCTP's
// checksums inside the library, where the links compute them on their own
// threads), and BUD. What the links of one process cost each other is shown
// twice, aggregate goodput set beside one link's: a host sending to four
// guests at once, each guest a process of its own as it is in use (this
// program run again with --guest), and four pairs with both ends in this
// process, where every packet and its acknowledgement pass through this one
// process. Every message is checked on arrival.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <poll.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <usrsctp.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "connection/bud.h"
#include "connection/sctp.h"
#include "connection/udp.h"
#include "platform/dtls.h"
#include "platform/log.h"

namespace {

constexpr uint32_t kMessage = 1 << 20;
constexpr uint32_t kMessages = 256;
constexpr uint32_t kLinks = 4;

std::map<std::string, double> g_mbps;

double now_s() {
    return static_cast<double>(VKO_GetTime()) / 1e9;
}

sockaddr_in6 loopback(int fd) {
    sockaddr_in6 a{};
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l);
    network_make_addr("::1", ntohs(a.sin6_port), &a);
    return a;
}

void grow(int fd) {
    int size = 0x500000;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// Two sockets as the connection code sets them up, and where each is reached.
void socket_pair(int *a, int *b, sockaddr_in6 *to_a, sockaddr_in6 *to_b) {
    network_udp_socket(a, 0);
    network_udp_socket(b, 0);
    grow(*a);
    grow(*b);
    *to_a = loopback(*a);
    *to_b = loopback(*b);
}

std::vector<uint8_t> message(uint32_t i) {
    std::vector<uint8_t> m(kMessage);
    for (uint32_t k = 0; k < kMessage; k += 4096) m[k] = static_cast<uint8_t>(i + k);
    m[0] = static_cast<uint8_t>(i);
    return m;
}

bool check(const uint8_t *p, uint32_t len, uint32_t i) {
    return len == kMessage && p[0] == static_cast<uint8_t>(i) && p[4096] == static_cast<uint8_t>(i + 4096);
}

// links: how many moved kMessages each in secs.
void report(benchmark::State &state, const char *row, double secs, bool ok, uint32_t links = 1) {
    if (!ok) {
        state.SkipWithError("messages lost or damaged");
        return;
    }
    state.SetIterationTime(secs);
    double mbps = static_cast<double>(kMessage) * kMessages * links / secs / 1e6;
    state.counters["MB/s"] = mbps;
    g_mbps[row] = mbps;
}

// Sends every message from one transport operation and reads them with another.
template <class Send, class Recv>
double pump(Send send, Recv recv, bool *ok) {
    std::vector<uint8_t> buf(kMessage);
    double t0 = now_s();
    std::thread tx([&] {
        for (uint32_t i = 0; i < kMessages; i++) {
            std::vector<uint8_t> m = message(i);
            while (send(m) == 2000) {
            }
        }
    });
    *ok = true;
    for (uint32_t i = 0; i < kMessages && *ok; i++) {
        uint32_t len = 0;
        int32_t r;
        while ((r = recv(buf.data(), &len)) == 2000) {
        }
        *ok = r == 0 && check(buf.data(), len, i);
    }
    double secs = now_s() - t0;
    tx.join();
    return secs;
}

// A connected pair of SCTP links on loopback; the connector sends.
struct DtlsPair {
    VKO_Cert *ca = VKO_CertCreate(), *cb = VKO_CertCreate();
    SctpTransport *listener = nullptr, *connector = nullptr;

    DtlsPair() {
        int a, b;
        sockaddr_in6 to_a, to_b;
        socket_pair(&a, &b, &to_a, &to_b);
        char fa[VKO_FINGERPRINT_SIZE], fb[VKO_FINGERPRINT_SIZE];
        VKO_CertGetFingerprint(ca, fa, sizeof fa);
        VKO_CertGetFingerprint(cb, fb, sizeof fb);
        sctpp_create(&listener, a, ca, &to_b, nullptr, 1, "pa", fb);
        sctpp_create(&connector, b, cb, &to_a, nullptr, 0, "pb", fa);
    }
    bool connected() const { return sctpp_connected(listener) && sctpp_connected(connector); }
    double run(bool *ok) {
        return pump(
            [&](const std::vector<uint8_t> &m) {
                return sctpp_send(connector, 1, nullptr, 0, m.data(), kMessage, 1000);
            },
            [&](uint8_t *buf, uint32_t *len) { return sctpp_recv(listener, 1, buf, kMessage, len, 1000); },
            ok);
    }
    ~DtlsPair() {
        sctpp_destroy(connector);
        sctpp_destroy(listener);
        VKO_CertDestroy(&ca);
        VKO_CertDestroy(&cb);
    }
};

// links pairs in this process, all sending at once; the time until the last
// one has received everything.
double run_links(uint32_t links, bool *ok) {
    std::vector<std::unique_ptr<DtlsPair>> pairs;
    for (uint32_t i = 0; i < links; i++) pairs.push_back(std::make_unique<DtlsPair>());
    for (auto &p : pairs)
        while (!p->connected()) VKO_Sleep(1);
    std::vector<std::thread> threads;
    std::vector<char> good(links, 0);
    double t0 = now_s();
    for (uint32_t i = 0; i < links; i++)
        threads.emplace_back([&, i] {
            bool g = false;
            pairs[i]->run(&g);
            good[i] = g;
        });
    for (auto &t : threads) t.join();
    double secs = now_s() - t0;
    *ok = true;
    for (char g : good) *ok = *ok && g;
    return secs;
}

void BM_SctpInDtls(benchmark::State &state) {
    for (auto _ : state) {
        bool ok;
        double secs = run_links(1, &ok);
        report(state, "sctp", secs, ok);
    }
}

void BM_SctpInDtlsFourLinks(benchmark::State &state) {
    for (auto _ : state) {
        bool ok;
        double secs = run_links(kLinks, &ok);
        report(state, "sctp4", secs, ok, kLinks);
    }
}

// ---- a host's links in this process, each guest in a process of its own ----

// The guest: the client side of one link on the inherited socket fd; writes
// its fingerprint to out, reads every message, then writes 1 (all arrived
// intact) or 0.
int guest_main(int fd, uint16_t host_port, const char *host_fingerprint, int out) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == 1) return 1;
    VKO_Cert *cert = VKO_CertCreate();
    char fp[VKO_FINGERPRINT_SIZE] = {};
    VKO_CertGetFingerprint(cert, fp, sizeof fp);
    if (write(out, fp, sizeof fp) != static_cast<ssize_t>(sizeof fp)) return 1;
    sockaddr_in6 host;
    network_make_addr("::1", host_port, &host);
    SctpTransport *link = nullptr;
    if (sctpp_create(&link, fd, cert, &host, nullptr, 1, "g", host_fingerprint) != 0) return 1;
    std::vector<uint8_t> buf(kMessage);
    char ok = 1;
    for (uint32_t i = 0; i < kMessages && ok; i++) {
        uint32_t len = 0;
        int32_t r;
        while ((r = sctpp_recv(link, 1, buf.data(), kMessage, &len, 1000)) == 2000) {
        }
        ok = r == 0 && check(buf.data(), len, i);
    }
    bool told = write(out, &ok, 1) == 1;
    sctpp_destroy(link);
    VKO_CertDestroy(&cert);
    return told ? 0 : 1;
}

// The host's side of a link to a guest process; the host connects and sends.
struct GuestLink {
    VKO_Cert *cert = VKO_CertCreate();
    SctpTransport *link = nullptr;
    pid_t pid = -1;
    int from_guest = -1;

    bool start() {
        int a, b;
        sockaddr_in6 to_a, to_b;
        socket_pair(&a, &b, &to_a, &to_b);
        char fp[VKO_FINGERPRINT_SIZE] = {};
        VKO_CertGetFingerprint(cert, fp, sizeof fp);
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return false;
        // Everything the child needs is made before fork: it only execs.
        std::string fd_arg = std::to_string(b), port_arg = std::to_string(ntohs(to_a.sin6_port)),
                    out_arg = std::to_string(p[1]);
        pid = fork();
        if (pid == 0) {
            fcntl(b, F_SETFD, 0);
            fcntl(p[1], F_SETFD, 0);
            execl("/proc/self/exe", "bench_sctp", "--guest", fd_arg.c_str(), port_arg.c_str(), fp,
                  out_arg.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(b);
        close(p[1]);
        from_guest = p[0];
        char guest_fp[VKO_FINGERPRINT_SIZE] = {};
        if (pid < 0 || read(from_guest, guest_fp, sizeof guest_fp) != static_cast<ssize_t>(sizeof guest_fp)) {
            close(a);
            return false;
        }
        return sctpp_create(&link, a, cert, &to_b, nullptr, 0, "h", guest_fp) == 0;
    }
    // True when the guest read every message intact.
    bool finished() const {
        char ok = 0;
        return read(from_guest, &ok, 1) == 1 && ok == 1;
    }
    ~GuestLink() {
        if (link) sctpp_destroy(link);
        if (pid > 0) waitpid(pid, nullptr, 0);
        if (from_guest >= 0) close(from_guest);
        VKO_CertDestroy(&cert);
    }
};

// A host with guests links, sending to all of them at once; the time until
// the last guest has everything.
double run_guests(uint32_t links, bool *ok) {
    std::vector<std::unique_ptr<GuestLink>> guests;
    *ok = true;
    for (uint32_t i = 0; i < links && *ok; i++) {
        guests.push_back(std::make_unique<GuestLink>());
        *ok = guests.back()->start();
    }
    if (!*ok) return 1;
    for (auto &g : guests)
        while (!sctpp_connected(g->link)) VKO_Sleep(1);
    std::vector<std::thread> senders;
    double t0 = now_s();
    for (auto &g : guests)
        senders.emplace_back([link = g->link] {
            for (uint32_t i = 0; i < kMessages; i++) {
                std::vector<uint8_t> m = message(i);
                while (sctpp_send(link, 1, nullptr, 0, m.data(), kMessage, 1000) == 2000) {
                }
            }
        });
    for (auto &g : guests) *ok = g->finished() && *ok;
    double secs = now_s() - t0;
    for (auto &t : senders) t.join();
    return secs;
}

void BM_SctpToGuestProcesses(benchmark::State &state) {
    const uint32_t links = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        bool ok;
        double secs = run_guests(links, &ok);
        report(state, links == 1 ? "guest1" : "guest4", secs, ok, links);
    }
}

void BM_Bud(benchmark::State &state) {
    std::string key(254, 'a');
    for (auto _ : state) {
        int a, b;
        sockaddr_in6 to_a, to_b;
        socket_pair(&a, &b, &to_a, &to_b);
        BUD *host = nullptr, *client = nullptr;
        bud_create(&host, a, &to_b, nullptr, key.c_str(), 1, 1, "pa", 1);
        bud_create(&client, b, &to_a, nullptr, key.c_str(), 1, 0, "pb", 1);
        bool ok;
        double secs = pump(
            [&](const std::vector<uint8_t> &m) {
                return bud_send(host, 1, nullptr, 0, m.data(), kMessage, 1000);
            },
            [&](uint8_t *buf, uint32_t *len) { return bud_recv(client, 1, buf, kMessage, len, 1000); }, &ok);
        bud_close(host);
        bud_close(client);
        report(state, "bud", secs, ok);
    }
}

// ---- the bare usrsctp pair: the same sockets, settings and threads, no DTLS ----

struct Bare {
    int fd;
    sockaddr_in6 peer;
    struct socket *so = nullptr;
    std::atomic<bool> up{false};
    std::vector<uint8_t> partial;
    std::atomic<uint32_t> received{0};
    std::atomic<bool> bad{false};
};

int bare_output(void *addr, void *buf, size_t len, uint8_t, uint8_t) {
    Bare *e = static_cast<Bare *>(addr);
    return network_sendmsg(e->fd, buf, static_cast<uint32_t>(len), &e->peer, nullptr) > 0 ? 0 : -1;
}

int bare_receive(struct socket *, union sctp_sockstore, void *data, size_t len, struct sctp_rcvinfo,
                 int flags, void *ulp) {
    Bare *e = static_cast<Bare *>(ulp);
    if (!data) return 1;
    if (flags & MSG_NOTIFICATION) {
        const sctp_notification *n = static_cast<const sctp_notification *>(data);
        if (n->sn_header.sn_type == SCTP_ASSOC_CHANGE && n->sn_assoc_change.sac_state == SCTP_COMM_UP)
            e->up = true;
    } else {
        const uint8_t *p = static_cast<const uint8_t *>(data);
        e->partial.insert(e->partial.end(), p, p + len);
        if (flags & MSG_EOR) {
            if (!check(e->partial.data(), static_cast<uint32_t>(e->partial.size()), e->received))
                e->bad = true;
            e->received++;
            e->partial.clear();
        }
    }
    free(data);
    return 1;
}

void bare_settings() {
    usrsctp_sysctl_set_sctp_mbuf_threshold_count(100);
    usrsctp_sysctl_set_sctp_add_more_threshold(32);
    usrsctp_sysctl_set_sctp_asoc_free_resc_limit(50);
    usrsctp_sysctl_set_sctp_system_free_resc_limit(500);
    usrsctp_sysctl_set_sctp_sendspace(0xA00000);
    usrsctp_sysctl_set_sctp_recvspace(0xA00000);
    usrsctp_sysctl_set_sctp_sack_freq_default(1);
    usrsctp_sysctl_set_sctp_delayed_sack_time_default(30);
    usrsctp_sysctl_set_sctp_enable_sack_immediately(1);
    usrsctp_sysctl_set_sctp_max_burst_default(0);
    usrsctp_sysctl_set_sctp_use_cwnd_based_maxburst(0);
    usrsctp_sysctl_set_sctp_max_chunks_on_queue(2048);
    usrsctp_sysctl_set_sctp_rto_min_default(50);
    usrsctp_sysctl_set_sctp_rto_initial_default(200);
    usrsctp_sysctl_set_sctp_rto_max_default(1000);
    usrsctp_sysctl_set_sctp_ecn_enable(0);
}

struct socket *bare_socket(Bare *e) {
    struct socket *so = usrsctp_socket(AF_CONN, SOCK_STREAM, IPPROTO_SCTP, bare_receive, nullptr, 0, e);
    usrsctp_set_non_blocking(so, 1);
    int on = 1, interleave = 2;
    usrsctp_setsockopt(so, IPPROTO_SCTP, SCTP_NODELAY, &on, sizeof on);
    usrsctp_setsockopt(so, IPPROTO_SCTP, SCTP_FRAGMENT_INTERLEAVE, &interleave, sizeof interleave);
    sctp_paddrparams pp{};
    pp.spp_pathmtu = 1188;
    pp.spp_flags = SPP_PMTUD_DISABLE;
    usrsctp_setsockopt(so, IPPROTO_SCTP, SCTP_PEER_ADDR_PARAMS, &pp, sizeof pp);
    sctp_event ev{};
    ev.se_assoc_id = SCTP_ALL_ASSOC;
    ev.se_on = 1;
    ev.se_type = SCTP_ASSOC_CHANGE;
    usrsctp_setsockopt(so, IPPROTO_SCTP, SCTP_EVENT, &ev, sizeof ev);
    sockaddr_conn sa{};
    sa.sconn_family = AF_CONN;
    sa.sconn_port = htons(5000);
    sa.sconn_addr = e;
    usrsctp_bind(so, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    return so;
}

// Runs in a child process; answers the seconds taken, or a negative number.
double bare_pair() {
    usrsctp_init_nothreads(0, bare_output, nullptr);
    bare_settings();
    std::atomic<bool> stop{false};
    std::thread timer([&] {
        double last = now_s();
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            double t = now_s();
            usrsctp_handle_timers(static_cast<uint32_t>((t - last) * 1000));
            last = t;
        }
    });
    Bare a, b;
    socket_pair(&a.fd, &b.fd, &b.peer, &a.peer);
    usrsctp_register_address(&a);
    usrsctp_register_address(&b);
    struct socket *listener = bare_socket(&a);
    usrsctp_listen(listener, 1);
    b.so = bare_socket(&b);
    std::vector<std::thread> readers;
    for (Bare *e : {&a, &b})
        readers.emplace_back([e, &stop] {
            std::vector<uint8_t> buf(2000);
            while (!stop) {
                pollfd p{e->fd, POLLIN, 0};
                if (poll(&p, 1, 30) <= 0) continue;
                for (int i = 0; i < 64; i++) {
                    int32_t n = network_recvmsg(e->fd, buf.data(), 2000, nullptr, nullptr);
                    if (n <= 0) break;
                    usrsctp_conninput(e, buf.data(), static_cast<size_t>(n), 0);
                }
            }
        });
    sockaddr_conn to{};
    to.sconn_family = AF_CONN;
    to.sconn_port = htons(5000);
    to.sconn_addr = &b;
    usrsctp_connect(b.so, reinterpret_cast<sockaddr *>(&to), sizeof to);
    while (!(a.so = usrsctp_accept(listener, nullptr, nullptr))) VKO_Sleep(1);
    usrsctp_set_non_blocking(a.so, 1);
    while (!b.up) VKO_Sleep(1);

    double t0 = now_s();
    for (uint32_t i = 0; i < kMessages; i++) {
        std::vector<uint8_t> m = message(i);
        sctp_sndinfo info{};
        info.snd_sid = 1;
        info.snd_flags = SCTP_EOR;
        info.snd_ppid = htonl(53);
        while (usrsctp_sendv(b.so, m.data(), kMessage, nullptr, 0, &info, sizeof info, SCTP_SENDV_SNDINFO,
                             0) < 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    while (a.received < kMessages && !a.bad) std::this_thread::sleep_for(std::chrono::microseconds(200));
    double secs = now_s() - t0;
    stop = true;
    for (auto &t : readers) t.join();
    timer.join();
    return a.bad ? -1 : secs;
}

void BM_BareUsrsctp(benchmark::State &state) {
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) return state.SkipWithError("pipe");
        pid_t pid = fork();
        if (pid == 0) {
            double secs = bare_pair();
            if (write(fds[1], &secs, sizeof secs) != sizeof secs) _exit(1);
            _exit(0);
        }
        double secs = -1;
        if (read(fds[0], &secs, sizeof secs) != sizeof secs) secs = -1;
        waitpid(pid, nullptr, 0);
        close(fds[0]);
        close(fds[1]);
        report(state, "bare", secs, secs > 0);
    }
}

}  // namespace

BENCHMARK(BM_BareUsrsctp)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SctpInDtls)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SctpInDtlsFourLinks)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SctpToGuestProcesses)
    ->Arg(1)
    ->Arg(kLinks)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bud)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    if (argc == 6 && std::strcmp(argv[1], "--guest") == 0)
        return guest_main(std::atoi(argv[2]), static_cast<uint16_t>(std::atoi(argv[3])), argv[4],
                          std::atoi(argv[5]));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_mbps.count("sctp") && g_mbps.count("bare"))
        std::printf(
            "\ngoodput, 1 MiB messages: SCTP in DTLS / bare usrsctp pair = %.2f (target at least 0.80)\n",
            g_mbps["sctp"] / g_mbps["bare"]);
    if (g_mbps.count("sctp") && g_mbps.count("sctp4"))
        std::printf(
            "goodput, 1 MiB messages: %u SCTP pairs, both ends in one process (all of them) / one pair = "
            "%.2f\n",
            kLinks, g_mbps["sctp4"] / g_mbps["sctp"]);
    if (g_mbps.count("guest1") && g_mbps.count("guest4"))
        std::printf(
            "goodput, 1 MiB messages: a host's %u SCTP links to guest processes (all of them) / one link = "
            "%.2f\n",
            kLinks, g_mbps["guest4"] / g_mbps["guest1"]);
    if (g_mbps.count("sctp") && g_mbps.count("bud"))
        std::printf("goodput, 1 MiB messages: SCTP in DTLS / BUD = %.2f\n", g_mbps["sctp"] / g_mbps["bud"]);
    return 0;
}
